// Runs one backup, restore, compaction or login exactly as the main window and the login dialog
// do, through the operations layer and the database engine, and reports the time it took.
// Used by full-bench.sh.
//
//   opbench backup <database> <backup file>
//   opbench restore <backup file> <database>          (the safety copy goes beside the database)
//   opbench restore-into <backup file> <database>      (the restore of a database that is not
//                                                       there yet, so without its safety copy)
//   opbench compact <database> <temporary file>
//   opbench compact-steps <database> <temporary file>
//   opbench check-copy <database> whole|quick|parts|parallel <connections> <cache KiB> <mmap bytes>
//   opbench login <database> <user name> <password> [repeats]
//
// compact-steps makes the compaction's steps one by one, as Operations::compact makes them, and
// prints the seconds of each: the in-use check, the engine's compacted copy (written and synced),
// the integrity check of the copy, the row counts of the copy and of the database, the
// replacement; and, for comparison, how long SQLite's quick check of the copy takes.
// check-copy times one way of checking a database and prints "<wall s> <cpu s> <problems>":
// the compaction's check of the whole file on one connection (whole, as beside the write of a
// shared database), PRAGMA quick_check (quick) on one connection, each with that page cache and
// memory map, or the compaction's check split over that many connections (parallel); parts
// first prints the wall and CPU seconds of each part of the split check, made one by one.
// Prints the seconds taken on success. login prints "<first ms> <best ms of the repeats> <found>":
// the first check in a fresh process, as the user's first click on OK makes it, then the fastest
// of the repeated checks. On failure the error's number and description go to stderr, exit status 1.
#include "operations/backup.h"
#include "operations/compaction.h"
#include "operations/login.h"
#include "operations/replacement.h"
#include "operations/restore.h"
#include "platform/dao/copycheck.h"
#include "platform/dao/dao.h"
#include "platform/dao/databasefile.h"
#include "platform/errors.h"
#include "platform/fs/files.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <sys/resource.h>

namespace {

int usage(const char *program)
{
    std::fprintf(stderr,
                 "usage: %s backup <database> <backup file>\n"
                 "       %s restore <backup file> <database>\n"
                 "       %s restore-into <backup file> <database>\n"
                 "       %s compact <database> <temporary file>\n"
                 "       %s compact-steps <database> <temporary file>\n"
                 "       %s check-copy <database> whole|quick|parts|parallel <connections> <cache KiB> <mmap bytes>\n"
                 "       %s login <database> <user name> <password> [repeats]\n",
                 program, program, program, program, program, program, program);
    return 2;
}

double seconds(const std::function<void()> &work)
{
    QElapsedTimer clock;
    clock.start();
    work();
    return double(clock.nsecsElapsed()) / 1e9;
}

// User and system time of the whole process so far, all threads.
double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The parts of the parallel check one after another on one connection, each timed: what the
// parallel check's connections share out between them.
void checkParts(const QString &database, const Dao::CopyCheckSettings &settings)
{
    const QString action = QStringLiteral("Cannot check ") + quotedPath(database);
    Dao::ConnectionPtr db = Dao::openConnection(database, SQLITE_OPEN_READONLY, 0, action);
    Dao::exec(db.get(), QStringLiteral("PRAGMA cache_size = -%1").arg(settings.cacheKiB), action);
    Dao::exec(db.get(), QStringLiteral("PRAGMA mmap_size = %1").arg(settings.mmapBytes), action);
    QStringList statements;
    for (const QString &table : DatabaseFile::ordinaryTables(db.get(), action) + QStringList{"sqlite_schema"})
        statements.append(QStringLiteral("PRAGMA integrity_check(") + DatabaseFile::quotedName(table) + ')');
    statements.append(QStringLiteral("PRAGMA quick_check"));
    for (const QString &sql : statements) {
        const double cpu = threadCpuSeconds();
        const double wall = seconds([&] { (void)Dao::queryColumn(db.get(), sql, action); });
        std::printf("  %-45s %.3f %.3f\n", qPrintable(sql), wall, threadCpuSeconds() - cpu);
    }
}

// One way of checking database, timed (see check-copy above).
void checkCopy(const QString &database, const QString &way, const Dao::CopyCheckSettings &settings)
{
    const QString action = QStringLiteral("Cannot check ") + quotedPath(database);
    QStringList problems;
    const double cpu = cpuSeconds();
    const double wall = seconds([&] {
        if (way == QLatin1String("parts")) {
            checkParts(database, settings);
            return;
        }
        if (way == QLatin1String("parallel") || way == QLatin1String("whole")) {
            Dao::CopyCheckSettings chosen = settings;
            chosen.whole = way == QLatin1String("whole");
            QMap<QString, qint64> counts;
            problems = Dao::integrityProblemsInParallel(database, &counts, {}, chosen);
            return;
        }
        Dao::ConnectionPtr db = Dao::openConnection(database, SQLITE_OPEN_READONLY, 0, action);
        Dao::exec(db.get(), QStringLiteral("PRAGMA cache_size = -%1").arg(settings.cacheKiB), action);
        Dao::exec(db.get(), QStringLiteral("PRAGMA mmap_size = %1").arg(settings.mmapBytes), action);
        problems = Dao::queryColumn(db.get(), QStringLiteral("PRAGMA quick_check"), action);
        if (problems == QStringList{QStringLiteral("ok")})
            problems.clear();
    });
    std::printf("%.3f %.3f %lld\n", wall, cpuSeconds() - cpu, static_cast<long long>(problems.size()));
}

// The steps of a compaction, timed one by one.
void compactSteps(const QString &source, const QString &temp)
{
    const QString action = QStringLiteral("Cannot check ") + quotedPath(temp);
    std::printf("in-use check %.3f\n", seconds([&] { Operations::ensureNotInUse(source); }));
    std::printf("compacted copy %.3f\n", seconds([&] { dbEngine().CompactDatabase(source, temp); }));
    QMap<QString, qint64> copyCounts, sourceCounts;
    {
        Dao::ConnectionPtr db = Dao::openConnection(temp, SQLITE_OPEN_READONLY, 0, action);
        std::printf("(parallel check %.3f)\n", seconds([&] {
                        QMap<QString, qint64> counts;
                        (void)Dao::integrityProblemsInParallel(temp, &counts);
                    }));
        std::printf("integrity check %.3f\n",
                    seconds([&] { (void)DatabaseFile::integrityProblems(db.get(), action); }));
        // Not a step of the compaction: the cheaper check that leaves out comparing every index
        // with its table, for comparison.
        std::printf("(quick check %.3f)\n",
                    seconds([&] { (void)Dao::queryText(db.get(), QStringLiteral("PRAGMA quick_check"), action); }));
        std::printf("copy row counts %.3f\n",
                    seconds([&] { copyCounts = DatabaseFile::tableRowCounts(db.get(), action); }));
    }
    {
        Dao::ConnectionPtr db = Dao::openConnection(source, SQLITE_OPEN_READWRITE, 0, action);
        std::printf("database row counts %.3f\n",
                    seconds([&] { sourceCounts = DatabaseFile::tableRowCounts(db.get(), action); }));
    }
    if (copyCounts != sourceCounts)
        throw Error(SQLITE_CORRUPT, action + QStringLiteral(": the row counts differ"));
    std::printf("replacement %.3f\n", seconds([&] {
                    const Fs::Location from = Fs::resolve(temp, action), to = Fs::resolve(source, action);
                    const Fs::Fd fd = from.folder.openForReading(from.name, action);
                    const Fs::Status status = Fs::statusOf(fd.get(), temp);
                    Operations::replaceDatabase(to, [&] { Files::replace(from, fd.get(), to, fd.get(), status); });
                }));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage(argv[0]);
    const QString &command = args.first();
    try {
        if (command == QLatin1String("backup") && args.size() == 3) {
            std::printf("%.3f\n", seconds([&] { Operations::backUp(args[1], args[2]); }));
        } else if (command == QLatin1String("restore") && args.size() == 3) {
            std::printf("%.3f\n", seconds([&] { Operations::restore(args[1], args[2], QDate::currentDate()); }));
        } else if (command == QLatin1String("restore-into") && args.size() == 3) {
            QFile::remove(args[2]);
            std::printf("%.3f\n", seconds([&] { Operations::restore(args[1], args[2], QDate::currentDate()); }));
        } else if (command == QLatin1String("compact") && args.size() == 3) {
            std::printf("%.3f\n", seconds([&] { Operations::compact(args[1], args[2]); }));
        } else if (command == QLatin1String("compact-steps") && args.size() == 3) {
            compactSteps(args[1], args[2]);
        } else if (command == QLatin1String("check-copy") && args.size() == 6 &&
                   QStringList{"whole", "quick", "parts", "parallel"}.contains(args[2])) {
            Dao::CopyCheckSettings settings;
            settings.connections = args[3].toInt();
            settings.cacheKiB = args[4].toInt();
            settings.mmapBytes = args[5].toLongLong();
            checkCopy(args[1], args[2], settings);
        } else if (command == QLatin1String("login") && (args.size() == 4 || args.size() == 5)) {
            bool ok = true;
            const int repeats = args.size() == 5 ? args[4].toInt(&ok) : 20;
            if (!ok || repeats < 1)
                return usage(argv[0]);
            bool found = false;
            const double first = seconds([&] { found = Operations::credentialsMatch(args[1], args[2], args[3]); });
            double best = first;
            for (int i = 0; i < repeats; ++i)
                best =
                    std::min(best, seconds([&] { found = Operations::credentialsMatch(args[1], args[2], args[3]); }));
            std::printf("%.3f %.3f %s\n", first * 1e3, best * 1e3, found ? "found" : "not-found");
        } else {
            return usage(argv[0]);
        }
    } catch (const Error &e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.message()));
        return 1;
    }
    return 0;
}
