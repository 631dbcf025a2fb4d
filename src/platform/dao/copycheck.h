#pragma once

#include "platform/progress.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

// The check of a database file that nothing else writes (a compacted copy) on several
// connections at once.
namespace Dao {

// How the check reads the file (`opbench check-copy` compares the choices). A page cache of
// 16 MiB per connection keeps SQLite from reading the same pages again and again (the default
// 2 MB read each page about eight times; 32 MiB took no less time at 1 GB, and the compaction
// writes into a shared database with a cache of its own meanwhile). Mapping the file would take
// another 30% off, but a read that fails there (a failing disk, the file cut short meanwhile) ends
// the program with SIGBUS instead of an error message, and the mapped pages count in the
// program's memory: not used.
struct CopyCheckSettings {
    int connections = 2;  // threads, one read-only connection each
    int cacheKiB = 16384; // page cache of each connection
    qint64 mmapBytes = 0; // memory map of the file; 0 reads with pread
    // One PRAGMA integrity_check of the whole file, on one connection: it reads every page once,
    // the least work in all (at 1 GB 5.2 s of CPU, against 7.0 s for the parts), for when the
    // other cores are busy with other work.
    bool whole = false;
};

// Checks the database at copyPath as PRAGMA integrity_check does, but split in parts that run
// side by side: PRAGMA integrity_check(T) for every table T, sqlite_schema included (T's b-tree
// and the match of every index of T with T's rows, NOT NULL, CHECK and UNIQUE), and one
// PRAGMA quick_check of the whole file for what the per-table form leaves out: that every page
// of the file belongs to exactly one b-tree or to the free list. Largest parts first, each taken
// by the next connection that is free. A database with a table whose name SQLite would read as a
// number there is checked whole, on one connection, as settings.whole asks. No part starts once
// one has found something. Returns what the checks found wrong (empty when the database is
// sound); rowCounts, if given, gets the rows of every ordinary table (as
// DatabaseFile::tableRowCounts counts them). progress(done, total), called on the calling thread
// after every part, counts b-tree entries: every row once for its table and once for each index,
// and once more for the quick check. Throws Error (SQLite result code, naming the file) when the
// file cannot be opened or read, and stops (Error ECANCELED) when the program is asked to end.
[[nodiscard]] QStringList integrityProblemsInParallel(const QString &copyPath, QMap<QString, qint64> *rowCounts,
                                                      const Progress &progress = {},
                                                      const CopyCheckSettings &settings = {});

} // namespace Dao
