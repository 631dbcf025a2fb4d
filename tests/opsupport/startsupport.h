#pragma once

#include <QObject>
#include <QStringList>

class frmTvUtil;

// Helpers of the tests that press Start in the real main window.
namespace StartSupport {

// Puts the clips beside this program, where the window looks for them; removes safety copies.
void prepareAppFolder();
// Clicks the tab, then Start.
void pressStart(frmTvUtil *form, int tab);

// Records Start on/off, the compression control shown/hidden and each box, with the state then:
// "box 64 Backup successful. [p11 S- A3 Z+]" (pointer, Start, clips playing, control).
class Recorder : public QObject {
public:
    explicit Recorder(frmTvUtil *form);
    ~Recorder() override;
    QStringList log() const { return log_; }
    QString state() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void record(const QString &event) { log_.append(event + ' ' + state()); }
    frmTvUtil *form_;
    QStringList log_;
};

inline const QString Idle = QStringLiteral("[p0 S+ A Z-]");

// Answers the next box with OK, presses Start on tab and returns what a Recorder saw.
QStringList recordStart(frmTvUtil *form, int tab);

} // namespace StartSupport
