#include "backendmaker.h"
#include "operations/copycheck.h"
#include "operations/paths.h"
#include "operations/replacement.h"
#include "opsupport.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/inuse/inuse.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QtTest>

#include <cerrno>
#include <unistd.h>

using namespace OpSupport;
using namespace TestSupport;

// The pure parts of the operations (names and paths), which processes hold a file open, the
// check that nobody uses a database, and the replacement of a database file.
class TestOperations : public QObject {
    Q_OBJECT

private slots:
    void backupFileName_data();
    void backupFileName();
    void safetyCopyPath();
    void compactTempPath_data();
    void compactTempPath();
    void processesUsingFindsHolders();
    void inUseDatabaseRefused_data();
    void inUseDatabaseRefused();
    void hotJournalRolledBack();
    void logCheckpointedIntoFile();
    void replacementLocksOldFileOnly_data();
    void replacementLocksOldFileOnly();
    void copyCheck_data();
    void copyCheck();
};

void TestOperations::backupFileName_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("written");
    const char *const rows[][3] = {
        {"no extension", "/srv/backups/monday", "/srv/backups/monday.TVB"},
        {"mdb", "/srv/backups/data.mdb", "/srv/backups/data.TVB"},
        {"lower-case tvb", "/srv/backups/data.tvb", "/srv/backups/data.TVB"},
        {"already TVB", "/srv/backups/data.TVB", "/srv/backups/data.TVB"},
        {"dot in folder only", "/srv/Back.up/data", "/srv/Back.up/data.TVB"},
        {"dots in folder and name", "/srv/Back.up/data.old.mdb", "/srv/Back.up/data.old.TVB"},
        {"ends in a dot", "/srv/backups/data.", "/srv/backups/data.TVB"},
        {"only a dot", ".", ".TVB"},
        {"name only", "data.mdb", "data.TVB"},
        {"empty", "", ".TVB"},
        {"backslash is no separator here", "C:\\Back.up\\data", "C:\\Back.TVB"},
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
}

void TestOperations::backupFileName()
{
    QFETCH(QString, typed);
    QFETCH(QString, written);
    QCOMPARE(Paths::backupFileName(typed), written);
}

void TestOperations::safetyCopyPath()
{
    QCOMPARE(Paths::safetyCopyPath("/opt/tarvos", QDate(2026, 12, 5)), QString("/opt/tarvos/BACK26.BAK"));
    QCOMPARE(Paths::safetyCopyPath("/opt/tarvos", QDate(2004, 1, 1)), QString("/opt/tarvos/BACK04.BAK"));
    QCOMPARE(Paths::safetyCopyPath("/opt/tarvos", QDate(2100, 7, 9)), QString("/opt/tarvos/BACK00.BAK"));
}

void TestOperations::compactTempPath_data()
{
    QTest::addColumn<QString>("backEnd");
    QTest::addColumn<QString>("expected"); // empty: refused
    const char *const rows[][3] = {
        {"usual", "/home/ann/BACK/BACK.MDB", "/home/ann/BACK/BACKNEW.MDB"},
        {"root folder", "/BACK.MDB", "/BACKNEW.MDB"},
        {"dot in folder", "/srv/a.b/data", "/srv/a.b/BACKNEW.MDB"},
        {"no folder", "BACK.MDB", ""},
        {"empty", "", ""},
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
}

void TestOperations::compactTempPath()
{
    QFETCH(QString, backEnd);
    QFETCH(QString, expected);
    try {
        const QString temp = Paths::compactTempPath(backEnd);
        QVERIFY2(!expected.isEmpty(), qPrintable("accepted: " + temp));
        QCOMPARE(temp, expected);
    } catch (const Error &e) {
        QVERIFY2(expected.isEmpty(), qPrintable(e.message()));
        QCOMPARE(e.number(), ErrorNumber::InvalidArgument);
        QVERIFY(e.description().contains(quotedPath(backEnd)));
        QVERIFY(e.description().contains("BACKNEW.MDB"));
    }
}

void TestOperations::processesUsingFindsHolders()
{
    TempFolder tmp;
    const QString db = tmp.path("BACK.MDB");
    BackendMaker::make(db, {});
    const QString link = tmp.path("other name.MDB");
    QVERIFY(::link(QFile::encodeName(db), QFile::encodeName(link)) == 0);
    QVERIFY(InUse::processesUsing({db, tmp.path("missing")}).isEmpty());

    Child child;
    QVERIFY(child.start("idle", db));
    QCOMPARE(InUse::processesUsing({db}), QList<qint64>{child.pid()});
    QCOMPARE(InUse::processesUsing({tmp.path("missing"), link}), QList<qint64>{child.pid()});
    {
        QFile mine(db);
        QVERIFY(mine.open(QIODevice::ReadOnly));
        const QList<qint64> both = InUse::processesUsing({db});
        QCOMPARE(both.size(), 2);
        QVERIFY(both.contains(QCoreApplication::applicationPid()) && both.contains(child.pid()));
    }
    child.finish();
    QVERIFY(InUse::processesUsing({db, link}).isEmpty());
}

void TestOperations::inUseDatabaseRefused_data()
{
    QTest::addColumn<QString>("role");
    QTest::addColumn<bool>("wal");
    QTest::newRow("read transaction open") << "hold" << false;
    QTest::newRow("open, no transaction") << "idle" << false;
    QTest::newRow("log: read transaction open") << "hold" << true;
    QTest::newRow("log: open, no transaction") << "idle" << true;
}

void TestOperations::inUseDatabaseRefused()
{
    QFETCH(QString, role);
    QFETCH(bool, wal);
    TempFolder tmp;
    const QString db = tmp.path("BACK.MDB");
    BackendMaker::Options options;
    options.users = {{"ADMIN", "x"}};
    options.wal = wal;
    BackendMaker::make(db, options);
    const QByteArray before = readFile(db);
    Child child;
    QVERIFY(child.start(role, db));
    try {
        Operations::ensureNotInUse(db);
        QFAIL("a database in use passed");
    } catch (const Error &e) {
        QCOMPARE(e.number(), long(EBUSY));
        QVERIFY2(e.description().contains(quotedPath(db) + " is in use by another program"),
                 qPrintable(e.description()));
        QVERIFY2(e.description().contains(QString::number(child.pid())), qPrintable(e.description()));
    }
    child.finish();
    QCOMPARE(readFile(db), before);
    Operations::ensureNotInUse(db); // free again
}

void TestOperations::hotJournalRolledBack()
{
    TempFolder tmp;
    const QString db = tmp.path("BACK.MDB");
    BackendMaker::make(db, {});
    addLedger(db, 2000);
    const QStringList counts = tableCounts(db);
    {
        Child writer;
        QVERIFY(writer.start("crash", db));
        writer.kill();
    }
    // What a plain copy of the file alone would hold now: a half-changed database.
    QVERIFY(Files::exists(db + "-journal"));
    QFile::copy(db, tmp.path("plain copy"));
    QVERIFY(scalar(tmp.path("plain copy"), "SELECT sum(Balance) FROM Debit") != "0");

    Operations::ensureNotInUse(db);
    QVERIFY(!QFile::exists(db + "-journal"));
    QFile::copy(db, tmp.path("copy after"));
    QCOMPARE(ledgerProblem(tmp.path("copy after")), QString());
    QCOMPARE(scalar(tmp.path("copy after"), "SELECT sum(Balance) FROM Debit"), QString("0"));
    QCOMPARE(tableCounts(tmp.path("copy after")), counts);
}

void TestOperations::logCheckpointedIntoFile()
{
    TempFolder tmp;
    const QString db = tmp.path("BACK.MDB");
    BackendMaker::Options options;
    options.wal = true;
    BackendMaker::make(db, options);
    {
        Child writer;
        QVERIFY(writer.start("walcommit", db, "300"));
        writer.kill(); // no checkpoint: the rows are only in the log
    }
    QVERIFY(QFileInfo(db + "-wal").size() > 0);
    QFile::copy(db, tmp.path("plain copy"));
    QVERIFY(!rows(tmp.path("plain copy"), "SELECT name FROM sqlite_master").contains("Pending"));

    Operations::ensureNotInUse(db);
    QVERIFY(QFileInfo(db + "-wal").size() == 0); // absent or emptied
    QFile::copy(db, tmp.path("copy after"));
    QCOMPARE(scalar(tmp.path("copy after"), "SELECT count(*) FROM Pending"), QString("300"));
}

void TestOperations::replacementLocksOldFileOnly_data()
{
    QTest::addColumn<bool>("wal");
    QTest::newRow("rollback journal") << false;
    QTest::newRow("write-ahead log") << true;
}

void TestOperations::replacementLocksOldFileOnly()
{
    QFETCH(bool, wal);
    TempFolder tmp;
    const QString target = tmp.path("BACK.MDB");
    BackendMaker::Options options;
    options.wal = wal;
    BackendMaker::make(target, options);
    BackendMaker::make(tmp.path("new.MDB"), {{{"NEW", "x"}}});
    writeFile(target + "-journal", "stale"); // not hot (no header), but not the new file's either

    Operations::replaceDatabase(target, [&] {
        QVERIFY(!QFile::exists(target + "-journal"));
        if (!wal) {
            // No connection can start writing to the old file while it is being replaced.
            RawDb other = rawOpen(target);
            sqlite3_busy_timeout(other.get(), 0);
            QCOMPARE(sqlite3_exec(other.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_BUSY);
        }
        Files::replace(tmp.path("new.MDB"), target);
        // A program that opens the new file at once starts its own journal; ending the lock on
        // the old file must not take it away.
        writeFile(target + "-journal", "the new file's journal");
    });
    QCOMPARE(readFile(target + "-journal"), QByteArray("the new file's journal"));
    QFile::remove(target + "-journal");
    QCOMPARE(scalar(target, "SELECT UserName FROM User"), QString("NEW"));
}

void TestOperations::copyCheck_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("sound") << "";
    // Each is found by one part only: the match of an index with its table, the b-tree of a
    // table, and the accounting of every page of the file that only the whole-file pass makes.
    QTest::newRow("index entries missing") << "index";
    QTest::newRow("table page damaged") << "page";
    QTest::newRow("free pages lost") << "freelist";
}

void TestOperations::copyCheck()
{
    QFETCH(QString, damage);
    TempFolder tmp;
    const QString db = tmp.path("COPY.MDB");
    {
        RawDb raw = rawOpen(db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        // The index holds entries for a > 10 only; declared for every row, it lacks ten of them.
        QVERIFY(rawExec(raw.get(),
                        "CREATE TABLE Item (a INTEGER, b TEXT); CREATE INDEX ItemByA ON Item (a) WHERE a > 10;"
                        "CREATE TABLE Note (x TEXT NOT NULL); CREATE TABLE Gone (x);"
                        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)"
                        " INSERT INTO Item SELECT i, printf('%0100d', i) FROM n;"
                        "INSERT INTO Note SELECT b FROM Item WHERE a <= 500;"
                        "INSERT INTO Gone SELECT b FROM Item; DROP TABLE Gone;"));
        if (damage == "index")
            QVERIFY(rawExec(raw.get(), "PRAGMA writable_schema = ON; UPDATE sqlite_schema SET sql = "
                                       "'CREATE INDEX ItemByA ON Item (a)' WHERE name = 'ItemByA'"));
    }
    QVERIFY(scalar(db, "PRAGMA freelist_count").toInt() > 0);
    const qint64 pageSize = scalar(db, "PRAGMA page_size").toLongLong();
    const qint64 leaf =
        scalar(db, "SELECT pageno FROM dbstat WHERE name = 'Item' AND pagetype = 'leaf' LIMIT 1 OFFSET 5").toLongLong();
    QFile file(db);
    QVERIFY(file.open(QIODevice::ReadWrite));
    if (damage == "page" && file.seek((leaf - 1) * pageSize))
        file.write(QByteArray(pageSize, '\x5a'));
    if (damage == "freelist" && file.seek(32)) // the first free-list page and the count of free pages
        file.write(QByteArray(8, '\0'));
    file.close();

    QMap<QString, qint64> counts;
    qint64 reported = -1, total = 0;
    bool refused = true;
    try {
        refused = !Operations::integrityProblemsInParallel(db, &counts, [&](qint64 done, qint64 all) {
                       QVERIFY(done > reported && done <= all);
                       reported = done;
                       total = all;
                   }).isEmpty();
    } catch (const Error &e) {
        QVERIFY2(e.description().contains(db), qPrintable(e.message()));
    }
    QCOMPARE(refused, !damage.isEmpty());
    if (!refused) {
        QCOMPARE(counts, (QMap<QString, qint64>{{"Item", 3000}, {"Note", 500}}));
        QCOMPARE(reported, total);
    }
}

OPSUPPORT_TEST_MAIN(TestOperations, QCoreApplication)

#include "tst_operations.moc"
