// Writes the starting inputs of the fuzz corpus: small clips in every encoding the player
// reads, hive files in both header styles and text encodings, and backup files (sound ones and
// a few that must be refused). Usage: fuzz-seeds CORPUS-FOLDER [CLIP...]; the clips named
// (the program's own, for instance) are copied in as they are.

#include "aviwriter.h"
#include "platform/errors.h"
#include "platform/zlibtool/compressionengine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <zstd.h>

#include <cstdio>

namespace {

QString root;

void put(const QString &target, const QString &name, const QByteArray &bytes)
{
    QDir().mkpath(root + '/' + target);
    QFile file(root + '/' + target + '/' + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw Error(EIO, QStringLiteral("Cannot write ") + quotedPath(file.fileName()));
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(ENOENT, QStringLiteral("Cannot read ") + quotedPath(path));
    return file.readAll();
}

// Three 8 x 6 frames of a small square moving over a plain background.
QList<QImage> frames()
{
    QList<QImage> list;
    for (int f = 0; f < 3; ++f) {
        QImage image(8, 6, QImage::Format_Indexed8);
        image.setColorTable({qRgb(192, 192, 192), qRgb(0, 0, 128), qRgb(255, 255, 0)});
        image.fill(0);
        for (int y = 1; y < 4; ++y)
            for (int x = 0; x < 3; ++x)
                image.setPixel(f * 2 + x, y, f == 1 ? 2 : 1);
        list.append(image);
    }
    return list;
}

void clips(const QStringList &programClips)
{
    const struct {
        const char *name;
        AviWriter::Encoding encoding;
    } kinds[] = {{"rle8.avi", AviWriter::Encoding::Rle8},
                 {"rgb8.avi", AviWriter::Encoding::Rgb8},
                 {"rgb24.avi", AviWriter::Encoding::Rgb24},
                 {"rgb32.avi", AviWriter::Encoding::Rgb32}};
    for (const auto &kind : kinds)
        put("aviclip", kind.name, AviWriter::encode(frames(), 10, kind.encoding));
    for (const QString &clip : programClips)
        put("aviclip", QFileInfo(clip).fileName().toLower(), readAll(clip));
}

QByteArray utf16le(const QByteArray &utf8)
{
    QByteArray bytes("\xFF\xFE");
    for (const QChar c : QString::fromUtf8(utf8))
        bytes.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
    return bytes;
}

void hives()
{
    const QByteArray program = "Windows Registry Editor Version 5.00\r\n\r\n"
                               "; written by the installer\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools\\MSINFO]\r\n"
                               "\"PATH\"=\"/usr/bin/hardinfo\"\r\n";
    put("hive", "installed-utf16.reg", utf16le(program));
    put("hive", "installed-utf8.reg", program);
    put("hive", "every-type.reg",
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n"
        "@=\"default\"\r\n"
        "\"Text\"=\"C:\\\\Program Files\\\\a \\\"quoted\\\" word\"\r\n"
        "\"Number\"=dword:0000abcd\r\n"
        "\"Bytes\"=hex:de,ad,be,\\\r\n  ef\r\n"
        "\"Expandable\"=hex(2):25,00,41,00,25,00,00,00\r\n"
        "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
        "\"Quad\"=hex(b):01,02,03,04,05,06,07,08\r\n"
        "\"Gone\"=\"x\"\r\n"
        "\"Gone\"=-\r\n"
        "[HKCU\\Software\\Other]\r\n"
        "\"Caf\xC3\xA9\"=\"\xE6\x97\xA5\xE6\x9C\xAC\"\r\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Old]\r\n");
    put("hive", "regedit4.reg",
        "REGEDIT4\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools Location]\n"
        "\"MSInfo\"=\"/usr/bin\"\n"
        "\"Ansi\"=hex(2):25,41,25,00\n");
}

// One zstd frame of content made with the given checksum and content-size flags.
QByteArray frame(const QByteArray &content, bool checksum, bool contentSize)
{
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, checksum);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, contentSize);
    QByteArray out(qsizetype(ZSTD_compressBound(std::size_t(content.size()))), Qt::Uninitialized);
    ZSTD_outBuffer zout{out.data(), std::size_t(out.size()), 0};
    ZSTD_inBuffer zin{content.constData(), std::size_t(content.size()), 0};
    // Streaming without a pledged size leaves the content size out of the header.
    if (contentSize)
        ZSTD_CCtx_setPledgedSrcSize(cctx.get(), quint64(content.size()));
    while (ZSTD_compressStream2(cctx.get(), &zout, &zin, ZSTD_e_end) != 0) {
    }
    out.truncate(qsizetype(zout.pos));
    return out;
}

void backups()
{
    QTemporaryDir tmp;
    const QByteArray text = QByteArray("CustomerID;Name;City\n1;Kellerman;Bern\n2;O'Brien;Cork\n").repeated(40);
    const struct {
        const char *name;
        QByteArray content;
    } contents[] = {{"empty.tvb", {}}, {"text.tvb", text}, {"bytes.tvb", QByteArray(700, '\x5a') + text.left(300)}};
    for (const auto &c : contents) {
        const QString in = tmp.path() + QStringLiteral("/in"), out = tmp.path() + QStringLiteral("/out.tvb");
        QFile file(in);
        if (!file.open(QIODevice::WriteOnly) || file.write(c.content) != c.content.size())
            throw Error(EIO, QStringLiteral("Cannot write ") + quotedPath(in));
        file.close();
        CompressionEngine::compressFile(in, out);
        put("decompress", c.name, readAll(out));
    }
    // Frames that zstd reads but that are not backups, and a sound one without a content size.
    put("decompress", "no-checksum.zst", frame(text, false, true));
    put("decompress", "no-content-size.tvb", frame(text, true, false));
    put("decompress", "two-frames.zst", frame("first", true, true) + frame("second", true, true));
    put("decompress", "skippable.zst",
        QByteArray("\x50\x2a\x4d\x18\x04\x00\x00\x00skip", 12) + frame(text, true, true));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER [CLIP...]\n", argv[0]);
        return 2;
    }
    root = QFile::decodeName(argv[1]);
    QStringList programClips;
    for (int i = 2; i < argc; ++i)
        programClips.append(QFile::decodeName(argv[i]));
    try {
        clips(programClips);
        hives();
        backups();
    } catch (const Error &e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.message()));
        return 1;
    }
    return 0;
}
