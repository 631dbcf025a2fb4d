#pragma once

#include "platform/dao/connection.h"
#include "platform/fs/folder.h"

#include <QString>

#include <functional>

// Replacing a database file safely. SQLite keeps its state in the database file and, beside it,
// a rollback journal or a write-ahead log with its index: replacing the file under a program
// that has it open, or next to a journal or log left from the old file, corrupts the new one.
namespace Operations {

// Makes sure that nobody uses the file at path, and leaves it holding every committed row:
// - no process (this one included) holds the file, its journal, its log or the log's index
//   open; otherwise throws Error (EBUSY) saying that the file is in use by another program;
// - for an SQLite database, takes SQLite's exclusive lock once (failing likewise when another
//   connection holds a lock), which also rolls back a journal that a stopped writer left
//   behind, and for a database in write-ahead-log mode checkpoints the log into the file and
//   empties it.
// Nothing stays open when it returns. A missing file passes; a file that is not an SQLite
// database, or is too damaged to be opened as one, gets only the first check. The path is
// resolved as Fs::resolve does.
void ensureNotInUse(const QString &path);
void ensureNotInUse(const Fs::Location &file);

// Refuses a read-only file (EACCES, "Cannot delete ...: the file is read-only"), as deleting it
// would: a replacement must not succeed where the user has write-protected the file. Refuses too
// (EACCES) a file that this account may read but not write, which a rename could still replace.
void refuseReadOnly(const Fs::Location &file, const Fs::Status &status);

// Runs putInPlace, which must put a complete new file in place of target with one rename (or a
// copy committed with one rename), while nobody uses target: checks as ensureNotInUse, removes
// the old journal, log and index beside target so that the new file never meets them, and, for
// a database in rollback-journal mode, keeps SQLite's exclusive lock on the old file until
// putInPlace has returned, so no connection can start a write to it meanwhile. Throws the
// checks' Error without calling putInPlace. Only for a file that nobody else may reach (see
// Fs::isPrivate): a rename gives the name a new file, with none of the old one's other names.
void replaceDatabase(const Fs::Location &target, const std::function<void()> &putInPlace);

// Whether another program writes to a database between two looks: SQLite's data version, which
// changes with every commit of another connection, read on one connection kept open meanwhile;
// the header's change counter, which every commit in rollback-journal mode moves; and the file's
// identity, size and time of last change.
class WriteWatch {
public:
    // Starts watching file, open on fd (held by the caller for as long as the watch lives).
    WriteWatch(const Fs::Location &file, int fd);

    // A commit since the start, by SQLite's data version; closes the watching connection, so
    // that nothing of this program holds the file any more.
    [[nodiscard]] bool writtenSinceStart();
    // A commit in rollback-journal mode since the start, by the header read through fd (no lock
    // needed, so it may be asked under this program's own exclusive lock).
    [[nodiscard]] bool counterChanged() const;
    // From the start until now: the file's identity, size and time of last change, checked
    // without opening the file (closing any descriptor of it would drop SQLite's locks on it).
    // A commit in write-ahead-log mode reaches the file when the log is emptied into it, which
    // happens before a replacement.
    [[nodiscard]] bool fileChanged() const;

private:
    QString dataVersion();
    QByteArray counter() const;

    Fs::Location file_;
    int fd_;
    QByteArray counter_;
    Fs::Status stamp_;
    Dao::ConnectionPtr db_;
    QString version_;
};

} // namespace Operations
