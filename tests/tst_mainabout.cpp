#include "app/modTarBackup.h"
#include "app/settings.h"
#include "forms/frmAbout.h"
#include "forms/frmLogin.h"
#include "forms/frmTvUtil.h"
#include "formsupport.h"
#include "platform/dialogs/dialogs.h"
#include "platform/tabctl/sstab.h"
#include "testsupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QtTest>

using namespace FormSupport;

namespace {

// Clicks a control of window through the platform's input, as a user's click arrives: a window
// blocked by a modal dialog does not get it.
void userClick(QWidget *window, QWidget *control)
{
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, control->mapTo(window, control->rect().center()));
}

} // namespace

class TestMainAbout : public QObject {
    Q_OBJECT

private slots:
    void aboutFromMainWindow();
};

void TestMainAbout::aboutFromMainWindow()
{
    TestSupport::TempFolder tmp;
    resetProgramState(tmp.path("settings"));
    makeBackEnd(tmp.path("BACK.MDB"), {"ADMIN:Secret"});
    Settings::SaveSetting(Settings::Key::BackEnd, tmp.path("BACK.MDB"));
    auto form = loadAndLogIn("ADMIN", "Secret");
    QVERIFY(form);
    // A login asked for again would be cancelled, so that the test fails instead of hanging.
    static int loginsAgain = 0; // outlives the test: the watch stays until a login shows
    whenLoginShown([&](frmLogin *login) {
        ++loginsAgain;
        login->cmdCancel->click();
    });
    QVERIFY(QTest::qWaitForWindowActive(form.get()));

    QTabBar *bar = form->SSTab1->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
    form->txtRestTo->setText("/typed/restore target.mdb");
    const auto state = [&] {
        return QStringList{QString::number(form->SSTab1->Tab()), form->cmdStart->text()} + fieldTexts(*form);
    };
    const QStringList before = state();
    QCOMPARE(before.mid(0, 2), (QStringList{"1", "Restore"}));

    // While the dialog is open, a click on the main window's Browse... button does nothing. The
    // first showing is closed with OK, the second with Esc (the close box: see tst_about).
    DialogHook::answerFileOpen(QStringLiteral("/picked/while blocked.TVB"));
    for (const bool ok : {true, false}) {
        QStringList captions;
        QPointer<frmAbout> shown;
        bool modal = false;
        QTimer find;
        find.setInterval(0);
        connect(&find, &QTimer::timeout, [&] {
            frmAbout *about = nullptr;
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *a = qobject_cast<frmAbout *>(w); a && a->isVisible())
                    about = a;
            if (!about)
                return;
            find.stop();
            shown = about;
            modal = QApplication::activeModalWidget() == about;
            auto *title = about->findChild<QLabel *>("lblTitle");
            captions << about->windowTitle() << title->text() << about->findChild<QLabel *>("lblVersion")->text();
            title->setText("changed while shown"); // a fresh load shows the title again
            userClick(form.get(), form->cmdRestFrom);
            if (ok)
                QTest::mouseClick(about->findChild<QPushButton *>("cmdOK"), Qt::LeftButton);
            else
                QTest::keyClick(about->windowHandle(), Qt::Key_Escape);
        });
        find.start();
        QTest::mouseClick(form->cmdAbout, Qt::LeftButton);
        // Back here only once the dialog has been closed and unloaded; each showing is a fresh load.
        QCOMPARE(captions, (QStringList{"About Tarvos Utility", "Tarvos Utility", "Version 1.0.0"}));
        QVERIFY(modal);
        QVERIFY(shown.isNull());
        QVERIFY(!QApplication::activeModalWidget());
    }
    QCOMPARE(state(), before);
    QCOMPARE(DialogHook::pendingAnswers(), 1);

    // The main window's activation afterwards asks for no login and changes nothing.
    form->activateWindow();
    QTRY_VERIFY(form->isActiveWindow());
    QCoreApplication::processEvents();
    QCOMPARE(loginsAgain, 0);
    QVERIFY(form->isVisible() && !form->isUnloaded());
    QCOMPARE(state(), before);

    // And it takes input again: the same click now reaches the button.
    userClick(form.get(), form->cmdRestFrom);
    QCOMPARE(form->txtRestFrom->text(), QString("/picked/while blocked.TVB"));
    QCOMPARE(DialogHook::shown().size(), 1);
}

QTEST_MAIN(TestMainAbout)
#include "tst_mainabout.moc"
