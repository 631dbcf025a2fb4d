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

namespace {
// Types text into field key by key; characters that have no key of their own are inserted
// as an input method would.
void type(QLineEdit *field, const QString &text)
{
    field->clear();
    for (const QChar c : text)
        if (c.unicode() >= 0x20 && c.unicode() < 0x7f)
            QTest::keyClick(field, c.toLatin1());
        else
            field->insert(c);
}
} // namespace

void typeLogin(frmLogin *dialog, const QString &user, const QString &password)
{
    type(dialog->txtUserName, user);
    type(dialog->txtPassword, password);
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
    if (!QTest::qWaitFor([&] { return sawLogin && form->isVisible(); }) || !modTarBackup::LoggedIn || !hiddenAndEmpty)
        return nullptr;
    return form;
}

QStringList fieldTexts(const frmTvUtil &form)
{
    return {form.txtBackFrom->text(), form.txtBackTo->text(), form.txtRestFrom->text(), form.txtRestTo->text(),
            form.txtCompact->text()};
}

void resetProgramState(const QString &settingsFolder)
{
    modTarBackup::LoggedIn = false;
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
