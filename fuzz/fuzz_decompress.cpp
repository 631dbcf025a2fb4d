// Feeds arbitrary bytes to the restore's decompression as the backup file. It must either
// throw Error, leaving the output exactly as it was and no temporary file behind, or succeed
// with exactly the bytes that the zstd library itself gets from a complete, checksummed,
// single-frame backup. Memory must stay bounded: a frame that declares a huge window or
// content size is refused or streamed (run with -malloc_limit_mb to check).
//
// Random bytes rarely make a frame that decodes far, so an input that starts with 'G' describes
// a backup instead: real content, compressed with chosen settings, then perhaps damaged. A sound
// one must come back as the very content.

#include "fuzzcheck.h"
#include "platform/errors.h"
#include "platform/zlibtool/compressionengine.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader
#include <zstd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace {

// Beyond this much output the reference stops and the comparison is skipped: a few bytes of
// input can stand for a lot of output, and the comparison is about correctness, not volume.
constexpr std::size_t ReferenceLimit = std::size_t(64) << 20;

enum class Verdict { Accept, Refuse, TooLarge };

// What a backup is, decided with the zstd library alone: exactly one zstd frame filling the
// whole input, with a content checksum and a declared content size, decoding without error to it.
Verdict reference(const std::uint8_t *data, std::size_t size, QByteArray &content)
{
    ZSTD_frameHeader header;
    const std::size_t headerResult = ZSTD_getFrameHeader(&header, data, size);
    if (size == 0 || ZSTD_isError(headerResult) || headerResult > 0 || header.frameType != ZSTD_frame ||
        !header.checksumFlag)
        return Verdict::Refuse;
    const std::size_t frameSize = ZSTD_findFrameCompressedSize(data, size);
    if (ZSTD_isError(frameSize) || frameSize != size)
        return Verdict::Refuse;
    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
    ZSTD_inBuffer in{data, size, 0};
    std::size_t result = 1;
    QByteArray chunk(qsizetype(ZSTD_DStreamOutSize()), Qt::Uninitialized);
    while (result != 0) {
        ZSTD_outBuffer out{chunk.data(), std::size_t(chunk.size()), 0};
        result = ZSTD_decompressStream(dctx.get(), &out, &in);
        if (ZSTD_isError(result))
            return Verdict::Refuse;
        content.append(chunk.constData(), qsizetype(out.pos));
        if (std::size_t(content.size()) > ReferenceLimit)
            return Verdict::TooLarge;
        if (result != 0 && in.pos == in.size && out.pos < out.size)
            return Verdict::Refuse; // the input ends inside the frame
    }
    if (in.pos != in.size)
        return Verdict::Refuse;
    // A backup must declare its size (ZSTD_CONTENTSIZE_UNKNOWN is none), so that room for it is known
    // before anything is written.
    return header.frameContentSize == quint64(content.size()) ? Verdict::Accept : Verdict::Refuse;
}

// An input of the form 'G', settings, repeat, position (2 bytes), pattern: the pattern repeated
// (up to about 1 MB, so the content spans several of the engine's buffers) and compressed with
// the level, checksum and content-size flags of settings, then damaged as settings say: a bit
// flipped, the end cut off, or bytes added after the frame, at the given relative position.
struct Generated {
    QByteArray backup = {}, content = {};
    bool checksum = false, sized = false, damaged = false;
};

Generated generate(const std::uint8_t *data, std::size_t size)
{
    const std::uint8_t settings = size > 1 ? data[1] : 0;
    const int damage = (settings >> 2) & 3;
    Generated g{.checksum = (settings & 1) != 0, .sized = ((settings >> 1) & 1) != 0, .damaged = damage != 0};
    const int repeat = size > 2 ? data[2] : 0;
    const unsigned position = size > 4 ? unsigned(data[3]) << 8 | data[4] : 0;
    const QByteArray pattern =
        size > 5 ? QByteArray(reinterpret_cast<const char *>(data + 5), qsizetype(size - 5)) : QByteArray("x");
    const qsizetype length = std::min<qsizetype>(pattern.size() * (1 + qsizetype(repeat) * repeat * 16), 1 << 20);
    g.content = pattern.repeated(length / pattern.size() + 1).left(length);

    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, 1 + (settings >> 4) % 9);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, g.checksum);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, g.sized);
    g.backup.resize(qsizetype(ZSTD_compressBound(std::size_t(g.content.size()))));
    const std::size_t n = ZSTD_compress2(cctx.get(), g.backup.data(), std::size_t(g.backup.size()),
                                         g.content.constData(), std::size_t(g.content.size()));
    FUZZ_CHECK(!ZSTD_isError(n), ZSTD_getErrorName(n));
    g.backup.truncate(qsizetype(n));

    const qsizetype at = qsizetype(quint64(position) * quint64(g.backup.size()) >> 16);
    if (damage == 1) // one bit flipped
        g.backup[at] = char(g.backup[at] ^ (1 << (position & 7)));
    else if (damage == 2) // cut short
        g.backup.truncate(at);
    else if (damage == 3) // followed by more data
        g.backup += pattern.left(1 + at % 16);
    return g;
}

struct Folder {
    QTemporaryDir dir;
    QString input = dir.path() + QStringLiteral("/BACK.TVB");
    QString outputFolder = dir.path() + QStringLiteral("/out");
    QString output = outputFolder + QStringLiteral("/BACK.MDB");
    Folder() { QDir().mkpath(outputFolder); }
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly), file.errorString());
    return file.readAll();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static Folder folder;
    QByteArray backup(reinterpret_cast<const char *>(data), qsizetype(size));
    std::optional<Generated> generated;
    if (size > 0 && data[0] == 'G') {
        generated = generate(data, size);
        backup = generated->backup;
        data = reinterpret_cast<const std::uint8_t *>(backup.constData());
        size = std::size_t(backup.size());
    }
    writeFuzzFile(folder.input, backup);
    // The database that the restore would replace: it must survive every refused backup.
    const QByteArray previous = QByteArrayLiteral("the database as it was before the restore");
    writeFuzzFile(folder.output, previous);

    bool restored = false;
    qint64 lastDone = 0;
    try {
        CompressionEngine::decompressFile(folder.input, folder.output, [&](qint64 done, qint64 total) {
            FUZZ_CHECK(done >= lastDone && done <= total && total == qint64(size),
                       QStringLiteral("progress %1 of %2 after %3").arg(done).arg(total).arg(lastDone));
            lastDone = done;
        });
        restored = true;
    } catch (const Error &e) {
        FUZZ_CHECK(e.number() != 0 && e.description().contains(QStringLiteral("BACK.TVB")), e.message());
    }

    const QStringList left =
        QDir(folder.outputFolder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    FUZZ_CHECK(left == QStringList{QStringLiteral("BACK.MDB")}, QStringLiteral("left: ") + left.join(u' '));
    const QByteArray output = readFile(folder.output);
    FUZZ_CHECK(restored || output == previous, "a refused backup changed the output");

    QByteArray expected;
    const Verdict verdict = reference(data, size, expected);
    if (verdict == Verdict::Accept) {
        FUZZ_CHECK(restored, "a sound backup was refused");
        FUZZ_CHECK(output == expected,
                   QStringLiteral("restored %1 bytes, expected %2").arg(output.size()).arg(expected.size()));
    }
    FUZZ_CHECK(verdict != Verdict::Refuse || !restored, "a backup that zstd refuses was restored");
    // A sound backup with a checksum, made by zstd itself, comes back as its very content.
    if (generated && generated->checksum && generated->sized && !generated->damaged) {
        FUZZ_CHECK(restored, "an intact backup was refused");
        FUZZ_CHECK(output == generated->content, "an intact backup was restored wrongly");
    }
    return 0;
}
