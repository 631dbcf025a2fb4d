#pragma once

#include "operations/observer.h"

#include <QString>

#include <functional>

namespace Operations {

// Writes a complete compacted copy of the database src to the new file dst, or throws Error
// leaving src unchanged and nothing at dst (the engine's CompactDatabase).
using CompactInto = std::function<void(const QString &src, const QString &dst)>;

// Compacts the database source: the engine writes a compacted copy to temp (a file that must not
// exist yet: the engine refuses one), the copy is checked, and then put in place of source. In
// this order:
// 1. source is refused when read-only, and when in use (see ensureNotInUse, which also rolls
//    back a journal left by a stopped writer and empties a write-ahead log into the file);
// 2. a temp left by an earlier compaction that was stopped before it finished is removed, but only
//    when it is a database that nobody uses, with no rollback journal beside it, holding
//    exactly (with its write-ahead log, if any) the schema and rows of source (so nothing is lost); any other temp is
//    left alone, and the engine refuses it; hidden files that stopped runs left beside source or temp a day ago or more
//    go too (see removeStaleLeftovers);
// 3. compactInto(source, temp);
// 4. the copy is checked: PRAGMA integrity_check finds nothing (made in parts, side by side: see
//    integrityProblemsInParallel), and it holds the same tables with the same numbers of rows as
//    source; a source in write-ahead-log mode gets its copy switched to that mode too;
// 5. the copy replaces source while nobody uses it (see replaceDatabase): with one rename where
//    both lie on one file system, otherwise copied beside source, synced and renamed over it;
//    either way temp is gone afterwards. A source that another program has written since step 1
//    (it may open, write and close the file while the copy is made and checked) is refused
//    (EBUSY) and kept, so that the copy never undoes that program's changes: SQLite's data
//    version, read on a connection kept open until just before the replacement, tells of any
//    commit until then, and the file's identity, size and time of last change, looked at
//    while the replacement holds the file, of one in the moment between.
// observer.begin() comes after step 1. Progress is reported in bytes: the copy written, then
// the copy checked, out of twice the pages the source uses. Throws Error on the first failure;
// source is then as it was, and a temp made by step 3 has been removed.
void compact(const QString &source, const QString &temp, const CompactInto &compactInto, const Observer &observer = {});
// The same through the program's engine object, created here if nothing has created it yet.
void compact(const QString &source, const QString &temp, const Observer &observer = {});

} // namespace Operations
