#include "app/modTarBackup.h"
#include "app/settings.h"
#include "formsupport.h"
#include "forms/frmLogin.h"
#include "forms/frmTvUtil.h"
#include "platform/animation/animationctrl.h"
#include "platform/controls/controls.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/tabctl/sstab.h"
#include "platform/twips.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "testsupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTabBar>
#include <QtTest>

using namespace FormSupport;
using modTarBackup::BackEndPath;
using modTarBackup::LoggedIn;
namespace Key = Settings::Key;

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void firstRunFillsDefaults();
    void storedBackToFeedsRestFrom();
    void storedKeysWin();
    void pathKeptAsTypedWhereCaseCounts();
    void replacedBackEndIsUsedAndSaved();
    void cancelledLoginWritesOnlyBackEnd();
    void emptiedFieldKeepsItsKey();
    void closeBoxSavesLikeClose();
    void laterActivationChangesNothing();
    void startCaptionFollowsTab();
    void layoutAndFocusOrder();
    void enterAndEscDoNothing();
    void missingCompressionControlStopsStartUp();

private:
    QString stored(const char *key) const;

    std::unique_ptr<TestSupport::TempFolder> tmp;
    QString db;
};

void TestMainWindow::init()
{
    tmp = std::make_unique<TestSupport::TempFolder>();
    resetProgramState(tmp->path("settings"));
    db = tmp->path("BACK/BACK.MDB");
    QDir().mkpath(tmp->path("BACK"));
    makeBackEnd(db, {"ADMIN:Secret"});
    Settings::SaveSetting(Key::BackEnd, db);
}

void TestMainWindow::cleanup()
{
    Controls::setAvailable(QStringLiteral("ZlibTool.ZlibToolCtrl.1"), true);
}

QString TestMainWindow::stored(const char *key) const
{
    return Settings::GetSetting(QLatin1String(key), QStringLiteral("<absent>"));
}

void TestMainWindow::firstRunFillsDefaults()
{
    // Nothing stored: the back end defaults to BACK/BACK.MDB in the home folder.
    QFile::remove(tmp->path("settings/TarBackup.conf"));
    qputenv("HOME", QFile::encodeName(tmp->path()));
    auto form = loadAndLogIn();
    QVERIFY(form);
    QCOMPARE(BackEndPath, db);
    QCOMPARE(form->txtBackFrom->text(), db);
    QCOMPARE(form->txtRestTo->text(), db);
    QCOMPARE(form->txtCompact->text(), db);
    const QString suggested = tmp->path("BACK/BACK051226205535.TVB");
    QCOMPARE(form->txtBackTo->text(), suggested);
    QCOMPARE(form->txtRestFrom->text(), suggested);
    QCOMPARE(form->SSTab1->Tab(), 0);
    QCOMPARE(form->cmdStart->text(), QString("Backup"));

    form->cmdClose->click();
    QVERIFY(form->isUnloaded());
    QCOMPARE(stored(Key::BackEnd), db);
    QCOMPARE(stored(Key::BackTo), suggested);
    QCOMPARE(stored(Key::RestFrom), suggested);
    QCOMPARE(stored(Key::Compact), db);
}

void TestMainWindow::storedBackToFeedsRestFrom()
{
    Settings::SaveSetting(Key::BackTo, "/backups/BACK010127080000.TVB");
    auto form = loadAndLogIn();
    QVERIFY(form);
    QCOMPARE(form->txtRestFrom->text(), QString("/backups/BACK010127080000.TVB"));
    QCOMPARE(form->txtBackTo->text(), tmp->path("BACK/BACK051226205535.TVB"));
}

void TestMainWindow::storedKeysWin()
{
    Settings::SaveSetting(Key::BackFrom, "/a/from.mdb");
    Settings::SaveSetting(Key::BackTo, "/a/old.TVB");
    Settings::SaveSetting(Key::RestFrom, "/a/restore me.TVB");
    Settings::SaveSetting(Key::RestTo, "/a/to.mdb");
    Settings::SaveSetting(Key::Compact, "/a/compact.mdb");
    auto form = loadAndLogIn();
    QVERIFY(form);
    QCOMPARE(form->txtBackFrom->text(), QString("/a/from.mdb"));
    QCOMPARE(form->txtRestFrom->text(), QString("/a/restore me.TVB"));
    QCOMPARE(form->txtRestTo->text(), QString("/a/to.mdb"));
    QCOMPARE(form->txtCompact->text(), QString("/a/compact.mdb"));
    const QList<QLineEdit *> fields = {form->txtBackFrom, form->txtBackTo, form->txtRestFrom, form->txtRestTo,
                                       form->txtCompact};
    for (QLineEdit *field : fields)
        QVERIFY(!field->text().contains("old.TVB"));
}

void TestMainWindow::pathKeptAsTypedWhereCaseCounts()
{
    // On a file system that tells case apart the mixed-case path must survive the login.
    const QString mixed = tmp->path("Data/Back.mdb");
    QDir().mkpath(tmp->path("Data"));
    QFile::copy(db, mixed);
    Settings::SaveSetting(Key::BackEnd, mixed);
    auto form = loadAndLogIn();
    QVERIFY(form);
    QCOMPARE(BackEndPath, mixed);
    QCOMPARE(form->txtBackFrom->text(), mixed);
    QCOMPARE(form->txtBackTo->text(), tmp->path("Data/BACK051226205535.TVB"));
    form->cmdClose->click();
    QCOMPARE(stored(Key::BackEnd), mixed);
}

void TestMainWindow::replacedBackEndIsUsedAndSaved()
{
    Settings::SaveSetting(Key::BackEnd, tmp->path("moved away.mdb"));
    DialogHook::answerMsgBox(Msg::Retry);
    DialogHook::answerInput(db);
    auto form = loadAndLogIn();
    QVERIFY(form);
    QCOMPARE(form->txtCompact->text(), db);
    form->close();
    QCOMPARE(stored(Key::BackEnd), db);
}

void TestMainWindow::cancelledLoginWritesOnlyBackEnd()
{
    QFile::remove(tmp->path("settings/TarBackup.conf"));
    BackEndPath.clear();
    Settings::SaveSetting(Key::BackEnd, tmp->path("gone.mdb"));
    auto form = frmTvUtil::Load();
    QSignalSpy unloaded(form.get(), &frmTvUtil::unloaded);
    // Name another (also missing) file, then give up with Cancel.
    DialogHook::answerMsgBox(Msg::Retry);
    DialogHook::answerInput(tmp->path("typed.mdb"));
    DialogHook::answerMsgBox(Msg::Cancel);
    whenLoginShown([](frmLogin *dlg) {
        typeLogin(dlg, "admin", "Secret");
        QTest::mouseClick(dlg->cmdCancel, Qt::LeftButton);
    });
    form->show();
    QTRY_COMPARE(unloaded.size(), 1);
    QVERIFY(form->isUnloaded());
    QVERIFY(!form->isVisible());
    QVERIFY(!LoggedIn);
    QVERIFY(form->txtBackFrom->text().isEmpty());
    QSettings file(tmp->path("settings/TarBackup.conf"), QSettings::IniFormat);
    QCOMPARE(file.allKeys(), QStringList{"Path/BackEnd"});
    QCOMPARE(stored(Key::BackEnd), tmp->path("typed.mdb"));
}

void TestMainWindow::emptiedFieldKeepsItsKey()
{
    Settings::SaveSetting(Key::RestTo, "/kept/restore target.mdb");
    auto form = loadAndLogIn();
    QVERIFY(form);
    form->txtRestTo->clear();
    form->txtCompact->setText("/new/compact.mdb");
    form->cmdClose->click();
    QCOMPARE(stored(Key::RestTo), QString("/kept/restore target.mdb"));
    QCOMPARE(stored(Key::Compact), QString("/new/compact.mdb"));
}

void TestMainWindow::closeBoxSavesLikeClose()
{
    auto form = loadAndLogIn();
    QVERIFY(form);
    QSignalSpy unloaded(form.get(), &frmTvUtil::unloaded);
    form->txtBackTo->setText("/typed/by hand.TVB");
    QVERIFY(form->close());
    QCOMPARE(unloaded.size(), 1);
    QCOMPARE(stored(Key::BackTo), QString("/typed/by hand.TVB"));
    QCOMPARE(stored(Key::BackFrom), db);
    form->cmdClose_Click(); // a second close unloads nothing again
    QCOMPARE(unloaded.size(), 1);
}

void TestMainWindow::laterActivationChangesNothing()
{
    auto form = loadAndLogIn();
    QVERIFY(form);
    form->txtBackFrom->setText("typed after login");
    form->Form_Activate();
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(form.get(), &activate);
    QTest::qWait(0);
    QVERIFY(!frmLogin::instance());
    QCOMPARE(form->txtBackFrom->text(), QString("typed after login"));
    QVERIFY(DialogHook::shown().isEmpty());
}

void TestMainWindow::startCaptionFollowsTab()
{
    auto form = loadAndLogIn();
    QVERIFY(form);
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    QTabBar *bar = form->SSTab1->tabBar();
    form->txtBackTo->setText("kept across tabs");

    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
    QCOMPARE(form->cmdStart->text(), QString("Restore"));
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center()); // the selected tab again
    QCOMPARE(form->cmdStart->text(), QString("Restore"));
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_Right);
    QCOMPARE(form->cmdStart->text(), QString("Compact"));
    QTest::keyClick(form.get(), Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(form->cmdStart->text(), QString("Backup"));
    form->SSTab1->setTab(2);
    QCOMPARE(form->cmdStart->text(), QString("Compact"));
    form->SSTab1->setTab(0);
    QCOMPARE(form->txtBackTo->text(), QString("kept across tabs"));
    QVERIFY(form->txtBackTo->isVisible());
    QVERIFY(!form->txtCompact->isVisible());
}

void TestMainWindow::layoutAndFocusOrder()
{
    auto form = loadAndLogIn();
    QVERIFY(form);
    QCOMPARE(form->windowTitle(), QString("Tarvos Utility"));
    QCOMPARE(form->size(), Twips::size(8070, 5310));
    QCOMPARE(form->minimumSize(), form->maximumSize());
    QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));

    struct Row {
        QWidget *w;
        int tab; // -1: on the window itself
        QRect twips;
        QString caption;
    };
    const Row rows[] = {
        {form->SSTab1, -1, {120, 120, 7815, 4455}, {}},
        {form->cmdAbout, -1, {120, 4800, 1335, 375}, "About"},
        {form->cmdStart, -1, {5160, 4800, 1335, 375}, "Backup"},
        {form->cmdClose, -1, {6600, 4800, 1335, 375}, "Close"},
        {form->ZlibTool1, -1, {1560, 4800, 3495, 375}, {}},
        {form->Image1, 0, {240, 480, 480, 480}, {}},
        {form->Label1, 0, {1080, 600, 495, 255}, "From"},
        {form->Label7, 0, {3960, 600, 2175, 255}, "(Tarvos Systems Database)"},
        {form->txtBackFrom, 0, {1080, 840, 5055, 435}, {}},
        {form->cmdBackFrom, 0, {6360, 840, 1215, 375}, "Browse..."},
        {form->Label2, 0, {1080, 1440, 495, 255}, "To"},
        {form->txtBackTo, 0, {1080, 1680, 5055, 405}, {}},
        {form->cmdBackTo, 0, {6360, 1680, 1215, 375}, "Browse..."},
        {form->Label13, 0, {1080, 2280, 5055, 495},
         "The suggested filename of backup contains date and time stamp \"ddmmyyhhmmss\""},
        {form->Animation3, 0, {1080, 3000, 6375, 1215}, {}},
        {form->Image2, 1, {240, 480, 480, 480}, {}},
        {form->Label4, 1, {1080, 600, 495, 255}, "From"},
        {form->txtRestFrom, 1, {1080, 840, 5055, 435}, {}},
        {form->cmdRestFrom, 1, {6360, 840, 1215, 375}, "Browse..."},
        {form->Label5, 1, {1080, 1440, 495, 255}, "To"},
        {form->Label8, 1, {3960, 1440, 2175, 255}, "(Tarvos Systems Database)"},
        {form->txtRestTo, 1, {1080, 1680, 5055, 405}, {}},
        {form->cmdRestTo, 1, {6360, 1680, 1215, 375}, "Browse..."},
        {form->Label14, 1, {1080, 2280, 5055, 615},
         "Allows you to restore any backup copy of Tarvos Systems Database. Copying the backup file manually will "
         "make Tarvos Systems cease to work."},
        {form->Animation1, 1, {1080, 3000, 6375, 1215}, {}},
        {form->Label9, 2, {1080, 600, 1335, 255}, "Location"},
        {form->Label10, 2, {3960, 600, 2175, 255}, "(Tarvos Systems Database)"},
        {form->txtCompact, 2, {1080, 840, 5055, 435}, {}},
        {form->cmdCompact, 2, {6360, 840, 1215, 375}, "Browse..."},
        {form->Animation2, 2, {1080, 3000, 6375, 1215}, {}},
    };
    for (const Row &row : rows) {
        const QWidget *origin = row.tab < 0 ? static_cast<QWidget *>(form.get()) : form->SSTab1;
        const QRect expected = Twips::rect(row.twips.x(), row.twips.y(), row.twips.width(), row.twips.height());
        QCOMPARE(QRect(row.w->mapTo(origin, QPoint(0, 0)), row.w->size()), expected);
        if (row.tab >= 0)
            QVERIFY(form->SSTab1->page(row.tab)->isAncestorOf(row.w));
        if (auto *label = qobject_cast<QLabel *>(row.w); label && !row.caption.isNull())
            QCOMPARE(label->text(), row.caption);
        if (auto *button = qobject_cast<QPushButton *>(row.w)) {
            QCOMPARE(button->text(), row.caption);
            QVERIFY(!button->isDefault() && !button->autoDefault());
        }
    }
    QVERIFY(!form->ZlibTool1->isVisible());
    QVERIFY(form->Image1->pixmap().toImage() != form->Image2->pixmap().toImage());

    const QList<QWidget *> order = {form->SSTab1,      form->txtBackFrom, form->cmdBackFrom, form->txtBackTo,
                                    form->cmdBackTo,   form->txtRestFrom, form->cmdRestFrom, form->txtRestTo,
                                    form->cmdRestTo,   form->txtCompact,  form->cmdCompact,  form->cmdAbout,
                                    form->cmdStart,    form->cmdClose};
    QWidget *w = form->SSTab1->focusProxy();
    for (qsizetype i = 1; i < order.size(); ++i) {
        w = w->nextInFocusChain();
        // Skip what takes no focus, and the tab strip's own scroll arrows.
        while (w->focusPolicy() == Qt::NoFocus || w->focusProxy() || w->parentWidget() == form->SSTab1->tabBar())
            w = w->nextInFocusChain();
        QCOMPARE(w, order[i]);
    }
}

void TestMainWindow::enterAndEscDoNothing()
{
    auto form = loadAndLogIn();
    QVERIFY(form);
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    form->txtBackFrom->setFocus();
    QTest::keyClick(form->txtBackFrom, Qt::Key_Return);
    QTest::keyClick(form->txtBackFrom, Qt::Key_Enter);
    QTest::keyClick(form->txtBackFrom, Qt::Key_Escape);
    QTest::keyClick(form->SSTab1->tabBar(), Qt::Key_Escape);
    QVERIFY(form->isVisible());
    QVERIFY(!form->isUnloaded());
    QVERIFY(DialogHook::shown().isEmpty()); // nothing started
    QVERIFY(form->cmdStart->isEnabled());
}

void TestMainWindow::missingCompressionControlStopsStartUp()
{
    Controls::setAvailable(QStringLiteral("ZlibTool.ZlibToolCtrl.1"), false);
    try {
        auto form = frmTvUtil::Load();
        QFAIL("the main window loaded without its compression control");
    } catch (const Error &e) {
        QVERIFY2(e.description().contains("ZlibTool.ZlibToolCtrl.1"), qPrintable(e.description()));
    }
    QCOMPARE(stored(Key::BackFrom), QString("<absent>"));
    QCOMPARE(stored(Key::BackEnd), db); // as it was: nothing written
    QVERIFY(DialogHook::shown().isEmpty());
}

QTEST_MAIN(TestMainWindow)
#include "tst_frmtvutil.moc"
