#include "operations/compaction.h"

#include "operations/copycheck.h"
#include "operations/databasefile.h"
#include "operations/paths.h"
#include "operations/replacement.h"
#include "platform/dao/dbengine.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/inuse/inuse.h"
#include "platform/tempfile.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace Operations {
namespace {

// Removes the compacted copy and anything SQLite left beside it, unless dismissed.
class RemoveOnFailure {
public:
    explicit RemoveOnFailure(QString path) : path_(std::move(path)) {}
    ~RemoveOnFailure()
    {
        if (path_.isEmpty())
            return;
        for (const char *suffix : {"", "-journal", "-wal", "-shm"})
            ::unlink(QFile::encodeName(path_ + QLatin1String(suffix)).constData());
    }
    RemoveOnFailure(const RemoveOnFailure &) = delete;
    RemoveOnFailure &operator=(const RemoveOnFailure &) = delete;
    void dismiss() { path_.clear(); }

private:
    QString path_;
};

QString describeCounts(const QMap<QString, qint64> &counts)
{
    QStringList parts;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        parts.append(it.key() + QLatin1Char(' ') + QString::number(it.value()));
    return parts.join(QStringLiteral(", "));
}

// Refuses a copy that is damaged or does not hold what source holds.
void verifyCopy(const QString &source, const QString &copy, const std::function<void(qint64, qint64)> &progress)
{
    const QString action = QStringLiteral("The compacted copy ") + quotedPath(copy) + QStringLiteral(" of ") +
                           quotedPath(source) + QStringLiteral(" failed its check");
    QMap<QString, qint64> copyCounts;
    QStringList problems;
    try {
        problems = integrityProblemsInParallel(copy, &copyCounts, progress);
    } catch (const Error &e) {
        throw Error(e.number(), action + QStringLiteral(": ") + e.description());
    }
    if (!problems.isEmpty()) {
        // SQLite's report names the schema first and may run over several lines.
        QString problem = problems.first();
        problem.remove(QStringLiteral("*** in database main ***"));
        problem = problem.simplified();
        // A page that could not be read is a read error of the disk, not damage found in the copy.
        const bool unreadable = problem.contains(QLatin1String("unable to get the page"));
        throw Error(unreadable ? SQLITE_IOERR : SQLITE_CORRUPT,
                    action + (unreadable ? QStringLiteral(": it could not be read back (") : QStringLiteral(" (")) +
                        QStringLiteral("integrity_check: ") + problem + QLatin1Char(')'));
    }
    QMap<QString, qint64> sourceCounts;
    {
        const QString reading = QStringLiteral("Cannot read ") + quotedPath(source);
        Dao::ConnectionPtr db =
            Dao::openConnection(source, SQLITE_OPEN_READWRITE, DBEngine::defaultBusyTimeoutMs, reading);
        sourceCounts = DatabaseFile::tableRowCounts(db.get(), reading);
    }
    if (copyCounts != sourceCounts)
        throw Error(SQLITE_CORRUPT, action + QStringLiteral(": it does not hold the same rows (copy: ") +
                                        describeCounts(copyCounts) + QStringLiteral("; database: ") +
                                        describeCounts(sourceCounts) + QLatin1Char(')'));
}

// Puts the copy in write-ahead-log mode. The switch rewrites the file's header; made from
// journal mode OFF it needs no rollback journal, so a program stopped in the middle leaves the
// copy in one mode or the other with nothing beside it, a copy the next compaction can remove.
void switchToWal(const QString &copy)
{
    const QString action = QStringLiteral("Cannot set the journal mode of ") + quotedPath(copy);
    {
        Dao::ConnectionPtr db = Dao::openConnection(copy, SQLITE_OPEN_READWRITE, 0, action);
        // The sync below is ours: SQLite passes over a failed sync of the folder.
        DatabaseFile::exec(db.get(), QStringLiteral("PRAGMA synchronous = OFF"), action);
        (void)DatabaseFile::queryText(db.get(), QStringLiteral("PRAGMA journal_mode = OFF"), action);
        if (DatabaseFile::queryText(db.get(), QStringLiteral("PRAGMA journal_mode = WAL"), action).toLower() !=
            QLatin1String("wal"))
            throw Error(SQLITE_ERROR, action + QStringLiteral(": SQLite did not accept write-ahead-log mode"));
    }
    Files::syncFile(copy);
    // SQLite can answer "wal" and yet pass over a failed write of the header that records the
    // mode; a copy put in place that way would silently leave the back end in the other mode.
    if (!DatabaseFile::isInWalMode(copy))
        throw Error(SQLITE_IOERR, action + QStringLiteral(": the file did not take write-ahead-log mode"));
}

// Whether temp is a copy that an earlier compaction of source wrote and never put in place,
// because the program was stopped between the two steps: a database that nobody uses, with no
// rollback journal beside it, holding exactly what source holds. Removing it loses nothing.
// Anything else (another file, another database, a copy of an older state) is left to the user.
// A write-ahead log and its index may lie beside it (the program may have been stopped while it
// switched the copy to that mode): SQLite reads the log with the copy, so the comparison below
// covers what it holds. A rollback journal may stand for a write to the copy that never ended.
bool isUnusedCopyOf(const QString &source, const QString &temp)
{
    struct stat st;
    if (::lstat(QFile::encodeName(temp).constData(), &st) != 0 || !S_ISREG(st.st_mode) ||
        Files::sameFile(source, temp) || !DatabaseFile::isSqliteDatabase(temp))
        return false;
    const QStringList companions = Paths::companions(temp);
    for (const QString &companion : companions) {
        if (companion.endsWith(QLatin1String("-journal")) &&
            ::lstat(QFile::encodeName(companion).constData(), &st) == 0)
            return false;
    }
    if (!InUse::processesUsing(QStringList(companions) + QStringList{temp}).isEmpty())
        return false;
    const QString action = QStringLiteral("Cannot compare ") + quotedPath(temp) + QStringLiteral(" with ") +
                           quotedPath(source);
    try {
        QByteArray copy;
        {
            Dao::ConnectionPtr db = Dao::openConnection(temp, SQLITE_OPEN_READONLY, 0, action);
            copy = DatabaseFile::contentDigest(db.get(), action);
        }
        Dao::ConnectionPtr db =
            Dao::openConnection(source, SQLITE_OPEN_READONLY, DBEngine::defaultBusyTimeoutMs, action);
        return DatabaseFile::contentDigest(db.get(), action) == copy;
    } catch (const Error &) {
        return false; // unreadable as a database: not ours to remove
    }
}

// Removes a compacted copy left by a compaction that was stopped before it could put the copy
// in place (see isUnusedCopyOf); the engine refuses an existing temp, so without this every later
// compaction would fail until someone removed the file by hand.
void removeUnusedCopy(const QString &source, const QString &temp)
{
    if (!isUnusedCopyOf(source, temp))
        return;
    // Reading a database in write-ahead-log mode leaves an empty log and index beside it.
    QStringList files = Paths::companions(temp);
    files.prepend(temp);
    for (const QString &file : files)
        ::unlink(QFile::encodeName(file).constData());
    Files::syncParentFolder(temp);
}

// Whether another program writes to a database while it is being compacted: nothing holds the
// file between the start and the replacement, so a program may open it, write and close it
// meanwhile, and putting the copy in place would then undo that write.
class WriteWatch {
public:
    explicit WriteWatch(const QString &path) : path_(path), stamp_(Files::stampOf(path))
    {
        const QString action = QStringLiteral("Cannot read ") + quotedPath(path);
        db_ = Dao::openConnection(path, SQLITE_OPEN_READONLY, DBEngine::defaultBusyTimeoutMs, action);
        version_ = dataVersion();
    }

    // Until now: SQLite's data version, which changes with every commit of another connection,
    // read on one connection kept open meanwhile (and closed here, so that nothing of this
    // program holds the file when it is replaced).
    [[nodiscard]] bool writtenSinceStart()
    {
        const bool written = dataVersion() != version_;
        db_.reset();
        return written;
    }

    // From the last look until now: the file's identity, size and time of last change, checked
    // without opening the file (closing any descriptor of it would drop SQLite's locks on it).
    // A commit in write-ahead-log mode reaches the file when the log is emptied into it, which
    // happens before a replacement.
    [[nodiscard]] bool fileChanged() const { return Files::stampOf(path_) != stamp_; }

private:
    QString dataVersion()
    {
        return DatabaseFile::queryText(db_.get(), QStringLiteral("PRAGMA data_version"),
                                       QStringLiteral("Cannot read ") + quotedPath(path_));
    }

    QString path_;
    Files::Stamp stamp_;
    Dao::ConnectionPtr db_;
    QString version_;
};

Error changedMeanwhile(const QString &source)
{
    return Error(EBUSY, quotedPath(source) +
                            QStringLiteral(" was changed by another program while it was being compacted; it keeps "
                                           "those changes and was not compacted. Close the other program and try "
                                           "again"));
}

} // namespace

namespace {

// The bytes of the pages that hold data: what the compacted copy will be about.
qint64 usedBytes(const QString &source)
{
    const QString action = QStringLiteral("Cannot read ") + quotedPath(source);
    Dao::ConnectionPtr db = Dao::openConnection(source, SQLITE_OPEN_READONLY, DBEngine::defaultBusyTimeoutMs, action);
    const qint64 pages = DatabaseFile::queryText(db.get(), QStringLiteral("PRAGMA page_count"), action).toLongLong() -
                         DatabaseFile::queryText(db.get(), QStringLiteral("PRAGMA freelist_count"), action).toLongLong();
    return qMax<qint64>(1, pages) * DatabaseFile::queryText(db.get(), QStringLiteral("PRAGMA page_size"), action).toLongLong();
}

} // namespace

void compact(const QString &source, const QString &temp, const CompactInto &compactInto, const Observer &observer)
{
    refuseReadOnly(source);
    ensureNotInUse(source);
    const bool wal = DatabaseFile::isInWalMode(source);
    WriteWatch watch(source);

    observer.begin();
    const qint64 used = usedBytes(source);
    observer.report(0, 2 * used);
    removeUnusedCopy(source, temp);
    TempFiles::removeStale({source, temp});
    compactInto(source, temp);
    RemoveOnFailure cleanUp(temp);
    observer.report(used, 2 * used);
    try {
        verifyCopy(source, temp, [&](qint64 done, qint64 total) {
            observer.report(used + (total > 0 ? done * used / total : 0), 2 * used);
        });
    } catch (const Error &e) {
        throw Error(e.number(), e.description() + QStringLiteral("; the database was left as it was"));
    }
    if (wal) {
        switchToWal(temp);
        // Its log and index are empty once the connection has closed: the copy stands alone.
        for (const char *suffix : {"-wal", "-shm"})
            ::unlink(QFile::encodeName(temp + QLatin1String(suffix)).constData());
    }
    if (watch.writtenSinceStart())
        throw changedMeanwhile(source);
    replaceDatabase(source, [&] {
        if (watch.fileChanged())
            throw changedMeanwhile(source);
        Files::replace(temp, source);
    });
    cleanUp.dismiss();
    observer.report(2 * used, 2 * used);
}

} // namespace Operations

void Operations::compact(const QString &source, const QString &temp, const Observer &observer)
{
    DBEngine &engine = dbEngine();
    qint64 total = 0;
    const Observer copying{observer.working, [&](qint64 done, qint64 all) {
                               total = all;
                               observer.report(done, all);
                           }};
    compact(
        source, temp,
        [&](const QString &src, const QString &dst) {
            engine.CompactDatabase(src, dst, [&](qint64 written) {
                // The copy is about half the work; it may come out a little larger than estimated.
                observer.report(qMin(written, total / 2), total);
            });
        },
        copying);
}
