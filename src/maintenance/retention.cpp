#include "maintenance/retention.h"

#include <algorithm>

namespace Retention {

QStringList expired(QList<Backup> backups, const Rule &rule, const QDateTime &now, const QString &kept)
{
    if (!rule.removesAny())
        return {};
    // Newest first; a name breaks a tie, so that the outcome does not depend on the folder's order.
    std::sort(backups.begin(), backups.end(), [](const Backup &a, const Backup &b) {
        return a.stamp != b.stamp ? a.stamp > b.stamp : a.name > b.name;
    });
    const QDateTime youngest = now.addDays(-rule.keepDays);
    QStringList names;
    for (qsizetype i = backups.size() - 1; i >= 0; --i) {
        const Backup &b = backups[i];
        const bool newest = i<rule.keep, young = rule.keepDays> 0 && b.stamp > youngest;
        if (!newest && !young && b.name != kept)
            names << b.name;
    }
    return names;
}

} // namespace Retention
