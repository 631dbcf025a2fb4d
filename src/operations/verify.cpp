#include "operations/verify.h"

#include "platform/dao/databasefile.h"
#include "platform/errors.h"
#include "platform/fs/folder.h"
#include "platform/zlibtool/compressionengine.h"

#include <QFile>

#include <atomic>
#include <cerrno>

namespace Operations {

void verify(const QString &backupFile, const Observer &observer)
{
    requireExisting(backupFile);
    const QString action = QStringLiteral("Cannot check ") + quotedPath(backupFile);
    const Fs::Location file = Fs::resolve(backupFile, action);
    const Fs::Fd fd = file.folder.openForReading(file.name, action);
    // The content goes to nothing: counted, not pushed to disk, since there is no disk behind it.
    QFile sink(QStringLiteral("/dev/null"));
    if (!sink.open(QIODevice::WriteOnly))
        throw Error(EIO, action + QStringLiteral(": ") + sink.errorString());
    std::atomic<qint64> written{0};
    observer.begin();
    try {
        CompressionEngine::decompress(
            fd.get(), backupFile, sink.handle(), sink.fileName(), observer.progress,
            [&](quint64 size, const char *head, std::size_t n) {
                DatabaseFile::requireDatabaseStart(head, n, size, backupFile);
            },
            &written);
    } catch (const Error &e) {
        // Every message names the backup (the place its content goes to is nothing of the user's).
        if (e.description().contains(backupFile))
            throw;
        throw Error(e.number(), action + QStringLiteral(": ") + e.description());
    }
}

bool beginsAsBackup(int fd, const QString &path)
{
    const std::optional<CompressionEngine::ContentStart> start = CompressionEngine::contentStart(fd, path, 4096);
    try {
        if (start)
            DatabaseFile::requireDatabaseStart(start->head.constData(), std::size_t(start->head.size()), start->size,
                                               path);
    } catch (const Error &) {
        return false;
    }
    return start.has_value();
}

} // namespace Operations
