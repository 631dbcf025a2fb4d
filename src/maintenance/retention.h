#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// Which of a database's backups in a folder may go once a newer one has been verified.
namespace Retention {

// The newest keep backups stay, and so does every one younger than keepDays days; 0 sets no
// limit of that kind. A rule that sets neither removes nothing.
struct Rule {
    int keep = 0;
    int keepDays = 0;
    [[nodiscard]] bool removesAny() const { return keep > 0 || keepDays > 0; }
};

// A backup of the database, by its name and the moment its name holds.
struct Backup {
    QString name;
    QDateTime stamp;
};

// The names of backups that rule lets go at now, oldest first. kept (the backup just written)
// never is, whatever its stamp.
[[nodiscard]] QStringList expired(QList<Backup> backups, const Rule &rule, const QDateTime &now, const QString &kept);

} // namespace Retention
