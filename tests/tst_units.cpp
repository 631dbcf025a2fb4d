#include "app/settings.h"
#include "operations/paths.h"
#include "platform/controls/controls.h"
#include "platform/errors.h"
#include "platform/tabctl/sstab.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "resources/pictures.h"
#include "errorcheck.h"
#include "testsupport.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTabBar>
#include <QtTest>

using namespace TestSupport;

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
        QVERIFY(QTest::qWaitForWindowActive(&tab)); // Ctrl+Tab is a shortcut of the active window
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
    // window; what cannot be made is refused with a message, and adds nothing.
    void controlsByClassName()
    {
        QWidget window;
        window.resize(600, 400);
        (new QLabel(&window))->setObjectName("Taken");
        QWidget *control = Controls::Add(ZlibToolCtrl::ClassId, "ZlibTool1", &window);
        QVERIFY(window.findChild<ZlibToolCtrl *>("ZlibTool1") == control && control->isHidden());
        Controls::setLeft(control, 1560); // twips: 15 to the pixel
        Controls::setWidth(control, 3495);
        QCOMPARE(control->geometry().left(), 104);
        QCOMPARE(control->geometry().width(), 233);
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

    // The pictures are drawn at the sizes asked for, neither blank nor filled: the cabinets (the
    // open one's drawer out), the logo on a clear ground, the login picture on its own ground.
    void pictures()
    {
        const auto opaque = [](const QImage &image) { // the share of pixels not fully transparent
            int n = 0;
            for (int i = 0; i < image.width() * image.height(); ++i)
                n += qAlpha(image.pixel(i % image.width(), i / image.width())) > 0;
            return double(n) / (image.width() * image.height());
        };
        for (const int size : {16, 32, 256}) {
            const QImage open = Resources::cabinetOpen(size).toImage(), shut = Resources::cabinetShut(size).toImage();
            for (const QImage &image : {open, shut})
                QVERIFY(image.size() == QSize(size, size) && opaque(image) > 0.3 && opaque(image) < 0.9);
            QVERIFY(open.copy(0, size / 2, size, size / 2) != shut.copy(0, size / 2, size, size / 2));
        }
        QCOMPARE(Resources::applicationIcon().pixmap(16).toImage(), Resources::cabinetOpen(16).toImage());
        const QImage logo = Resources::logo(QSize(174, 59)).toImage(), login = Resources::loginPicture().toImage();
        QVERIFY(logo.size() == QSize(174, 59) && opaque(logo) > 0.05 && opaque(logo) < 0.6);
        QVERIFY(login.size() == QSize(240, 134) && opaque(login) == 1.0 && login.pixel(0, 0) != login.pixel(120, 67));
    }
};

QTEST_MAIN(TestUnits)
#include "tst_units.moc"
