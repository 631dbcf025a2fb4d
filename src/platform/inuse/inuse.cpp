#include "platform/inuse/inuse.h"

#include <QFile>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#ifdef Q_OS_LINUX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_LINUX
struct FileId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FileId &) const = default;
};

// Closes a directory stream on every way out.
struct DirCloser {
    void operator()(DIR *d) const { ::closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

bool isNumber(const char *name)
{
    if (!*name)
        return false;
    for (const char *c = name; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
    }
    return true;
}

// Whether one of the descriptors listed in /proc/<pid>/fd refers to one of files.
bool holdsOneOf(int procFd, const char *pid, const std::vector<FileId> &files)
{
    const int fdDir = ::openat(procFd, (std::string(pid) + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir < 0)
        return false; // gone meanwhile, or not ours to look at
    Dir dir(::fdopendir(fdDir));
    if (!dir) {
        ::close(fdDir);
        return false;
    }
    while (const dirent *entry = ::readdir(dir.get())) {
        if (!isNumber(entry->d_name))
            continue;
        // The entry is a link to the open file; stat follows it, even to a file since deleted.
        struct stat st;
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &st, 0) != 0)
            continue;
        if (std::find(files.begin(), files.end(), FileId{st.st_dev, st.st_ino}) != files.end())
            return true;
    }
    return false;
}
#endif

} // namespace

namespace InUse {

QList<qint64> processesUsing(const QStringList &paths)
{
    QList<qint64> pids;
#ifdef Q_OS_LINUX
    std::vector<FileId> files;
    for (const QString &path : paths) {
        struct stat st;
        if (!path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &st) == 0)
            files.push_back({st.st_dev, st.st_ino});
    }
    if (files.empty())
        return pids;
    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0)
        return pids;
    Dir proc(::fdopendir(procFd));
    if (!proc) {
        ::close(procFd);
        return pids;
    }
    while (const dirent *entry = ::readdir(proc.get())) {
        if (isNumber(entry->d_name) && holdsOneOf(::dirfd(proc.get()), entry->d_name, files))
            pids.append(std::strtoll(entry->d_name, nullptr, 10));
    }
    std::sort(pids.begin(), pids.end());
#else
    Q_UNUSED(paths);
#endif
    return pids;
}

} // namespace InUse
