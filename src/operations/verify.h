#pragma once

#include "operations/observer.h"

#include <QString>

namespace Operations {

// Reads the backup file backupFile whole and checks it as a restore checks what it would put in
// place: one complete zstd frame whose checksum matches and that declares its size, holding a
// database of that size (header, page size, page count against the length). Nothing is written:
// the content is checked as it is decompressed and then dropped, so a backup on a read-only disk
// or a full one can be checked too. Progress is reported in bytes of backupFile. Throws Error
// (NotFound for a missing backupFile).
void verify(const QString &backupFile, const Observer &observer = {});

// Whether the file open on fd (path names it in messages) begins as a backup of a database: a
// zstd frame that declares its size and whose first bytes are a database of that size. Reads
// only the frame's beginning; the rest is not checked. Throws Error when the file cannot be read.
[[nodiscard]] bool beginsAsBackup(int fd, const QString &path);

} // namespace Operations
