#include "platform/dao/inplace.h"

#include "platform/dao/databasefile.h"
#include "platform/dao/dbengine.h"
#include "platform/errors.h"
#include "platform/fs/files.h"
#include "platform/stop.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <sqlite3.h>
#include <thread>

namespace Dao {
namespace {

// Pages copied by one step: small enough for the progress bar and a request to stop to be seen
// often, large enough not to cost time.
constexpr int StepPages = 1024;

qint64 pageSizeOf(sqlite3 *db, const QString &action)
{
    return Dao::queryText(db, QStringLiteral("PRAGMA page_size"), action).toLongLong();
}

// Runs the backup to its end, reporting bytes copied; stops when the program is asked to end.
// With keepLast, it stops short of the last page, whose copy commits the backup. The caller
// finishes it. available, when given, tells how many bytes at the start of the source are
// complete: no page is read before it is.
int runSteps(sqlite3_backup *backup, qint64 pageSize, const QString &action, const Progress &progress,
             bool keepLast = false, const std::function<qint64()> &available = {})
{
    int rc = SQLITE_OK;
    do {
        // The counts are known once a first step (the lock's) has been made.
        const int remaining = sqlite3_backup_remaining(backup);
        const int pageCount = sqlite3_backup_pagecount(backup);
        if (keepLast && remaining <= 1)
            return SQLITE_OK;
        int pages = keepLast ? std::min(StepPages, remaining - 1) : StepPages;
        if (available) {
            const qint64 ready = available() / pageSize - (pageCount - remaining);
            if (ready <= 0) {
                if (progress)
                    progress(qint64(pageCount - remaining) * pageSize, qint64(pageCount) * pageSize);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                Stop::check(action);
                continue;
            }
            pages = int(std::min<qint64>(pages, ready));
        }
        rc = sqlite3_backup_step(backup, pages);
        const qint64 total = qint64(sqlite3_backup_pagecount(backup)) * pageSize;
        if (progress)
            progress(total - qint64(sqlite3_backup_remaining(backup)) * pageSize, total);
        // The step that copies the last page commits: from then on the new content is in place
        // and the work finishes, a stop asked for meanwhile notwithstanding.
        if (rc == SQLITE_OK)
            Stop::check(action);
    } while (rc == SQLITE_OK);
    return rc;
}

} // namespace

void copyDatabaseInto(sqlite3 *source, TempFile &copy, const QString &action, const Progress &progress)
{
    const Fs::Status made = Fs::statusOf(copy.fd(), copy.path());
    Dao::ConnectionPtr db = Dao::openRaw(copy.path(), SQLITE_OPEN_READWRITE, action);
    Dao::requireOpenOn(db.get(), copy.folder().fd(), copy.name(), made.device, made.inode, copy.path(), action);
    // A throw-away file until it is synced and put in place: no journal, no syncs. Defensive
    // connections refuse to drop the journal, so this one may while it sets that up.
    Dao::setDefensive(db.get(), false);
    Dao::exec(db.get(), QStringLiteral("PRAGMA journal_mode = OFF"), action);
    Dao::setDefensive(db.get(), true);
    Dao::exec(db.get(), QStringLiteral("PRAGMA synchronous = OFF"), action);
    sqlite3_backup *backup = sqlite3_backup_init(db.get(), "main", source, "main");
    if (!backup)
        throw Dao::connectionError(db.get(), sqlite3_errcode(db.get()), action);
    int rc = SQLITE_OK;
    try {
        rc = runSteps(backup, pageSizeOf(source, action), action, progress);
    } catch (...) {
        sqlite3_backup_finish(backup);
        throw;
    }
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE)
        throw Dao::connectionError(Dao::isBusy(rc) ? source : db.get(), rc, action);
}

InPlaceWrite::InPlaceWrite(const Fs::Location &target, int targetFd, const Fs::Status &targetStatus,
                           const Fs::Location &source, const Fs::Status &sourceStatus, const QString &action,
                           bool sourceComplete)
    : target_(target), targetFd_(targetFd), targetStatus_(targetStatus), action_(action)
{
    const auto readOnly = [&](int err) {
        if (err != EACCES && err != EPERM && err != EROFS)
            return Error::fromErrno(err, action + QStringLiteral(": cannot write ") + quotedPath(target.path()));
        return Error::fromErrno(err, action + QStringLiteral(": this account may read ") + quotedPath(target.path()) +
                                         QStringLiteral(" but not change it; nothing was changed"));
    };
    if (const int err = target.folder.writeAccess(target.name); err != 0)
        throw readOnly(err);
    // SQLite writes the journal or log that this program makes (see prepareJournal), and never
    // makes one of its own, whose folder's sync it would not check.
    const bool walHeader = DatabaseFile::isInWalMode(targetFd, target.path());
    if (walHeader)
        prepareJournal(QStringLiteral("-wal"));
    try {
        live_ = Dao::openConnection(target.path(), SQLITE_OPEN_READWRITE, DBEngine::defaultBusyTimeoutMs, action,
                                    Dao::journalMadeByCallerVfs());
    } catch (const Error &e) {
        // A damaged database in rollback-journal mode (which a restore is there to mend) is written
        // without its schema being read: SQLite's locks, journal and backup need only its header.
        // No statement can run on such a connection, so it keeps SQLite's settings (full syncs).
        if (walHeader || !DatabaseFile::isDamagedDatabase(e))
            throw;
        live_ = Dao::openWaiting(target.path(), SQLITE_OPEN_READWRITE, DBEngine::defaultBusyTimeoutMs, action,
                                 Dao::journalMadeByCallerVfs());
        damaged_ = true;
    }
    Dao::requireOpenOn(live_.get(), target.folder.fd(), target.name, targetStatus.device, targetStatus.inode,
                       target.path(), action);
    if (sqlite3_db_readonly(live_.get(), "main") != 0)
        throw readOnly(EACCES);
    if (!damaged_) {
        wal_ = DatabaseFile::journalMode(live_.get(), action) == QLatin1String("wal");
        // The commit deletes or empties the journal; in this mode that change is made durable too,
        // so a power cut right after the write cannot bring the old content back.
        Dao::exec(live_.get(), QStringLiteral("PRAGMA synchronous = EXTRA"), action);
        // SQLite syncs the journal each time its page cache spills: 32 MiB instead of the default
        // 2 MiB makes a sixteenth of the syncs (a tenth of the write's time at 1 GB).
        Dao::exec(live_.get(), QStringLiteral("PRAGMA cache_size = -32768"), action);
        // The log is emptied after the write, where its failures are seen, not by SQLite on its own.
        Dao::exec(live_.get(), QStringLiteral("PRAGMA wal_autocheckpoint = 0"), action);
    }
    // A failure here is the new content's, which may have vanished meanwhile: the message names it.
    const QString reading = action + QStringLiteral(": cannot read ") + quotedPath(source.path());
    // Opening reads the schema, wherever its pages lie, unless the file is still being written.
    source_ = sourceComplete ? Dao::openConnection(source.path(), SQLITE_OPEN_READONLY, 0, reading)
                             : Dao::openRaw(source.path(), SQLITE_OPEN_READONLY, reading);
    Dao::requireOpenOn(source_.get(), source.folder.fd(), source.name, sourceStatus.device, sourceStatus.inode,
                       source.path(), reading);
    backup_ = sqlite3_backup_init(live_.get(), "main", source_.get(), "main");
    if (!backup_)
        throw Dao::connectionError(live_.get(), sqlite3_errcode(live_.get()), action);
}

Error InPlaceWrite::failure(int rc) const
{
    // SQLite stops writing a file that its name no longer names.
    if (rc == SQLITE_READONLY_DBMOVED)
        return Error::fromErrno(ENOENT, action_ + QStringLiteral(": ") + quotedPath(target_.path()) +
                                            QStringLiteral(" was removed or renamed while it was written; nothing was "
                                                           "changed"));
    return Dao::connectionError(live_.get(), rc, action_);
}

InPlaceWrite::~InPlaceWrite()
{
    finish();
}

int InPlaceWrite::finish() noexcept
{
    // Still under the lock: nobody else can have opened the journal made here.
    if (journalMade_ && target_.folder.status(target_.name + QStringLiteral("-journal")).size == 0)
        (void)target_.folder.remove(target_.name + QStringLiteral("-journal"));
    journalMade_ = false;
    const int rc = backup_ ? sqlite3_backup_finish(backup_) : SQLITE_OK;
    backup_ = nullptr;
    return rc;
}

void InPlaceWrite::prepareJournal(const QString &suffix)
{
    // SQLite makes a rollback journal (or log) when it first needs one, and passes over a failed
    // sync of the folder that would make the new name last: a power cut could then take the
    // journal away from a half-written database. It is made here instead, empty, with the access
    // of the database whose pages it will hold, and the folder synced, failures reported; SQLite
    // then writes into it.
    const QString name = target_.name + suffix;
    if (!target_.folder.status(name).exists()) {
        Fs::Fd journal = target_.folder.createNew(name, action_);
        if (journal.valid()) {
            journalMade_ = suffix == QLatin1String("-journal");
            Fs::giveAccessOf(journal.get(), target_.folder.pathOf(name), targetFd_, targetStatus_);
        }
    }
    target_.folder.sync();
}

void InPlaceWrite::lock()
{
    // A step of no pages opens the write transaction on target and copies nothing yet.
    const int rc = sqlite3_backup_step(backup_, 0);
    if (rc == SQLITE_OK) {
        if (!wal_)
            prepareJournal(QStringLiteral("-journal"));
        return;
    }
    (void)finish();
    if (Dao::isBusy(rc))
        throw Error(EBUSY, quotedPath(target_.path()) +
                               QStringLiteral(" is in use by another program (it is locked); close it and try again"));
    throw failure(rc);
}

void InPlaceWrite::copyCurrentInto(TempFile &copy, const Progress &progress)
{
    const QString action = QStringLiteral("Cannot make the safety copy ") + quotedPath(copy.finalPath()) +
                           QStringLiteral(" of ") + quotedPath(target_.path());
    if (!wal_) {
        const qint64 size = Fs::statusOf(targetFd_, target_.path()).size;
        Files::copyData(targetFd_, target_.path(), copy.fd(), copy.finalPath(), action, [&](qint64 done) {
            if (progress)
                progress(done, size);
        });
    } else {
        Dao::ConnectionPtr reader =
            Dao::openConnection(target_.path(), SQLITE_OPEN_READONLY, DBEngine::defaultBusyTimeoutMs, action);
        const Fs::Status st = Fs::statusOf(targetFd_, target_.path());
        Dao::requireOpenOn(reader.get(), target_.folder.fd(), target_.name, st.device, st.inode, target_.path(),
                           action);
        const Dao::Transaction reading(reader.get(), QStringLiteral("BEGIN"), action);
        copyDatabaseInto(reader.get(), copy, action, progress);
    }
    copy.sync();
}

void InPlaceWrite::write(const Progress &progress, const std::function<void()> &beforeCommit,
                         const std::function<qint64()> &available)
{
    const qint64 pageSize = pageSizeOf(source_.get(), action_);
    int rc = SQLITE_OK;
    if (beforeCommit) {
        rc = runSteps(backup_, pageSize, action_, progress, true, available);
        if (rc == SQLITE_OK)
            beforeCommit();
    }
    if (rc == SQLITE_OK)
        rc = runSteps(backup_, pageSize, action_, progress);
    if (rc == SQLITE_DONE)
        journalMade_ = false; // committed: SQLite has used the journal and removed it
    const int finished = finish();
    if (rc != SQLITE_DONE)
        throw failure(rc);
    if (finished != SQLITE_OK)
        throw failure(finished);
    if (damaged_) // what synchronous = EXTRA does: the journal's removal made durable
        target_.folder.sync();
    if (wal_) {
        // The log holds the whole database now: it is emptied into the file (where no reader keeps
        // it from being so). The content is committed already; a failure of the disk meanwhile is
        // still reported, never passed over.
        const int checkpoint = sqlite3_exec(live_.get(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
        if (checkpoint != SQLITE_OK && !Dao::isBusy(checkpoint)) {
            const Error cause = Dao::connectionError(live_.get(), checkpoint, quotedPath(target_.path()));
            throw Error(cause.number(),
                        cause.description() + QStringLiteral(" (the new content is in place, in the database's log, "
                                                             "but the disk failed while it was moved into the file)"));
        }
    }
    source_.reset();
    live_.reset();
}

CopyAhead::CopyAhead(const Fs::Location &target, bool wal, std::unique_ptr<TempFile> copy, const QString &action)
    : target_(target), wal_(wal), copy_(std::move(copy)), action_(action)
{
    task_.start([this] { run(); });
}

CopyAhead::~CopyAhead() = default;

QByteArray CopyAhead::header(int fd) const
{
    // The mode (bytes 18 and 19) and the change counter (24 to 27), which every commit in
    // rollback-journal mode moves.
    char bytes[10] = {};
    if (Fs::readAt(fd, bytes, sizeof bytes, 18, target_.path()) != qint64(sizeof bytes))
        return {};
    return QByteArray(bytes, 2) + QByteArray(bytes + 6, 4);
}

void CopyAhead::run()
{
    const auto progress = [this](qint64 done) {
        copied_ = done;
        if (cancel_)
            throw Error(ECANCELED, action_);
    };
    try {
        reader_ = Dao::openConnection(target_.path(), SQLITE_OPEN_READONLY, DBEngine::defaultBusyTimeoutMs, action_);
    } catch (const Error &e) {
        if (!DatabaseFile::isDamagedDatabase(e))
            throw;
        copy_.reset(); // a damaged database is copied under the lock, byte for byte
        return;
    }
    const Fs::Fd fd = target_.folder.openForReading(target_.name, action_);
    const Fs::Status st = Fs::statusOf(fd.get(), target_.path());
    Dao::requireOpenOn(reader_.get(), target_.folder.fd(), target_.name, st.device, st.inode, target_.path(), action_);
    // Where the transaction cannot begin (another program is committing, or has switched the
    // mode), no copy is made ahead: the one under the lock waits for the others or says why not.
    try {
        Dao::exec(reader_.get(), QStringLiteral("BEGIN"), action_);
        (void)Dao::queryText(reader_.get(), QStringLiteral("SELECT count(*) FROM sqlite_master"), action_);
    } catch (const Error &) {
        reader_.reset();
        copy_.reset(); // and the room reserved for it
        return;
    }
    if (DatabaseFile::isInWalMode(fd.get(), target_.path()) != wal_) {
        reader_.reset();
        copy_.reset();
        return;
    }
    try {
        if (wal_) {
            version_ = Dao::queryText(reader_.get(), QStringLiteral("PRAGMA data_version"), action_);
            copyDatabaseInto(reader_.get(), *copy_, action_, [&](qint64 done, qint64) { progress(done); });
        } else {
            // Under the read transaction's lock nobody writes the file: its bytes are one state.
            header_ = header(fd.get());
            Files::copyData(fd.get(), target_.path(), copy_->fd(), copy_->path(), action_, progress);
        }
        Dao::exec(reader_.get(), QStringLiteral("COMMIT"), action_);
    } catch (...) {
        reader_.reset();
        throw;
    }
    if (!wal_)
        reader_.reset();
    copy_->sync();
    made_ = true;
}

std::unique_ptr<TempFile> CopyAhead::wait(const std::function<void()> &tick)
{
    while (!task_.waitFor(std::chrono::milliseconds(100)))
        tick();
    return std::move(copy_);
}

bool CopyAhead::stillCurrent(int targetFd, bool wal)
{
    if (wal != wal_ || !made_)
        return false;
    if (!wal)
        return !header_.isEmpty() && header(targetFd) == header_;
    // The reader sees every commit made before the lock; nobody has committed since.
    const QString now = Dao::queryText(reader_.get(), QStringLiteral("PRAGMA data_version"), action_);
    reader_.reset();
    return now == version_;
}

} // namespace Dao
