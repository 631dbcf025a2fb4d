#include "operations/paths.h"

#include "platform/files.h"

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

} // namespace Paths
