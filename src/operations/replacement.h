#pragma once

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
// database, or is too damaged to be opened as one, gets only the first check.
void ensureNotInUse(const QString &path);

// Refuses a read-only file (EACCES, "Cannot delete ...: the file is read-only"), as deleting it
// would: a replacement must not succeed where the user has write-protected the file.
void refuseReadOnly(const QString &path);

// Runs putInPlace, which must put a complete new file in place of target with one rename (or a
// copy committed with one rename), while nobody uses target: checks as ensureNotInUse, removes
// the old journal, log and index beside target so that the new file never meets them, and, for
// a database in rollback-journal mode, keeps SQLite's exclusive lock on the old file until
// putInPlace has returned, so no connection can start a write to it meanwhile. Throws the
// checks' Error without calling putInPlace.
void replaceDatabase(const QString &target, const std::function<void()> &putInPlace);

} // namespace Operations
