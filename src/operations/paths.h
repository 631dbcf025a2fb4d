#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

// The names and paths that backup, restore and compaction derive from what the user typed.
namespace Paths {

// Whether file names ignore case (as on Windows) or tell it apart (Linux, which the program is
// built for).
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

// The name of a backup of the database file name taken at now, by the same rule: the name without
// its extension, the moment as DDMMYYHHMMSS and ".TVB" ("BACK.MDB" gives "BACK101226023000.TVB").
[[nodiscard]] QString stampedBackupName(const QString &name, const QDateTime &now);
// The moment that backupName, a name stampedBackupName gave for the database file name, holds
// (local time, years 2000 to 2099); invalid for a name that does not follow the rule.
[[nodiscard]] QDateTime backupStamp(const QString &backupName, const QString &name);

// The backup file written for the destination typed: its extension forced to ".TVB". Only a "."
// in the file name (after the last separator) counts: the name's last "." and what follows it
// are replaced ("data.mdb" and "data.tvb" give "data.TVB", "data." gives "data.TVB", "." gives
// ".TVB"); a name without a "." gets ".TVB" appended, whatever dots its folders hold
// ("/srv/Back.up/data" gives "/srv/Back.up/data.TVB").
[[nodiscard]] QString backupFileName(const QString &destination);

// The safety copy a restore makes of the database file name, beside it: the name without its
// extension, the year of date as two digits and ".BAK" ("BACK.MDB" in 2026 gives "BACK26.BAK").
// One name per database and year.
[[nodiscard]] QString safetyCopyName(const QString &name, const QDate &date);
// The same beside the database at path.
[[nodiscard]] QString safetyCopyPath(const QString &database, const QDate &date);

// The path of a clip file in folder (given without a trailing separator).
[[nodiscard]] QString clipPath(const QString &folder, const QString &clip);

// The temporary file of a compaction: "BACKNEW.MDB" in the folder of backEndPath. Throws Error
// (ErrorNumber::InvalidArgument) when backEndPath names no folder.
[[nodiscard]] QString compactTempPath(const QString &backEndPath);

// The files SQLite keeps beside a database while it is in use: its rollback journal, its
// write-ahead log and the log's shared index.
[[nodiscard]] QStringList companions(const QString &database);

} // namespace Paths
