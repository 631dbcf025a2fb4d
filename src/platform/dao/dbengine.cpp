#include "platform/dao/dbengine.h"

#include "platform/files.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::unique_ptr<DBEngine> &engineSlot()
{
    static std::unique_ptr<DBEngine> engine;
    return engine;
}

// Refuses a destination that is already there, whatever it is: the engine never writes over a file.
void refuseExisting(const QString &dst, const QString &action)
{
    struct stat st;
    if (::lstat(QFile::encodeName(dst).constData(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode))
        throw Error(SQLITE_CANTOPEN, action + QStringLiteral(": ") + quotedPath(dst) + QStringLiteral(" is a folder"));
    throw Error(SQLITE_CANTOPEN,
                action + QStringLiteral(": the file ") + quotedPath(dst) + QStringLiteral(" already exists"));
}

// Removes the journal or log files SQLite may leave beside a temporary file it failed to fill
// (VACUUM INTO leaves a "-journal" when the disk fills up). The names are ours alone.
class TempCompanions {
public:
    explicit TempCompanions(QString path) : path_(std::move(path)) {}
    ~TempCompanions()
    {
        for (const char *suffix : {"-journal", "-wal", "-shm"})
            ::unlink(QFile::encodeName(path_ + QLatin1String(suffix)).constData());
    }
    TempCompanions(const TempCompanions &) = delete;
    TempCompanions &operator=(const TempCompanions &) = delete;

private:
    QString path_;
};

// Writes a compacted copy of the database open on source into the empty file at target.
void vacuumInto(sqlite3 *source, const QString &target, const QString &action)
{
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
    return std::make_unique<Database>(Dao::openConnection(path, SQLITE_OPEN_READWRITE, busyTimeoutMs_, action), path);
}

void DBEngine::CompactDatabase(const QString &src, const QString &dst)
{
    const QString action =
        QStringLiteral("Cannot compact database ") + quotedPath(src) + QStringLiteral(" into ") + quotedPath(dst);
    (void)Dao::sqlitePath(dst, action);
    refuseExisting(dst, action);

    // A read-only connection: the source is never written, not even to recover or checkpoint it.
    // It still sees what other connections committed to its write-ahead log.
    Dao::ConnectionPtr source = Dao::openConnection(src, SQLITE_OPEN_READONLY, busyTimeoutMs_,
                                                    QStringLiteral("Cannot compact database ") + quotedPath(src));
    struct stat srcStat;
    const bool haveMode = ::stat(QFile::encodeName(src).constData(), &srcStat) == 0;

    Files::AtomicFile out(dst, action);
    try {
        out.open();
    } catch (const Error &error) {
        throw Dao::fileError(error);
    }
    ::fchmod(out.fd(), S_IRUSR | S_IWUSR); // private until complete
    const TempCompanions companions(out.tempPath());

    // VACUUM INTO writes a rollback-journal database whatever the source's journal mode, so the
    // copy needs no log file beside it. It does not sync; commitNew() does, before the rename.
    vacuumInto(source.get(), out.tempPath(), action);
    source.reset();

    if (haveMode)
        ::fchmod(out.fd(), srcStat.st_mode & 07777);
    try {
        out.commitNew();
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
