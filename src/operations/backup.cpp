#include "operations/backup.h"

#include "platform/dao/databasefile.h"
#include "platform/dao/dbengine.h"
#include "platform/dao/inplace.h"
#include "platform/errors.h"
#include "platform/fs/tempfile.h"
#include "platform/zlibtool/compressionengine.h"

#include <cerrno>

namespace Operations {

void backUp(const QString &source, const QString &backupFile, const Observer &observer)
{
    requireExisting(source);
    // Both files named: a snapshot that cannot be written fails for want of room beside backupFile.
    const QString action =
        QStringLiteral("Cannot back up ") + quotedPath(source) + QStringLiteral(" to ") + quotedPath(backupFile);
    const Fs::Location src = Fs::resolve(source, action);
    const Fs::Location dst = Fs::resolve(backupFile, action);
    // The one descriptor the database is read through, held until the connection below has
    // closed (closing a descriptor of a database drops this process's locks on it).
    const Fs::Fd srcFd = src.folder.openForReading(src.name, action);
    const Fs::Status srcStatus = Fs::statusOf(srcFd.get(), source);
    if (dst.status().sameFile(srcStatus))
        throw Error(ErrorNumber::InvalidArgument,
                    quotedPath(source) + QStringLiteral(" cannot be both the file to read and the file to write"));
    if (!DatabaseFile::isSqliteDatabase(srcFd.get()))
        throw Error(ErrorNumber::BadFileFormat,
                    action + QStringLiteral(": it is not a database (it does not begin with the SQLite header), so "
                                            "its backup could never be restored"));
    observer.begin();
    TempFiles::removeStale(dst.folder, {dst.name});

    // The backup holds what the database holds: nobody may read it who may not read the database.
    TempFile out(dst.folder, dst.name, TempFile::Temporary, action);
    const auto compressFrom = [&](int fd, const QString &path, const Progress &progress) {
        CompressionEngine::compress(fd, path, out.fd(), dst.path(), progress);
        out.giveAccessOf(srcFd.get(), srcStatus);
        out.commit();
    };

    // Read-write, so that a journal left by a stopped writer can be rolled back before reading;
    // a write-protected file opens read-only.
    Dao::ConnectionPtr db;
    try {
        db = Dao::openConnection(src.path(), Dao::OpenReadWrite, DBEngine::defaultBusyTimeoutMs, action);
    } catch (const Error &e) {
        if (!DatabaseFile::isDamagedDatabase(e))
            throw;
        // Damaged past its header: kept as it is, since it may be all the operator has.
        compressFrom(srcFd.get(), source, observer.progress);
        return;
    }
    Dao::Transaction reading(db.get(), QStringLiteral("BEGIN"), action);
    // What is compressed is the file whose lock the read transaction holds.
    Dao::requireOpenOn(db.get(), src.folder.fd(), src.name, srcStatus.device, srcStatus.inode, src.path(), action);
    if (DatabaseFile::journalMode(db.get(), action) == QLatin1String("wal")) {
        // Committed rows may still be only in the log: a consistent snapshot is copied first, with
        // SQLite's backup API, into a hidden file beside the backup, and that is compressed.
        TempFile copy(dst.folder, dst.name, QStringLiteral("snapshot"), action);
        Dao::copyDatabaseInto(db.get(), copy, action, phaseOf(observer.progress, 0, 2));
        reading.rollback();
        db.reset();
        compressFrom(copy.fd(), copy.path(), phaseOf(observer.progress, 1, 2));
        return;
    }

    // The shared lock of this read transaction keeps writers from committing while the file is
    // compressed.
    compressFrom(srcFd.get(), source, observer.progress);
}

} // namespace Operations
