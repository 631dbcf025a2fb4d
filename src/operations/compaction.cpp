#include "operations/compaction.h"

#include "operations/databasefile.h"
#include "operations/replacement.h"
#include "platform/dao/dbengine.h"
#include "platform/errors.h"
#include "platform/files.h"

#include <QFile>

#include <unistd.h>

namespace Operations {
namespace {

// Removes the compacted copy and anything SQLite left beside it, unless dismissed.
class RemoveOnFailure {
public:
    explicit RemoveOnFailure(QString path) : path_(std::move(path)) {}
    ~RemoveOnFailure()
    {
        if (path_.isEmpty())
            return;
        for (const char *suffix : {"", "-journal", "-wal", "-shm"})
            ::unlink(QFile::encodeName(path_ + QLatin1String(suffix)).constData());
    }
    RemoveOnFailure(const RemoveOnFailure &) = delete;
    RemoveOnFailure &operator=(const RemoveOnFailure &) = delete;
    void dismiss() { path_.clear(); }

private:
    QString path_;
};

QString describeCounts(const QMap<QString, qint64> &counts)
{
    QStringList parts;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        parts.append(it.key() + QLatin1Char(' ') + QString::number(it.value()));
    return parts.join(QStringLiteral(", "));
}

// Refuses a copy that is damaged or does not hold what source holds.
void verifyCopy(const QString &source, const QString &copy)
{
    const QString action = QStringLiteral("The compacted copy ") + quotedPath(copy) + QStringLiteral(" of ") +
                           quotedPath(source) + QStringLiteral(" failed its check");
    QMap<QString, qint64> copyCounts;
    {
        Dao::ConnectionPtr db = Dao::openConnection(copy, SQLITE_OPEN_READONLY, 0, action);
        const QStringList problems = DatabaseFile::integrityProblems(db.get(), action);
        if (!problems.isEmpty())
            throw Error(SQLITE_CORRUPT,
                        action + QStringLiteral(" (integrity_check: ") + problems.first() + QLatin1Char(')'));
        copyCounts = DatabaseFile::tableRowCounts(db.get(), action);
    }
    QMap<QString, qint64> sourceCounts;
    {
        const QString reading = QStringLiteral("Cannot read ") + quotedPath(source);
        Dao::ConnectionPtr db =
            Dao::openConnection(source, SQLITE_OPEN_READWRITE, DBEngine::defaultBusyTimeoutMs, reading);
        sourceCounts = DatabaseFile::tableRowCounts(db.get(), reading);
    }
    if (copyCounts != sourceCounts)
        throw Error(SQLITE_CORRUPT, action + QStringLiteral(": it does not hold the same rows (copy: ") +
                                        describeCounts(copyCounts) + QStringLiteral("; database: ") +
                                        describeCounts(sourceCounts) + QLatin1Char(')'));
}

void switchToWal(const QString &copy)
{
    const QString action = QStringLiteral("Cannot set the journal mode of ") + quotedPath(copy);
    Dao::ConnectionPtr db = Dao::openConnection(copy, SQLITE_OPEN_READWRITE, 0, action);
    if (DatabaseFile::queryText(db.get(), QStringLiteral("PRAGMA journal_mode = WAL"), action).toLower() !=
        QLatin1String("wal"))
        throw Error(SQLITE_ERROR, action + QStringLiteral(": SQLite did not accept write-ahead-log mode"));
}

} // namespace

void compact(const QString &source, const QString &temp, const CompactInto &compactInto)
{
    refuseReadOnly(source);
    ensureNotInUse(source);
    const bool wal = DatabaseFile::isInWalMode(source);

    compactInto(source, temp);
    RemoveOnFailure cleanUp(temp);
    try {
        verifyCopy(source, temp);
    } catch (const Error &e) {
        throw Error(e.number(), e.description() + QStringLiteral("; the database was left as it was"));
    }
    if (wal) {
        switchToWal(temp);
        // Its log and index are empty once the connection has closed: the copy stands alone.
        for (const char *suffix : {"-wal", "-shm"})
            ::unlink(QFile::encodeName(temp + QLatin1String(suffix)).constData());
    }
    replaceDatabase(source, [&] { Files::replace(temp, source); });
    cleanUp.dismiss();
}

} // namespace Operations

void Operations::compact(const QString &source, const QString &temp)
{
    DBEngine &engine = dbEngine();
    compact(source, temp, [&engine](const QString &src, const QString &dst) { engine.CompactDatabase(src, dst); });
}
