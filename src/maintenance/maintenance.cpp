#include "maintenance/maintenance.h"

#include "operations/backup.h"
#include "operations/paths.h"
#include "operations/verify.h"
#include "platform/errors.h"
#include "platform/fs/files.h"
#include "platform/fs/folder.h"
#include "platform/fs/tempfile.h"
#include "platform/stop.h"

namespace Maintenance {
namespace {

// The backups of the database named name that folder holds, by their names' rule.
QList<Retention::Backup> backupsIn(const Fs::Folder &folder, const QString &name, const QString &action)
{
    QList<Retention::Backup> found;
    for (const QString &entry : folder.entries(action))
        if (const QDateTime stamp = Paths::backupStamp(entry, name); stamp.isValid())
            found.append({entry, stamp});
    return found;
}

// The names of backups of the database named name that entries hold or that hidden temporary
// files among them stand for (".NAME.purpose-tag", "..NAME.purpose-tag.purpose-tag"); every such
// name is as long as one of them, kept.
QStringList stampedNames(const QStringList &entries, const QString &name, const QString &kept)
{
    const qsizetype length = kept.size();
    QStringList names;
    for (const QString &entry : entries) {
        qsizetype dots = 0;
        while (dots < entry.size() && entry[dots] == QLatin1Char('.'))
            ++dots;
        const QString candidate = dots > 0 ? entry.mid(dots, length) : entry;
        if (Paths::backupStamp(candidate, name).isValid())
            names << candidate;
    }
    return names;
}

// Removes entry from folder when it is a backup of a database, still the file that was checked.
bool removeBackup(const Fs::Folder &folder, const QString &entry, const QString &action)
{
    const Fs::Status named = folder.status(entry);
    if (!named.isRegular())
        return false;
    const Fs::Fd fd = folder.openForReading(entry, action);
    const Fs::Status opened = Fs::statusOf(fd.get(), folder.pathOf(entry));
    if (!opened.sameFile(named) || !Operations::beginsAsBackup(fd.get(), folder.pathOf(entry)))
        return false;
    if (!folder.status(entry).sameContentStamp(opened))
        return false;
    if (const int err = folder.remove(entry); err != 0)
        throw Error::fromErrno(err, action + QStringLiteral(": cannot remove ") + quotedPath(folder.pathOf(entry)));
    return true;
}

} // namespace

BackupOutcome backUpVerifyPrune(const QString &database, const QString &folder, const Retention::Rule &rule,
                                const QDateTime &now, const Operations::Observer &written,
                                const Operations::Observer &checked)
{
    const QString name = Files::nameOf(database);
    // Paths in folder as typed: "" is the current folder.
    const QString prefix =
        folder.isEmpty() || folder.endsWith(Files::separator()) ? folder : folder + Files::separator();
    const QString kept = Paths::stampedBackupName(name, now); // never removed
    BackupOutcome outcome;
    outcome.backup = prefix + kept;
    const QString action =
        QStringLiteral("Cannot back up ") + quotedPath(database) + QStringLiteral(" into ") + quotedPath(folder);
    const Fs::Folder held = Fs::Folder::open(folder, action);
    // A run stopped at another moment left its temporary files beside another name.
    TempFiles::removeStale(held, stampedNames(held.entries(action), name, kept));
    Operations::backUp(database, outcome.backup, written);
    Operations::verify(outcome.backup, checked);
    if (!rule.removesAny())
        return outcome;
    const QString pruning = QStringLiteral("Cannot remove the older backups of ") + quotedPath(database) +
                            QStringLiteral(" in ") + quotedPath(folder);
    for (const QString &entry : Retention::expired(backupsIn(held, name, pruning), rule, now, kept)) {
        Stop::check(pruning);
        if (removeBackup(held, entry, pruning))
            outcome.removed << prefix + entry;
    }
    held.sync();
    return outcome;
}

} // namespace Maintenance
