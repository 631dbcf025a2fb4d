#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QString>

#include <functional>

// File services. Every failure throws Error with the errno of the failing call and a
// description that names the file. Paths are used exactly as given.
namespace Files {

// Called after each piece of a copy with the bytes copied so far.
using CopyProgress = std::function<void(qint64 copied)>;

// The existence test: true when path names a regular file (a link to one counts) whose name
// does not start with "." (hidden). Folders, hidden files, empty paths and paths that cannot be
// looked up (a missing parent, a name that is too long, a NUL character) count as absent.
[[nodiscard]] bool exists(const QString &path);

// Whether path names a regular file itself, not through a symbolic link.
[[nodiscard]] bool isPlainName(const QString &path);

// Whether a and b name one and the same existing file (another name or a link to it counts).
[[nodiscard]] bool sameFile(const QString &a, const QString &b);

// The folder that holds the running executable, without a trailing separator.
[[nodiscard]] QString appPath();

// The separator that paths built by this program use, and whether c separates path parts
// on this platform ('/' here; '\\' and '/' on Windows).
[[nodiscard]] QChar separator();
[[nodiscard]] bool isSeparator(QChar c);
// Index of the last separator in path, or -1.
[[nodiscard]] qsizetype lastSeparator(const QString &path);

// Puts the file from in place of to (which may exist) and removes from. On one file system this
// is a single rename; across file systems from is copied to a temporary file beside to, synced
// and renamed over to, and only then removed. Either way to is always either as it was or the
// complete new file, and the result keeps the permissions of the file it replaces. Refuses a to
// that is a folder or a read-only file. If from cannot be removed after a copy, throws with to
// already replaced.
void replace(const QString &from, const QString &to);

// Flushes the entries of the folder that holds path to disk (after a rename or a delete).
void syncParentFolder(const QString &path);

// Flushes the content of the file at path to disk; a failure is an error, never retried.
void syncFile(const QString &path);

// Once 8 MiB or more have been written to fd since flushedTo, asks the kernel to start writing
// them to disk and moves flushedTo to written: the writeback then runs while the writer goes on,
// and the fsync before the file is put in place finds little left to do. Best effort: that fsync
// reports any error.
void startWriteback(int fd, off_t &flushedTo, off_t written);

// Renames from to to, refusing (EEXIST) to replace an existing to. Returns 0 or the errno.
[[nodiscard]] int renameNoReplace(const QByteArray &from, const QByteArray &to);

// Copies everything from the descriptor in to the descriptor out (the kernel's copy where it
// can, which shares the data where the file system allows), starting the writeback of what has
// been written as it goes so that the final sync has little left to do. Stops (Error ECANCELED)
// when the program is asked to end. Throws Error naming src or dst for the side that failed.
void copyData(int in, const QString &src, int out, const QString &dst, const QString &action,
              const CopyProgress &progress = {});

// What tells whether a file has changed: its identity, size and time of last change, read without
// opening it (closing a descriptor of a database would drop SQLite's locks on it).
struct Stamp {
    quint64 device = 0, inode = 0;
    qint64 size = -1, modifiedNs = -1;
    bool operator==(const Stamp &) const = default;
};
[[nodiscard]] Stamp stampOf(const QString &path);

} // namespace Files
