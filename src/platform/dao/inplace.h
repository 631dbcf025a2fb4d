#pragma once

#include "platform/dao/connection.h"
#include "platform/fs/folder.h"
#include "platform/fs/tempfile.h"
#include "platform/progress.h"
#include "platform/taskgroup.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

struct sqlite3_backup;

// Writing new content into a database file that others share, through SQLite itself: the file
// keeps its owner, group, mode, access list, extended attributes and other names, and the
// connections that other programs keep open to it see the new content at their next transaction
// and lose no commit of theirs, since SQLite's own locks and journal guard the write.
namespace Dao {

// Copies the state that the connection source sees (in the read transaction it holds, if any)
// into the empty temporary file copy with SQLite's backup API. copy gets no journal and no syncs
// of SQLite's: the caller syncs it before it counts.
void copyDatabaseInto(sqlite3 *source, TempFile &copy, const QString &action, const Progress &progress = {});

class InPlaceWrite {
public:
    // Opens target (whose file, of status targetStatus, the caller holds open on targetFd for as
    // long as this object lives) for writing and the database file source (a file of status
    // sourceStatus that nobody else writes) for reading. Throws EACCES when this account may not
    // write target, EBUSY when a name no longer names the file expected.
    // Where source is not complete yet (still being written, see write()), nothing of it past its
    // first page is read before the write reaches it.
    InPlaceWrite(const Fs::Location &target, int targetFd, const Fs::Status &targetStatus, const Fs::Location &source,
                 const Fs::Status &sourceStatus, const QString &action, bool sourceComplete = true);
    // A write not completed is rolled back by SQLite.
    ~InPlaceWrite();
    InPlaceWrite(const InPlaceWrite &) = delete;
    InPlaceWrite &operator=(const InPlaceWrite &) = delete;

    // Takes target's write lock (in rollback-journal mode the exclusive lock, which waits for the
    // readers to finish), waiting for the others' transactions up to a few seconds; throws EBUSY
    // saying that target is in use when they do not end. Nobody else commits to target from now
    // until the write is done.
    void lock();
    [[nodiscard]] bool wal() const { return wal_; }

    // Copies target as it stands under the lock into the empty temporary file copy: the file's
    // bytes in rollback-journal mode, where the lock keeps everyone out; in write-ahead-log mode,
    // where committed pages may still be in the log, through a reading connection of its own (the
    // lock keeps writers out, not readers). copy is then synced.
    void copyCurrentInto(TempFile &copy, const Progress &progress = {});

    // After lock(): writes every page of source into target and commits, under SQLite's journal; reports the
    // bytes written. beforeCommit, when given, runs once every page but the last is written: if
    // it throws, nothing is committed and target stays as it was. available, when given, tells
    // how many bytes at the start of source are complete (source still being written by another
    // thread): a page is read only once it is; beforeCommit must then wait for the rest. Stops
    // (ECANCELED, target as it was) when the program is asked to end.
    void write(const Progress &progress = {}, const std::function<void()> &beforeCommit = {},
               const std::function<qint64()> &available = {});

private:
    [[nodiscard]] Error failure(int rc) const;
    int finish() noexcept;
    void prepareJournal(const QString &suffix);

    Fs::Location target_;
    int targetFd_;
    Fs::Status targetStatus_;
    bool journalMade_ = false; // an empty journal made here, which SQLite has not used yet
    QString action_;
    Dao::ConnectionPtr live_;
    Dao::ConnectionPtr source_;
    sqlite3_backup *backup_ = nullptr;
    bool wal_ = false;
    bool damaged_ = false; // target cannot be read as a database: opened without its schema
};

// A copy of a shared database made ahead of the write lock, on a thread of its own, so that it
// runs beside other work (a restore's decompression): one committed state of the database, read
// in a transaction of its own (in rollback-journal mode that keeps the others from committing
// meanwhile, not from reading). Once the lock is held, stillCurrent tells whether that state is
// still the one the write replaces.
class CopyAhead {
public:
    // Starts copying target (a database in write-ahead-log mode where wal) into copy, an empty
    // temporary file, which is synced once complete.
    CopyAhead(const Fs::Location &target, bool wal, std::unique_ptr<TempFile> copy, const QString &action);
    // Stops a copy still running and waits for it.
    ~CopyAhead();
    CopyAhead(const CopyAhead &) = delete;
    CopyAhead &operator=(const CopyAhead &) = delete;

    // Bytes copied so far; may be asked from any thread.
    [[nodiscard]] qint64 copied() const { return copied_.load(); }
    // Waits for the copy, calling tick now and then meanwhile. Gives the copy, or null where its
    // read transaction could not begin (the copy made under the lock then waits or says why).
    // Throws what the copy met (a disk that fails or is full), and ECANCELED when stopped.
    [[nodiscard]] std::unique_ptr<TempFile> wait(const std::function<void()> &tick);
    // Under the write lock of target (open on targetFd, in write-ahead-log mode where wal): whether
    // nobody has committed since the copy was made.
    [[nodiscard]] bool stillCurrent(int targetFd, bool wal);

private:
    void run();
    [[nodiscard]] QByteArray header(int fd) const;

    Fs::Location target_;
    bool wal_;
    std::unique_ptr<TempFile> copy_;
    QString action_;
    std::atomic<qint64> copied_{0};
    std::atomic<bool> cancel_{false};
    bool made_ = false;
    QByteArray header_;                          // rollback-journal mode: the header's mode and change counter
    Dao::ConnectionPtr reader_;                  // write-ahead-log mode: the connection that read the copy
    QString version_;                            // and the data version it saw
    TaskGroup task_{[this] { cancel_ = true; }}; // last: it goes first, stopping the copy and waiting for it
};

} // namespace Dao
