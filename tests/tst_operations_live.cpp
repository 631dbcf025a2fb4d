#include "backendmaker.h"
#include "operations/backup.h"
#include "operations/compaction.h"
#include "operations/compressor.h"
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
    void damagedBackupRefused_data();
    void damagedBackupRefused();
    void restoreNeverMeetsOldLog();
    void restoreRefusesItsOwnBackup();
    void restoreTargetRefused_data();
    void restoreTargetRefused();
    void compactionKeepsLoggedRows();
    void compactedCopyChecked_data();
    void compactedCopyChecked();
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
    Operations::EngineCompressor engine;
    Operations::backUp(db, tmp.path("backups/live.TVB"), engine);
    writeFile(tmp.path("stop"), "");
    QVERIFY(writer.finish().toLongLong() > committedBefore);

    QCOMPARE(entries(tmp.path("backups")), QStringList{"live.TVB"}); // no snapshot left behind
    engine.decompress(tmp.path("backups/live.TVB"), tmp.path("restored.MDB"));
    QCOMPARE(ledgerProblem(tmp.path("restored.MDB")), QString());
    QVERIFY(scalar(tmp.path("restored.MDB"), "SELECT count(*) FROM Movement").toInt() >= committedBefore);
    QCOMPARE(ledgerProblem(db), QString());
}

void TestOperationsLive::damagedBackupRefused_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("cause");
    const char *const rows[][3] = {
        {"cut in half", "half", "is truncated"},
        {"last byte missing", "last", "is truncated"},
        {"byte changed", "flip", "is damaged"},
        {"not a backup", "text", "is not a Tarvos backup file"},
        {"empty", "empty", "is not a Tarvos backup file"},
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
}

void TestOperationsLive::damagedBackupRefused()
{
    QFETCH(QString, damage);
    QFETCH(QString, cause);
    TempFolder tmp;
    BackendMaker::make(tmp.path("source.MDB"), {.users = {}, .sizeBytes = 1 << 20});
    QDir().mkpath(tmp.path("target"));
    BackendMaker::make(tmp.path("target/BACK.MDB"), {});
    const QByteArray target = readFile(tmp.path("target/BACK.MDB"));
    Operations::EngineCompressor engine;
    engine.compress(tmp.path("source.MDB"), tmp.path("good.TVB"));

    QByteArray bytes = readFile(tmp.path("good.TVB"));
    if (damage == "half")
        bytes.truncate(bytes.size() / 2);
    else if (damage == "last")
        bytes.chop(1);
    else if (damage == "flip")
        bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x40);
    else
        bytes = damage == "text" ? "Dear diary, today I made a backup." : "";
    const QString bad = tmp.path("bad.TVB");
    writeFile(bad, bytes);
    try {
        Operations::restore(bad, tmp.path("target/BACK.MDB"), tmp.path("BACK26.BAK"), engine);
        QFAIL("a damaged backup was restored");
    } catch (const Error &e) {
        QVERIFY2(e.description().contains(quotedPath(bad) + ' ' + cause), qPrintable(e.message()));
    }
    QCOMPARE(readFile(tmp.path("target/BACK.MDB")), target);
    QCOMPARE(entries(tmp.path("target")), QStringList{"BACK.MDB"});
    QCOMPARE(readFile(tmp.path("BACK26.BAK")), target); // the safety copy was made first
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

    Operations::EngineCompressor engine;
    engine.compress(tmp.path("source.MDB"), tmp.path("source.TVB"));
    Operations::restore(tmp.path("source.TVB"), target, tmp.path("BACK26.BAK"), engine);
    QVERIFY(!QFile::exists(target + "-wal") && !QFile::exists(target + "-shm"));
    QCOMPARE(readFile(target), readFile(tmp.path("source.MDB")));
    QCOMPARE(tableCounts(target), tableCounts(tmp.path("source.MDB")));
    QVERIFY(!QFile::exists(tmp.path("BACK26.BAK"))); // there was nothing to keep
}

void TestOperationsLive::restoreRefusesItsOwnBackup()
{
    TempFolder tmp;
    BackendMaker::make(tmp.path("source.MDB"), {});
    Operations::EngineCompressor engine;
    engine.compress(tmp.path("source.MDB"), tmp.path("data.TVB"));
    const QByteArray backup = readFile(tmp.path("data.TVB"));
    try {
        Operations::restoreInto(tmp.path("data.TVB"), tmp.path("data.TVB"), engine);
        QFAIL("a backup was restored over itself");
    } catch (const Error &e) {
        QCOMPARE(e.number(), ErrorNumber::InvalidArgument);
    }
    QCOMPARE(readFile(tmp.path("data.TVB")), backup);
}

void TestOperationsLive::restoreTargetRefused_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<long>("number");
    QTest::addColumn<QString>("message");
    QTest::newRow("no target named") << "empty" << long(ENOENT) << "no file to restore to was named";
    QTest::newRow("read-only target") << "read-only" << long(EACCES) << "the file is read-only";
    QTest::newRow("target held open") << "in use" << long(EBUSY) << "is in use by another program";
}

void TestOperationsLive::restoreTargetRefused()
{
    QFETCH(QString, situation);
    QFETCH(long, number);
    QFETCH(QString, message);
    TempFolder tmp;
    QDir().mkpath(tmp.path("target"));
    QVERIFY(QDir::setCurrent(tmp.path("target"))); // where an empty name would lead
    QString target = tmp.path("target/BACK.MDB");
    BackendMaker::make(target, {});
    BackendMaker::make(tmp.path("source.MDB"), {{{"ADMIN", "Secret"}}});
    Operations::EngineCompressor engine;
    engine.compress(tmp.path("source.MDB"), tmp.path("source.TVB"));
    const QByteArray before = readFile(target);
    Child other;
    if (situation == "empty")
        target.clear();
    else if (situation == "read-only")
        QVERIFY(::chmod(QFile::encodeName(target), 0444) == 0);
    else
        QVERIFY(other.start("hold", target));
    try {
        Operations::restore(tmp.path("source.TVB"), target, tmp.path("BACK26.BAK"), engine);
        QFAIL("restored");
    } catch (const Error &e) {
        QCOMPARE(e.number(), number);
        QVERIFY2(e.description().contains(message), qPrintable(e.message()));
    }
    QVERIFY(QDir::setCurrent(QCoreApplication::applicationDirPath()));
    QCOMPARE(readFile(tmp.path("target/BACK.MDB")), before);
    QCOMPARE(entries(tmp.path("target")), QStringList{"BACK.MDB"});
    QVERIFY(!QFile::exists(tmp.path("BACK26.BAK"))); // refused before the safety copy
}

void TestOperationsLive::compactionKeepsLoggedRows()
{
    TempFolder tmp;
    const QString db = tmp.path("BACK.MDB");
    BackendMaker::make(db, {.users = {}, .sizeBytes = 2 << 20, .freePercent = 40, .wal = true});
    commitToLogOnly(db, "400");
    const qint64 before = QFileInfo(db).size();
    Operations::compact(db, tmp.path("BACKNEW.MDB"));
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

int main(int argc, char **argv)
{
    if (const int rc = runChildIfAsked(argc, argv); rc >= 0)
        return rc;
    QCoreApplication app(argc, argv);
    TestOperationsLive test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_operations_live.moc"
