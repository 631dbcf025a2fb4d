#pragma once

#include <map>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

// What a power cut would lose on the backing folder, and how to take it back. Every change is
// written through to the backing folder at once; this keeps the undo information:
//   - per file (by inode): the first pre-image of every 4 KiB block changed since its last fsync,
//     and its size at that fsync;
//   - per folder change (create, link, unlink, rename, mkdir, rmdir): a log entry that undoes it.
//     Files removed or replaced are kept alive by a hard link in the stash folder.
// A folder change becomes durable once every folder it changed has been fsynced after it. A
// durable change also makes durable every earlier change that shares a folder with it, so the
// log keeps per folder a pending suffix, which can always be undone newest first.
class Pending {
public:
    using Key = std::pair<dev_t, ino_t>;
    static constexpr const char *stashName = ".lossyfs-stash";
    static constexpr off_t blockSize = 4096;

    // rootFd: the backing folder. Creates the stash folder in it, empty.
    explicit Pending(int rootFd);

    // The open folder at rel (relative to the backing root), cached by inode; -1 with errno set.
    int folder(const std::string &rel, Key *key);

    // Data. fd is any open descriptor of the file; hint names it in reports.
    int beforeWrite(int fd, off_t from, off_t to, const char *hint);
    int beforeResize(int fd, off_t newSize, const char *hint);
    void fileSynced(int fd);

    // Folder changes, recorded after they succeeded. what describes the change in reports.
    void added(const Key &dir, const std::string &name, const std::string &what);
    // Links the entry name of dir into the stash (before it is removed or replaced); returns the
    // stash name, or an empty string with errno set.
    std::string stash(int dirFd, const std::string &name);
    void unstash(const std::string &stashed);
    void removed(const Key &dir, const std::string &name, const std::string &stashed, const std::string &what);
    void removedFolder(const Key &dir, const std::string &name, const struct stat &old, const std::string &what);
    // replacedFolder: the target was an empty folder with attributes old (not stashed).
    void moved(const Key &from, const std::string &fromName, const Key &to, const std::string &toName,
               const std::string &stashed, const struct stat *replacedFolder, const std::string &what);
    void folderSynced(const Key &dir);

    // Brings the backing folder back to its durable state; with rng, keeps a random subset of
    // the pending blocks and a random prefix of each folder's pending changes. Reports to stderr.
    void cut(std::mt19937_64 *rng);
    // Makes everything durable (a clean unmount) and removes the stash.
    void keepAll();

private:
    struct File {
        int fd = -1; // read-write, keeps the inode alive until the cut
        off_t syncedSize = 0;
        std::string hint;
        std::map<off_t, std::string> blocks; // block number -> pre-image
    };
    enum class Kind { Added, Removed, RemovedFolder, Moved };
    struct Change {
        Kind kind;
        Key dirA, dirB; // where a name was added, removed or moved from; where it moved to
        std::string nameA, nameB;
        std::string stashed;    // the removed or replaced file, in the stash
        bool oldFolder = false; // a removed or replaced empty folder, recreated from old
        struct stat old {};
        std::vector<Key> folders;
        std::set<Key> unsynced;
        std::string what;
    };

    File *track(int fd, const char *hint);
    int saveBlocks(File &f, off_t from, off_t to);
    void record(Change c);
    void undo(const Change &c);
    void forget(const Change &c);
    void restoreFolder(int dirFd, const std::string &name, const struct stat &old);
    int fdOf(const Key &k) const;

    int root_, stash_;
    unsigned long stashCount_ = 0;
    std::map<Key, File> files_;
    std::map<Key, int> folders_;
    std::vector<Change> log_;
};
