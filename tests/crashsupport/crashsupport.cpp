#include "crashsupport.h"

#include "operations/backup.h"
#include "operations/compaction.h"
#include "operations/restore.h"
#include "opsupport.h"
#include "platform/errors.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QUrl>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fiu-control.h>
#include <fiu.h>
#include <functional>
#include <iterator>
#include <sqlite3.h>

namespace CrashSupport {

namespace {

// The calls that libfiu's POSIX preload (and ours, fiupreload.c) can make fail and that the
// operations make on files, counted while the operation runs. (Short reads and writes, and the
// network, are left out.)
constexpr const char *FailurePoints[] = {
    "posix/io/oc/open",      "posix/io/oc/close",      "posix/io/rw/read",      "posix/io/rw/pread",
    "posix/io/rw/readv",     "posix/io/rw/preadv",     "posix/io/rw/write",     "posix/io/rw/pwrite",
    "posix/io/rw/writev",    "posix/io/rw/pwritev",    "posix/io/rw/ftruncate", "posix/io/rw/truncate",
    "posix/io/sync/fsync",   "posix/io/sync/fdatasync", "posix/io/dir/rename",  "posix/io/dir/unlink",
    "posix/io/dir/opendir",  "posix/io/dir/fdopendir", "posix/io/dir/readdir",  "linux/io/sync_file_range",
    // Those of our own preload beside libfiu's.
    "linux/io/copy_file_range", "linux/io/renameat2", "posix/io/dir/link", "posix/io/flock"};
constexpr int PointCount = int(std::size(FailurePoints));
constexpr char FailCallVariable[] = "TARVOS_FAIL_CALL";

// What the child was asked: count the calls, or fail one of them (failIndex-th call of the point
// failPoint, with failErrno).
struct CallFaults {
    std::atomic<bool> armed{false};
    std::atomic<long> calls[PointCount] = {};
    int failPoint = -1;
    long failIndex = 0;
    int failErrno = 0;
    std::atomic<bool> failed{false};
} faults;

// libfiu asks this before every call of the points enabled; it runs on any thread.
int onCall(const char *name, int *, void **failinfo, unsigned int *)
{
    if (!faults.armed.load(std::memory_order_relaxed))
        return 0;
    for (int i = 0; i < PointCount; ++i) {
        if (std::strcmp(name, FailurePoints[i]) != 0)
            continue;
        if (++faults.calls[i] != faults.failIndex || i != faults.failPoint)
            return 0;
        *failinfo = reinterpret_cast<void *>(std::intptr_t(faults.failErrno));
        faults.failed = true;
        return 1;
    }
    return 0;
}

// Sets up what TARVOS_FAIL_CALL asks ("count", or "POINT INDEX ERRNO"); false without it.
bool setUpCallFaults()
{
    const QStringList asked = qEnvironmentVariable(FailCallVariable).split(' ', Qt::SkipEmptyParts);
    if (asked.isEmpty())
        return false;
    if (asked.size() == 3) {
        for (int i = 0; i < PointCount; ++i) {
            if (asked[0] == QLatin1String(FailurePoints[i]))
                faults.failPoint = i;
        }
        faults.failIndex = asked[1].toLong();
        faults.failErrno = asked[2].toInt();
    }
    // One by one: with a wildcard, libfiu would give the callback the pattern, not the call.
    bool ready = fiu_init(0) == 0;
    for (const char *point : FailurePoints)
        ready = ready && fiu_enable_external(point, 1, nullptr, 0, onCall) == 0;
    if (!ready)
        qFatal("libfiu cannot be set up");
    return true;
}

// Prints what the calls came to: "failed POINT" if the asked call failed, and "calls POINT N" for
// every point called.
void reportCallFaults()
{
    faults.armed = false;
    if (faults.failed)
        std::printf("failed %s\n", FailurePoints[faults.failPoint]);
    for (int i = 0; i < PointCount; ++i) {
        if (faults.calls[i] > 0)
            std::printf("calls %s %ld\n", FailurePoints[i], faults.calls[i].load());
    }
    std::fflush(stdout);
}

} // namespace

int runOperationIfAsked(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--operation") != 0)
        return -1;
    QStringList args;
    for (int i = 2; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const bool faulty = setUpCallFaults();
    std::fputs("go\n", stdout);
    std::fflush(stdout);
    QElapsedTimer clock;
    clock.start();
    faults.armed = faulty;
    try {
        if (args.value(0) == "backup" && args.size() == 3)
            Operations::backUp(args[1], args[2]);
        else if (args.value(0) == "restore" && args.size() == 4)
            Operations::restore(args[1], args[2], args[3]);
        else if (args.value(0) == "compact" && args.size() == 3)
            Operations::compact(args[1], args[2]);
        else
            return 2;
    } catch (const Error &e) {
        if (faulty)
            reportCallFaults();
        std::fprintf(stderr, "%s\n", e.message().toLocal8Bit().constData());
        return 1;
    }
    if (faulty)
        reportCallFaults();
    std::printf("done %lld\n", static_cast<long long>(clock.elapsed()));
    return 0;
}

namespace {

Outcome runChildKilling(const QStringList &operation, qint64 killAfterMs, const std::function<bool()> &killWhen,
                        const QStringList &environment = {})
{
    QProcess child;
    if (!environment.isEmpty())
        child.setEnvironment(QProcess::systemEnvironment() + environment);
    child.start(QCoreApplication::applicationFilePath(), QStringList{"--operation"} + operation);
    Outcome outcome;
    if (!child.waitForStarted(30000)) {
        outcome.errors = QStringLiteral("the child did not start: ") + child.errorString();
        return outcome;
    }
    QByteArray out;
    while (!out.contains("go\n") && child.waitForReadyRead(60000))
        out += child.readAllStandardOutput();
    if (!out.contains("go\n")) {
        child.waitForFinished(60000);
        outcome.errors = QStringLiteral("the child ended before it began: ") + child.readAllStandardError();
        return outcome;
    }
    if (killWhen) {
        // Looks between waits for the child's end of at most a millisecond: no sleeping.
        while (child.state() != QProcess::NotRunning && !outcome.killed) {
            if (killWhen()) {
                child.kill();
                outcome.killed = true;
            } else {
                child.waitForFinished(1);
            }
        }
    } else if (killAfterMs >= 0 && !child.waitForFinished(int(killAfterMs))) {
        child.kill();
        outcome.killed = true;
    }
    child.waitForFinished(120000);
    out += child.readAllStandardOutput();
    outcome.errors = QString::fromLocal8Bit(child.readAllStandardError()).trimmed();
    outcome.output = out;
    if (!outcome.killed) {
        outcome.exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
        const qsizetype done = out.indexOf("done ");
        if (done >= 0)
            outcome.ms = out.mid(done + 5).trimmed().toLongLong();
    }
    return outcome;
}

} // namespace

Outcome runChild(const QStringList &operation, qint64 killAfterMs)
{
    return runChildKilling(operation, killAfterMs, {});
}

Outcome runChildUntil(const QStringList &operation, const std::function<bool()> &killWhen)
{
    return runChildKilling(operation, -1, killWhen);
}

Outcome runChildFailingCall(const QStringList &operation, const QString &asked)
{
    return runChildKilling(operation, -1, {},
                           {QStringLiteral("LD_PRELOAD=" FIU_PRELOADS), QLatin1String(FailCallVariable) + '=' + asked});
}

namespace {

void hashValue(QCryptographicHash &hash, sqlite3_stmt *stmt, int column)
{
    const int type = sqlite3_column_type(stmt, column);
    hash.addData(QByteArrayView(reinterpret_cast<const char *>(&type), sizeof type));
    if (type == SQLITE_INTEGER) {
        const qint64 v = sqlite3_column_int64(stmt, column);
        hash.addData(QByteArrayView(reinterpret_cast<const char *>(&v), sizeof v));
    } else if (type == SQLITE_FLOAT) {
        const double v = sqlite3_column_double(stmt, column);
        hash.addData(QByteArrayView(reinterpret_cast<const char *>(&v), sizeof v));
    } else if (type != SQLITE_NULL) {
        const void *bytes = sqlite3_column_blob(stmt, column);
        const int size = sqlite3_column_bytes(stmt, column);
        const qint64 size64 = size;
        hash.addData(QByteArrayView(reinterpret_cast<const char *>(&size64), sizeof size64));
        hash.addData(QByteArrayView(static_cast<const char *>(bytes), size));
    }
}

} // namespace

DbContent readDatabase(const QString &path, bool asStored)
{
    DbContent content;
    sqlite3 *raw = nullptr;
    const QByteArray name = asStored ? QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded).toUtf8() + "?immutable=1"
                                     : QFile::encodeName(path);
    const int flags = asStored ? SQLITE_OPEN_READONLY | SQLITE_OPEN_URI : SQLITE_OPEN_READWRITE;
    const int rc = sqlite3_open_v2(name.constData(), &raw, flags, nullptr);
    OpSupport::RawDb db(raw);
    if (rc != SQLITE_OK) {
        content.problem = QStringLiteral("cannot open: ") + sqlite3_errmsg(raw);
        return content;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    auto each = [&](const QByteArray &sql, const std::function<void(sqlite3_stmt *)> &row) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db.get(), sql.constData(), -1, &stmt, nullptr) != SQLITE_OK) {
            content.problem = QString::fromUtf8(sql + ": " + sqlite3_errmsg(db.get()));
            return;
        }
        int step;
        while ((step = sqlite3_step(stmt)) == SQLITE_ROW)
            row(stmt);
        if (step != SQLITE_DONE)
            content.problem = QString::fromUtf8(sql + ": " + sqlite3_errmsg(db.get()));
        sqlite3_finalize(stmt);
    };
    QStringList integrity;
    each("PRAGMA integrity_check", [&](sqlite3_stmt *s) { integrity << QString::fromUtf8(sqlite3_column_text(s, 0)); });
    if (content.problem.isEmpty() && integrity != QStringList{"ok"})
        content.problem = "integrity_check: " + integrity.join("; ");
    if (!content.problem.isEmpty())
        return content;
    QStringList tables;
    each("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name", [&](sqlite3_stmt *s) {
        for (int i = 0; i < 4; ++i)
            hashValue(hash, s, i);
        if (QByteArray(reinterpret_cast<const char *>(sqlite3_column_text(s, 0))) == "table")
            tables << QString::fromUtf8(sqlite3_column_text(s, 1));
    });
    for (const QString &table : tables) {
        each("SELECT * FROM \"" + table.toUtf8() + '"', [&](sqlite3_stmt *s) {
            for (int i = 0; i < sqlite3_column_count(s); ++i)
                hashValue(hash, s, i);
        });
    }
    each("PRAGMA freelist_count", [&](sqlite3_stmt *s) { content.freePages = sqlite3_column_int64(s, 0); });
    content.digest = hash.result();
    return content;
}

DbContent checkedDatabase(const QString &path)
{
    const DbContent stored = readDatabase(path, true);
    const DbContent read = readDatabase(path, false);
    if (stored.problem.isEmpty() && read.problem.isEmpty() && stored.digest != read.digest)
        return {QStringLiteral("what the file holds differs from what SQLite reads with the files beside it"), {}, -1};
    return read.problem.isEmpty() ? stored : read;
}

QByteArray unzstd(const QString &path)
{
    QProcess zstd;
    zstd.start("zstd", {"-d", "-c", "-q", path});
    if (!zstd.waitForFinished(120000) || zstd.exitStatus() != QProcess::NormalExit || zstd.exitCode() != 0)
        return QByteArray();
    const QByteArray out = zstd.readAllStandardOutput();
    return out.isNull() ? QByteArray("") : out;
}

bool zstdAccepts(const QString &path)
{
    return QProcess::execute("zstd", {"-t", "-q", path}) == 0;
}

QStringList hiddenEntries(const QString &folder)
{
    QStringList hidden;
    for (const QString &name : OpSupport::entries(folder)) {
        if (name.startsWith('.'))
            hidden << name;
    }
    return hidden;
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



char *toString(const DbContent &content)
{
    const QString text = content.problem.isEmpty() ? QStringLiteral("rows %1, %2 free pages")
                                                         .arg(QString::fromLatin1(content.digest.toHex().left(16)))
                                                         .arg(content.freePages)
                                                   : content.problem;
    return qstrdup(text.toLocal8Bit().constData());
}


} // namespace CrashSupport
