#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

namespace TestSupport {

TempFolder::TempFolder() : dir_(QDir::tempPath() + QStringLiteral("/tarvos-test-XXXXXX")) {}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
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
    qsizetype i = 0;
    for (; i + 4 <= size; i += 4) {
        const quint32 v = gen.generate();
        std::memcpy(bytes.data() + i, &v, 4);
    }
    for (; i < size; ++i)
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

ReadOnlyFolder::ReadOnlyFolder(const QString &path) : path_(path)
{
    QDir().mkpath(path_);
    if (runningAsRoot()) {
        // Root ignores permission bits, so the folder becomes a small file system of its own.
        if (::mount("tarvos-test", QFile::encodeName(path_).constData(), "tmpfs", 0, "size=4m") == 0)
            mounted_ = true;
        else
            why_ = QStringLiteral("cannot mount a tmpfs: ") + QString::fromLocal8Bit(std::strerror(errno));
    }
}

ReadOnlyFolder::~ReadOnlyFolder()
{
    if (mounted_)
        ::umount2(QFile::encodeName(path_).constData(), MNT_DETACH);
    else
        QFile::setPermissions(path_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool ReadOnlyFolder::lock()
{
    if (runningAsRoot()) {
        if (!mounted_)
            return false;
        if (::mount("tarvos-test", QFile::encodeName(path_).constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) !=
            0) {
            why_ = QStringLiteral("cannot remount read-only: ") + QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        return true;
    }
    return QFile::setPermissions(path_, QFile::ReadOwner | QFile::ExeOwner);
}

SmallFileSystem::SmallFileSystem(const QString &path, qint64 bytes) : path_(path)
{
    QDir().mkpath(path_);
    if (!runningAsRoot()) {
        why_ = QStringLiteral("mounting a small file system needs root");
        return;
    }
    const QByteArray options = "size=" + QByteArray::number(bytes);
    if (::mount("tarvos-test", QFile::encodeName(path_).constData(), "tmpfs", 0, options.constData()) == 0)
        mounted_ = true;
    else
        why_ = QStringLiteral("cannot mount a tmpfs: ") + QString::fromLocal8Bit(std::strerror(errno));
}

QString SmallFileSystem::unavailable()
{
    static const QString why = [] {
        QTemporaryDir probeFolder;
        const SmallFileSystem probe(probeFolder.path() + QStringLiteral("/probe"), 64 << 10);
        return probe.why();
    }();
    return why;
}

SmallFileSystem::~SmallFileSystem()
{
    if (mounted_)
        ::umount2(QFile::encodeName(path_).constData(), MNT_DETACH);
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
