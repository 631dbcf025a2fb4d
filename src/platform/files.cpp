#include "platform/files.h"

#include "platform/errors.h"
#include "platform/stop.h"
#include "platform/tempfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The path in the file system's encoding; a NUL character makes it malformed.
QByteArray nativePath(const QString &path, const QString &action)
{
    if (path.isEmpty())
        throw Error(ENOENT, action + QStringLiteral(": the path is empty"));
    if (path.contains(QChar(0)))
        throw Error(EINVAL, action + QStringLiteral(": the path contains a NUL character"));
    return QFile::encodeName(path);
}

QString folderOf(const QString &path)
{
    const qsizetype sep = Files::lastSeparator(path);
    if (sep < 0)
        return QStringLiteral(".");
    if (sep == 0)
        return path.left(1);
    return path.left(sep);
}

QString fileNameOf(const QString &path)
{
    return path.mid(Files::lastSeparator(path) + 1);
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

bool isReadOnly(const struct stat &st)
{
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

constexpr off_t WritebackStep = off_t(8) << 20;

// Makes the folder's entries (a rename, a new or deleted file) durable. A folder that cannot be
// opened or a file system that cannot sync folders is passed over; a sync that fails is an error
// (the entries may be lost), never retried.
void syncFolder(const QString &folder)
{
    Fd dir(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) == 0)
        return;
    if (errno != EINVAL && errno != EROFS && errno != ENOTSUP && errno != EBADF)
        throw Error::fromErrno(errno, QStringLiteral("Cannot write the folder ") + quotedPath(folder) +
                                          QStringLiteral(" to the disk"));
}

// Copies src to a temporary file beside dst and commits it in place of dst.
void copyInto(const QString &src, const QString &dst, const QString &action)
{
    const QByteArray nsrc = nativePath(src, action);
    Fd in(::open(nsrc.constData(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        throw Error::fromErrno(errno, action + QStringLiteral(": cannot open ") + quotedPath(src));
    struct stat st;
    if (::fstat(in.get(), &st) != 0)
        throw Error::fromErrno(errno, action + QStringLiteral(": cannot read ") + quotedPath(src));
    if (S_ISDIR(st.st_mode))
        throw Error(EISDIR, action + QStringLiteral(": ") + quotedPath(src) + QStringLiteral(" is a folder"));

    (void)nativePath(dst, action);
    TempFile out(dst, TempFile::Temporary, action);
    Files::copyData(in.get(), src, out.fd(), dst, action);
    ::fchmod(out.fd(), st.st_mode & 07777);
    out.commit(TempFile::Existing::Replace);
}

// Makes a rename from one folder entry to another durable: syncs both folders, or the one.
void syncFoldersOf(const QString &from, const QString &to)
{
    syncFolder(folderOf(to));
    if (folderOf(to) != folderOf(from))
        syncFolder(folderOf(from));
}

} // namespace

namespace Files {

bool exists(const QString &path)
{
    if (path.isEmpty() || path.contains(QChar(0)))
        return false;
    const QString name = fileNameOf(path);
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        return false;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return S_ISREG(st.st_mode);
}

bool isPlainName(const QString &path)
{
    struct stat st;
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool sameFile(const QString &a, const QString &b)
{
    struct stat sa, sb;
    return !a.isEmpty() && !b.isEmpty() && ::stat(QFile::encodeName(a).constData(), &sa) == 0 &&
           ::stat(QFile::encodeName(b).constData(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

QString appPath()
{
    QString dir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                               : QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    if (!QCoreApplication::instance())
        dir = folderOf(dir);
    dir = QDir::toNativeSeparators(dir);
    while (!dir.isEmpty() && isSeparator(dir.back()))
        dir.chop(1);
    return dir;
}

QChar separator()
{
#ifdef Q_OS_WIN
    return QLatin1Char('\\');
#else
    return QLatin1Char('/');
#endif
}

bool isSeparator(QChar c)
{
#ifdef Q_OS_WIN
    return c == QLatin1Char('\\') || c == QLatin1Char('/');
#else
    return c == QLatin1Char('/');
#endif
}

qsizetype lastSeparator(const QString &path)
{
    for (qsizetype i = path.size() - 1; i >= 0; --i) {
        if (isSeparator(path.at(i)))
            return i;
    }
    return -1;
}

void replace(const QString &from, const QString &to)
{
    const QString action =
        QStringLiteral("Cannot put ") + quotedPath(from) + QStringLiteral(" in place of ") + quotedPath(to);
    const QByteArray nfrom = nativePath(from, action);
    const QByteArray nto = nativePath(to, action);
    struct stat st;
    const bool replacing = ::stat(nto.constData(), &st) == 0;
    if (replacing) {
        if (S_ISDIR(st.st_mode))
            throw Error(EISDIR, action + QStringLiteral(": ") + quotedPath(to) + QStringLiteral(" is a folder"));
        if (S_ISREG(st.st_mode) && isReadOnly(st))
            throw Error(EACCES, action + QStringLiteral(": ") + quotedPath(to) + QStringLiteral(" is read-only"));
        ::chmod(nfrom.constData(), st.st_mode & 07777);
    }
    if (::rename(nfrom.constData(), nto.constData()) == 0) {
        syncFoldersOf(from, to);
        return;
    }
    if (errno != EXDEV)
        throw Error::fromErrno(errno, action);

    copyInto(from, to, action);
    if (::unlink(nfrom.constData()) != 0)
        throw Error::fromErrno(errno, action + QStringLiteral(": ") + quotedPath(to) +
                                          QStringLiteral(" was replaced, but the source cannot be removed"));
    syncFolder(folderOf(from));
}

void syncFile(const QString &path)
{
    const QString action = QStringLiteral("Cannot write ") + quotedPath(path) + QStringLiteral(" to the disk");
    Fd file(::open(nativePath(path, action).constData(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0 || ::fsync(file.get()) != 0)
        throw Error::fromErrno(errno, action);
}

void startWriteback(int fd, off_t &flushedTo, off_t written)
{
    if (written - flushedTo < WritebackStep)
        return;
    ::sync_file_range(fd, flushedTo, written - flushedTo, SYNC_FILE_RANGE_WRITE);
    flushedTo = written;
}

void syncParentFolder(const QString &path)
{
    syncFolder(folderOf(path));
}

int renameNoReplace(const QByteArray &from, const QByteArray &to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // File systems without RENAME_NOREPLACE: a hard link also refuses an existing name.
    if (::link(from.constData(), to.constData()) == 0) {
        ::unlink(from.constData());
        return 0;
    }
    if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    struct stat st;
    if (::lstat(to.constData(), &st) == 0)
        return EEXIST;
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

void copyData(int in, const QString &src, int out, const QString &dst, const QString &action,
              const CopyProgress &progress)
{
    const auto failed = [&](int err, bool reading) {
        return Error::fromErrno(err, action + (reading ? QStringLiteral(": cannot read ") + quotedPath(src)
                                                       : QStringLiteral(": cannot write ") + quotedPath(dst)));
    };
    off_t copied = 0;
    off_t flushedTo = 0;
    const auto advance = [&](off_t n) {
        copied += n;
        startWriteback(out, flushedTo, copied);
        if (progress)
            progress(qint64(copied));
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
            throw failed(err, ::pread(in, &probe, 1, copied) < 0);
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

Stamp stampOf(const QString &path)
{
    Stamp stamp;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        stamp.device = quint64(st.st_dev);
        stamp.inode = quint64(st.st_ino);
        stamp.size = qint64(st.st_size);
        stamp.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    return stamp;
}

} // namespace Files
