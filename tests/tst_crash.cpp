#include "backendmaker.h"
#include "operations/backup.h"
#include "operations/compaction.h"
#include "operations/restore.h"
#include "opsupport.h"
#include "platform/dao/dbengine.h"
#include "platform/errors.h"
#include "platform/zlibtool/compressionengine.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QUrl>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fiu-control.h>
#include <fiu.h>
#include <functional>
#include <iterator>
#include <sqlite3.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;

// Backup, restore and compaction run in a child process that is killed, loses its power
// (lossyfs) or sees one of its file system calls fail (libfiu). Afterwards every file must be as
// before or complete, and the same operation, run again in the same folders, must succeed.
// TARVOS_CRASH_KILLS (kills per case, default 3), TARVOS_CRASH_MB (database size, default 8) and
// TARVOS_CRASH_SEED (the spread of the moments) size the runs; tools/crash-runs.sh runs them long.
namespace {

int envNumber(const char *name, int fallback, int least = 1)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value >= least ? value : fallback;
}

// ---- The child: the operation, with libfiu failing one of its calls when asked ----

// The calls libfiu's POSIX preload and ours (fiupreload.cpp) can fail that the operations make.
constexpr const char *Points[] = {
    "posix/io/oc/open",      "posix/io/oc/close",       "posix/io/rw/read",      "posix/io/rw/pread",
    "posix/io/rw/readv",     "posix/io/rw/preadv",      "posix/io/rw/write",     "posix/io/rw/pwrite",
    "posix/io/rw/writev",    "posix/io/rw/pwritev",     "posix/io/rw/ftruncate", "posix/io/rw/truncate",
    "posix/io/sync/fsync",   "posix/io/sync/fdatasync", "posix/io/dir/rename",   "posix/io/dir/unlink",
    "posix/io/dir/opendir",  "posix/io/dir/fdopendir",  "posix/io/dir/readdir",  "linux/io/sync_file_range",
    "linux/io/copy_file_range", "linux/io/renameat2",   "posix/io/dir/link",     "posix/io/flock"};
constexpr int PointCount = int(std::size(Points));

// TARVOS_FAIL_CALL is "count" (count the calls of each point) or "POINT INDEX ERRNO".
struct {
    std::atomic<bool> armed{false}, failed{false};
    std::atomic<long> calls[PointCount] = {};
    int point = -1, err = 0;
    long index = 0;
} faults;

// libfiu asks this before every call of an enabled point, on any thread.
int onCall(const char *name, int *, void **failinfo, unsigned int *)
{
    if (!faults.armed.load(std::memory_order_relaxed))
        return 0;
    for (int i = 0; i < PointCount; ++i) {
        if (std::strcmp(name, Points[i]) != 0)
            continue;
        if (++faults.calls[i] != faults.index || i != faults.point)
            return 0;
        *failinfo = reinterpret_cast<void *>(std::intptr_t(faults.err));
        faults.failed = true;
        return 1;
    }
    return 0;
}

// The child prints "go", runs the operation, then "failed POINT" if the asked call failed,
// "calls POINT N" per point called and "done MS"; an error goes to stderr with exit code 1.
int runOperationIfAsked(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--operation") != 0)
        return -1;
    QStringList a;
    for (int i = 2; i < argc; ++i)
        a << QString::fromLocal8Bit(argv[i]);
    const QStringList asked = qEnvironmentVariable("TARVOS_FAIL_CALL").split(' ', Qt::SkipEmptyParts);
    if (!asked.isEmpty()) {
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
    }
    std::puts("go");
    std::fflush(stdout);
    QElapsedTimer clock;
    clock.start();
    faults.armed = !asked.isEmpty();
    auto report = [] {
        faults.armed = false;
        if (faults.failed)
            std::printf("failed %s\n", Points[faults.point]);
        for (int i = 0; i < PointCount; ++i) {
            if (faults.calls[i] > 0)
                std::printf("calls %s %ld\n", Points[i], faults.calls[i].load());
        }
    };
    try {
        if (a.value(0) == "backup" && a.size() == 3)
            Operations::backUp(a[1], a[2]);
        else if (a.value(0) == "restore" && a.size() == 4)
            Operations::restore(a[1], a[2], a[3]);
        else if (a.value(0) == "compact" && a.size() == 3)
            Operations::compact(a[1], a[2]);
        else
            return 2;
    } catch (const Error &e) {
        report();
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", e.message().toLocal8Bit().constData());
        return 1;
    }
    report();
    std::printf("done %lld\n", static_cast<long long>(clock.elapsed()));
    return 0;
}

struct Outcome {
    bool killed = false;
    int exitCode = -1;
    qint64 ms = -1; // the child's own time for the operation, when it finished
    QString errors;
    QByteArray output;
};

// Runs the operation in a child of this program, killing it (SIGKILL) as soon as killWhen()
// says so; it is asked every millisecond or so from the child's "go" on.
Outcome runChild(const QStringList &operation, const std::function<bool()> &killWhen = {},
                 const QString &failCall = {})
{
    QProcess child;
    if (!failCall.isEmpty())
        child.setEnvironment(QProcess::systemEnvironment() << "LD_PRELOAD=" FIU_PRELOADS
                                                           << "TARVOS_FAIL_CALL=" + failCall);
    child.start(QCoreApplication::applicationFilePath(), QStringList{"--operation"} + operation);
    Outcome o;
    QByteArray out;
    while (!out.contains("go\n") && child.waitForReadyRead(60000))
        out += child.readAllStandardOutput();
    if (!out.contains("go\n")) {
        child.waitForFinished(60000);
        o.errors = "the child did not begin: " + child.errorString() + child.readAllStandardError();
        return o;
    }
    while (killWhen && child.state() != QProcess::NotRunning && !o.killed) {
        if ((o.killed = killWhen()))
            child.kill();
        else
            child.waitForFinished(1);
    }
    child.waitForFinished(120000);
    o.output = out + child.readAllStandardOutput();
    o.errors = QString::fromLocal8Bit(child.readAllStandardError()).trimmed();
    if (!o.killed) {
        o.exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
        if (const qsizetype done = o.output.indexOf("done "); done >= 0)
            o.ms = o.output.mid(done + 5).trimmed().toLongLong();
    }
    return o;
}

// A killWhen that answers true once ms have passed since its first question.
std::function<bool()> after(qint64 ms, const std::function<void()> &then = {})
{
    return [ms, then, clock = QElapsedTimer()]() mutable {
        if (!clock.isValid())
            clock.start();
        if (clock.elapsed() < ms)
            return false;
        if (then)
            then();
        return true;
    };
}

// ---- What the files hold ----

// A database as SQLite reads it: integrity_check's verdict, a digest of the schema and of every
// value of every row in storage order, and its free pages.
struct DbContent {
    QString problem; // empty when it opened and passed integrity_check
    QByteArray digest;
    qint64 freePages = -1;
    bool operator==(const DbContent &) const = default;
    QString text() const
    {
        return problem.isEmpty() ? QStringLiteral("rows %1, %2 free pages").arg(digest.toHex().left(16)).arg(freePages)
                                 : problem;
    }
};

// Reads path normally (a journal or log beside it counts) or, asStored, the main file alone.
DbContent readDatabase(const QString &path, bool asStored)
{
    DbContent content;
    sqlite3 *raw = nullptr;
    const QByteArray name = asStored ? QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded).toUtf8() + "?immutable=1"
                                     : QFile::encodeName(path);
    const int rc = sqlite3_open_v2(name.constData(), &raw, asStored ? SQLITE_OPEN_READONLY | SQLITE_OPEN_URI : SQLITE_OPEN_READWRITE,
                                   nullptr);
    OpSupport::RawDb db(raw);
    if (rc != SQLITE_OK)
        return {QStringLiteral("cannot open: ") + sqlite3_errmsg(raw), {}, -1};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    auto each = [&](const QByteArray &sql, const std::function<void(sqlite3_stmt *)> &row) {
        sqlite3_stmt *stmt = nullptr;
        int step = sqlite3_prepare_v2(db.get(), sql.constData(), -1, &stmt, nullptr);
        while (step == SQLITE_OK || step == SQLITE_ROW) {
            if ((step = sqlite3_step(stmt)) == SQLITE_ROW)
                row(stmt);
        }
        if (step != SQLITE_DONE && content.problem.isEmpty())
            content.problem = QString::fromUtf8(sql + ": " + sqlite3_errmsg(db.get()));
        sqlite3_finalize(stmt);
    };
    auto hashRow = [&](sqlite3_stmt *s) {
        for (int i = 0; i < sqlite3_column_count(s); ++i) {
            const int type = sqlite3_column_type(s, i);
            qint64 head[2] = {type, sqlite3_column_int64(s, i)};
            if (type == SQLITE_FLOAT) {
                const double value = sqlite3_column_double(s, i);
                std::memcpy(&head[1], &value, sizeof value);
            }
            const bool bytes = type == SQLITE_TEXT || type == SQLITE_BLOB;
            const char *data = bytes ? static_cast<const char *>(sqlite3_column_blob(s, i)) : nullptr;
            head[1] = bytes ? sqlite3_column_bytes(s, i) : head[1];
            hash.addData(QByteArrayView(reinterpret_cast<const char *>(head), sizeof head));
            hash.addData(QByteArrayView(data, bytes ? head[1] : 0));
        }
    };
    QStringList integrity, tables;
    each("PRAGMA integrity_check", [&](sqlite3_stmt *s) { integrity << QString::fromUtf8(sqlite3_column_text(s, 0)); });
    if (content.problem.isEmpty() && integrity != QStringList{"ok"})
        content.problem = "integrity_check: " + integrity.join("; ");
    if (!content.problem.isEmpty())
        return content;
    each("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name", [&](sqlite3_stmt *s) {
        hashRow(s);
        if (QByteArray(reinterpret_cast<const char *>(sqlite3_column_text(s, 0))) == "table")
            tables << QString::fromUtf8(sqlite3_column_text(s, 1));
    });
    for (const QString &table : tables)
        each("SELECT * FROM \"" + table.toUtf8() + '"', hashRow);
    each("PRAGMA freelist_count", [&](sqlite3_stmt *s) { content.freePages = sqlite3_column_int64(s, 0); });
    content.digest = hash.result();
    return content;
}

// What the database at path holds: it must read the same with or without the files beside it.
DbContent checkedDatabase(const QString &path)
{
    const DbContent stored = readDatabase(path, true), read = readDatabase(path, false);
    if (stored.problem.isEmpty() && read.problem.isEmpty() && stored.digest != read.digest)
        return {QStringLiteral("what the file holds differs from what SQLite reads with the files beside it"), {}, -1};
    return read.problem.isEmpty() ? stored : read;
}

// The content of a backup file as zstd reads it, or a null array when zstd refuses it.
QByteArray unzstd(const QString &path)
{
    QProcess zstd;
    zstd.start("zstd", {"-d", "-c", "-q", path});
    if (!zstd.waitForFinished(120000) || zstd.exitStatus() != QProcess::NormalExit || zstd.exitCode() != 0)
        return QByteArray();
    const QByteArray out = zstd.readAllStandardOutput();
    return out.isNull() ? QByteArray("") : out;
}

QStringList hiddenEntries(const QString &folder)
{
    return OpSupport::entries(folder).filter(QRegularExpression("^\\."));
}

void copyTree(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    for (const QFileInfo &info : QDir(from).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (info.isDir())
            copyTree(info.filePath(), to + '/' + info.fileName());
        else if (!QFile::copy(info.filePath(), to + '/' + info.fileName()))
            qFatal("cannot copy %s", qPrintable(info.filePath()));
    }
}

QString tally(const QMap<QString, int> &counts)
{
    QStringList parts;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        parts << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
    return parts.join(", ");
}

// ---- One case: an operation on a database in one journal mode, in folders made once (base)
// and copied afresh (work) for every run ----

const QByteArray OlderBackup = "an older backup", OlderSafetyCopy = "an older safety copy";
const char *const Folders[] = {"/BACK", "/Data", "/out", "/app"};

struct Case {
    QString operation;
    bool wal = false;
    bool across = false; // compaction of a database outside the back end's file system
    QString base, work;
    DbContent original, other; // the database, and the one inside the restore's backup
    QByteArray originalBytes, otherBytes;
    std::unique_ptr<SmallFileSystem> backFs;

    QString database(const QString &root) const { return root + (across ? "/Data/Sales.mdb" : "/BACK/BACK.MDB"); }
    QString backup() const { return work + "/out/BACK.TVB"; }
    QString safetyCopy() const { return work + "/app/BACK26.BAK"; }
    QString compactTemp() const { return work + "/BACK/BACKNEW.MDB"; }
    QStringList args(const QString &root = {}) const
    {
        const QString r = root.isEmpty() ? work : root;
        if (operation == "backup")
            return {"backup", database(r), r + "/out/BACK.TVB"};
        if (operation == "restore")
            return {"restore", r + "/in/OTHER.TVB", database(r), r + "/app/BACK26.BAK"};
        return {"compact", database(r), r + "/BACK/BACKNEW.MDB"};
    }

    void prepare(const QString &folder, int megabytes)
    {
        base = folder + "/base";
        work = folder + "/work";
        for (const char *sub : {"/BACK", "/Data", "/out", "/in", "/app"})
            QDir().mkpath(base + sub);
        BackendMaker::Options options;
        options.users = {{"ADMIN", "Secret"}};
        options.sizeBytes = qint64(megabytes) << 20;
        options.freePercent = 30; // work for the compaction
        options.wal = wal;
        BackendMaker::make(database(base), options);
        original = checkedDatabase(database(base));
        originalBytes = readFile(database(base));
        if (operation == "backup")
            writeFile(base + "/out/BACK.TVB", OlderBackup);
        if (operation != "restore")
            return;
        options.users << BackendMaker::Account{"OTHER", "x"};
        options.freePercent = 0;
        BackendMaker::make(base + "/OTHER.MDB", options);
        other = checkedDatabase(base + "/OTHER.MDB");
        otherBytes = readFile(base + "/OTHER.MDB");
        CompressionEngine::compressFile(base + "/OTHER.MDB", base + "/in/OTHER.TVB");
        writeFile(base + "/app/BACK26.BAK", OlderSafetyCopy);
    }

    QString freshWork(int megabytes)
    {
        backFs.reset();
        QDir(work).removeRecursively();
        if (across) {
            backFs = std::make_unique<SmallFileSystem>(work + "/BACK", (qint64(megabytes) + 8) << 20);
            if (!backFs->isValid())
                return backFs->why();
        }
        copyTree(base, work);
        return {};
    }

    QString hiddenLeft() const
    {
        QStringList left;
        for (const char *folder : Folders)
            left << hiddenEntries(work + folder);
        return left.isEmpty() ? QString() : "temporary files left: " + left.join(", ");
    }

    // What a stopped run left: sets phase to the state found, returns what is wrong, if anything.
    QString stopped(QString &phase) const
    {
        const QString db = database(work);
        const DbContent now = checkedDatabase(db);
        if (operation == "backup") {
            if (now != original)
                return "the database changed: " + now.text();
            phase = readFile(backup()) == OlderBackup ? "old backup" : "new backup";
            if (phase == "old backup")
                return {};
            const QByteArray content = unzstd(backup());
            if (content.isNull())
                return "the backup is incomplete";
            writeFile(work + "/unpacked.MDB", content);
            const DbContent unpacked = checkedDatabase(work + "/unpacked.MDB");
            QFile::remove(work + "/unpacked.MDB");
            if (!wal && content != originalBytes)
                return "the backup does not hold the database's bytes";
            return unpacked == original ? QString() : "the backup holds " + unpacked.text();
        }
        if (operation == "restore") {
            const QByteArray safety = readFile(safetyCopy());
            if (readFile(work + "/in/OTHER.TVB") != readFile(base + "/in/OTHER.TVB"))
                return "the backup restored from changed";
            if (safety != OlderSafetyCopy && safety != originalBytes)
                return "the safety copy is neither the older one nor the target as it was";
            phase = now == other ? "restored" : safety == originalBytes ? "safety copy in place" : "old target";
            if (now == other)
                return safety == originalBytes ? QString() : "the target was replaced before its safety copy";
            return now == original ? QString() : "the target is neither as it was nor restored: " + now.text();
        }
        if (!now.problem.isEmpty() || now.digest != original.digest)
            return "the database lost rows: " + now.text();
        const QByteArray bytes = readFile(db);
        phase = now.freePages == 0 ? "compacted" : "old database";
        if (now.freePages != 0 && bytes != originalBytes)
            return "the database is neither as it was nor compacted";
        // The header's file format versions say the journal mode: 2 for write-ahead log.
        if (now.freePages == 0 && int(bytes.at(18)) != (wal ? 2 : 1))
            return "the compacted database lost its journal mode";
        if (QFile::exists(compactTemp())) {
            phase += ", BACKNEW.MDB left";
            const DbContent copy = checkedDatabase(compactTemp());
            if (!copy.problem.isEmpty() || copy.digest != original.digest)
                return "BACKNEW.MDB is not a sound copy: " + copy.text();
        }
        return {};
    }

    // The work folder after a run that succeeded; targetBefore is the database just before it.
    QString finished(const QByteArray &targetBefore) const
    {
        const QString db = database(work);
        const DbContent now = checkedDatabase(db);
        QString phase, problem;
        if (operation == "backup" && (problem = stopped(phase)).isEmpty() && phase != "new backup")
            problem = "the backup was not written";
        if (operation == "restore" && (readFile(db) != otherBytes || now != other))
            problem = "the target is not the restored database: " + now.text();
        if (operation == "restore" && readFile(safetyCopy()) != targetBefore)
            problem = "the safety copy is not the target as it was";
        if (operation == "compact" && (now.digest != original.digest || now.freePages != 0))
            problem = "the database is not compacted with its rows: " + now.text();
        if (operation == "compact" && QFile::exists(compactTemp()))
            problem = "BACKNEW.MDB is left";
        if (problem.isEmpty())
            problem = hiddenLeft();
        // Nothing that SQLite would pair with the database or with the next compaction's copy.
        for (const QString &file : {db, compactTemp()}) {
            for (const char *suffix : {"-journal", "-wal", "-shm"})
                problem += QFile::exists(file + suffix) ? " left " + file + suffix : "";
        }
        return problem;
    }

    // Checks what a stopped run left, then runs the operation again, which must succeed.
    QString recover(QString &phase) const
    {
        if (const QString problem = stopped(phase); !problem.isEmpty())
            return problem;
        const QByteArray targetBefore = readFile(database(work));
        const Outcome again = runChild(args());
        if (again.exitCode != 0)
            return "the next run failed: " + again.errors;
        const QString problem = finished(targetBefore);
        return problem.isEmpty() ? problem : "after the next run: " + problem;
    }
};

} // namespace

class TestCrash : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void killedOperation_data() { cases(true); }
    void killedOperation();
    void powerCut_data();
    void powerCut();
    void failedCall_data() { cases(false); }
    void failedCall();
    void leftoverCompactedCopy_data();
    void leftoverCompactedCopy();
    void walCopySwitchedWithoutJournal();
    void writtenWhileCompacting_data();
    void writtenWhileCompacting();

private:
    void cases(bool across);
    // Makes the case of the current row, in its own folder; sets skip when it cannot run here.
    void prepare(Case &c, int mb, QString *skip = nullptr);

    TempFolder tmp;
    int kills = 3;
    int megabytes = 8;
    quint32 seed = 20260105;
};

void TestCrash::initTestCase()
{
    QVERIFY(!QStandardPaths::findExecutable("zstd").isEmpty());
    kills = envNumber("TARVOS_CRASH_KILLS", kills);
    megabytes = envNumber("TARVOS_CRASH_MB", megabytes);
    seed = quint32(envNumber("TARVOS_CRASH_SEED", int(seed)));
    qInfo("%d kills per case, databases of %d MiB, seed %u", kills, megabytes, seed);
}

void TestCrash::cases(bool across)
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("wal");
    QTest::addColumn<bool>("across");
    for (const char *operation : {"backup", "restore", "compact"}) {
        QTest::addRow("%s, rollback journal", operation) << QString(operation) << false << false;
        QTest::addRow("%s, write-ahead log", operation) << QString(operation) << true << false;
    }
    if (across)
        QTest::addRow("compact, across file systems") << QString("compact") << false << true;
}

void TestCrash::prepare(Case &c, int mb, QString *skip)
{
    QFETCH(QString, operation);
    QFETCH(bool, wal);
    c.operation = operation;
    c.wal = wal;
    c.across = QByteArray(QTest::currentDataTag()).contains("across");
    c.prepare(tmp.path(QString::fromLatin1(QTest::currentTestFunction()) + "/" + QTest::currentDataTag()), mb);
    QCOMPARE(c.original.problem, QString());
    const QString why = c.freshWork(mb);
    if (skip)
        *skip = why;
    else
        QVERIFY2(why.isEmpty(), qPrintable(why));
}

void TestCrash::killedOperation()
{
    Case c;
    QString skip;
    prepare(c, megabytes, &skip);
    if (!skip.isEmpty())
        QSKIP(qPrintable("the back-end folder needs a file system of its own: " + skip));
    const Outcome full = runChild(c.args());
    QVERIFY2(full.exitCode == 0, qPrintable(full.errors));
    QCOMPARE(c.finished(c.originalBytes), QString());
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
    else if (c.operation == "restore")
        steps = {{"the restored file staged", shows(c.work + "/BACK", ".restore-")},
                 {"the safety copy begun", shows(c.work + "/app", ".safety-")},
                 {"the safety copy in place", [s = c.safetyCopy()] { return readFile(s) != OlderSafetyCopy; }},
                 {"the target replaced", replaced}};
    else
        steps = {{"the copy begun", shows(c.work + "/BACK", ".tmp-")},
                 {"the copy complete", [t = c.compactTemp()] { return QFile::exists(t); }},
                 {"the database replaced", replaced}};

    // One kill in each of kills equal slices of the run; a run that ends before its kill (runs
    // vary with the load) is made up for by kills at random moments of the shortest run seen.
    QRandomGenerator random(seed ^ qHash(QByteArray(QTest::currentDataTag())));
    QMap<QString, int> phases;
    int landed = 0;
    for (int i = 0; landed < kills + steps.size() && i < 4 * kills + steps.size(); ++i) {
        const bool atStep = i < steps.size();
        const double slice = i - steps.size() < kills ? i - steps.size() + random.generateDouble()
                                                      : random.generateDouble() * kills;
        const qint64 delay = qint64(slice * double(duration) / kills);
        const QString when = atStep ? "killed at " + steps[i].first
                                    : QStringLiteral("killed %1 ms into a run of %2 ms").arg(delay).arg(duration);
        QCOMPARE(c.freshWork(megabytes), QString());
        const Outcome run = runChild(c.args(), atStep ? steps[i].second : after(delay));
        QVERIFY2(run.killed || run.exitCode == 0, qPrintable(when + ": " + run.errors));
        landed += run.killed || atStep;
        if (!run.killed && !atStep && run.ms > 0)
            duration = qMin(duration, run.ms);
        QString phase;
        const QString problem = c.recover(phase);
        QVERIFY2(problem.isEmpty(), qPrintable(when + " (" + phase + "): " + problem));
        ++phases[run.killed ? phase : QStringLiteral("finished before the kill")];
    }
    qInfo("%s: %d kills over a run of %lld ms: %s", QTest::currentDataTag(), landed, duration, qPrintable(tally(phases)));
    QVERIFY2(landed == kills + steps.size(), "too many runs ended before their kill");
}

void TestCrash::powerCut_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("wal");
    QTest::addColumn<bool>("torn");
    for (const char *operation : {"backup", "restore", "compact"}) {
        for (bool wal : {false, true}) {
            for (bool torn : {false, true})
                QTest::addRow("%s, %s, %s", operation, wal ? "write-ahead log" : "rollback journal",
                              torn ? "torn writes" : "unsynced writes lost")
                    << QString(operation) << wal << torn;
        }
    }
}

void TestCrash::powerCut()
{
    // Every file of the run lies on lossyfs, which forgets at a power cut what no sync made
    // durable (torn: keeps a random part of it). The cut comes at each sync point of the run
    // (TARVOS_POWERCUTS caps them, default 20, 0 for all), after the run, which must then have
    // lasted, and at TARVOS_POWERCUT_MOMENTS random moments (default 2).
    Case c;
    QFETCH(bool, torn);
    prepare(c, megabytes);
    const QString mount = c.work + "-mnt", log = c.work + "-syncs.log";
    const QStringList mode = torn ? QStringList{"--torn", QString::number(seed)} : QStringList{};
    int syncs = 0;
    qint64 duration = 1;
    {
        OpSupport::LossyMount fs(c.work, mount, mode + QStringList{"--log", log});
        if (!fs.why().isEmpty())
            QSKIP(qPrintable(fs.why()));
        const Outcome full = runChild(c.args(mount));
        QVERIFY2(full.exitCode == 0, qPrintable(full.errors));
        syncs = int(QString::fromUtf8(readFile(log)).split('\n').filter(QRegularExpression(" fsync| fdatasync")).size());
        duration = qMax<qint64>(full.ms, 1);
    }
    QVERIFY(syncs > 0);
    const int capped = envNumber("TARVOS_POWERCUTS", 20, 0);
    const int cuts = capped == 0 ? syncs : qMin(syncs, capped);
    const int moments = envNumber("TARVOS_POWERCUT_MOMENTS", 2, 0);
    QRandomGenerator random(seed ^ qHash(QByteArray(QTest::currentDataTag())));
    QMap<QString, int> phases;
    for (int i = 0; i <= cuts + moments; ++i) {
        const bool afterRun = i == cuts, atMoment = i > cuts;
        const int at = afterRun ? syncs + 1 : 1 + int(qint64(i) * syncs / cuts);
        const qint64 delay = qint64(random.generateDouble() * double(duration));
        const QString when = atMoment ? QStringLiteral("power cut %1 ms into a run of %2 ms").arg(delay).arg(duration)
                                      : QStringLiteral("power cut at sync %1 of %2").arg(at).arg(syncs);
        QCOMPARE(c.freshWork(megabytes), QString());
        Outcome run;
        {
            OpSupport::LossyMount fs(c.work, mount, atMoment ? mode : mode + QStringList{"--cut-at-sync", QString::number(at)});
            QVERIFY2(fs.why().isEmpty(), qPrintable(fs.why()));
            bool cutDone = false;
            // At a random moment the machine stops: the power goes, and the program with it.
            run = runChild(c.args(mount), atMoment ? after(delay, [&] { cutDone = fs.cut(true); }) : std::function<bool()>());
            QVERIFY2(run.killed || run.exitCode == 0 || !atMoment, qPrintable(run.errors));
            QVERIFY2(cutDone || fs.cut(!atMoment ? fs.running() : true), qPrintable(when + ": " + fs.report()));
        }
        QString phase;
        const QString problem = c.recover(phase);
        QVERIFY2(problem.isEmpty(), qPrintable(when + " (" + phase + "): " + problem));
        if (afterRun) {
            QCOMPARE(run.exitCode, 0);
            QVERIFY2(QStringList({"new backup", "restored", "compacted"}).contains(phase.section(',', 0, 0)),
                     qPrintable("a finished run did not last through a power cut: " + phase));
        }
        ++phases[phase];
    }
    qInfo("%s: %d power cuts over %d sync points, one after the run and %d at random moments of a run of %lld ms: %s",
          QTest::currentDataTag(), cuts, syncs, moments, duration, qPrintable(tally(phases)));
}

void TestCrash::failedCall()
{
    // Each call of the operation to the file system fails in turn, with EIO or ENOSPC. The run
    // must end with one message that gives the number and names a file, every file as before,
    // nothing left behind; or, where the call did not matter, with the complete result. A failed
    // sync is never passed over. Without TARVOS_FAILED_CALLS, 3 calls of each kind are tried,
    // EIO and ENOSPC in turn; with it, that many (0: all), each with both.
    Case c;
    prepare(c, 2);
    const Outcome counted = runChild(c.args(), {}, "count");
    QVERIFY2(counted.exitCode == 0, qPrintable(counted.errors));
    QMap<QString, long> calls;
    for (const QByteArray &line : counted.output.split('\n')) {
        if (const QList<QByteArray> words = line.split(' '); words.size() == 3 && words[0] == "calls")
            calls.insert(QString::fromLatin1(words[1]), words[2].toLong());
    }
    QVERIFY2(calls.value("posix/io/sync/fsync") + calls.value("posix/io/sync/fdatasync") > 0,
             "the operation made no sync: is libfiu's preload in place?");
    const bool shortForm = !qEnvironmentVariableIsSet("TARVOS_FAILED_CALLS");
    const int cap = envNumber("TARVOS_FAILED_CALLS", 3, 0);
    const QRegularExpression oneMessage("^\\d+: [^\\n]*" + QRegularExpression::escape(c.work));
    QMap<QString, int> ended;
    for (auto it = calls.begin(); it != calls.end(); ++it) {
        const long n = it.value(), tried = cap == 0 ? n : qMin<long>(n, cap);
        const QString kind = it.key().section('/', -1);
        for (long i = 0; i < tried; ++i) {
            const long index = tried == n ? i + 1 : 1 + i * (n - 1) / qMax<long>(tried - 1, 1);
            for (const int err : shortForm ? QList<int>{i % 2 ? ENOSPC : EIO} : QList<int>{EIO, ENOSPC}) {
                const QString when = QStringLiteral("call %1 of %2 of %3 failed with %4")
                                         .arg(index).arg(n).arg(it.key(), err == EIO ? "EIO" : "ENOSPC");
                QCOMPARE(c.freshWork(2), QString());
                const Outcome run = runChild(c.args(), {}, QStringLiteral("%1 %2 %3").arg(it.key()).arg(index).arg(err));
                const bool reached = run.output.contains("failed " + it.key().toLatin1());
                QString problem, phase;
                if (run.exitCode == 0) {
                    if (reached && it.key().contains("/sync/"))
                        QFAIL(qPrintable(when + ": a failed sync was passed over"));
                    // A temporary file that could not be removed is left for the next run.
                    problem = kind == "unlink" ? c.recover(phase) : c.finished(c.originalBytes);
                    ++ended[reached ? kind + " passed over" : "not reached"];
                } else {
                    QVERIFY2(reached && run.exitCode == 1, qPrintable(when + ": " + run.errors));
                    QVERIFY2(oneMessage.match(run.errors).hasMatch() && !run.errors.contains('\n'),
                             qPrintable(when + ", not one message naming a file: " + run.errors));
                    problem = c.hiddenLeft();
                    problem = problem.isEmpty() ? c.recover(phase) : problem;
                    ++ended[kind + " refused"];
                }
                QVERIFY2(problem.isEmpty(), qPrintable(when + ": " + problem));
            }
        }
    }
    QStringList made;
    for (auto it = calls.begin(); it != calls.end(); ++it)
        made << QStringLiteral("%1 %2").arg(it.value()).arg(it.key().section('/', -1));
    qInfo("%s: calls made: %s; ended: %s", QTest::currentDataTag(), qPrintable(made.join(", ")), qPrintable(tally(ended)));
}

void TestCrash::leftoverCompactedCopy_data()
{
    // What lies at BACKNEW.MDB when the compaction starts: only a copy that holds exactly what
    // the database holds, with nothing unfinished beside it, may be removed.
    QTest::addColumn<QString>("leftover");
    QTest::addColumn<bool>("removed");
    QTest::newRow("copy of the same rows") << "copy" << true;
    QTest::newRow("copy in write-ahead-log mode") << "wal copy" << true;
    QTest::newRow("copy with its log and index beside it") << "wal files" << true;
    QTest::newRow("copy of an older state") << "older" << false;
    QTest::newRow("another database") << "other" << false;
    QTest::newRow("copy with a journal beside it") << "journal" << false;
    QTest::newRow("copy held open by a program") << "open" << false;
    QTest::newRow("the database itself") << "itself" << false;
    QTest::newRow("link to the database") << "symlink" << false;
    QTest::newRow("second name of the database") << "hard link" << false;
}

void TestCrash::leftoverCompactedCopy()
{
    QFETCH(QString, leftover);
    QFETCH(bool, removed);
    TempFolder folder;
    const QString temp = folder.path("BACKNEW.MDB");
    QString source = folder.path("BACK.MDB");
    BackendMaker::make(source, {{{"ADMIN", "Secret"}}, 0, 512 << 10, 40});
    OpSupport::Child user;
    if (QStringList{"copy", "wal copy", "wal files", "older", "journal", "open"}.contains(leftover)) {
        dbEngine().CompactDatabase(source, temp);
        if (leftover.startsWith("wal"))
            QCOMPARE(OpSupport::scalar(temp, "PRAGMA journal_mode = WAL"), QString("wal"));
        if (leftover == "wal files") { // as a compaction stopped while it switched the copy leaves them
            writeFile(temp + "-wal", "");
            writeFile(temp + "-shm", "");
        }
        if (leftover == "older") // one letter changed: the same types and lengths
            QVERIFY(OpSupport::rawExec(OpSupport::rawOpen(source).get(),
                                       "UPDATE User SET UserPassword = 'Secreu' WHERE UserName = 'ADMIN'"));
        if (leftover == "journal")
            writeFile(temp + "-journal", "");
        if (leftover == "open")
            QVERIFY(user.start("idle", temp));
    } else if (leftover == "other") {
        BackendMaker::make(temp, {{{"ADMIN", "Secret"}}});
    } else if (leftover == "itself") {
        QVERIFY(QFile::rename(source, temp));
        source = temp;
    } else if (leftover == "symlink") {
        QVERIFY(QFile::link(source, temp));
    } else {
        QVERIFY(::link(QFile::encodeName(source).constData(), QFile::encodeName(temp).constData()) == 0);
    }
    const QByteArray sourceBefore = readFile(source);
    const DbContent rows = checkedDatabase(source);
    const QStringList files = OpSupport::entries(folder.path());
    QString error;
    try {
        Operations::compact(source, temp);
    } catch (const Error &e) {
        error = e.description();
    }
    if (removed) {
        QCOMPARE(error, QString());
        QCOMPARE(OpSupport::entries(folder.path()), QStringList{"BACK.MDB"});
        QCOMPARE(checkedDatabase(source).digest, rows.digest);
        QCOMPARE(checkedDatabase(source).freePages, 0);
    } else {
        QVERIFY2(error.endsWith(quotedPath(temp) + " already exists"), qPrintable(error));
        if (leftover == "open")
            user.finish();
        QCOMPARE(OpSupport::entries(folder.path()), files);
        QVERIFY(readFile(source) == sourceBefore);
        QCOMPARE(QFileInfo(temp).isSymLink(), leftover == "symlink");
    }
}

void TestCrash::walCopySwitchedWithoutJournal()
{
    // The copy of a database in write-ahead-log mode is switched to that mode before it is put
    // in place; a program stopped then must leave a copy the next compaction can remove: no
    // rollback journal is ever created beside it.
    TempFolder folder;
    BackendMaker::Options options;
    options.users = {{"ADMIN", "Secret"}};
    options.sizeBytes = 256 << 10;
    options.wal = true;
    BackendMaker::make(folder.path("BACK.MDB"), options);
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(fd >= 0);
    QVERIFY(::inotify_add_watch(fd, QFile::encodeName(folder.path()).constData(), IN_CREATE | IN_MOVED_TO) >= 0);
    Operations::compact(folder.path("BACK.MDB"), folder.path("BACKNEW.MDB"));
    QStringList created;
    alignas(inotify_event) char events[64 << 10];
    for (ssize_t size; (size = ::read(fd, events, sizeof events)) > 0;) {
        for (char *at = events; at < events + size; at += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(at)->len)
            created << QString::fromLocal8Bit(reinterpret_cast<inotify_event *>(at)->name);
    }
    ::close(fd);
    QVERIFY2(created.contains("BACKNEW.MDB") && !created.contains("BACKNEW.MDB-journal"), qPrintable(created.join(", ")));
}

void TestCrash::writtenWhileCompacting_data()
{
    // Another program writes (or only reads) the database while the compacted copy is checked:
    // a write must never be undone by putting the older copy in place.
    QTest::addColumn<bool>("wal");
    QTest::addColumn<QString>("sql");
    for (bool wal : {false, true}) {
        const char *mode = wal ? "write-ahead log" : "rollback journal";
        QTest::addRow("%s, a row changed", mode) << wal << "UPDATE User SET UserPassword = 'changed'";
        QTest::addRow("%s, only read", mode) << wal << "SELECT count(*) FROM User";
    }
}

void TestCrash::writtenWhileCompacting()
{
    QFETCH(bool, wal);
    QFETCH(QString, sql);
    const bool refused = sql.startsWith("UPDATE");
    TempFolder folder;
    const QString source = folder.path("BACK.MDB");
    BackendMaker::make(source, {{{"ADMIN", "Secret"}}, 0, 512 << 10, 40, wal});
    const DbContent before = checkedDatabase(source);
    int errorNumber = 0;
    QString error;
    try {
        Operations::compact(source, folder.path("BACKNEW.MDB"), [&](const QString &src, const QString &dst) {
            dbEngine().CompactDatabase(src, dst);
            QVERIFY(OpSupport::rawExec(OpSupport::rawOpen(src).get(), sql.toUtf8().constData()));
        });
    } catch (const Error &e) {
        errorNumber = e.number();
        error = e.description();
    }
    // The other program's connection, closed, leaves its write in the file (a checkpoint in WAL mode).
    if (refused) {
        QCOMPARE(errorNumber, EBUSY);
        QVERIFY2(error.contains("was changed by another program while it was being compacted"), qPrintable(error));
        QCOMPARE(OpSupport::scalar(source, "SELECT group_concat(UserPassword) FROM User"), QString("changed"));
        QCOMPARE(checkedDatabase(source).freePages, before.freePages);
    } else {
        QCOMPARE(error, QString());
        QCOMPARE(checkedDatabase(source).digest, before.digest);
        QCOMPARE(checkedDatabase(source).freePages, 0);
    }
    QCOMPARE(OpSupport::entries(folder.path()), QStringList{"BACK.MDB"});
}

int main(int argc, char **argv)
{
    if (const int rc = runOperationIfAsked(argc, argv); rc >= 0)
        return rc;
    if (const int rc = OpSupport::runChildIfAsked(argc, argv); rc >= 0)
        return rc;
    // Many kills take long: the limit for one test function grows with their number.
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(300000 + 30000 * envNumber("TARVOS_CRASH_KILLS", 3)));
    QCoreApplication app(argc, argv);
    TestCrash test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crash.moc"
