#pragma once

#include "maintenance/retention.h"
#include "operations/observer.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// Unattended maintenance: the window's operations, run from scripts and schedules.
namespace Maintenance {

struct BackupOutcome {
    QString backup;      // the backup written and verified
    QStringList removed; // the older backups removed, oldest first
};

// Backs database up into folder as Paths::stampedBackupName(database's name, now) (replacing a
// file of that name), checks the backup as a restore would (Operations::verify), and only then
// removes that database's older backups in folder that rule lets go. A file there is one of them
// only when it is a regular file whose name follows the rule and that begins as a backup of a
// database (Operations::beginsAsBackup): other files, links and folders always stay, and so does
// a file that changes between that check and its removal. written and checked report the two
// steps. Throws Error as Operations::backUp and Operations::verify do; nothing is removed then.
BackupOutcome backUpVerifyPrune(const QString &database, const QString &folder, const Retention::Rule &rule,
                                const QDateTime &now, const Operations::Observer &written = {},
                                const Operations::Observer &checked = {});

} // namespace Maintenance
