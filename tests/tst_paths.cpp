#include "operations/paths.h"
#include "platform/tabctl/sstab.h"

#include <QSignalSpy>
#include <QTabBar>
#include <QtTest>

class TestPaths : public QObject {
    Q_OBJECT

private slots:
    void upperCasedOnlyWhereCaseIsIgnored_data();
    void upperCasedOnlyWhereCaseIsIgnored();
    void suggestedBackupName_data();
    void suggestedBackupName();
    void tabControlPlacesAndNotifies();
};

void TestPaths::upperCasedOnlyWhereCaseIsIgnored_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("caseless");
    QTest::addColumn<QString>("caseful");
    QTest::newRow("windows path") << "c:\\data\\back.mdb" << "C:\\DATA\\BACK.MDB" << "c:\\data\\back.mdb";
    QTest::newRow("posix path") << "/home/ann/Data/back.mdb" << "/HOME/ANN/DATA/BACK.MDB" << "/home/ann/Data/back.mdb";
    QTest::newRow("accents") << "/srv/société/bäck.mdb" << "/SRV/SOCIÉTÉ/BÄCK.MDB" << "/srv/société/bäck.mdb";
    QTest::newRow("empty") << "" << "" << "";
}

void TestPaths::upperCasedOnlyWhereCaseIsIgnored()
{
    QFETCH(QString, typed);
    QFETCH(QString, caseless);
    QFETCH(QString, caseful);
    QCOMPARE(Paths::backEndPathAfterLogin(typed, Paths::FileNameCase::Ignored), caseless);
    QCOMPARE(Paths::backEndPathAfterLogin(typed, Paths::FileNameCase::Significant), caseful);
    QCOMPARE(Paths::backEndPathAfterLogin(typed), caseful); // this platform tells case apart
}

void TestPaths::suggestedBackupName_data()
{
    QTest::addColumn<QString>("backEnd");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("expected");
    QTest::newRow("evening") << "/BACK/BACK.MDB" << QDateTime(QDate(2026, 12, 5), QTime(20, 55, 35))
                             << "/BACK/BACK051226205535.TVB";
    QTest::newRow("leading zeros") << "/BACK/BACK.MDB" << QDateTime(QDate(2027, 2, 1), QTime(9, 5, 7))
                                   << "/BACK/BACK010227090507.TVB";
    QTest::newRow("root folder") << "/BACK.MDB" << QDateTime(QDate(2026, 1, 2), QTime(0, 0, 0))
                                 << "/BACK020126000000.TVB";
    QTest::newRow("no folder") << "BACK.MDB" << QDateTime(QDate(2026, 1, 2), QTime(23, 59, 59))
                               << "BACK020126235959.TVB";
    QTest::newRow("dot in folder") << "/srv/back.up/data" << QDateTime(QDate(2026, 6, 30), QTime(12, 0, 1))
                                   << "/srv/back.up/BACK300626120001.TVB";
}

void TestPaths::suggestedBackupName()
{
    QFETCH(QString, backEnd);
    QFETCH(QDateTime, now);
    QFETCH(QString, expected);
    QCOMPARE(Paths::suggestedBackupName(backEnd, now), expected);
}

void TestPaths::tabControlPlacesAndNotifies()
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
    QCOMPARE(tab.Tab(), 1);
    QVERIFY(w->isVisible());
    QCOMPARE(clicks.size(), 1);
    QCOMPARE(clicks.at(0).at(0).toInt(), 0);
    tab.setTab(1); // already selected: no change notification
    QCOMPARE(clicks.size(), 1);
    tab.setTab(7); // out of range: ignored
    QCOMPARE(tab.Tab(), 1);

    // Keyboard: arrows on the focused strip, Ctrl+Tab anywhere in the window.
    tab.tabBar()->setFocus();
    QTest::keyClick(tab.tabBar(), Qt::Key_Right);
    QCOMPARE(tab.Tab(), 2);
    QTest::keyClick(&tab, Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(tab.Tab(), 0);
    QCOMPARE(clicks.last().at(0).toInt(), 2);
    QCOMPARE(tab.TabCaption(2), QString("Compact"));
}

QTEST_MAIN(TestPaths)
#include "tst_paths.moc"
