#include "forms/frmAbout.h"
#include "platform/errors.h"
#include "platform/registry/registry.h"
#include "platform/twips.h"
#include "resources/texts.h"
#include "testsupport.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

using namespace TestSupport;

namespace {

const QByteArray Header = "Windows Registry Editor Version 5.00\r\n\r\n";
const QByteArray PathKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools\\MSINFO]\r\n";
const QByteArray LocationKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools Location]\r\n";
const QString Unavailable = QStringLiteral("System Information Is Unavailable At This Time");

// A .reg string holding path.
QByteArray regString(const QString &path)
{
    return '"' + QFile::encodeName(path).replace("\\", "\\\\").replace("\"", "\\\"") + '"';
}

// Answers every message box that opens while it lives with OK, and records what each one showed.
class MessageBoxWatcher {
public:
    struct Shown {
        QString text, title;
        QMessageBox::Icon icon;
        QList<QAbstractButton *>::size_type buttons;
    };

    MessageBoxWatcher()
    {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            shown.append({box->text(), box->windowTitle(), box->icon(), box->buttons().size()});
            box->button(QMessageBox::Ok)->click();
        });
        timer_.start();
    }
    QList<Shown> shown;

private:
    QTimer timer_;
};

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
    void sysInfoStartsACopyEachTime();

    void captionsAfterLoad();
    void layout_data();
    void layout();
    void separatorIsEtched();
    void focusAndTabOrder();
    void keysAndButtonsClose_data();
    void keysAndButtonsClose();
    void enterOnSysInfoPressesIt();
    void showModalAfreshLoadsANewDialogEachTime();

private:
    std::unique_ptr<TempFolder> tmp_;
    QString hive_;
};

void TestAbout::init()
{
    tmp_ = std::make_unique<TempFolder>();
    hive_ = tmp_->path("registry.reg");
    Registry::setHiveFile(hive_);
}

void TestAbout::getKeyValue_data()
{
    QTest::addColumn<QByteArray>("hive");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("keyVal");
    QTest::addColumn<bool>("raises");

    const QByteArray key = Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\Test]\r\n";
    const QString before = QStringLiteral("as it was");
    QTest::newRow("string") << key + "\"V\"=\"/usr/bin/hardinfo\"\r\n" << true << "/usr/bin/hardinfo" << false;
    QTest::newRow("string, not ASCII") << key + "\"V\"=\"/opt/\xC3\xBC"
                                                "ber/info\"\r\n"
                                       << true << QStringLiteral("/opt/\u00FCber/info") << false;
    QTest::newRow("string without its zero") << key + "\"V\"=hex(1):41,00,42,00\r\n" << true << "AB" << false;
    QTest::newRow("string of 1023 characters fits") << key + "\"V\"=\"" + QByteArray(1023, 'a') + "\"\r\n"
                                                    << true << QString(1023, QLatin1Char('a')) << false;
    QTest::newRow("string of 1024 characters does not") << key + "\"V\"=\"" + QByteArray(1024, 'a') + "\"\r\n"
                                                        << false << QString() << false;
    QTest::newRow("dword with a zero top byte") << key + "\"V\"=dword:00001234\r\n" << true << "&h001234" << false;
    QTest::newRow("dword, upper-case digits") << key + "\"V\"=dword:12abcdef\r\n" << true << "&h12ABCDEF" << false;
    QTest::newRow("binary leaves it unchanged") << key + "\"V\"=hex:01,02\r\n" << true << before << false;
    QTest::newRow("expandable string leaves it unchanged") << key + "\"V\"=hex(2):41,00,00,00\r\n"
                                                           << true << before << false;
    QTest::newRow("zero-length string") << key + "\"V\"=hex(1):\r\n" << true << before << true;
    QTest::newRow("missing value") << key + "\"W\"=\"x\"\r\n" << false << QString() << false;
    QTest::newRow("missing key") << Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos]\r\n"
                                 << false << QString() << false;
    QTest::newRow("malformed hive") << QByteArray("\x00\x01garbage[HKEY_LOCAL_MACHINE\\SOFTWARE", 36) << false
                                    << QString() << false;
}

void TestAbout::getKeyValue()
{
    QFETCH(QByteArray, hive);
    QFETCH(bool, found);
    QFETCH(QString, keyVal);
    QFETCH(bool, raises);
    writeFile(hive_, hive);
    QString value = QStringLiteral("as it was");
    try {
        const bool result = frmAbout::GetKeyValue(Registry::HKEY_LOCAL_MACHINE,
                                                  QStringLiteral("SOFTWARE\\Tarvos\\Test"), QStringLiteral("V"), value);
        QVERIFY(!raises);
        QCOMPARE(result, found);
    } catch (const Error &e) {
        QVERIFY2(raises, qPrintable(e.message()));
        QVERIFY2(e.description().contains("\"V\""), qPrintable(e.description()));
    }
    QCOMPARE(value, keyVal);
}

void TestAbout::startSysInfo_data()
{
    // "@" in a hive stands for the test's folder. Every case also registers a folder holding a
    // MSINFO32.EXE that must not run unless the case says so.
    QTest::addColumn<QByteArray>("hive");
    QTest::addColumn<QString>("started"); // the program that runs, or empty: the message instead
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
    QDir().mkdir(tmp_->path("tools"));
    QDir().mkdir(tmp_->path("lower"));
    writeMarkerScript(tmp_->path("sys info"), tmp_->path("sys info.ran"));
    writeMarkerScript(tmp_->path("tools/MSINFO32.EXE"), tmp_->path("tools/MSINFO32.EXE.ran"));
    writeMarkerScript(tmp_->path("lower/msinfo32.exe"), tmp_->path("lower/msinfo32.exe.ran"));
    if (!hive.isEmpty())
        writeFile(hive_, hive.replace("@", QFile::encodeName(tmp_->path())));

    QPointer<frmAbout> dialog = new frmAbout;
    dialog->show();
    MessageBoxWatcher watcher;
    QTest::mouseClick(control(dialog, "cmdSysInfo"), Qt::LeftButton);
    if (started.isEmpty()) {
        QCOMPARE(watcher.shown.size(), 1);
        QCOMPARE(watcher.shown[0].text, Unavailable);
        QCOMPARE(watcher.shown[0].title, QString::fromUtf8(Resources::ApplicationTitle));
        QCOMPARE(watcher.shown[0].icon, QMessageBox::NoIcon);
        QCOMPARE(watcher.shown[0].buttons, 1);
    } else {
        QTRY_VERIFY(QFile::exists(tmp_->path(started + ".ran")));
        QCOMPARE(watcher.shown.size(), 0);
    }
    // Nothing else ran, and the dialog is still open.
    for (const QString &program :
         {QStringLiteral("sys info"), QStringLiteral("tools/MSINFO32.EXE"), QStringLiteral("lower/msinfo32.exe")}) {
        if (program != started)
            QVERIFY2(!QFile::exists(tmp_->path(program + ".ran")), qPrintable(program));
    }
    QVERIFY(dialog && dialog->isVisible());
    delete dialog;
}

void TestAbout::sysInfoStartsACopyEachTime()
{
    writeMarkerScript(tmp_->path("sysinfo"), tmp_->path("ran"));
    writeFile(hive_, Header + PathKey + "\"PATH\"=" + regString(tmp_->path("sysinfo")) + "\r\n");
    QPointer<frmAbout> dialog = new frmAbout;
    dialog->show();
    MessageBoxWatcher watcher;
    for (int i = 0; i < 3; ++i)
        QTest::mouseClick(control(dialog, "cmdSysInfo"), Qt::LeftButton);
    QCOMPARE(watcher.shown.size(), 0);
    QTRY_COMPARE(readFile(tmp_->path("ran")).count('\n'), 3);
    // The program runs on by itself: closing the dialog leaves it be.
    delete dialog;
}

void TestAbout::captionsAfterLoad()
{
    QPointer<frmAbout> dialog = new frmAbout;
    QCOMPARE(dialog->windowTitle(), QStringLiteral("About Tarvos Utility"));
    QCOMPARE(control<QLabel>(dialog, "lblTitle")->text(), QStringLiteral("Tarvos Utility"));
    // The parts of the version are written plainly, not padded.
    QCOMPARE(control<QLabel>(dialog, "lblVersion")->text(), QStringLiteral("Version 1.0.0"));
    QCOMPARE(control<QLabel>(dialog, "lblDescription")->text(), QString::fromUtf8(Resources::CopyrightLine));
    QCOMPARE(control<QPushButton>(dialog, "cmdOK")->text(), QStringLiteral("OK"));
    QCOMPARE(control<QPushButton>(dialog, "cmdSysInfo")->text(), QStringLiteral("&System Info..."));
    QVERIFY(!control<QLabel>(dialog, "picIcon")->pixmap().isNull());
    QCOMPARE(control<QLabel>(dialog, "picIcon")->pixmap().size(), QSize(32, 32));
    QCOMPARE(control<QLabel>(dialog, "Image1")->pixmap().size(), QSize(414, 147));
    QVERIFY(control<QLabel>(dialog, "Image1")->hasScaledContents());
    delete dialog;
}

void TestAbout::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");
    QTest::newRow("picIcon") << "picIcon" << QRect(240, 240, 540, 540);
    QTest::newRow("lblTitle") << "lblTitle" << QRect(1050, 240, 3885, 240);
    QTest::newRow("lblVersion") << "lblVersion" << QRect(1080, 600, 3885, 225);
    QTest::newRow("lblDescription") << "lblDescription" << QRect(1050, 960, 3885, 1170);
    QTest::newRow("Image1") << "Image1" << QRect(120, 2520, 2610, 885);
    QTest::newRow("cmdOK") << "cmdOK" << QRect(4245, 2625, 1260, 345);
    QTest::newRow("cmdSysInfo") << "cmdSysInfo" << QRect(4260, 3075, 1245, 345);
}

void TestAbout::layout()
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);
    QPointer<frmAbout> dialog = new frmAbout;
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    QCOMPARE(dialog->size(), QSize(382, 237));
    QCOMPARE(dialog->minimumSize(), dialog->maximumSize());
    const Qt::WindowFlags flags = dialog->windowFlags();
    QVERIFY((flags & Qt::WindowType_Mask) == Qt::Dialog);
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QCOMPARE(control(dialog, qPrintable(name))->geometry(),
             Twips::rect(twips.x(), twips.y(), twips.width(), twips.height()));
    // Centred on the screen (give or take the window frame, unknown until shown).
    const QPoint offset = dialog->geometry().center() - dialog->screen()->availableGeometry().center();
    QVERIFY2(qAbs(offset.x()) <= 8 && qAbs(offset.y()) <= 16,
             qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
    delete dialog;
}

void TestAbout::separatorIsEtched()
{
    QPointer<frmAbout> dialog = new frmAbout;
    const QImage image = dialog->grab().toImage();
    // Grey over white, twice as thick, across the dialog from just inside its left edge.
    for (const int x : {7, 190, 376}) {
        QCOMPARE(QColor(image.pixel(x, 163)), QColor(128, 128, 128));
        QCOMPARE(QColor(image.pixel(x, 164)), QColor(Qt::white));
        QCOMPARE(QColor(image.pixel(x, 165)), QColor(Qt::white));
        QVERIFY(QColor(image.pixel(x, 166)) != QColor(Qt::white));
        QVERIFY(QColor(image.pixel(x, 162)) != QColor(128, 128, 128));
    }
    QVERIFY(QColor(image.pixel(378, 163)) != QColor(128, 128, 128));
    delete dialog;
}

void TestAbout::focusAndTabOrder()
{
    QPointer<frmAbout> dialog = new frmAbout;
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
    writeFile(hive_, Header); // pressing System Info by mistake would show a message, caught below
    QPointer<frmAbout> dialog = new frmAbout;
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    MessageBoxWatcher watcher;
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
    // Closing unloads: the dialog is gone, and nothing else happened.
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(watcher.shown.size(), 0);
}

void TestAbout::enterOnSysInfoPressesIt()
{
    writeFile(hive_, Header);
    QPointer<frmAbout> dialog = new frmAbout;
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    MessageBoxWatcher watcher;
    control(dialog, "cmdSysInfo")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(watcher.shown.size(), 1);
    // Its access key too. (The test platform has no window manager to give the dialog back the
    // activation that the message box took.)
    dialog->activateWindow();
    QTRY_VERIFY(dialog->isActiveWindow());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::AltModifier);
    QTRY_COMPARE(watcher.shown.size(), 2); // an access key presses its button with a short delay
    QVERIFY(dialog && dialog->isVisible());
    delete dialog;
}

void TestAbout::showModalAfreshLoadsANewDialogEachTime()
{
    QList<QPointer<frmAbout>> seen;
    QStringList titles;
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(0, [&] {
            auto *dialog = qobject_cast<frmAbout *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            seen.append(dialog);
            auto *title = control<QLabel>(dialog, "lblTitle");
            titles.append(title->text());
            title->setText(QStringLiteral("changed while shown"));
            QTest::mouseClick(control(dialog, "cmdOK"), Qt::LeftButton);
        });
        frmAbout::showModalAfresh();
        // Back here once closed, and the dialog is already gone.
        QCOMPARE(seen.size(), i + 1);
        QVERIFY(seen.last().isNull());
    }
    // The second showing loaded afresh: the change made to the first one is not seen.
    QCOMPARE(titles, QStringList({"Tarvos Utility", "Tarvos Utility"}));
}

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
