#include "operations/hiddenfile.h"

#include "platform/errors.h"
#include "platform/files.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
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

void removeStaleLeftovers(const QStringList &paths) noexcept
{
    // The names to look for, by folder, so that each folder is listed once.
    QMap<QString, QStringList> names;
    for (const QString &path : paths) {
        const qsizetype sep = Files::lastSeparator(path);
        if (sep + 1 < path.size())
            names[sep < 0 ? QStringLiteral(".") : path.left(qMax<qsizetype>(sep, 1))]
                << QRegularExpression::escape(path.mid(sep + 1));
    }
    const std::time_t dayAgo = std::time(nullptr) - 24 * 60 * 60;
    for (auto it = names.cbegin(); it != names.cend(); ++it) {
        // ".NAME.tmp-TAG" (a replacement's temporary file), ".NAME.restore-TAG" and
        // ".NAME.snapshot-TAG" (hidden files), with "-journal" or, for the temporary file of a
        // hidden file, another "." before it and ".tmp-TAG" after it.
        const QRegularExpression leftover(
            QStringLiteral("^\\.{1,2}(?:") + it.value().join(QLatin1Char('|')) +
            QStringLiteral(")\\.(?:tmp|restore|snapshot)-[0-9a-z]+(?:-journal|\\.tmp-[0-9a-z]+)?$"));
        for (const QString &entry : QDir(it.key()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System)) {
            if (!leftover.match(entry).hasMatch())
                continue;
            const QByteArray file = QFile::encodeName(it.key() + QLatin1Char('/') + entry);
            struct stat st;
            if (::lstat(file.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime < dayAgo)
                ::unlink(file.constData());
        }
    }
}

} // namespace Operations
