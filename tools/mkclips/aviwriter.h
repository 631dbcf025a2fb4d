#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>

// Writes silent AVI clips of the kind the animation player shows: RIFF 'AVI ' with one video
// stream, frames as uncompressed DIBs or RLE8, and an index.
namespace AviWriter {

enum class Encoding {
    Rle8,  // 8 bits with palette, run-length encoded; frames after the first hold only changes
    Rgb8,  // 8 bits with palette, uncompressed
    Rgb24, // uncompressed, blue-green-red
    Rgb32, // uncompressed, blue-green-red-unused
};

// The clip's bytes. Frames all have one size; for the 8-bit encodings they are
// QImage::Format_Indexed8 pictures that share one colour table of at most 256 colours, for the
// others any format. Throws Error (ErrorNumber::InvalidArgument) when they are not.
[[nodiscard]] QByteArray encode(const QList<QImage> &frames, int framesPerSecond, Encoding encoding);

// The RLE8 data of one Indexed8 frame. With a previous frame, pixels that did not change are
// skipped (moved over), so the data draws only the changes over that frame.
[[nodiscard]] QByteArray encodeRle8(const QImage &frame, const QImage *previous = nullptr);

// Writes encode()'s bytes to path, replacing it only once complete. Throws Error.
void writeFile(const QString &path, const QList<QImage> &frames, int framesPerSecond, Encoding encoding);

} // namespace AviWriter
