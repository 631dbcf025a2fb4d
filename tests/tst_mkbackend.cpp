#include "backendmaker.h"
#include "opsupport.h"
#include "testsupport.h"

#include <QProcess>
#include <QtTest>

using namespace OpSupport;
using namespace TestSupport;

class TestMkBackend : public QObject {
    Q_OBJECT

private slots:
    void shapes_data();
    void shapes();
    void commandLine();
};

void TestMkBackend::shapes_data()
{
    QTest::addColumn<int>("sizeMb");
    QTest::addColumn<int>("freePercent");
    QTest::addColumn<bool>("wal");
    QTest::newRow("users only") << 0 << 0 << false;
    QTest::newRow("4 MiB, 30% free") << 4 << 30 << false;
    QTest::newRow("6 MiB, 60% free, WAL") << 6 << 60 << true;
}

// A whole database of the asked size and free share, alone in its folder.
void TestMkBackend::shapes()
{
    QFETCH(int, sizeMb);
    QFETCH(int, freePercent);
    QFETCH(bool, wal);
    TempFolder tmp;
    const QString path = tmp.path("it's BACK.MDB");
    const qint64 size = qint64(sizeMb) << 20;
    const BackendMaker::Summary made =
        BackendMaker::make(path, {{{"ADMIN", "pa:ss'word"}, {"CLERK", ""}}, 2, size, freePercent, wal});
    QCOMPARE(entries(tmp.path()), QStringList{"it's BACK.MDB"});
    QCOMPARE(scalar(path, "PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(scalar(path, "PRAGMA journal_mode"), QString(wal ? "wal" : "delete"));
    QCOMPARE(rows(path, "SELECT UserName, UserPassword FROM User ORDER BY rowid"),
             (QStringList{"ADMIN|pa:ss'word", "CLERK|", "USER000001|pw000001", "USER000002|pw000002"}));
    QCOMPARE(made.fileBytes, QFileInfo(path).size());
    if (sizeMb == 0)
        return;
    QVERIFY(made.fileBytes >= size && made.fileBytes < size * 11 / 10);
    const double freeShare = 100 * scalar(path, "PRAGMA freelist_count").toDouble() / scalar(path, "PRAGMA page_count").toDouble();
    QVERIFY2(freeShare >= freePercent && freeShare < freePercent + 3, qPrintable(QString::number(freeShare)));
    // Invoices deleted took their lines with them, and every total is the sum of its lines.
    QCOMPARE(scalar(path, "SELECT count(*) FROM InvoiceLine WHERE InvoiceID NOT IN (SELECT InvoiceID FROM Invoice)"
                          " + (SELECT count(*) FROM Invoice i WHERE abs(Total - (SELECT sum(Amount) FROM InvoiceLine l"
                          " WHERE l.InvoiceID = i.InvoiceID)) > 0.005)"),
             QString("0"));
}

// Silent on success; exit code 2 for bad arguments, 1 for an existing file, which is left alone.
void TestMkBackend::commandLine()
{
    TempFolder tmp;
    QProcess run;
    const auto exitCode = [&](const QStringList &args) {
        run.start(toolsDir() + "/mkbackend", args);
        return run.waitForFinished(60000) ? run.exitCode() : -1;
    };
    QCOMPARE(exitCode({"--user", "ADMIN:s3cret:x", "--users", "1", tmp.path("A.MDB")}), 0);
    QCOMPARE(run.readAll(), QByteArray());
    QCOMPARE(rows(tmp.path("A.MDB"), "SELECT * FROM User"), (QStringList{"ADMIN|s3cret:x", "USER000001|pw000001"}));
    QCOMPARE(exitCode({"--user", "NOCOLON", tmp.path("C.MDB")}), 2);
    const QByteArray made = readFile(tmp.path("A.MDB"));
    QCOMPARE(exitCode({tmp.path("A.MDB")}), 1);
    QCOMPARE(readFile(tmp.path("A.MDB")), made);
    QCOMPARE(entries(tmp.path()), QStringList{"A.MDB"});
}

QTEST_GUILESS_MAIN(TestMkBackend)
#include "tst_mkbackend.moc"
