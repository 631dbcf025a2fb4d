#include "operations/compaction.h"

#include "operations/paths.h"
#include "operations/replacement.h"
#include "platform/dao/copycheck.h"
#include "platform/dao/databasefile.h"
#include "platform/dao/dbengine.h"
#include "platform/dao/inplace.h"
#include "platform/errors.h"
#include "platform/fs/files.h"
#include "platform/fs/tempfile.h"
#include "platform/inuse/inuse.h"
#include "platform/taskgroup.h"

#include <atomic>
#include <cerrno>

namespace Operations {
namespace {

// Removes the compacted copy and anything SQLite left beside it, unless dismissed.
class RemoveOnFailure {
public:
    explicit RemoveOnFailure(Fs::Location copy) : copy_(std::move(copy)) {}
    ~RemoveOnFailure()
    {
        if (copy_.name.isEmpty())
            return;
        for (const QString &name : QStringList{copy_.name} + Paths::companions(copy_.name))
            (void)copy_.folder.remove(name);
    }
    RemoveOnFailure(const RemoveOnFailure &) = delete;
    RemoveOnFailure &operator=(const RemoveOnFailure &) = delete;
    void dismiss() { copy_.name.clear(); }

private:
    Fs::Location copy_;
};

QString describeCounts(const QMap<QString, qint64> &counts)
{
    QStringList parts;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        parts.append(it.key() + QLatin1Char(' ') + QString::number(it.value()));
    return parts.join(QStringLiteral(", "));
}

// The rows of every table of the database source.
QMap<QString, qint64> rowCounts(const QString &source)
{
    const QString reading = QStringLiteral("Cannot read ") + quotedPath(source);
    Dao::ConnectionPtr db = Dao::openConnection(source, Dao::OpenReadWrite, DBEngine::defaultBusyTimeoutMs, reading);
    return DatabaseFile::tableRowCounts(db.get(), reading);
}

// Refuses a copy that is damaged or does not hold sourceCounts, the rows of source.
void verifyCopy(const QString &source, const QString &copy, const QMap<QString, qint64> &sourceCounts,
                const Progress &progress, const Dao::CopyCheckSettings &settings = {})
{
    const QString action = QStringLiteral("The compacted copy ") + quotedPath(copy) + QStringLiteral(" of ") +
                           quotedPath(source) + QStringLiteral(" failed its check");
    QMap<QString, qint64> copyCounts;
    QStringList problems;
    try {
        problems = Dao::integrityProblemsInParallel(copy, &copyCounts, progress, settings);
    } catch (const Error &e) {
        if (e.number() == ECANCELED)
            throw;
        throw Error(e.number(), action + QStringLiteral(": ") + e.description());
    }
    if (!problems.isEmpty()) {
        // SQLite's report names the schema first and may run over several lines.
        QString problem = problems.first();
        problem.remove(QStringLiteral("*** in database main ***"));
        problem = problem.simplified();
        // A page that could not be read is a read error of the disk, not damage found in the copy.
        const bool unreadable = problem.contains(QLatin1String("unable to get the page"));
        throw Error(unreadable ? Dao::ResultIoErr : Dao::ResultCorrupt,
                    action + (unreadable ? QStringLiteral(": it could not be read back (") : QStringLiteral(" (")) +
                        QStringLiteral("integrity_check: ") + problem + QLatin1Char(')'));
    }
    if (copyCounts != sourceCounts)
        throw Error(Dao::ResultCorrupt, action + QStringLiteral(": it does not hold the same rows (copy: ") +
                                            describeCounts(copyCounts) + QStringLiteral("; database: ") +
                                            describeCounts(sourceCounts) + QLatin1Char(')'));
}

// Puts the copy in write-ahead-log mode. The switch rewrites the file's header; made from
// journal mode OFF it needs no rollback journal, so a program stopped in the middle leaves the
// copy in one mode or the other with nothing beside it, a copy the next compaction can remove.
void switchToWal(const Fs::Location &copy, int copyFd)
{
    const QString action = QStringLiteral("Cannot set the journal mode of ") + quotedPath(copy.path());
    {
        Dao::ConnectionPtr db = Dao::openConnection(copy.path(), Dao::OpenReadWrite, 0, action);
        const Fs::Status st = Fs::statusOf(copyFd, copy.path());
        Dao::requireOpenOn(db.get(), copy.folder.fd(), copy.name, st.device, st.inode, copy.path(), action);
        // The sync below is ours: SQLite passes over a failed sync of the folder. Defensive
        // connections refuse journal mode OFF, so this one may while it switches.
        Dao::exec(db.get(), QStringLiteral("PRAGMA synchronous = OFF"), action);
        Dao::setDefensive(db.get(), false);
        (void)Dao::queryText(db.get(), QStringLiteral("PRAGMA journal_mode = OFF"), action);
        const QString mode = Dao::queryText(db.get(), QStringLiteral("PRAGMA journal_mode = WAL"), action);
        Dao::setDefensive(db.get(), true);
        if (mode.toLower() != QLatin1String("wal"))
            throw Error(Dao::ResultError, action + QStringLiteral(": SQLite did not accept write-ahead-log mode"));
    }
    Fs::syncFile(copyFd, copy.path(), action);
    // SQLite can answer "wal" and yet pass over a failed write of the header that records the
    // mode; a copy put in place that way would silently leave the back end in the other mode.
    if (!DatabaseFile::isInWalMode(copyFd, copy.path()))
        throw Error(Dao::ResultIoErr, action + QStringLiteral(": the file did not take write-ahead-log mode"));
}

// Whether temp is a copy that an earlier compaction of source wrote and never put in place,
// because the program was stopped between the two steps: a database that nobody uses, with no
// rollback journal beside it, holding exactly what source holds. Removing it loses nothing.
// Anything else (another file, another database, a copy of an older state) is left to the user.
// A write-ahead log and its index may lie beside it (the program may have been stopped while it
// switched the copy to that mode): SQLite reads the log with the copy, so the comparison below
// covers what it holds. A rollback journal may stand for a write to the copy that never ended.
bool isUnusedCopyOf(const Fs::Location &source, const Fs::Status &sourceStatus, const Fs::Location &temp)
{
    const Fs::Status st = temp.status();
    if (!st.isRegular() || st.sameFile(sourceStatus))
        return false;
    // Only a file of this account's (or the administrator's) is removed: another account's file
    // under this name stays where it is, and the engine then names it as being in the way.
    if (st.owner != Fs::currentUser() && st.owner != 0)
        return false;
    if (temp.folder.status(temp.name + QStringLiteral("-journal")).exists())
        return false;
    const QString action = QStringLiteral("Cannot compare ") + quotedPath(temp.path()) + QStringLiteral(" with ") +
                           quotedPath(source.path());
    try {
        if (!DatabaseFile::isSqliteDatabase(temp.folder.openForReading(temp.name, action).get()))
            return false; // (closed again before the look for programs that have it open)
        QStringList files = Paths::companions(temp.path());
        files.prepend(temp.path());
        if (!InUse::processesUsing(files).isEmpty())
            return false;
        QByteArray copy;
        {
            Dao::ConnectionPtr db = Dao::openConnection(temp.path(), Dao::OpenReadOnly, 0, action);
            copy = DatabaseFile::contentDigest(db.get(), action);
        }
        Dao::ConnectionPtr db =
            Dao::openConnection(source.path(), Dao::OpenReadOnly, DBEngine::defaultBusyTimeoutMs, action);
        return DatabaseFile::contentDigest(db.get(), action) == copy;
    } catch (const Error &) {
        return false; // unreadable as a database: not ours to remove
    }
}

// Removes a compacted copy left by a compaction that was stopped before it could put the copy
// in place (see isUnusedCopyOf); the engine refuses an existing temp, so without this every later
// compaction would fail until someone removed the file by hand.
void removeUnusedCopy(const Fs::Location &source, const Fs::Status &sourceStatus, const Fs::Location &temp)
{
    if (!isUnusedCopyOf(source, sourceStatus, temp))
        return;
    // Reading a database in write-ahead-log mode leaves an empty log and index beside it.
    for (const QString &name : QStringList{temp.name} + Paths::companions(temp.name))
        (void)temp.folder.remove(name);
    temp.folder.sync();
}

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
    Dao::ConnectionPtr db = Dao::openConnection(source, Dao::OpenReadOnly, DBEngine::defaultBusyTimeoutMs, action);
    const qint64 pages = Dao::queryText(db.get(), QStringLiteral("PRAGMA page_count"), action).toLongLong() -
                         Dao::queryText(db.get(), QStringLiteral("PRAGMA freelist_count"), action).toLongLong();
    return qMax<qint64>(1, pages) * Dao::queryText(db.get(), QStringLiteral("PRAGMA page_size"), action).toLongLong();
}

// The place of the compaction's temporary file: its folder held, the name itself never followed.
Fs::Location tempLocation(const QString &temp, const QString &action)
{
    const QString name = Files::nameOf(temp);
    if (name.isEmpty())
        throw Error(ENOENT, action + QStringLiteral(": no temporary file was named"));
    return Fs::Location{Fs::Folder::open(Files::folderOf(temp), action), name};
}

} // namespace

void compact(const QString &source, const QString &temp, const CompactInto &compactInto, const Observer &observer)
{
    const QString action = QStringLiteral("Cannot compact ") + quotedPath(source);
    const Fs::Location src = Fs::resolve(source, action);
    // Held open until every connection to the database has closed (closing a descriptor of a
    // database drops this process's locks on it).
    Fs::Fd srcFd = src.folder.openForReading(src.name, action);
    Fs::Status srcStatus = Fs::statusOf(srcFd.get(), source);
    refuseReadOnly(src, srcStatus);
    const bool inPlace = !Fs::isPrivate(srcFd.get(), srcStatus);
    if (!inPlace) {
        // The look for other programs that have it open must not find this one.
        srcFd.reset();
        ensureNotInUse(src);
        srcFd = src.folder.openForReading(src.name, action);
        const Fs::Status now = Fs::statusOf(srcFd.get(), source);
        if (!now.sameFile(srcStatus))
            throw changedMeanwhile(source);
        srcStatus = now;
    }
    const bool wal = DatabaseFile::isInWalMode(srcFd.get(), source);
    const Fs::Location tmp = tempLocation(temp, action);
    // Nothing holds the file between here and the replacement, so another program may open it,
    // write and close it meanwhile: putting the copy in place would then undo that write.
    WriteWatch watch(src, srcFd.get());

    observer.begin();
    const qint64 used = usedBytes(src.path());
    observer.report(0, 2 * used);
    removeUnusedCopy(src, srcStatus, tmp);
    TempFiles::removeStale(src.folder, {src.name});
    TempFiles::removeStale(tmp.folder, {tmp.name});
    compactInto(src.path(), tmp.path());
    RemoveOnFailure cleanUp(tmp);
    const Fs::Fd copyFd = tmp.folder.openForReading(tmp.name, action);
    const Fs::Status copyStatus = Fs::statusOf(copyFd.get(), tmp.path());
    observer.report(used, 2 * used);
    const auto leftAsItWas = [](const Error &e) {
        return Error(e.number(), e.description() + QStringLiteral("; the database was left as it was"));
    };
    const QMap<QString, qint64> sourceCounts = rowCounts(src.path());
    const auto copyUnchanged = [&] {
        if (!tmp.status().sameContentStamp(copyStatus))
            throw Error(EBUSY, action + QStringLiteral(": the compacted copy ") + quotedPath(tmp.path()) +
                                   QStringLiteral(" was changed by another program while it was checked; the "
                                                  "database was left as it was"));
    };
    if (inPlace) {
        Dao::InPlaceWrite write(src, srcFd.get(), srcStatus, tmp, copyStatus, action);
        // Nobody can commit from the lock on until the copy is written: a commit since the start
        // would be undone by it. In rollback-journal mode every commit moves the header's change
        // counter (and under the exclusive lock this program's own reading connection could not
        // look); in write-ahead-log mode the header stays, and the reading connection tells.
        write.lock();
        if (wal ? watch.writtenSinceStart() : watch.counterChanged())
            throw changedMeanwhile(source);
        // The copy is checked while it is written: SQLite's journal takes the write back unless
        // the check has passed before the commit. The write keeps a core busy, so the check runs
        // whole on one connection, which costs the least work.
        std::atomic<qint64> checked{0}, written{0};
        const auto report = [&] { observer.report(used + (checked.load() + written.load()) / 2, 2 * used); };
        TaskGroup check; // waited for however this block is left
        check.start([&] {
            verifyCopy(
                src.path(), tmp.path(), sourceCounts,
                [&](qint64 done, qint64 total) { checked = shareOf(done, total, used); },
                Dao::CopyCheckSettings{.whole = true});
        });
        write.write(
            [&](qint64 done, qint64 total) {
                written = shareOf(done, total, used);
                report();
            },
            [&] {
                try {
                    check.wait();
                } catch (const Error &e) {
                    throw leftAsItWas(e);
                }
                copyUnchanged();
            });
        // The copy is written into the database; cleanUp removes it.
    } else {
        try {
            verifyCopy(src.path(), tmp.path(), sourceCounts, phaseOf(observer.progress, used, used, 2 * used));
        } catch (const Error &e) {
            throw leftAsItWas(e);
        }
        copyUnchanged();
        if (wal) {
            switchToWal(tmp, copyFd.get());
            // Its log and index are empty once the connection has closed: the copy stands alone.
            for (const QString &name : {tmp.name + QStringLiteral("-wal"), tmp.name + QStringLiteral("-shm")})
                (void)tmp.folder.remove(name);
        }
        if (watch.writtenSinceStart())
            throw changedMeanwhile(source);
        Fs::giveAccessOf(copyFd.get(), tmp.path(), srcFd.get(), srcStatus);
        srcFd.reset();
        replaceDatabase(src, [&] {
            if (watch.fileChanged())
                throw changedMeanwhile(source);
            Files::replace(tmp, copyFd.get(), src, copyFd.get(), srcStatus);
        });
        cleanUp.dismiss();
    }
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
