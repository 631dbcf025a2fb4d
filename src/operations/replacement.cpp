#include "operations/replacement.h"

#include "operations/paths.h"
#include "platform/dao/databasefile.h"
#include "platform/dao/dbengine.h"
#include "platform/errors.h"
#include "platform/fs/files.h"
#include "platform/inuse/inuse.h"

#include <QCoreApplication>

#include <cerrno>
#include <memory>
#include <optional>

namespace Operations {
namespace {

// Long enough to ride over another program's single short transaction, short enough not to
// keep the user waiting when a program holds the database open.
constexpr int GuardBusyTimeoutMs = 1000;

QString pidList(const QList<qint64> &pids)
{
    QStringList texts;
    for (qint64 pid : pids)
        texts.append(QString::number(pid));
    return texts.join(QStringLiteral(", "));
}

Error inUse(const QString &path, const QString &who)
{
    return Error(EBUSY, quotedPath(path) + QStringLiteral(" is in use by ") + who +
                            QStringLiteral("; close it and try again"));
}

// Throws when a process holds path or one of its companions open.
void refuseOpenFiles(const QString &path)
{
    QStringList files = Paths::companions(path);
    files.prepend(path);
    QList<qint64> pids = InUse::processesUsing(files);
    if (pids.isEmpty())
        return;
    const qint64 self = QCoreApplication::applicationPid();
    if (pids == QList<qint64>{self})
        throw inUse(path, QStringLiteral("another connection of this program"));
    pids.removeAll(self);
    throw inUse(path, QStringLiteral("another program (process ") + pidList(pids) + QLatin1Char(')'));
}

// SQLite's exclusive lock on a database, held until release(). Taking it rolls back a hot
// journal; in write-ahead-log mode the log is first checkpointed into the file and emptied.
class DatabaseLock {
public:
    explicit DatabaseLock(const QString &path) : path_(path)
    {
        const QString action = QStringLiteral("Cannot lock database ") + quotedPath(path);
        try {
            db_ = Dao::openWaiting(path, Dao::OpenReadWrite, GuardBusyTimeoutMs, action);
            // In write-ahead-log mode a connection that merely has the database open holds a
            // shared lock on it; exclusive locking mode, set before the first read, asks for the
            // exclusive lock instead and so finds such a connection too. (In rollback-journal
            // mode an idle connection holds no lock at all; the open-files check finds it.)
            if (DatabaseFile::isInWalMode(path))
                Dao::exec(db_.get(), QStringLiteral("PRAGMA locking_mode = EXCLUSIVE"), action);
            wal_ = DatabaseFile::journalMode(db_.get(), action) == QLatin1String("wal");
            if (wal_) {
                // Columns: busy, frames in the log, frames checkpointed. Busy means a reader or
                // writer kept the checkpoint from finishing.
                if (Dao::queryText(db_.get(), QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"), action) !=
                    QLatin1String("0"))
                    throw Error(Dao::ResultBusy, action);
            }
            exclusive_.emplace(db_.get(), QStringLiteral("BEGIN EXCLUSIVE"), action);
        } catch (const Error &e) {
            release();
            if (Dao::isBusy(e.number()))
                throw inUse(path, QStringLiteral("another program (it is locked)"));
            throw;
        }
    }
    ~DatabaseLock() { release(); }
    DatabaseLock(const DatabaseLock &) = delete;
    DatabaseLock &operator=(const DatabaseLock &) = delete;

    bool wal() const { return wal_; }

    // Ends the (empty) transaction and closes the connection. In rollback-journal mode this
    // touches no file but the database itself, whose lock it drops.
    void release() noexcept
    {
        if (!db_)
            return;
        exclusive_.reset();
        db_.reset();
    }

private:
    QString path_;
    Dao::ConnectionPtr db_;
    std::optional<Dao::Transaction> exclusive_;
    bool wal_ = false;
};

// Takes the lock on an SQLite database; null for a missing file or one that is not a
// database or too damaged to open as one (those get only the open-files check). Throws when
// the database is in use.
std::unique_ptr<DatabaseLock> lockIfDatabase(const QString &path)
{
    std::unique_ptr<DatabaseLock> lock;
    if (!DatabaseFile::isSqliteDatabase(path))
        return lock;
    try {
        lock = std::make_unique<DatabaseLock>(path);
    } catch (const Error &e) {
        if (e.number() == EBUSY)
            throw;
        // Damaged or unreadable as a database: replace it as plain bytes. Any journal beside
        // it is removed before the new file is put in place.
    }
    return lock;
}

void removeCompanions(const Fs::Location &file)
{
    for (const QString &companion : Paths::companions(file.name)) {
        const int err = file.folder.remove(companion);
        // A read-only file system refuses to delete even a file that is not there (EROFS): only
        // a companion that exists is worth a message.
        if (err == 0 || err == ENOENT || !file.folder.status(companion).exists())
            continue;
        throw Error::fromErrno(err, QStringLiteral("Cannot delete ") + quotedPath(file.folder.pathOf(companion)));
    }
    file.folder.sync();
}

} // namespace

void ensureNotInUse(const QString &path)
{
    if (path.isEmpty())
        return; // names no file: nothing to be in use
    ensureNotInUse(Fs::resolve(path, QStringLiteral("Cannot look at ") + quotedPath(path)));
}

void ensureNotInUse(const Fs::Location &file)
{
    const QString path = file.path();
    refuseOpenFiles(path);
    const std::unique_ptr<DatabaseLock> lock = lockIfDatabase(path);
}

void refuseReadOnly(const Fs::Location &file, const Fs::Status &status)
{
    if (!status.isRegular())
        return;
    if ((status.mode & 0222) == 0)
        throw Error(EACCES, QStringLiteral("Cannot delete ") + quotedPath(file.path()) +
                                QStringLiteral(": the file is read-only"));
    if (const int err = file.folder.writeAccess(file.name); err != 0)
        throw Error::fromErrno(err, QStringLiteral("Cannot change ") + quotedPath(file.path()) +
                                        (err == EACCES || err == EPERM || err == EROFS
                                             ? QStringLiteral(", which this account may read; nothing was changed")
                                             : QString()));
}

void replaceDatabase(const Fs::Location &file, const std::function<void()> &putInPlace)
{
    const QString target = file.path();
    refuseOpenFiles(target);
    std::unique_ptr<DatabaseLock> lock = lockIfDatabase(target);
    if (lock && lock->wal()) {
        // Closing a connection in write-ahead-log mode checkpoints and deletes the log by its
        // name: that must happen now, never after the new file has taken the name. Then look
        // again for anyone who came meanwhile.
        lock.reset();
        refuseOpenFiles(target);
    }
    // Under the lock (rollback-journal mode) nobody can have started a journal since the checks.
    removeCompanions(file);
    putInPlace();
}

WriteWatch::WriteWatch(const Fs::Location &file, int fd) : file_(file), fd_(fd)
{
    // The counter first: a commit between it and the connection's first look moves the counter.
    counter_ = counter();
    stamp_ = file.status();
    const QString action = QStringLiteral("Cannot read ") + quotedPath(file.path());
    try {
        db_ = Dao::openConnection(file.path(), Dao::OpenReadOnly, DBEngine::defaultBusyTimeoutMs, action);
        version_ = dataVersion();
    } catch (const Error &e) {
        // A file that SQLite cannot read as a database (a damaged one, which a restore is there to
        // mend) has no data version: its counter and its stamp still tell a write.
        if (!DatabaseFile::isDamagedDatabase(e))
            throw;
        db_.reset();
    }
}

bool WriteWatch::writtenSinceStart()
{
    if (!db_)
        return false;
    const bool written = dataVersion() != version_;
    db_.reset();
    return written;
}

bool WriteWatch::counterChanged() const
{
    return counter() != counter_;
}

bool WriteWatch::fileChanged() const
{
    return !file_.status().sameContentStamp(stamp_);
}

QString WriteWatch::dataVersion()
{
    return Dao::queryText(db_.get(), QStringLiteral("PRAGMA data_version"),
                          QStringLiteral("Cannot read ") + quotedPath(file_.path()));
}

QByteArray WriteWatch::counter() const
{
    char bytes[4] = {};
    if (Fs::readAt(fd_, bytes, 4, 24, file_.path()) != 4)
        return {};
    return QByteArray(bytes, 4);
}

} // namespace Operations
