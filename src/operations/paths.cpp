#include "operations/paths.h"

#include "platform/errors.h"
#include "platform/fs/files.h"

namespace Paths {
namespace {

const QString StampFormat = QStringLiteral("ddMMyyHHmmss");

QString stamped(const QString &base, const QDateTime &now)
{
    return base + now.toString(StampFormat) + QStringLiteral(".TVB");
}

} // namespace

FileNameCase platformFileNameCase()
{
    return FileNameCase::Significant; // the program is built for Linux
}

QString backEndPathAfterLogin(const QString &path, FileNameCase rule)
{
    return rule == FileNameCase::Ignored ? path.toUpper() : path;
}

QString suggestedBackupName(const QString &backEndPath, const QDateTime &now)
{
    const qsizetype sep = Files::lastSeparator(backEndPath);
    const QString folder = sep < 0 ? QString() : backEndPath.left(sep) + Files::separator();
    return folder + stamped(QStringLiteral("BACK"), now);
}

QString stampedBackupName(const QString &name, const QDateTime &now)
{
    return stamped(Files::baseNameOf(name), now);
}

QDateTime backupStamp(const QString &backupName, const QString &name)
{
    const QString base = Files::baseNameOf(name), suffix = QStringLiteral(".TVB");
    const qsizetype length = base.size() + StampFormat.size() + suffix.size();
    if (backupName.size() != length || !backupName.startsWith(base) || !backupName.endsWith(suffix))
        return {};
    const QString stamp = backupName.mid(base.size(), StampFormat.size());
    int n[6];
    for (int i = 0; i < 6; ++i) {
        const char16_t tens = stamp[2 * i].unicode(), ones = stamp[2 * i + 1].unicode();
        if (tens < u'0' || tens > u'9' || ones < u'0' || ones > u'9')
            return {};
        n[i] = (tens - u'0') * 10 + (ones - u'0');
    }
    const QDate date(2000 + n[2], n[1], n[0]);
    const QTime time(n[3], n[4], n[5]);
    return date.isValid() && time.isValid() ? QDateTime(date, time) : QDateTime();
}

QString backupFileName(const QString &destination)
{
    const qsizetype nameStart = Files::lastSeparator(destination) + 1;
    const qsizetype dot = destination.lastIndexOf(QLatin1Char('.'));
    const QString extension = QStringLiteral(".TVB");
    return dot >= nameStart ? destination.left(dot) + extension : destination + extension;
}

QString safetyCopyName(const QString &name, const QDate &date)
{
    return Files::baseNameOf(name) + date.toString(QStringLiteral("yy")) + QStringLiteral(".BAK");
}

QString safetyCopyPath(const QString &database, const QDate &date)
{
    const QString name = safetyCopyName(Files::nameOf(database), date);
    return Files::lastSeparator(database) < 0 ? name : database.left(Files::lastSeparator(database) + 1) + name;
}

QString clipPath(const QString &folder, const QString &clip)
{
    return folder + Files::separator() + clip;
}

QString compactTempPath(const QString &backEndPath)
{
    const qsizetype sep = Files::lastSeparator(backEndPath);
    if (sep < 0)
        throw Error(ErrorNumber::InvalidArgument,
                    QStringLiteral("Cannot compact: the back-end database path ") + quotedPath(backEndPath) +
                        QStringLiteral(" names no folder, so there is no place for the temporary file BACKNEW.MDB"));
    return backEndPath.left(sep) + Files::separator() + QStringLiteral("BACKNEW.MDB");
}

QStringList companions(const QString &database)
{
    return {database + QStringLiteral("-journal"), database + QStringLiteral("-wal"),
            database + QStringLiteral("-shm")};
}

} // namespace Paths
