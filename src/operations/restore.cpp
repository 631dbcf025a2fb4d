#include "operations/restore.h"

#include "operations/hiddenfile.h"
#include "operations/replacement.h"
#include "platform/errors.h"
#include "platform/files.h"

#include <cerrno>

namespace Operations {

namespace {

void requireTarget(const QString &target)
{
    if (target.isEmpty())
        throw Error(ENOENT, QStringLiteral("Cannot restore: no file to restore to was named"));
}

} // namespace

void checkRestoreTarget(const QString &target)
{
    requireTarget(target);
    if (Files::exists(target))
        refuseReadOnly(target);
    ensureNotInUse(target);
}

void makeSafetyCopy(const QString &target, const QString &safetyCopy)
{
    removeStaleLeftovers({safetyCopy});
    if (Files::exists(target))
        Files::copy(target, safetyCopy);
}

void restoreInto(const QString &backupFile, const QString &target, Compressor &compressor)
{
    requireTarget(target);
    if (Files::sameFile(backupFile, target))
        throw Error(ErrorNumber::InvalidArgument,
                    quotedPath(backupFile) +
                        QStringLiteral(" cannot be both the backup to read and the file to restore"));
    removeStaleLeftovers({target});
    // Created with the default permissions; the replacement gives it those of the file it replaces.
    const HiddenFile staged(target, QStringLiteral("restore"), 0666,
                            QStringLiteral("Cannot restore ") + quotedPath(backupFile) + QStringLiteral(" to ") +
                                quotedPath(target));
    try {
        compressor.decompress(backupFile, staged.path());
    } catch (const Error &e) {
        // The hidden file is ours alone; the user knows the file that the restore was writing.
        throw Error(e.number(), QString(e.description()).replace(quotedPath(staged.path()), quotedPath(target)));
    }
    replaceDatabase(target, [&] { Files::replace(staged.path(), target); });
}

void restore(const QString &backupFile, const QString &target, const QString &safetyCopy, Compressor &compressor)
{
    checkRestoreTarget(target);
    makeSafetyCopy(target, safetyCopy);
    if (!Files::exists(backupFile))
        throw Error(ENOENT, backupFile + QStringLiteral(" not found."));
    restoreInto(backupFile, target, compressor);
}

} // namespace Operations
