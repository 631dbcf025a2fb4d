#include "operations/restore.h"

#include "operations/replacement.h"
#include "platform/errors.h"
#include "platform/files.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
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

// A hidden name beside target for the decompressed file; whatever stands under it when this
// object goes (a restore that failed half-way) is removed.
class StagingFile {
public:
    explicit StagingFile(const QString &target)
    {
        const qsizetype sep = Files::lastSeparator(target);
        path_ = target.left(sep + 1) + QLatin1Char('.') + target.mid(sep + 1) + QStringLiteral(".restore-") +
                QString::number(QRandomGenerator::global()->generate64() & 0xffffffffffULL, 36);
    }
    ~StagingFile() { ::unlink(QFile::encodeName(path_).constData()); }
    StagingFile(const StagingFile &) = delete;
    StagingFile &operator=(const StagingFile &) = delete;
    const QString &path() const { return path_; }

private:
    QString path_;
};

} // namespace

void checkRestoreTarget(const QString &target)
{
    if (Files::exists(target))
        refuseReadOnly(target);
    ensureNotInUse(target);
}

void makeSafetyCopy(const QString &target, const QString &safetyCopy)
{
    if (Files::exists(target))
        Files::copy(target, safetyCopy);
}

void restoreInto(const QString &backupFile, const QString &target, Compressor &compressor)
{
    if (sameFile(backupFile, target))
        throw Error(ErrorNumber::InvalidArgument,
                    quotedPath(backupFile) + QStringLiteral(" cannot be both the backup to read and the file to restore"));
    const StagingFile staged(target);
    compressor.decompress(backupFile, staged.path());
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
