#pragma once

#include <QByteArray>
#include <QString>

// Files held by descriptor: what the fs layer (see folder.h) does with a file once it is open.
// Every failure throws Error with the errno of the failing call and a description that names the
// file.
namespace Fs {

// An open descriptor, closed when the object goes. Closing any descriptor of a file drops the
// locks this process holds on it through SQLite: keep a descriptor of a database open for as long
// as a connection to it may hold a lock.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() noexcept;
    void reset() noexcept;

private:
    int fd_ = -1;
};

// What the program needs to know of a file, read without following a link. A default Status
// stands for a name that names nothing.
struct Status {
    quint64 device = 0, inode = 0;
    quint32 mode = 0; // type and permission bits
    quint32 owner = 0, group = 0;
    quint64 links = 0;
    qint64 size = -1;
    qint64 changedNs = -1; // time of the last change of the content

    bool exists() const { return mode != 0; }
    bool isRegular() const;
    bool isFolder() const;
    bool isLink() const;
    // Permission bits only (rwx for owner, group and others, and set-id and sticky bits).
    quint32 permissions() const { return mode & 07777; }
    bool sameFile(const Status &other) const
    {
        return exists() && other.exists() && device == other.device && inode == other.inode;
    }
    // Identity, size and time of change: what tells that a file was replaced or written.
    bool sameContentStamp(const Status &other) const
    {
        return sameFile(other) && size == other.size && changedNs == other.changedNs;
    }
};

// The status of the file open on fd (throws naming path on failure).
[[nodiscard]] Status statusOf(int fd, const QString &path);

// The account this program runs as.
[[nodiscard]] quint32 currentUser();

// The status of name in the folder open on folderFd, not followed; a default Status when it names
// nothing.
[[nodiscard]] Status statusAt(int folderFd, const QByteArray &name);

// Gives the file open on fd the access of the file reference (open on refFd): its group, its
// permission bits and its access list, so that nobody can read or write it who cannot do the
// same to reference. Without the right to give that group, the group's bits are dropped rather
// than granted to the group the file has. Set-id and execute bits are never given. path names
// the file in messages.
void giveAccessOf(int fd, const QString &path, int refFd, const Status &reference);

// Whether only its owner can reach the file open on fd: no permission bits for the group or
// others, no access-list entry beyond the owner's, and one name.
[[nodiscard]] bool isPrivate(int fd, const Status &status);

// Reserves size bytes for the file open on fd, so that a full disk shows before anything is
// written. File systems that cannot reserve are passed over. Throws ENOSPC (and any other
// failure) naming path. With keepSize the file's size stays as it is (for a file whose final size
// is not known yet: nothing past what is written reads as content).
void reserve(int fd, qint64 size, const QString &path, const QString &action, bool keepSize = false);

// Reads up to size bytes at offset from fd; fewer only at the end of the file. Throws naming path.
[[nodiscard]] qint64 readAt(int fd, char *data, qint64 size, qint64 offset, const QString &path);
// The same from fd's current offset, which moves on.
[[nodiscard]] qint64 read(int fd, char *data, qint64 size, const QString &path);
// Writes size bytes at offset to fd. Throws naming path.
void writeAt(int fd, const char *data, qint64 size, qint64 offset, const QString &path);

// Flushes the file open on fd to disk; a failure is an error, never retried.
void syncFile(int fd, const QString &path, const QString &action);

} // namespace Fs
