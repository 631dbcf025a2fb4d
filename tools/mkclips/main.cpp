// Draws the program's two animation clips and writes them into the folder given as argument:
//   make-clips <folder>
#include "aviwriter.h"
#include "clipart.h"

#include "platform/errors.h"
#include "resources/clips.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-clips <folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    try {
        AviWriter::writeFile(folder + QLatin1Char('/') + Clips::FileCopy, ClipArt::fileCopyFrames(),
                             ClipArt::FramesPerSecond, AviWriter::Encoding::Rle8);
        AviWriter::writeFile(folder + QLatin1Char('/') + Clips::FileDelete, ClipArt::fileSqueezeFrames(),
                             ClipArt::FramesPerSecond, AviWriter::Encoding::Rle8);
    } catch (const Error &e) {
        std::fprintf(stderr, "make-clips: %s\n", e.what());
        return 1;
    }
    return 0;
}
