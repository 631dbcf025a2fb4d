#include "formsupport.h"

#include "app/modTarBackup.h"
#include "app/settings.h"
#include "forms/frmLogin.h"
#include "forms/frmTvUtil.h"
#include "platform/clock.h"
#include "platform/dialogs/dialogs.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace FormSupport {

void whenLoginShown(std::function<void(frmLogin *)> action)
{
    auto *timer = new QTimer;
    timer->callOnTimeout([timer, action] {
        if (!frmLogin::isVisibleNow())
            return;
        timer->stop();
        timer->deleteLater();
        action(frmLogin::instance());
    });
    timer->start(0);
}

void typeText(QLineEdit *field, const QString &text)
{
    if (text.size() >= 100)
        field->insert(text);
    for (const QChar c : text.size() < 100 ? text : QString()) // letters beyond ASCII have no key of their own
        c.unicode() < 128 ? QTest::keyClick(field, c.toLatin1())
                          : QTest::sendKeyEvent(QTest::KeyAction::Click, field, Qt::Key_unknown, QString(c), {});
}

void typeLogin(frmLogin *dialog, const QString &user, const QString &password)
{
    dialog->txtUserName->clear();
    typeText(dialog->txtUserName, user);
    dialog->txtPassword->clear();
    typeText(dialog->txtPassword, password);
    QTest::mouseClick(dialog->cmdOK, Qt::LeftButton);
}

std::unique_ptr<frmTvUtil> loadAndLogIn(const QString &user, const QString &password)
{
    auto form = frmTvUtil::Load();
    bool sawLogin = false, hiddenAndEmpty = false;
    whenLoginShown([&](frmLogin *dialog) {
        sawLogin = true;
        hiddenAndEmpty = !form->isVisible() && form->txtBackFrom->text().isEmpty();
        typeLogin(dialog, user, password);
    });
    form->show();
    const bool loggedIn = QTest::qWaitFor([&] { return sawLogin && form->isVisible(); }) && modTarBackup::LoggedIn;
    return loggedIn && hiddenAndEmpty ? std::move(form) : nullptr;
}

QStringList fieldTexts(const frmTvUtil &form)
{
    return {form.txtBackFrom->text(), form.txtBackTo->text(), form.txtRestFrom->text(), form.txtRestTo->text(),
            form.txtCompact->text()};
}

void resetProgramState(const QString &settingsFolder)
{
    // The first test meets the program as it starts, logged out; each later one is logged out here.
    static bool started = false;
    if (started)
        modTarBackup::LoggedIn = false;
    started = true;
    modTarBackup::BackEndPath.clear();
    Settings::useFolder(settingsFolder);
    DialogHook::reset();
    DialogHook::setStrict(true);
    Clock::setSource([] { return QDateTime(QDate(2026, 12, 5), QTime(20, 55, 35)); });
}

} // namespace FormSupport

namespace DialogHook {

char *toString(const Shown &box)
{
    return qstrdup(qPrintable(describe(box)));
}

} // namespace DialogHook
