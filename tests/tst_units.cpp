#include "app/settings.h"
#include "operations/paths.h"
#include "platform/controls/controls.h"
#include "platform/errors.h"
#include "platform/tabctl/sstab.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "resources/palette16.h"
#include "resources/pictures.h"
#include "errorcheck.h"
#include "testsupport.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTabBar>
#include <QtTest>

using namespace TestSupport;

namespace {

// The share of pixels in area that are not fully transparent.
double opaque(const QImage &image, const QRect &area)
{
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += qAlpha(image.pixel(x, y)) > 0;
    return double(n) / (area.width() * area.height());
}

} // namespace

// The small pieces the windows are made of: settings, path rules, the tab control, controls made
// by class name, and the pictures.
class TestUnits : public QObject {
    Q_OBJECT

private slots:
    // Values live in section [Path] of the TarBackup file, where earlier runs left them.
    void settings()
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
        QCOMPARE(Error::fromErrno(ENOENT, "Cannot open " + quotedPath("/a/b c")).message(),
                 QString("2: Cannot open \"/a/b c\": No such file or directory"));
    }

    void paths()
    {
        using Paths::FileNameCase;
        for (const auto &[typed, upper] : {std::pair<QString, QString>{"c:\\data\\back.mdb", "C:\\DATA\\BACK.MDB"},
                                           {"/srv/société/bäck.mdb", "/SRV/SOCIÉTÉ/BÄCK.MDB"}, {"", ""}}) {
            QCOMPARE(Paths::backEndPathAfterLogin(typed, FileNameCase::Ignored), upper);
            QCOMPARE(Paths::backEndPathAfterLogin(typed, FileNameCase::Significant), typed);
            QCOMPARE(Paths::backEndPathAfterLogin(typed), typed); // this platform tells case apart
        }
        const QDateTime morning(QDate(2027, 2, 1), QTime(9, 5, 7));
        QCOMPARE(Paths::suggestedBackupName("/BACK/BACK.MDB", morning), QString("/BACK/BACK010227090507.TVB"));
        QCOMPARE(Paths::suggestedBackupName("BACK.MDB", morning), QString("BACK010227090507.TVB"));
        QCOMPARE(Paths::suggestedBackupName("/srv/back.up/data", morning), QString("/srv/back.up/BACK010227090507.TVB"));
    }

    // A page's controls stand where the window puts them and show with their tab; the change is
    // announced once, with the tab left; arrows move along the strip, Ctrl+Tab goes round.
    void tabControl()
    {
        SSTab tab({"Backup", "Restore", "Compact"}, 35);
        tab.resize(521, 297);
        auto *w = new QWidget;
        tab.place(1, w, QRect(72, 40, 337, 29));
        tab.show();
        tab.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&tab));
        QCOMPARE(w->mapTo(&tab, QPoint(0, 0)), QPoint(72, 40));
        QVERIFY(!w->isVisible());
        QSignalSpy clicks(&tab, &SSTab::Click);
        tab.setTab(1);
        tab.setTab(1);
        tab.setTab(7); // out of range: ignored
        QVERIFY(w->isVisible());
        QCOMPARE(clicks, QList<QVariantList>{{0}});
        tab.tabBar()->setFocus();
        QTest::keyClick(tab.tabBar(), Qt::Key_Right);
        QCOMPARE(tab.Tab(), 2);
        QTest::keyClick(&tab, Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(tab.Tab(), 0);
        QCOMPARE(clicks.last(), QVariantList{2});
    }

    // The compression control is made by its class name, placed in twips and shown with its
    // window; what cannot be made is refused with a message and adds nothing.
    void controlsByClassName()
    {
        QWidget window;
        window.resize(600, 400);
        (new QLabel(&window))->setObjectName("Taken");
        QWidget *control = Controls::Add(ZlibToolCtrl::ClassId, "ZlibTool1", &window);
        QCOMPARE(window.findChild<ZlibToolCtrl *>("ZlibTool1"), control);
        Controls::setLeft(control, 1560);
        Controls::setTop(control, 4800);
        Controls::setHeight(control, 375);
        Controls::setWidth(control, 3495);
        QCOMPARE(control->geometry(), QRect(104, 320, 233, 25));
        QVERIFY(control->setProperty("Visible", true)); // set while the window is still hidden
        window.show();
        QVERIFY(control->isVisible());
        const QString zlib = ZlibToolCtrl::ClassId;
        const long create = ErrorNumber::CannotCreateObject, invalid = ErrorNumber::InvalidArgument;
        Controls::registerClass("Test.Broken.1", [] { return nullptr; });
        for (const auto &[classId, name, container, number, cause] :
             {std::tuple{QString("ZlibTool.ZlibToolCtrl.2"), QString("x"), &window, create, "no component"},
              {zlib, "Other", nullptr, invalid, "no window"}, {zlib, "", &window, invalid, "needs a name"},
              {zlib, "Taken", &window, invalid, "already has a control named \"Taken\""},
              {"Test.Broken.1", "Broken", &window, create, ""}, {zlib, "Later", &window, create, "not installed"}}) {
            Controls::setAvailable(zlib, name != "Later");
            QCOMPARE(errorMismatch([&] { Controls::Add(classId, name, container); }, number,
                                   {"Cannot create the control \"" + classId + "\": ", cause}),
                     QString());
        }
        Controls::setAvailable(zlib, true);
        QCOMPARE(window.findChildren<QWidget *>().size(), 3); // the label, the control and its bar
        QVERIFY(Controls::Add(zlib, "Later", &window));
    }

    // Both cabinets are drawn at every size, the open one with its drawer out in the lower left,
    // in the sixteen colours at the icon's own size; the logo and login picture are drawn too.
    void pictures()
    {
        using namespace Resources::Palette16;
        const QSet<QRgb> palette = {Black.rgb(), Maroon.rgb(), Olive.rgb(),  Navy.rgb(), Teal.rgb(),
                                    Grey.rgb(),  Silver.rgb(), Yellow.rgb(), Aqua.rgb(), White.rgb()};
        for (const int size : {16, 24, 32, 48, 256}) {
            const QImage open = Resources::cabinetOpen(size).toImage(), shut = Resources::cabinetShut(size).toImage();
            for (const QImage &image : {open, shut}) {
                QCOMPARE(image.size(), QSize(size, size));
                QVERIFY(opaque(image, image.rect()) > 0.3 && opaque(image, image.rect()) < 0.9);
                for (int i = 0; size == 32 && i < size * size; ++i) {
                    const QRgb pixel = image.pixel(i % size, i / size);
                    QVERIFY(qAlpha(pixel) == 0 || palette.contains(pixel));
                }
            }
            const QRect leftStrip(0, size / 2, size * 6 / 32, size - size / 2);
            QVERIFY(opaque(open, leftStrip) > opaque(shut, leftStrip));
            QCOMPARE(open.copy(0, 0, size, size / 4), shut.copy(0, 0, size, size / 4));
        }
        QCOMPARE(Resources::applicationIcon().pixmap(16).toImage(), Resources::cabinetOpen(16).toImage());
        // The logo's emblem on the left third, its word mark on the right, on a clear ground.
        for (const QSize size : {Resources::LogoSize, QSize(174, 59), QSize(78, 41)}) {
            const QImage logo = Resources::logo(size).toImage();
            const double emblem = opaque(logo, QRect(0, 0, size.width() / 3, size.height())),
                         words = opaque(logo, QRect(size.width() / 3 + 1, 0, size.width() * 2 / 3 - 1, size.height()));
            QVERIFY(logo.size() == size && emblem > 0.15 && emblem < 0.8 && words > 0.05 && words < 0.6);
        }
        // The login picture has its own background, and more than a background on it.
        const QImage login = Resources::loginPicture().toImage();
        int background = 0;
        for (int i = 0; i < 240 * 134; ++i)
            background += login.pixel(i % 240, i / 240) == Navy.rgb();
        QVERIFY(login.size() == QSize(240, 134) && opaque(login, login.rect()) == 1.0 && background < 240 * 134 * 3 / 4);
    }
};

QTEST_MAIN(TestUnits)
#include "tst_units.moc"
