#pragma once

#include <QDateTime>
#include <QString>

// The names and paths that backup, restore and compaction derive from what the user typed.
namespace Paths {

// Whether file names on this platform ignore case (Windows) or tell it apart.
enum class FileNameCase { Ignored, Significant };
[[nodiscard]] FileNameCase platformFileNameCase();

// The back-end path as kept after a login: upper-cased where file names ignore case, so the
// stored value reads the same whatever case the user typed; kept as typed where case tells
// files apart, since upper-casing would name another (usually missing) file.
[[nodiscard]] QString backEndPathAfterLogin(const QString &path, FileNameCase rule = platformFileNameCase());

// The suggested backup file: the folder of backEndPath, "BACK", the moment as DDMMYYHHMMSS
// (day, month, two-digit year, 24-hour hour, minute, second) and ".TVB". A back-end path without
// a folder gives a name without one (the current folder).
[[nodiscard]] QString suggestedBackupName(const QString &backEndPath, const QDateTime &now);

} // namespace Paths
