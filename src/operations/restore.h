#pragma once

#include "operations/compressor.h"

#include <QString>

namespace Operations {

// The checks made before a restore touches anything: refuses (Error) a target that is
// read-only or in use (see ensureNotInUse); for an SQLite database also rolls back a journal
// left by a stopped writer and empties a write-ahead log into the file, so that a safety copy
// made next holds every committed row.
void checkRestoreTarget(const QString &target);

// Copies target to safetyCopy (replacing it) when target exists; does nothing otherwise. Like
// restoreInto for target and backUp for its backup file, it first removes the hidden files that
// stopped runs left beside safetyCopy a day ago or more (see removeStaleLeftovers).
void makeSafetyCopy(const QString &target, const QString &safetyCopy);

// Decompresses backupFile and puts the result in place of target: into a hidden file beside
// target first (the compressor refuses a damaged or truncated backup before writing anything
// there), then, while nobody uses target, with one rename; the old journal, log and index
// beside target are removed so the new file never meets them. The restored file keeps the
// permissions of the file it replaces. Throws Error; target is then as it was.
void restoreInto(const QString &backupFile, const QString &target, Compressor &compressor);

// A whole restore: checkRestoreTarget, makeSafetyCopy, then restoreInto. A missing backupFile
// is refused (ENOENT, "<backupFile> not found.") after the safety copy, as the window does.
void restore(const QString &backupFile, const QString &target, const QString &safetyCopy, Compressor &compressor);

} // namespace Operations
