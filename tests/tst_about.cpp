#include "forms/frmAbout.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/registry/registry.h"
#include "platform/twips.h"
#include "resources/texts.h"
#include "testsupport.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

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
    void layoutCaptionsAndFocus();
    void keysAndButtonsClose_data();
    void keysAndButtonsClose();
    void enterAndAccessKeyPressSysInfo();

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

void TestAbout::layoutCaptionsAndFocus()
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

    // The focus chain follows the table's order; of these, only the buttons take the focus.
    const QStringList order = {"cmdOK", "picIcon", "cmdSysInfo", "lblDescription", "lblTitle", "lblVersion"};
    QStringList chain;
    QWidget *w = control(dialog, "cmdOK");
    do {
        if (order.contains(w->objectName()))
            chain.append(w->objectName());
        w = w->nextInFocusChain();
    } while (w != control(dialog, "cmdOK"));
    QCOMPARE(chain, order);

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
    QTest::newRow("OK clicked") << "click";
    QTest::newRow("Enter") << "enter";
    QTest::newRow("Esc") << "esc";
    QTest::newRow("Esc with the focus on System Info") << "esc on sysinfo";
    QTest::newRow("close box") << "close";
}

void TestAbout::keysAndButtonsClose()
{
    QFETCH(QString, how);
    QPointer<frmAbout> dialog = new frmAbout;
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    if (how == "click")
        QTest::mouseClick(control(dialog, "cmdOK"), Qt::LeftButton);
    else if (how == "enter")
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    else if (how == "close")
        dialog->close();
    else {
        if (how == "esc on sysinfo")
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

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
