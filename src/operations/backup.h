#pragma once

#include "operations/observer.h"

#include <QString>

namespace Operations {

// Backs up the database source into backupFile (created or replaced, used as given) and returns
// when backupFile is complete. In this order:
// 1. a missing source is refused (NotFound), and so are a backupFile that is the source itself
//    and a source that is not an SQLite database (no database header: no restore could use its
//    backup); a damaged database with a sound header is still backed up;
// 2. observer.begin(); temporary files that stopped runs left beside backupFile go;
// 3. the file is compressed while it holds one consistent state of the database:
//    - in rollback-journal mode, a read transaction held on source from a connection of its own
//      for the whole time the file is read keeps writers from committing into it (a journal
//      left by a stopped writer is rolled back first);
//    - in write-ahead-log mode, where committed rows may still be only in the log, a consistent
//      snapshot is first copied with SQLite's backup API into a hidden temporary file beside
//      backupFile, and that is compressed, then deleted.
// Progress is reported in bytes. Throws Error; backupFile is then as it was.
void backUp(const QString &source, const QString &backupFile, const Observer &observer = {});

} // namespace Operations
