#pragma once

#include "operations/observer.h"

#include <QString>

namespace Operations {

// Restores from over target and keeps target's previous content as the safety copy. from is a
// backup file (one zstd frame) or a database file itself (the safety copy, or any copy of the
// database). In this order:
// 1. target must be named; a read-only target or one in use is refused (see ensureNotInUse,
//    which also rolls back a journal left by a stopped writer and empties a write-ahead log into
//    the file, so that the safety copy holds every committed row);
// 2. a missing from is refused (NotFound);
// 3. a target that is the same file as from or as safetyCopy (another name or a link counts) is
//    refused;
// 4. observer.begin(); temporary files that stopped runs left beside target and safetyCopy go;
// 5. from's content is written to a hidden file beside target and verified: a backup must be one
//    complete frame whose checksum matches, and the content must be a database (header, page
//    size, page count against the length); meanwhile target, when it exists, is copied to a
//    hidden file beside safetyCopy;
// 6. only then the copy of target replaces safetyCopy, synced;
// 7. the verified content replaces target, provided nobody has changed target since step 1.
// A refusal or failure before step 6 leaves target and safetyCopy byte for byte as they were,
// and no temporary file. Restoring from safetyCopy itself swaps the two files' contents: nothing
// is lost. Progress is reported in bytes read. Throws Error (NotFound for a missing from).
void restore(const QString &from, const QString &target, const QString &safetyCopy, const Observer &observer = {});

} // namespace Operations
