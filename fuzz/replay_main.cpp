// Runs a fuzz target over saved inputs without libFuzzer, so that an ordinary build replays the
// corpus: every file named on the command line, and every file in the folders named there.
// A target that finds a fault aborts (or a sanitizer stops the program); otherwise the exit
// status is 0 and the number of inputs is printed.

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv)
{
    QStringList files;
    for (int i = 1; i < argc; ++i) {
        const QString path = QFile::decodeName(argv[i]);
        if (QFileInfo(path).isDir()) {
            for (QDirIterator it(path, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
                files.append(it.next());
        } else {
            files.append(path);
        }
    }
    std::sort(files.begin(), files.end());
    if (files.isEmpty()) {
        std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...: no input found\n", argv[0]);
        return 2;
    }
    for (const QString &path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
            return 2;
        }
        // A copy of exactly the file's size, so that a read past the end of an input is caught
        // when the program runs with a memory checker.
        const QByteArray bytes = file.readAll();
        std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
        std::fprintf(stderr, "%s\n", qPrintable(path));
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%lld inputs replayed\n", static_cast<long long>(files.size()));
    return 0;
}
