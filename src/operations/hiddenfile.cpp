#include "operations/hiddenfile.h"

#include "platform/errors.h"
#include "platform/files.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace Operations {

HiddenFile::HiddenFile(const QString &beside, const QString &purpose, mode_t mode, const QString &action)
{
    const qsizetype sep = Files::lastSeparator(beside);
    const QString folder = beside.left(sep + 1);
    const QString name = beside.mid(sep + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate = folder + QLatin1Char('.') + name + QLatin1Char('.') + purpose + QLatin1Char('-') +
                                  QString::number(QRandomGenerator::global()->generate64() & 0xffffffffffULL, 36);
        const int fd = ::open(QFile::encodeName(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            ::close(fd);
            path_ = candidate;
            return;
        }
        if (errno != EEXIST)
            throw Error::fromErrno(errno, action + QStringLiteral(": cannot create a file in ") +
                                              quotedPath(folder.isEmpty() ? QStringLiteral(".")
                                                         : folder.size() == 1 ? folder
                                                                              : folder.chopped(1)));
    }
    throw Error(EEXIST, action + QStringLiteral(": no free temporary name beside ") + quotedPath(beside));
}

HiddenFile::~HiddenFile()
{
    for (const QString &file : {path_, path_ + QStringLiteral("-journal")})
        ::unlink(QFile::encodeName(file).constData());
}

} // namespace Operations
