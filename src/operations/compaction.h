#pragma once

#include "operations/observer.h"

#include <QString>

#include <functional>

namespace Operations {

// Writes a complete compacted copy of the database src to the new file dst, or throws Error
// leaving src unchanged and nothing at dst (the engine's CompactDatabase).
using CompactInto = std::function<void(const QString &src, const QString &dst)>;

// Compacts the database source: the engine writes a compacted copy to temp (a file that must not
// exist yet: the engine refuses one), the copy is checked, and then takes source's place. In
// this order:
// 1. source is refused when read-only, or when this account may not write it; a source that only
//    its owner, this account, can reach (see Fs::isPrivate) will be replaced by a rename and is
//    refused while in use (see ensureNotInUse, which also rolls back a journal left by a stopped
//    writer and empties a write-ahead log into the file); a shared one is written in place;
// 2. a temp left by an earlier compaction that was stopped before it finished is removed, but only
//    when it is a file of this account's (or root's), a database that nobody uses, with no
//    rollback journal beside it, holding exactly (with its write-ahead log, if any) the schema
//    and rows of source (so nothing is lost); any other temp is left alone, and the engine names
//    it as being in the way; hidden files that stopped runs left beside source or temp go too;
// 3. compactInto(source, temp);
// 4. the copy is checked: PRAGMA integrity_check finds nothing (made in parts, side by side, see
//    Dao::integrityProblemsInParallel; whole, on one connection, beside the write of a shared source),
//    and it holds the same tables with the same numbers of rows as source;
// 5. the copy takes source's place, refused (EBUSY, source kept) when another program has written
//    source since step 1 (it may open, write and close the file meanwhile: the copy must never
//    undo that write; SQLite's data version, read on a connection kept open, and the header's
//    change counter tell):
//    - private source: the copy, switched to write-ahead-log mode where source is in it, replaces
//      source while nobody uses it (see replaceDatabase), with one rename where both lie on one
//      file system, otherwise copied beside source, synced and renamed over it;
//    - shared source: under SQLite's write lock on source, the copy is written into source's own
//      file through SQLite's backup API and journal while it is checked, and committed only once
//      the check has passed; owner, group, mode, access list, attributes and other names stay,
//      and other programs' connections see the compacted content at their next transaction.
//    Either way temp is gone afterwards.
// observer.begin() comes after step 1. Progress is reported in bytes: the copy written, then
// the copy checked (and written in place), out of twice the pages the source uses. Throws Error
// on the first failure; source is then as it was, and a temp made by step 3 has been removed.
void compact(const QString &source, const QString &temp, const CompactInto &compactInto, const Observer &observer = {});
// The same through the program's engine object, created here if nothing has created it yet.
void compact(const QString &source, const QString &temp, const Observer &observer = {});

} // namespace Operations
