#include "operations/backup.h"

#include "operations/databasefile.h"
#include "operations/hiddenfile.h"
#include "platform/dao/dbengine.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace Operations {
namespace {

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
    // Both files named: a snapshot that cannot be written fails for want of room beside backupFile.
    const QString action =
        QStringLiteral("Cannot back up ") + quotedPath(source) + QStringLiteral(" to ") + quotedPath(backupFile);
    // The compressor refuses this too, but in write-ahead-log mode it would only see the snapshot.
    if (Files::sameFile(source, backupFile))
        throw Error(ErrorNumber::InvalidArgument,
                    quotedPath(source) + QStringLiteral(" cannot be both the file to read and the file to write"));
    removeStaleLeftovers({backupFile});
    if (!DatabaseFile::isSqliteDatabase(source)) {
        compressor.compress(source, backupFile);
        return;
    }

    // Read-write, so that a journal left by a stopped writer can be rolled back before reading;
    // a write-protected file opens read-only.
    Dao::ConnectionPtr db = Dao::openConnection(source, SQLITE_OPEN_READWRITE, DBEngine::defaultBusyTimeoutMs, action);
    if (DatabaseFile::journalMode(db.get(), action) == QLatin1String("wal")) {
        const HiddenFile copy(backupFile, QStringLiteral("snapshot"), 0600, action);
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
