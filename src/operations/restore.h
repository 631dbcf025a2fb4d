#pragma once

#include "operations/observer.h"

#include <QDate>
#include <QString>

namespace Operations {

// Restores from over target and keeps target's previous content as the safety copy: in target's
// own folder, named after it (its name without the extension, the year of date as two digits,
// ".BAK": "BACK.MDB" gives "BACK26.BAK"), one per database and year. from is a backup file (one
// zstd frame) or a database file itself (the safety copy, or any copy of the database). In this
// order:
// 1. target must be named; a link in its path that another account made is not followed; a
//    read-only target, or one this account may not write, is refused;
// 2. a target that only its owner, this account, can reach (see Fs::isPrivate) will be replaced
//    by a rename: it is refused while in use (see ensureNotInUse, which also rolls back a journal
//    left by a stopped writer and empties a write-ahead log into the file, so that the safety copy
//    holds every committed row). A target that others share is written in place instead (below);
// 3. a missing from is refused (NotFound); a target that is the same file as from is refused;
// 4. observer.begin(); temporary files that stopped runs left beside target go;
// 5. from's content is written to a hidden file beside target, mode 0600, and verified: a backup
//    must declare its size (refused before a byte is written when the disk has no room for it, or
//    when its first bytes are not a database of that size) and be one complete frame whose
//    checksum matches, and the content must be a database (header, page size, page count against
//    the length);
// 6. only then is the safety copy replaced, synced, with target's group and permissions:
//    - renamed target: the target's file itself under the safety copy's name (a second name, or a
//      copy where the file system has none), then the verified content takes target's name,
//      provided nobody has changed target since step 1;
//    - shared target: under SQLite's write lock on target (a clear "in use" message when other
//      programs keep it locked), a copy of target as it stands, then the verified content is
//      written into target's own file through SQLite's backup API and journal: owner, group,
//      mode, access list, attributes and other names stay, and the other programs' open
//      connections see the new content at their next transaction.
// A refusal or failure before step 6 leaves target and the safety copy byte for byte as they
// were, and no temporary file. Restoring from the safety copy itself swaps the two files'
// contents: nothing is lost. Progress is reported in bytes. Throws Error (NotFound for a missing
// from).
void restore(const QString &from, const QString &target, const QDate &date, const Observer &observer = {});

} // namespace Operations
