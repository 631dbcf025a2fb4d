#include "operations/restore.h"

#include "operations/paths.h"
#include "operations/replacement.h"
#include "platform/dao/databasefile.h"
#include "platform/dao/inplace.h"
#include "platform/errors.h"
#include "platform/fs/files.h"
#include "platform/fs/tempfile.h"
#include "platform/stop.h"
#include "platform/taskgroup.h"
#include "platform/zlibtool/compressionengine.h"

#include <QScopeGuard>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <limits>
#include <optional>

namespace Operations {
namespace {

// Room left free on the disk beyond what a restore writes, so that the programs that share it
// can still commit meanwhile: 4 MiB and 2% of the content.
qint64 spareRoom(qint64 bytes)
{
    return (qint64(4) << 20) + bytes / 50;
}

// The file a restore reads.
struct Source {
    Fs::Location location;
    Fs::Fd fd;
    Fs::Status status;
};

// A database file given as the source: refused when a journal or log beside it may hold part of
// its content (a copy of the file alone would lose it).
void refuseDatabaseWithCompanions(const Source &from, const QString &shown)
{
    for (const QString &companion : Paths::companions(from.location.name)) {
        if (companion.endsWith(QLatin1String("-shm")))
            continue;
        if (from.location.folder.status(companion).size > 0)
            throw Error(EBUSY, QStringLiteral("Cannot restore from ") + quotedPath(shown) + QStringLiteral(": ") +
                                   quotedPath(from.location.folder.pathOf(companion)) +
                                   QStringLiteral(" beside it may hold part of its content (a program may be using "
                                                  "it); close that program, or restore from a backup of it"));
    }
}

// Refuses content of size bytes where the disk that holds staged has no room for it and for
// extra bytes more, then reserves the room for it.
void makeRoom(TempFile &staged, qint64 size, qint64 extra, const QString &action)
{
    const qint64 needed = size + extra + spareRoom(size);
    const qint64 free = staged.folder().freeBytes();
    if (needed > free)
        throw Error::fromErrno(ENOSPC, action + QStringLiteral(": the disk that holds ") +
                                           quotedPath(staged.finalPath()) +
                                           QStringLiteral(" has %1 MB free, and the restore needs %2 MB")
                                               .arg(free / 1000000)
                                               .arg((needed + 999999) / 1000000));
    Fs::reserve(staged.fd(), size, staged.finalPath(), action);
}

// Writes from's content into staged: copied from a database file, decompressed and verified
// from a backup. progress gets the bytes of from read so far; extra is the room the rest of the
// restore needs on the same disk. written, when given, counts the bytes of staged written so far
// (for a reader on another thread), and staged is not pushed to disk meanwhile.
void stage(const Source &from, const QString &shown, TempFile &staged, qint64 extra, const QString &action,
           const std::function<void(qint64)> &progress, std::atomic<qint64> *written = nullptr)
{
    if (DatabaseFile::isSqliteDatabase(from.fd.get())) {
        refuseDatabaseWithCompanions(from, shown);
        makeRoom(staged, from.status.size, extra, action);
        Files::copyData(from.fd.get(), shown, staged.fd(), staged.finalPath(), action, [&](qint64 done) {
            if (written)
                *written = done;
            progress(done);
        });
        if (!Fs::statusOf(from.fd.get(), shown).sameContentStamp(from.status) ||
            !from.location.status().sameFile(from.status))
            throw Error(EBUSY, action + QStringLiteral(": ") + quotedPath(shown) +
                                   QStringLiteral(" changed while it was being read; close the program that uses it "
                                                  "and try again"));
    } else {
        CompressionEngine::decompress(
            from.fd.get(), shown, staged.fd(), staged.finalPath(), [&](qint64 done, qint64) { progress(done); },
            [&](quint64 size, const char *head, std::size_t n) {
                DatabaseFile::requireDatabaseStart(head, n, size, shown);
                makeRoom(staged, qint64(size), extra, action);
            },
            written);
    }
    DatabaseFile::requireDatabaseImage(staged.fd(), shown);
}

// A database in write-ahead-log mode keeps its page size: SQLite writes into it only content of
// that size. The staged content is rewritten with it where it has another.
void matchPageSize(TempFile &staged, quint64 pageSize, const QString &action)
{
    if (pageSize == 0 || DatabaseFile::pageSize(staged.fd(), staged.path()) == pageSize)
        return;
    const Fs::Status st = Fs::statusOf(staged.fd(), staged.path());
    Dao::ConnectionPtr db = Dao::openConnection(staged.path(), Dao::OpenReadWrite, 0, action);
    Dao::requireOpenOn(db.get(), staged.folder().fd(), staged.name(), st.device, st.inode, staged.path(), action);
    Dao::exec(db.get(), QStringLiteral("PRAGMA page_size = %1").arg(pageSize), action);
    Dao::exec(db.get(), QStringLiteral("VACUUM"), action);
}

// The staging of a restore on a thread of its own, so that the staged file can be read while it
// grows: available() tells how many bytes at its start are complete. Stops the staging and waits
// for it when destroyed before it has ended.
class Staging {
public:
    using Stage = std::function<void(const std::function<void(qint64 read)> &progress, std::atomic<qint64> *written)>;

    Staging(const Stage &stage, const QString &action) : action_(action)
    {
        task_.start([this, stage] {
            stage(
                [this](qint64 read) {
                    read_ = read;
                    if (stop_)
                        throw Error(ECANCELED, action_);
                },
                &written_);
        });
    }
    Staging(const Staging &) = delete;
    Staging &operator=(const Staging &) = delete;

    // Bytes of the source read so far.
    [[nodiscard]] qint64 read() const { return read_.load(); }
    [[nodiscard]] bool complete() const { return complete_; }
    // Bytes at the start of the staged file that are complete (all of them once the staging has
    // ended); throws what the staging met.
    [[nodiscard]] qint64 available()
    {
        if (!complete_ && task_.waitFor(std::chrono::milliseconds(0)))
            complete_ = true;
        return complete_ ? std::numeric_limits<qint64>::max() : written_.load();
    }
    // Waits until bytes are complete (the whole file for the largest number), calling tick now and
    // then; stops when the program is asked to end.
    void waitFor(qint64 bytes, const std::function<void()> &tick)
    {
        while (available() < bytes) {
            (void)task_.waitFor(std::chrono::milliseconds(2));
            tick();
            Stop::check(action_);
        }
    }

private:
    QString action_;
    std::atomic<qint64> read_{0}, written_{0};
    std::atomic<bool> stop_{false};
    bool complete_ = false;
    TaskGroup task_{[this] { stop_ = true; }}; // last: it goes first, stopping the staging and waiting for it
};

} // namespace

void restore(const QString &from, const QString &target, const QDate &date, const Observer &observer)
{
    if (target.isEmpty())
        throw Error(ENOENT, QStringLiteral("Cannot restore: no file to restore to was named"));
    const QString action =
        QStringLiteral("Cannot restore ") + quotedPath(from) + QStringLiteral(" to ") + quotedPath(target);
    const Fs::Location to = Fs::resolve(target, action);
    const Fs::Status named = to.status();
    const bool replacing = named.exists();
    // Held open until every connection to the target has closed: closing a descriptor of a
    // database drops this process's locks on it.
    Fs::Fd targetFd;
    Fs::Status targetStatus;
    if (replacing) {
        targetFd = to.folder.openForReading(to.name, action);
        targetStatus = Fs::statusOf(targetFd.get(), target);
        refuseReadOnly(to, targetStatus);
    }
    const bool inPlace = replacing && !Fs::isPrivate(targetFd.get(), targetStatus);
    // A file replaced by a rename is held by nothing of this program meanwhile: another program
    // may write it, and the rename would undo that write.
    std::optional<WriteWatch> watch;
    if (replacing && !inPlace) {
        // The look for other programs that have it open must not find this one.
        targetFd.reset();
        ensureNotInUse(to);
        targetFd = to.folder.openForReading(to.name, action);
        const Fs::Status now = Fs::statusOf(targetFd.get(), target);
        if (!now.sameFile(targetStatus))
            throw Error(EBUSY, quotedPath(target) + QStringLiteral(" was replaced by another program; it was kept as "
                                                                   "it is. Close the other program and try again"));
        targetStatus = now; // a journal rolled back or a log emptied into it changes it
        watch.emplace(to, targetFd.get());
    }
    requireExisting(from);
    Source source{Fs::resolve(from, action), {}, {}};
    source.fd = source.location.folder.openForReading(source.location.name, action);
    source.status = Fs::statusOf(source.fd.get(), from);
    if (replacing && source.status.sameFile(targetStatus))
        throw Error(ErrorNumber::InvalidArgument,
                    quotedPath(from) +
                        QStringLiteral(" cannot be both the file to restore from and the file to restore"));
    const QString safetyName = Paths::safetyCopyName(to.name, date);
    const QString safetyPath = to.folder.pathOf(safetyName);
    const QString safetyAction = QStringLiteral("Cannot make the safety copy ") + quotedPath(safetyPath) +
                                 QStringLiteral(" of ") + quotedPath(target);
    observer.begin();
    TempFiles::removeStale(to.folder, {to.name, safetyName});

    TempFile staged(to.folder, to.name, QStringLiteral("restore"), action);
    // The safety copy of a renamed target is the target's file itself, given a second name beside
    // the safety copy's (nothing to copy: the replacement gives the target's name to the restored
    // file and leaves the old file under the safety copy's); a shared target is copied.
    std::unique_ptr<TempFile> safety;
    if (replacing && !inPlace)
        safety = TempFile::linkTo(to.folder, to.name, safetyName, QStringLiteral("safety"), safetyAction);
    const bool copySafety = replacing && !safety;
    if (copySafety && !inPlace)
        safety = std::make_unique<TempFile>(to.folder, safetyName, QStringLiteral("safety"), safetyAction);
    const qint64 targetSize = replacing ? targetStatus.size : 0;
    // A shared target is copied while the backup is decompressed, where the disk has room for the
    // copy: its room is reserved first.
    std::unique_ptr<Dao::CopyAhead> ahead;
    if (inPlace && to.folder.freeBytes() > targetSize + spareRoom(targetSize)) {
        auto copy = std::make_unique<TempFile>(to.folder, safetyName, QStringLiteral("safety"), safetyAction);
        Fs::reserve(copy->fd(), targetSize, copy->path(), safetyAction, true);
        ahead = std::make_unique<Dao::CopyAhead>(to, DatabaseFile::isInWalMode(targetFd.get(), target), std::move(copy),
                                                 safetyAction);
    }
    // In place, the journal may hold as much as the target, beside the safety copy.
    const qint64 extra = copySafety ? targetSize * (inPlace && !ahead ? 2 : 1) : 0;
    const qint64 total = source.status.size + (copySafety ? targetSize : 0) + (inPlace ? source.status.size : 0);
    // The bar never goes back, though the copy made ahead may have to be made again.
    qint64 shown = 0;
    const auto show = [&](qint64 done) {
        shown = std::max(shown, done);
        observer.report(shown, total);
    };
    const auto aheadCopied = [&] { return ahead ? std::min(ahead->copied(), targetSize) : 0; };

    if (inPlace) {
        // The backup is decompressed on a thread of its own while the target is copied, locked and
        // written: a page is written once the staged file holds it, and the write commits only once
        // the whole backup has been read and verified. Written in place, the staged file is only
        // read back: its own durability does not count (a run stopped in the middle removes it).
        Staging staging(
            [&](const std::function<void(qint64)> &progress, std::atomic<qint64> *written) {
                stage(source, from, staged, extra, action, progress, written);
            },
            action);
        qint64 copiedAgain = 0, written = 0;
        const auto tick = [&] {
            show(std::min(staging.read(), source.status.size) + std::max(aheadCopied(), copiedAgain) + written);
        };
        constexpr qint64 whole = std::numeric_limits<qint64>::max();
        // The header: the target keeps its own journal mode, so the staged header must not switch
        // it (written into a database in write-ahead-log mode, SQLite marks it so itself), and such
        // a database takes content of its own page size only.
        tick();
        staging.waitFor(100, tick);
        const quint64 stagedPageSize = DatabaseFile::pageSize(staged.fd(), staged.path());
        staging.waitFor(qint64(stagedPageSize), tick); // the whole first page
        DatabaseFile::markRollbackJournalMode(staged.fd(), staged.path());
        if (DatabaseFile::isInWalMode(targetFd.get(), target)) {
            const quint64 pageSize = DatabaseFile::pageSize(targetFd.get(), target);
            if (stagedPageSize != pageSize) {
                staging.waitFor(whole, tick);
                matchPageSize(staged, pageSize, action);
            }
        }
        std::unique_ptr<TempFile> copy;
        if (ahead)
            copy = ahead->wait(tick);
        Stop::check(action);
        const Fs::Status stagedStatus = Fs::statusOf(staged.fd(), staged.path());
        Dao::InPlaceWrite write(to, targetFd.get(), targetStatus, Fs::Location{staged.folder(), staged.name()},
                                stagedStatus, action, staging.complete());
        try {
            write.lock();
        } catch (const Error &e) {
            // SQLite reads the staged file's header when it locks: where it finds the file
            // damaged, the staging's own check, ending meanwhile, says what is wrong with the backup.
            if (Dao::primaryCode(e.number()) == Dao::ResultCorrupt)
                staging.waitFor(whole, tick);
            throw;
        }
        // The copy made ahead stands for the target only if nobody has committed since; else the
        // target is copied again, as it stands under the lock.
        if (!copy || !ahead->stillCurrent(targetFd.get(), write.wal())) {
            copy.reset();
            copy = std::make_unique<TempFile>(to.folder, safetyName, QStringLiteral("safety"), safetyAction);
            write.copyCurrentInto(*copy, [&](qint64 done, qint64) {
                copiedAgain = std::min(done, targetSize);
                tick();
            });
        }
        ahead.reset();
        copy->giveAccessOf(targetFd.get(), targetStatus);
        // The write counts the pages of the content, which the bar counts as the backup's bytes.
        // Before its commit the backup has been verified whole and the safety copy is in place.
        write.write(
            [&](qint64 done, qint64 all) {
                written = shareOf(done, all, source.status.size);
                tick();
            },
            [&] {
                staging.waitFor(whole, tick);
                // Written into a file that its folder no longer holds, the restore would be lost.
                if (!to.status().sameFile(targetStatus))
                    throw Error::fromErrno(ENOENT, action + QStringLiteral(": ") + quotedPath(target) +
                                                       QStringLiteral(" was removed while it was being restored"));
                copy->commit();
            },
            [&] { return staging.available(); });
        observer.report(total, total);
        return;
    }

    stage(source, from, staged, extra, action, [&](qint64 done) { show(done); });
    staged.sync();
    Stop::check(action);
    const auto report = [&](qint64 done) { show(source.status.size + done); };

    if (copySafety) {
        Files::copyData(targetFd.get(), target, safety->fd(), safetyPath, safetyAction, report);
        safety->giveAccessOf(targetFd.get(), targetStatus);
        safety->sync();
    }
    // The restored database has the access of the file it replaces, or of the backup it came from.
    if (replacing)
        staged.giveAccessOf(targetFd.get(), targetStatus);
    else
        staged.giveAccessOf(source.fd.get(), source.status);
    const auto changed = [&] {
        return Error(EBUSY, quotedPath(target) +
                                QStringLiteral(" was changed by another program while it was being restored; it was "
                                               "kept as it is. Close the other program and try again"));
    };
    if (watch && watch->writtenSinceStart())
        throw changed();
    // Both files are complete and on disk. From here on what is replaced is replaced whole, the
    // safety copy first, and only once nothing can refuse the replacement any more.
    targetFd.reset();
    replaceDatabase(to, [&] {
        const Fs::Status now = to.status();
        if (replacing && !now.exists())
            throw Error(ENOENT, action + QStringLiteral(": ") + quotedPath(target) +
                                    QStringLiteral(" was removed while it was being restored"));
        if (replacing ? !now.sameContentStamp(targetStatus) : now.exists())
            throw changed();
        if (safety)
            safety->commit();
        staged.commit(replacing ? TempFile::Existing::Replace : TempFile::Existing::Refuse);
    });
    observer.report(total, total);
}

} // namespace Operations
