#pragma once

#include "platform/errors.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <sqlite3.h>

// The SQLite handles behind the database engine and the plain-words errors made from them.
namespace Dao {

struct ConnectionCloser {
    // close_v2 defers the close until the last statement of the connection is finalised, so a
    // recordset that outlives its database never uses a freed handle.
    void operator()(sqlite3 *db) const noexcept { sqlite3_close_v2(db); }
};
struct StatementFinaliser {
    void operator()(sqlite3_stmt *stmt) const noexcept { sqlite3_finalize(stmt); }
};
using ConnectionPtr = std::unique_ptr<sqlite3, ConnectionCloser>;
using SharedConnection = std::shared_ptr<sqlite3>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinaliser>;

// The path as SQLite takes it. This SQLite reads names that start with "file:" as URIs; such a
// relative name gets "./" in front so that it stays a plain file name ("?", "#" and "%" then
// are plain characters too). Refuses an empty path and one with a NUL character.
QByteArray sqlitePath(const QString &path, const QString &action);

// A description of what went wrong, in plain words: the cause of extended result code rc, given
// the errno of the failing system call (0 when unknown) and SQLite's own message.
QString describeFailure(int rc, int systemErrno, const char *sqliteMessage);

// An Error numbered with the extended result code of the last failure on db.
[[nodiscard]] Error connectionError(sqlite3 *db, int rc, const QString &action);

// An Error for a failure of the file services (errno numbered) met while doing an engine job:
// renumbered with the SQLite result code of the same kind, description kept.
[[nodiscard]] Error fileError(const Error &error);

// Opens the database file at path with flags (SQLITE_OPEN_READWRITE or SQLITE_OPEN_READONLY, and
// SQLITE_OPEN_CREATE to create it), with what every connection of this program has: a symbolic
// link anywhere in path is refused (so path must be one without links, see Fs::resolve), the
// schema is not trusted to run functions with side effects or to reach into the file's own
// pages (a restore may put any file in place), and the engine keeps the database's structure
// from being changed by SQL.
[[nodiscard]] ConnectionPtr openRaw(const QString &path, int flags, const QString &action, const char *vfs = nullptr);

// The name of a file system layer for SQLite that is the usual one, but for this: a rollback
// journal or a write-ahead log that already exists is opened without asking to create it. SQLite
// syncs the folder after it opens a journal or log "to create", and passes over a failure of
// that sync; a connection on this layer relies instead on the caller, who makes the journal or
// log and syncs the folder itself, failures reported.
const char *journalMadeByCallerVfs();

// Opens an existing database file as openRaw does (never creates one) and waits up to
// busyTimeoutMs for other programs' locks; reads nothing of the file yet.
[[nodiscard]] ConnectionPtr openWaiting(const QString &path, int flags, int busyTimeoutMs, const QString &action,
                                        const char *vfs = nullptr);

// Opens as openWaiting does, and reads the schema so that a file that is not a database, or is
// empty, is refused here and not at the first query.
[[nodiscard]] ConnectionPtr openConnection(const QString &path, int flags, int busyTimeoutMs, const QString &action,
                                           const char *vfs = nullptr);

// Whether the connection's main database is the file of status expected, which name in folder
// names: SQLite opens by name, so another account that can write the folder might have put
// another file under the name at that moment. Throws EBUSY naming path when it is not.
void requireOpenOn(sqlite3 *db, int folderFd, const QString &name, quint64 device, quint64 inode, const QString &path,
                   const QString &action);

// Prepares one statement of sql; refuses text that holds a second statement.
[[nodiscard]] StatementPtr prepare(sqlite3 *db, const QString &sql, const QString &action);

} // namespace Dao
