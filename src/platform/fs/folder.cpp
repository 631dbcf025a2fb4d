#include "platform/fs/folder.h"

#include "platform/errors.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace Fs {
namespace {

// Links followed while resolving one path before it counts as a loop (the kernel's own limit).
constexpr int MaxLinks = 40;
QByteArray nativeName(const QString &name)
{
    return QFile::encodeName(name);
}

QString joined(const QString &folder, const QString &name)
{
    return folder == QLatin1String("/") ? folder + name : folder + QLatin1Char('/') + name;
}

QString parentOf(const QString &folder)
{
    const qsizetype sep = folder.lastIndexOf(QLatin1Char('/'));
    return sep <= 0 ? QStringLiteral("/") : folder.left(sep);
}

// Opens the folder name in dir as a place to look things up from (not to read).
Fd enter(int dir, const QByteArray &name)
{
    return Fd(::openat(dir, name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The end of a walk along a path: the folder reached, its path, and the last name when asked for.
struct Walked {
    Fd dir;
    QString path;
    QString name;
};

// Walks path from the root or the current folder. With lastIsName the last part is not entered
// but returned as the name (after following it where it is a link).
Walked walk(const QString &path, bool lastIsName, const QString &action)
{
    if (path.contains(QChar(0)))
        throw Error(EINVAL, action + QStringLiteral(": the path contains a NUL character"));
    std::deque<QString> pending;
    for (const QString &part : path.split(QLatin1Char('/')))
        pending.push_back(part);
    Walked w;
    const auto restart = [&](bool absolute) {
        w.dir = Fd(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!w.dir.valid())
            throw Error::fromErrno(errno, action + QStringLiteral(": cannot open the folder of ") + quotedPath(path));
        w.path = absolute ? QStringLiteral("/") : QDir::currentPath();
    };
    restart(path.startsWith(QLatin1Char('/')));
    int links = 0;
    while (!pending.empty()) {
        const QString part = pending.front();
        pending.pop_front();
        const bool last = lastIsName && pending.empty();
        if (part.isEmpty() || part == QLatin1String(".")) {
            if (last)
                throw Error(EISDIR,
                            action + QStringLiteral(": ") + quotedPath(path) + QStringLiteral(" names a folder"));
            continue;
        }
        const QByteArray native = nativeName(part);
        if (part == QLatin1String("..")) {
            if (last)
                throw Error(EISDIR,
                            action + QStringLiteral(": ") + quotedPath(path) + QStringLiteral(" names a folder"));
            Fd up(::openat(w.dir.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!up.valid())
                throw Error::fromErrno(errno,
                                       action + QStringLiteral(": cannot open the folder of ") + quotedPath(path));
            w.dir = std::move(up);
            w.path = parentOf(w.path);
            continue;
        }
        struct stat st;
        if (::fstatat(w.dir.get(), native.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            const int err = errno;
            if (err == ENOENT && last) {
                w.name = part;
                return w;
            }
            throw Error::fromErrno(err, action + QStringLiteral(": cannot look up ") +
                                            quotedPath(joined(w.path, part)) + QStringLiteral(" (in ") +
                                            quotedPath(path) + QLatin1Char(')'));
        }
        if (S_ISLNK(st.st_mode)) {
            const QString linkPath = joined(w.path, part);
            if (st.st_uid != ::geteuid() && st.st_uid != 0)
                throw Error(ELOOP, action + QStringLiteral(": ") + quotedPath(linkPath) +
                                       QStringLiteral(" is a symbolic link that another account made; it was not "
                                                      "followed"));
            if (++links > MaxLinks)
                throw Error(ELOOP, action + QStringLiteral(": too many symbolic links in ") + quotedPath(path));
            QByteArray target(qsizetype(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
            const ssize_t n = ::readlinkat(w.dir.get(), native.constData(), target.data(), size_t(target.size()));
            if (n < 0 || n >= target.size())
                throw Error::fromErrno(n < 0 ? errno : ENAMETOOLONG,
                                       action + QStringLiteral(": cannot read the link ") + quotedPath(linkPath));
            target.truncate(n);
            const QString text = QFile::decodeName(target);
            const QStringList parts = text.split(QLatin1Char('/'));
            for (auto it = parts.crbegin(); it != parts.crend(); ++it)
                pending.push_front(*it);
            if (text.startsWith(QLatin1Char('/')))
                restart(true);
            continue;
        }
        if (last) {
            w.name = part;
            return w;
        }
        if (!S_ISDIR(st.st_mode))
            throw Error(ENOTDIR, action + QStringLiteral(": ") + quotedPath(joined(w.path, part)) +
                                     QStringLiteral(" is not a folder"));
        Fd next = enter(w.dir.get(), native);
        if (!next.valid())
            throw Error::fromErrno(errno, action + QStringLiteral(": cannot open the folder ") +
                                              quotedPath(joined(w.path, part)));
        w.dir = std::move(next);
        w.path = joined(w.path, part);
    }
    if (lastIsName)
        throw Error(EISDIR, action + QStringLiteral(": ") + quotedPath(path) + QStringLiteral(" names a folder"));
    return w;
}

} // namespace

struct Folder::State {
    Fd fd;
    QString path;
};

Folder Folder::open(const QString &path, const QString &action)
{
    Walked w = walk(path.isEmpty() ? QStringLiteral(".") : path, false, action);
    auto state = std::make_shared<State>();
    // A descriptor that can be read (listed) and synced; a folder that may be entered but not
    // listed keeps the look-up descriptor.
    Fd readable(::openat(w.dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    state->fd = readable.valid() ? std::move(readable) : std::move(w.dir);
    state->path = w.path;
    Folder folder;
    folder.state_ = std::move(state);
    return folder;
}

int Folder::fd() const
{
    return state_ ? state_->fd.get() : -1;
}

const QString &Folder::path() const
{
    static const QString none;
    return state_ ? state_->path : none;
}

QString Folder::pathOf(const QString &name) const
{
    return joined(path(), name);
}

bool Folder::sameFolder(const Folder &other) const
{
    struct stat a, b;
    return ::fstat(fd(), &a) == 0 && ::fstat(other.fd(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

Status Folder::status(const QString &name) const
{
    return name.isEmpty() ? Status() : statusAt(fd(), nativeName(name));
}

Fd Folder::openForReading(const QString &name, const QString &action) const
{
    const QString path = pathOf(name);
    Fd file(::openat(fd(), nativeName(name).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) {
        const int err = errno;
        if (err == ELOOP)
            throw Error(ELOOP, action + QStringLiteral(": ") + quotedPath(path) +
                                   QStringLiteral(" is a symbolic link; it was not followed"));
        throw Error::fromErrno(err, action + QStringLiteral(": cannot open ") + quotedPath(path));
    }
    const Status st = statusOf(file.get(), path);
    if (st.isFolder())
        throw Error(EISDIR, action + QStringLiteral(": ") + quotedPath(path) + QStringLiteral(" is a folder"));
    if (!st.isRegular())
        throw Error(EINVAL,
                    action + QStringLiteral(": ") + quotedPath(path) + QStringLiteral(" is not a regular file"));
    // Reads block as usual from here on.
    ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
    return file;
}

Fd Folder::createNew(const QString &name, const QString &action) const
{
    Fd file(::openat(fd(), nativeName(name).constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     S_IRUSR | S_IWUSR));
    if (!file.valid() && errno != EEXIST)
        throw Error::fromErrno(errno, action + QStringLiteral(": cannot create a file in ") + quotedPath(path()));
    return file;
}

int Folder::link(const QString &name, const Folder &to, const QString &newName) const
{
    return ::linkat(fd(), nativeName(name).constData(), to.fd(), nativeName(newName).constData(), 0) == 0 ? 0 : errno;
}

int Folder::rename(const QString &name, const Folder &to, const QString &newName, bool replace) const
{
    const QByteArray from = nativeName(name), dest = nativeName(newName);
    if (replace)
        return ::renameat(fd(), from.constData(), to.fd(), dest.constData()) == 0 ? 0 : errno;
    if (::renameat2(fd(), from.constData(), to.fd(), dest.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // File systems without RENAME_NOREPLACE: a hard link refuses an existing name as well.
    if (::linkat(fd(), from.constData(), to.fd(), dest.constData(), 0) == 0) {
        ::unlinkat(fd(), from.constData(), 0);
        return 0;
    }
    if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    if (to.status(newName).exists())
        return EEXIST;
    return ::renameat(fd(), from.constData(), to.fd(), dest.constData()) == 0 ? 0 : errno;
}

int Folder::remove(const QString &name) const
{
    return ::unlinkat(fd(), nativeName(name).constData(), 0) == 0 ? 0 : errno;
}

int Folder::writeAccess(const QString &name) const
{
    return ::faccessat(fd(), nativeName(name).constData(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

QStringList Folder::entries(const QString &action) const
{
    QStringList names;
    const int copy = ::openat(fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0)
        throw Error::fromErrno(errno, action + QStringLiteral(": cannot list ") + quotedPath(path()));
    DIR *dir = ::fdopendir(copy);
    if (!dir) {
        const int err = errno;
        ::close(copy);
        throw Error::fromErrno(err, action + QStringLiteral(": cannot list ") + quotedPath(path()));
    }
    errno = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name != QLatin1String(".") && name != QLatin1String(".."))
            names << name;
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0)
        throw Error::fromErrno(err, action + QStringLiteral(": cannot list ") + quotedPath(path()));
    return names;
}

void Folder::sync() const
{
    if (::fsync(fd()) == 0)
        return;
    // EBADF: a folder this account may enter but not read, held only for look-ups.
    if (errno != EINVAL && errno != EROFS && errno != ENOTSUP && errno != EBADF)
        throw Error::fromErrno(errno, QStringLiteral("Cannot write the folder ") + quotedPath(path()) +
                                          QStringLiteral(" to the disk"));
}

qint64 Folder::freeBytes() const
{
    struct statvfs fs;
    if (::fstatvfs(fd(), &fs) != 0)
        return std::numeric_limits<qint64>::max(); // unknown: the writes will tell
    const auto blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    return qint64(blocks) * qint64(fs.f_frsize);
}

Location resolve(const QString &path, const QString &action)
{
    if (path.isEmpty())
        throw Error(ENOENT, action + QStringLiteral(": no file was named"));
    if (path.endsWith(QLatin1Char('/')))
        throw Error(EINVAL, action + QStringLiteral(": ") + quotedPath(path) + QStringLiteral(" names no file"));
    Walked w = walk(path, true, action);
    Location location;
    Fd readable(::openat(w.dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    auto state = std::make_shared<Folder::State>();
    state->fd = readable.valid() ? std::move(readable) : std::move(w.dir);
    state->path = w.path;
    location.folder.state_ = std::move(state);
    location.name = w.name;
    return location;
}

} // namespace Fs
