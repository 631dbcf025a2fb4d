// Compresses or decompresses one file with the engine behind the compression control, exactly
// as the control does, and reports the time taken. Used by compress-bench.sh.
//
//   zbench compress <input> <output>
//   zbench decompress <input> <output>
//
// Prints "<seconds> <input bytes> <output bytes>" on success; on failure the error's number
// and description on stderr, exit status 1.
#include "platform/errors.h"
#include "platform/zlibtool/compressionengine.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QString>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 4 || (std::strcmp(argv[1], "compress") != 0 && std::strcmp(argv[1], "decompress") != 0)) {
        std::fprintf(stderr, "usage: %s compress|decompress <input> <output>\n", argv[0]);
        return 2;
    }
    const QString input = QString::fromLocal8Bit(argv[2]);
    const QString output = QString::fromLocal8Bit(argv[3]);
    QElapsedTimer clock;
    clock.start();
    try {
        if (std::strcmp(argv[1], "compress") == 0)
            CompressionEngine::compressFile(input, output);
        else
            CompressionEngine::decompressFile(input, output);
    } catch (const Error &e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.message()));
        return 1;
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    std::printf("%.3f %lld %lld\n", seconds, static_cast<long long>(QFileInfo(input).size()),
                static_cast<long long>(QFileInfo(output).size()));
    return 0;
}
