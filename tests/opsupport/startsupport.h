#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class frmTvUtil;

// Helpers of the tests that press Start in the real main window.
namespace StartSupport {

// Puts the two clips beside this test program, where the window looks for them (the
// application folder), and removes any safety copy an earlier run left there.
void prepareAppFolder();
// Removes the safety copies BACK??.BAK from the application folder.
void removeSafetyCopies();

// Selects tab with a click on its tab and presses Start with the mouse.
void pressStart(frmTvUtil *form, int tab);

// Records, at each step that a user could see, the window's state at that moment: Start
// disabled or enabled, a clip opened or started (frame 0 shown while the player is not yet
// playing), the compression control shown or hidden, a message box shown. Each line reads
//   "<event> [p<pointer> S<+|-> A<playing players> Z<+|->]"
// e.g. "box 64 Backup successful. [p11 S- A3 Z+]": the box appeared with the hourglass set,
// Start disabled, Animation3 playing and the compression control visible.
class Recorder : public QObject {
    Q_OBJECT

public:
    explicit Recorder(frmTvUtil *form);
    ~Recorder() override;
    QStringList log() const { return log_; }
    // The state now, as in the log.
    QString state() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void record(const QString &event);

    frmTvUtil *form_;
    QStringList log_;
};

// The state of an idle window, as Recorder writes it.
inline const QString Idle = QStringLiteral("[p0 S+ A Z-]");

// Answers the next message box with OK, presses Start on tab and returns what a Recorder saw.
QStringList recordStart(frmTvUtil *form, int tab);

// The first lines that every press of Start records: Start disabled, then the hourglass and the
// clip of player ("Animation1") opened and started, each showing its frame 0.
QStringList busyStart(const QString &player);

} // namespace StartSupport
