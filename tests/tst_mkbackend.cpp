#include "backendmaker.h"
#include "errorcheck.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <sqlite3.h>

using namespace TestSupport;

namespace {

// The first column of every row that sql yields on the database at path.
QStringList column(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    QStringList out;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK) {
            while (sqlite3_step(stmt) == SQLITE_ROW)
                out << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close_v2(db);
    return out;
}

qint64 number(const QString &path, const char *sql)
{
    return column(path, sql).value(0, "-1").toLongLong();
}

} // namespace

class TestMkBackend : public QObject {
    Q_OBJECT

private slots:
    void makesFilesOfTheAskedShape_data();
    void makesFilesOfTheAskedShape();
    void commandLine();
};

void TestMkBackend::makesFilesOfTheAskedShape_data()
{
    QTest::addColumn<int>("sizeMb");
    QTest::addColumn<int>("freePercent");
    QTest::addColumn<bool>("wal");
    QTest::newRow("users only") << 0 << 0 << false;
    QTest::newRow("4 MiB, packed") << 4 << 0 << false;
    QTest::newRow("4 MiB, 30% free") << 4 << 30 << false;
    QTest::newRow("6 MiB, 60% free, WAL") << 6 << 60 << true;
}

void TestMkBackend::makesFilesOfTheAskedShape()
{
    QFETCH(int, sizeMb);
    QFETCH(int, freePercent);
    QFETCH(bool, wal);
    TempFolder tmp;
    const QString path = tmp.path("it's BACK.MDB");
    BackendMaker::Options options;
    options.users = {{"ADMIN", "pa:ss'word"}, {"CLERK", ""}};
    options.generatedUsers = 12;
    options.sizeBytes = qint64(sizeMb) << 20;
    options.freePercent = freePercent;
    options.wal = wal;
    const BackendMaker::Summary made = BackendMaker::make(path, options);

    // Nothing but the database itself is left: no journal, no log.
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"it's BACK.MDB"});
    QCOMPARE(column(path, "PRAGMA integrity_check"), QStringList{"ok"});
    QCOMPARE(made.fileBytes, QFileInfo(path).size());
    QCOMPARE(made.pageCount, number(path, "PRAGMA page_count"));
    QCOMPARE(made.freePages, number(path, "PRAGMA freelist_count"));
    QCOMPARE(column(path, "PRAGMA journal_mode"), QStringList{wal ? "wal" : "delete"});

    QCOMPARE(made.users, 14);
    QCOMPARE(column(path, "SELECT UserName || '/' || UserPassword FROM User ORDER BY rowid").mid(0, 4),
             (QStringList{"ADMIN/pa:ss'word", "CLERK/", "USER000001/pw000001", "USER000002/pw000002"}));
    QCOMPARE(number(path, "SELECT count(*) FROM User"), 14);

    if (sizeMb == 0) {
        QVERIFY(made.fileBytes < 64 * 1024);
        QCOMPARE(made.invoices, 0);
        return;
    }
    const qint64 wanted = qint64(sizeMb) << 20;
    QVERIFY2(made.fileBytes >= wanted && made.fileBytes < wanted * 11 / 10,
             qPrintable(QString::number(made.fileBytes)));
    const double freeShare = 100.0 * double(made.freePages) / double(made.pageCount);
    QVERIFY2(freeShare >= freePercent && freeShare < freePercent + 3, qPrintable(QString::number(freeShare)));
    QCOMPARE(made.invoices, number(path, "SELECT count(*) FROM Invoice"));
    QCOMPARE(made.lines, number(path, "SELECT count(*) FROM InvoiceLine"));
    QVERIFY(made.customers > 0 && made.invoices > made.customers && made.lines > made.invoices);
    // Deleted invoices take their lines with them, and every total is the sum of its lines.
    QCOMPARE(number(path, "SELECT count(*) FROM InvoiceLine WHERE InvoiceID NOT IN (SELECT InvoiceID FROM Invoice)"),
             0);
    QCOMPARE(number(path, "SELECT count(*) FROM Invoice i WHERE abs(Total - (SELECT sum(Amount) FROM InvoiceLine l "
                          "WHERE l.InvoiceID = i.InvoiceID)) > 0.005"),
             0);
    // Real-looking text: the file compresses well, but not to nothing.
    const qsizetype packed = qCompress(readFile(path), 1).size();
    QVERIFY2(packed > made.fileBytes / 40 && packed < made.fileBytes / 2, qPrintable(QString::number(packed)));
}

// Silent on success, exit code 2 and a word on stderr for bad arguments, 1 for a failure (here
// an existing file, which is left alone).
void TestMkBackend::commandLine()
{
    TempFolder tmp;
    QProcess run;
    const auto exitCode = [&](const QStringList &args) {
        run.start(toolsDir() + "/mkbackend", args);
        return run.waitForFinished(60000) ? run.exitCode() : -1;
    };
    QCOMPARE(exitCode({"--user", "ADMIN:s3cret:x", "--users", "2", tmp.path("A.MDB")}), 0);
    QCOMPARE(run.readAll(), QByteArray());
    QCOMPARE(column(tmp.path("A.MDB"), "SELECT UserName || '/' || UserPassword FROM User ORDER BY rowid"),
             (QStringList{"ADMIN/s3cret:x", "USER000001/pw000001", "USER000002/pw000002"}));
    QCOMPARE(exitCode({"--verbose", "--size-mb", "1", "--free-percent", "10", "--wal", tmp.path("B.MDB")}), 0);
    QVERIFY(run.readAllStandardOutput().contains("WAL mode"));
    for (const QStringList &args : QList<QStringList>{{"--user", "NOCOLON", tmp.path("C.MDB")},
                                                      {"--free-percent", "91", tmp.path("C.MDB")},
                                                      {"--size-mb", "lots", tmp.path("C.MDB")},
                                                      {}}) {
        QCOMPARE(exitCode(args), 2);
        QVERIFY(!run.readAllStandardError().isEmpty());
    }
    const QByteArray made = readFile(tmp.path("A.MDB"));
    QCOMPARE(exitCode({tmp.path("A.MDB")}), 1);
    QVERIFY(run.readAllStandardError().contains(quotedPath(tmp.path("A.MDB")).toLocal8Bit() + ": File exists"));
    QCOMPARE(readFile(tmp.path("A.MDB")), made);
    BackendMaker::Options tooFree;
    tooFree.freePercent = 95;
    QCOMPARE(errorMismatch([&] { BackendMaker::make(tmp.path("C.MDB"), tooFree); }, ErrorNumber::InvalidArgument),
             QString());
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{"A.MDB", "B.MDB"}));
}

QTEST_GUILESS_MAIN(TestMkBackend)
#include "tst_mkbackend.moc"
