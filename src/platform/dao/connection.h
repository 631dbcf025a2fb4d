#pragma once

#include "platform/errors.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

// The one way this program reaches SQLite: connections opened as every connection of the program
// must be, statements run to their end, transactions, and the plain-words errors made from SQLite's
// result codes. Only the files of this folder include SQLite's own header.
namespace Dao {

// How a connection opens the file (SQLite's own flag values).
inline constexpr int OpenReadOnly = 0x01;
inline constexpr int OpenReadWrite = 0x02;
inline constexpr int OpenCreate = 0x04;

// The result codes that callers tell apart (SQLite's primary codes: an Error made from an
// extended code holds the primary one in its low byte).
inline constexpr int ResultError = 1;
inline constexpr int ResultBusy = 5;
inline constexpr int ResultLocked = 6;
inline constexpr int ResultIoErr = 10;
inline constexpr int ResultCorrupt = 11;

// The primary result code of an Error made from SQLite's (extended) result code.
[[nodiscard]] constexpr long primaryCode(long number)
{
    return number & 0xff;
}

// Whether an Error numbered with SQLite's result code says that another connection's lock stood
// in the way.
[[nodiscard]] constexpr bool isBusy(long number)
{
    return primaryCode(number) == ResultBusy || primaryCode(number) == ResultLocked;
}

struct ConnectionCloser {
    // close_v2 defers the close until the last statement of the connection is finalised, so a
    // recordset that outlives its database never uses a freed handle.
    void operator()(sqlite3 *db) const noexcept;
};
struct StatementFinaliser {
    void operator()(sqlite3_stmt *stmt) const noexcept;
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

// Runs one statement to its end, ignoring any rows. Throws Error (SQLite result code) naming action.
void exec(sqlite3 *db, const QString &sql, const QString &action);

// The first column of the first row of sql, as text (empty when there is no row).
[[nodiscard]] QString queryText(sqlite3 *db, const QString &sql, const QString &action);

// The first column of every row of sql, as text.
[[nodiscard]] QStringList queryColumn(sqlite3 *db, const QString &sql, const QString &action);

// Calls row(values) for every row of sql, with the row's first two columns as text and number.
void forEachTextAndNumber(sqlite3 *db, const QString &sql, const QString &action,
                          const std::function<void(const QString &, qint64)> &row);

// Turns the connection's defensive setting (which forbids journal mode OFF and writes to the
// schema by SQL) off or back on.
void setDefensive(sqlite3 *db, bool on) noexcept;

// A transaction of db, begun by begin ("BEGIN", "BEGIN EXCLUSIVE", ...) and rolled back when the
// guard goes without commit(). SQLite takes a deferred transaction's snapshot and lock only at its
// first read: the guard reads the schema at once, so from its construction on a read transaction
// holds its snapshot (and in rollback-journal mode its shared lock) for as long as it lives.
class Transaction {
public:
    Transaction(sqlite3 *db, const QString &begin, const QString &action);
    ~Transaction() { rollback(); }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    void commit();
    // Ends the transaction without keeping any of it; nothing when it has ended already.
    void rollback() noexcept;

private:
    sqlite3 *db_;
    QString action_;
};

} // namespace Dao
