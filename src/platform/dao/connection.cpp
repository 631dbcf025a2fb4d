#include "platform/dao/connection.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

namespace Dao {

static_assert(OpenReadOnly == SQLITE_OPEN_READONLY && OpenReadWrite == SQLITE_OPEN_READWRITE &&
              OpenCreate == SQLITE_OPEN_CREATE);
static_assert(ResultError == SQLITE_ERROR && ResultBusy == SQLITE_BUSY && ResultLocked == SQLITE_LOCKED &&
              ResultIoErr == SQLITE_IOERR && ResultCorrupt == SQLITE_CORRUPT);

void ConnectionCloser::operator()(sqlite3 *db) const noexcept
{
    sqlite3_close_v2(db);
}

void StatementFinaliser::operator()(sqlite3_stmt *stmt) const noexcept
{
    sqlite3_finalize(stmt);
}

namespace {

QString systemCause(int systemErrno)
{
    return QString::fromLocal8Bit(std::strerror(systemErrno));
}

QString cannotOpenCause(int systemErrno)
{
    switch (systemErrno) {
    case ENOENT:
        return QStringLiteral("the file does not exist");
    case EISDIR:
        return QStringLiteral("it is a folder");
    case ENOTDIR:
        return QStringLiteral("a part of the path is not a folder");
    case EACCES:
    case EPERM:
        return QStringLiteral("permission denied");
    case EROFS:
        return QStringLiteral("the file system is read-only");
    case 0:
        return QStringLiteral("the file cannot be opened");
    default:
        return QStringLiteral("the file cannot be opened (") + systemCause(systemErrno) + QLatin1Char(')');
    }
}

} // namespace

QByteArray sqlitePath(const QString &path, const QString &action)
{
    if (path.isEmpty())
        throw Error(SQLITE_CANTOPEN, action + QStringLiteral(": the path is empty"));
    if (path.contains(QChar(0)))
        throw Error(SQLITE_CANTOPEN, action + QStringLiteral(": the path contains a NUL character"));
    QByteArray native = QFile::encodeName(path);
    if (native.left(5).compare("file:", Qt::CaseInsensitive) == 0)
        native.prepend("./");
    return native;
}

QString describeFailure(int rc, int systemErrno, const char *sqliteMessage)
{
    const QString message = QString::fromUtf8(sqliteMessage ? sqliteMessage : sqlite3_errstr(rc));
    if (systemErrno == EISDIR)
        return cannotOpenCause(systemErrno);
    switch (rc & 0xff) {
    case SQLITE_CANTOPEN:
        if (rc == SQLITE_CANTOPEN_SYMLINK)
            return QStringLiteral("it is reached through a symbolic link, which is not followed");
        return cannotOpenCause(systemErrno);
    case SQLITE_NOTADB:
        return QStringLiteral("the file is not a database");
    case SQLITE_CORRUPT:
        return QStringLiteral("the database file is damaged");
    case SQLITE_BUSY:
        return QStringLiteral("the database is locked by another program");
    case SQLITE_LOCKED:
        return QStringLiteral("the database is locked by another connection of this program");
    case SQLITE_READONLY:
        if (rc == SQLITE_READONLY_ROLLBACK)
            return QStringLiteral("a program that stopped left the database half-changed; it must be opened "
                                  "for writing once to be recovered");
        return QStringLiteral("the database is read-only");
    case SQLITE_FULL:
        return QStringLiteral("the disk is full");
    case SQLITE_IOERR:
        return systemErrno ? QStringLiteral("the file cannot be read or written (") + systemCause(systemErrno) +
                                 QLatin1Char(')')
                           : QStringLiteral("the file cannot be read or written");
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return QStringLiteral("permission denied");
    case SQLITE_NOMEM:
        return QStringLiteral("out of memory");
    default:
        return message; // SQL errors: SQLite's own words, e.g. "no such table: User"
    }
}

Error connectionError(sqlite3 *db, int rc, const QString &action)
{
    const int code = db ? sqlite3_extended_errcode(db) : rc;
    const int number = (code & 0xff) == (rc & 0xff) ? code : rc;
    return Error(number,
                 action + QStringLiteral(": ") +
                     describeFailure(number, db ? sqlite3_system_errno(db) : 0, db ? sqlite3_errmsg(db) : nullptr));
}

Error fileError(const Error &error)
{
    int code = SQLITE_IOERR;
    switch (error.number()) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        code = SQLITE_FULL;
        break;
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOENT:
    case ENOTDIR:
    case EISDIR:
    case EEXIST:
    case ENAMETOOLONG:
        code = SQLITE_CANTOPEN;
        break;
    default:
        break;
    }
    return Error(code, error.description());
}

namespace {

sqlite3_vfs *defaultVfs = nullptr;

int openMadeJournal(sqlite3_vfs *, const char *name, sqlite3_file *file, int flags, int *outFlags)
{
    struct stat st;
    if ((flags & (SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_WAL)) && name && ::lstat(name, &st) == 0 &&
        S_ISREG(st.st_mode))
        flags &= ~SQLITE_OPEN_CREATE;
    return defaultVfs->xOpen(defaultVfs, name, file, flags, outFlags);
}

} // namespace

const char *journalMadeByCallerVfs()
{
    static const char *const name = [] {
        static sqlite3_vfs vfs;
        defaultVfs = sqlite3_vfs_find(nullptr);
        vfs = *defaultVfs;
        vfs.zName = "tarvos-journal-made";
        vfs.pNext = nullptr;
        vfs.xOpen = openMadeJournal;
        return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK ? vfs.zName : nullptr;
    }();
    return name;
}

ConnectionPtr openRaw(const QString &path, int flags, const QString &action, const char *vfs)
{
    const QByteArray native = sqlitePath(path, action);
    // SQLite opens a folder read-only and fails only when it reads it; say what it is at once.
    struct stat st;
    if (::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        throw Error(SQLITE_CANTOPEN_ISDIR, action + QStringLiteral(": it is a folder"));
    sqlite3 *raw = nullptr;
    const int rc = sqlite3_open_v2(native.constData(), &raw, flags | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE, vfs);
    ConnectionPtr db(raw);
    if (rc != SQLITE_OK)
        throw connectionError(db.get(), rc, action);
    sqlite3_extended_result_codes(db.get(), 1);
    // Defensive: no writes to the schema table, no journal_mode=OFF games, no direct page edits.
    // Not trusted: functions with side effects and virtual tables are kept out of views,
    // triggers and the schema's defaults, which a file put in place by a restore may carry.
    int applied = 0;
    if (sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, &applied) != SQLITE_OK || applied != 1 ||
        sqlite3_db_config(db.get(), SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, &applied) != SQLITE_OK || applied != 0)
        throw Error(SQLITE_MISUSE, action + QStringLiteral(": the database engine refused its safety settings"));
    return db;
}

void requireOpenOn(sqlite3 *db, int folderFd, const QString &name, quint64 device, quint64 inode, const QString &path,
                   const QString &action)
{
    // SQLite tells whether its file is still the one the name names; the name is looked at just
    // before and just after, and must name the expected file both times.
    const QByteArray native = QFile::encodeName(name);
    const auto look = [&] { // 0: the expected file; ENOENT: nothing of that name; EBUSY: another file
        struct stat st;
        if (::fstatat(folderFd, native.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? ENOENT : EBUSY;
        return quint64(st.st_dev) == device && quint64(st.st_ino) == inode ? 0 : EBUSY;
    };
    int found = look();
    if (found == 0) {
        int moved = 1;
        const int rc = sqlite3_file_control(db, "main", SQLITE_FCNTL_HAS_MOVED, &moved);
        found = look();
        if (found == 0 && (rc != SQLITE_OK || moved != 0))
            found = EBUSY;
    }
    if (found == ENOENT)
        throw Error::fromErrno(ENOENT, action + QStringLiteral(": ") + quotedPath(path) +
                                           QStringLiteral(" was removed while it was being opened"));
    if (found != 0)
        throw Error(EBUSY, action + QStringLiteral(": ") + quotedPath(path) +
                               QStringLiteral(" was replaced by another program while it was being opened"));
}

ConnectionPtr openWaiting(const QString &path, int flags, int busyTimeoutMs, const QString &action, const char *vfs)
{
    // No SQLITE_OPEN_CREATE: a missing file is an error, and nothing is created in its place.
    ConnectionPtr db = openRaw(path, flags & ~SQLITE_OPEN_CREATE, action, vfs);
    sqlite3_busy_timeout(db.get(), busyTimeoutMs);
    return db;
}

ConnectionPtr openConnection(const QString &path, int flags, int busyTimeoutMs, const QString &action, const char *vfs)
{
    ConnectionPtr db = openWaiting(path, flags, busyTimeoutMs, action, vfs);

    // SQLite reads the file only when it first needs to; reading the schema now tells at once
    // whether this is a database, and whether another program holds it locked.
    StatementPtr check = prepare(db.get(), QStringLiteral("PRAGMA page_count"), action);
    const int step = sqlite3_step(check.get());
    if (step != SQLITE_ROW)
        throw connectionError(db.get(), step, action);
    // An empty file would pass for a new, empty database; it holds nothing of a back end.
    if (sqlite3_column_int64(check.get(), 0) == 0)
        throw Error(SQLITE_NOTADB, action + QStringLiteral(": the file is empty, not a database"));
    check.reset();
    StatementPtr schema = prepare(db.get(), QStringLiteral("SELECT count(*) FROM sqlite_master"), action);
    const int read = sqlite3_step(schema.get());
    if (read != SQLITE_ROW)
        throw connectionError(db.get(), read, action);
    return db;
}

StatementPtr prepare(sqlite3 *db, const QString &sql, const QString &action)
{
    const QByteArray text = sql.toUtf8();
    const char *tail = nullptr;
    sqlite3_stmt *raw = nullptr;
    const int rc = sqlite3_prepare_v2(db, text.constData(), int(text.size()), &raw, &tail);
    StatementPtr stmt(raw);
    if (rc != SQLITE_OK)
        throw connectionError(db, rc, action);
    if (!stmt)
        throw Error(SQLITE_MISUSE, action + QStringLiteral(": the query text is empty"));

    // Whatever follows the first statement must be blank or a comment, never a second statement.
    const char *end = text.constData() + text.size();
    if (tail && tail < end) {
        sqlite3_stmt *next = nullptr;
        const int nextRc = sqlite3_prepare_v2(db, tail, int(end - tail), &next, nullptr);
        StatementPtr second(next);
        if (nextRc != SQLITE_OK || second)
            throw Error(SQLITE_MISUSE, action + QStringLiteral(": the query text holds more than one statement"));
    }
    return stmt;
}

void exec(sqlite3 *db, const QString &sql, const QString &action)
{
    StatementPtr stmt = prepare(db, sql, action);
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE)
        throw connectionError(db, rc, action);
}

QString queryText(sqlite3 *db, const QString &sql, const QString &action)
{
    StatementPtr stmt = prepare(db, sql, action);
    const int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE)
        return QString();
    if (rc != SQLITE_ROW)
        throw connectionError(db, rc, action);
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt.get(), 0)));
}

QStringList queryColumn(sqlite3 *db, const QString &sql, const QString &action)
{
    StatementPtr stmt = prepare(db, sql, action);
    QStringList values;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW)
        values.append(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt.get(), 0))));
    if (rc != SQLITE_DONE)
        throw connectionError(db, rc, action);
    return values;
}

void forEachTextAndNumber(sqlite3 *db, const QString &sql, const QString &action,
                          const std::function<void(const QString &, qint64)> &row)
{
    StatementPtr stmt = prepare(db, sql, action);
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW)
        row(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt.get(), 0))),
            sqlite3_column_int64(stmt.get(), 1));
    if (rc != SQLITE_DONE)
        throw connectionError(db, rc, action);
}

void setDefensive(sqlite3 *db, bool on) noexcept
{
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, on ? 1 : 0, nullptr);
}

Transaction::Transaction(sqlite3 *db, const QString &begin, const QString &action) : db_(db), action_(action)
{
    exec(db_, begin, action_);
    try {
        (void)queryText(db_, QStringLiteral("SELECT count(*) FROM sqlite_master"), action_);
    } catch (...) {
        rollback();
        throw;
    }
}

void Transaction::commit()
{
    exec(db_, QStringLiteral("COMMIT"), action_);
    db_ = nullptr;
}

void Transaction::rollback() noexcept
{
    if (db_ && !sqlite3_get_autocommit(db_))
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    db_ = nullptr;
}

} // namespace Dao
