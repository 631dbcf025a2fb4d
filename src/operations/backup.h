#pragma once

#include "operations/compressor.h"

#include <QString>

namespace Operations {

// Compresses the file source into backupFile (created or replaced, used as given) and returns
// when backupFile is complete. A backup taken while other programs write to the database
// restores to a consistent database:
// - in rollback-journal mode, a read transaction held on source from a connection of its own for
//   the whole time the compressor reads the file keeps writers from committing into it (a
//   journal left by a stopped writer is rolled back first);
// - in write-ahead-log mode, where committed rows may still be only in the log, a consistent
//   snapshot is first copied with SQLite's backup API into a hidden temporary file beside
//   backupFile, and that is compressed, then deleted.
// A file that is not an SQLite database is compressed as it is. Hidden files that stopped runs
// left beside backupFile a day ago or more are removed first (see removeStaleLeftovers). Throws
// Error; backupFile is then as it was.
void backUp(const QString &source, const QString &backupFile, Compressor &compressor);

} // namespace Operations
