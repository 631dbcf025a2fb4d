#include "backendmaker.h"
#include "operations/backup.h"
#include "operations/compaction.h"
#include "platform/tempfile.h"
#include "platform/zlibtool/compressionengine.h"
#include "operations/restore.h"
#include "opsupport.h"
#include "platform/dao/dbengine.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QtTest>

#include <cerrno>
#include <sys/stat.h>

using namespace OpSupport;
using namespace TestSupport;

// Backup, restore and compaction through the operations layer alone, as a program without a
// window runs them: against databases that other processes write to, hold open, or left
// half-written when they stopped.
class TestOperationsLive : public QObject {
    Q_OBJECT

private slots:
    void liveBackupIsConsistent_data();
    void liveBackupIsConsistent();
    void restoreRefused_data();
    void restoreRefused();
    void restoreNeverMeetsOldLog();
    void restoreRefusesItsOwnBackup();
    void compactionKeepsLoggedRows();
    void compactedCopyChecked_data();
    void compactedCopyChecked();
    void staleLeftoversRemoved_data();
    void staleLeftoversRemoved();
};

namespace {
// Leaves committed rows only in the write-ahead log of the database at path (made in WAL mode).
void commitToLogOnly(const QString &path, const QString &rows)
{
    Child writer;
    QVERIFY(writer.start("walcommit", path, rows));
    writer.kill();
}
} // namespace

void TestOperationsLive::liveBackupIsConsistent_data()
{
    QTest::addColumn<bool>("wal");
    QTest::newRow("rollback journal") << false;
    QTest::newRow("write-ahead log") << true;
}

void TestOperationsLive::liveBackupIsConsistent()
{
    QFETCH(bool, wal);
    TempFolder tmp;
    const QString db = tmp.path("BACK.MDB");
    BackendMaker::make(db, {.users = {}, .sizeBytes = 4 << 20, .wal = wal});
    addLedger(db, 6000);
    QDir().mkpath(tmp.path("backups"));

    Child writer;
    QVERIFY(writer.start("writer", db, tmp.path("stop")));
    const int committedBefore = scalar(db, "SELECT count(*) FROM Movement").toInt();
    Operations::backUp(db, tmp.path("backups/live.TVB"));
    writeFile(tmp.path("stop"), "");
    QVERIFY(writer.finish().toLongLong() > committedBefore);

    QCOMPARE(entries(tmp.path("backups")), QStringList{"live.TVB"}); // no snapshot left behind
    CompressionEngine::decompressFile(tmp.path("backups/live.TVB"), tmp.path("restored.MDB"));
    QCOMPARE(ledgerProblem(tmp.path("restored.MDB")), QString());
    QVERIFY(scalar(tmp.path("restored.MDB"), "SELECT count(*) FROM Movement").toInt() >= committedBefore);
    QCOMPARE(ledgerProblem(db), QString());
}

void TestOperationsLive::restoreRefused_data()
{
    // Every refusal leaves the target and the year's safety copy as they were. "@" stands for
    // the backup's quoted path.
    QTest::addColumn<QString>("situation");
    QTest::addColumn<long>("number"); // -1: any
    QTest::addColumn<QString>("message");
    QTest::newRow("backup cut in half") << "half" << -1L << "@ is truncated";
    QTest::newRow("backup's last byte missing") << "last" << -1L << "@ is truncated";
    QTest::newRow("backup's byte changed") << "flip" << -1L << "@ is damaged";
    QTest::newRow("not a backup") << "text" << -1L << "@ is not a Tarvos backup file";
    QTest::newRow("empty backup") << "empty" << -1L << "@ is not a Tarvos backup file";
    QTest::newRow("a frame of random bytes") << "random frame" << ErrorNumber::BadFileFormat << "@ holds no database";
    QTest::newRow("a frame of text") << "text frame" << ErrorNumber::BadFileFormat << "@ holds no database";
    QTest::newRow("a frame of a cut database") << "cut frame" << ErrorNumber::BadFileFormat << "@ holds no database";
    QTest::newRow("a frame of a database one page short")
        << "short frame" << ErrorNumber::BadFileFormat << "@ holds no database";
    QTest::newRow("restore from the target") << "same" << ErrorNumber::InvalidArgument << "cannot be both";
    QTest::newRow("no target named") << "no target" << long(ENOENT) << "no file to restore to was named";
    QTest::newRow("read-only target") << "read-only" << long(EACCES) << "the file is read-only";
    QTest::newRow("target held open") << "in use" << long(EBUSY) << "is in use by another program";
    QTest::newRow("target written during the restore") << "written" << long(EBUSY) << "was changed by another program";
    QTest::newRow("safety copy a link to the target")
        << "safety link" << ErrorNumber::InvalidArgument << "it is the safety copy";
}

void TestOperationsLive::restoreRefused()
{
    QFETCH(QString, situation);
    QFETCH(long, number);
    QFETCH(QString, message);
    TempFolder tmp;
    QDir().mkpath(tmp.path("target"));
    QVERIFY(QDir::setCurrent(tmp.path("target"))); // where an empty name would lead
    QString target = tmp.path("target/BACK.MDB");
    BackendMaker::make(target, {});
    const QByteArray before = readFile(target);
    BackendMaker::make(tmp.path("source.MDB"), {.users = {}, .sizeBytes = 1 << 20});
    QString backup = tmp.path("source.TVB");
    CompressionEngine::compressFile(tmp.path("source.MDB"), backup);
    writeFile(tmp.path("BACK26.BAK"), "the only good copy");
    QByteArray bytes = readFile(backup);
    const auto frameOf = [&](const QByteArray &content) {
        writeFile(tmp.path("content"), content);
        CompressionEngine::compressFile(tmp.path("content"), backup);
        return readFile(backup);
    };
    Child other;
    if (situation == "half")
        bytes.truncate(bytes.size() / 2);
    else if (situation == "last")
        bytes.chop(1);
    else if (situation == "flip")
        bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x40);
    else if (situation == "text" || situation == "empty")
        bytes = situation == "text" ? "Dear diary, today I made a backup." : "";
    else if (situation == "random frame")
        bytes = frameOf(QByteArray(100000, 'x').replace('x', char(QRandomGenerator::global()->generate())));
    else if (situation == "text frame")
        bytes = frameOf(QByteArray("Dear diary, today I made a backup.\n").repeated(5000));
    else if (situation == "cut frame")
        bytes = frameOf(readFile(tmp.path("source.MDB")).left(8192));
    else if (situation == "short frame") { // the page size is bytes 16 and 17 of the header
        const QByteArray source = readFile(tmp.path("source.MDB"));
        bytes = frameOf(source.chopped(quint8(source[16]) << 8 | quint8(source[17])));
    }
    else if (situation == "same")
        backup = target, bytes = before;
    else if (situation == "no target")
        target.clear();
    else if (situation == "read-only")
        QVERIFY(::chmod(QFile::encodeName(target), 0444) == 0);
    else if (situation == "safety link")
        QVERIFY(QFile::remove(tmp.path("BACK26.BAK")) && QFile::link(target, tmp.path("BACK26.BAK")));
    else if (situation == "in use")
        QVERIFY(other.start("hold", target));
    // Another program writes to the target once the checks are passed (here the same bytes again,
    // which changes only its time of last change).
    Operations::Observer observer;
    if (situation == "written")
        observer.working = [&] { writeFile(target, before); };
    writeFile(backup, bytes);
    const QByteArray safetyBefore = readFile(tmp.path("BACK26.BAK"));
    try {
        Operations::restore(backup, target, tmp.path("BACK26.BAK"), observer);
        QFAIL("restored");
    } catch (const Error &e) {
        if (number >= 0)
            QCOMPARE(e.number(), number);
        QVERIFY2(e.description().contains(message.replace("@", quotedPath(backup))), qPrintable(e.message()));
    }
    QVERIFY(QDir::setCurrent(QCoreApplication::applicationDirPath()));
    QCOMPARE(readFile(tmp.path("target/BACK.MDB")), before);
    QCOMPARE(entries(tmp.path("target")), QStringList{"BACK.MDB"});
    QCOMPARE(readFile(tmp.path("BACK26.BAK")), safetyBefore);
    QCOMPARE(entries(tmp.path()).filter(QRegularExpression("^\\.")), QStringList());
}

void TestOperationsLive::restoreNeverMeetsOldLog()
{
    // A log left from another database lies where the restored file goes: opened beside the
    // new file, SQLite would replay it into it.
    TempFolder tmp;
    BackendMaker::make(tmp.path("other.MDB"), {.users = {}, .wal = true});
    commitToLogOnly(tmp.path("other.MDB"), "500");
    BackendMaker::make(tmp.path("source.MDB"), {{{"ADMIN", "Secret"}}});
    const QString target = tmp.path("BACK.MDB");
    QVERIFY(QFile::copy(tmp.path("other.MDB-wal"), target + "-wal"));
    QVERIFY(QFile::copy(tmp.path("other.MDB-shm"), target + "-shm"));

    CompressionEngine::compressFile(tmp.path("source.MDB"), tmp.path("source.TVB"));
    Operations::restore(tmp.path("source.TVB"), target, tmp.path("BACK26.BAK"));
    QVERIFY(!QFile::exists(target + "-wal") && !QFile::exists(target + "-shm"));
    QCOMPARE(readFile(target), readFile(tmp.path("source.MDB")));
    QCOMPARE(tableCounts(target), tableCounts(tmp.path("source.MDB")));
    QVERIFY(!QFile::exists(tmp.path("BACK26.BAK"))); // there was nothing to keep
}

void TestOperationsLive::restoreRefusesItsOwnBackup()
{
    TempFolder tmp;
    BackendMaker::make(tmp.path("source.MDB"), {});
    CompressionEngine::compressFile(tmp.path("source.MDB"), tmp.path("data.TVB"));
    const QByteArray backup = readFile(tmp.path("data.TVB"));
    try {
        Operations::restore(tmp.path("data.TVB"), tmp.path("data.TVB"), tmp.path("BACK26.BAK"));
        QFAIL("a backup was restored over itself");
    } catch (const Error &e) {
        QCOMPARE(e.number(), ErrorNumber::InvalidArgument);
    }
    QCOMPARE(readFile(tmp.path("data.TVB")), backup);
}

void TestOperationsLive::compactionKeepsLoggedRows()
{
    TempFolder tmp;
    const QString db = tmp.path("BACK.MDB");
    BackendMaker::make(db, {.users = {}, .sizeBytes = 2 << 20, .freePercent = 40, .wal = true});
    commitToLogOnly(db, "400");
    const qint64 before = QFileInfo(db).size();
    // Shared with a group: the compacted file keeps the database's permissions.
    QVERIFY(::chmod(QFile::encodeName(db).constData(), 0640) == 0);
    Operations::compact(db, tmp.path("BACKNEW.MDB"));
    QCOMPARE(QFileInfo(db).permissions(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                                              QFileDevice::WriteUser | QFileDevice::ReadGroup);
    QCOMPARE(scalar(db, "SELECT count(*) FROM Pending"), QString("400"));
    QCOMPARE(scalar(db, "PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(scalar(db, "PRAGMA journal_mode"), QString("wal"));
    QVERIFY(QFileInfo(db).size() < before);
    QCOMPARE(entries(tmp.path()), QStringList{"BACK.MDB"});
}

void TestOperationsLive::compactedCopyChecked_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("reason");
    QTest::newRow("rows missing") << "DELETE FROM Invoice WHERE InvoiceID % 3 = 0"
                                  << "does not hold the same rows";
    QTest::newRow("table missing") << "DROP TABLE InvoiceLine"
                                   << "does not hold the same rows";
    QTest::newRow("page damaged") << "page"
                                  << "failed its check";
    // Every row is there, but an index no longer matches its table.
    QTest::newRow("index out of step") << "PRAGMA writable_schema=ON; UPDATE sqlite_schema SET sql = "
                                          "'CREATE INDEX InvoiceByDate ON Invoice (CustomerID)' "
                                          "WHERE name = 'InvoiceByDate'"
                                       << "failed its check (integrity_check: row 1 missing from index InvoiceByDate)";
}

void TestOperationsLive::compactedCopyChecked()
{
    QFETCH(QString, damage);
    QFETCH(QString, reason);
    TempFolder tmp;
    const QString db = tmp.path("BACK.MDB");
    BackendMaker::make(db, {.users = {}, .sizeBytes = 1 << 20});
    const QByteArray before = readFile(db);
    // The engine's copy, spoilt as a faulty engine or disk might spoil it.
    auto spoiling = [&](const QString &src, const QString &dst) {
        DBEngine().CompactDatabase(src, dst);
        if (damage == "page") {
            QFile file(dst);
            QVERIFY(file.open(QIODevice::ReadWrite));
            file.seek(file.size() / 2);
            file.write(QByteArray(4096, '\x5a'));
        } else {
            QVERIFY(rawExec(rawOpen(dst).get(), qPrintable(damage)));
        }
    };
    try {
        Operations::compact(db, tmp.path("BACKNEW.MDB"), spoiling);
        QFAIL("a spoilt copy replaced the database");
    } catch (const Error &e) {
        QVERIFY2(e.description().contains(reason), qPrintable(e.message()));
        QVERIFY2(e.description().contains("left as it was"), qPrintable(e.message()));
    }
    QCOMPARE(readFile(db), before);
    QCOMPARE(entries(tmp.path()), QStringList{"BACK.MDB"});
}

void TestOperationsLive::staleLeftoversRemoved_data()
{
    QTest::addColumn<QString>("operation");
    for (const char *operation : {"backup", "restore", "compact"})
        QTest::newRow(operation) << QString(operation);
}

void TestOperationsLive::staleLeftoversRemoved()
{
    // What killed runs left beside the files an operation writes goes at its next run, however
    // new; a file that a live writer holds locked, look-alikes and links stay.
    QFETCH(QString, operation);
    TempFolder folder;
    const QString db = folder.path("BACK.MDB"), backup = folder.path("BACK.TVB"), safety = folder.path("BACK26.BAK");
    BackendMaker::make(db, {{{"ADMIN", "Secret"}}});
    if (operation == "restore")
        CompressionEngine::compressFile(db, backup);
    const QStringList written = operation == "backup" ? QStringList{backup}
                                : operation == "restore" ? QStringList{db, safety}
                                                         : QStringList{db, folder.path("BACKNEW.MDB")};
    QStringList stale, kept;
    std::vector<std::unique_ptr<TempFile>> live;
    for (const QString &path : written) {
        const QString name = QFileInfo(path).fileName();
        stale << "." + name + ".tmp-3kq9z" << "." + name + ".restore-a1b2c" << "." + name + ".snapshot-z9-journal"
              << ".." + name + ".restore-a1b2c.tmp-x0";
        kept << "." + name + ".tmp" << name + ".tmp-abc" << ".OTHER.MDB.tmp-abc" << "." + name + ".tmp-ABC"
             << "." + name + ".old";
        QVERIFY(QFile::link(db, folder.path("." + name + ".tmp-link")));
        live.push_back(std::make_unique<TempFile>(path, TempFile::Temporary, "a run still going"));
    }
    for (const QString &name : stale + kept)
        writeFile(folder.path(name), "left behind");

    if (operation == "backup")
        Operations::backUp(db, backup);
    else if (operation == "restore")
        Operations::restore(backup, db, safety);
    else
        Operations::compact(db, folder.path("BACKNEW.MDB"));
    for (const QString &name : stale)
        QVERIFY2(!QFile::exists(folder.path(name)), qPrintable(name));
    for (const auto &file : live)
        QVERIFY2(QFile::exists(file->path()), qPrintable(file->path()));
    for (const QString &path : written)
        kept << "." + QFileInfo(path).fileName() + ".tmp-link";
    for (const QString &name : kept)
        QVERIFY2(QFileInfo(folder.path(name)).isSymLink() || QFile::exists(folder.path(name)), qPrintable(name));
}

OPSUPPORT_TEST_MAIN(TestOperationsLive, QCoreApplication)

#include "tst_operations_live.moc"
