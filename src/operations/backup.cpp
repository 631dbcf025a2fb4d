#include "operations/backup.h"

#include "operations/databasefile.h"
#include "platform/dao/dbengine.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stop.h"
#include "platform/tempfile.h"
#include "platform/zlibtool/compressionengine.h"

namespace Operations {
namespace {

// Pages copied by one step of the snapshot: small enough for the progress bar and a request to
// stop to be seen often.
constexpr int SnapshotStepPages = 1024;

// Copies the state that the read transaction open on source sees into the empty file target,
// reporting progress as bytes copied, out of twice the database's size (the compression of the
// snapshot is the second half).
void snapshot(sqlite3 *source, const QString &target, const QString &action, const Observer &observer)
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
    // The source's read transaction stays open between the steps, so every step reads the same
    // state of the database.
    const qint64 pageSize = DatabaseFile::queryText(source, QStringLiteral("PRAGMA page_size"), action).toLongLong();
    int step;
    do {
        step = sqlite3_backup_step(backup, SnapshotStepPages);
        const qint64 total = qint64(sqlite3_backup_pagecount(backup)) * pageSize;
        observer.report(total - qint64(sqlite3_backup_remaining(backup)) * pageSize, 2 * total);
        if (Stop::requested())
            break;
    } while (step == SQLITE_OK || step == SQLITE_BUSY || step == SQLITE_LOCKED);
    sqlite3_backup_finish(backup);
    Stop::check(action);
    if (step != SQLITE_DONE)
        throw Dao::connectionError(step == SQLITE_BUSY || step == SQLITE_LOCKED ? source : copy.get(), step, action);
}

} // namespace

void backUp(const QString &source, const QString &backupFile, const Observer &observer)
{
    requireExisting(source);
    // Both files named: a snapshot that cannot be written fails for want of room beside backupFile.
    const QString action =
        QStringLiteral("Cannot back up ") + quotedPath(source) + QStringLiteral(" to ") + quotedPath(backupFile);
    // The compression refuses this too, but in write-ahead-log mode it would only see the snapshot.
    if (Files::sameFile(source, backupFile))
        throw Error(ErrorNumber::InvalidArgument,
                    quotedPath(source) + QStringLiteral(" cannot be both the file to read and the file to write"));
    if (!DatabaseFile::isSqliteDatabase(source))
        throw Error(ErrorNumber::BadFileFormat,
                    action + QStringLiteral(": it is not a database (it does not begin with the SQLite header), so "
                                            "its backup could never be restored"));
    observer.begin();
    TempFiles::removeStale({backupFile});

    // Read-write, so that a journal left by a stopped writer can be rolled back before reading;
    // a write-protected file opens read-only.
    Dao::ConnectionPtr db;
    try {
        db = Dao::openConnection(source, SQLITE_OPEN_READWRITE, DBEngine::defaultBusyTimeoutMs, action);
    } catch (const Error &e) {
        const long code = e.number() & 0xff;
        if (code != SQLITE_CORRUPT && code != SQLITE_NOTADB)
            throw;
        // Damaged past its header: kept as it is, since it may be all the operator has.
        CompressionEngine::compressFile(source, backupFile, observer.progress);
        return;
    }
    DatabaseFile::exec(db.get(), QStringLiteral("BEGIN"), action);
    (void)DatabaseFile::queryText(db.get(), QStringLiteral("SELECT count(*) FROM sqlite_master"), action);
    if (DatabaseFile::journalMode(db.get(), action) == QLatin1String("wal")) {
        const TempFile copy(backupFile, QStringLiteral("snapshot"), action, 0600);
        snapshot(db.get(), copy.path(), action, observer);
        db.reset();
        CompressionEngine::compressFile(copy.path(), backupFile, [&](qint64 done, qint64 total) {
            observer.report(total + done, 2 * total);
        });
        return;
    }

    // The shared lock of this read transaction keeps writers from committing while the file is
    // compressed. The compression opens the file once and closes it only after its last read;
    // that close drops this process's locks on the file (POSIX locks belong to the process and
    // file, not the descriptor), which is harmless then: the reading is over.
    CompressionEngine::compressFile(source, backupFile, observer.progress);
    sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

} // namespace Operations
