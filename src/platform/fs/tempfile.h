#pragma once

#include "platform/fs/folder.h"

#include <QString>
#include <QStringList>

#include <memory>

// The hidden temporary files that the program writes beside the files it makes or replaces.
//
// A temporary file is named ".NAME.PURPOSE-TAG" beside the file NAME it stands for (the
// existence test never sees a name that starts with "."), created new with mode 0600 in the
// held folder, and its writer holds an advisory lock (flock) on it for the file's whole life. A
// temporary file that nobody holds locked therefore belongs to a writer that has gone (killed,
// or the machine lost its power) and can be removed at once; one that a live writer holds is
// never touched.
class TempFile {
public:
    enum class Existing { Replace, Refuse };

    // Creates the file beside finalName in folder, locked and open for reading and writing. Refuses
    // a finalName that is a folder or a read-only file, which the commit could not replace, and one
    // that is a symbolic link or anything else but a regular file (it is in the way). Errors are
    // Error(errno) with a description that starts with action.
    TempFile(const Fs::Folder &folder, const QString &finalName, const QString &purpose, const QString &action);
    // A second name, beside finalName, for the existing file existingName of the same folder (a
    // hard link: no data is copied, and no descriptor held); committing it puts that very file in
    // place of finalName, with its own permissions. Null where the two cannot share a file (a file
    // system without hard links, no right to link).
    static std::unique_ptr<TempFile> linkTo(const Fs::Folder &folder, const QString &existingName,
                                            const QString &finalName, const QString &purpose, const QString &action);
    // Removes the file (and anything SQLite kept beside it) unless it has been committed.
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    int fd() const { return fd_.get(); }
    const Fs::Folder &folder() const { return folder_; }
    const QString &name() const { return name_; }
    QString path() const { return folder_.pathOf(name_); }
    QString finalPath() const { return folder_.pathOf(finalName_); }

    // Gives the file the group, permission bits and access list of reference (see
    // Fs::giveAccessOf); until then only its owner may read it.
    void giveAccessOf(int refFd, const Fs::Status &reference);
    // Syncs the file's data without putting it in place (for a file that must be durable before
    // another step begins). A failed sync is never retried: the data may be lost, so it fails.
    void sync();
    // Syncs the file, renames it to finalName and syncs the folder. With Existing::Refuse an
    // existing finalName is not replaced (EEXIST). On failure the temporary file is removed and
    // finalName is as it was.
    void commit(Existing existing = Existing::Replace);

    // The purpose of files that a later step renames into place.
    static inline const QString Temporary = QStringLiteral("tmp");

private:
    Fs::Folder folder_;
    QString finalName_;
    QString action_;
    QString name_;
    Fs::Fd fd_;
    bool committed_ = false;

    TempFile() = default;
    void refuseFinalName() const;
};

namespace TempFiles {

// Removes the temporary files (and what SQLite left beside them) that writers now gone left beside
// each of names in folder. Files that a live writer holds locked stay, and so does every file that
// is not one of ours. Best effort: what cannot be removed stays.
void removeStale(const Fs::Folder &folder, const QStringList &names) noexcept;

} // namespace TempFiles
