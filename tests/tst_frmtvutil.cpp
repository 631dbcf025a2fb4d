#include "app/modTarBackup.h"
#include "app/settings.h"
#include "forms/frmLogin.h"
#include "forms/frmTvUtil.h"
#include "formsupport.h"
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

namespace {
const char *const FieldKeys[] = {Key::BackFrom, Key::BackTo, Key::RestFrom, Key::RestTo, Key::Compact};
} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startUpFillsFieldsAndCloseSavesThem_data();
    void startUpFillsFieldsAndCloseSavesThem();
    void cancelledLoginWritesOnlyBackEnd();
    void closeBoxSavesAndEmptiedFieldKeepsItsKey();
    void tabsSetCaptionKeysStartNothing();
    void layoutAndFocusOrder();
    void picturesOverTheStripDrawnWhole();
    void missingCompressionControlStopsStartUp();

private:
    QString stored(const char *key) const
    {
        return Settings::GetSetting(QLatin1String(key), QStringLiteral("<absent>"));
    }

    std::unique_ptr<TestSupport::TempFolder> tmp;
    QString db;
};

void TestMainWindow::init()
{
    tmp = std::make_unique<TestSupport::TempFolder>();
    resetProgramState(tmp->path("settings"));
    qputenv("HOME", QFile::encodeName(tmp->path())); // where the back end is when none is stored
    db = tmp->path("BACK/BACK.MDB");
    QDir().mkpath(tmp->path("BACK"));
    makeBackEnd(db, {"ADMIN:Secret"});
    Settings::SaveSetting(Key::BackEnd, db);
}

void TestMainWindow::cleanup()
{
    Controls::setAvailable(QStringLiteral("ZlibTool.ZlibToolCtrl.1"), true);
}

void TestMainWindow::startUpFillsFieldsAndCloseSavesThem_data()
{
    // "@" stands for the test's folder.
    QTest::addColumn<QStringList>("settings"); // "Key=value" stored before the start
    QTest::addColumn<QString>("typedAtLogin"); // a back end named in the not-found loop, if any
    QTest::addColumn<QString>("backEnd");
    QTest::addColumn<QStringList>("fields"); // BackFrom, BackTo, RestFrom, RestTo, Compact

    const QString db = "@/BACK/BACK.MDB", suggested = "@/BACK/BACK051226205535.TVB";
    QTest::newRow("first run") << QStringList() << QString() << db << QStringList{db, suggested, suggested, db, db};
    QTest::newRow("stored BackTo feeds RestFrom")
        << QStringList{"BackEnd=" + db, "BackTo=/backups/BACK010127080000.TVB"} << QString() << db
        << QStringList{db, suggested, "/backups/BACK010127080000.TVB", db, db};
    QTest::newRow("stored keys win") << QStringList{"BackEnd=" + db,     "BackFrom=/a/from.mdb",
                                                    "BackTo=/a/old.TVB", "RestFrom=/a/restore me.TVB",
                                                    "RestTo=/a/to.mdb",  "Compact=/a/compact.mdb"}
                                     << QString() << db
                                     << QStringList{"/a/from.mdb", suggested, "/a/restore me.TVB", "/a/to.mdb",
                                                    "/a/compact.mdb"};
    // Where file names tell case apart, the mixed-case path survives the login.
    const QString mixed = "@/Data/Back.mdb";
    QTest::newRow("path kept as typed") << QStringList{"BackEnd=" + mixed} << QString() << mixed
                                        << QStringList{mixed, "@/Data/BACK051226205535.TVB",
                                                       "@/Data/BACK051226205535.TVB", mixed, mixed};
    QTest::newRow("back end replaced at login")
        << QStringList{"BackEnd=@/moved away.mdb"} << db << db << QStringList{db, suggested, suggested, db, db};
}

void TestMainWindow::startUpFillsFieldsAndCloseSavesThem()
{
    QFETCH(QStringList, settings);
    QFETCH(QString, typedAtLogin);
    QFETCH(QString, backEnd);
    QFETCH(QStringList, fields);
    const auto here = [&](QString text) { return text.replace('@', tmp->path()); };
    QDir().mkpath(tmp->path("Data"));
    QFile::copy(db, tmp->path("Data/Back.mdb"));
    QFile::remove(tmp->path("settings/TarBackup.conf"));
    for (const QString &setting : settings)
        Settings::SaveSetting(setting.section('=', 0, 0), here(setting.section('=', 1)));
    if (!typedAtLogin.isEmpty()) {
        DialogHook::answerMsgBox(Msg::Retry);
        DialogHook::answerInput(here(typedAtLogin));
    }
    auto form = loadAndLogIn();
    QVERIFY(form);
    for (QString &field : fields)
        field = here(field);
    QCOMPARE(BackEndPath, here(backEnd));
    QCOMPARE(fieldTexts(*form), fields);
    QCOMPARE(form->SSTab1->Tab(), 0);
    QCOMPARE(form->cmdStart->text(), QString("Backup"));

    form->cmdClose->click();
    QVERIFY(form->isUnloaded());
    QCOMPARE(stored(Key::BackEnd), here(backEnd));
    for (int i = 0; i < 5; ++i)
        QCOMPARE(stored(FieldKeys[i]), fields[i]);
}

void TestMainWindow::cancelledLoginWritesOnlyBackEnd()
{
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
    QVERIFY(form->isUnloaded() && !form->isVisible() && !LoggedIn);
    QVERIFY(form->txtBackFrom->text().isEmpty());
    QSettings file(tmp->path("settings/TarBackup.conf"), QSettings::IniFormat);
    QCOMPARE(file.allKeys(), QStringList{"Path/BackEnd"});
    QCOMPARE(stored(Key::BackEnd), tmp->path("typed.mdb"));
}

void TestMainWindow::closeBoxSavesAndEmptiedFieldKeepsItsKey()
{
    Settings::SaveSetting(Key::RestTo, "/kept/restore target.mdb");
    auto form = loadAndLogIn();
    QVERIFY(form);
    QSignalSpy unloaded(form.get(), &frmTvUtil::unloaded);
    form->txtRestTo->clear();
    form->txtBackTo->setText("/typed/by hand.TVB");
    QVERIFY(form->close());
    QCOMPARE(unloaded.size(), 1);
    QCOMPARE(stored(Key::RestTo), QString("/kept/restore target.mdb"));
    QCOMPARE(stored(Key::BackTo), QString("/typed/by hand.TVB"));
    form->cmdClose_Click(); // a second close unloads nothing again
    QCOMPARE(unloaded.size(), 1);
}

void TestMainWindow::tabsSetCaptionKeysStartNothing()
{
    auto form = loadAndLogIn();
    QVERIFY(form);
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    // The Start caption follows the tab, whether chosen by mouse, keyboard or program.
    QTabBar *bar = form->SSTab1->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
    QCOMPARE(form->cmdStart->text(), QString("Restore"));
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_Right);
    QCOMPARE(form->cmdStart->text(), QString("Compact"));
    QTest::keyClick(form.get(), Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(form->cmdStart->text(), QString("Backup"));
    form->SSTab1->setTab(2);
    QCOMPARE(form->cmdStart->text(), QString("Compact"));
    form->SSTab1->setTab(0);

    // Enter and Esc start and close nothing.
    form->txtBackFrom->setFocus();
    for (const int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
        QTest::keyClick(form->txtBackFrom, Qt::Key(key));
    QTest::keyClick(form->SSTab1->tabBar(), Qt::Key_Escape);
    // An activation after the first asks for no login and fills no field again.
    form->txtBackFrom->setText("typed after login");
    form->Form_Activate();
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(form.get(), &activate);
    QTest::qWait(0);
    QVERIFY(!frmLogin::instance());
    QCOMPARE(form->txtBackFrom->text(), QString("typed after login"));
    QVERIFY(form->isVisible() && !form->isUnloaded() && form->cmdStart->isEnabled());
    QVERIFY(DialogHook::shown().isEmpty()); // nothing started
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
        {form->Label13,
         0,
         {1080, 2280, 5055, 495},
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
        {form->Label14,
         1,
         {1080, 2280, 5055, 615},
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

    const QList<QWidget *> order = {form->SSTab1,    form->txtBackFrom, form->cmdBackFrom, form->txtBackTo,
                                    form->cmdBackTo, form->txtRestFrom, form->cmdRestFrom, form->txtRestTo,
                                    form->cmdRestTo, form->txtCompact,  form->cmdCompact,  form->cmdAbout,
                                    form->cmdStart,  form->cmdClose};
    QWidget *w = form->SSTab1->focusProxy();
    for (qsizetype i = 1; i < order.size(); ++i) {
        w = w->nextInFocusChain();
        // Skip what takes no focus, and the tab strip's own scroll arrows.
        while (w->focusPolicy() == Qt::NoFocus || w->focusProxy() || w->parentWidget() == form->SSTab1->tabBar())
            w = w->nextInFocusChain();
        QCOMPARE(w, order[i]);
    }
}

void TestMainWindow::picturesOverTheStripDrawnWhole()
{
    // Each tab's picture reaches up into the tab strip: its opaque pixels there must be on
    // screen, neither cut by the page nor painted over by the strip.
    auto form = loadAndLogIn();
    QVERIFY(form);
    const int stripBottom = form->SSTab1->mapTo(form.get(), QPoint(0, Twips::px(520))).y();
    for (int tab : {0, 1}) {
        QLabel *picture = tab == 0 ? form->Image1 : form->Image2;
        form->SSTab1->setTab(tab);
        const QImage shot = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QImage drawn = picture->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
        const QPoint at = picture->mapTo(form.get(), QPoint(0, 0));
        QVERIFY(at.y() < stripBottom);
        int compared = 0;
        for (int y = 0; at.y() + y < stripBottom; ++y)
            for (int x = 0; x < drawn.width(); ++x)
                if (qAlpha(drawn.pixel(x, y)) == 255) {
                    QCOMPARE(QColor(shot.pixel(at + QPoint(x, y))), QColor(drawn.pixel(x, y)));
                    ++compared;
                }
        QVERIFY2(compared > 0, "no opaque pixel of the picture lies over the strip");
    }
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
