#include "operations/paths.h"

#include "platform/errors.h"
#include "platform/fs/files.h"

namespace Paths {

FileNameCase platformFileNameCase()
{
#ifdef Q_OS_WIN
    return FileNameCase::Ignored;
#else
    return FileNameCase::Significant;
#endif
}

QString backEndPathAfterLogin(const QString &path, FileNameCase rule)
{
    return rule == FileNameCase::Ignored ? path.toUpper() : path;
}

QString suggestedBackupName(const QString &backEndPath, const QDateTime &now)
{
    const qsizetype sep = Files::lastSeparator(backEndPath);
    const QString folder = sep < 0 ? QString() : backEndPath.left(sep) + Files::separator();
    return folder + QStringLiteral("BACK") + now.toString(QStringLiteral("ddMMyyHHmmss")) + QStringLiteral(".TVB");
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
