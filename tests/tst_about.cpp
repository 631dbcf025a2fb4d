#include "app/modTarBackup.h"
#include "app/settings.h"
#include "forms/frmAbout.h"
#include "forms/frmLogin.h"
#include "forms/frmTvUtil.h"
#include "formsupport.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/registry/registry.h"
#include "platform/tabctl/sstab.h"
#include "platform/twips.h"
#include "resources/texts.h"
#include "testsupport.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QtTest>

using namespace FormSupport;
using namespace TestSupport;

namespace {

const QByteArray Header = "Windows Registry Editor Version 5.00\r\n\r\n";
const QByteArray PathKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools\\MSINFO]\r\n";
const QByteArray LocationKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools Location]\r\n";

// Writes an executable shell script that appends a line to marker each time it runs.
void writeMarkerScript(const QString &path, const QString &marker)
{
    writeFile(path, "#!/bin/sh\necho started >> '" + QFile::encodeName(marker) + "'\n");
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Clicks a control of window through the platform's input, as a user's click arrives: a window
// blocked by a modal dialog does not get it.
void userClick(QWidget *window, QWidget *control)
{
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, control->mapTo(window, control->rect().center()));
}

template <typename T = QWidget> T *control(QWidget *dialog, const char *name)
{
    auto *widget = dialog->findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no control %s", name);
    return widget;
}

} // namespace

class TestAbout : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanupTestCase() { Registry::setHiveFile(QString()); }

    void getKeyValue_data();
    void getKeyValue();
    void startSysInfo_data();
    void startSysInfo();
    void layoutCaptionsAndTabOrder();
    void keysAndButtonsClose_data();
    void keysAndButtonsClose();
    void enterAndAccessKeyPressSysInfo();
    void aboutFromMainWindow();

private:
    std::unique_ptr<TempFolder> tmp_;
    QString hive_;
};

void TestAbout::init()
{
    tmp_ = std::make_unique<TempFolder>();
    hive_ = tmp_->path("registry.reg");
    Registry::setHiveFile(hive_);
    DialogHook::reset();
    DialogHook::setStrict(true); // a message box not scripted ends the test
}

void TestAbout::getKeyValue_data()
{
    QTest::addColumn<QByteArray>("body"); // of the hive, below its header
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("keyVal");
    QTest::addColumn<bool>("raises");

    const QByteArray key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\Test]\r\n";
    const QString before = QStringLiteral("as it was");
    QTest::newRow("string") << key + "\"V\"=\"/usr/bin/hardinfo\"" << true << "/usr/bin/hardinfo" << false;
    QTest::newRow("string without its zero") << key + "\"V\"=hex(1):41,00,42,00" << true << "AB" << false;
    QTest::newRow("string of 1023 characters fits")
        << key + "\"V\"=\"" + QByteArray(1023, 'a') + '"' << true << QString(1023, QLatin1Char('a')) << false;
    QTest::newRow("string of 1024 characters does not")
        << key + "\"V\"=\"" + QByteArray(1024, 'a') + '"' << false << QString() << false;
    QTest::newRow("dword with a zero top byte") << key + "\"V\"=dword:00001234" << true << "&h001234" << false;
    QTest::newRow("dword, upper-case digits") << key + "\"V\"=dword:12abcdef" << true << "&h12ABCDEF" << false;
    QTest::newRow("other type leaves it unchanged") << key + "\"V\"=hex:01,02" << true << before << false;
    QTest::newRow("zero-length string") << key + "\"V\"=hex(1):" << true << before << true;
    QTest::newRow("missing value") << key + "\"W\"=\"x\"" << false << QString() << false;
    QTest::newRow("missing key") << QByteArray("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos]\r\n\"V\"=\"x\"") << false
                                 << QString() << false;
}

void TestAbout::getKeyValue()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, found);
    QFETCH(QString, keyVal);
    QFETCH(bool, raises);
    writeFile(hive_, Header + body + "\r\n");
    QString result = QStringLiteral("as it was");
    try {
        const bool read = frmAbout::GetKeyValue(Registry::HKEY_LOCAL_MACHINE, QStringLiteral("SOFTWARE\\Tarvos\\Test"),
                                                QStringLiteral("V"), result);
        QVERIFY(!raises);
        QCOMPARE(read, found);
    } catch (const Error &e) {
        QVERIFY2(raises, qPrintable(e.message()));
        QVERIFY2(e.description().contains("\"V\""), qPrintable(e.description()));
    }
    QCOMPARE(result, keyVal);
}

void TestAbout::startSysInfo_data()
{
    // "@" in a hive stands for the test's folder. Three programs are there; at most the one named
    // runs, twice (a copy for each press), or else the message is shown for each press.
    QTest::addColumn<QByteArray>("hive");
    QTest::addColumn<QString>("started");
    const QByteArray location = LocationKey + "\"MSINFO\"=\"@/tools\"\r\n";
    QTest::newRow("try 1: the path read") << Header + PathKey + "\"PATH\"=\"@/sys info\"\r\n" + location << "sys info";
    QTest::newRow("try 1: a path naming no file, no try 2")
        << Header + PathKey + "\"PATH\"=\"@/missing\"\r\n" + location << QString();
    QTest::newRow("try 1: a folder") << Header + PathKey + "\"PATH\"=\"@/tools\"\r\n" + location << QString();
    QTest::newRow("try 1: not a string, so an empty path")
        << Header + PathKey + "\"PATH\"=hex:40\r\n" + location << QString();
    QTest::newRow("try 1: zero length") << Header + PathKey + "\"PATH\"=hex(1):\r\n" + location << QString();
    QTest::newRow("try 2: the folder's program") << Header + PathKey + location << "tools/MSINFO32.EXE";
    QTest::newRow("try 2: a folder without it") << Header + LocationKey + "\"MSINFO\"=\"@\"\r\n" << QString();
    QTest::newRow("try 2: a name in another case") << Header + LocationKey + "\"MSINFO\"=\"@/lower\"\r\n" << QString();
    QTest::newRow("neither key") << Header << QString();
}

void TestAbout::startSysInfo()
{
    QFETCH(QByteArray, hive);
    QFETCH(QString, started);
    const QStringList programs = {"sys info", "tools/MSINFO32.EXE", "lower/msinfo32.exe"};
    QDir().mkdir(tmp_->path("tools"));
    QDir().mkdir(tmp_->path("lower"));
    for (const QString &program : programs)
        writeMarkerScript(tmp_->path(program), tmp_->path(program + ".ran"));
    writeFile(hive_, hive.replace("@", QFile::encodeName(tmp_->path())));

    QPointer<frmAbout> dialog = new frmAbout;
    dialog->show();
    for (int press = 0; press < 2; ++press) {
        if (started.isEmpty())
            DialogHook::answerMsgBox(Msg::OK);
        QTest::mouseClick(control(dialog, "cmdSysInfo"), Qt::LeftButton);
    }
    if (started.isEmpty()) {
        QCOMPARE(DialogHook::shown().size(), 2);
        for (const DialogHook::Shown &box : DialogHook::shown()) {
            QCOMPARE(box.text, QStringLiteral("System Information Is Unavailable At This Time"));
            QCOMPARE(box.style, Msg::OKOnly);
            QCOMPARE(box.title, QString::fromUtf8(Resources::ApplicationTitle));
        }
    } else {
        QTRY_COMPARE(readFile(tmp_->path(started + ".ran")).count('\n'), 2);
        QVERIFY(DialogHook::shown().isEmpty());
    }
    for (const QString &program : programs)
        QVERIFY2(program == started || !QFile::exists(tmp_->path(program + ".ran")), qPrintable(program));
    QVERIFY(dialog && dialog->isVisible());
    delete dialog; // the program started runs on by itself
}

void TestAbout::layoutCaptionsAndTabOrder()
{
    QPointer<frmAbout> dialog = new frmAbout;
    QCOMPARE(dialog->windowTitle(), QStringLiteral("About Tarvos Utility"));
    QCOMPARE(control<QLabel>(dialog, "lblTitle")->text(), QStringLiteral("Tarvos Utility"));
    QCOMPARE(control<QLabel>(dialog, "lblVersion")->text(), QStringLiteral("Version 1.0.0")); // not padded
    QCOMPARE(control<QLabel>(dialog, "lblDescription")->text(), QString::fromUtf8(Resources::CopyrightLine));
    QCOMPARE(control<QPushButton>(dialog, "cmdOK")->text(), QStringLiteral("OK"));
    QCOMPARE(control<QPushButton>(dialog, "cmdSysInfo")->text(), QStringLiteral("&System Info..."));
    QCOMPARE(control<QLabel>(dialog, "picIcon")->pixmap().size(), QSize(32, 32));
    QCOMPARE(control<QLabel>(dialog, "Image1")->pixmap().size(), QSize(414, 147));
    QVERIFY(control<QLabel>(dialog, "Image1")->hasScaledContents());

    // The etched separator: grey over white, across the dialog from just inside its left edge.
    const QImage image = dialog->grab().toImage();
    for (const int x : {7, 190, 376}) {
        QCOMPARE(QColor(image.pixel(x, 163)), QColor(128, 128, 128));
        QCOMPARE(QColor(image.pixel(x, 164)), QColor(Qt::white));
        QCOMPARE(QColor(image.pixel(x, 165)), QColor(Qt::white));
        QVERIFY(QColor(image.pixel(x, 166)) != QColor(Qt::white));
        QVERIFY(QColor(image.pixel(x, 162)) != QColor(128, 128, 128));
    }
    QVERIFY(QColor(image.pixel(378, 163)) != QColor(128, 128, 128));

    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    QCOMPARE(dialog->size(), QSize(382, 237));
    QCOMPARE(dialog->minimumSize(), dialog->maximumSize());
    const Qt::WindowFlags flags = dialog->windowFlags();
    QVERIFY((flags & Qt::WindowType_Mask) == Qt::Dialog);
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    const std::pair<const char *, QRect> table[] = {
        {"picIcon", {240, 240, 540, 540}},       {"lblTitle", {1050, 240, 3885, 240}},
        {"lblVersion", {1080, 600, 3885, 225}},  {"lblDescription", {1050, 960, 3885, 1170}},
        {"Image1", {120, 2520, 2610, 885}},      {"cmdOK", {4245, 2625, 1260, 345}},
        {"cmdSysInfo", {4260, 3075, 1245, 345}},
    };
    for (const auto &[name, t] : table)
        QCOMPARE(control(dialog, name)->geometry(), Twips::rect(t.x(), t.y(), t.width(), t.height()));
    // Centred on the screen (give or take the window frame, unknown until shown).
    const QPoint offset = dialog->geometry().center() - dialog->screen()->availableGeometry().center();
    QVERIFY2(qAbs(offset.x()) <= 8 && qAbs(offset.y()) <= 16,
             qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));

    QCOMPARE(QApplication::focusWidget(), control(dialog, "cmdOK"));
    QVERIFY(control<QPushButton>(dialog, "cmdOK")->isDefault());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), control(dialog, "cmdSysInfo"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), control(dialog, "cmdOK"));
    delete dialog;
}

void TestAbout::keysAndButtonsClose_data()
{
    QTest::addColumn<QString>("how");
    // OK clicked and Esc: see aboutFromMainWindow.
    QTest::newRow("Enter") << "enter";
    QTest::newRow("Esc with the focus on System Info") << "esc on sysinfo";
    QTest::newRow("close box") << "close";
}

void TestAbout::keysAndButtonsClose()
{
    QFETCH(QString, how);
    QPointer<frmAbout> dialog = new frmAbout;
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    if (how == "enter")
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    else if (how == "close")
        dialog->close();
    else {
        control(dialog, "cmdSysInfo")->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    }
    QTRY_VERIFY(dialog.isNull()); // closing unloads; System Info pressed by mistake would fail in init's strict mode
}

void TestAbout::enterAndAccessKeyPressSysInfo()
{
    writeFile(hive_, Header);
    QPointer<frmAbout> dialog = new frmAbout;
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    DialogHook::answerMsgBox(Msg::OK);
    DialogHook::answerMsgBox(Msg::OK);
    control(dialog, "cmdSysInfo")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(DialogHook::shown().size(), 1);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::AltModifier);
    QTRY_COMPARE(DialogHook::shown().size(), 2); // an access key presses its button with a short delay
    QVERIFY(dialog && dialog->isVisible());
    delete dialog;
}

void TestAbout::aboutFromMainWindow()
{
    resetProgramState(tmp_->path("settings"));
    makeBackEnd(tmp_->path("BACK.MDB"), {"ADMIN:Secret"});
    Settings::SaveSetting(Settings::Key::BackEnd, tmp_->path("BACK.MDB"));
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
    // first showing is closed with OK, the second with Esc.
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

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
