#include "backendmaker.h"
#include "errorcheck.h"
#include "operations/backup.h"
#include "operations/compaction.h"
#include "operations/paths.h"
#include "operations/replacement.h"
#include "operations/restore.h"
#include "opsupport.h"
#include "platform/dao/dbengine.h"
#include "platform/fs/tempfile.h"
#include "platform/stop.h"
#include "platform/zlibtool/compressionengine.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <cerrno>
#include <sys/stat.h>

using namespace TestSupport;

namespace {
// Kills a writer of the database at path once it is ready: "walcommit" leaves rows committed
// only in the write-ahead log, "crash" an uncommitted write spilled into the file.
void killWriter(const char *role, const QString &path, const QString &rows)
{
    Child writer;
    QVERIFY(writer.start(role, path, rows));
    writer.kill();
}

// A zstd frame of content bytes: head stored as it is, then zeros up to size, declared in the
// header or not. Its checksum is not that of the content: a restore must refuse it long before.
QByteArray handMadeFrame(const QByteArray &head, quint64 size, bool declared)
{
    QByteArray frame("\x28\xb5\x2f\xfd", 4);
    frame += char(declared ? 0xc4 : 0x04); // content size in 8 bytes (or none), a checksum
    frame += char(7 << 3);                 // a window of 128 KiB
    for (int i = 0; declared && i < 8; ++i)
        frame += char((size >> (8 * i)) & 0xff);
    const auto block = [&](quint32 type, quint32 bytes, bool last) {
        const quint32 h = (last ? 1 : 0) | (type << 1) | (bytes << 3);
        frame += char(h & 0xff), frame += char((h >> 8) & 0xff), frame += char((h >> 16) & 0xff);
    };
    block(0, quint32(head.size()), false);
    frame += head;
    for (quint64 left = size - quint64(head.size()); left > 0;) {
        const quint32 n = quint32(std::min<quint64>(left, 128 << 10));
        left -= n;
        block(1, n, left == 0);
        frame += '\0';
    }
    return frame + QByteArray(4, '\0');
}

} // namespace

// Backup, restore and compaction through the operations layer alone: the names derived from what
// the user typed, and databases that other processes write to, hold open or left half-written.
class TestOperations : public QObject {
    Q_OBJECT

private slots:
    // What the user typed becomes the backup's name; safety and compacted copies lie beside their files.
    void paths()
    {
        const QString cases[][2] = {
            {Paths::backupFileName("/srv/backups/monday"), "/srv/backups/monday.TVB"},
            {Paths::backupFileName("/srv/backups/data.tvb"), "/srv/backups/data.TVB"},
            {Paths::backupFileName("/srv/Back.up/data"), "/srv/Back.up/data.TVB"},
            {Paths::backupFileName("/srv/Back.up/data.old.mdb"), "/srv/Back.up/data.old.TVB"},
            {Paths::backupFileName("/srv/backups/data."), "/srv/backups/data.TVB"},
            {Paths::backupFileName("."), ".TVB"},
            {Paths::backupFileName("C:\\Back.up\\data"), "C:\\Back.TVB"}, // no separator here
            {Paths::safetyCopyPath("/srv/office/BACK.MDB", QDate(2026, 12, 5)), "/srv/office/BACK26.BAK"},
            {Paths::safetyCopyPath("/srv/office/Sales.2024.mdb", QDate(2100, 7, 9)), "/srv/office/Sales.202400.BAK"},
            {Paths::safetyCopyPath("/srv/office/data", QDate(2007, 1, 1)), "/srv/office/data07.BAK"},
            {Paths::compactTempPath("/home/ann/BACK/BACK.MDB"), "/home/ann/BACK/BACKNEW.MDB"},
            {Paths::compactTempPath("/srv/a.b/data"), "/srv/a.b/BACKNEW.MDB"},
            {Paths::compactTempPath("/BACK.MDB"), "/BACKNEW.MDB"},
        };
        for (const auto &[made, expected] : cases)
            QCOMPARE(made, expected);
        for (const char *noFolder : {"BACK.MDB", ""})
            COMPARE_ERROR([&] { (void)Paths::compactTempPath(noFolder); }, ErrorNumber::InvalidArgument,
                          {quotedPath(noFolder), "BACKNEW.MDB"});
    }

    // Once nobody uses a database, its file alone holds every committed row (a killed writer's hot
    // journal rolled back, the log carried in); a backup taken while a writer commits is consistent.
    void writersAround()
    {
        for (const bool wal : {false, true}) {
            TempFolder tmp;
            const QString db = tmp.path("BACK.MDB"), backup = tmp.path("backups/live.TVB"), copy = tmp.path("copy");
            BackendMaker::make(db, {.users = {}, .sizeBytes = 4 << 20, .wal = wal});
            addLedger(db, 20000);
            killWriter(wal ? "walcommit" : "crash", db, "300");
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
            Operations::Observer observer;
            double shown = 0;
            observer.progress = [&](qint64 done, qint64 total) { // the bar only goes forward, and ends full
                QVERIFY(done * 1.0 / total >= std::exchange(shown, done * 1.0 / total) && done <= total);
            };
            Operations::backUp(db, backup, observer);
            QCOMPARE(shown, 1.0);
            writeFile(tmp.path("stop"), "");
            QVERIFY(writer.finish().toLongLong() > committedBefore);         // it went on writing meanwhile
            QCOMPARE(entries(tmp.path("backups")), QStringList{"live.TVB"}); // no snapshot left behind
            CompressionEngine::decompressFile(backup, copy);
            QCOMPARE(ledgerProblem(copy), QString());
            QVERIFY(scalar(copy, "SELECT count(*) FROM Movement").toInt() >= committedBefore);
            QCOMPARE(ledgerProblem(db), QString());
        }
    }

    void restore_data()
    {
        // "@" stands for the backup's quoted path. A private target (mode 0600) is replaced by a
        // rename, a shared one (0640) written in place through SQLite.
        QTest::addColumn<bool>("shared");
        QTest::addColumn<QString>("situation");
        QTest::addColumn<long>("number"); // 0: restored; -1: refused, any number
        QTest::addColumn<QString>("message");
        const auto row = [](const QByteArray &tag, bool shared, const char *situation, long number,
                            const char *message) { QTest::newRow(tag) << shared << situation << number << message; };
        for (const bool shared : {false, true}) {
            const QByteArray kind = shared ? "shared: " : "private: ";
            const long busy = shared ? 0 : EBUSY;
            row(kind + "restored, old database kept as safety copy", shared, "", 0, "");
            row(kind + "read-only target", shared, "read-only", EACCES, "the file is read-only");
            // In place, SQLite's locks decide: a connection idle in rollback-journal mode holds none,
            // sees the new content at its next transaction, and loses nothing; a write made before
            // the lock is in the safety copy.
            row(kind + "target held open", shared, "in use", busy, "is in use by another program (process ");
            row(kind + "target written during the restore", shared, "written", busy, "was changed by another program");
            row(kind + "a link in the way of the safety copy", shared, "safety link", ELOOP,
                "BACK26.BAK\" is in the way");
            row(kind + "restore from the target", shared, "same", ErrorNumber::InvalidArgument, "cannot be both");
            row(kind + "over a damaged database", shared, "damaged", 0, ""); // what a restore is for
        }
        // A commit after the copy made while the backup is decompressed, before the lock: the target
        // is copied again.
        row("shared: written after its copy was made", true, "written ahead", 0, "");
        row("shared: in log mode, written after its copy was made", true, "written ahead, wal", 0, "");
        // Written in place while it is still being decompressed: no page before it is complete.
        row("shared: a backup of 32 MiB", true, "large", 0, "");
        // Pages of another size: in place, a database in write-ahead-log mode keeps its own (and its mode).
        // The largest, 65536, stands in the header as 1.
        row("shared: pages of another size", true, "page size", 0, "");
        row("shared: in log mode, pages of the largest size", true, "page size, wal", 0, "");
        const long bad = ErrorNumber::BadFileFormat;
        row("another database's log where the file goes", false, "old log", 0, "");
        row("backup's last byte missing", true, "last", -1, "@ is truncated");
        row("backup's byte changed", true, "flip", -1, "@ is damaged");
        row("not a backup", true, "text", -1, "@ is not a Tarvos backup file");
        row("a frame of text", true, "text frame", bad, "@ holds no database");
        // A rename would put it in place: only the check keeps it out.
        row("private: a frame of text", false, "text frame", bad, "@ holds no database");
        row("a frame of a database one page short", true, "frame short", bad, "@ holds no database");
        row("a frame of 99 bytes of a database", true, "frame head", bad, "(it does not begin with the SQLite header)");
        // A few kilobytes that decode to gigabytes: refused before a byte is written.
        row("2 GiB of zeros, size declared", true, "zeros", bad,
            "@ holds no database (it does not begin with the SQLite header)");
        row("2 GiB of zeros, size not declared", true, "zeros undeclared", bad,
            "it does not record the size of its content");
        row("a database of 1 TiB declared", true, "huge", ENOSPC, "MB free, and the restore needs");
        row("no target named", true, "no target", ENOENT, "no file to restore to was named");
        // A database file as the source: not while rows committed to it lie only in its log.
        row("a database whose log holds rows", true, "database with log", EBUSY,
            "beside it may hold part of its content");
        row("a database file", true, "database", 0, "");
        row("a database file a page short", true, "database cut short", bad, "holds no database (it is cut short: ");
        row("a database file of 99 bytes", true, "database head", bad, "(it does not begin with the SQLite header)");
    }

    // A restore puts the backup's database in place, the old one in the safety copy beside it; a refusal
    // leaves target, backup and safety copy byte for byte as they were, and no temporary file.
    void restore()
    {
        QFETCH(bool, shared);
        QFETCH(QString, situation);
        QFETCH(long, number);
        QFETCH(QString, message);
        TempFolder tmp;
        QVERIFY(QDir().mkpath(tmp.path("target")) && QDir::setCurrent(tmp.path("target"))); // where "" would lead
        const auto leave = qScopeGuard([] { QDir::setCurrent(QCoreApplication::applicationDirPath()); });
        const QString file = tmp.path("target/BACK.MDB"), safety = tmp.path("target/BACK26.BAK");
        QString target = file, backup = tmp.path("source.TVB");
        BackendMaker::make(target, {.users = {}, .wal = situation.endsWith("wal")});
        QVERIFY(::chmod(QFile::encodeName(target).constData(), shared ? 0640 : 0600) == 0);
        BackendMaker::make(tmp.path("source.MDB"),
                           {.users = {}, .sizeBytes = situation == "large" ? 32 << 20 : 1 << 20});
        if (situation.startsWith("page size"))
            QVERIFY(rawExec(rawOpen(tmp.path("source.MDB")).get(), situation == "page size"
                                                                       ? "PRAGMA page_size = 16384; VACUUM"
                                                                       : "PRAGMA page_size = 65536; VACUUM"));
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
        std::function<void()> firstReport;
        observer.progress = [&, shown = qint64(0)](qint64 done, qint64 total) mutable { // forward, never past full
            QVERIFY2(done >= std::exchange(shown, done) && done <= total, qPrintable(QString::number(done)));
            if (firstReport)
                std::exchange(firstReport, {})();
        };
        QByteArray written = before; // what the target holds just before the restore
        const auto writeLate = [&] {
            QVERIFY(rawExec(rawOpen(target).get(), "INSERT INTO User VALUES ('LATE', 'pw')"));
            written = readFile(target);
        };
        const auto cut = [&](const QByteArray &db) { // a page short (its size: header bytes 16, 17), or 99 bytes
            return situation.endsWith("short") ? db.chopped(quint8(db[16]) << 8 | quint8(db[17]))
                                               : db.left(situation.endsWith("head") ? 99 : db.size());
        };
        if (situation == "last")
            bytes.chop(1);
        else if (situation == "flip")
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x40);
        else if (situation == "text")
            bytes = "Dear diary, today I made a backup.";
        else if (situation == "text frame")
            bytes = frameOf(QByteArray("Dear diary, today I made a backup.\n").repeated(5000));
        else if (situation.startsWith("frame "))
            bytes = frameOf(cut(source));
        else if (situation == "zeros" || situation == "zeros undeclared")
            bytes = handMadeFrame(QByteArray(1024, '\0'), quint64(2) << 30, situation == "zeros");
        else if (situation == "huge") { // page 1 counts 2^28 pages of 4 KiB
            QByteArray head = source.left(4096);
            head[16] = 0x10, head[17] = 0, head[28] = 0x10, head[29] = head[30] = head[31] = 0;
            head.replace(92, 4, head.mid(24, 4));
            bytes = handMadeFrame(head, quint64(1) << 40, true);
        } else if (situation == "same")
            backup = target, bytes = before;
        else if (situation.startsWith("database")) {
            backup = tmp.path("copy.MDB");
            BackendMaker::make(backup, {.users = {{"COPY", "x"}}, .sizeBytes = 1 << 20, .wal = true});
            if (situation.endsWith("log"))
                killWriter("walcommit", backup, "50");
            bytes = cut(readFile(backup));
        } else if (situation == "no target")
            target.clear();
        else if (situation == "read-only")
            QVERIFY(::chmod(QFile::encodeName(target), 0444) == 0);
        else if (situation == "damaged") // page 1 past its header: SQLite cannot read the schema
            writeFile(target, written = before.left(100) + QByteArray(3996, '\xff') + before.mid(4096));
        else if (situation == "safety link")
            QVERIFY(QFile::remove(safety) && QFile::link(target, safety));
        else if (situation == "in use") {
            QVERIFY(other.start("idle", target));
            if (!shared) { // no lock to find: only the open file tells, before any work begins
                observer.working = [] { QFAIL("the work began on a database in use"); };
                message += QString::number(other.pid());
            }
        } else if (situation == "written") { // once the checks are passed: the same bytes, a new time of change
            observer.working = writeLate;
        } else if (situation.startsWith("written ahead")) { // once the copy is complete
            firstReport = [&] {
                const auto copied = [&] {
                    const QStringList copy = entries(tmp.path("target")).filter(QRegularExpression("^\\.BACK26"));
                    return !copy.isEmpty() && QFileInfo(tmp.path("target/") + copy[0]).size() >= before.size();
                };
                QTRY_VERIFY_WITH_TIMEOUT(copied(), 10000);
                writeLate();
            };
        } else if (situation == "old log") { // opened beside the new file, SQLite would replay it into it
            BackendMaker::make(tmp.path("other.MDB"), {.users = {}, .wal = true});
            killWriter("walcommit", tmp.path("other.MDB"), "500");
            QVERIFY(QFile::remove(target) && QFile::copy(tmp.path("other.MDB-wal"), target + "-wal") &&
                    QFile::copy(tmp.path("other.MDB-shm"), target + "-shm"));
        }
        writeFile(backup, bytes);
        const QByteArray safetyBefore = readFile(safety), targetBefore = readFile(file);
        const QDateTime targetBorn = QFileInfo(file).fileTime(QFileDevice::FileBirthTime);
        const auto targetPermissions = QFileInfo(file).permissions(); // both now: QFileInfo reads when first asked
        QElapsedTimer clock;
        clock.start();
        try {
            Operations::restore(backup, target, QDate(2026, 12, 9), observer);
            QVERIFY2(number == 0, "restored");
        } catch (const Error &e) {
            QVERIFY2(number != 0 && (number < 0 || e.number() == number), qPrintable(e.message()));
            QVERIFY2(e.description().contains(message.replace("@", quotedPath(backup))), qPrintable(e.message()));
            QVERIFY2(clock.elapsed() < 1000 || situation == "in use", "refused at once");
        }
        QCOMPARE(QFileInfo(safety).isSymLink(), situation == "safety link");
        if (number == 0) {
            // The restored content; in place it keeps the target's own file and journal mode.
            QCOMPARE(scalar(file, "PRAGMA integrity_check"), QString("ok"));
            QCOMPARE(tableCounts(file), tableCounts(situation == "database" ? backup : tmp.path("source.MDB")));
            QCOMPARE(scalar(file, "PRAGMA journal_mode"), QString(situation.endsWith("wal") ? "wal" : "delete"));
            QCOMPARE(scalar(file, "PRAGMA page_size"), QString(situation == "page size" ? "16384" : "4096"));
            if (!shared || targetBefore.isEmpty())
                QCOMPARE(readFile(file), source);
            else
                QCOMPARE(QFileInfo(file).fileTime(QFileDevice::FileBirthTime), targetBorn);
            // The target as it was just before, with its permissions.
            if (!targetBefore.isEmpty()) {
                if (situation.endsWith("wal")) // made through SQLite, which takes in the log with the late row
                    QCOMPARE(rows(safety, "SELECT UserName FROM User"),
                             situation.startsWith("written") ? QStringList{"LATE"} : QStringList());
                else
                    QCOMPARE(readFile(safety), written);
                QCOMPARE(QFileInfo(safety).permissions(), targetPermissions);
            }
        } else {
            QCOMPARE(readFile(file), written);
            QCOMPARE(readFile(safety), safetyBefore);
        }
        if (situation == "in use")
            QCOMPARE(other.finish(), QString()); // it read on and closed without a complaint
        QCOMPARE(readFile(backup), bytes);
        QCOMPARE((entries(tmp.path("target")) + entries(tmp.path())).filter(QRegularExpression("^\\.")), QStringList());
    }

    void compaction_data()
    {
        QTest::addColumn<bool>("shared");    // written in place (0640) or replaced by a rename (0600)
        QTest::addColumn<QString>("damage"); // to the engine's copy: SQL run on it, or bytes overwritten
        QTest::addColumn<QString>("reason"); // empty: compacted
        for (const bool shared : {true, false}) {
            const char *kind = shared ? "shared" : "private";
            QTest::addRow("%s: compacted, rows only in the log kept", kind) << shared << QString() << QString();
            QTest::addRow("%s: rows missing", kind)
                << shared << QString("DELETE FROM Invoice WHERE InvoiceID % 3 = 0") << "does not hold the same rows";
            QTest::addRow("%s: page damaged", kind) << shared << QString("page") << "failed its check";
            QTest::addRow("%s: asked to end while the copy is checked", kind)
                << shared << QString() << "stopped, because the program was asked to end";
        }
        // Found only by the pass over the whole file, which accounts for every page.
        QTest::newRow("free pages lost") << true << QString("freelist") << "failed its check";
        QTest::newRow("index out of step") // every row is there, but an index no longer matches its table
            << true
            << "PRAGMA writable_schema=ON; UPDATE sqlite_schema SET sql = 'CREATE INDEX InvoiceByDate ON Invoice "
               "(CustomerID)' WHERE name = 'InvoiceByDate'"
            << "failed its check (integrity_check: row 1 missing from index InvoiceByDate)";
    }

    // The copy replaces the database once checked, keeping mode, group and log mode; a spoilt one changes nothing.
    void compaction()
    {
        QFETCH(bool, shared);
        QFETCH(QString, damage);
        QFETCH(QString, reason);
        TempFolder tmp;
        const QString db = tmp.path("BACK.MDB");
        BackendMaker::make(db, {.users = {}, .sizeBytes = 2 << 20, .freePercent = 40, .wal = true});
        if (reason.isEmpty())
            killWriter("walcommit", db, "400");
        QVERIFY(::chmod(QFile::encodeName(db).constData(), shared ? 0640 : 0600) == 0);
        QVERIFY(!runningAsRoot() || ::chown(QFile::encodeName(db).constData(), uid_t(-1), 65534) == 0); // not ours
        const auto access = std::pair(QFileInfo(db).permissions(), QFileInfo(db).groupId());
        const QDateTime born = QFileInfo(db).fileTime(QFileDevice::FileBirthTime);
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
        Operations::Observer observer; // the second half of the bar counts the check
        observer.progress = [&](qint64 done, qint64 total) {
            if (reason.startsWith("stopped") && done > total / 2)
                Stop::request();
        };
        const auto forgetStop = qScopeGuard([] { Stop::clear(); });
        const QString error =
            errorMessage([&] { Operations::compact(db, tmp.path("BACKNEW.MDB"), spoiling, observer); });
        QVERIFY2(reason.isEmpty()
                     ? error.isEmpty()
                     : error.contains(reason) && (error.contains("left as it was") || error.startsWith("125")),
                 qPrintable(error));
        if (reason.isEmpty()) // the rows only in the log kept, in less room
            QVERIFY(scalar(db, "SELECT count(*) FROM Pending") == "400" && QFileInfo(db).size() < before.size());
        else
            QCOMPARE(readFile(db), before);
        QCOMPARE(std::pair(QFileInfo(db).permissions(), QFileInfo(db).groupId()), access);
        // In place the database keeps its own file; a rename gives it the copy's.
        QCOMPARE(QFileInfo(db).fileTime(QFileDevice::FileBirthTime) == born, shared || !reason.isEmpty());
        QCOMPARE(scalar(db, "PRAGMA integrity_check"), QString("ok"));
        QCOMPARE(scalar(db, "PRAGMA journal_mode"), QString("wal"));
        QCOMPARE(entries(tmp.path()), QStringList{"BACK.MDB"});
    }

    // What killed runs left beside the files an operation writes goes at its next run, however new;
    // a file that a live writer holds locked, look-alikes, links and pipes stay.
    void staleLeftoversRemoved()
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
                for (const char *alike : {".%1.tmp", "%1.tmp-abc", ".%1.tmp-Abc", ".%1.old"})
                    kept << tmp.path(QString(alike).arg(QFileInfo(path).fileName()));
            }
            for (const QString &file : stale + kept)
                writeFile(file, "left behind");
            std::vector<std::unique_ptr<TempFile>> live;
            const Fs::Folder folder = Fs::Folder::open(tmp.path(), "test");
            for (const QString &path : written) {
                const QString hidden = tmp.path("." + QFileInfo(path).fileName());
                QVERIFY(QFile::link(db, kept.emplace_back(hidden + ".tmp-link")));
                QCOMPARE(::mkfifo(QFile::encodeName(kept.emplace_back(hidden + ".tmp-fifo")).constData(), 0600), 0);
                live.push_back(std::make_unique<TempFile>(folder, QFileInfo(path).fileName(), TempFile::Temporary,
                                                          "a run still going"));
                kept << live.back()->path();
            }
            if (operation == "backup")
                Operations::backUp(db, backup);
            else if (operation == "restore")
                Operations::restore(backup, db, QDate(2026, 12, 9));
            else
                Operations::compact(db, tmp.path("BACKNEW.MDB"));
            for (const QString &file : stale + kept)
                QVERIFY2(QFile::exists(file) == kept.contains(file), qPrintable(file));
        }
    }

    void throughALink_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("shared");
        for (const char *operation : {"backup", "restore", "compact"})
            for (const bool shared : {false, true})
                QTest::addRow("%s, %s", operation, shared ? "shared" : "private") << QString(operation) << shared;
    }

    // The operator names the database through a link of their own, from another folder: the
    // operations work on the file it leads to, the safety copy lies beside that file, and the link
    // stays a link to it.
    void throughALink()
    {
        QFETCH(QString, operation);
        QFETCH(bool, shared);
        TempFolder tmp;
        QVERIFY(QDir().mkpath(tmp.path("real data")) && QDir().mkpath(tmp.path("shortcuts")));
        const QString real = tmp.path("real data/BACK.MDB"), link = tmp.path("shortcuts/Büro.MDB");
        BackendMaker::make(real, {.users = {{"ADMIN", "Secret"}}, .sizeBytes = 1 << 20, .freePercent = 30});
        QVERIFY(::chmod(QFile::encodeName(real).constData(), shared ? 0640 : 0600) == 0);
        QVERIFY(QFile::link("../real data/BACK.MDB", link));
        BackendMaker::make(tmp.path("other.MDB"), {.users = {{"OTHER", "x"}}, .sizeBytes = 1 << 20});
        CompressionEngine::compressFile(tmp.path("other.MDB"), tmp.path("other.TVB"));
        const QByteArray before = readFile(real);
        if (operation == "backup") {
            Operations::backUp(link, tmp.path("shortcuts/Büro.TVB"));
            CompressionEngine::decompressFile(tmp.path("shortcuts/Büro.TVB"), tmp.path("unpacked"));
            QVERIFY(readFile(tmp.path("unpacked")) == before);
        } else if (operation == "restore") {
            Operations::restore(tmp.path("other.TVB"), link, QDate(2026, 12, 9));
            QCOMPARE(rows(real, "SELECT UserName FROM User").join(' '), QString("OTHER"));
            QVERIFY(readFile(tmp.path("real data/BACK26.BAK")) == before);
        } else {
            Operations::compact(link, tmp.path("shortcuts/BACKNEW.MDB"));
            QVERIFY(QFileInfo(real).size() < before.size());
            QCOMPARE(rows(real, "SELECT UserName FROM User").join(' '), QString("ADMIN"));
        }
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(QFileInfo(link).canonicalFilePath(), QFileInfo(real).canonicalFilePath());
        QCOMPARE(entries(tmp.path("shortcuts")).filter(QRegularExpression("^\\.|BAK|BACKNEW")), QStringList());
    }
};

OPSUPPORT_TEST_MAIN(TestOperations, QCoreApplication)

#include "tst_operations.moc"
