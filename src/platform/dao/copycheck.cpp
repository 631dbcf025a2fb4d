#include "platform/dao/copycheck.h"

#include "platform/dao/connection.h"
#include "platform/dao/databasefile.h"
#include "platform/errors.h"
#include "platform/stop.h"
#include "platform/taskgroup.h"

#include <QRegularExpression>
#include <QScopeGuard>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <sqlite3.h>
#include <vector>

namespace Dao {
namespace {

// One statement of the check, with the b-tree entries it goes through.
struct Part {
    QString sql;
    qint64 weight = 0;
};

Dao::ConnectionPtr openForCheck(const QString &path, const CopyCheckSettings &settings, const QString &action)
{
    Dao::ConnectionPtr db = Dao::openConnection(path, SQLITE_OPEN_READONLY, 0, action);
    // A part of a large copy runs for seconds: it is interrupted when the program is asked to end.
    sqlite3_progress_handler(
        db.get(), 1000, [](void *) { return Stop::requested() ? 1 : 0; }, nullptr);
    Dao::exec(db.get(), QStringLiteral("PRAGMA cache_size = -%1").arg(std::max(settings.cacheKiB, 1)), action);
    Dao::exec(db.get(), QStringLiteral("PRAGMA mmap_size = %1").arg(std::max<qint64>(settings.mmapBytes, 0)), action);
    return db;
}

// Whether PRAGMA integrity_check(name) would take name for the most errors to report, not a table.
bool readAsNumber(const QString &name)
{
    static const QRegularExpression number(QStringLiteral(R"(^\s*[-+]?(\d+|0[xX][0-9a-fA-F]+)\s*$)"));
    return number.match(name).hasMatch();
}

// The parts of the check, largest first (one part where whole), and the rows of every ordinary table.
std::vector<Part> planParts(sqlite3 *db, QMap<QString, qint64> &counts, bool whole, const QString &action)
{
    counts = DatabaseFile::tableRowCounts(db, action);
    QMap<QString, qint64> indexes;
    Dao::forEachTextAndNumber(
        db, QStringLiteral("SELECT tbl_name, count(*) FROM sqlite_schema WHERE type = 'index' GROUP BY tbl_name"),
        action, [&](const QString &table, qint64 count) { indexes.insert(table, count); });

    QMap<QString, qint64> tables = counts;
    tables.insert(QStringLiteral("sqlite_schema"),
                  Dao::queryText(db, QStringLiteral("SELECT count(*) FROM sqlite_schema"), action).toLongLong());
    qint64 rows = 0;
    std::vector<Part> parts;
    bool split = !whole;
    for (auto it = tables.begin(); it != tables.end(); ++it) {
        rows += it.value();
        split = split && !readAsNumber(it.key());
        parts.push_back(
            {QStringLiteral("PRAGMA main.integrity_check(") + DatabaseFile::quotedName(it.key()) + QLatin1Char(')'),
             it.value() * (1 + indexes.value(it.key()))});
    }
    if (!split) {
        qint64 all = 0;
        for (const Part &part : parts)
            all += part.weight;
        return {{QStringLiteral("PRAGMA main.integrity_check"), all}};
    }
    // The page accounting that only the check of the whole file makes (every page used once).
    parts.push_back({QStringLiteral("PRAGMA main.quick_check"), rows});
    std::stable_sort(parts.begin(), parts.end(), [](const Part &a, const Part &b) { return a.weight > b.weight; });
    return parts;
}

// What the connections share: the next part to take and what the parts found.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;
    int running = 0;
    qint64 done = 0;
    bool stop = false;
    QStringList problems;
};

// One connection's share: takes the next part until none is left or something was found.
void checkParts(const QString &path, const CopyCheckSettings &settings, const std::vector<Part> &parts, Shared &shared,
                const QString &action)
{
    const auto ended = qScopeGuard([&] {
        std::lock_guard lock(shared.mutex);
        --shared.running;
        shared.changed.notify_all();
    });
    Dao::ConnectionPtr db = openForCheck(path, settings, action);
    for (;;) {
        size_t i;
        {
            std::lock_guard lock(shared.mutex);
            if (shared.stop || shared.next == parts.size() || Stop::requested())
                break;
            i = shared.next++;
        }
        QStringList found = Dao::queryColumn(db.get(), parts[i].sql, action);
        if (found == QStringList{QStringLiteral("ok")})
            found.clear();
        std::lock_guard lock(shared.mutex);
        shared.done += parts[i].weight;
        shared.problems += found;
        shared.stop = shared.stop || !found.isEmpty();
        shared.changed.notify_all();
    }
}

} // namespace

QStringList integrityProblemsInParallel(const QString &copyPath, QMap<QString, qint64> *rowCounts,
                                        const Progress &progress, const CopyCheckSettings &settings)
{
    const QString action = QStringLiteral("Cannot check ") + quotedPath(copyPath);
    QMap<QString, qint64> counts;
    std::vector<Part> parts;
    {
        Dao::ConnectionPtr db = openForCheck(copyPath, settings, action);
        parts = planParts(db.get(), counts, settings.whole, action);
    }
    qint64 total = 0;
    for (const Part &part : parts)
        total += part.weight;

    Shared shared;
    const int connections = std::clamp(settings.connections, 1, int(parts.size()));
    {
        // A connection that fails, and any way out of this block, stops the others.
        TaskGroup group([&shared] {
            std::lock_guard lock(shared.mutex);
            shared.stop = true;
        });
        for (int i = 0; i < connections; ++i) {
            {
                std::lock_guard lock(shared.mutex);
                ++shared.running;
            }
            group.start([&] { checkParts(copyPath, settings, parts, shared, action); });
        }
        std::unique_lock lock(shared.mutex);
        qint64 reported = -1;
        for (;;) {
            shared.changed.wait(lock, [&] { return shared.running == 0 || (progress && shared.done != reported); });
            if (progress && shared.done != reported) {
                reported = shared.done;
                lock.unlock();
                progress(reported, total);
                lock.lock();
            } else if (shared.running == 0) {
                break;
            }
        }
        lock.unlock();
        try {
            group.wait();
        } catch (...) {
            // Asked to end meanwhile: a part may have been interrupted, so what it met does not count.
            Stop::check(action);
            throw;
        }
    }
    Stop::check(action);
    if (rowCounts)
        *rowCounts = counts;
    return shared.problems;
}

} // namespace Dao
