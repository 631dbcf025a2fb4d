#pragma once

#include "platform/dao/connection.h"

#include <QMap>
#include <QString>
#include <QStringList>

// What the operations read of a database file through SQLite.
namespace DatabaseFile {

// Whether path names a file that starts with the SQLite database header. False for a missing,
// unreadable or shorter file: such a file is handled as plain bytes.
[[nodiscard]] bool isSqliteDatabase(const QString &path);

// Refuses (Error BadFileFormat) the file open on fd unless it is an SQLite database as far as
// cheap and certain checks tell: the header, a valid page size, at least one page, and no fewer
// pages than the header counts. A database damaged further in still passes. source names the
// file the content came from, in the message.
void requireDatabaseImage(int fd, const QString &source);

// Whether the file open on fd starts with the SQLite database header.
[[nodiscard]] bool isSqliteDatabase(int fd);

// Whether e is SQLite's refusal of a file that it cannot read as a database: one damaged past
// its header (which a backup keeps and a restore mends), or no database at all.
[[nodiscard]] bool isDamagedDatabase(const Error &e);

// Refuses (Error BadFileFormat) content of size bytes that starts with head (n bytes of it)
// unless it is an SQLite database as far as its first page tells: the header, a valid page size,
// a whole number of pages, and as many as the header counts. source names the backup.
void requireDatabaseStart(const char *head, std::size_t n, quint64 size, const QString &source);

// Whether the header of the database file at path (or open on fd) marks it as being in
// write-ahead-log mode.
[[nodiscard]] bool isInWalMode(const QString &path);
[[nodiscard]] bool isInWalMode(int fd, const QString &path);

// The page size that the header of the database file open on fd gives (0 when it gives none).
[[nodiscard]] quint64 pageSize(int fd, const QString &path);

// Marks the database file open on fd as one in rollback-journal mode (the header's file format
// versions), as a copy that will be written into a database in that mode must be.
void markRollbackJournalMode(int fd, const QString &path);

// The journal mode of the open database, lower case: "delete", "wal", "truncate", ...
[[nodiscard]] QString journalMode(sqlite3 *db, const QString &action);

// The names of the ordinary tables (virtual tables left out), sorted.
[[nodiscard]] QStringList ordinaryTables(sqlite3 *db, const QString &action);

// name as one SQL identifier: in double quotes, any double quote in it doubled (a name cannot
// be bound as a value).
[[nodiscard]] QString quotedName(QString name);

// The rows of every ordinary table (virtual tables left out: their data lives in ordinary
// shadow tables, which are counted), by table name, read in one transaction.
[[nodiscard]] QMap<QString, qint64> tableRowCounts(sqlite3 *db, const QString &action);

// A digest of what the database holds: its schema, its user version and application id, and
// every row of every ordinary table in storage order (virtual tables left out, their shadow
// tables counted). A compacted copy has the digest of the database it was made from.
[[nodiscard]] QByteArray contentDigest(sqlite3 *db, const QString &action);

// What PRAGMA integrity_check finds wrong: empty when the database is sound.
[[nodiscard]] QStringList integrityProblems(sqlite3 *db, const QString &action);

} // namespace DatabaseFile
