#pragma once

#include <QEvent>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QLineEdit;
class frmLogin;
class frmTvUtil;

namespace DialogHook {
struct Shown;
// Lets QCOMPARE print a whole record of a box when two differ.
char *toString(const Shown &box);
} // namespace DialogHook

// Helpers for tests that drive the real windows.
namespace FormSupport {

// Runs action on the login dialog as soon as it is on screen, from inside its modal loop.
void whenLoginShown(std::function<void(frmLogin *)> action);

// Types text into field where its cursor stands, key by key as a user does; a letter beyond ASCII
// comes as an input method gives it, and a text of 100 characters or more is pasted as a whole.
void typeText(QLineEdit *field, const QString &text);

// Types a user name and password into the login dialog and presses OK with the mouse.
void typeLogin(frmLogin *dialog, const QString &user, const QString &password);

// Loads the main window, shows it and logs in through the real login dialog (the back end named
// in the settings must hold that user). Null when the main window did not come back logged in,
// or when it was not hidden, with empty fields, while the login dialog was up.
std::unique_ptr<frmTvUtil> loadAndLogIn(const QString &user = QStringLiteral("admin"),
                                        const QString &password = QStringLiteral("Secret"));

// The texts of the main window's five path fields: BackFrom, BackTo, RestFrom, RestTo, Compact.
QStringList fieldTexts(const frmTvUtil &form);

// Calls onPaint each time widget is painted, for as long as this lives.
class PaintWatch : public QObject {
public:
    PaintWatch(QObject *widget, std::function<void()> onPaint) : onPaint_(std::move(onPaint))
    {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            onPaint_();
        return false;
    }

private:
    std::function<void()> onPaint_;
};

// Puts the process in a known state: logged out, no back-end path, dialogs scripted (strict),
// settings in folder, clock fixed at 20:55:35 on 5 December 2026.
void resetProgramState(const QString &settingsFolder);

} // namespace FormSupport
