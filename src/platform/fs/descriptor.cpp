#include "platform/fs/descriptor.h"

#include "platform/errors.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace Fs {
namespace {

const char *const AccessListName = "system.posix_acl_access";
// The size of an access list of the owner, group and others alone: a header and three entries.
constexpr ssize_t MinimalAccessListSize = 4 + 3 * 8;

Status fromStat(const struct stat &st)
{
    Status s;
    s.device = quint64(st.st_dev);
    s.inode = quint64(st.st_ino);
    s.mode = quint32(st.st_mode);
    s.owner = quint32(st.st_uid);
    s.group = quint32(st.st_gid);
    s.links = quint64(st.st_nlink);
    s.size = qint64(st.st_size);
    s.changedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return s;
}

// Reads up to size bytes, step(done) reading the part from done on; fewer only at the end of the
// file. An interrupted read is made again.
template <typename Step> qint64 readFully(qint64 size, const QString &path, Step step)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = step(done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw Error::fromErrno(errno, QStringLiteral("Cannot read ") + quotedPath(path));
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

} // namespace

Fd &Fd::operator=(Fd &&other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int Fd::release() noexcept
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset() noexcept
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool Status::isRegular() const
{
    return S_ISREG(mode);
}

bool Status::isFolder() const
{
    return S_ISDIR(mode);
}

bool Status::isLink() const
{
    return S_ISLNK(mode);
}

Status statusOf(int fd, const QString &path)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        throw Error::fromErrno(errno, QStringLiteral("Cannot look at ") + quotedPath(path));
    return fromStat(st);
}

quint32 currentUser()
{
    return quint32(::geteuid());
}

Status statusAt(int folderFd, const QByteArray &name)
{
    struct stat st;
    return ::fstatat(folderFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? fromStat(st) : Status();
}

void giveAccessOf(int fd, const QString &path, int refFd, const Status &reference)
{
    const QString action = QStringLiteral("Cannot set who may read ") + quotedPath(path);
    const bool groupGiven = ::fchown(fd, uid_t(-1), gid_t(reference.group)) == 0;
    if (groupGiven) {
        // The access list carries the named accounts and groups of the reference, and its mask.
        QByteArray list(4096, '\0');
        const ssize_t n = ::fgetxattr(refFd, AccessListName, list.data(), size_t(list.size()));
        if (n > 0 && ::fsetxattr(fd, AccessListName, list.constData(), size_t(n), 0) == 0) {
            struct stat st;
            // The list sets the permission bits; never more than the reference's.
            if (::fstat(fd, &st) == 0 && (st.st_mode & 07777 & ~reference.mode) == 0)
                return;
        }
    }
    // A list inherited from the folder's defaults would grant what the reference does not.
    if (::fremovexattr(fd, AccessListName) != 0 && errno != ENODATA && errno != ENOTSUP && errno != EOPNOTSUPP)
        throw Error::fromErrno(errno, action);
    mode_t mode = mode_t(reference.mode & 0666);
    if (!groupGiven)
        mode &= ~mode_t(0070);
    if (::fchmod(fd, mode) != 0)
        throw Error::fromErrno(errno, action);
}

bool isPrivate(int fd, const Status &status)
{
    if (status.owner != currentUser() || (status.mode & 077) != 0 || status.links != 1)
        return false;
    const ssize_t n = ::fgetxattr(fd, AccessListName, nullptr, 0);
    return n <= MinimalAccessListSize;
}

void reserve(int fd, qint64 size, const QString &path, const QString &action, bool keepSize)
{
    if (size <= 0)
        return;
    int rc;
    do
        rc = ::fallocate(fd, keepSize ? FALLOC_FL_KEEP_SIZE : 0, 0, off_t(size));
    while (rc != 0 && errno == EINTR);
    if (rc == 0 || errno == EOPNOTSUPP || errno == ENOSYS)
        return;
    throw Error::fromErrno(errno, action + QStringLiteral(": cannot make room for %1 bytes for ").arg(size) +
                                      quotedPath(path));
}

qint64 readAt(int fd, char *data, qint64 size, qint64 offset, const QString &path)
{
    return readFully(size, path,
                     [&](qint64 done) { return ::pread(fd, data + done, size_t(size - done), off_t(offset + done)); });
}

qint64 read(int fd, char *data, qint64 size, const QString &path)
{
    return readFully(size, path, [&](qint64 done) { return ::read(fd, data + done, size_t(size - done)); });
}

void writeAt(int fd, const char *data, qint64 size, qint64 offset, const QString &path)
{
    for (qint64 done = 0; done < size;) {
        const ssize_t n = ::pwrite(fd, data + done, size_t(size - done), off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw Error::fromErrno(errno, QStringLiteral("Cannot write ") + quotedPath(path));
        }
        done += n;
    }
}

void syncFile(int fd, const QString &path, const QString &action)
{
    if (::fsync(fd) != 0)
        throw Error::fromErrno(errno, action + QStringLiteral(": cannot write ") + quotedPath(path) +
                                          QStringLiteral(" to the disk"));
}

} // namespace Fs
