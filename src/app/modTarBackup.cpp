#include "app/modTarBackup.h"

namespace modTarBackup {
QString BackEndPath;
bool LoggedIn = false;
} // namespace modTarBackup
