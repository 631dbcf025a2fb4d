#include "platform/fs/files.h"

#include "platform/errors.h"
#include "platform/fs/tempfile.h"
#include "platform/stop.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 WritebackStep = qint64(8) << 20;

} // namespace

namespace Files {

bool exists(const QString &path)
{
    if (path.isEmpty() || path.contains(QChar(0)))
        return false;
    const QString name = nameOf(path);
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        return false;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return S_ISREG(st.st_mode);
}

QString appPath()
{
    QString dir = QCoreApplication::instance()
                      ? QCoreApplication::applicationDirPath()
                      : folderOf(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath());
    while (dir.size() > 1 && isSeparator(dir.back()))
        dir.chop(1);
    return dir;
}

QChar separator()
{
    return QLatin1Char('/');
}

bool isSeparator(QChar c)
{
    return c == QLatin1Char('/');
}

qsizetype lastSeparator(const QString &path)
{
    return path.lastIndexOf(separator());
}

QString folderOf(const QString &path)
{
    const qsizetype sep = lastSeparator(path);
    if (sep < 0)
        return QString();
    return sep == 0 ? path.left(1) : path.left(sep);
}

QString nameOf(const QString &path)
{
    return path.mid(lastSeparator(path) + 1);
}

QString baseNameOf(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) : name;
}

void replace(const Fs::Location &from, int fromFd, const Fs::Location &to, int referenceFd, const Fs::Status &reference)
{
    const QString action = QStringLiteral("Cannot put ") + quotedPath(from.path()) + QStringLiteral(" in place of ") +
                           quotedPath(to.path());
    const Fs::Status target = to.status();
    if (target.isFolder())
        throw Error(EISDIR, action + QStringLiteral(": ") + quotedPath(to.path()) + QStringLiteral(" is a folder"));
    if (target.isRegular() && (target.mode & 0222) == 0)
        throw Error(EACCES, action + QStringLiteral(": ") + quotedPath(to.path()) + QStringLiteral(" is read-only"));
    const int err = from.folder.rename(from.name, to.folder, to.name, true);
    if (err == 0) {
        to.folder.sync();
        if (!to.folder.sameFolder(from.folder))
            from.folder.sync();
        return;
    }
    if (err != EXDEV)
        throw Error::fromErrno(err, action);

    TempFile out(to.folder, to.name, TempFile::Temporary, action);
    if (::lseek(fromFd, 0, SEEK_SET) != 0)
        throw Error::fromErrno(errno, action + QStringLiteral(": cannot read ") + quotedPath(from.path()));
    copyData(fromFd, from.path(), out.fd(), to.path(), action);
    out.giveAccessOf(referenceFd, reference);
    out.commit(TempFile::Existing::Replace);
    if (const int removeErr = from.folder.remove(from.name); removeErr != 0)
        throw Error::fromErrno(removeErr, action + QStringLiteral(": ") + quotedPath(to.path()) +
                                              QStringLiteral(" was replaced, but the source cannot be removed"));
    from.folder.sync();
}

void startWriteback(int fd, qint64 &flushedTo, qint64 written)
{
    if (written - flushedTo < WritebackStep)
        return;
    ::sync_file_range(fd, off_t(flushedTo), off_t(written - flushedTo), SYNC_FILE_RANGE_WRITE);
    flushedTo = written;
}

void copyData(int in, const QString &src, int out, const QString &dst, const QString &action,
              const CopyProgress &progress)
{
    const auto failed = [&](int err, bool reading) {
        return Error::fromErrno(err, action + (reading ? QStringLiteral(": cannot read ") + quotedPath(src)
                                                       : QStringLiteral(": cannot write ") + quotedPath(dst)));
    };
    qint64 copied = 0;
    qint64 flushedTo = 0;
    const auto advance = [&](qint64 n) {
        copied += n;
        startWriteback(out, flushedTo, copied);
        if (progress)
            progress(copied);
        Stop::check(action);
    };
    // copy_file_range lets the kernel copy (or share extents) without a trip through user space.
    for (;;) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t(WritebackStep), 0);
        if (n == 0)
            return;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)
                break; // not offered here: fall back to read and write
            // The call does not say which side failed: ask the source.
            const int err = errno;
            char probe;
            throw failed(err, ::pread(in, &probe, 1, off_t(copied)) < 0);
        }
        advance(n);
    }
    std::vector<char> buf(size_t(1) << 20);
    for (;;) {
        const ssize_t n = ::read(in, buf.data(), buf.size());
        if (n == 0)
            return;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw failed(errno, true);
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buf.data() + done, size_t(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                throw failed(errno, false);
            }
            done += w;
        }
        advance(n);
    }
}

} // namespace Files
