#include "platform/process/process.h"

#include "platform/errors.h"
#include "platform/files.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace Process {
namespace {

bool isWindowStyle(int style)
{
    return style >= WindowStyle::Hide && style <= WindowStyle::MinimizedNoFocus && style != 5;
}

// The program's file: pathName itself, or a bare name found in the search path. Throws when the
// file is missing, a folder, or cannot be executed, so the caller gets the cause rather than the
// launcher's bare "failed to start".
QString programFile(const QString &pathName, const QString &what)
{
    if (pathName.isEmpty())
        throw Error(ENOENT, QStringLiteral("Cannot start a program: no path given"));
    if (pathName.contains(QChar(0)))
        throw Error(EINVAL, what + QStringLiteral(": the path contains a NUL character"));
    QString file = pathName;
    if (Files::lastSeparator(pathName) < 0) {
        file = QStandardPaths::findExecutable(pathName);
        if (file.isEmpty())
            throw Error(ENOENT, what + QStringLiteral(": no such program in the search path"));
    }
    struct stat st {};
    const QByteArray native = QFile::encodeName(file);
    if (::stat(native.constData(), &st) != 0)
        throw Error::fromErrno(errno, what);
    if (S_ISDIR(st.st_mode))
        throw Error(EISDIR, what + QStringLiteral(": it is a folder, not a program"));
    if (!S_ISREG(st.st_mode) || ::access(native.constData(), X_OK) != 0)
        throw Error(EACCES, what + QStringLiteral(": the file is not an executable program"));
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
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        throw Error(ENOEXEC, what + QStringLiteral(": ") + process.errorString());
    return pid;
}

} // namespace Process
