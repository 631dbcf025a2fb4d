#include "backendmaker.h"
#include "errorcheck.h"
#include "operations/compaction.h"
#include "operations/paths.h"
#include "opsupport.h"
#include "platform/dao/dbengine.h"
#include "platform/errors.h"
#include "platform/zlibtool/compressionengine.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QHash>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>

#include <atomic>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fiu-control.h>
#include <fiu.h>
#include <functional>
#include <iterator>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;

// Backup, restore and compaction run in a child process that is killed, loses its power
// (lossyfs) or sees one of its file system calls fail (libfiu). Afterwards every file must be as
// before or complete, and the same operation, run again in the same folders, must succeed.
// TARVOS_CRASH_KILLS (kills per case, default 3), TARVOS_CRASH_MB (database size, default 2) and
// TARVOS_CRASH_SEED (the spread of the moments) size the runs; tools/crash-runs.sh runs them long.
namespace {

int envNumber(const char *name, int fallback, int least = 1)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value >= least ? value : fallback;
}

QString tally(const QMap<QString, int> &counts)
{
    QStringList parts;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        parts << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
    return parts.join(", ");
}

// The calls libfiu's POSIX preload and ours (fiupreload.cpp) can fail that the operations make.
constexpr const char *Points[] = {
    "posix/io/oc/open",         "posix/io/oc/close",       "posix/io/rw/read",      "posix/io/rw/pread",
    "posix/io/rw/readv",        "posix/io/rw/preadv",      "posix/io/rw/write",     "posix/io/rw/pwrite",
    "posix/io/rw/writev",       "posix/io/rw/pwritev",     "posix/io/rw/ftruncate", "posix/io/rw/truncate",
    "posix/io/sync/fsync",      "posix/io/sync/fdatasync", "posix/io/dir/rename",   "posix/io/dir/unlink",
    "posix/io/dir/opendir",     "posix/io/dir/fdopendir",  "posix/io/dir/readdir",  "linux/io/sync_file_range",
    "linux/io/copy_file_range", "linux/io/renameat2",      "posix/io/dir/link",     "posix/io/flock"};
constexpr int PointCount = int(std::size(Points));

// What the child's TARVOS_FAIL_CALL asked: "count" the calls, or "POINT INDEX ERRNO" to fail one.
struct {
    std::atomic<bool> armed{false}, failed{false};
    std::atomic<long> calls[PointCount] = {};
    int point = -1, err = 0;
    long index = 0;
} faults;

// libfiu asks this before every call of an enabled point, on any thread.
int onCall(const char *name, int *, void **failinfo, unsigned int *)
{
    for (int i = 0; faults.armed.load(std::memory_order_relaxed) && i < PointCount; ++i) {
        if (std::strcmp(name, Points[i]) != 0)
            continue;
        if (++faults.calls[i] != faults.index || i != faults.point)
            return 0;
        *failinfo = reinterpret_cast<void *>(std::intptr_t(faults.err));
        return faults.failed = true;
    }
    return 0;
}

// Around the child's operation: arms the points TARVOS_FAIL_CALL asks for; afterwards prints
// "failed POINT" if the asked call failed, and "calls POINT N" per point called.
void faultsAround(bool starting)
{
    const QStringList asked = qEnvironmentVariable("TARVOS_FAIL_CALL").split(' ', Qt::SkipEmptyParts);
    if (asked.isEmpty())
        return;
    if (starting) {
        for (int i = 0; i < PointCount; ++i)
            faults.point = asked[0] == QLatin1String(Points[i]) ? i : faults.point;
        faults.index = asked.value(1).toLong();
        faults.err = asked.value(2).toInt();
        // One by one: with a wildcard, libfiu would give the callback the pattern, not the call.
        bool ready = fiu_init(0) == 0;
        for (const char *point : Points)
            ready = ready && fiu_enable_external(point, 1, nullptr, 0, onCall) == 0;
        if (!ready)
            qFatal("libfiu cannot be set up");
        faults.armed = true;
        return;
    }
    faults.armed = false;
    if (faults.failed)
        std::printf("failed %s\n", Points[faults.point]);
    for (int i = 0; i < PointCount; ++i)
        if (faults.calls[i] > 0)
            std::printf("calls %s %ld\n", Points[i], faults.calls[i].load());
}

struct Outcome {
    bool killed = false; // the signal was sent
    int exitCode = -1;   // after a stop too
    qint64 ms = -1;      // the child's own time for the operation, when it finished
    qint64 stopMs = -1;  // from the stop to the child's end
    QString errors;
    QByteArray output;
};

// Runs the operation in a child of this program, killing it (SIGKILL, or SIGTERM, which asks it to
// stop) as soon as killWhen() says so (asked every millisecond or so from the child's "go" on);
// failCall is TARVOS_FAIL_CALL.
Outcome runChild(const QStringList &operation, const std::function<bool()> &killWhen = {}, const QString &failCall = {},
                 int signal = SIGKILL)
{
    QProcess child;
    if (!failCall.isEmpty())
        child.setEnvironment(QProcess::systemEnvironment()
                             << "LD_PRELOAD=" FIU_PRELOADS << "TARVOS_FAIL_CALL=" + failCall);
    child.start(QCoreApplication::applicationFilePath(), QStringList{"--operation"} + operation);
    Outcome o;
    while (!o.output.contains("go\n") && child.waitForReadyRead(60000))
        o.output += child.readAllStandardOutput();
    if (!o.output.contains("go\n")) {
        child.waitForFinished(60000);
        o.errors = "the child did not begin: " + child.errorString() + child.readAllStandardError();
        return o;
    }
    QElapsedTimer stopping;
    while (killWhen && child.state() != QProcess::NotRunning && !o.killed) {
        if ((o.killed = killWhen())) {
            stopping.start();
            ::kill(pid_t(child.processId()), signal);
        } else {
            child.waitForFinished(1);
        }
    }
    child.waitForFinished(120000);
    o.stopMs = stopping.isValid() ? stopping.elapsed() : -1;
    o.output += child.readAllStandardOutput();
    o.errors = QString::fromLocal8Bit(child.readAllStandardError()).trimmed();
    if (!o.killed || signal != SIGKILL)
        o.exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    if (const qsizetype done = o.output.indexOf("done "); done >= 0 && o.exitCode == 0)
        o.ms = o.output.mid(done + 5).trimmed().toLongLong();
    return o;
}

// A killWhen that answers true (after calling then) once ms have passed since its first question.
std::function<bool()> after(
    qint64 ms, const std::function<void()> &then = [] {})
{
    return [ms, then, clock = QElapsedTimer()]() mutable {
        if (!clock.isValid())
            clock.start();
        if (clock.elapsed() < ms)
            return false;
        then();
        return true;
    };
}

// A database as SQLite reads it: integrity_check's verdict, a digest of the schema and of every
// row in storage order, and its free pages.
struct DbContent {
    QString problem; // empty when it passed integrity_check
    QByteArray digest;
    QString freePages;
    bool operator==(const DbContent &) const = default;
    QString text() const { return problem.isEmpty() ? digest.toHex().left(16) + ", free pages " + freePages : problem; }
};

DbContent readDatabase(const QString &path)
{
    if (const QStringList integrity = rows(path, "PRAGMA integrity_check"); integrity != QStringList{"ok"})
        return {"integrity_check: " + integrity.join("; "), {}, {}};
    QCryptographicHash hash(QCryptographicHash::Md5);
    const RawDb db = rawOpen(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX);
    for (const QString &object : rows(path, "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY 1, 2")) {
        hash.addData(object.toUtf8() + '\n');
        if (!object.startsWith("table|"))
            continue;
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(db.get(), ("SELECT * FROM \"" + object.section('|', 1, 1) + '"').toUtf8().constData(), -1,
                           &stmt, nullptr);
        // Every value with its type and length, so that no two different rows hash alike.
        QByteArray values;
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            values.resize(0); // keeps its room for the next row
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                const int type = sqlite3_column_type(stmt, i);
                const bool bytes = type == SQLITE_TEXT || type == SQLITE_BLOB;
                const qint64 head[] = {type, bytes ? sqlite3_column_bytes(stmt, i)
                                             : type == SQLITE_FLOAT
                                                 ? std::bit_cast<qint64>(sqlite3_column_double(stmt, i))
                                                 : sqlite3_column_int64(stmt, i)};
                values.append(reinterpret_cast<const char *>(head), sizeof head);
                if (bytes)
                    values.append(static_cast<const char *>(sqlite3_column_blob(stmt, i)), int(head[1]));
            }
            hash.addData(values);
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE)
            return {"cannot read " + object + ": " + sqlite3_errmsg(db.get()), {}, {}};
    }
    return {{}, hash.result(), scalar(path, "PRAGMA freelist_count")};
}

// What the database at path holds: it must read the same from its main file alone (a copy of it)
// as with the journal or log beside it. A database written in place through SQLite is read as
// SQLite reads it, with its journal or log: a stopped write leaves a hot journal, which SQLite
// rolls back at the next open.
DbContent checkedDatabase(const QString &path, bool throughSqlite = false)
{
    const QString alone = path + ".alone";
    if (throughSqlite || (!QFile::exists(path + "-wal") && !QFile::exists(path + "-journal")))
        return readDatabase(path);
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(alone + suffix);
    if (!QFile::copy(path, alone))
        return {"cannot read " + path, {}, {}};
    const DbContent stored = readDatabase(alone), read = readDatabase(path);
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(alone + suffix);
    if (stored.problem.isEmpty() && read.problem.isEmpty() && stored.digest != read.digest)
        return {"what the file holds differs from what SQLite reads with the files beside it", {}, {}};
    return read.problem.isEmpty() ? stored : read;
}

QStringList hiddenEntries(const QString &folder)
{
    return entries(folder).filter(QRegularExpression("^\\."));
}

const QByteArray OlderBackup = "an older backup", OlderSafetyCopy = "an older safety copy";
// Backups of the database taken earlier, and a file named like one that is none.
const QStringList OlderBackups{"BACK010126020000.TVB", "BACK020126020000.TVB", "BACK030126020000.TVB"};
const QString NamedLikeABackup = "BACK311225020000.TVB";

// One case: an operation on a database in one journal mode, in folders made once (base) and
// copied afresh (work) for every run.
struct Case {
    QString operation, base, work;
    bool wal = false, across = false; // across: a database outside the back end's file system
    bool shared = false;              // the database's group may read it: written in place
    int megabytes = 2;
    DbContent original, other; // the database, and the one inside the restore's backup
    QByteArray originalBytes, otherBytes, olderBackupBytes;
    mutable QHash<QByteArray, DbContent> checked; // the sound files read so far, by their bytes' hash
    std::unique_ptr<SmallFileSystem> backFs;

    QString database(const QString &root) const { return root + (across ? "/Data/Sales.mdb" : "/BACK/BACK.MDB"); }
    QString backup() const { return work + "/out/BACK.TVB"; }
    QString safetyCopy() const { return Paths::safetyCopyPath(database(work), RestoreDate); }
    QString compactTemp() const { return work + "/BACK/BACKNEW.MDB"; }
    QStringList args(const QString &root = {}) const
    {
        const QString r = root.isEmpty() ? work : root;
        return operation == "backup"    ? QStringList{"backup", database(r), r + "/out/BACK.TVB"}
               : operation == "restore" ? QStringList{"restore", r + "/in/OTHER.TVB", database(r)}
               : operation == "maintenance"
                   ? QStringList{"maintenance", "backup", database(r), r + "/out", "--keep", "2"}
                   : QStringList{"compact", database(r), r + "/BACK/BACKNEW.MDB"};
    }

    void prepare(const QString &folder)
    {
        base = folder + "/base";
        work = folder + "/work";
        for (const char *sub : {"/BACK", "/Data", "/out", "/in", "/app"})
            QDir().mkpath(base + sub);
        // Free pages give the compaction work.
        BackendMaker::Options options{{{"ADMIN", "Secret"}}, 0, qint64(megabytes) << 20, 30, wal};
        BackendMaker::make(database(base), options);
        ::chmod(QFile::encodeName(database(base)).constData(), shared ? 0640 : 0600);
        original = checkedDatabase(database(base));
        originalBytes = readFile(database(base));
        if (operation == "backup")
            writeFile(base + "/out/BACK.TVB", OlderBackup);
        if (operation == "maintenance") {
            for (const QString &name : OlderBackups)
                CompressionEngine::compressFile(database(base), base + "/out/" + name);
            olderBackupBytes = readFile(base + "/out/" + OlderBackups[0]);
            writeFile(base + "/out/" + NamedLikeABackup, OlderBackup);
        }
        if (operation != "restore")
            return;
        options.users << BackendMaker::Account{"OTHER", "x"};
        options.freePercent = 0;
        BackendMaker::make(base + "/OTHER.MDB", options);
        other = checkedDatabase(base + "/OTHER.MDB");
        otherBytes = readFile(base + "/OTHER.MDB");
        CompressionEngine::compressFile(base + "/OTHER.MDB", base + "/in/OTHER.TVB");
        writeFile(Paths::safetyCopyPath(database(base), RestoreDate), OlderSafetyCopy);
    }

    // What the database at path holds. A file with no journal or log beside it, and the bytes
    // of the original, of the other database or of a file read before (the same compacted copy
    // comes out of many runs), holds what that one holds; any other is read.
    DbContent content(const QString &path) const
    {
        if (QFile::exists(path + "-wal") || QFile::exists(path + "-journal"))
            return checkedDatabase(path, shared && operation != "backup" && path == database(work));
        const QByteArray bytes = readFile(path);
        if (bytes == originalBytes)
            return original;
        if (!otherBytes.isEmpty() && bytes == otherBytes)
            return other;
        const QByteArray key = QCryptographicHash::hash(bytes, QCryptographicHash::Blake2b_256);
        if (const auto known = checked.constFind(key); known != checked.cend())
            return *known;
        const DbContent read = checkedDatabase(path);
        if (read.problem.isEmpty())
            checked.insert(key, read);
        return read;
    }

    // Why the work folder cannot be made afresh, if it cannot.
    QString freshWork()
    {
        backFs.reset();
        QDir(work).removeRecursively();
        if (across &&
            !(backFs = std::make_unique<SmallFileSystem>(work + "/BACK", qint64(megabytes + 8) << 20))->isValid())
            return backFs->why();
        QDir().mkpath(work);
        return QProcess::execute("cp", {"-a", base + "/.", work}) == 0 ? QString() : "cannot copy " + base;
    }

    QString hiddenLeft() const
    {
        QStringList left;
        for (const char *folder : {"/BACK", "/Data", "/out", "/app"})
            left << hiddenEntries(work + folder);
        return left.isEmpty() ? QString() : "temporary files left: " + left.join(", ");
    }

    // What a stopped run left: sets phase to the state found, returns what is wrong, if anything.
    QString stopped(QString &phase) const { return stopped(phase, content(database(work))); }
    QString stopped(QString &phase, const DbContent &now) const
    {
        const QString db = database(work);
        if (operation == "backup") {
            phase = readFile(backup()) == OlderBackup ? "old backup" : "new backup";
            if (now != original || phase == "old backup")
                return now == original ? QString() : "the database changed: " + now.text();
            // zstd itself must find the backup complete, and give back the database.
            const QString unpacked = work + "/unpacked.MDB";
            if (QProcess::execute("zstd", {"-d", "-q", "-f", backup(), "-o", unpacked}) != 0)
                return "the backup is incomplete";
            const DbContent unpackedContent = content(unpacked);
            if (!wal && readFile(unpacked) != originalBytes)
                return "the backup does not hold the database's bytes";
            QFile::remove(unpacked);
            return unpackedContent == original ? QString() : "the backup holds " + unpackedContent.text();
        }
        if (operation == "maintenance")
            return maintained(phase, now);
        if (operation == "restore") {
            // A shared target is written in place: its safety copy and the restored file hold what
            // the two databases hold, without being their very bytes.
            const bool safetyInPlace = readFile(safetyCopy()) != OlderSafetyCopy;
            const bool safetyIsTarget = safetyInPlace && content(safetyCopy()) == original;
            phase = now == other ? "restored" : safetyInPlace ? "safety copy in place" : "old target";
            if (readFile(work + "/in/OTHER.TVB") != readFile(base + "/in/OTHER.TVB"))
                return "the backup restored from changed";
            if (safetyInPlace && !safetyIsTarget)
                return "the safety copy is neither the older one nor the target as it was";
            if (now == other)
                return safetyIsTarget ? QString() : "the target was replaced before its safety copy";
            return now == original ? QString() : "the target is neither as it was nor restored: " + now.text();
        }
        const QByteArray bytes = readFile(db);
        phase = now.freePages == "0" ? "compacted" : "old database";
        if (!now.problem.isEmpty() || now.digest != original.digest)
            return "the database lost rows: " + now.text();
        if (now.freePages != "0" && bytes != originalBytes && !shared)
            return "the database is neither as it was nor compacted";
        // The header's file format versions tell the journal mode: 2 for write-ahead log.
        if (now.freePages == "0" && int(bytes.at(18)) != (wal ? 2 : 1))
            return "the compacted database lost its journal mode";
        if (!QFile::exists(compactTemp()))
            return {};
        phase += ", BACKNEW.MDB left";
        const DbContent copy = content(compactTemp());
        return copy.problem.isEmpty() && copy.digest == original.digest ? QString() : "BACKNEW.MDB is " + copy.text();
    }

    // What a stopped backup, check and prune left: the database and the older backups as they were,
    // a backup of the database under each new name, and an older one removed only once a new
    // one is in place, only as many as leave the newest two.
    QString maintained(QString &phase, const DbContent &now) const
    {
        if (now != original || readFile(work + "/out/" + NamedLikeABackup) != OlderBackup)
            return "the database or the file named like a backup changed: " + now.text();
        QStringList left = entries(work + "/out").filter(QRegularExpression("^BACK\\d{12}\\.TVB$")), made;
        left.removeOne(NamedLikeABackup);
        for (const QString &name : left) {
            const QString unpacked = work + "/unpacked.MDB";
            if (OlderBackups.contains(name) && readFile(work + "/out/" + name) == olderBackupBytes)
                continue;
            if (OlderBackups.contains(name) ||
                QProcess::execute("zstd", {"-d", "-q", "-f", work + "/out/" + name, "-o", unpacked}) != 0 ||
                readFile(unpacked) != originalBytes)
                return name + " is neither as it was nor a backup of the database";
            made << name;
        }
        const qsizetype removed = OlderBackups.size() + made.size() - left.size();
        phase = removed > 0 ? "pruned" : made.isEmpty() ? "old backups" : "new backup";
        return removed > 0 && (made.isEmpty() || left.size() < 2)
                   ? QStringLiteral("%1 older backups removed, %2 left").arg(removed).arg(left.size())
                   : QString();
    }

    // The work folder after a run that succeeded; targetBefore is the database just before it.
    QString finished(const DbContent &targetBefore) const
    {
        const QString db = database(work);
        const DbContent now = operation == "restore" ? DbContent{} : content(db);
        QString phase, problem = operation == "restore" ? QString() : stopped(phase, now);
        if (operation == "backup" && phase != "new backup")
            problem += " the backup was not written";
        if (operation == "maintenance" &&
            (phase != "pruned" || entries(work + "/out").filter(QRegularExpression("^BACK\\d{12}\\.TVB$")).size() != 3))
            problem += " not two backups left beside the file named like one";
        if (operation == "restore" && (content(db) != other || content(safetyCopy()) != targetBefore))
            problem += " the target is not the restored database, or the safety copy not the target as it was";
        if (operation == "compact" && (now.freePages != "0" || QFile::exists(compactTemp())))
            problem += " not compacted, or BACKNEW.MDB left: " + now.text();
        problem += hiddenLeft();
        // Nothing that SQLite would pair with the database or with the next compaction's copy.
        for (const QString &file : {db, compactTemp()})
            for (const char *suffix : {"-journal", "-wal", "-shm"})
                problem += QFile::exists(file + suffix) ? " left " + file + suffix : "";
        return problem;
    }

    // Checks what a stopped run left, then runs the operation again, which must succeed.
    QString recover(QString &phase) const
    {
        if (const QString problem = stopped(phase); !problem.isEmpty())
            return problem;
        const DbContent targetBefore = content(database(work));
        const Outcome again = runChild(args());
        const QString problem = again.exitCode == 0 ? finished(targetBefore) : "failed: " + again.errors;
        return problem.isEmpty() ? problem : "the next run " + problem;
    }
};

} // namespace

class TestCrash : public QObject {
    Q_OBJECT

public:
    // Many kills take long: the limit for one test function grows with their number.
    TestCrash()
    {
        if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
            qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(300000 + 30000 * kills));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(!QStandardPaths::findExecutable("zstd").isEmpty());
        qInfo("%d kills per case, databases of %d MiB, seed %u", kills, megabytes, seed);
    }

    void killedOperation_data() { cases(true); }
    void killedOperation() { interrupted(SIGKILL); }

    // Asked to end (SIGTERM) at every step and at moments all through the run, each operation
    // stops, or finishes, with everything as before and no temporary file left.
    void stoppedOperation_data() { cases(false); }
    void stoppedOperation() { interrupted(SIGTERM); }

    void powerCut_data() { cases(false, true); }

    void powerCut()
    {
        // Every file of the run lies on lossyfs, which forgets at a power cut what no sync made
        // durable (torn: keeps a random part of it). The cut comes at each sync point of the run
        // (TARVOS_POWERCUTS caps them, default 20, 0 for all), after the run, which must then have
        // lasted, and at TARVOS_POWERCUT_MOMENTS random moments (default 2).
        Case c;
        QFETCH(bool, torn);
        QCOMPARE(prepare(c, megabytes), QString());
        const QString mount = c.work + "-mnt", log = c.work + "-syncs.log";
        const QStringList mode = torn ? QStringList{"--torn", QString::number(seed)} : QStringList{};
        int syncs = 0;
        qint64 duration = 1;
        {
            LossyMount fs(c.work, mount, mode + QStringList{"--log", log});
            if (!fs.why().isEmpty())
                QSKIP(qPrintable(fs.why()));
            const Outcome full = runChild(c.args(mount));
            QVERIFY2(full.exitCode == 0, qPrintable(full.errors));
            syncs = int(
                QString::fromUtf8(readFile(log)).split('\n').filter(QRegularExpression(" fsync| fdatasync")).size());
            duration = qMax<qint64>(full.ms, 1);
        }
        QVERIFY(syncs > 0);
        const int capped = envNumber("TARVOS_POWERCUTS", 20, 0), cuts = capped == 0 ? syncs : qMin(syncs, capped);
        const int moments = envNumber("TARVOS_POWERCUT_MOMENTS", 2, 0);
        QRandomGenerator random(seed ^ qHash(QByteArray(QTest::currentDataTag())));
        QMap<QString, int> phases;
        for (int i = 0; i <= cuts + moments; ++i) {
            const bool afterRun = i == cuts, atMoment = i > cuts;
            const int at = afterRun ? syncs + 1 : 1 + int(qint64(i) * syncs / cuts);
            const qint64 delay = qint64(random.generateDouble() * double(duration));
            const QString when = atMoment
                                     ? QStringLiteral("power cut %1 ms into a run of %2 ms").arg(delay).arg(duration)
                                     : QStringLiteral("power cut at sync %1 of %2").arg(at).arg(syncs);
            QCOMPARE(c.freshWork(), QString());
            Outcome run;
            {
                LossyMount fs(c.work, mount,
                              atMoment ? mode : mode + QStringList{"--cut-at-sync", QString::number(at)});
                QVERIFY2(fs.why().isEmpty(), qPrintable(fs.why()));
                bool cutDone = false;
                // At a random moment the machine stops: the power goes, and the program with it.
                run = runChild(c.args(mount),
                               atMoment ? after(delay, [&] { cutDone = fs.cut(true); }) : std::function<bool()>());
                QVERIFY2(run.killed || run.exitCode == 0 || !atMoment, qPrintable(run.errors));
                QVERIFY2(cutDone || fs.cut(atMoment || fs.running()), qPrintable(when + ": " + fs.report()));
            }
            QString phase;
            const QString problem = c.recover(phase);
            QVERIFY2(problem.isEmpty(), qPrintable(when + " (" + phase + "): " + problem));
            QVERIFY2(
                !afterRun ||
                    (run.exitCode == 0 &&
                     QStringList({"new backup", "restored", "compacted", "pruned"}).contains(phase.section(',', 0, 0))),
                qPrintable("a finished run did not last through a power cut: " + phase));
            ++phases[phase];
        }
        qInfo(
            "%s: %d power cuts over %d sync points, one after the run and %d at random moments of a run of %lld ms: %s",
            QTest::currentDataTag(), cuts, syncs, moments, duration, qPrintable(tally(phases)));
    }

    void failedCall_data() { cases(false); }

    void failedCall()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("libfiu's preload crashes a program built with the address checker: the failed calls run in the "
              "ordinary build");
#endif
        // Each call of the operation to the file system fails in turn, with EIO or ENOSPC. The run
        // must end with one message that gives the number and names a file, every file as before,
        // nothing left behind; or, where the call did not matter, with the complete result. A failed
        // sync is never passed over. Without TARVOS_FAILED_CALLS, every open and 3 calls of each
        // other kind are tried, EIO and ENOSPC in turn; with it, that many of each kind (0: all),
        // each with both. Every open is a step of its own (another file, or the same one for another
        // check), where the reads and writes of one file repeat one step.
        Case c;
        QCOMPARE(prepare(c, 2), QString());
        const Outcome counted = runChild(c.args(), {}, "count");
        QVERIFY2(counted.exitCode == 0, qPrintable(counted.errors));
        QMap<QString, long> calls;
        for (const QByteArray &line : counted.output.split('\n'))
            if (const QList<QByteArray> words = line.split(' '); words.size() == 3 && words[0] == "calls")
                calls.insert(QString::fromLatin1(words[1]), words[2].toLong());
        QVERIFY2(calls.value("posix/io/sync/fsync") + calls.value("posix/io/sync/fdatasync") > 0,
                 "the operation made no sync: is libfiu's preload in place?");
        const bool shortForm = !qEnvironmentVariableIsSet("TARVOS_FAILED_CALLS");
        const int cap = envNumber("TARVOS_FAILED_CALLS", 3, 0);
        const QRegularExpression oneMessage("^\\d+: [^\\n]*" + QRegularExpression::escape(c.work));
        QMap<QString, int> ended;
        QStringList made;
        for (auto it = calls.begin(); it != calls.end(); ++it) {
            const QString kind = it.key().section('/', -1);
            const long n = it.value(), tried = cap == 0 || (shortForm && kind == "open") ? n : qMin<long>(n, cap);
            made << QStringLiteral("%1 %2").arg(n).arg(kind);
            for (long i = 0; i < tried; ++i) {
                const long index = tried == n ? i + 1 : 1 + i * (n - 1) / qMax<long>(tried - 1, 1);
                for (const int err : shortForm ? QList<int>{i % 2 ? ENOSPC : EIO} : QList<int>{EIO, ENOSPC}) {
                    const QString when = QString::asprintf("call %ld of %ld of %s failed with %s", index, n,
                                                           qPrintable(it.key()), err == EIO ? "EIO" : "ENOSPC");
                    QCOMPARE(c.freshWork(), QString());
                    const Outcome run =
                        runChild(c.args(), {}, QStringLiteral("%1 %2 %3").arg(it.key()).arg(index).arg(err));
                    const bool reached = run.output.contains("failed " + it.key().toLatin1());
                    QString problem, phase;
                    if (run.exitCode == 0) {
                        QVERIFY2(!reached || !it.key().contains("/sync/"),
                                 qPrintable(when + ": a failed sync was passed over"));
                        // A temporary file that could not be removed is left for the next run.
                        problem = kind == "unlink" ? c.recover(phase) : c.finished(c.original);
                        ++ended[reached ? kind + " passed over" : "not reached"];
                    } else {
                        QVERIFY2(reached && run.exitCode == 1, qPrintable(when + ": " + run.errors));
                        QVERIFY2(oneMessage.match(run.errors).hasMatch() && !run.errors.contains('\n'),
                                 qPrintable(when + ", not one message naming a file: " + run.errors));
                        problem = c.hiddenLeft().isEmpty() ? c.recover(phase) : c.hiddenLeft();
                        ++ended[kind + " refused"];
                    }
                    QVERIFY2(problem.isEmpty(), qPrintable(when + ": " + problem));
                }
            }
        }
        qInfo("%s: calls made: %s; ended: %s", QTest::currentDataTag(), qPrintable(made.join(", ")),
              qPrintable(tally(ended)));
    }

    void leftoverCompactedCopy_data()
    {
        // What lies at BACKNEW.MDB when the compaction starts: only a copy that holds exactly what
        // the database holds, with nothing unfinished beside it, may be removed.
        QTest::addColumn<QString>("leftover");
        QTest::addColumn<bool>("removed");
        QTest::newRow("copy of the same rows") << "copy" << true;
        QTest::newRow("copy in write-ahead-log mode") << "wal copy" << true;
        QTest::newRow("copy with its log and index beside it") << "wal files" << true;
        QTest::newRow("copy of an older state") << "older" << false;
        QTest::newRow("copy of an older state, an amount a cent apart") << "cent" << false;
        QTest::newRow("copy of an older state, another user version") << "user_version" << false;
        QTest::newRow("copy of an older state, another application id") << "application_id" << false;
        QTest::newRow("another database") << "other" << false;
        QTest::newRow("a file that is no database") << "text" << false;
        QTest::newRow("copy with a journal beside it") << "journal" << false;
        QTest::newRow("copy held open by a program") << "open" << false;
        QTest::newRow("the database itself") << "itself" << false;
        QTest::newRow("link to the database") << "symlink" << false;
        QTest::newRow("second name of the database") << "hard link" << false;
    }

    void leftoverCompactedCopy()
    {
        QFETCH(QString, leftover);
        QFETCH(bool, removed);
        TempFolder folder;
        QString source = folder.path("BACK.MDB"), temp = folder.path("BACKNEW.MDB");
        BackendMaker::make(source, {{{"ADMIN", "Secret"}}, 0, 512 << 10, 40});
        Child user;
        if (QStringList{"copy", "wal copy", "wal files", "older", "cent", "user_version", "application_id", "journal",
                        "open"}
                .contains(leftover))
            dbEngine().CompactDatabase(source, temp);
        if (leftover.startsWith("wal"))
            QCOMPARE(scalar(temp, "PRAGMA journal_mode = WAL"), QString("wal"));
        // As a compaction stopped while it switched the copy to that mode leaves them.
        for (const char *beside : {"-wal", "-shm"})
            leftover == "wal files" ? writeFile(temp + beside, "") : void();
        if (leftover == "older") // one letter changed: the same types and lengths
            QVERIFY(rawExec(rawOpen(source).get(), "UPDATE User SET UserPassword = 'Secreu' WHERE UserName = 'ADMIN'"));
        if (leftover == "cent") // REAL values: they count with all their digits
            QVERIFY(rawExec(rawOpen(source).get(), "UPDATE Invoice SET Total=Total+.01 WHERE Total LIKE '21%'"));
        if (leftover.endsWith("_id") || leftover.endsWith("_version")) // the header's numbers of the application
            QVERIFY(rawExec(rawOpen(source).get(), qPrintable("PRAGMA " + leftover + " = 7")));
        if (leftover == "journal")
            writeFile(temp + "-journal", "");
        if (leftover == "open")
            QVERIFY(user.start("idle", temp));
        if (leftover == "other")
            BackendMaker::make(temp, {{{"ADMIN", "Secret"}}});
        if (leftover == "text")
            writeFile(temp, "notes of the day\n");
        if (leftover == "itself") // the database under the copy's name
            QVERIFY(QFile::rename(std::exchange(source, temp), temp));
        if (leftover == "symlink")
            QVERIFY(QFile::link(source, temp));
        if (leftover == "hard link")
            QCOMPARE(::link(QFile::encodeName(source).constData(), QFile::encodeName(temp).constData()), 0);
        const QByteArray sourceBefore = readFile(source);
        const DbContent rows = checkedDatabase(source);
        const QStringList files = entries(folder.path());
        const QString error = errorMessage([&] { Operations::compact(source, temp); });
        if (leftover == "open")
            user.finish();
        if (removed) {
            QCOMPARE(error, QString());
            QCOMPARE(entries(folder.path()), QStringList{"BACK.MDB"});
            QCOMPARE(checkedDatabase(source).digest, rows.digest);
            QCOMPARE(checkedDatabase(source).freePages, QString("0"));
        } else {
            QVERIFY2(error.contains(quotedPath(temp) + " is in the way: it already exists"), qPrintable(error));
            QCOMPARE(entries(folder.path()), files);
            QVERIFY(readFile(source) == sourceBefore);
            QCOMPARE(QFileInfo(temp).isSymLink(), leftover == "symlink");
        }
    }

    void walCopySwitchedWithoutJournal()
    {
        // The copy of a database in write-ahead-log mode is switched to that mode before it is put
        // in place; a program stopped then must leave a copy the next compaction can remove: no
        // rollback journal is ever created beside it.
        TempFolder folder;
        BackendMaker::make(folder.path("BACK.MDB"), {{{"ADMIN", "Secret"}}, 0, 256 << 10, 0, true});
        QCOMPARE(::chmod(QFile::encodeName(folder.path("BACK.MDB")).constData(), 0600), 0); // put in place by a rename
        const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(fd >= 0);
        QVERIFY(::inotify_add_watch(fd, QFile::encodeName(folder.path()).constData(), IN_CREATE | IN_MOVED_TO) >= 0);
        Operations::compact(folder.path("BACK.MDB"), folder.path("BACKNEW.MDB"));
        QStringList created;
        alignas(inotify_event) char events[64 << 10];
        for (ssize_t size; (size = ::read(fd, events, sizeof events)) > 0;)
            for (char *at = events; at < events + size;
                 at += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(at)->len)
                created << QString::fromLocal8Bit(reinterpret_cast<inotify_event *>(at)->name);
        ::close(fd);
        QVERIFY2(created.contains("BACKNEW.MDB") && !created.contains("BACKNEW.MDB-journal"),
                 qPrintable(created.join(", ")));
    }

    void writtenWhileCompacting_data()
    {
        // Another program writes (or only reads) the database while the compacted copy is checked:
        // a write must never be undone by putting the older copy in place.
        QTest::addColumn<bool>("wal");
        QTest::addColumn<QString>("sql");
        QTest::addColumn<bool>("shared");
        for (bool shared : {false, true})
            for (bool wal : {false, true}) {
                const char *mode = wal ? "write-ahead log" : "rollback journal", *kind = shared ? "shared" : "private";
                QTest::addRow("%s, %s, a row changed", kind, mode)
                    << wal << "UPDATE User SET UserPassword = 'changed'" << shared;
                QTest::addRow("%s, %s, only read", kind, mode) << wal << "SELECT count(*) FROM User" << shared;
            }
    }

    void writtenWhileCompacting()
    {
        QFETCH(bool, wal);
        QFETCH(QString, sql);
        QFETCH(bool, shared);
        TempFolder folder;
        const QString source = folder.path("BACK.MDB");
        BackendMaker::make(source, {{{"ADMIN", "Secret"}}, 0, 512 << 10, 40, wal});
        QCOMPARE(::chmod(QFile::encodeName(source).constData(), shared ? 0640 : 0600), 0);
        const DbContent before = checkedDatabase(source);
        const auto compact = [&] {
            Operations::compact(source, folder.path("BACKNEW.MDB"), [&](const QString &src, const QString &dst) {
                dbEngine().CompactDatabase(src, dst);
                QVERIFY(rawExec(rawOpen(src).get(), sql.toUtf8().constData()));
            });
        };
        if (sql.startsWith("UPDATE")) {
            COMPARE_ERROR(compact, EBUSY, {"was changed by another program while it was being compacted"});
            QCOMPARE(scalar(source, "SELECT group_concat(UserPassword) FROM User"), QString("changed"));
        } else {
            QCOMPARE(errorMessage(compact), QString());
        }
        // Read once the write is checkpointed into the file: the rows as written, compacted only when unchanged.
        const DbContent after = checkedDatabase(source);
        QCOMPARE(after.freePages, sql.startsWith("UPDATE") ? before.freePages : QString("0"));
        QVERIFY(sql.startsWith("UPDATE") || after.digest == before.digest);
        QCOMPARE(entries(folder.path()), QStringList{"BACK.MDB"});
    }

private:
    // Runs the operation of the current row whole, then again and again with signal sent at each
    // step it reaches and at moments all through it, and checks what every run left.
    void interrupted(int signal)
    {
        Case c;
        if (const QString why = prepare(c, megabytes); !why.isEmpty())
            QSKIP(qPrintable("the back-end folder needs a file system of its own: " + why));
        const Outcome full = runChild(c.args());
        QVERIFY2(full.exitCode == 0, qPrintable(full.errors));
        QCOMPARE(c.finished(c.original), QString());
        qint64 duration = qMax<qint64>(full.ms, 1);

        // The steps that leave a file of their own, each with a test that it has been reached. The
        // database's name leads to another file once replaced (the first look notes the file).
        const QString db = c.database(c.work);
        auto shows = [](const QString &folder, const QString &part) {
            return [=] { return !hiddenEntries(folder).filter(part).isEmpty(); };
        };
        auto replaced = [db, inode = ino_t(0)]() mutable {
            struct stat st;
            if (::stat(QFile::encodeName(db).constData(), &st) != 0)
                return false;
            inode = inode ? inode : st.st_ino;
            return st.st_ino != inode;
        };
        QList<std::pair<QString, std::function<bool()>>> steps;
        if (c.operation == "backup")
            steps = {{"the backup begun", shows(c.work + "/out", ".tmp-")}};
        else if (c.operation == "maintenance")
            steps = {
                {"the backup begun", shows(c.work + "/out", ".tmp-")},
                {"the backup in place",
                 [o = c.work + "/out"] { return entries(o).filter(QRegularExpression("^[^.]")).size() > 4; }},
                {"an older backup removed", [f = c.work + "/out/" + OlderBackups[0]] { return !QFile::exists(f); }}};
        else if (c.operation == "restore")
            steps = {{"the restored file staged", shows(c.work + "/BACK", ".restore-")},
                     {"the safety copy begun", shows(c.work + "/BACK", ".safety-")},
                     {"the safety copy in place", [s = c.safetyCopy()] { return readFile(s) != OlderSafetyCopy; }},
                     {"the target replaced", replaced}};
        else
            steps = {{"the copy begun", shows(c.work + "/BACK", ".tmp-")},
                     {"the copy complete", [t = c.compactTemp()] { return QFile::exists(t); }},
                     {"the database replaced", replaced}};
        // In place, the file stays: what shows is SQLite's journal of the write, or its log growing.
        if (c.shared && c.operation != "backup")
            steps.back() = {"the target being written", [db, wal = c.wal] {
                                return wal ? QFileInfo(db + "-wal").size() > (64 << 10)
                                           : QFile::exists(db + "-journal");
                            }};

        // One kill at each step, then one in each of kills equal slices of the run; a run that ends
        // before its kill (runs vary with the load) is made up for by kills at random moments of the
        // shortest run seen.
        QRandomGenerator random(seed ^ qHash(QByteArray(QTest::currentDataTag())));
        QMap<QString, int> phases;
        const QString verb = signal == SIGKILL ? "killed" : "asked to end";
        qint64 slowestStop = -1;
        const int n = int(steps.size());
        int landed = 0;
        for (int i = 0; landed < kills + n && i < 4 * kills + n; ++i) {
            const double slice = i - n < kills ? i - n + random.generateDouble() : random.generateDouble() * kills;
            const qint64 delay = qint64(slice * double(duration) / kills);
            const QString when =
                i < n ? verb + " at " + steps[i].first
                      : QStringLiteral("%1 %2 ms into a run of %3 ms").arg(verb).arg(delay).arg(duration);
            QCOMPARE(c.freshWork(), QString());
            const Outcome run = runChild(c.args(), i < n ? steps[i].second : after(delay), {}, signal);
            const bool stopped = signal == SIGTERM && run.exitCode != 0;
            if (signal == SIGKILL)
                QVERIFY2(run.killed || run.exitCode == 0, qPrintable(when + ": " + run.errors));
            else
                QVERIFY2(run.exitCode == 0 || (run.exitCode == 1 && run.errors.contains("asked to end")),
                         qPrintable(when + ": " + run.errors));
            // A stopped run takes its temporary files with it.
            if (stopped)
                QVERIFY2(c.hiddenLeft().isEmpty(), qPrintable(when + ": " + c.hiddenLeft()));
            slowestStop = qMax(slowestStop, stopped ? run.stopMs : -1);
            landed += run.killed || i < n;
            duration = !run.killed && i >= n && run.ms > 0 ? qMin(duration, run.ms) : duration;
            QString phase;
            const QString problem = c.recover(phase);
            QVERIFY2(problem.isEmpty(), qPrintable(when + " (" + phase + "): " + problem));
            // A run that says it stopped changed nothing (a scheduled backup's check stops with
            // the backup kept).
            if (stopped && c.operation != "maintenance")
                QVERIFY2(phase == "old backup" || phase == "old target" || phase == "safety copy in place" ||
                             phase == "old database",
                         qPrintable(when + ": it said it stopped, and left " + phase));
            ++phases[signal == SIGKILL ? (run.killed ? phase : QStringLiteral("finished before the kill"))
                                       : (stopped ? phase : QStringLiteral("finished"))];
        }
        qInfo("%s: %d %s over a run of %lld ms: %s%s", QTest::currentDataTag(), landed,
              signal == SIGKILL ? "kills" : "stops", duration, qPrintable(tally(phases)),
              slowestStop < 0 ? "" : qPrintable(QStringLiteral("; the slowest stop took %1 ms").arg(slowestStop)));
        QVERIFY2(landed == kills + n, "too many runs ended before their kill");
    }

    void cases(bool across, bool torn = false)
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("wal");
        QTest::addColumn<bool>("torn");
        // A database only its owner may reach is replaced by a rename; a shared one (group members may
        // read it) is written in place through SQLite.
        QTest::addColumn<bool>("shared");
        for (const QString operation : {"backup", "restore", "compact"})
            for (const QString &shared : operation == "backup" ? QStringList{""} : QStringList{", private", ", shared"})
                for (const bool wal : {false, true})
                    for (const QString &tear :
                         torn ? QStringList{", unsynced writes lost", ", torn writes"} : QStringList{""})
                        QTest::addRow("%s, %s%s%s", qPrintable(operation), wal ? "write-ahead log" : "rollback journal",
                                      qPrintable(shared), qPrintable(tear))
                            << operation << wal << tear.endsWith("torn writes") << (shared != ", private");
        // The maintenance command's backup, check and prune, as its schedule runs it.
        for (const QString &tear : torn ? QStringList{", unsynced writes lost", ", torn writes"} : QStringList{""})
            QTest::addRow("maintenance backup, rollback journal%s", qPrintable(tear))
                << QString("maintenance") << false << tear.endsWith("torn writes") << false;
        if (across)
            QTest::addRow("compact, across file systems") << QString("compact") << false << false << false;
    }

    // Makes the case of the current row in a folder of its own; why it cannot run here, if so.
    QString prepare(Case &c, int mb)
    {
        QFETCH(QString, operation);
        QFETCH(bool, wal);
        QFETCH(bool, shared);
        c.operation = operation;
        c.wal = wal;
        c.across = QByteArray(QTest::currentDataTag()).contains("across");
        c.shared = shared;
        c.megabytes = mb;
        c.prepare(tmp.path(QString::fromLatin1(QTest::currentTestFunction()) + "/" + QTest::currentDataTag()));
        return c.original.problem.isEmpty() ? c.freshWork() : c.original.problem;
    }

    TempFolder tmp;
    int kills = envNumber("TARVOS_CRASH_KILLS", 3), megabytes = envNumber("TARVOS_CRASH_MB", 2);
    quint32 seed = quint32(envNumber("TARVOS_CRASH_SEED", 20260105));
};

OPSUPPORT_TEST_MAIN(TestCrash, QCoreApplication, faultsAround)

#include "tst_crash.moc"
