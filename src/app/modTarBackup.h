#pragma once

#include <QString>

// The two globals shared by the windows for the whole run.
namespace modTarBackup {
// Full path of the back-end database file.
extern QString BackEndPath;
// True once a login has succeeded; only the login dialog sets it.
extern bool LoggedIn;
} // namespace modTarBackup
