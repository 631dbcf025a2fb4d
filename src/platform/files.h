#pragma once

#include <QString>

// File services. Every failure throws Error with the errno of the failing call and a
// description that names the file. Paths are used exactly as given.
namespace Files {

// The existence test: true when path names a regular file (a link to one counts) whose name
// does not start with "." (hidden). Folders, hidden files, empty paths and paths that cannot be
// looked up (a missing parent, a name that is too long, a NUL character) count as absent.
[[nodiscard]] bool exists(const QString &path);

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

// Copies src to dst. The copy is written beside dst under a temporary name, synced, and only
// then put in place of dst, so dst is always either as it was or the complete copy.
// Refuses a dst that is a folder or a read-only file.
void copy(const QString &src, const QString &dst);

// Deletes a file. Refuses folders and read-only files (no write permission bit set).
void remove(const QString &path);

// Renames or moves a file to a path that must not exist. Where a rename cannot cross file
// systems, the file is copied, synced, put in place and only then the source deleted; on any
// failure the source is kept and nothing is left at the destination.
void move(const QString &from, const QString &to);

// Puts the file from in place of to (which may exist) and removes from. On one file system this
// is a single rename; across file systems from is copied to a temporary file beside to, synced
// and renamed over to, and only then removed. Either way to is always either as it was or the
// complete new file, and the result keeps the permissions of the file it replaces. Refuses a to
// that is a folder or a read-only file. If from cannot be removed after a copy, throws with to
// already replaced.
void replace(const QString &from, const QString &to);

// Flushes the entries of the folder that holds path to disk (after a rename or a delete).
void syncParentFolder(const QString &path);

// A file written under a temporary name beside its final path and put in place by commit().
// The temporary name starts with "." so the existence test never sees it. Until commit() the
// final path is untouched; destroying an uncommitted AtomicFile removes the temporary file.
class AtomicFile {
public:
    // Errors name the failing step after context, by default "Cannot write "<finalPath>"".
    explicit AtomicFile(const QString &finalPath, const QString &context = QString());
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    // Creates the temporary file (owner read/write only until commit) and returns its
    // descriptor, open for writing.
    int open();
    int fd() const { return fd_; }
    const QString &tempPath() const { return tempPath_; }
    const QString &finalPath() const { return finalPath_; }
    // Syncs and closes the temporary file, gives it the permissions of the file it replaces (a
    // new file keeps the default ones), renames it over the final path and syncs the folder.
    void commit();
    // As commit(), but refuses (EEXIST) to replace an existing final path.
    void commitNew();
    // Closes and removes the temporary file; the final path stays as it was.
    void discard() noexcept;

private:
    void finishWriting();

    QString finalPath_;
    QString context_;
    QString tempPath_;
    int fd_ = -1;
};

} // namespace Files
