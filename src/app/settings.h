#pragma once

#include <QString>

// The per-user settings store: string values under application "TarBackup", section "Path".
// A read names the default returned when the key is absent.
namespace Settings {

inline constexpr char Application[] = "TarBackup";
inline constexpr char Section[] = "Path";

// The six keys and what each holds.
namespace Key {
inline constexpr char BackEnd[] = "BackEnd";   // the back-end database path
inline constexpr char BackFrom[] = "BackFrom"; // database to back up
inline constexpr char BackTo[] = "BackTo";     // backup file last written to
inline constexpr char RestFrom[] = "RestFrom"; // backup file to restore
inline constexpr char RestTo[] = "RestTo";     // database to restore into
inline constexpr char Compact[] = "Compact";   // database to compact
} // namespace Key

// The back-end path used when none is stored: <home>/BACK/BACK.MDB (the program is built for
// Linux; the business application's own default is C:\BACK\BACK.MDB).
[[nodiscard]] QString defaultBackEnd();

[[nodiscard]] QString GetSetting(const QString &key, const QString &defaultValue);
void SaveSetting(const QString &key, const QString &value);

// Keeps the store in folder instead of the user's configuration folder (tests, the demo).
void useFolder(const QString &folder);

} // namespace Settings
