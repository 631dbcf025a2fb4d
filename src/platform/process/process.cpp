#include "platform/process/process.h"

#include "platform/errors.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace Process {
namespace {

bool isWindowStyle(int style)
{
    return style >= WindowStyle::Hide && style <= WindowStyle::MinimizedNoFocus && style != 5;
}

// The program's file: pathName itself, which must be an absolute path (no search through PATH,
// where the current folder or a folder of another account's may come first), to a regular file
// that only root or this account owns and that nobody else may change: the program runs as this
// account. Throws with the cause, rather than the launcher's bare "failed to start".
QString programFile(const QString &pathName, const QString &what)
{
    if (pathName.isEmpty())
        throw Error(ENOENT, QStringLiteral("Cannot start a program: no path given"));
    if (pathName.contains(QChar(0)))
        throw Error(EINVAL, what + QStringLiteral(": the path contains a NUL character"));
    if (!pathName.startsWith(QLatin1Char('/')))
        throw Error(EINVAL, what + QStringLiteral(": it is not a full path from the root folder"));
    struct stat st {};
    if (::stat(QFile::encodeName(pathName).constData(), &st) != 0)
        throw Error::fromErrno(errno, what);
    if (S_ISDIR(st.st_mode))
        throw Error(EISDIR, what + QStringLiteral(": it is a folder, not a program"));
    // The file that runs is the one looked at: links are followed here, once.
    const QString file = QFileInfo(pathName).canonicalFilePath();
    const QByteArray native = QFile::encodeName(file);
    if (file.isEmpty() || ::stat(native.constData(), &st) != 0)
        throw Error::fromErrno(ENOENT, what);
    if (!S_ISREG(st.st_mode) || ::access(native.constData(), X_OK) != 0)
        throw Error(EACCES, what + QStringLiteral(": the file is not an executable program"));
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        throw Error(EACCES, what + QStringLiteral(": it belongs to another account"));
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        throw Error(EACCES, what + QStringLiteral(": accounts other than its owner may change it"));
    return file;
}

} // namespace

qint64 Shell(const QString &pathName, int windowStyle)
{
    const QString what = QStringLiteral("Cannot start ") + quotedPath(pathName);
    if (!isWindowStyle(windowStyle))
        throw Error(ErrorNumber::InvalidArgument, what + QStringLiteral(": invalid window style %1").arg(windowStyle));
    QProcess process;
    process.setProgram(programFile(pathName, what));
    process.setStandardInputFile(QProcess::nullDevice());
    // Not this program's current folder, which may be anybody's.
    process.setWorkingDirectory(QStringLiteral("/"));
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        throw Error(ENOEXEC, what + QStringLiteral(": ") + process.errorString());
    return pid;
}

int run(const QString &name, const QStringList &args, QString &errors)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(name, args);
    if (!process.waitForStarted(-1))
        throw Error(ENOENT, QStringLiteral("Cannot run ") + name + QStringLiteral(": ") + process.errorString());
    process.closeWriteChannel();
    process.waitForFinished(-1);
    errors = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace Process
