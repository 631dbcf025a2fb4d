// The FUSE calls of lossyfs: each passes through to the backing folder and tells Pending what
// a cut would have to take back.
#include "lossyfs.h"
#include "pending.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

LossyState lossy;

void cutNow()
{
    lossy.cut = 1;
    if (lossy.session)
        fuse_session_exit(lossy.session);
}

namespace {

bool hidden(const char *path)
{
    size_t n = std::strlen(Pending::stashName);
    return path && path[0] == '/' && std::strncmp(path + 1, Pending::stashName, n) == 0 &&
           (path[n + 1] == '\0' || path[n + 1] == '/');
}

// The path relative to the backing root.
const char *rel(const char *path)
{
    return path[1] ? path + 1 : ".";
}

struct Parent {
    int fd = -1;
    Pending::Key key;
    std::string name;
};

int parentOf(const char *path, Parent &p)
{
    std::string s(path + 1);
    size_t slash = s.rfind('/');
    p.name = slash == std::string::npos ? s : s.substr(slash + 1);
    p.fd = lossy.pending->folder(slash == std::string::npos ? "." : s.substr(0, slash), &p.key);
    return p.fd < 0 ? -errno : 0;
}

// Creates files as the caller when running as root, as a local file system would.
void ownToCaller(int dirFd, const std::string &name)
{
    if (geteuid() != 0)
        return;
    const fuse_context *c = fuse_get_context();
    if (fchownat(dirFd, name.c_str(), c->uid, c->gid, AT_SYMLINK_NOFOLLOW) != 0)
        std::fprintf(stderr, "lossyfs: cannot give %s to its creator: %s\n", name.c_str(), std::strerror(errno));
}

// Counts a sync call; false when this one cuts the power.
bool syncPoint(const char *kind, const char *path)
{
    ++lossy.syncs;
    if (lossy.log) {
        std::fprintf(lossy.log, "%ld %s %s\n", lossy.syncs, kind, path ? path : "(unlinked)");
        std::fflush(lossy.log);
    }
    if (lossy.syncs == lossy.cutAt)
        cutNow();
    return !lossy.cut;
}

// The kernel's write-back cache may read a page of a file opened for writing only.
int readable(int flags)
{
    return (flags & O_ACCMODE) == O_WRONLY ? (flags & ~O_ACCMODE) | O_RDWR : flags;
}

int check(int rc)
{
    return rc < 0 ? -errno : rc;
}

#define ALIVE(path)                                                                                                    \
    if (lossy.cut)                                                                                                     \
        return -EIO;                                                                                                   \
    if (hidden(path))                                                                                                  \
        return -ENOENT;

void *lfInit(fuse_conn_info *conn, fuse_config *cfg)
{
    // Writes wait in the kernel's page cache, as on a disk, and come here in large pieces when
    // it writes them back or a sync asks for them: what a cut forgets is the same, and a run
    // through the mount makes far fewer calls (a power-cut run of a restore: 135 ms, not 335).
    if (conn->capable & FUSE_CAP_WRITEBACK_CACHE)
        conn->want |= FUSE_CAP_WRITEBACK_CACHE;
    cfg->use_ino = 1;
    cfg->hard_remove = 1; // unlink open files for real, no .fuse_hidden renames
    cfg->nullpath_ok = 0; // paths for the log and reports, where the file still has one
    return nullptr;
}

int lfGetattr(const char *path, struct stat *st, fuse_file_info *fi)
{
    ALIVE(path);
    return check(fi ? fstat(fi->fh, st) : fstatat(lossy.root, rel(path), st, AT_SYMLINK_NOFOLLOW));
}

int lfReadlink(const char *path, char *buf, size_t size)
{
    ALIVE(path);
    ssize_t n = readlinkat(lossy.root, rel(path), buf, size - 1);
    if (n < 0)
        return -errno;
    buf[n] = '\0';
    return 0;
}

// An open folder; the stash is left out of the listing of the top one.
struct Folder {
    DIR *dir;
    bool top;
};

int lfOpendir(const char *path, fuse_file_info *fi)
{
    ALIVE(path);
    int fd = openat(lossy.root, rel(path), O_RDONLY | O_DIRECTORY);
    DIR *d = fd < 0 ? nullptr : fdopendir(fd);
    if (!d) {
        int e = errno;
        if (fd >= 0)
            close(fd);
        return -e;
    }
    fi->fh = reinterpret_cast<uintptr_t>(new Folder{d, std::strcmp(path, "/") == 0});
    return 0;
}

int lfReaddir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *fi, fuse_readdir_flags)
{
    ALIVE(path);
    Folder *f = reinterpret_cast<Folder *>(fi->fh);
    DIR *d = f->dir;
    rewinddir(d);
    bool top = f->top;
    while (dirent *e = readdir(d)) {
        if (top && std::strcmp(e->d_name, Pending::stashName) == 0)
            continue;
        struct stat st {};
        st.st_ino = e->d_ino;
        st.st_mode = DTTOIF(e->d_type);
        if (fill(buf, e->d_name, &st, 0, fuse_fill_dir_flags(0)))
            break;
    }
    return 0;
}

int lfReleasedir(const char *, fuse_file_info *fi)
{
    Folder *f = reinterpret_cast<Folder *>(fi->fh);
    closedir(f->dir);
    delete f;
    return 0;
}

int lfFsyncdir(const char *path, int, fuse_file_info *fi)
{
    ALIVE(path);
    if (!syncPoint("fsyncdir", path))
        return -EIO;
    struct stat st;
    if (fstat(dirfd(reinterpret_cast<Folder *>(fi->fh)->dir), &st) != 0)
        return -errno;
    lossy.pending->folderSynced({st.st_dev, st.st_ino});
    return 0;
}

int lfMknod(const char *path, mode_t mode, dev_t dev)
{
    ALIVE(path);
    Parent p;
    if (int e = parentOf(path, p))
        return e;
    if (mknodat(p.fd, p.name.c_str(), mode, dev) != 0)
        return -errno;
    ownToCaller(p.fd, p.name);
    lossy.pending->added(p.key, p.name, std::string("mknod ") + path);
    return 0;
}

int lfMkdir(const char *path, mode_t mode)
{
    ALIVE(path);
    Parent p;
    if (int e = parentOf(path, p))
        return e;
    if (mkdirat(p.fd, p.name.c_str(), mode) != 0)
        return -errno;
    ownToCaller(p.fd, p.name);
    lossy.pending->added(p.key, p.name, std::string("mkdir ") + path);
    return 0;
}

int lfSymlink(const char *target, const char *path)
{
    ALIVE(path);
    Parent p;
    if (int e = parentOf(path, p))
        return e;
    if (symlinkat(target, p.fd, p.name.c_str()) != 0)
        return -errno;
    ownToCaller(p.fd, p.name);
    lossy.pending->added(p.key, p.name, std::string("symlink ") + path);
    return 0;
}

int lfLink(const char *from, const char *to)
{
    ALIVE(from);
    ALIVE(to);
    Parent p;
    if (int e = parentOf(to, p))
        return e;
    if (linkat(lossy.root, rel(from), p.fd, p.name.c_str(), 0) != 0)
        return -errno;
    lossy.pending->added(p.key, p.name, std::string("link ") + from + " " + to);
    return 0;
}

int lfUnlink(const char *path)
{
    ALIVE(path);
    Parent p;
    if (int e = parentOf(path, p))
        return e;
    std::string stashed = lossy.pending->stash(p.fd, p.name);
    if (stashed.empty())
        return -errno;
    if (unlinkat(p.fd, p.name.c_str(), 0) != 0) {
        int e = errno;
        lossy.pending->unstash(stashed);
        return -e;
    }
    lossy.pending->removed(p.key, p.name, stashed, std::string("unlink ") + path);
    return 0;
}

int lfRmdir(const char *path)
{
    ALIVE(path);
    Parent p;
    struct stat old;
    if (int e = parentOf(path, p))
        return e;
    if (fstatat(p.fd, p.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0 || unlinkat(p.fd, p.name.c_str(), AT_REMOVEDIR))
        return -errno;
    lossy.pending->removedFolder(p.key, p.name, old, std::string("rmdir ") + path);
    return 0;
}

int lfRename(const char *from, const char *to, unsigned int flags)
{
    ALIVE(from);
    ALIVE(to);
    if (flags & ~RENAME_NOREPLACE)
        return -EINVAL;
    Parent a, b;
    struct stat sa, sb;
    if (int e = parentOf(from, a))
        return e;
    if (int e = parentOf(to, b))
        return e;
    if (fstatat(a.fd, a.name.c_str(), &sa, AT_SYMLINK_NOFOLLOW) != 0)
        return -errno;
    bool replaces = fstatat(b.fd, b.name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0;
    if (replaces && (flags & RENAME_NOREPLACE))
        return -EEXIST;
    bool sameFile = replaces && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    std::string stashed;
    if (replaces && !sameFile && !S_ISDIR(sb.st_mode)) {
        stashed = lossy.pending->stash(b.fd, b.name);
        if (stashed.empty())
            return -errno;
    }
    if (renameat2(a.fd, a.name.c_str(), b.fd, b.name.c_str(), flags) != 0) {
        int e = errno;
        lossy.pending->unstash(stashed);
        return -e;
    }
    if (lossy.log) {
        std::fprintf(lossy.log, "%ld rename %s %s\n", lossy.syncs, from, to);
        std::fflush(lossy.log);
    }
    if (!sameFile) // renaming a file onto another link of itself changes nothing
        lossy.pending->moved(a.key, a.name, b.key, b.name, stashed, replaces && S_ISDIR(sb.st_mode) ? &sb : nullptr,
                             std::string("rename ") + from + " " + to);
    return 0;
}

int lfChmod(const char *path, mode_t mode, fuse_file_info *fi)
{
    ALIVE(path);
    return check(fi ? fchmod(fi->fh, mode) : fchmodat(lossy.root, rel(path), mode, 0));
}

int lfChown(const char *path, uid_t uid, gid_t gid, fuse_file_info *fi)
{
    ALIVE(path);
    return check(fi ? fchown(fi->fh, uid, gid) : fchownat(lossy.root, rel(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

int lfTruncate(const char *path, off_t size, fuse_file_info *fi)
{
    ALIVE(path);
    int fd = fi ? int(fi->fh) : openat(lossy.root, rel(path), O_WRONLY);
    if (fd < 0)
        return -errno;
    int rc = lossy.pending->beforeResize(fd, size, path);
    if (rc == 0)
        rc = check(ftruncate(fd, size));
    if (!fi)
        close(fd);
    return rc;
}

int lfUtimens(const char *path, const timespec tv[2], fuse_file_info *fi)
{
    ALIVE(path);
    return check(fi ? futimens(fi->fh, tv) : utimensat(lossy.root, rel(path), tv, AT_SYMLINK_NOFOLLOW));
}

// O_APPEND is left out: the kernel gives every write its offset. O_TRUNC is done by hand, so
// the old content is saved first.
int openedFile(int fd, int flags, const char *path, fuse_file_info *fi)
{
    if (fd < 0)
        return -errno;
    if (flags & O_TRUNC) {
        int rc = lossy.pending->beforeResize(fd, 0, path);
        if (rc == 0)
            rc = check(ftruncate(fd, 0));
        if (rc != 0) {
            close(fd);
            return rc;
        }
    }
    fi->fh = fd;
    return 0;
}

int lfOpen(const char *path, fuse_file_info *fi)
{
    ALIVE(path);
    return openedFile(openat(lossy.root, rel(path), readable(fi->flags) & ~(O_APPEND | O_TRUNC)), fi->flags, path, fi);
}

int lfCreate(const char *path, mode_t mode, fuse_file_info *fi)
{
    ALIVE(path);
    Parent p;
    struct stat st;
    if (int e = parentOf(path, p))
        return e;
    bool existed = fstatat(p.fd, p.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    int fd = openat(p.fd, p.name.c_str(), (readable(fi->flags) | O_CREAT) & ~(O_APPEND | O_TRUNC), mode);
    if (int rc = openedFile(fd, existed ? fi->flags : 0, path, fi))
        return rc;
    if (!existed) {
        ownToCaller(p.fd, p.name);
        lossy.pending->added(p.key, p.name, std::string("create ") + path);
    }
    return 0;
}

int lfRead(const char *path, char *buf, size_t size, off_t off, fuse_file_info *fi)
{
    ALIVE(path);
    return check(pread(fi->fh, buf, size, off));
}

int lfWrite(const char *path, const char *buf, size_t size, off_t off, fuse_file_info *fi)
{
    ALIVE(path);
    if (int rc = lossy.pending->beforeWrite(fi->fh, off, off + off_t(size), path))
        return rc;
    return check(pwrite(fi->fh, buf, size, off));
}

int lfStatfs(const char *path, struct statvfs *st)
{
    ALIVE(path);
    return check(fstatvfs(lossy.root, st));
}

int lfFlush(const char *, fuse_file_info *)
{
    return lossy.cut ? -EIO : 0;
}

int lfRelease(const char *, fuse_file_info *fi)
{
    close(fi->fh);
    return 0;
}

int lfFsync(const char *path, int datasync, fuse_file_info *fi)
{
    ALIVE(path);
    if (!syncPoint(datasync ? "fdatasync" : "fsync", path))
        return -EIO;
    // The backing folder is never power-cut itself, so its data needs no real fsync.
    lossy.pending->fileSynced(fi->fh);
    return 0;
}

int lfFallocate(const char *path, int mode, off_t off, off_t len, fuse_file_info *fi)
{
    ALIVE(path);
    if (mode & ~FALLOC_FL_KEEP_SIZE)
        return -EOPNOTSUPP;
    // Only the size can change; recording it lets a cut take a growth back.
    if (int rc = lossy.pending->beforeResize(fi->fh, 0x7fffffffffffffffLL, path))
        return rc;
    return check(fallocate(fi->fh, mode, off, len));
}

} // namespace

fuse_operations lossyOperations()
{
    fuse_operations ops{};
    ops.init = lfInit;
    ops.getattr = lfGetattr;
    ops.readlink = lfReadlink;
    ops.mknod = lfMknod;
    ops.mkdir = lfMkdir;
    ops.unlink = lfUnlink;
    ops.rmdir = lfRmdir;
    ops.symlink = lfSymlink;
    ops.rename = lfRename;
    ops.link = lfLink;
    ops.chmod = lfChmod;
    ops.chown = lfChown;
    ops.truncate = lfTruncate;
    ops.open = lfOpen;
    ops.read = lfRead;
    ops.write = lfWrite;
    ops.statfs = lfStatfs;
    ops.flush = lfFlush;
    ops.release = lfRelease;
    ops.fsync = lfFsync;
    ops.opendir = lfOpendir;
    ops.readdir = lfReaddir;
    ops.releasedir = lfReleasedir;
    ops.fsyncdir = lfFsyncdir;
    ops.create = lfCreate;
    ops.utimens = lfUtimens;
    ops.fallocate = lfFallocate;
    // No lock or flock handlers: the kernel then keeps POSIX and flock locks itself, which is
    // right for processes of this machine that all use the mount.

    return ops;
}
