#include "platform/zlibtool/compressionengine.h"

#include "platform/errors.h"
#include "platform/fs/files.h"
#include "platform/fs/tempfile.h"
#include "platform/stop.h"
#include "platform/zlibtool/filepipeline.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader: read the frame header before decoding
#include <zstd.h>
#include <zstd_errors.h>

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

struct CCtxDeleter {
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};
struct DCtxDeleter {
    void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};

// A file to read: its descriptor, its name for messages and its size.
struct Input {
    int fd;
    QString path;
    qint64 size;
};

Input inputOf(int fd, const QString &path)
{
    return {fd, path, Fs::statusOf(fd, path).size};
}

unsigned workerCount()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? cores : 1;
}

QString zstdText(ZSTD_ErrorCode code)
{
    QString text = QString::fromLatin1(ZSTD_getErrorString(code));
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

Error compressError(std::size_t result, const QString &input, const QString &output)
{
    const ZSTD_ErrorCode code = ZSTD_getErrorCode(result);
    switch (code) {
    case ZSTD_error_srcSize_wrong:
        return Error(code, quotedPath(input) + QStringLiteral(" changed while it was being compressed"));
    case ZSTD_error_memory_allocation:
        return Error(code, QStringLiteral("Not enough memory to compress ") + quotedPath(input));
    default:
        return Error(code, QStringLiteral("Cannot compress ") + quotedPath(input) + QStringLiteral(" into ") +
                               quotedPath(output) + QStringLiteral(": ") + zstdText(code));
    }
}

Error notABackup(const QString &input, const QString &why = QString())
{
    return Error(ErrorNumber::BadFileFormat, quotedPath(input) + QStringLiteral(" is not a Tarvos backup file") +
                                                 (why.isEmpty() ? QString() : QStringLiteral(" (") + why + ')'));
}

Error truncated(const QString &input)
{
    return Error(ErrorNumber::BadFileFormat, quotedPath(input) + QStringLiteral(" is truncated"));
}

Error decompressError(std::size_t result, const QString &input)
{
    const ZSTD_ErrorCode code = ZSTD_getErrorCode(result);
    switch (code) {
    case ZSTD_error_prefix_unknown:
        return notABackup(input);
    case ZSTD_error_checksum_wrong:
        return Error(code, quotedPath(input) + QStringLiteral(" is damaged (checksum mismatch)"));
    case ZSTD_error_memory_allocation:
        return Error(code, QStringLiteral("Not enough memory to decompress ") + quotedPath(input));
    case ZSTD_error_frameParameter_windowTooLarge:
        return Error(code, quotedPath(input) +
                               QStringLiteral(" is damaged or needs too much memory to decompress (window too large)"));
    default:
        return Error(code, quotedPath(input) + QStringLiteral(" is damaged (") + zstdText(code) + ')');
    }
}

// Reads the frame header at the start of a backup file and refuses what is not one of ours:
// a single zstd frame with a checksum of its content. Returns the declared content size
// (ZSTD_CONTENTSIZE_UNKNOWN when the frame does not record it).
unsigned long long checkFrameHeader(const Input &in)
{
    const QString &input = in.path;
    if (in.size == 0)
        throw notABackup(input, QStringLiteral("it is empty"));
    char head[ZSTD_FRAMEHEADERSIZE_MAX];
    const qint64 n = Fs::readAt(in.fd, head, sizeof head, 0, input);
    ZSTD_frameHeader header;
    const std::size_t result = ZSTD_getFrameHeader(&header, head, std::size_t(n));
    if (ZSTD_isError(result))
        throw decompressError(result, input);
    if (result > 0)
        throw truncated(input); // the file ends inside the frame header
    if (header.frameType != ZSTD_frame)
        throw notABackup(input);
    if (!header.checksumFlag)
        throw notABackup(input, QStringLiteral("it carries no checksum"));
    // Every backup this program writes records its size, so that room for it can be checked
    // before anything is written (a few kilobytes can decode to gigabytes).
    if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN)
        throw notABackup(input, QStringLiteral("it does not record the size of its content"));
    return header.frameContentSize;
}

// Runs work and turns what the standard library throws (no memory for the buffers, no thread
// to be had) into an Error like every other failure.
template <typename Work> void reportingPlainly(const QString &action, Work &&work)
{
    try {
        work();
    } catch (const Error &) {
        throw;
    } catch (const std::bad_alloc &) {
        throw Error(ENOMEM, QStringLiteral("Not enough memory to ") + action);
    } catch (const std::system_error &e) {
        throw Error(e.code().value(),
                    QStringLiteral("Cannot ") + action + QStringLiteral(": ") + QString::fromLocal8Bit(e.what()));
    }
}

void compressStream(const Input &in, int outFd, const QString &output, const Progress &progress)
{
    const QString &input = in.path;

    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> cctx(ZSTD_createCCtx());
    if (!cctx)
        throw Error(ZSTD_error_memory_allocation, QStringLiteral("Not enough memory to compress ") + quotedPath(input));
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, CompressionEngine::Level);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, 1);
    // A library built without threads refuses this and compresses on the calling thread.
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_nbWorkers, int(workerCount()));
    ZSTD_CCtx_setPledgedSrcSize(cctx.get(), (unsigned long long)in.size);

    const QString action = QStringLiteral("Cannot compress ") + quotedPath(input);
    {
        FilePipeline pipe(in.fd, input, outFd, output, CompressionEngine::BufferSize,
                          CompressionEngine::BuffersPerStage);
        FilePipeline::Buffer *ob = pipe.outputBuffer();
        qint64 done = 0;
        for (;;) {
            const FilePipeline::Buffer *ib = pipe.nextInput();
            ZSTD_inBuffer zin{ib ? ib->data.get() : nullptr, ib ? ib->size : 0, 0};
            const ZSTD_EndDirective mode = ib ? ZSTD_e_continue : ZSTD_e_end;
            for (;;) {
                ZSTD_outBuffer zout{ob->data.get(), ob->capacity, ob->size};
                const std::size_t remaining = ZSTD_compressStream2(cctx.get(), &zout, &zin, mode);
                if (ZSTD_isError(remaining))
                    throw compressError(remaining, input, output);
                ob->size = zout.pos;
                if (ob->size == ob->capacity) {
                    pipe.sendOutput(ob);
                    ob = pipe.outputBuffer();
                }
                if (mode == ZSTD_e_end ? remaining == 0 : zin.pos == zin.size)
                    break;
            }
            if (!ib)
                break;
            done += qint64(ib->size);
            pipe.doneWithInput(ib);
            if (progress)
                progress(done, in.size);
            Stop::check(action);
        }
        pipe.sendOutput(ob);
        pipe.finish();
    }
}

void decompressStream(const Input &in, int outFd, const QString &output, const Progress &progress,
                      const CompressionEngine::ContentCheck &check, std::atomic<qint64> *written = nullptr)
{
    const QString &input = in.path;
    const unsigned long long contentSize = checkFrameHeader(in);
    // The first piece of output goes to the check before it is written.
    bool checked = !check;
    const auto send = [&](FilePipeline &pipe, FilePipeline::Buffer *b) {
        if (!checked) {
            check(contentSize, b->data.get(), b->size);
            checked = true;
        }
        pipe.sendOutput(b);
    };

    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx(ZSTD_createDCtx());
    if (!dctx)
        throw Error(ZSTD_error_memory_allocation,
                    QStringLiteral("Not enough memory to decompress ") + quotedPath(input));

    const QString action = QStringLiteral("Cannot decompress ") + quotedPath(input);
    {
        FilePipeline pipe(in.fd, input, outFd, output, CompressionEngine::BufferSize,
                          CompressionEngine::BuffersPerStage, written, written == nullptr);
        FilePipeline::Buffer *ob = pipe.outputBuffer();
        qint64 consumed = 0;
        unsigned long long produced = 0;
        bool frameDone = false;
        while (!frameDone) {
            const FilePipeline::Buffer *ib = pipe.nextInput();
            if (!ib)
                throw truncated(input); // the file ended inside the frame
            ZSTD_inBuffer zin{ib->data.get(), ib->size, 0};
            // A full output buffer may mean that zstd holds more decoded data: call it again
            // even when the input is used up.
            bool outputFull = false;
            while (!frameDone && (zin.pos < zin.size || outputFull)) {
                ZSTD_outBuffer zout{ob->data.get(), ob->capacity, ob->size};
                const std::size_t result = ZSTD_decompressStream(dctx.get(), &zout, &zin);
                if (ZSTD_isError(result))
                    throw decompressError(result, input);
                produced += zout.pos - ob->size;
                ob->size = zout.pos;
                outputFull = ob->size == ob->capacity;
                if (outputFull) {
                    send(pipe, ob);
                    ob = pipe.outputBuffer();
                }
                frameDone = result == 0; // the frame is complete, its checksum verified
            }
            const bool trailing = zin.pos < zin.size;
            consumed += qint64(ib->size);
            pipe.doneWithInput(ib);
            if (trailing || (frameDone && pipe.nextInput()))
                throw Error(ErrorNumber::BadFileFormat,
                            quotedPath(input) +
                                QStringLiteral(" is damaged (unexpected data after the end of the backup)"));
            if (progress)
                progress(consumed, in.size);
            Stop::check(action);
        }
        if (produced != contentSize)
            throw Error(ErrorNumber::BadFileFormat,
                        quotedPath(input) + QStringLiteral(" is damaged (its content has the wrong size)"));
        send(pipe, ob);
        pipe.finish();
    }
}

// The file at path, for one of the path calls below.
struct OpenedFile {
    Fs::Location location;
    Fs::Fd fd;
    Fs::Status status;
};

OpenedFile openInput(const QString &path, const QString &action)
{
    OpenedFile file{Fs::resolve(path, action), {}, {}};
    file.fd = file.location.folder.openForReading(file.location.name, action);
    file.status = Fs::statusOf(file.fd.get(), path);
    return file;
}

// Writes output from input with transform, through a temporary file that gets input's access.
void transformFile(const QString &input, const QString &output, const QString &verb,
                   const std::function<void(const Input &, int, const QString &)> &transform)
{
    reportingPlainly(verb + QLatin1Char(' ') + quotedPath(input), [&] {
        const OpenedFile in = openInput(input, QStringLiteral("Cannot read ") + quotedPath(input));
        const QString writing = QStringLiteral("Cannot write ") + quotedPath(output);
        const Fs::Location out = Fs::resolve(output, writing);
        if (out.status().sameFile(in.status))
            throw Error(ErrorNumber::InvalidArgument,
                        quotedPath(input) + QStringLiteral(" cannot be both the file to read and the file to write"));
        TempFile temp(out.folder, out.name, TempFile::Temporary, writing);
        transform(Input{in.fd.get(), input, in.status.size}, temp.fd(), output);
        temp.giveAccessOf(in.fd.get(), in.status);
        temp.commit();
    });
}

} // namespace

namespace CompressionEngine {

void compress(int in, const QString &input, int out, const QString &output, const Progress &progress)
{
    reportingPlainly(QStringLiteral("compress ") + quotedPath(input),
                     [&] { compressStream(inputOf(in, input), out, output, progress); });
}

void decompress(int in, const QString &input, int out, const QString &output, const Progress &progress,
                const ContentCheck &check, std::atomic<qint64> *written)
{
    reportingPlainly(QStringLiteral("decompress ") + quotedPath(input),
                     [&] { decompressStream(inputOf(in, input), out, output, progress, check, written); });
}

std::optional<ContentStart> contentStart(int in, const QString &input, std::size_t n)
{
    // Two blocks of the largest size are more than the start of any content needs.
    QByteArray frame(qsizetype(2 * ZSTD_BLOCKSIZE_MAX + ZSTD_FRAMEHEADERSIZE_MAX), Qt::Uninitialized);
    frame.truncate(qsizetype(Fs::readAt(in, frame.data(), frame.size(), 0, input)));
    const unsigned long long size = ZSTD_getFrameContentSize(frame.constData(), std::size_t(frame.size()));
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN)
        return std::nullopt;
    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx(ZSTD_createDCtx());
    if (!dctx)
        throw std::bad_alloc();
    QByteArray head(qsizetype(std::min<unsigned long long>(n, size)), Qt::Uninitialized);
    ZSTD_inBuffer zin{frame.constData(), std::size_t(frame.size()), 0};
    ZSTD_outBuffer zout{head.data(), std::size_t(head.size()), 0};
    while (zout.pos < zout.size) {
        const std::size_t before = zin.pos + zout.pos;
        const std::size_t result = ZSTD_decompressStream(dctx.get(), &zout, &zin);
        if (ZSTD_isError(result) || result == 0 || zin.pos + zout.pos == before)
            break; // damaged, the frame's end, or the blocks read end
    }
    if (zout.pos < zout.size)
        return std::nullopt;
    return ContentStart{size, head};
}

void compressFile(const QString &input, const QString &output, const Progress &progress)
{
    transformFile(input, output, QStringLiteral("compress"),
                  [&](const Input &in, int out, const QString &name) { compressStream(in, out, name, progress); });
}

void decompressFile(const QString &input, const QString &output, const Progress &progress)
{
    transformFile(input, output, QStringLiteral("decompress"), [&](const Input &in, int out, const QString &name) {
        decompressStream(in, out, name, progress, {});
    });
}

} // namespace CompressionEngine
