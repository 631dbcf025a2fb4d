#pragma once

#include "platform/fs/descriptor.h"

#include <QString>
#include <QStringList>

#include <memory>

// The one place that reaches files by name. A folder is opened once and held by its descriptor;
// every file in it is reached relative to that descriptor and never through a symbolic link, so
// that another account that can write the folder cannot slip a link or another file under a name
// between two steps. Files this program creates are created new (never opened if they exist),
// readable and writable by their owner alone until they are finished.
//
// Every failure throws Error with the errno of the failing call and a description that starts with
// the caller's action and names the file.
namespace Fs {

struct Location;
Location resolve(const QString &path, const QString &action);

// A folder held open. Copies share the descriptor.
class Folder {
public:
    Folder() = default;

    // Opens the folder at path, following links in it as resolve() does. An empty path is the
    // current folder.
    static Folder open(const QString &path, const QString &action);

    bool valid() const { return state_ != nullptr; }
    int fd() const;
    // The folder's path, without links, as SQLite and messages take it.
    const QString &path() const;
    // The path of name in this folder.
    [[nodiscard]] QString pathOf(const QString &name) const;
    // Whether other is the same folder.
    [[nodiscard]] bool sameFolder(const Folder &other) const;

    // The status of name itself (a link is not followed); a default Status when it is absent.
    [[nodiscard]] Status status(const QString &name) const;
    // Opens the regular file name for reading. Refuses a link (ELOOP), a folder (EISDIR) and
    // anything else that is not a regular file (EINVAL); never blocks on a pipe.
    [[nodiscard]] Fd openForReading(const QString &name, const QString &action) const;
    // Creates name, which must not exist, open for reading and writing, mode 0600. Returns an
    // invalid Fd with errno set to EEXIST when the name is taken; throws on any other failure.
    [[nodiscard]] Fd createNew(const QString &name, const QString &action) const;
    // Gives the file name (not followed) a second name newName in the folder to. Returns 0 or the
    // errno of the failure.
    [[nodiscard]] int link(const QString &name, const Folder &to, const QString &newName) const;
    // Renames name to newName in the folder to; with replace false an existing newName is refused
    // (EEXIST). Returns 0 or the errno of the failure. Neither name is followed.
    [[nodiscard]] int rename(const QString &name, const Folder &to, const QString &newName, bool replace) const;
    // Removes name (not followed). Returns 0 or the errno of the failure.
    int remove(const QString &name) const;
    // Whether this account may write the file name (its permissions, access list and file system
    // included): 0, or the errno that a write would meet (EACCES, EROFS).
    [[nodiscard]] int writeAccess(const QString &name) const;
    // The names in the folder, "." and ".." left out. Throws Error (errno) naming action.
    [[nodiscard]] QStringList entries(const QString &action) const;
    // Makes the folder's entries durable (after a rename, a create or a remove). A file system
    // that cannot sync folders is passed over; a sync that fails is an error.
    void sync() const;
    // The bytes this account may still write on the folder's file system.
    [[nodiscard]] qint64 freeBytes() const;

private:
    friend Location resolve(const QString &path, const QString &action);
    struct State;
    std::shared_ptr<const State> state_;
};

// A path the user gave, as a held folder and a name in it.
struct Location {
    Folder folder;
    QString name;
    QString path() const { return folder.pathOf(name); }
    Status status() const { return folder.status(name); }
};

// Resolves a path the user typed or chose. Symbolic links in it, the last name's included, are
// followed when this account or the administrator made them (the user's own shortcuts); a link
// that another account made is never followed: the call then throws ELOOP naming it. The last
// name need not exist. Throws ENOENT for an empty path, EINVAL for a NUL character or a path that
// ends in a separator, ENOTDIR when a part of the path is not a folder.
[[nodiscard]] Location resolve(const QString &path, const QString &action);

} // namespace Fs
