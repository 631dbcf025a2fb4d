#pragma once

#include "platform/fs/folder.h"

#include <QString>

#include <functional>

// File services on paths and open descriptors. Every failure throws Error with the errno of the
// failing call and a description that names the file. Paths are used exactly as given.
namespace Files {

// Called after each piece of a copy with the bytes copied so far.
using CopyProgress = std::function<void(qint64 copied)>;

// The existence test: true when path names a regular file (a link to one counts) whose name
// does not start with "." (hidden). Folders, hidden files, empty paths and paths that cannot be
// looked up (a missing parent, a name that is too long, a NUL character) count as absent.
[[nodiscard]] bool exists(const QString &path);

// The folder that holds the running executable, without a trailing separator.
[[nodiscard]] QString appPath();

// The separator of path parts.
[[nodiscard]] QChar separator();
[[nodiscard]] bool isSeparator(QChar c);
// Index of the last separator in path, or -1.
[[nodiscard]] qsizetype lastSeparator(const QString &path);
// The folder part of path (everything before its last separator; "/" for a file at the root, ""
// when there is no separator) and the name after it.
[[nodiscard]] QString folderOf(const QString &path);
[[nodiscard]] QString nameOf(const QString &path);
// The name without its last extension: "BACK.MDB" gives "BACK", "data" stays "data".
[[nodiscard]] QString baseNameOf(const QString &name);

// Puts the file from in place of to (which may exist) and removes from, neither name followed.
// On one file system this is a single rename; across file systems from is copied to a temporary
// file beside to, synced and renamed over to, and only then removed. Either way to is always
// either as it was or the complete new file. fromFd is a descriptor of from (for the copy), and
// reference the file whose access the copy gets (its descriptor and status). Refuses a to that is
// a folder or a read-only file. If from cannot be removed after a copy, throws with to already
// replaced.
void replace(const Fs::Location &from, int fromFd, const Fs::Location &to, int referenceFd,
             const Fs::Status &reference);

// Once 8 MiB or more have been written to fd since flushedTo, asks the kernel to start writing
// them to disk and moves flushedTo to written: the writeback then runs while the writer goes on,
// and the fsync before the file is put in place finds little left to do. Best effort: that fsync
// reports any error.
void startWriteback(int fd, qint64 &flushedTo, qint64 written);

// Copies everything from the descriptor in, from its current offset, to the descriptor out (the
// kernel's copy where it can, which shares the data where the file system allows), starting the
// writeback of what has been written as it goes so that the final sync has little left to do.
// Stops (Error ECANCELED) when the program is asked to end. Throws Error naming src or dst for
// the side that failed.
void copyData(int in, const QString &src, int out, const QString &dst, const QString &action,
              const CopyProgress &progress = {});

} // namespace Files
