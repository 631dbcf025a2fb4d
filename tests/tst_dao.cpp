#include "backendmaker.h"
#include "errorcheck.h"
#include "opsupport.h"
#include "platform/dao/copycheck.h"
#include "platform/dao/dao.h"
#include "testsupport.h"

#include <QDir>
#include <QTest>

#include <sqlite3.h>
#include <unistd.h>

using namespace TestSupport;

const QString loginSql = QStringLiteral("Select * From User Where UserName=? And UserPassword=?");

class TestDao : public QObject {
    Q_OBJECT

private slots:
    void calls_data();
    void calls();
    void protections();
    void copyCheckCountsEntries();
};

void TestDao::calls_data()
{
    // In a folder holding BACK.MDB (a back end), OLD.MDB (text) and SUB/.
    QTest::addColumn<QString>("call");
    QTest::addColumn<QStringList>("args"); // open: path; query: path, SQL, values; compact: source, target
    QTest::addColumn<int>("number");       // of the error, 0 for none
    QTest::addColumn<QString>("cause");    // in the error; or the password a query reads, <none> for no row
    const auto row = [](const char *name, const char *call, const QStringList &args, int number, const char *cause) {
        QTest::newRow(name) << call << args << number << cause;
    };
    const QStringList back = {"BACK.MDB", loginSql};
    row("login", "query", back + QStringList{"ADMIN", "secret"}, 0, "secret");
    // SQLite would read a name starting with "file:" as a URI; here it is just a file name.
    row("login, URI-like name", "query", {"file:B.MDB?mode=memory", loginSql, "ADMIN", "secret"}, 0, "secret");
    row("open missing", "open", {"GONE.MDB"}, SQLITE_CANTOPEN, "the file does not exist");
    row("open a folder", "open", {"SUB"}, SQLITE_CANTOPEN_ISDIR, "it is a folder");
    row("open while another program writes", "open", {"BACK.MDB"}, -1, "locked by another program");
    row("query, no such table", "query", {"BACK.MDB", "SELECT * FROM Users WHERE UserName=?", "A"}, SQLITE_ERROR,
        "no such table: Users");
    row("query, too few values", "query", {"BACK.MDB", loginSql, "ADMIN"}, SQLITE_RANGE,
        "the query has 2 placeholders but 1 values were given");
    row("query, a second statement", "query", {"BACK.MDB", "SELECT 1; DELETE FROM User"}, SQLITE_MISUSE,
        "more than one statement");
    // Fails at the first row, not while preparing: not to be taken for "no rows".
    row("query, error while reading", "query", {"BACK.MDB", "SELECT abs(-9223372036854775807 - 1)"}, SQLITE_ERROR,
        "integer overflow");
    // A smaller, complete copy with the same rows and permissions, the source left as it was.
    row("compact, URI-like names", "compact", {"file:a?mode=memory#b.mdb", "file:c%20d?cache=shared.mdb"}, 0, "");
    row("compact, a commit still in the log", "compact", {"SRC.MDB", "NEW.MDB"}, 0, "wal");
    row("compact onto a file", "compact", {"BACK.MDB", "OLD.MDB"}, SQLITE_CANTOPEN,
        "OLD.MDB\" is in the way: it already exists");
    row("compact onto itself", "compact", {"BACK.MDB", "BACK.MDB"}, SQLITE_CANTOPEN, "already exists");
    row("compact onto a folder", "compact", {"BACK.MDB", "SUB"}, SQLITE_CANTOPEN, "is a folder");
    row("compact a missing file", "compact", {"GONE.MDB", "NEW.MDB"}, SQLITE_CANTOPEN, "does not exist");
    row("compact while another program writes", "compact", {"BACK.MDB", "NEW.MDB"}, -1, "locked by another program");
    row("compact into a read-only folder", "compact", {"BACK.MDB", "locked/NEW.MDB"}, SQLITE_CANTOPEN, "NEW.MDB");
    row("compact onto a full disk", "compact", {"BACK.MDB", "small/NEW.MDB"}, -1, "the disk is full");
}

// Each error names its cause and the path; nothing is created or changed, and nothing is left
// holding the database.
void TestDao::calls()
{
    QFETCH(QString, call);
    QFETCH(QStringList, args);
    QFETCH(int, number);
    QFETCH(QString, cause);
    TempFolder tmp;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(tmp.path()));
    const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });
    const auto makeBackend = [&](const QString &name, qint64 size, int freePercent = 0, bool wal = false) {
        BackendMaker::make(tmp.path(name), {{{"ADMIN", "secret"}}, 5, size, freePercent, wal}); // and USER000001..5
    };
    makeBackend("BACK.MDB", args.value(1).startsWith("small/") ? 3 << 20 : 0);
    const bool compacts = call == "compact" && number == 0;
    if (args[0].startsWith("file:") || compacts)
        makeBackend(args[0], compacts ? 2 << 20 : 0, compacts ? 40 : 0, cause == "wal");
    if (compacts)
        QVERIFY(QFile::setPermissions(tmp.path(args[0]), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    std::unique_ptr<ReadOnlyFolder> locked;
    std::unique_ptr<SmallFileSystem> small;
    if (args.value(1).startsWith("locked/") && !(locked = std::make_unique<ReadOnlyFolder>(tmp.path("locked")))->lock())
        QSKIP(qPrintable(locked->why()));
    if (args.value(1).startsWith("small/") &&
        !(small = std::make_unique<SmallFileSystem>(tmp.path("small"), 1 << 20))->isValid())
        QSKIP(qPrintable(small->why()));
    writeFile(tmp.path("OLD.MDB"), "keep me");
    QVERIFY(QDir(tmp.path()).mkdir("SUB"));
    RawDb writer;
    if (cause.contains("locked") || cause == "wal") { // another program writes, or has committed to the log
        writer = rawOpen(tmp.path(cause == "wal" ? args[0] : "BACK.MDB"));
        QVERIFY(rawExec(writer.get(), cause == "wal"
                                          ? "PRAGMA wal_autocheckpoint = 0; INSERT INTO User VALUES ('LATE', 'pw')"
                                          : "BEGIN EXCLUSIVE; INSERT INTO User VALUES ('NEW', 'x')"));
    }
    DBEngine engine;
    engine.setBusyTimeout(20);
    const QStringList before = entries(tmp.path());
    const QByteArray back = readFile(tmp.path("BACK.MDB")), source = readFile(tmp.path(args[0]));
    const QString path = args[0].startsWith("file:") ? args[0] : tmp.path(args[0]);
    QString read;
    const auto run = [&] {
        if (call == "open") {
            (void)engine.OpenDatabase(path);
        } else if (call == "compact") {
            engine.CompactDatabase(path, args[1].startsWith("file:") ? args[1] : tmp.path(args[1]));
        } else {
            std::unique_ptr<Database> db = engine.OpenDatabase(path);
            std::unique_ptr<Recordset> rs = db->OpenRecordset(args[1], dbOpenDynaset, QVariant(args.mid(2)).toList());
            db->Close(); // the open recordset keeps the connection until it is closed
            read = rs->Eof() ? "<none>" : rs->field("userpassword").toString(); // field names ignore case, as SQL does
        }
    };
    if (number == 0) {
        QCOMPARE(errorMessage(run), QString());
        if (call == "query")
            QCOMPARE(read, cause);
    } else {
        COMPARE_ERROR(run, number, {quotedPath(path), cause});
    }
    if (compacts) {
        const QString src = tmp.path(args[0]), dst = tmp.path(args[1]);
        QCOMPARE(scalar(dst, "PRAGMA integrity_check"), QString("ok"));
        QVERIFY(QFileInfo(dst).size() < QFileInfo(src).size() * 3 / 4);
        for (const QString from : {"* FROM User", "* FROM Customer", "* FROM Invoice", "* FROM InvoiceLine",
                                   "type, name, sql FROM sqlite_master"})
            QCOMPARE(rows(dst, "SELECT " + from + " ORDER BY rowid"), rows(src, "SELECT " + from + " ORDER BY rowid"));
        QCOMPARE(scalar(dst, "SELECT count(*) FROM User WHERE UserName = 'LATE'"), QString(cause == "wal" ? "1" : "0"));
        QCOMPARE(readFile(dst).mid(18, 2), QByteArray("\x01\x01")); // a rollback-journal database, standing alone
        // It holds what the database holds, and its owner alone may read it until it takes its place.
        QCOMPARE(QFileInfo(dst).permissions(),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser);
        QVERIFY(QFile::remove(dst)); // the rest as for every call
    }
    QCOMPARE(entries(tmp.path()), before);
    for (const char *folder : {"SUB", "locked", "small"})
        QCOMPARE(entries(tmp.path(folder)), QStringList());
    QCOMPARE(readFile(tmp.path("OLD.MDB")), QByteArray("keep me"));
    QCOMPARE(readFile(tmp.path("BACK.MDB")), back);
    QCOMPARE(readFile(tmp.path(args[0])), source);
    if (writer)
        return;
    RawDb other = rawOpen(tmp.path(call == "query" ? args[0] : "BACK.MDB")); // another program may lock it at once
    sqlite3_busy_timeout(other.get(), 0);
    QVERIFY(rawExec(other.get(), "BEGIN EXCLUSIVE"));
}

// A restore may put any SQLite file in place, which the login and the compaction then query: no
// connection trusts its schema or lets SQL change its structure, and none follows a link that
// another account made.
void TestDao::protections()
{
    TempFolder tmp;
    BackendMaker::make(tmp.path("BACK.MDB"), {{{"ADMIN", "Secret"}}});
    std::unique_ptr<Database> db = DBEngine().OpenDatabase(tmp.path("BACK.MDB"));
    QCOMPARE(db->OpenRecordset("PRAGMA trusted_schema", dbOpenDynaset)->field("trusted_schema").toInt(), 0);
    (void)db->OpenRecordset("PRAGMA writable_schema = ON", dbOpenDynaset);
    COMPARE_ERROR([&] { (void)db->OpenRecordset("UPDATE sqlite_master SET sql = sql", dbOpenDynaset); }, SQLITE_ERROR,
                  {"may not be modified"});
    db->Close();
    if (!runningAsRoot())
        QSKIP("a link of another account's needs root to make");
    QVERIFY(QFile::link(tmp.path("BACK.MDB"), tmp.path("planted.MDB")));
    QCOMPARE(::lchown(QFile::encodeName(tmp.path("planted.MDB")).constData(), 65534, 65534), 0);
    COMPARE_ERROR([&] { (void)DBEngine().OpenDatabase(tmp.path("planted.MDB")); }, ELOOP,
                  {quotedPath(tmp.path("planted.MDB")), "another account"});
}

// The copy check's progress counts b-tree entries: each row once for its table and once for each
// of its indexes, the schema's rows, and every row once more for the check of the whole file's
// pages; checked in parts or whole, it finds a sound file sound and counts its rows.
void TestDao::copyCheckCountsEntries()
{
    TempFolder tmp;
    const QString db = tmp.path("check.db");
    {
        const RawDb raw = rawOpen(db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        QVERIFY(rawExec(raw.get(), "CREATE TABLE T(a, b); CREATE INDEX Ta ON T(a); CREATE INDEX Tb ON T(b);"
                                   "CREATE TABLE U(c); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                                   "FROM n WHERE i < 100) INSERT INTO T SELECT i, -i FROM n;"
                                   "INSERT INTO U SELECT a FROM T WHERE a <= 10;"));
    }
    for (const bool whole : {false, true}) {
        QMap<QString, qint64> rows;
        qint64 done = 0, total = 0;
        const QStringList problems = Dao::integrityProblemsInParallel(
            db, &rows, [&](qint64 d, qint64 t) { done = d, total = t; }, {.whole = whole});
        QCOMPARE(problems, QStringList());
        QCOMPARE(rows, (QMap<QString, qint64>{{"T", 100}, {"U", 10}}));
        // T: 100 rows and 2 indexes; U: 10 rows; the schema: 4 rows; the pages' check: 114.
        QCOMPARE(total, whole ? 300 + 10 + 4 : 300 + 10 + 4 + 114);
        QCOMPARE(done, total);
    }
}

QTEST_GUILESS_MAIN(TestDao)
#include "tst_dao.moc"
