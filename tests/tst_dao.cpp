#include "backendmaker.h"
#include "errorcheck.h"
#include "opsupport.h"
#include "platform/dao/dao.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>
#include <sqlite3.h>

using namespace OpSupport;
using namespace TestSupport;

namespace {

// A back end with ADMIN/secret, O'BRIEN/it's, EMPTY/"" and USER000001..5 (8 users).
BackendMaker::Summary makeBackend(const QString &path, qint64 sizeBytes = 0, int freePercent = 0, bool wal = false)
{
    BackendMaker::Options options;
    options.users = {{"ADMIN", "secret"}, {"O'BRIEN", "it's"}, {"EMPTY", ""}};
    options.generatedUsers = 5;
    options.sizeBytes = sizeBytes;
    options.freePercent = freePercent;
    options.wal = wal;
    return BackendMaker::make(path, options);
}

const QString loginSql = QStringLiteral("Select * From User Where UserName=? And UserPassword=?");

} // namespace

class TestDao : public QObject {
    Q_OBJECT

private slots:
    void loginQuery_data();
    void loginQuery();
    void recordsetWalksRowsAndOutlivesItsDatabase();
    void uriLikeRelativeNames();
    void openFailures_data();
    void openFailures();
    void queryFailures();
    void lockedDatabase();
    void compaction_data();
    void compaction();
    void compactionRefusals_data();
    void compactionRefusals();
    void compactionIntoReadOnlyFolderAndFullDisk();
};

void TestDao::loginQuery_data()
{
    QTest::addColumn<QStringList>("login"); // name, password
    QTest::addColumn<bool>("matches");
    QTest::newRow("right password") << QStringList{"ADMIN", "secret"} << true;
    QTest::newRow("wrong password") << QStringList{"ADMIN", "Secret"} << false;
    QTest::newRow("unknown user") << QStringList{"NOBODY", "secret"} << false;
    QTest::newRow("quotes are characters") << QStringList{"O'BRIEN", "it's"} << true;
    QTest::newRow("injection in password") << QStringList{"ADMIN", "' OR '1'='1"} << false;
    QTest::newRow("empty password") << QStringList{"EMPTY", ""} << true;
    QTest::newRow("empty name") << QStringList{"", ""} << false;
}

void TestDao::loginQuery()
{
    QFETCH(QStringList, login);
    QFETCH(bool, matches);
    TempFolder tmp;
    const QString path = tmp.path("BACK.MDB");
    makeBackend(path);
    const QByteArray before = readFile(path);

    DBEngine engine;
    std::unique_ptr<Database> db = engine.OpenDatabase(path);
    QCOMPARE(db->Name(), path);
    std::unique_ptr<Recordset> rs = db->OpenRecordset(loginSql, dbOpenDynaset, {login[0], login[1]});
    QCOMPARE(!rs->Eof(), matches);
    if (matches) {
        QCOMPARE(rs->field("UserName").toString(), login[0]);
        QCOMPARE(rs->field("userpassword").toString(), login[1]); // field names ignore case
    }
    rs->Close();
    rs->Close(); // closing twice is harmless
    QVERIFY(rs->Eof());
    db->Close();
    db->Close();
    // A login only reads: the file is as it was and nothing is left beside it.
    QCOMPARE(readFile(path), before);
    QCOMPARE(entries(tmp.path()), QStringList{"BACK.MDB"});
}

void TestDao::recordsetWalksRowsAndOutlivesItsDatabase()
{
    TempFolder tmp;
    const QString path = tmp.path("BACK.MDB");
    makeBackend(path);
    DBEngine engine;
    std::unique_ptr<Database> db = engine.OpenDatabase(path);
    std::unique_ptr<Recordset> rs =
        db->OpenRecordset("SELECT UserName, length(UserPassword) AS n, NULL AS absent, x'00ff' AS bytes, 2.5 AS real "
                          "FROM User WHERE UserName LIKE ? ORDER BY UserName",
                          dbOpenSnapshot, {"USER%"});
    db->Close(); // the open recordset keeps the connection until it is closed
    QStringList names;
    for (; !rs->Eof(); rs->MoveNext()) {
        names << rs->field("UserName").toString();
        QCOMPARE(rs->field("n"), QVariant(qint64(8)));
        QVERIFY(rs->field("absent").isNull());
        QCOMPARE(rs->field("bytes"), QVariant(QByteArray("\x00\xff", 2)));
        QCOMPARE(rs->field("real"), QVariant(2.5));
    }
    QCOMPARE(names, (QStringList{"USER000001", "USER000002", "USER000003", "USER000004", "USER000005"}));
    rs.reset();
    // With both closed nothing holds the file: another program may lock it at once.
    RawDb other = rawOpen(path);
    sqlite3_busy_timeout(other.get(), 0);
    QVERIFY(rawExec(other.get(), "BEGIN EXCLUSIVE"));
}

// SQLite would read a name starting with "file:" as a URI; here it is just a file name.
void TestDao::uriLikeRelativeNames()
{
    TempFolder tmp;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(tmp.path()));
    const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });
    makeBackend("file:BACK.MDB");
    DBEngine engine;
    std::unique_ptr<Database> db = engine.OpenDatabase("file:BACK.MDB");
    QVERIFY(!db->OpenRecordset(loginSql, dbOpenDynaset, {"ADMIN", "secret"})->Eof());
    db->Close();
    engine.CompactDatabase("file:BACK.MDB", "file:NEW.MDB?mode=memory");
    QCOMPARE(entries(tmp.path()), (QStringList{"file:BACK.MDB", "file:NEW.MDB?mode=memory"}));
    QCOMPARE(rows(tmp.path("file:NEW.MDB?mode=memory"), "SELECT count(*) FROM User"), QStringList{"8"});
}

void TestDao::openFailures_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content"); // "<dir>" makes a folder, "<none>" nothing
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("cause");
    const QByteArray none = "<none>";
    QTest::newRow("missing") << "BACK.MDB" << none << SQLITE_CANTOPEN << "the file does not exist";
    QTest::newRow("missing, URI-like") << "B.MDB?mode=memory" << none << SQLITE_CANTOPEN << "the file does not exist";
    QTest::newRow("missing folder") << "no/BACK.MDB" << none << SQLITE_CANTOPEN << "the file does not exist";
    QTest::newRow("empty path") << "" << none << SQLITE_CANTOPEN << "the path is empty";
    QTest::newRow("folder") << "BACK.MDB" << QByteArray("<dir>") << SQLITE_CANTOPEN_ISDIR << "it is a folder";
    QTest::newRow("text file") << "BACK.MDB" << textBytes(8192) << SQLITE_NOTADB << "the file is not a database";
    QTest::newRow("random bytes") << "BACK.MDB" << randomBytes(4096) << SQLITE_NOTADB << "the file is not a database";
    QTest::newRow("empty file") << "BACK.MDB" << QByteArray() << SQLITE_NOTADB << "the file is empty";
}

void TestDao::openFailures()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(int, number);
    QFETCH(QString, cause);
    TempFolder tmp;
    const QString path = name.isEmpty() ? QString() : tmp.path(name);
    if (content == "<dir>")
        QVERIFY(QDir().mkdir(path));
    else if (content != "<none>")
        writeFile(path, content);
    const QStringList before = entries(tmp.path());
    DBEngine engine;
    QCOMPARE(errorMismatch([&] { (void)engine.OpenDatabase(path); }, number,
                           {"Cannot open database " + quotedPath(path) + ": ", cause}),
             QString());
    // Nothing created, nothing changed: no database, no journal, no log.
    QCOMPARE(entries(tmp.path()), before);
    if (content != "<dir>" && content != "<none>")
        QCOMPARE(readFile(path), content);
}

void TestDao::queryFailures()
{
    TempFolder tmp;
    const QString path = tmp.path("BACK.MDB");
    makeBackend(path);
    DBEngine engine;
    std::unique_ptr<Database> db = engine.OpenDatabase(path);
    const struct {
        QString sql;
        QVariantList params;
        int number;
        QString cause;
    } cases[] = {
        {"SELECT * FROM Users WHERE UserName=?", {"A"}, SQLITE_ERROR, "no such table: Users"},
        {loginSql, {"ADMIN"}, SQLITE_RANGE, "the query has 2 placeholders but 1 values were given"},
        {"SELECT * FROM User", {1}, SQLITE_RANGE, "the query has 0 placeholders but 1 values were given"},
        {"SELECT 1; DELETE FROM User", {}, SQLITE_MISUSE, "more than one statement"},
        {"  -- nothing", {}, SQLITE_MISUSE, "the query text is empty"},
        {loginSql, {"ADMIN", QVariant(QPoint(1, 2))}, SQLITE_MISMATCH, "cannot store"},
        {"SELECT abs(-9223372036854775807 - 1)", {}, SQLITE_ERROR, "integer overflow"}, // fails while reading
    };
    for (const auto &c : cases) {
        QCOMPARE(errorMismatch([&] { (void)db->OpenRecordset(c.sql, dbOpenDynaset, c.params); }, c.number,
                               {quotedPath(path), c.cause}),
                 QString());
    }
    QCOMPARE(rows(path, "SELECT count(*) FROM User"), QStringList{"8"});
}

void TestDao::lockedDatabase()
{
    TempFolder tmp;
    const QString path = tmp.path("BACK.MDB");
    makeBackend(path);
    RawDb writer = rawOpen(path);
    QVERIFY(rawExec(writer.get(), "BEGIN EXCLUSIVE; INSERT INTO User VALUES ('NEW', 'x')"));

    DBEngine engine;
    engine.setBusyTimeout(20);
    const auto busy = [](const std::function<void()> &call) {
        const std::optional<Error> e = errorFrom(call);
        return e && (e->number() & 0xff) == SQLITE_BUSY && e->description().contains("locked by another program");
    };
    QVERIFY(busy([&] { (void)engine.OpenDatabase(path); }));
    QVERIFY(busy([&] { engine.CompactDatabase(path, tmp.path("BACKNEW.MDB")); }));
    QCOMPARE(entries(tmp.path()), (QStringList{"BACK.MDB", "BACK.MDB-journal"}));

    // Once the other program is done, the same engine opens the database and sees its change.
    QVERIFY(rawExec(writer.get(), "COMMIT"));
    QVERIFY(!engine.OpenDatabase(path)->OpenRecordset(loginSql, dbOpenDynaset, {"NEW", "x"})->Eof());
}

void TestDao::compaction_data()
{
    QTest::addColumn<QStringList>("names"); // folder, source, target
    QTest::addColumn<bool>("wal");
    QTest::newRow("plain names") << QStringList{"BACK", "BACK.MDB", "BACKNEW.MDB"} << false;
    QTest::newRow("quotes and spaces") << QStringList{"it's my folder", "it's a 'db'.mdb", "new copy ''.mdb"} << false;
    QTest::newRow("URI-like names") << QStringList{"file:x", "a?mode=memory#b.mdb", "c%20d?cache=shared.mdb"} << false;
    QTest::newRow("WAL, a commit still in the log") << QStringList{"BACK", "BACK.MDB", "BACKNEW.MDB"} << true;
}

// A complete, smaller copy with the same rows; the source is left as it was.
void TestDao::compaction()
{
    QFETCH(QStringList, names);
    QFETCH(bool, wal);
    TempFolder tmp;
    QVERIFY(QDir(tmp.path()).mkdir(names[0]));
    const QString dir = tmp.path(names[0]), src = dir + "/" + names[1], dst = dir + "/" + names[2];
    const BackendMaker::Summary made = makeBackend(src, 2 << 20, 40, wal);
    QVERIFY(made.freePages > made.pageCount / 4);
    QVERIFY(QFile::setPermissions(src, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    RawDb writer;
    QStringList expected = names.mid(1);
    if (wal) {
        // Another program adds a user; its change is committed but only in the log.
        writer = rawOpen(src);
        QVERIFY(rawExec(writer.get(), "PRAGMA wal_autocheckpoint = 0; INSERT INTO User VALUES ('LATE', 'pw')"));
        QVERIFY(QFileInfo(src + "-wal").size() > 0);
        expected << names[1] + "-shm" << names[1] + "-wal";
        expected.sort();
    }
    const QByteArray before = readFile(src);

    dbEngine().CompactDatabase(src, dst);

    QCOMPARE(readFile(src), before);
    QCOMPARE(entries(dir), expected);
    QCOMPARE(rows(dst, "PRAGMA integrity_check"), QStringList{"ok"});
    QCOMPARE(rows(dst, "PRAGMA freelist_count"), QStringList{"0"});
    QVERIFY2(QFileInfo(dst).size() < QFileInfo(src).size() * 3 / 4,
             qPrintable(QString("%1 -> %2").arg(QFileInfo(src).size()).arg(QFileInfo(dst).size())));
    for (const char *sql : {"SELECT * FROM User ORDER BY rowid", "SELECT * FROM Customer ORDER BY CustomerID",
                            "SELECT * FROM Invoice ORDER BY InvoiceID", "SELECT * FROM InvoiceLine ORDER BY LineID",
                            "SELECT type, name, sql FROM sqlite_master ORDER BY name"})
        QCOMPARE(rows(dst, sql), rows(src, sql));
    if (wal)
        QCOMPARE(rows(dst, "SELECT UserPassword FROM User WHERE UserName = 'LATE'"), QStringList{"pw"});
    // The copy stands alone: a rollback-journal database (format bytes 18 and 19 are 1).
    QCOMPARE(readFile(dst).mid(18, 2), QByteArray("\x01\x01"));
    QCOMPARE(QFileInfo(dst).permissions(), QFileInfo(src).permissions());
}

void TestDao::compactionRefusals_data()
{
    QTest::addColumn<QStringList>("names"); // source, target; BACK.MDB is a good database, OLD.MDB text
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("cause");
    QTest::newRow("target exists") << QStringList{"BACK.MDB", "OLD.MDB"} << SQLITE_CANTOPEN
                                   << "OLD.MDB\" already exists";
    QTest::newRow("empty target exists") << QStringList{"BACK.MDB", "EMPTY"} << SQLITE_CANTOPEN << "already exists";
    QTest::newRow("target is the source") << QStringList{"BACK.MDB", "BACK.MDB"} << SQLITE_CANTOPEN << "already exists";
    QTest::newRow("target is a folder") << QStringList{"BACK.MDB", "SUB"} << SQLITE_CANTOPEN << "is a folder";
    QTest::newRow("target folder missing")
        << QStringList{"BACK.MDB", "NONE/NEW.MDB"} << SQLITE_CANTOPEN << "No such file or directory";
    QTest::newRow("source missing") << QStringList{"GONE.MDB", "NEW.MDB"} << SQLITE_CANTOPEN
                                    << "the file does not exist";
    QTest::newRow("source not a database") << QStringList{"OLD.MDB", "NEW.MDB"} << SQLITE_NOTADB << "not a database";
    QTest::newRow("source is a folder") << QStringList{"SUB", "NEW.MDB"} << SQLITE_CANTOPEN_ISDIR << "it is a folder";
}

void TestDao::compactionRefusals()
{
    QFETCH(QStringList, names);
    QFETCH(int, number);
    QFETCH(QString, cause);
    TempFolder tmp;
    makeBackend(tmp.path("BACK.MDB"));
    writeFile(tmp.path("OLD.MDB"), "keep me");
    writeFile(tmp.path("EMPTY"), {});
    QVERIFY(QDir(tmp.path()).mkdir("SUB"));
    const QStringList before = entries(tmp.path());
    const QByteArray back = readFile(tmp.path("BACK.MDB"));

    QCOMPARE(errorMismatch([&] { dbEngine().CompactDatabase(tmp.path(names[0]), tmp.path(names[1])); }, number,
                           {"Cannot compact database " + quotedPath(tmp.path(names[0])), cause}),
             QString());
    QCOMPARE(entries(tmp.path()), before);
    QCOMPARE(entries(tmp.path("SUB")), QStringList());
    QCOMPARE(readFile(tmp.path("OLD.MDB")), QByteArray("keep me"));
    QCOMPARE(readFile(tmp.path("BACK.MDB")), back);
}

void TestDao::compactionIntoReadOnlyFolderAndFullDisk()
{
    TempFolder tmp;
    makeBackend(tmp.path("BACK.MDB"), 3 << 20);
    {
        ReadOnlyFolder locked(tmp.path("locked"));
        QVERIFY(QFile::copy(tmp.path("BACK.MDB"), tmp.path("locked/RO.MDB")));
        if (!locked.lock())
            QSKIP(qPrintable(locked.why()));
        // A database on read-only media opens for reading, and compacts to a writable place.
        std::unique_ptr<Database> db = dbEngine().OpenDatabase(tmp.path("locked/RO.MDB"));
        QVERIFY(!db->OpenRecordset(loginSql, dbOpenDynaset, {"ADMIN", "secret"})->Eof());
        db->Close();
        dbEngine().CompactDatabase(tmp.path("locked/RO.MDB"), tmp.path("RO.MDB"));
        QCOMPARE(rows(tmp.path("RO.MDB"), "SELECT count(*) FROM User"), QStringList{"8"});
        QVERIFY(QFile::remove(tmp.path("RO.MDB")));

        const QString dst = tmp.path("locked/BACKNEW.MDB");
        QCOMPARE(errorMismatch([&] { dbEngine().CompactDatabase(tmp.path("BACK.MDB"), dst); }, SQLITE_CANTOPEN,
                               {quotedPath(dst)}),
                 QString());
        QCOMPARE(entries(tmp.path("locked")), QStringList{"RO.MDB"});
        QCOMPARE(entries(tmp.path()), (QStringList{"BACK.MDB", "locked"}));
    }
    SmallFileSystem small(tmp.path("small"), 1 << 20);
    if (!small.isValid())
        QSKIP(qPrintable(small.why()));
    const std::optional<Error> e =
        errorFrom([&] { dbEngine().CompactDatabase(tmp.path("BACK.MDB"), tmp.path("small/BACKNEW.MDB")); });
    QVERIFY(e);
    QCOMPARE(e->number() & 0xff, long(SQLITE_FULL));
    QVERIFY2(e->description().contains("the disk is full"), qPrintable(e->description()));
    QCOMPARE(entries(tmp.path("small")), QStringList());
}

QTEST_GUILESS_MAIN(TestDao)
#include "tst_dao.moc"
