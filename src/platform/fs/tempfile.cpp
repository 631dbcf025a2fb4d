#include "platform/fs/tempfile.h"

#include "platform/errors.h"

#include <QFile>
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

// Names tried before giving up: a clash of random tags is all but impossible.
constexpr int NameAttempts = 100;

// A new name for a temporary file beside finalName: ".NAME.PURPOSE-TAG", TAG random.
QString candidateName(const QString &finalName, const QString &purpose)
{
    return QLatin1Char('.') + finalName + QLatin1Char('.') + purpose + QLatin1Char('-') +
           QString::number(QRandomGenerator::global()->generate64() & 0xffffffffffULL, 36);
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

// Removes name if nobody holds it locked: the lock is taken first, so a writer that starts
// meanwhile cannot lose its file, and the name must still name the file that was locked. A link
// under the name is never opened.
bool removeIfUnlocked(const Fs::Folder &folder, const QString &name)
{
    const QByteArray native = QFile::encodeName(name);
    const int fd = ::openat(folder.fd(), native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat held;
    const bool removed = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
                         folder.status(name).sameFile(Fs::statusOf(fd, name)) && folder.remove(name) == 0;
    ::close(fd);
    return removed;
}

} // namespace

void TempFile::refuseFinalName() const
{
    const Fs::Status st = folder_.status(finalName_);
    const QString path = finalPath();
    if (!st.exists())
        return;
    if (st.isFolder())
        throw Error(EISDIR, action_ + QStringLiteral(": ") + quotedPath(path) + QStringLiteral(" is a folder"));
    if (st.isLink())
        throw Error(ELOOP, action_ + QStringLiteral(": ") + quotedPath(path) +
                               QStringLiteral(" is in the way: it is a symbolic link, which was left as it is"));
    if (!st.isRegular())
        throw Error(EINVAL, action_ + QStringLiteral(": ") + quotedPath(path) +
                                QStringLiteral(" is in the way: it is not a regular file"));
    if ((st.mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        throw Error(EACCES,
                    action_ + QStringLiteral(": the file ") + quotedPath(path) + QStringLiteral(" is read-only"));
}

TempFile::TempFile(const Fs::Folder &folder, const QString &finalName, const QString &purpose, const QString &action)
    : folder_(folder), finalName_(finalName), action_(action)
{
    if (finalName.isEmpty())
        throw Error(ENOENT, action + QStringLiteral(": no file was named"));
    refuseFinalName();
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        const QString candidate = candidateName(finalName, purpose);
        Fs::Fd file = folder.createNew(candidate, action);
        if (!file.valid())
            continue; // the name is taken
        // Another run's clean-up may have taken the new file for a stale one between its creation
        // and the lock: then the name no longer names it, and another name is tried. A file that
        // cannot be locked (a file system without locks) is used unlocked: a clean-up removes only
        // files it can lock, and one that does remove it makes the commit fail, which loses nothing.
        (void)::flock(file.get(), LOCK_EX);
        if (folder.status(candidate).sameFile(Fs::statusOf(file.get(), folder.pathOf(candidate)))) {
            fd_ = std::move(file);
            name_ = candidate;
            return;
        }
    }
    throw Error(EEXIST, action + QStringLiteral(": no free temporary name in ") + quotedPath(folder.path()));
}

std::unique_ptr<TempFile> TempFile::linkTo(const Fs::Folder &folder, const QString &existingName,
                                           const QString &finalName, const QString &purpose, const QString &action)
{
    std::unique_ptr<TempFile> file(new TempFile);
    file->folder_ = folder;
    file->finalName_ = finalName;
    file->action_ = action;
    file->refuseFinalName();
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        const QString candidate = candidateName(finalName, purpose);
        const int err = folder.link(existingName, folder, candidate);
        if (err == EEXIST)
            continue;
        if (err != 0)
            return nullptr; // no hard links here, or no right to make one: copy instead
        // No descriptor is kept open on it, and so no lock: it is the target's file, which the
        // replacement checks nobody holds. A clean-up that removes the name meanwhile only makes
        // the commit fail; the file itself stays under its own name.
        file->name_ = candidate;
        return file;
    }
    return nullptr;
}

TempFile::~TempFile()
{
    if (!committed_ && !name_.isEmpty()) {
        (void)folder_.remove(name_);
        for (const QString &suffix : Companions)
            (void)folder_.remove(name_ + suffix);
    }
}

void TempFile::giveAccessOf(int refFd, const Fs::Status &reference)
{
    if (fd_.valid())
        Fs::giveAccessOf(fd_.get(), path(), refFd, reference);
}

void TempFile::sync()
{
    if (fd_.valid()) // else a second name of a file this program did not write
        Fs::syncFile(fd_.get(), finalPath(), action_);
}

void TempFile::commit(Existing existing)
{
    sync();
    const int err = folder_.rename(name_, folder_, finalName_, existing == Existing::Replace);
    if (err != 0)
        throw Error::fromErrno(err, action_ + QStringLiteral(": cannot put ") + quotedPath(finalPath()) +
                                        QStringLiteral(" in place"));
    committed_ = true;
    folder_.sync();
}

namespace TempFiles {

void removeStale(const Fs::Folder &folder, const QStringList &names) noexcept
{
    if (!folder.valid())
        return;
    QStringList companions;
    bool removed = false;
    try {
        for (const QString &entry : folder.entries(QStringLiteral("Cannot look for leftovers"))) {
            for (const QString &name : names) {
                QString companion;
                if (name.isEmpty() || !isTempNameOf(entry, name, &companion))
                    continue;
                if (companion.isEmpty())
                    removed |= removeIfUnlocked(folder, entry);
                else
                    companions << entry.chopped(companion.size()) << entry;
                break;
            }
        }
        // A journal or log goes once the file it belongs to has gone.
        for (qsizetype i = 0; i + 1 < companions.size(); i += 2) {
            if (!folder.status(companions[i]).exists() && folder.status(companions[i + 1]).isRegular())
                removed |= folder.remove(companions[i + 1]) == 0;
        }
        if (removed)
            folder.sync();
    } catch (const Error &) {
        // Only leftovers go: what could not be listed or whose removal is lost, a later run removes.
    }
}

} // namespace TempFiles
