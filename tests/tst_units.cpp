#include "app/settings.h"
#include "errorcheck.h"
#include "operations/paths.h"
#include "platform/controls/controls.h"
#include "platform/registry/registry.h"
#include "platform/tabctl/sstab.h"
#include "platform/taskgroup.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "resources/pictures.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QLabel>
#include <QSettings>
#include <QSignalSpy>
#include <QTabBar>
#include <QTest>

#include <atomic>

using namespace Registry;
using namespace TestSupport;

namespace {

const QByteArray Header = "Windows Registry Editor Version 5.00\r\n\r\n";
const QByteArray Tool = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n";

// Reads value P of SOFTWARE\Vendor\Tool as a careful caller does: asks its size, offers a buffer a
// byte short, which must stay as it was, reads, closes. "<type>:<data>", or "error <code>".
QByteArray readValue(quint32 rights)
{
    HKEY key{};
    quint32 size = 0, type = 0, less = 0;
    QByteArray data;
    long rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\Tool", 0, rights, &key);
    if (rc == ERROR_SUCCESS && (rc = RegQueryValueExA(key, "P", nullptr, &type, nullptr, &size)) == ERROR_SUCCESS) {
        data.fill('\x55', size);
        auto *buffer = reinterpret_cast<unsigned char *>(data.data());
        less = size - 1;
        if (size > 0 && (RegQueryValueExA(key, "P", nullptr, &type, buffer, &less) != ERROR_MORE_DATA || less != size ||
                         data != QByteArray(size, '\x55')))
            return "a buffer a byte short was taken";
        rc = RegQueryValueExA(key, "P", nullptr, &type, buffer, &size);
    }
    if (RegCloseKey(key) == ERROR_SUCCESS && !RegQueryValueExA(key, "P", nullptr, &type, nullptr, &less))
        return "a closed key still reads";
    return rc ? "error " + QByteArray::number(qint64(rc)) : QByteArray::number(type) + ':' + data.left(size);
}

} // namespace

// The digests of the pictures as drawn (see pictures()).
const char *const PictureDigests = "9bfac3bfe657 a472e6c6d27b d315322a79f1 2f10b161f81b 999397f0097f 4dcdec68c06d";

class TestUnits : public QObject {
    Q_OBJECT

private slots:
    // Values live in section [Path] of the TarBackup file, where earlier runs left them; the back-end
    // path typed at login is kept as typed here; a backup is suggested beside the back end.
    void settingsAndPaths()
    {
        TempFolder tmp;
        Settings::useFolder(tmp.path());
        writeFile(tmp.path("TarBackup.conf"), "[Path]\nBackEnd=/old/BACK.MDB\n");
        QCOMPARE(Settings::GetSetting(Settings::Key::BackEnd, "x"), QString("/old/BACK.MDB"));
        QCOMPARE(Settings::GetSetting(Settings::Key::BackTo, "fallback"), QString("fallback"));
        Settings::SaveSetting(Settings::Key::RestFrom, "/backups/it's BACK051226205535.TVB");
        QCOMPARE(QSettings(tmp.path("TarBackup.conf"), QSettings::IniFormat).value("Path/RestFrom").toString(),
                 QString("/backups/it's BACK051226205535.TVB"));
        QCOMPARE(Settings::defaultBackEnd(), QDir::homePath() + "/BACK/BACK.MDB");
        for (const auto &[typed, upper] : {std::pair<QString, QString>{"c:\\data\\back.mdb", "C:\\DATA\\BACK.MDB"},
                                           {"/srv/société/bäck.mdb", "/SRV/SOCIÉTÉ/BÄCK.MDB"},
                                           {"", ""}}) {
            QCOMPARE(Paths::backEndPathAfterLogin(typed, Paths::FileNameCase::Ignored), upper);
            QCOMPARE(Paths::backEndPathAfterLogin(typed), typed); // this platform tells case apart
        }
        const QDateTime morning(QDate(2027, 2, 1), QTime(9, 5, 7));
        QCOMPARE(Paths::suggestedBackupName("/BACK/BACK.MDB", morning), QString("/BACK/BACK010227090507.TVB"));
        QCOMPARE(Paths::suggestedBackupName("/srv/b.up/data", morning), QString("/srv/b.up/BACK010227090507.TVB"));
    }

    // A page's controls stand where the window puts them and show with their tab; the change is
    // announced once, with the tab left; Ctrl+Tab goes round (the window's test presses an arrow).
    // Work on threads of its own: the first failure reaches the waiter, a failure stops the
    // others, and a group left with work running stops it and waits for it.
    void taskGroup()
    {
        std::atomic<bool> stop{false}, otherEnded{false};
        const auto untilStopped = [&] { // (gives up after 5 s, not stopped)
            for (int i = 0; i < 5000 && !stop; ++i)
                QThread::msleep(1);
            otherEnded = stop.load();
        };
        {
            TaskGroup group([&] { stop = true; });
            group.start(untilStopped);
            QVERIFY(!group.waitFor(std::chrono::milliseconds(20)));
            group.start([] {
                QThread::msleep(5);
                throw Error(ENOSPC, QStringLiteral("first"));
            });
            group.start([] {
                QThread::msleep(50);
                throw Error(EIO, QStringLiteral("second"));
            });
            QCOMPARE(errorMismatch([&] { group.wait(); }, ENOSPC, {QStringLiteral("first")}), QString());
            QVERIFY(otherEnded);
            QCOMPARE(errorMismatch([&] { (void)group.waitFor(std::chrono::milliseconds(0)); }, ENOSPC), QString());
        }
        stop = false;
        otherEnded = false;
        {
            TaskGroup group([&] { stop = true; });
            group.start(untilStopped);
        }
        QVERIFY(otherEnded);
        TaskGroup done;
        done.start([] {});
        QVERIFY(done.waitFor(std::chrono::seconds(10)));
    }

    void tabControl()
    {
        SSTab tab({"Backup", "Restore", "Compact"}, 35);
        tab.resize(521, 297);
        auto *w = new QWidget;
        tab.place(1, w, QRect(72, 40, 337, 29));
        tab.show();
        tab.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&tab)); // Ctrl+Tab is a shortcut of the active window
        QVERIFY(w->mapTo(&tab, QPoint(0, 0)) == QPoint(72, 40) && !w->isVisible());
        QSignalSpy clicks(&tab, &SSTab::Click);
        tab.setTab(1);
        tab.setTab(1);
        QVERIFY(w->isVisible() && clicks == QList<QVariantList>{{0}});
        QTest::keyClick(&tab, Qt::Key_Tab, Qt::ControlModifier);
        QTest::keyClick(&tab, Qt::Key_Tab, Qt::ControlModifier);
        QVERIFY(tab.Tab() == 0 && clicks.last() == QVariantList{2});
    }

    // The compression control is made by its class name, sized in twips and shown with its window;
    // what cannot be made is refused with a message, and adds nothing.
    void controlsByClassName()
    {
        QWidget window;
        (new QLabel(&window))->setObjectName("Taken");
        QWidget *control = Controls::Add(ZlibToolCtrl::ClassId, "ZlibTool1", &window);
        QVERIFY(window.findChild<ZlibToolCtrl *>("ZlibTool1") == control && control->isHidden());
        Controls::setWidth(control, 3495);              // twips: 15 to the pixel
        QVERIFY(control->setProperty("Visible", true)); // set while the window is still hidden
        window.show();
        QVERIFY(control->isVisible() && control->width() == 233);
        const QString zlib = ZlibToolCtrl::ClassId;
        const long create = ErrorNumber::CannotCreateObject, invalid = ErrorNumber::InvalidArgument;
        for (const auto &[classId, name, number, cause] :
             {std::tuple{QString("ZlibTool.ZlibToolCtrl.2"), QString("x"), create, "no component"},
              {zlib, "", invalid, "needs a name"},
              {zlib, "Taken", invalid, "already has a control named \"Taken\""},
              {zlib, "Later", create, "not installed"}}) {
            Controls::setAvailable(zlib, name != "Later");
            QCOMPARE(errorMismatch([&] { Controls::Add(classId, name, &window); }, number,
                                   {"Cannot create the control \"" + classId + "\": ", cause}),
                     QString());
        }
        Controls::setAvailable(zlib, true);
        QCOMPARE(window.findChildren<QWidget *>().size(), 3); // the label, the control and its bar
        QVERIFY(Controls::Add(zlib, "Later", &window));
    }

    // The pictures are drawn, on a clear ground but for the login picture's own; the open
    // cabinet, which is the icon, has its drawer out.
    void pictures()
    {
        using namespace Resources;
        const QImage open = cabinetOpen(32).toImage(), shut = cabinetShut(32).toImage();
        QVERIFY(open.copy(0, 16, 32, 16) != shut.copy(0, 16, 32, 16));
        QCOMPARE(applicationIcon().pixmap(16).toImage(), cabinetOpen(16).toImage());
        for (const QImage &image : {open, shut, logo(QSize(174, 59)).toImage(), loginPicture().toImage()}) {
            const int area = image.width() * image.height();
            int opaque = 0;
            for (int i = 0; i < area; ++i)
                opaque += qAlpha(image.pixel(i % image.width(), i / image.width())) > 0;
            QVERIFY(opaque > area / 20 && (image.size() == LoginPictureSize ? opaque == area : opaque < area * 9 / 10));
        }
        // Pixel for pixel, at the sizes the windows show them: a picture changes only on purpose
        // (then the new digests, printed on failure, replace these).
        const QImage shown[] = {open,
                                cabinetOpen(16).toImage(),
                                shut,
                                logo(QSize(78, 41)).toImage(),
                                loginPicture().toImage(),
                                loginBackground(QSize(395, 297)).toImage()};
        QStringList digests;
        for (const QImage &image : shown) {
            const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
            digests << QCryptographicHash::hash(QByteArrayView(argb.constBits(), argb.sizeInBytes()),
                                                QCryptographicHash::Md5)
                           .toHex()
                           .left(12);
        }
        QCOMPARE(digests.join(' '), QString(PictureDigests));
    }

    // The hive file, the rights asked, and what reading value P gives. A line the reader cannot take
    // is skipped; a file it cannot take holds no keys; a key cannot be opened to change the hive.
    void values_data()
    {
        QTest::addColumn<QByteArray>("hive");
        QTest::addColumn<quint32>("rights");
        QTest::addColumn<QByteArray>("result");
        const QByteArray h = Header + Tool, absent = "error 2", zero(1, '\0');
        const auto row = [](const char *tag, const QByteArray &hive, const QByteArray &result) {
            QTest::newRow(tag) << hive << KEY_READ << result;
        };
        row("string with escapes, spaced", h + "\"P\" =  \"C:\\\\Program Files\\\\a \\\"b\\\".exe\"",
            "1:" + QByteArray("C:\\Program Files\\a \"b\".exe") + zero);
        row("dword, in UTF-8 with its mark", "\xEF\xBB\xBF" + h + "\"P\"=dword:0000abcd", "4:\xcd\xab" + zero + zero);
        row("dword of nine digits dropped", h + "\"P\"=dword:000000001", absent);
        row("a type this reader does not take", h + "\"P\"=hex:de,ad", absent);
        row("the older header", "REGEDIT4\r\n\r\n" + Tool + "\"P\"=\"AB\"", "1:AB" + zero);
        row("names ignore case", Header + "[hkey_local_machine\\software\\VENDOR\\tool]\r\n\"p\"=\"x\"", "1:x" + zero);
        row("bad lines skipped", h + "; note\r\n\"A\"=\"x\" junk\r\n\"B\"=hex:1,zz\r\n\"P\"=\"ok\"", "1:ok" + zero);
        row("letters beyond ASCII",
            h + "\"P\"=\"Stra\xC3\x9F"
                "e\"",
            "1:Stra\xC3\x9F"
            "e" +
                zero);
        row("no header", Tool + "\"P\"=\"1\"", absent);
        row("too large", h + "\"P\"=\"1\"\r\n" + QByteArray(17 << 20, ' '), absent);
        for (const quint32 rights : {quint32(KEY_READ | KEY_SET_VALUE), KEY_WRITE, KEY_ALL_ACCESS})
            QTest::addRow("rights %x refused", rights) << h + "\"P\"=\"1\"" << rights << QByteArray("error 5");
    }

    void values()
    {
        QFETCH(QByteArray, hive);
        QFETCH(quint32, rights);
        QFETCH(QByteArray, result);
        const TempFolder tmp;
        setHiveFile(tmp.path("registry.reg"));
        writeFile(tmp.path("registry.reg"), hive);
        QCOMPARE(readValue(rights).toHex(' '), result.toHex(' '));
    }
};

QTEST_MAIN(TestUnits)
#include "tst_units.moc"
