#pragma once

#include "maintenance/retention.h"

#include <QString>
#include <QTime>

// The daily backup as a systemd user timer and service of the operator's: the timer's own status
// (systemctl --user list-timers, systemctl --user status) says when it runs next and how the last
// run ended.
namespace Schedule {

struct Plan {
    QString program;  // the maintenance command, an absolute path
    QString database; // absolute paths
    QString folder;
    QTime daily;
    Retention::Rule rule;
};

// The units' name for database (an absolute path): "tarvos-backup-", the database's file name
// without its extension, every character but ASCII letters, digits, "-" and "_" made "_", "-" and eight hexadecimal
// digits of the path's SHA-256 (two databases of one name in two folders get two schedules).
[[nodiscard]] QString unitName(const QString &database);

// The unit files. A run missed while the machine was off runs at its next start. Throws Error
// (ErrorNumber::InvalidArgument) for a path that a unit file cannot hold (a control character).
[[nodiscard]] QString serviceText(const Plan &plan);
[[nodiscard]] QString timerText(const Plan &plan);

// The folder of the operator's own units: $XDG_CONFIG_HOME/systemd/user, else
// ~/.config/systemd/user.
[[nodiscard]] QString unitFolder();

// Writes the two units into unitFolder() (replacing an earlier schedule of the same database) and
// has the operator's systemd load them and start the timer. Throws Error; the number is
// systemctl's exit status when it refused (no session of the operator's, for instance).
void install(const Plan &plan);

// Stops the timer of database and removes both units. Throws Error (ENOENT when there is none).
void remove(const QString &database);

} // namespace Schedule
