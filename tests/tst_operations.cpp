#include "backendmaker.h"
#include "errorcheck.h"
#include "operations/backup.h"
#include "operations/compaction.h"
#include "operations/paths.h"
#include "operations/replacement.h"
#include "operations/restore.h"
#include "opsupport.h"
#include "platform/dao/dbengine.h"
#include "platform/tempfile.h"
#include "platform/zlibtool/compressionengine.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QTest>

#include <cerrno>
#include <sys/stat.h>

using namespace OpSupport;
using namespace TestSupport;

// Backup, restore and compaction through the operations layer alone: the names derived from what
// the user typed, and databases that other processes write to, hold open or left half-written.
class TestOperations : public QObject {
    Q_OBJECT

private slots:
    void paths();
    void writersAround();
    void restore_data();
    void restore();
    void compaction_data();
    void compaction();
    void staleLeftoversRemoved();
};

namespace {
// Leaves committed rows only in the write-ahead log of the database at path.
void commitToLogOnly(const QString &path, const QString &rows)
{
    Child writer;
    QVERIFY(writer.start("walcommit", path, rows));
    writer.kill();
}
} // namespace

// What the user typed becomes the backup's name; the safety copy and the compacted copy lie
// beside the files they stand for.
void TestOperations::paths()
{
    const QString cases[][2] = {
        {Paths::backupFileName("/srv/backups/monday"), "/srv/backups/monday.TVB"},
        {Paths::backupFileName("/srv/backups/data.tvb"), "/srv/backups/data.TVB"},
        {Paths::backupFileName("/srv/Back.up/data"), "/srv/Back.up/data.TVB"},
        {Paths::backupFileName("/srv/Back.up/data.old.mdb"), "/srv/Back.up/data.old.TVB"},
        {Paths::backupFileName("/srv/backups/data."), "/srv/backups/data.TVB"},
        {Paths::backupFileName("."), ".TVB"},
        {Paths::backupFileName("C:\\Back.up\\data"), "C:\\Back.TVB"}, // no separator here
        {Paths::safetyCopyPath("/opt/tarvos", QDate(2026, 12, 5)), "/opt/tarvos/BACK26.BAK"},
        {Paths::safetyCopyPath("/opt/tarvos", QDate(2100, 7, 9)), "/opt/tarvos/BACK00.BAK"},
        {Paths::compactTempPath("/home/ann/BACK/BACK.MDB"), "/home/ann/BACK/BACKNEW.MDB"},
        {Paths::compactTempPath("/srv/a.b/data"), "/srv/a.b/BACKNEW.MDB"},
        {Paths::compactTempPath("/BACK.MDB"), "/BACKNEW.MDB"},
    };
    for (const auto &[made, expected] : cases)
        QCOMPARE(made, expected);
    for (const char *noFolder : {"BACK.MDB", ""})
        QCOMPARE(errorMismatch([&] { (void)Paths::compactTempPath(noFolder); }, ErrorNumber::InvalidArgument,
                               {quotedPath(noFolder), "BACKNEW.MDB"}),
                 QString());
}

// Once nobody uses a database, its file alone holds every committed row: the hot journal of a
// killed writer is rolled back, rows only in the log are carried into the file. A backup taken
// while a writer commits holds a consistent state.
void TestOperations::writersAround()
{
    for (const bool wal : {false, true}) {
        TempFolder tmp;
        const QString db = tmp.path("BACK.MDB"), backup = tmp.path("backups/live.TVB"), copy = tmp.path("copy");
        BackendMaker::make(db, {.users = {}, .sizeBytes = 4 << 20, .wal = wal});
        addLedger(db, 20000);
        {
            Child killed;
            QVERIFY(killed.start(wal ? "walcommit" : "crash", db, "300"));
            killed.kill();
        }
        QVERIFY(QFileInfo(db + (wal ? "-wal" : "-journal")).size() > 0);
        Operations::ensureNotInUse(db);
        QVERIFY(QFileInfo(db + "-journal").size() == 0 && QFileInfo(db + "-wal").size() == 0); // absent or emptied
        QVERIFY(QFile::copy(db, copy));
        QCOMPARE(ledgerProblem(copy), QString());
        QCOMPARE(scalar(copy, "SELECT sum(Balance) FROM Debit"), QString("0"));
        if (wal)
            QCOMPARE(scalar(copy, "SELECT count(*) FROM Pending"), QString("300"));

        QVERIFY(QDir().mkpath(tmp.path("backups")));
        Child writer;
        QVERIFY(writer.start("writer", db, tmp.path("stop")));
        const int committedBefore = scalar(db, "SELECT count(*) FROM Movement").toInt();
        Operations::backUp(db, backup);
        writeFile(tmp.path("stop"), "");
        QVERIFY(writer.finish().toLongLong() > committedBefore);         // it went on writing meanwhile
        QCOMPARE(entries(tmp.path("backups")), QStringList{"live.TVB"}); // no snapshot left behind
        CompressionEngine::decompressFile(backup, copy);
        QCOMPARE(ledgerProblem(copy), QString());
        QVERIFY(scalar(copy, "SELECT count(*) FROM Movement").toInt() >= committedBefore);
        QCOMPARE(ledgerProblem(db), QString());
    }
}

void TestOperations::restore_data()
{
    // "@" stands for the backup's quoted path.
    QTest::addColumn<QString>("situation");
    QTest::addColumn<long>("number"); // 0: restored; -1: refused, any number
    QTest::addColumn<QString>("message");
    QTest::newRow("restored, old database kept as safety copy") << "" << 0L << "";
    QTest::newRow("another database's log where the file goes") << "old log" << 0L << "";
    QTest::newRow("backup's last byte missing") << "last" << -1L << "@ is truncated";
    QTest::newRow("backup's byte changed") << "flip" << -1L << "@ is damaged";
    QTest::newRow("not a backup") << "text" << -1L << "@ is not a Tarvos backup file";
    QTest::newRow("a frame of text") << "text frame" << ErrorNumber::BadFileFormat << "@ holds no database";
    QTest::newRow("a frame of a database one page short")
        << "short frame" << ErrorNumber::BadFileFormat << "@ holds no database";
    QTest::newRow("restore from the target") << "same" << ErrorNumber::InvalidArgument << "cannot be both";
    QTest::newRow("no target named") << "no target" << long(ENOENT) << "no file to restore to was named";
    QTest::newRow("read-only target") << "read-only" << long(EACCES) << "the file is read-only";
    QTest::newRow("target held open") << "in use" << long(EBUSY) << "is in use by another program (process ";
    QTest::newRow("target written during the restore") << "written" << long(EBUSY) << "was changed by another program";
    QTest::newRow("safety copy a link to the target")
        << "safety link" << ErrorNumber::InvalidArgument << "it is the safety copy";
}

// A restore puts the backup's database in place and the old one in the safety copy; a refusal
// leaves the target, the backup and the safety copy byte for byte as they were, and no
// temporary file.
void TestOperations::restore()
{
    QFETCH(QString, situation);
    QFETCH(long, number);
    QFETCH(QString, message);
    TempFolder tmp;
    QVERIFY(QDir().mkpath(tmp.path("target")) && QDir::setCurrent(tmp.path("target"))); // where "" would lead
    const auto leave = qScopeGuard([] { QDir::setCurrent(QCoreApplication::applicationDirPath()); });
    QString target = tmp.path("target/BACK.MDB"), backup = tmp.path("source.TVB"), safety = tmp.path("BACK26.BAK");
    BackendMaker::make(target, {});
    BackendMaker::make(tmp.path("source.MDB"), {.users = {}, .sizeBytes = 1 << 20});
    const QByteArray before = readFile(target), source = readFile(tmp.path("source.MDB"));
    const auto frameOf = [&](const QByteArray &content) {
        writeFile(tmp.path("content"), content);
        CompressionEngine::compressFile(tmp.path("content"), backup);
        return readFile(backup);
    };
    QByteArray bytes = frameOf(source);
    writeFile(safety, "the only good copy");
    Child other;
    Operations::Observer observer;
    if (situation == "last")
        bytes.chop(1);
    else if (situation == "flip")
        bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x40);
    else if (situation == "text")
        bytes = "Dear diary, today I made a backup.";
    else if (situation == "text frame")
        bytes = frameOf(QByteArray("Dear diary, today I made a backup.\n").repeated(5000));
    else if (situation == "short frame") // the page size is bytes 16 and 17 of the header
        bytes = frameOf(source.chopped(quint8(source[16]) << 8 | quint8(source[17])));
    else if (situation == "same")
        backup = target, bytes = before;
    else if (situation == "no target")
        target.clear();
    else if (situation == "read-only")
        QVERIFY(::chmod(QFile::encodeName(target), 0444) == 0);
    else if (situation == "safety link")
        QVERIFY(QFile::remove(safety) && QFile::link(target, safety));
    else if (situation == "in use") { // no lock to find: only the open file tells, before any work begins
        QVERIFY(other.start("idle", target));
        QCOMPARE(errorMismatch([&] { Operations::ensureNotInUse(target); }, EBUSY, {QString::number(other.pid())}),
                 QString());
    } else if (situation == "written") // once the checks are passed: the same bytes, a new time of change
        observer.working = [&] { writeFile(target, before); };
    else if (situation == "old log") { // opened beside the new file, SQLite would replay it into it
        BackendMaker::make(tmp.path("other.MDB"), {.users = {}, .wal = true});
        commitToLogOnly(tmp.path("other.MDB"), "500");
        QVERIFY(QFile::remove(target) && QFile::copy(tmp.path("other.MDB-wal"), target + "-wal") &&
                QFile::copy(tmp.path("other.MDB-shm"), target + "-shm"));
    }
    writeFile(backup, bytes);
    const QByteArray safetyBefore = readFile(safety), targetBefore = readFile(tmp.path("target/BACK.MDB"));
    try {
        Operations::restore(backup, target, safety, observer);
        QVERIFY2(number == 0, "restored");
    } catch (const Error &e) {
        QVERIFY2(number != 0 && (number < 0 || e.number() == number), qPrintable(e.message()));
        QVERIFY2(e.description().contains(message.replace("@", quotedPath(backup))), qPrintable(e.message()));
    }
    QCOMPARE(readFile(tmp.path("target/BACK.MDB")), number == 0 ? source : before);
    QCOMPARE(readFile(safety), number == 0 && !targetBefore.isEmpty() ? before : safetyBefore);
    QCOMPARE(readFile(backup), bytes);
    QCOMPARE(entries(tmp.path("target")), QStringList{"BACK.MDB"});
    QCOMPARE(entries(tmp.path()).filter(QRegularExpression("^\\.")), QStringList());
}

void TestOperations::compaction_data()
{
    QTest::addColumn<QString>("damage"); // to the engine's copy: SQL run on it, or bytes overwritten
    QTest::addColumn<QString>("reason"); // empty: compacted
    QTest::newRow("compacted, rows only in the log kept") << QString() << QString();
    QTest::newRow("rows missing") << QString("DELETE FROM Invoice WHERE InvoiceID % 3 = 0")
                                  << "does not hold the same rows";
    QTest::newRow("page damaged") << QString("page") << "failed its check";
    // Found only by the pass over the whole file, which accounts for every page.
    QTest::newRow("free pages lost") << QString("freelist") << "failed its check";
    QTest::newRow("index out of step") // every row is there, but an index no longer matches its table
        << "PRAGMA writable_schema=ON; UPDATE sqlite_schema SET sql = 'CREATE INDEX InvoiceByDate ON Invoice "
           "(CustomerID)' WHERE name = 'InvoiceByDate'"
        << "failed its check (integrity_check: row 1 missing from index InvoiceByDate)";
}

// The compacted copy replaces the database only once it is checked, keeping the database's
// permissions and log mode; a spoilt copy leaves the database byte for byte as it was.
void TestOperations::compaction()
{
    QFETCH(QString, damage);
    QFETCH(QString, reason);
    TempFolder tmp;
    const QString db = tmp.path("BACK.MDB");
    BackendMaker::make(db, {.users = {}, .sizeBytes = 2 << 20, .freePercent = 40, .wal = true});
    if (reason.isEmpty())
        commitToLogOnly(db, "400");
    QVERIFY(::chmod(QFile::encodeName(db).constData(), 0640) == 0); // shared with its group
    const QByteArray before = readFile(db);
    auto spoiling = [&](const QString &src, const QString &dst) {
        DBEngine().CompactDatabase(src, dst);
        if (damage == "freelist") // free pages, then the header's first free page and count zeroed
            QVERIFY(rawExec(rawOpen(dst).get(), "CREATE TABLE Gone AS SELECT * FROM Invoice; DROP TABLE Gone"));
        QFile file(dst);
        QVERIFY(file.open(QIODevice::ReadWrite));
        if (damage == "page" && file.seek(file.size() / 2))
            file.write(QByteArray(4096, '\x5a'));
        else if (damage == "freelist" && file.seek(32))
            file.write(QByteArray(8, '\0'));
        else if (!damage.isEmpty() && damage != "page")
            QVERIFY(rawExec(rawOpen(dst).get(), qPrintable(damage)));
    };
    const QString error = errorMessage([&] { Operations::compact(db, tmp.path("BACKNEW.MDB"), spoiling); });
    QVERIFY2(reason.isEmpty() ? error.isEmpty() : error.contains(reason) && error.contains("left as it was"),
             qPrintable(error));
    if (reason.isEmpty()) {
        QCOMPARE(scalar(db, "SELECT count(*) FROM Pending"), QString("400"));
        QVERIFY(QFileInfo(db).size() < before.size());
    } else {
        QCOMPARE(readFile(db), before);
    }
    QCOMPARE(QFileInfo(db).permissions(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                                              QFileDevice::WriteUser | QFileDevice::ReadGroup);
    QCOMPARE(scalar(db, "PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(scalar(db, "PRAGMA journal_mode"), QString("wal"));
    QCOMPARE(entries(tmp.path()), QStringList{"BACK.MDB"});
}

// What killed runs left beside the files an operation writes goes at its next run, however new;
// a file that a live writer holds locked, look-alikes and links stay.
void TestOperations::staleLeftoversRemoved()
{
    for (const QString operation : {"backup", "restore", "compact"}) {
        TempFolder tmp;
        const QString db = tmp.path("BACK.MDB"), backup = tmp.path("BACK.TVB"), safety = tmp.path("BACK26.BAK");
        BackendMaker::make(db, {{{"ADMIN", "Secret"}}});
        CompressionEngine::compressFile(db, backup);
        const QStringList written = operation == "backup"    ? QStringList{backup}
                                    : operation == "restore" ? QStringList{db, safety}
                                                             : QStringList{db, tmp.path("BACKNEW.MDB")};
        QStringList stale, kept{tmp.path(".OTHER.MDB.tmp-abc")};
        for (const QString &path : written) {
            for (const char *left :
                 {".%1.tmp-3kq9z", ".%1.restore-a1b2c", ".%1.snapshot-z9-journal", "..%1.restore-a1b2c.tmp-x0"})
                stale << tmp.path(QString(left).arg(QFileInfo(path).fileName()));
            for (const char *alike : {".%1.tmp", "%1.tmp-abc", ".%1.tmp-ABC", ".%1.old"})
                kept << tmp.path(QString(alike).arg(QFileInfo(path).fileName()));
        }
        for (const QString &file : stale + kept)
            writeFile(file, "left behind");
        std::vector<std::unique_ptr<TempFile>> live;
        for (const QString &path : written) {
            QVERIFY(QFile::link(db, kept.emplace_back(tmp.path("." + QFileInfo(path).fileName() + ".tmp-link"))));
            live.push_back(std::make_unique<TempFile>(path, TempFile::Temporary, "a run still going"));
            kept << live.back()->path();
        }
        if (operation == "backup")
            Operations::backUp(db, backup);
        else if (operation == "restore")
            Operations::restore(backup, db, safety);
        else
            Operations::compact(db, tmp.path("BACKNEW.MDB"));
        for (const QString &file : stale + kept)
            QVERIFY2(QFile::exists(file) == kept.contains(file), qPrintable(file));
    }
}

OPSUPPORT_TEST_MAIN(TestOperations, QCoreApplication)

#include "tst_operations.moc"
