#include "platform/animation/dibframes.h"

#include <algorithm>

namespace {

// Bytes per row of an uncompressed DIB: rows are padded to a multiple of four bytes.
qsizetype dibStride(int width, int bitCount)
{
    return ((qsizetype(width) * bitCount + 31) / 32) * 4;
}

QImage newPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        throw ClipFormatError{
            QStringLiteral("there is not enough memory for a frame of %1 x %2 pixels").arg(width).arg(height)};
    return image;
}

} // namespace

DibFrameDecoder::DibFrameDecoder(DibFormat format) : format_(std::move(format))
{
    if (format_.bitCount == 8) {
        format_.palette.resize(256, qRgb(0, 0, 0));
        indices_ = QByteArray(qsizetype(format_.width) * format_.height, '\0');
    }
}

QImage DibFrameDecoder::decode(QByteArrayView data)
{
    if (data.isEmpty() && !last_.isNull())
        return last_;
    if (format_.encoding == DibFormat::Encoding::Rle8)
        decodeRle8(data);
    else
        decodeRgb(data);
    return last_;
}

void DibFrameDecoder::decodeRgb(QByteArrayView data)
{
    const int w = format_.width, h = format_.height, bits = format_.bitCount;
    const qsizetype stride = dibStride(w, bits);
    if (data.isEmpty() && bits == 8) {
        last_ = picture(); // an empty first frame: nothing drawn yet
        return;
    }
    if (data.size() < stride * h)
        throw ClipFormatError{
            QStringLiteral("a frame holds %1 bytes where its picture needs %2").arg(data.size()).arg(stride * h)};
    const auto *bytes = reinterpret_cast<const uchar *>(data.data());
    if (bits == 8) {
        for (int row = 0; row < h; ++row) {
            // indices_ keeps rows in bottom-up order whatever the stream's order.
            const int dibRow = format_.bottomUp ? row : h - 1 - row;
            std::copy_n(bytes + row * stride, w, indices_.data() + qsizetype(dibRow) * w);
        }
        last_ = picture();
        return;
    }
    QImage image = newPicture(w, h);
    const int bytesPerPixel = bits / 8;
    for (int row = 0; row < h; ++row) {
        const uchar *src = bytes + row * stride;
        auto *dst = reinterpret_cast<QRgb *>(image.scanLine(format_.bottomUp ? h - 1 - row : row));
        for (int x = 0; x < w; ++x, src += bytesPerPixel)
            dst[x] = qRgb(src[2], src[1], src[0]);
    }
    last_ = image;
}

// RLE8: pairs (count, index) draw count pixels of one index; a pair (0, code) is an escape:
// 0 ends the line, 1 ends the picture, 2 moves the position by the next two bytes (right, up),
// and 3..255 is followed by that many literal indices, padded to an even length. Pixels that
// the data does not reach keep their previous values.
void DibFrameDecoder::decodeRle8(QByteArrayView data)
{
    const int w = format_.width, h = format_.height;
    const auto *p = reinterpret_cast<const uchar *>(data.data());
    const auto *end = p + data.size();
    auto *pixels = reinterpret_cast<uchar *>(indices_.data());
    qint64 x = 0, y = 0;
    const auto fail = [](const char *cause) { throw ClipFormatError{QString::fromLatin1(cause)}; };
    const auto checkRun = [&](qint64 count) {
        if (y >= h)
            fail("RLE8 frame data draws below the last line of the picture");
        if (x + count > w)
            fail("RLE8 frame data draws past the end of a line");
    };
    while (end - p >= 2) {
        const uchar count = p[0], code = p[1];
        p += 2;
        if (count > 0) {
            checkRun(count);
            std::fill_n(pixels + y * w + x, count, code);
            x += count;
        } else if (code == 0) {
            x = 0;
            ++y;
        } else if (code == 1) {
            break;
        } else if (code == 2) {
            if (end - p < 2)
                fail("RLE8 frame data ends inside a move");
            x += p[0];
            y += p[1];
            p += 2;
            if (x > w || y > h)
                fail("RLE8 frame data moves outside the picture");
        } else {
            const qsizetype padded = code + (code & 1);
            if (end - p < code)
                fail("RLE8 frame data ends inside a run of literal pixels");
            checkRun(code);
            std::copy_n(p, code, pixels + y * w + x);
            x += code;
            p += std::min<qsizetype>(padded, end - p);
        }
        if (y > h)
            fail("RLE8 frame data runs past the last line of the picture");
    }
    last_ = picture();
}

QImage DibFrameDecoder::picture() const
{
    const int w = format_.width, h = format_.height;
    QImage image = newPicture(w, h);
    const auto *pixels = reinterpret_cast<const uchar *>(indices_.constData());
    const QRgb *palette = format_.palette.constData();
    for (int row = 0; row < h; ++row) {
        const uchar *src = pixels + qsizetype(row) * w;
        auto *dst = reinterpret_cast<QRgb *>(image.scanLine(h - 1 - row));
        for (int x = 0; x < w; ++x)
            dst[x] = palette[src[x]];
    }
    return image;
}
