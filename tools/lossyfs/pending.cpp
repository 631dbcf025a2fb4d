#include "pending.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

Pending::Key keyOf(const struct stat &st)
{
    return {st.st_dev, st.st_ino};
}

void warn(const char *what, const std::string &name)
{
    std::fprintf(stderr, "lossyfs: %s %s: %s\n", what, name.c_str(), std::strerror(errno));
}

// Removes name in dirFd and, if it is a folder, everything in it.
void removeTree(int dirFd, const std::string &name)
{
    int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) {
        if (unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT)
            warn("cannot remove", name);
        return;
    }
    if (DIR *d = fdopendir(fd)) {
        std::vector<std::string> children;
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                children.push_back(e->d_name);
        for (const auto &c : children)
            removeTree(dirfd(d), c);
        closedir(d);
    } else {
        close(fd);
    }
    if (unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0)
        warn("cannot remove folder", name);
}

// "0-3,7": block numbers in ascending order, runs joined.
std::string ranges(const std::vector<off_t> &blocks)
{
    std::string out;
    for (size_t i = 0; i < blocks.size();) {
        size_t j = i;
        while (j + 1 < blocks.size() && blocks[j + 1] == blocks[j] + 1)
            ++j;
        out += (out.empty() ? "" : ",") + std::to_string(blocks[i]);
        if (j > i)
            out += "-" + std::to_string(blocks[j]);
        i = j + 1;
    }
    return out;
}

} // namespace

Pending::Pending(int rootFd) : root_(rootFd)
{
    // A stash left by a lossyfs that did not end normally holds nothing of the durable state.
    removeTree(root_, stashName);
    if (mkdirat(root_, stashName, 0700) != 0 && errno != EEXIST)
        warn("cannot create", stashName);
    stash_ = openat(root_, stashName, O_RDONLY | O_DIRECTORY);
}

int Pending::folder(const std::string &rel, Key *key)
{
    int fd = openat(root_, rel.c_str(), O_RDONLY | O_DIRECTORY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        int e = errno;
        if (fd >= 0)
            close(fd);
        errno = e;
        return -1;
    }
    *key = keyOf(st);
    auto [it, isNew] = folders_.emplace(*key, fd);
    if (!isNew)
        close(fd);
    return it->second;
}

int Pending::fdOf(const Key &k) const
{
    auto it = folders_.find(k);
    return it == folders_.end() ? -1 : it->second;
}

Pending::File *Pending::track(int fd, const char *hint)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return nullptr;
    auto it = files_.find(keyOf(st));
    if (it != files_.end())
        return &it->second;
    // A descriptor of our own, read-write and without O_APPEND, that outlives the caller's.
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    File f;
    f.fd = open(proc, O_RDWR);
    if (f.fd < 0)
        return nullptr;
    f.syncedSize = st.st_size;
    f.hint = hint ? hint : "(unlinked)";
    return &files_.emplace(keyOf(st), std::move(f)).first->second;
}

int Pending::saveBlocks(File &f, off_t from, off_t to)
{
    // Only the bytes that existed at the last fsync need a pre-image; the size undoes the rest.
    to = std::min(to, f.syncedSize);
    for (off_t b = from / blockSize; b * blockSize < to; ++b) {
        if (f.blocks.count(b))
            continue;
        std::string bytes(std::min(blockSize, f.syncedSize - b * blockSize), '\0');
        ssize_t n = pread(f.fd, bytes.data(), bytes.size(), b * blockSize);
        if (n < 0)
            return -errno;
        // Shorter only after a pending shrink, which saved this block already; zeros otherwise.
        f.blocks.emplace(b, std::move(bytes));
    }
    return 0;
}

int Pending::beforeWrite(int fd, off_t from, off_t to, const char *hint)
{
    File *f = track(fd, hint);
    return f ? saveBlocks(*f, from, to) : -errno;
}

int Pending::beforeResize(int fd, off_t newSize, const char *hint)
{
    File *f = track(fd, hint);
    if (!f)
        return -errno;
    struct stat st;
    if (fstat(f->fd, &st) != 0)
        return -errno;
    // A shrink changes the block it ends in and drops every block after it.
    return newSize < st.st_size ? saveBlocks(*f, newSize, st.st_size) : 0;
}

void Pending::fileSynced(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return;
    auto it = files_.find(keyOf(st));
    if (it == files_.end())
        return;
    close(it->second.fd);
    files_.erase(it);
}

void Pending::record(Change c)
{
    std::sort(c.folders.begin(), c.folders.end());
    c.folders.erase(std::unique(c.folders.begin(), c.folders.end()), c.folders.end());
    c.unsynced.insert(c.folders.begin(), c.folders.end());
    log_.push_back(std::move(c));
}

void Pending::added(const Key &dir, const std::string &name, const std::string &what)
{
    record({Kind::Added, dir, {}, name, {}, {}, false, {}, {dir}, {}, what});
}

std::string Pending::stash(int dirFd, const std::string &name)
{
    std::string s = std::to_string(++stashCount_);
    if (linkat(dirFd, name.c_str(), stash_, s.c_str(), 0) != 0)
        return {};
    return s;
}

void Pending::unstash(const std::string &stashed)
{
    if (!stashed.empty())
        unlinkat(stash_, stashed.c_str(), 0);
}

void Pending::removed(const Key &dir, const std::string &name, const std::string &stashed, const std::string &what)
{
    record({Kind::Removed, dir, {}, name, {}, stashed, false, {}, {dir}, {}, what});
}

void Pending::removedFolder(const Key &dir, const std::string &name, const struct stat &old, const std::string &what)
{
    // The removed folder counts as changed too: once its removal is durable, nothing that
    // happened inside it can be undone.
    record({Kind::RemovedFolder, dir, {}, name, {}, {}, true, old, {dir, keyOf(old)}, {}, what});
}

void Pending::moved(const Key &from, const std::string &fromName, const Key &to, const std::string &toName,
                    const std::string &stashed, const struct stat *replacedFolder, const std::string &what)
{
    Change c{Kind::Moved, from, to, fromName, toName, stashed, replacedFolder != nullptr, {}, {from, to}, {}, what};
    if (replacedFolder)
        c.old = *replacedFolder;
    record(std::move(c));
}

void Pending::folderSynced(const Key &dir)
{
    for (auto &c : log_)
        c.unsynced.erase(dir);
    // Newest first: a durable change makes durable the earlier ones that share a folder with it.
    std::set<Key> closed;
    std::vector<bool> durable(log_.size());
    for (size_t i = log_.size(); i-- > 0;) {
        const Change &c = log_[i];
        durable[i] = c.unsynced.empty() ||
                     std::any_of(c.folders.begin(), c.folders.end(), [&](const Key &k) { return closed.count(k); });
        if (durable[i])
            closed.insert(c.folders.begin(), c.folders.end());
    }
    std::vector<Change> left;
    for (size_t i = 0; i < log_.size(); ++i) {
        if (durable[i])
            forget(log_[i]);
        else
            left.push_back(std::move(log_[i]));
    }
    log_ = std::move(left);
}

void Pending::forget(const Change &c)
{
    unstash(c.stashed);
}

void Pending::restoreFolder(int dirFd, const std::string &name, const struct stat &old)
{
    if (mkdirat(dirFd, name.c_str(), old.st_mode & 07777) != 0) {
        warn("cannot recreate folder", name);
        return;
    }
    if (fchownat(dirFd, name.c_str(), old.st_uid, old.st_gid, AT_SYMLINK_NOFOLLOW) != 0 && geteuid() == 0)
        warn("cannot restore the owner of", name);
}

void Pending::undo(const Change &c)
{
    int a = fdOf(c.dirA), b = fdOf(c.dirB);
    switch (c.kind) {
    case Kind::Added:
        removeTree(a, c.nameA);
        break;
    case Kind::Removed:
        if (renameat2(stash_, c.stashed.c_str(), a, c.nameA.c_str(), RENAME_NOREPLACE) != 0)
            warn("cannot bring back", c.what);
        break;
    case Kind::RemovedFolder:
        restoreFolder(a, c.nameA, c.old);
        break;
    case Kind::Moved:
        if (renameat2(b, c.nameB.c_str(), a, c.nameA.c_str(), RENAME_NOREPLACE) != 0)
            warn("cannot move back", c.what);
        if (!c.stashed.empty() && renameat2(stash_, c.stashed.c_str(), b, c.nameB.c_str(), RENAME_NOREPLACE) != 0)
            warn("cannot bring back the file replaced by", c.what);
        if (c.oldFolder)
            restoreFolder(b, c.nameB, c.old);
        break;
    }
}

void Pending::cut(std::mt19937_64 *rng)
{
    auto coin = [&] { return rng && ((*rng)() & 1); };
    for (auto &[key, f] : files_) {
        std::vector<off_t> kept, dropped;
        for (const auto &[b, bytes] : f.blocks) {
            const bool keep = coin();
            (keep ? kept : dropped).push_back(b);
            if (!keep && pwrite(f.fd, bytes.data(), bytes.size(), b * blockSize) != (ssize_t)bytes.size())
                warn("cannot restore a block of", f.hint);
        }
        if (!kept.empty())
            std::fprintf(stderr, "lossyfs: kept blocks %s of %s\n", ranges(kept).c_str(), f.hint.c_str());
        if (!dropped.empty())
            std::fprintf(stderr, "lossyfs: dropped blocks %s of %s\n", ranges(dropped).c_str(), f.hint.c_str());
        struct stat st;
        if (fstat(f.fd, &st) == 0 && st.st_size != f.syncedSize) {
            bool keep = coin();
            std::fprintf(stderr, "lossyfs: %s size %lld of %s (durable size %lld)\n", keep ? "kept" : "dropped",
                         (long long)st.st_size, f.hint.c_str(), (long long)f.syncedSize);
            if (!keep && ftruncate(f.fd, f.syncedSize) != 0)
                warn("cannot restore the size of", f.hint);
        }
        close(f.fd);
    }
    files_.clear();

    // Torn mode keeps, per folder, a random number of its oldest pending changes. A change is
    // kept only if every folder it changed keeps it; once one is dropped, its folders keep no later
    // change, so what is kept is a prefix per folder and what is dropped can be undone in order.
    std::vector<bool> keep(log_.size(), false);
    if (rng) {
        std::map<Key, size_t> count, quota;
        std::set<Key> closed;
        for (const auto &c : log_)
            for (const auto &k : c.folders)
                ++count[k];
        for (const auto &[k, n] : count)
            quota[k] = (*rng)() % (n + 1);
        for (size_t i = 0; i < log_.size(); ++i) {
            keep[i] = true;
            for (const auto &k : log_[i].folders) {
                if (closed.count(k) || quota[k] == 0)
                    keep[i] = false;
                else
                    --quota[k];
            }
            if (!keep[i])
                closed.insert(log_[i].folders.begin(), log_[i].folders.end());
        }
    }
    for (size_t i = 0; i < log_.size(); ++i)
        std::fprintf(stderr, "lossyfs: %s %s\n", keep[i] ? "kept" : "dropped", log_[i].what.c_str());
    for (size_t i = log_.size(); i-- > 0;)
        if (!keep[i])
            undo(log_[i]);
    keepAll();
}

void Pending::keepAll()
{
    for (auto &[key, f] : files_)
        close(f.fd);
    files_.clear();
    log_.clear();
    close(stash_);
    removeTree(root_, stashName);
    for (auto &[key, fd] : folders_)
        close(fd);
    folders_.clear();
}
