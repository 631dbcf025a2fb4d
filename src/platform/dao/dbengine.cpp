#include "platform/dao/dbengine.h"

#include "platform/fs/files.h"
#include "platform/fs/tempfile.h"
#include "platform/stop.h"

#include <QFile>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::unique_ptr<DBEngine> &engineSlot()
{
    static std::unique_ptr<DBEngine> engine;
    return engine;
}

// Refuses a destination that is already there, whatever it is: the engine never writes over a file.
void refuseExisting(const Fs::Location &dst, const QString &action)
{
    const Fs::Status st = dst.status();
    if (!st.exists())
        return;
    if (st.isFolder())
        throw Error(SQLITE_CANTOPEN,
                    action + QStringLiteral(": ") + quotedPath(dst.path()) + QStringLiteral(" is a folder"));
    throw Error(SQLITE_CANTOPEN,
                action + QStringLiteral(": the file ") + quotedPath(dst.path()) +
                    QStringLiteral(" is in the way: it already exists") +
                    (st.isLink() ? QStringLiteral(" as a symbolic link, which was left as it is") : QString()));
}

// Writes a compacted copy of the database open on source into the empty file at target.
void vacuumInto(sqlite3 *source, const QString &target, const QString &action)
{
    // VACUUM INTO syncs its output as the source's connection would sync it. The caller syncs
    // the copy before putting it in place and treats a failed sync as an error, where SQLite
    // passes over a failed sync of the folder; so the engine's own syncs are only time lost.
    Dao::StatementPtr noSync = Dao::prepare(source, QStringLiteral("PRAGMA synchronous = OFF"), action);
    if (const int rc = sqlite3_step(noSync.get()); rc != SQLITE_DONE)
        throw Dao::connectionError(source, rc, action);
    // Bound, not pasted: any character of the name is just a character.
    Dao::StatementPtr vacuum = Dao::prepare(source, QStringLiteral("VACUUM INTO ?"), action);
    const QByteArray native = Dao::sqlitePath(target, action);
    sqlite3_bind_text(vacuum.get(), 1, native.constData(), int(native.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(vacuum.get());
    if (rc != SQLITE_DONE)
        throw Dao::connectionError(source, rc, action);
}

} // namespace

std::unique_ptr<Database> DBEngine::OpenDatabase(const QString &path)
{
    const QString action = QStringLiteral("Cannot open database ") + quotedPath(path);
    const Fs::Location file = Fs::resolve(path, action);
    return std::make_unique<Database>(Dao::openConnection(file.path(), SQLITE_OPEN_READWRITE, busyTimeoutMs_, action),
                                      path);
}

void DBEngine::CompactDatabase(const QString &src, const QString &dst, const std::function<void(qint64)> &progress)
{
    const QString action =
        QStringLiteral("Cannot compact database ") + quotedPath(src) + QStringLiteral(" into ") + quotedPath(dst);
    (void)Dao::sqlitePath(dst, action);
    Fs::Location out;
    Fs::Location in;
    try {
        out = Fs::Location{Fs::Folder::open(Files::folderOf(dst), action), Files::nameOf(dst)};
        in = Fs::resolve(src, action);
    } catch (const Error &error) {
        throw Dao::fileError(error);
    }
    refuseExisting(out, action);

    // A read-only connection: the source is never written, not even to recover or checkpoint it.
    // It still sees what other connections committed to its write-ahead log.
    Dao::ConnectionPtr source = Dao::openConnection(in.path(), SQLITE_OPEN_READONLY, busyTimeoutMs_,
                                                    QStringLiteral("Cannot compact database ") + quotedPath(src));
    std::unique_ptr<TempFile> copy;
    try {
        // Private until complete.
        copy = std::make_unique<TempFile>(out.folder, out.name, TempFile::Temporary, action);
    } catch (const Error &error) {
        throw Dao::fileError(error);
    }
    // The statement stops when the program is asked to end, and tells how far it has come; what
    // it has written starts going to disk meanwhile, so the sync before the rename is short.
    struct Watch {
        int fd;
        const QString path;
        const std::function<void(qint64)> &progress;
        int calls = 0;
        qint64 flushedTo = 0;
    } watch{copy->fd(), copy->path(), progress};
    sqlite3_progress_handler(
        source.get(), 1000,
        [](void *context) {
            auto *w = static_cast<Watch *>(context);
            if (++w->calls % 64 == 0) {
                try {
                    const qint64 size = Fs::statusOf(w->fd, w->path).size;
                    Files::startWriteback(w->fd, w->flushedTo, size);
                    if (w->progress)
                        w->progress(size);
                } catch (const Error &) {
                    // Progress only: the writes themselves report their failures.
                }
            }
            return Stop::requested() ? 1 : 0;
        },
        &watch);

    // VACUUM INTO writes a rollback-journal database whatever the source's journal mode, so the
    // copy needs no log file beside it. It does not sync; the commit does, before the rename.
    try {
        vacuumInto(source.get(), copy->path(), action);
    } catch (const Error &error) {
        Stop::check(action);
        throw;
    }
    source.reset();
    // SQLite opened the file by its name: it must have written the one made for it.
    if (Fs::statusOf(copy->fd(), copy->path()).size <= 0)
        throw Error(SQLITE_CANTOPEN, action + QStringLiteral(": the temporary file ") + quotedPath(copy->path()) +
                                         QStringLiteral(" was replaced by another program while it was written"));
    try {
        copy->commit(TempFile::Existing::Refuse);
    } catch (const Error &error) {
        throw Dao::fileError(error);
    }
}

void DBEngine::setBusyTimeout(int ms)
{
    busyTimeoutMs_ = ms < 0 ? 0 : ms;
}

DBEngine &dbEngine()
{
    std::unique_ptr<DBEngine> &engine = engineSlot();
    if (!engine)
        engine = std::make_unique<DBEngine>();
    return *engine;
}

bool dbEngineCreated()
{
    return engineSlot() != nullptr;
}
