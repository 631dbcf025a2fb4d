#include "platform/tempfile.h"

#include "platform/errors.h"
#include "platform/files.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The purposes a temporary file may have; only names with one of them are ever removed.
const QStringList Purposes = {TempFile::Temporary, QStringLiteral("restore"), QStringLiteral("snapshot"),
                              QStringLiteral("safety")};
// What SQLite may keep beside a database file that it writes.
const QStringList Companions = {QStringLiteral("-journal"), QStringLiteral("-wal"), QStringLiteral("-shm")};

QString folderPart(const QString &path)
{
    return path.left(Files::lastSeparator(path) + 1);
}

QString namePart(const QString &path)
{
    return path.mid(Files::lastSeparator(path) + 1);
}

QString describedFolder(const QString &path)
{
    const QString folder = folderPart(path);
    return quotedPath(folder.isEmpty() ? QStringLiteral(".") : folder.size() == 1 ? folder : folder.chopped(1));
}

// Names tried before giving up: a clash of random tags is all but impossible.
constexpr int NameAttempts = 100;

// A new name for a temporary file beside finalPath: ".NAME.PURPOSE-TAG", TAG random.
QString candidateName(const QString &finalPath, const QString &purpose)
{
    return folderPart(finalPath) + QLatin1Char('.') + namePart(finalPath) + QLatin1Char('.') + purpose +
           QLatin1Char('-') + QString::number(QRandomGenerator::global()->generate64() & 0xffffffffffULL, 36);
}

bool isTag(QStringView tag)
{
    if (tag.isEmpty())
        return false;
    for (QChar c : tag) {
        if (!(c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))))
            return false;
    }
    return true;
}

// Whether entry is the name of a temporary file made beside name (".NAME.PURPOSE-TAG"), or of
// one made beside such a file. companion receives a trailing "-journal", "-wal" or "-shm".
bool isTempNameOf(QString entry, const QString &name, QString *companion)
{
    companion->clear();
    for (const QString &suffix : Companions) {
        if (entry.endsWith(suffix)) {
            *companion = suffix;
            entry.chop(suffix.size());
            break;
        }
    }
    // A temporary file beside a temporary file: "." + ".NAME.PURPOSE-TAG" + ".PURPOSE-TAG".
    const QString prefix = QLatin1Char('.') + name + QLatin1Char('.');
    QString rest;
    if (entry.startsWith(prefix))
        rest = entry.mid(prefix.size());
    else if (entry.startsWith(QLatin1Char('.') + prefix))
        rest = entry.mid(prefix.size() + 1);
    else
        return false;
    // One or two "PURPOSE-TAG" parts, joined by ".".
    const QStringList parts = rest.split(QLatin1Char('.'));
    if (parts.size() > 2)
        return false;
    for (const QString &part : parts) {
        const qsizetype dash = part.indexOf(QLatin1Char('-'));
        if (dash < 0 || !Purposes.contains(part.left(dash)) || !isTag(QStringView(part).mid(dash + 1)))
            return false;
    }
    return true;
}

// Removes file if nobody holds it locked: the lock is taken first, so a writer that starts
// meanwhile cannot lose its file, and the name must still name the file that was locked.
bool removeIfUnlocked(const QByteArray &file)
{
    const int fd = ::open(file.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat held, named;
    const bool removed = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
                         ::lstat(file.constData(), &named) == 0 && named.st_dev == held.st_dev &&
                         named.st_ino == held.st_ino && ::unlink(file.constData()) == 0;
    ::close(fd);
    return removed;
}

} // namespace

TempFile::TempFile(const QString &finalPath, const QString &purpose, const QString &action, mode_t mode)
    : finalPath_(finalPath), action_(action)
{
    if (finalPath.isEmpty())
        throw Error(ENOENT, action + QStringLiteral(": no file was named"));
    if (finalPath.contains(QChar(0)))
        throw Error(EINVAL, action + QStringLiteral(": the path contains a NUL character"));
    struct stat st;
    if (::stat(QFile::encodeName(finalPath).constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            throw Error(EISDIR, action + QStringLiteral(": it is a folder"));
        if (S_ISREG(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            throw Error(EACCES, action + QStringLiteral(": the file is read-only"));
    }
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        const QString candidate = candidateName(finalPath, purpose);
        const QByteArray native = QFile::encodeName(candidate);
        const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            throw Error::fromErrno(errno, action + QStringLiteral(": cannot create a file in ") +
                                              describedFolder(finalPath));
        }
        if (adopt(fd, candidate))
            return;
    }
    throw Error(EEXIST, action + QStringLiteral(": no free temporary name in ") + describedFolder(finalPath));
}

bool TempFile::adopt(int fd, const QString &candidate)
{
    // Another run's clean-up may have taken the new file for a stale one between its creation
    // and the lock: then the name no longer names it, and another name is tried. A file that
    // cannot be locked (a file system without locks, an error) is used unlocked: a clean-up
    // removes only files it can lock, and one that does remove it makes the commit fail, which
    // loses nothing. Closing it here instead would leave it behind.
    (void)::flock(fd, LOCK_EX);
    struct stat held, named;
    if (::fstat(fd, &held) == 0 &&
        ::lstat(QFile::encodeName(candidate).constData(), &named) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev) {
        fd_ = fd;
        path_ = candidate;
        return true;
    }
    ::close(fd);
    return false;
}

std::unique_ptr<TempFile> TempFile::linkTo(const QString &existing, const QString &finalPath, const QString &purpose,
                                           const QString &action)
{
    std::unique_ptr<TempFile> file(new TempFile);
    file->finalPath_ = finalPath;
    file->action_ = action;
    file->ownMode_ = true;
    const QByteArray from = QFile::encodeName(existing);
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        const QString candidate = candidateName(finalPath, purpose);
        const QByteArray native = QFile::encodeName(candidate);
        if (::link(from.constData(), native.constData()) != 0) {
            if (errno == EEXIST)
                continue;
            return nullptr; // another file system, no hard links here, no rights: copy instead
        }
        // No descriptor is kept open on it, and so no lock: it is the target's file, which the
        // replacement checks nobody holds. A clean-up that removes the name meanwhile only makes
        // the commit fail; the file itself stays under its own name.
        file->path_ = candidate;
        return file;
    }
    return nullptr;
}

TempFile::~TempFile()
{
    if (!committed_ && !path_.isEmpty()) {
        ::unlink(QFile::encodeName(path_).constData());
        for (const QString &suffix : Companions)
            ::unlink(QFile::encodeName(path_ + suffix).constData());
    }
    if (fd_ >= 0)
        ::close(fd_);
}

void TempFile::sync()
{
    if (fd_ < 0)
        return; // a second name of a file this program did not write
    if (::fsync(fd_) != 0)
        throw Error::fromErrno(errno, action_ + QStringLiteral(": cannot write ") + quotedPath(finalPath_) +
                                          QStringLiteral(" to the disk"));
}

void TempFile::commit(Existing existing)
{
    const QByteArray from = QFile::encodeName(path_);
    const QByteArray to = QFile::encodeName(finalPath_);
    struct stat st;
    if (!ownMode_ && ::stat(to.constData(), &st) == 0 && S_ISREG(st.st_mode))
        ::fchmod(fd_, st.st_mode & 07777); // the new file keeps the permissions of the one it replaces
    sync();
    const int err = existing == Existing::Replace ? (::rename(from.constData(), to.constData()) == 0 ? 0 : errno)
                                                  : Files::renameNoReplace(from, to);
    if (err != 0)
        throw Error::fromErrno(err, action_ + QStringLiteral(": cannot put ") + quotedPath(finalPath_) +
                                        QStringLiteral(" in place"));
    committed_ = true;
    Files::syncParentFolder(finalPath_);
}

namespace TempFiles {

void removeStale(const QStringList &paths) noexcept
{
    // The names to look for, by folder, so that each folder is listed once.
    QMap<QString, QStringList> names;
    for (const QString &path : paths) {
        if (!namePart(path).isEmpty())
            names[folderPart(path)] << namePart(path);
    }
    for (auto it = names.cbegin(); it != names.cend(); ++it) {
        const QString folder = it.key();
        const QStringList entries =
            QDir(folder.isEmpty() ? QStringLiteral(".") : folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QStringList companions;
        bool removed = false;
        for (const QString &entry : entries) {
            for (const QString &name : it.value()) {
                QString companion;
                if (!isTempNameOf(entry, name, &companion))
                    continue;
                if (companion.isEmpty())
                    removed |= removeIfUnlocked(QFile::encodeName(folder + entry));
                else
                    companions << entry.chopped(companion.size()) << entry;
                break;
            }
        }
        // A journal or log goes once the file it belongs to has gone.
        for (qsizetype i = 0; i + 1 < companions.size(); i += 2) {
            if (!QFile::exists(folder + companions[i]))
                removed |= ::unlink(QFile::encodeName(folder + companions[i + 1]).constData()) == 0;
        }
        try {
            if (removed)
                Files::syncParentFolder(folder + it.value().first());
        } catch (const Error &) {
            // Only leftovers went: if their removal is lost, a later run removes them again.
        }
    }
}

} // namespace TempFiles
