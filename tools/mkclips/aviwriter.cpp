#include "aviwriter.h"

#include "platform/errors.h"
#include "platform/fs/tempfile.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace AviWriter {
namespace {

void put32(QByteArray &out, quint32 v)
{
    const char bytes[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    out.append(bytes, 4);
}

void put16(QByteArray &out, quint16 v)
{
    const char bytes[2] = {char(v), char(v >> 8)};
    out.append(bytes, 2);
}

void putId(QByteArray &out, const char (&id)[5])
{
    out.append(id, 4);
}

// Starts a chunk (or, with a list type, a RIFF or LIST chunk) and returns where its size goes.
qsizetype begin(QByteArray &out, const char (&id)[5], const char *listType = nullptr)
{
    putId(out, id);
    const qsizetype sizeAt = out.size();
    put32(out, 0);
    if (listType)
        out.append(listType, 4);
    return sizeAt;
}

// Ends the chunk begun at sizeAt: writes its size and pads it to an even length.
void end(QByteArray &out, qsizetype sizeAt)
{
    const quint32 size = quint32(out.size() - sizeAt - 4);
    for (int i = 0; i < 4; ++i)
        out[sizeAt + i] = char(size >> (8 * i));
    if (size & 1)
        out.append('\0');
}

[[noreturn]] void invalid(const QString &why)
{
    throw Error(ErrorNumber::InvalidArgument, QStringLiteral("Cannot write the clip: ") + why);
}

// Writes pixels as RLE8 runs: three or more equal pixels as one run, other stretches of three or
// more as literal (absolute) runs, what remains as short runs.
void putPixels(QByteArray &out, const uchar *px, int n)
{
    const auto runAt = [&](int i) {
        int r = 1;
        while (i + r < n && r < 255 && px[i + r] == px[i])
            ++r;
        return r;
    };
    int i = 0;
    while (i < n) {
        const int run = runAt(i);
        if (run >= 3) {
            out.append(char(run)).append(char(px[i]));
            i += run;
            continue;
        }
        int j = i;
        while (j < n && j - i < 255 && runAt(j) < 3)
            ++j;
        const int len = j - i;
        if (len >= 3) {
            out.append('\0').append(char(len)).append(reinterpret_cast<const char *>(px + i), len);
            if (len & 1)
                out.append('\0');
        } else {
            for (int k = i; k < j;) {
                const int r = std::min(runAt(k), j - k);
                out.append(char(r)).append(char(px[k]));
                k += r;
            }
        }
        i = j;
    }
}

void putMove(QByteArray &out, int dx, int dy)
{
    while (dx > 0 || dy > 0) {
        const int sx = std::min(dx, 255), sy = std::min(dy, 255);
        out.append('\0').append('\2').append(char(sx)).append(char(sy));
        dx -= sx;
        dy -= sy;
    }
}

void checkFrames(const QList<QImage> &frames, int framesPerSecond, Encoding encoding)
{
    if (frames.isEmpty())
        invalid(QStringLiteral("it has no frames"));
    if (framesPerSecond <= 0)
        invalid(QStringLiteral("the frame rate must be positive"));
    const bool indexed = encoding == Encoding::Rle8 || encoding == Encoding::Rgb8;
    for (const QImage &frame : frames) {
        if (frame.size() != frames.first().size() || frame.isNull())
            invalid(QStringLiteral("its frames differ in size"));
        if (indexed &&
            (frame.format() != QImage::Format_Indexed8 || frame.colorTable() != frames.first().colorTable() ||
             frame.colorCount() > 256 || frame.colorCount() == 0))
            invalid(QStringLiteral("8-bit frames must share one colour table"));
    }
}

// One frame as an uncompressed DIB: bottom-up rows, each padded to four bytes.
QByteArray dibPixels(const QImage &frame, int bitCount)
{
    const QImage rgb = bitCount == 8 ? frame : frame.convertToFormat(QImage::Format_RGB32);
    const int w = frame.width(), h = frame.height();
    const qsizetype stride = ((qsizetype(w) * bitCount + 31) / 32) * 4;
    QByteArray out(stride * h, '\0');
    for (int row = 0; row < h; ++row) {
        auto *dst = reinterpret_cast<uchar *>(out.data()) + row * stride;
        const uchar *src = rgb.constScanLine(h - 1 - row);
        if (bitCount == 8) {
            std::copy_n(src, w, dst);
            continue;
        }
        const auto *pixels = reinterpret_cast<const QRgb *>(src);
        for (int x = 0; x < w; ++x) {
            *dst++ = uchar(qBlue(pixels[x]));
            *dst++ = uchar(qGreen(pixels[x]));
            *dst++ = uchar(qRed(pixels[x]));
            if (bitCount == 32)
                *dst++ = 0;
        }
    }
    return out;
}

} // namespace

QByteArray encodeRle8(const QImage &frame, const QImage *previous)
{
    const int w = frame.width(), h = frame.height();
    QByteArray out;
    int cx = 0, cy = 0; // where the decoder stands, in DIB order (line 0 at the bottom)
    for (int y = 0; y < h; ++y) {
        const uchar *cur = frame.constScanLine(h - 1 - y);
        const uchar *prev = previous ? previous->constScanLine(h - 1 - y) : nullptr;
        int x = 0;
        while (x < w) {
            if (prev) {
                while (x < w && cur[x] == prev[x])
                    ++x;
                if (x == w)
                    break;
            }
            // A stretch of changes, up to a gap of unchanged pixels worth a move.
            const int a = x;
            int b = w;
            if (prev) {
                b = a + 1;
                for (int k = a + 1, gap = 0; k < w && gap < 4; ++k) {
                    gap = cur[k] == prev[k] ? gap + 1 : 0;
                    if (gap == 0)
                        b = k + 1;
                }
            }
            if (cy < y && a < cx) {
                out.append('\0').append('\0'); // end of line: to the start of the next
                ++cy;
                cx = 0;
            }
            putMove(out, a - cx, y - cy);
            putPixels(out, cur + a, b - a);
            cx = b;
            cy = y;
            x = b;
        }
    }
    out.append('\0').append('\1'); // end of picture
    return out;
}

QByteArray encode(const QList<QImage> &frames, int framesPerSecond, Encoding encoding)
{
    checkFrames(frames, framesPerSecond, encoding);
    const int w = frames.first().width(), h = frames.first().height();
    const int bitCount = encoding == Encoding::Rgb24 ? 24 : encoding == Encoding::Rgb32 ? 32 : 8;
    const bool rle = encoding == Encoding::Rle8;
    const QList<QRgb> palette = bitCount == 8 ? frames.first().colorTable() : QList<QRgb>();

    QList<QByteArray> chunks;
    for (int i = 0; i < frames.size(); ++i)
        chunks.append(rle ? encodeRle8(frames[i], i > 0 ? &frames[i - 1] : nullptr) : dibPixels(frames[i], bitCount));
    qsizetype largest = 0;
    for (const QByteArray &chunk : chunks)
        largest = std::max(largest, chunk.size());

    const char *frameId = rle ? "00dc" : "00db";
    QByteArray out;
    const qsizetype riff = begin(out, "RIFF", "AVI ");
    const qsizetype hdrl = begin(out, "LIST", "hdrl");

    const qsizetype avih = begin(out, "avih");
    put32(out, quint32(1000000 / framesPerSecond)); // microseconds per frame
    put32(out, quint32(largest * framesPerSecond)); // maximum bytes per second
    put32(out, 0);                                  // padding granularity
    put32(out, 0x10);                               // has an index
    put32(out, quint32(frames.size()));
    put32(out, 0); // initial frames
    put32(out, 1); // streams
    put32(out, quint32(largest));
    put32(out, quint32(w));
    put32(out, quint32(h));
    for (int i = 0; i < 4; ++i)
        put32(out, 0);
    end(out, avih);

    const qsizetype strl = begin(out, "LIST", "strl");
    const qsizetype strh = begin(out, "strh");
    putId(out, "vids");
    putId(out, rle ? "mrle" : "DIB ");
    put32(out, 0);                        // flags
    put16(out, 0);                        // priority
    put16(out, 0);                        // language
    put32(out, 0);                        // initial frames
    put32(out, 1);                        // scale
    put32(out, quint32(framesPerSecond)); // rate: frames per second = rate / scale
    put32(out, 0);                        // start
    put32(out, quint32(frames.size()));   // length
    put32(out, quint32(largest));
    put32(out, 0xFFFFFFFF); // quality: default
    put32(out, 0);          // sample size: varies
    put16(out, 0), put16(out, 0), put16(out, quint16(w)), put16(out, quint16(h));
    end(out, strh);

    const qsizetype strf = begin(out, "strf");
    put32(out, 40);
    put32(out, quint32(w));
    put32(out, quint32(h)); // positive: bottom-up
    put16(out, 1);
    put16(out, quint16(bitCount));
    put32(out, rle ? 1 : 0); // BI_RLE8 or BI_RGB
    put32(out, rle ? quint32(largest) : quint32(dibPixels(frames.first(), bitCount).size()));
    put32(out, 0), put32(out, 0);        // pixels per metre
    put32(out, quint32(palette.size())); // colours used
    put32(out, 0);
    for (QRgb c : palette) {
        out.append(char(qBlue(c))).append(char(qGreen(c))).append(char(qRed(c))).append('\0');
    }
    end(out, strf);
    end(out, strl);
    end(out, hdrl);

    const qsizetype movi = begin(out, "LIST", "movi");
    const qsizetype moviType = movi + 4; // index offsets count from the list's type
    QList<qsizetype> offsets;
    for (const QByteArray &chunk : chunks) {
        offsets.append(out.size() - moviType);
        out.append(frameId, 4);
        put32(out, quint32(chunk.size()));
        out.append(chunk);
        if (chunk.size() & 1)
            out.append('\0');
    }
    end(out, movi);

    const qsizetype idx1 = begin(out, "idx1");
    for (int i = 0; i < chunks.size(); ++i) {
        out.append(frameId, 4);
        put32(out, (!rle || i == 0) ? 0x10 : 0); // key frame: draws every pixel
        put32(out, quint32(offsets[i]));
        put32(out, quint32(chunks[i].size()));
    }
    end(out, idx1);
    end(out, riff);
    return out;
}

void writeFile(const QString &path, const QList<QImage> &frames, int framesPerSecond, Encoding encoding)
{
    const QByteArray bytes = encode(frames, framesPerSecond, encoding);
    const QString action = QStringLiteral("Cannot write %1").arg(quotedPath(path));
    const Fs::Location place = Fs::resolve(path, action);
    TempFile file(place.folder, place.name, TempFile::Temporary, action);
    Fs::writeAt(file.fd(), bytes.constData(), bytes.size(), 0, path);
    // Clips are read by everyone who runs the program.
    if (::fchmod(file.fd(), 0644) != 0)
        throw Error::fromErrno(errno, action);
    file.commit();
}

} // namespace AviWriter
