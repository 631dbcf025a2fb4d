#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <sys/types.h>

// The hidden temporary files that the program writes beside the files it makes or replaces.
//
// A temporary file is named ".NAME.PURPOSE-TAG" beside the file NAME it stands for (the
// existence test never sees a name that starts with "."), and the writer holds an advisory lock
// (flock) on it for the file's whole life. A temporary file that nobody holds locked therefore
// belongs to a writer that has gone (killed, or the machine lost its power) and can be removed
// at once; one that a live writer holds is never touched.
class TempFile {
public:
    enum class Existing { Replace, Refuse };

    // Creates the file beside finalPath, locked and open for writing, with mode (less the umask).
    // Refuses a finalPath that is a folder or a read-only file, which the commit could not
    // replace. Errors are Error(errno) with a description that starts with action.
    TempFile(const QString &finalPath, const QString &purpose, const QString &action, mode_t mode = 0666);
    // A second name, beside finalPath, for the existing file `existing` (a hard link: no data is
    // copied, and no descriptor held); committing it puts that very file in place of finalPath,
    // with its own permissions. Null where the two cannot share a file (another file
    // system, or one without hard links).
    static std::unique_ptr<TempFile> linkTo(const QString &existing, const QString &finalPath, const QString &purpose,
                                            const QString &action);
    // Removes the file (and anything SQLite kept beside it) unless it has been committed.
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    int fd() const { return fd_; }
    const QString &path() const { return path_; }
    const QString &finalPath() const { return finalPath_; }

    // Syncs the file, gives it the permissions of the file it replaces (a new file keeps its
    // own), renames it to finalPath and syncs the folder. With Existing::Refuse an existing
    // finalPath is not replaced (EEXIST). On failure the temporary file is removed and finalPath
    // is as it was. A failed sync is never retried: the data may be lost, so the call fails.
    void commit(Existing existing = Existing::Replace);
    // Syncs the file's data without putting it in place (for a file that must be durable
    // before another step begins).
    void sync();

    // The purpose of files that a later step renames into place.
    static inline const QString Temporary = QStringLiteral("tmp");

private:
    QString finalPath_;
    QString action_;
    QString path_;
    int fd_ = -1;
    bool committed_ = false;
    bool ownMode_ = false;

    TempFile() = default;
    // Takes the lock on the file just made under candidate; false when another run's clean-up
    // took it away meanwhile.
    bool adopt(int fd, const QString &candidate);
};

namespace TempFiles {

// Removes the temporary files (and what SQLite left beside them) that writers now gone left
// beside each of paths. Files that a live writer holds locked stay, and so does every file that
// is not one of ours. Best effort: what cannot be removed stays.
void removeStale(const QStringList &paths) noexcept;

} // namespace TempFiles
