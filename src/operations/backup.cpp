#include "operations/backup.h"

#include "operations/databasefile.h"
#include "platform/dao/dbengine.h"
#include "platform/errors.h"
#include "platform/files.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Operations {
namespace {

bool sameFile(const QString &a, const QString &b)
{
    struct stat sa, sb;
    return ::stat(QFile::encodeName(a).constData(), &sa) == 0 && ::stat(QFile::encodeName(b).constData(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// A hidden file beside path, created empty (owner-only) and deleted again with its journal when
// this object goes, whatever happens in between.
class HiddenTempFile {
public:
    HiddenTempFile(const QString &beside, const QString &purpose, const QString &action)
    {
        const qsizetype sep = Files::lastSeparator(beside);
        const QString folder = beside.left(sep + 1);
        const QString name = beside.mid(sep + 1);
        for (int attempt = 0; attempt < 100 && path_.isEmpty(); ++attempt) {
            const QString candidate = folder + QLatin1Char('.') + name + QLatin1Char('.') + purpose + QLatin1Char('-') +
                                      QString::number(QRandomGenerator::global()->generate64() & 0xffffffffffULL, 36);
            const int fd = ::open(QFile::encodeName(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                  0600);
            if (fd >= 0) {
                ::close(fd);
                path_ = candidate;
            } else if (errno != EEXIST) {
                throw Error::fromErrno(errno, action + QStringLiteral(": cannot create a temporary file in ") +
                                                  quotedPath(folder.isEmpty() ? QStringLiteral(".") : folder));
            }
        }
        if (path_.isEmpty())
            throw Error(EEXIST, action + QStringLiteral(": no free temporary name beside ") + quotedPath(beside));
    }
    ~HiddenTempFile()
    {
        for (const QString &file : {path_, path_ + QStringLiteral("-journal")})
            ::unlink(QFile::encodeName(file).constData());
    }
    HiddenTempFile(const HiddenTempFile &) = delete;
    HiddenTempFile &operator=(const HiddenTempFile &) = delete;
    const QString &path() const { return path_; }

private:
    QString path_;
};

// Copies a consistent snapshot of the database open on source into the empty file target.
void snapshot(sqlite3 *source, const QString &target, const QString &action)
{
    Dao::ConnectionPtr copy;
    {
        sqlite3 *raw = nullptr;
        const int rc = sqlite3_open_v2(Dao::sqlitePath(target, action).constData(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_EXRESCODE, nullptr);
        copy.reset(raw);
        if (rc != SQLITE_OK)
            throw Dao::connectionError(copy.get(), rc, action);
    }
    // A throw-away file: no journal, no syncs (the backup file made from it is synced).
    DatabaseFile::exec(copy.get(), QStringLiteral("PRAGMA journal_mode = OFF"), action);
    DatabaseFile::exec(copy.get(), QStringLiteral("PRAGMA synchronous = OFF"), action);
    sqlite3_backup *backup = sqlite3_backup_init(copy.get(), "main", source, "main");
    if (!backup)
        throw Dao::connectionError(copy.get(), sqlite3_errcode(copy.get()), action);
    // All pages in one step: one read transaction on the source, so one consistent state.
    const int step = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
    if (step != SQLITE_DONE)
        throw Dao::connectionError(step == SQLITE_BUSY || step == SQLITE_LOCKED ? source : copy.get(), step, action);
}

} // namespace

void backUp(const QString &source, const QString &backupFile, Compressor &compressor)
{
    const QString action = QStringLiteral("Cannot back up ") + quotedPath(source);
    // The compressor refuses this too, but in write-ahead-log mode it would only see the snapshot.
    if (sameFile(source, backupFile))
        throw Error(ErrorNumber::InvalidArgument,
                    quotedPath(source) + QStringLiteral(" cannot be both the file to read and the file to write"));
    if (!DatabaseFile::isSqliteDatabase(source)) {
        compressor.compress(source, backupFile);
        return;
    }

    // Read-write, so that a journal left by a stopped writer can be rolled back before reading;
    // a write-protected file opens read-only.
    Dao::ConnectionPtr db =
        Dao::openConnection(source, SQLITE_OPEN_READWRITE, DBEngine::defaultBusyTimeoutMs, action);
    if (DatabaseFile::journalMode(db.get(), action) == QLatin1String("wal")) {
        const HiddenTempFile copy(backupFile, QStringLiteral("snapshot"), action);
        DatabaseFile::exec(db.get(), QStringLiteral("BEGIN"), action);
        (void)DatabaseFile::queryText(db.get(), QStringLiteral("SELECT count(*) FROM sqlite_master"), action);
        snapshot(db.get(), copy.path(), action);
        db.reset();
        compressor.compress(copy.path(), backupFile);
        return;
    }

    // The shared lock of this read transaction keeps writers from committing while the
    // compressor reads. The compressor opens the file once and closes it only after its last
    // read; that close drops this process's locks on the file (POSIX locks belong to the process
    // and file, not the descriptor), which is harmless then: the reading is over.
    DatabaseFile::exec(db.get(), QStringLiteral("BEGIN"), action);
    (void)DatabaseFile::queryText(db.get(), QStringLiteral("SELECT count(*) FROM sqlite_master"), action);
    compressor.compress(source, backupFile);
    sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

} // namespace Operations
