#pragma once

#include "platform/dao/connection.h"
#include "platform/fs/folder.h"
#include "platform/fs/tempfile.h"

#include <QString>

#include <functional>

// Writing new content into a database file that others share, through SQLite itself: the file
// keeps its owner, group, mode, access list, extended attributes and other names, and the
// connections that other programs keep open to it see the new content at their next transaction
// and lose no commit of theirs, since SQLite's own locks and journal guard the write.
namespace Operations {

using ByteProgress = std::function<void(qint64 done, qint64 total)>;

// Copies the state that the connection source sees (in the read transaction it holds, if any)
// into the empty temporary file copy with SQLite's backup API. copy gets no journal and no syncs
// of SQLite's: the caller syncs it before it counts.
void copyDatabaseInto(sqlite3 *source, TempFile &copy, const QString &action, const ByteProgress &progress = {});

class InPlaceWrite {
public:
    // Opens target (whose file, of status targetStatus, the caller holds open on targetFd for as
    // long as this object lives) for writing and the database file source (a file of status
    // sourceStatus that nobody else writes) for reading. Throws EACCES when this account may not
    // write target, EBUSY when a name no longer names the file expected.
    InPlaceWrite(const Fs::Location &target, int targetFd, const Fs::Status &targetStatus, const Fs::Location &source,
                 const Fs::Status &sourceStatus, const QString &action);
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
    void copyCurrentInto(TempFile &copy, const ByteProgress &progress = {});

    // After lock(): writes every page of source into target and commits, under SQLite's journal; reports the
    // bytes written. beforeCommit, when given, runs once every page but the last is written: if
    // it throws, nothing is committed and target stays as it was. Stops (ECANCELED, target as it
    // was) when the program is asked to end.
    void write(const ByteProgress &progress = {}, const std::function<void()> &beforeCommit = {});

private:
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
};

} // namespace Operations
