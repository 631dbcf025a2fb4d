#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

namespace TestSupport {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write test file %s", qPrintable(path));
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    gen.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    for (qsizetype i = size / 4 * 4; i < size; ++i)
        bytes[i] = char(gen.generate());
    return bytes;
}

QByteArray textBytes(qsizetype size)
{
    static const QByteArray line = "INSERT INTO Sales VALUES (1042, 'Office chair', 3, 129.90);\n";
    QByteArray bytes;
    bytes.reserve(size);
    for (int n = 0; bytes.size() < size; ++n)
        bytes += line + QByteArray::number(n) + '\n';
    bytes.truncate(size);
    return bytes;
}

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

QString systemText(int errnum)
{
    return QString::fromLocal8Bit(std::strerror(errnum));
}

namespace {
// Mounts a tmpfs at path (or remounts it, by flags); empty, or what went wrong after failure.
QString mountTmpfs(const QString &path, unsigned long flags, const char *options, const char *failure)
{
    if (::mount("tarvos-test", QFile::encodeName(path).constData(), "tmpfs", flags, options) == 0)
        return {};
    return QLatin1String(failure) + systemText(errno);
}
} // namespace

SmallFileSystem::SmallFileSystem(const QString &path, qint64 bytes) : path_(path)
{
    QDir().mkpath(path_);
    why_ = runningAsRoot()
               ? mountTmpfs(path_, 0, ("size=" + QByteArray::number(bytes)).constData(), "cannot mount a tmpfs: ")
               : QStringLiteral("mounting a small file system needs root");
    mounted_ = why_.isEmpty();
}

SmallFileSystem::~SmallFileSystem()
{
    if (mounted_)
        ::umount2(QFile::encodeName(path_).constData(), MNT_DETACH);
}

ReadOnlyFolder::~ReadOnlyFolder()
{
    if (!mounted_)
        QFile::setPermissions(path_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Root ignores permission bits: its folder is a small file system of its own, remounted read-only.
bool ReadOnlyFolder::lock()
{
    if (!runningAsRoot())
        return QFile::setPermissions(path_, QFile::ReadOwner | QFile::ExeOwner);
    return mounted_ &&
           (why_ = mountTmpfs(path_, MS_REMOUNT | MS_RDONLY, nullptr, "cannot remount read-only: ")).isEmpty();
}

QString appDir()
{
    return QStringLiteral(TARVOS_APP_DIR);
}

QString toolsDir()
{
    return QStringLiteral(TARVOS_TOOLS_DIR);
}

} // namespace TestSupport
