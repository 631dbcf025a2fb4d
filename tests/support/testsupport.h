#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QTemporaryDir>

// Helpers shared by the test programs.
namespace TestSupport {

// A fresh temporary folder for one test; path(name) joins a name to it.
class TempFolder {
public:
    QString path() const { return dir_.path(); }
    QString path(const QString &name) const { return dir_.path() + QLatin1Char('/') + name; }

private:
    QTemporaryDir dir_{QDir::tempPath() + QStringLiteral("/tarvos-test-XXXXXX")};
};

QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &bytes);
// Bytes that compress poorly (pseudo-random from seed) and bytes that compress well.
QByteArray randomBytes(qsizetype size, quint32 seed = 1);
QByteArray textBytes(qsizetype size);

bool runningAsRoot();

// What the system says of the error number errnum, in the language of the operator's locale, as
// the program's messages carry it.
QString systemText(int errnum);

// A folder on a tmpfs of the given size, so writes into it fail with ENOSPC when it fills up.
// Needs root (mount); isValid() is false otherwise, with the reason in why().
class SmallFileSystem {
public:
    SmallFileSystem(const QString &path, qint64 bytes);
    ~SmallFileSystem();
    Q_DISABLE_COPY(SmallFileSystem)
    bool isValid() const { return mounted_; }
    QString why() const { return why_; }

protected:
    QString path_, why_;
    bool mounted_ = false;
};

// A folder in which nothing can be created, deleted or renamed, even by root: a small tmpfs
// remounted read-only when the test runs as root, permissions 0555 otherwise. Files may be
// put in it before lock(). Restores its permissions on destruction when it was not mounted.
class ReadOnlyFolder : public SmallFileSystem {
public:
    explicit ReadOnlyFolder(const QString &path) : SmallFileSystem(path, 4 << 20) {}
    ~ReadOnlyFolder();
    // False, with the reason in why(), when this machine cannot make the folder read-only.
    bool lock();
};

// The folder of the program under test and its companions (clips) in the build tree.
QString appDir();
// The folder of the build's helper programs (tools/).
QString toolsDir();

} // namespace TestSupport
