#include "platform/animation/aviclip.h"

#include "platform/animation/dibframes.h"
#include "platform/errors.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr quint32 fourcc(const char (&s)[5])
{
    return quint32(uchar(s[0])) | quint32(uchar(s[1])) << 8 | quint32(uchar(s[2])) << 16 | quint32(uchar(s[3])) << 24;
}

quint32 le32(const char *p)
{
    return quint32(uchar(p[0])) | quint32(uchar(p[1])) << 8 | quint32(uchar(p[2])) << 16 | quint32(uchar(p[3])) << 24;
}

quint16 le16(const char *p)
{
    return quint16(uchar(p[0]) | uchar(p[1]) << 8);
}

[[noreturn]] void fail(const QString &cause)
{
    throw ClipFormatError{cause};
}

// One chunk of a RIFF file: its identifier, where its data starts and how long it is. For a
// RIFF or LIST chunk, listType holds the list's type and the data starts after it.
struct Chunk {
    quint32 id = 0;
    quint32 listType = 0;
    qsizetype data = 0;
    qsizetype size = 0;

    bool isList(quint32 type) const { return id == fourcc("LIST") && listType == type; }
};

// Walks the chunks that follow each other in bytes [begin, end).
class ChunkWalker {
public:
    ChunkWalker(const QByteArray &bytes, qsizetype begin, qsizetype end) : bytes_(bytes), pos_(begin), end_(end) {}
    explicit ChunkWalker(const QByteArray &bytes, const Chunk &list)
        : ChunkWalker(bytes, list.data, list.data + list.size)
    {
    }

    // The next chunk, or nothing at the end. A few bytes too few for a chunk header at the end
    // are padding that some writers leave; a chunk longer than what is left is an error.
    std::optional<Chunk> next()
    {
        if (end_ - pos_ < 8)
            return std::nullopt;
        const char *p = bytes_.constData() + pos_;
        Chunk chunk;
        chunk.id = le32(p);
        const quint32 size = le32(p + 4);
        chunk.data = pos_ + 8;
        if (size > quint64(end_ - chunk.data))
            fail(QStringLiteral("a chunk declares %1 bytes where only %2 are left").arg(size).arg(end_ - chunk.data));
        chunk.size = size;
        // Chunks start on even offsets: an odd-sized chunk is followed by a padding byte.
        pos_ = std::min(end_, chunk.data + chunk.size + (size & 1));
        if (chunk.id == fourcc("LIST") || chunk.id == fourcc("RIFF")) {
            if (size < 4)
                fail(QStringLiteral("a list chunk is too short to hold its type"));
            chunk.listType = le32(p + 8);
            chunk.data += 4;
            chunk.size -= 4;
        }
        return chunk;
    }

private:
    const QByteArray &bytes_;
    qsizetype pos_;
    qsizetype end_;
};

QString fourccText(quint32 id)
{
    QString text;
    for (int i = 0; i < 4; ++i) {
        const char c = char(id >> (8 * i));
        text += (c >= 32 && c < 127) ? QChar::fromLatin1(c) : QLatin1Char('?');
    }
    return text;
}

} // namespace

// Reads the structure of an AVI file: RIFF 'AVI ' { LIST 'hdrl' { 'avih', LIST 'strl' { 'strh',
// 'strf' } ... }, LIST 'movi' { '00db' | '00dc' | LIST 'rec ' { ... } ... }, 'idx1' }. The
// index is not needed: frames are played in the order the 'movi' list stores them.
class AviParser {
public:
    explicit AviParser(const QByteArray &bytes) : bytes_(bytes) {}

    AviClip parse()
    {
        if (bytes_.size() < 12 || le32(bytes_.constData()) != fourcc("RIFF") ||
            le32(bytes_.constData() + 8) != fourcc("AVI "))
            fail(QStringLiteral("the file is not an AVI clip"));
        const quint32 riffSize = le32(bytes_.constData() + 4);
        if (riffSize < 4)
            fail(QStringLiteral("the file is not an AVI clip"));
        if (riffSize > quint64(bytes_.size() - 8))
            fail(
                QStringLiteral("the file is truncated (%1 bytes of %2)").arg(bytes_.size()).arg(quint64(riffSize) + 8));

        std::optional<Chunk> header, movie;
        ChunkWalker top(bytes_, 12, 8 + qsizetype(riffSize));
        while (const auto chunk = top.next()) {
            if (!header && chunk->isList(fourcc("hdrl")))
                header = chunk;
            else if (!movie && chunk->isList(fourcc("movi")))
                movie = chunk;
        }
        if (!header)
            fail(QStringLiteral("the clip has no header list"));
        if (!movie)
            fail(QStringLiteral("the clip has no frame list"));

        readHeader(*header);
        readFrames(*movie);
        return std::move(clip_);
    }

private:
    void readHeader(const Chunk &header)
    {
        qint64 mainIntervalUs = 0;
        bool haveMain = false;
        int streams = 0;
        ChunkWalker walker(bytes_, header);
        while (const auto chunk = walker.next()) {
            if (chunk->id == fourcc("avih")) {
                if (chunk->size < 56)
                    fail(QStringLiteral("the main header is too short"));
                mainIntervalUs = le32(data(*chunk));
                haveMain = true;
            } else if (chunk->isList(fourcc("strl"))) {
                readStream(*chunk, streams++);
            }
        }
        if (!haveMain)
            fail(QStringLiteral("the clip has no main header"));
        if (streams == 0)
            fail(QStringLiteral("the clip has no video stream"));

        // The main header's time per frame is what the animation control goes by; the stream's
        // rate and scale stand in when it is missing.
        qint64 intervalUs = mainIntervalUs;
        if (intervalUs == 0 && streamRate_ != 0)
            intervalUs = qint64(streamScale_) * 1000000 / streamRate_;
        if (intervalUs == 0 && streamRate_ != 0 && streamScale_ != 0)
            intervalUs = 1; // faster than a microsecond per frame
        if (intervalUs == 0)
            fail(QStringLiteral("the clip's frame rate is zero"));
        if (intervalUs > AviClip::MaxFrameIntervalUs)
            fail(QStringLiteral("the clip shows less than one frame an hour"));
        clip_.frameIntervalUs_ = intervalUs;
    }

    void readStream(const Chunk &list, int index)
    {
        std::optional<Chunk> streamHeader, streamFormat;
        ChunkWalker walker(bytes_, list);
        while (const auto chunk = walker.next()) {
            if (chunk->id == fourcc("strh") && !streamHeader)
                streamHeader = chunk;
            else if (chunk->id == fourcc("strf") && !streamFormat)
                streamFormat = chunk;
        }
        if (!streamHeader || streamHeader->size < 48)
            fail(QStringLiteral("a stream header is missing or too short"));
        const char *sh = data(*streamHeader);
        const quint32 type = le32(sh);
        if (type == fourcc("auds"))
            fail(QStringLiteral("the clip has sound, which the animation player cannot play"));
        if (type != fourcc("vids"))
            fail(QStringLiteral("the clip has a stream of kind \"%1\", not video").arg(fourccText(type)));
        if (index > 0)
            fail(QStringLiteral("the clip has more than one video stream"));
        streamScale_ = le32(sh + 20);
        streamRate_ = le32(sh + 24);
        if (!streamFormat)
            fail(QStringLiteral("the video stream has no format"));
        readBitmapFormat(*streamFormat);
    }

    // The stream format is a BITMAPINFOHEADER, followed by the palette of an 8-bit stream.
    void readBitmapFormat(const Chunk &chunk)
    {
        if (chunk.size < 40)
            fail(QStringLiteral("the video format is too short"));
        const char *bi = data(chunk);
        const quint32 headerSize = le32(bi);
        const qint32 width = qint32(le32(bi + 4));
        const qint32 height = qint32(le32(bi + 8));
        const int bitCount = le16(bi + 14);
        const quint32 compression = le32(bi + 16);
        const quint32 colorsUsed = le32(bi + 32);
        if (headerSize < 40 || headerSize > quint64(chunk.size))
            fail(QStringLiteral("the video format has a wrong header size"));
        const qint64 absHeight = height < 0 ? -qint64(height) : qint64(height);
        if (width <= 0 || absHeight == 0 || width > AviClip::MaxSide || absHeight > AviClip::MaxSide)
            fail(QStringLiteral("the frame size %1 x %2 is not between 1 and %3 pixels")
                     .arg(width)
                     .arg(height)
                     .arg(AviClip::MaxSide));

        format_.width = width;
        format_.height = int(absHeight);
        format_.bottomUp = height > 0;
        format_.bitCount = bitCount;
        constexpr quint32 biRgb = 0, biRle8 = 1;
        if (compression == biRgb && (bitCount == 8 || bitCount == 24 || bitCount == 32)) {
            format_.encoding = DibFormat::Encoding::Rgb;
        } else if (compression == biRle8 && bitCount == 8 && height > 0) {
            format_.encoding = DibFormat::Encoding::Rle8;
        } else {
            fail(QStringLiteral("its frames are stored in a way the animation player cannot play "
                                "(encoding %1, %2 bits per pixel)")
                     .arg(compression < 256 ? QString::number(compression) : fourccText(compression))
                     .arg(bitCount));
        }
        if (bitCount == 8) {
            const qsizetype room = (chunk.size - headerSize) / 4;
            if (colorsUsed > 256)
                fail(QStringLiteral("the palette declares %1 colours, more than 256").arg(colorsUsed));
            if (colorsUsed > quint64(room))
                fail(QStringLiteral("the palette is truncated"));
            const qsizetype count = colorsUsed != 0 ? qsizetype(colorsUsed) : std::min<qsizetype>(256, room);
            const char *entry = bi + headerSize;
            for (qsizetype i = 0; i < count; ++i, entry += 4) // blue, green, red, unused
                format_.palette.append(qRgb(uchar(entry[2]), uchar(entry[1]), uchar(entry[0])));
        }
        clip_.size_ = QSize(format_.width, int(absHeight));
    }

    void readFrames(const Chunk &movie)
    {
        DibFrameDecoder decoder(format_);
        const qint64 frameBytes = qint64(format_.width) * format_.height * 4;
        ChunkWalker walker(bytes_, movie);
        while (const auto chunk = walker.next()) {
            if (chunk->isList(fourcc("rec "))) {
                ChunkWalker record(bytes_, *chunk);
                while (const auto inner = record.next())
                    readFrame(*inner, decoder, frameBytes);
            } else {
                readFrame(*chunk, decoder, frameBytes);
            }
        }
        if (clip_.frames_.isEmpty())
            fail(QStringLiteral("the clip has no frames"));
    }

    void readFrame(const Chunk &chunk, DibFrameDecoder &decoder, qint64 frameBytes)
    {
        // Frames of stream 0 are '00db' (uncompressed) or '00dc' (compressed); other chunks,
        // such as palette changes or padding, are skipped.
        if (chunk.id != fourcc("00db") && chunk.id != fourcc("00dc"))
            return;
        if (clip_.frames_.size() >= AviClip::MaxFrames)
            fail(QStringLiteral("the clip has more than %1 frames").arg(AviClip::MaxFrames));
        if ((clip_.frames_.size() + 1) * frameBytes > AviClip::MaxDecodedBytes)
            fail(QStringLiteral("the clip's frames take more than %1 MB").arg(AviClip::MaxDecodedBytes >> 20));
        clip_.frames_.append(decoder.decode(QByteArrayView(data(chunk), chunk.size)));
    }

    const char *data(const Chunk &chunk) const { return bytes_.constData() + chunk.data; }

    const QByteArray &bytes_;
    AviClip clip_;
    DibFormat format_;
    quint32 streamScale_ = 0;
    quint32 streamRate_ = 0;
};

namespace {

Error formatError(const QString &path, const QString &cause)
{
    return Error(ErrorNumber::BadFileFormat,
                 QStringLiteral("Cannot play the clip %1: %2").arg(quotedPath(path), cause));
}

// The whole file, read through the system calls so that a failure keeps its errno. Only regular
// files are read: a folder or a device is refused before any read, a FIFO before it can block.
QByteArray readClipFile(const QString &path)
{
    const QString context = QStringLiteral("Cannot open the clip %1").arg(quotedPath(path));
    if (path.isEmpty())
        throw Error(ENOENT, context + QStringLiteral(": the path is empty"));
    if (path.contains(QChar(0)))
        throw Error(EINVAL, context + QStringLiteral(": the path contains a NUL character"));
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw Error::fromErrno(errno, context);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw Error::fromErrno(errno, context);
    if (S_ISDIR(st.st_mode))
        throw Error::fromErrno(EISDIR, context);
    if (!S_ISREG(st.st_mode))
        throw formatError(path, QStringLiteral("it is not a regular file"));
    if (st.st_size > AviClip::MaxFileBytes)
        throw formatError(path, QStringLiteral("the file is larger than %1 MB").arg(AviClip::MaxFileBytes >> 20));
    // Read until the end even if the file changed size since fstat, up to the limit.
    QByteArray bytes;
    bytes.resize(qsizetype(st.st_size) + 1);
    qsizetype got = 0;
    for (;;) {
        if (got == bytes.size()) {
            if (bytes.size() > AviClip::MaxFileBytes)
                throw formatError(path,
                                  QStringLiteral("the file is larger than %1 MB").arg(AviClip::MaxFileBytes >> 20));
            bytes.resize(std::min<qsizetype>(bytes.size() * 2, AviClip::MaxFileBytes + 1));
        }
        const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Error::fromErrno(errno, QStringLiteral("Cannot read the clip %1").arg(quotedPath(path)));
        if (n == 0)
            break;
        got += n;
    }
    bytes.truncate(got);
    return bytes;
}

} // namespace

AviClip AviClip::fromBytes(const QByteArray &bytes, const QString &name)
{
    try {
        return AviParser(bytes).parse();
    } catch (const ClipFormatError &e) {
        throw formatError(name, e.cause);
    }
}

AviClip AviClip::load(const QString &path)
{
    return fromBytes(readClipFile(path), path);
}
