#include "operations/restore.h"

#include "operations/databasefile.h"
#include "operations/paths.h"
#include "operations/replacement.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stop.h"
#include "platform/tempfile.h"
#include "platform/zlibtool/compressionengine.h"

#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace Operations {
namespace {

class ReadFd {
public:
    ReadFd(const QString &path, const QString &action) : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC))
    {
        if (fd_ < 0)
            throw Error::fromErrno(errno, action + QStringLiteral(": cannot open ") + quotedPath(path));
    }
    ~ReadFd() { ::close(fd_); }
    ReadFd(const ReadFd &) = delete;
    ReadFd &operator=(const ReadFd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// A database file given as the source: refused when a journal or log beside it may hold part of
// its content (a copy of the file alone would lose it).
void refuseDatabaseWithCompanions(const QString &from)
{
    for (const QString &companion : Paths::companions(from)) {
        if (companion.endsWith(QLatin1String("-shm")))
            continue;
        if (QFileInfo(companion).size() > 0)
            throw Error(EBUSY, QStringLiteral("Cannot restore from ") + quotedPath(from) + QStringLiteral(": ") +
                                   quotedPath(companion) +
                                   QStringLiteral(" beside it may hold part of its content (a program may be using "
                                                  "it); close that program, or restore from a backup of it"));
    }
}

// Writes from's content into staged: copied from a database file, decompressed and verified
// from a backup. progress gets the bytes of from read so far.
void stage(const QString &from, const QString &target, TempFile &staged, const QString &action,
           const std::function<void(qint64)> &progress)
{
    if (DatabaseFile::isSqliteDatabase(from)) {
        refuseDatabaseWithCompanions(from);
        const Files::Stamp before = Files::stampOf(from);
        const ReadFd in(from, action);
        Files::copyData(in.get(), from, staged.fd(), target, action, progress);
        if (Files::stampOf(from) != before)
            throw Error(EBUSY, action + QStringLiteral(": ") + quotedPath(from) +
                                   QStringLiteral(" changed while it was being read; close the program that uses it "
                                                  "and try again"));
    } else {
        CompressionEngine::decompressInto(from, staged.fd(), target,
                                          [&](qint64 done, qint64) { progress(done); });
    }
    DatabaseFile::requireDatabaseImage(staged.fd(), from);
}

} // namespace

void restore(const QString &from, const QString &target, const QString &safetyCopy, const Observer &observer)
{
    if (target.isEmpty())
        throw Error(ENOENT, QStringLiteral("Cannot restore: no file to restore to was named"));
    const bool replacing = Files::exists(target);
    if (replacing)
        refuseReadOnly(target);
    ensureNotInUse(target);
    const Files::Stamp targetStamp = Files::stampOf(target);
    requireExisting(from);
    if (Files::sameFile(from, target))
        throw Error(ErrorNumber::InvalidArgument,
                    quotedPath(from) + QStringLiteral(" cannot be both the file to restore from and the file to restore"));
    // Two names of one file (a restore stopped between putting its safety copy and its target in
    // place leaves them so): the safety copy already holds the target, and replacing the target's
    // name keeps it. Anything else that makes them one file, such as a symbolic link, would make
    // the replacement overwrite the safety copy.
    const bool safetyIsTarget = Files::sameFile(target, safetyCopy);
    if (safetyIsTarget && !(Files::isPlainName(target) && Files::isPlainName(safetyCopy) &&
                            QFileInfo(target) != QFileInfo(safetyCopy)))
        throw Error(ErrorNumber::InvalidArgument,
                    quotedPath(target) + QStringLiteral(" cannot be restored: it is the safety copy ") +
                        quotedPath(safetyCopy) + QStringLiteral(" itself"));
    observer.begin();
    TempFiles::removeStale({target, safetyCopy});

    const QString action = QStringLiteral("Cannot restore ") + quotedPath(from) + QStringLiteral(" to ") + quotedPath(target);
    const QString safetyAction = QStringLiteral("Cannot make the safety copy ") + quotedPath(safetyCopy) +
                                 QStringLiteral(" of ") + quotedPath(target);
    // Created with the default permissions; the commit gives it those of the file it replaces.
    TempFile staged(target, QStringLiteral("restore"), action);
    // The safety copy is the target's file itself, given a second name beside the safety copy's
    // (nothing to copy: the replacement gives the target's name to the restored file and leaves
    // the old file under the safety copy's); where the two folders cannot share a file, a copy.
    std::unique_ptr<TempFile> safety;
    bool copySafety = false;
    if (replacing && !safetyIsTarget) {
        safety = TempFile::linkTo(target, safetyCopy, QStringLiteral("safety"), safetyAction);
        if (!safety) {
            safety = std::make_unique<TempFile>(safetyCopy, QStringLiteral("safety"), safetyAction);
            copySafety = true;
        }
    }

    // The two copies run side by side; the first failure stops the other, and is the one reported.
    const qint64 total = QFileInfo(from).size() + (copySafety ? QFileInfo(target).size() : 0);
    std::atomic<qint64> staging{0}, copying{0};
    std::atomic<int> firstFailure{0};
    enum { Staging = 1, Copying = 2 };
    const auto progressOf = [&](std::atomic<qint64> &counter) {
        return [&, c = &counter](qint64 done) {
            c->store(done);
            observer.report(staging.load() + copying.load(), total);
            if (firstFailure.load() != 0)
                throw Error(ECANCELED, action);
        };
    };
    const auto fail = [&](int who) {
        int none = 0;
        firstFailure.compare_exchange_strong(none, who);
    };
    std::exception_ptr copyError, stageError;
    std::thread copier;
    if (copySafety) {
        copier = std::thread([&] {
            try {
                const ReadFd in(target, safetyAction);
                Files::copyData(in.get(), target, safety->fd(), safetyCopy, safetyAction, progressOf(copying));
                safety->sync();
            } catch (...) {
                copyError = std::current_exception();
                fail(Copying);
            }
        });
    }
    try {
        stage(from, target, staged, action, progressOf(staging));
        staged.sync();
    } catch (...) {
        stageError = std::current_exception();
        fail(Staging);
    }
    if (copier.joinable())
        copier.join();
    if (firstFailure.load() != 0)
        std::rethrow_exception(firstFailure.load() == Staging ? stageError : copyError);
    Stop::check(action);

    // Both files are complete and on disk. From here on what is replaced is replaced whole, the
    // safety copy first, and only once nothing can refuse the replacement any more.
    replaceDatabase(target, [&] {
        if (replacing && !Files::exists(target))
            throw Error::fromErrno(ENOENT, action + QStringLiteral(": ") + quotedPath(target) +
                                               QStringLiteral(" was removed while it was being restored"));
        if (Files::stampOf(target) != targetStamp)
            throw Error(EBUSY, quotedPath(target) +
                                   QStringLiteral(" was changed by another program while it was being restored; it "
                                                  "was kept as it is. Close the other program and try again"));
        if (safety)
            safety->commit();
        staged.commit();
    });
}

} // namespace Operations
