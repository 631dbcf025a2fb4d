#include "platform/zlibtool/compressionengine.h"

#include "platform/errors.h"
#include "platform/stop.h"
#include "platform/tempfile.h"
#include "platform/zlibtool/filepipeline.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader: read the frame header before decoding
#include <zstd.h>
#include <zstd_errors.h>

#include <QFile>

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

class InputFile {
public:
    explicit InputFile(const QString &path) : path_(path)
    {
        const QString action = QStringLiteral("Cannot read ") + quotedPath(path);
        if (path.isEmpty())
            throw Error(ENOENT, action + QStringLiteral(": no file was named"));
        fd_ = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            throw Error::fromErrno(errno, action);
        if (::fstat(fd_, &st_) != 0) {
            const int err = errno;
            ::close(fd_);
            throw Error::fromErrno(err, action);
        }
        if (!S_ISREG(st_.st_mode)) {
            ::close(fd_);
            throw Error(S_ISDIR(st_.st_mode) ? EISDIR : EINVAL,
                        action + (S_ISDIR(st_.st_mode) ? QStringLiteral(": it is a folder")
                                                       : QStringLiteral(": it is not a regular file")));
        }
    }
    ~InputFile() { ::close(fd_); }
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    int fd() const { return fd_; }
    qint64 size() const { return qint64(st_.st_size); }

    // Refuses an output that is this very file: replacing it would destroy the input.
    void refuseAsOutput(const QString &output) const
    {
        struct stat ost;
        if (::stat(QFile::encodeName(output).constData(), &ost) == 0 && ost.st_dev == st_.st_dev &&
            ost.st_ino == st_.st_ino)
            throw Error(ErrorNumber::InvalidArgument,
                        quotedPath(path_) + QStringLiteral(" cannot be both the file to read and the file to write"));
    }

private:
    QString path_;
    int fd_ = -1;
    struct stat st_ {};
};

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
unsigned long long checkFrameHeader(const InputFile &in, const QString &input)
{
    if (in.size() == 0)
        throw notABackup(input, QStringLiteral("it is empty"));
    unsigned char head[ZSTD_FRAMEHEADERSIZE_MAX];
    ssize_t n;
    do
        n = ::pread(in.fd(), head, sizeof head, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        throw Error::fromErrno(errno, QStringLiteral("Cannot read ") + quotedPath(input));
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

void compress(const InputFile &in, const QString &input, int outFd, const QString &output,
              const CompressionEngine::Progress &progress)
{

    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> cctx(ZSTD_createCCtx());
    if (!cctx)
        throw Error(ZSTD_error_memory_allocation, QStringLiteral("Not enough memory to compress ") + quotedPath(input));
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, CompressionEngine::Level);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, 1);
    // A library built without threads refuses this and compresses on the calling thread.
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_nbWorkers, int(workerCount()));
    ZSTD_CCtx_setPledgedSrcSize(cctx.get(), (unsigned long long)in.size());

    const QString action = QStringLiteral("Cannot compress ") + quotedPath(input);
    {
        FilePipeline pipe(in.fd(), input, outFd, output, CompressionEngine::BufferSize,
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
                progress(done, in.size());
            Stop::check(action);
        }
        pipe.sendOutput(ob);
        pipe.finish();
    }
}

void decompress(const InputFile &in, const QString &input, int outFd, const QString &output,
                const CompressionEngine::Progress &progress)
{
    const unsigned long long contentSize = checkFrameHeader(in, input);

    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx(ZSTD_createDCtx());
    if (!dctx)
        throw Error(ZSTD_error_memory_allocation,
                    QStringLiteral("Not enough memory to decompress ") + quotedPath(input));

    const QString action = QStringLiteral("Cannot decompress ") + quotedPath(input);
    {
        FilePipeline pipe(in.fd(), input, outFd, output, CompressionEngine::BufferSize,
                          CompressionEngine::BuffersPerStage);
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
                    pipe.sendOutput(ob);
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
                progress(consumed, in.size());
            Stop::check(action);
        }
        if (contentSize != ZSTD_CONTENTSIZE_UNKNOWN && produced != contentSize)
            throw Error(ErrorNumber::BadFileFormat,
                        quotedPath(input) + QStringLiteral(" is damaged (its content has the wrong size)"));
        pipe.sendOutput(ob);
        pipe.finish();
    }
}

} // namespace

namespace CompressionEngine {

void compressFile(const QString &input, const QString &output, const Progress &progress)
{
    reportingPlainly(QStringLiteral("compress ") + quotedPath(input), [&] {
        InputFile in(input);
        in.refuseAsOutput(output);
        TempFile out(output, TempFile::Temporary, QStringLiteral("Cannot write ") + quotedPath(output));
        compress(in, input, out.fd(), output, progress);
        out.commit();
    });
}

void decompressFile(const QString &input, const QString &output, const Progress &progress)
{
    reportingPlainly(QStringLiteral("decompress ") + quotedPath(input), [&] {
        InputFile in(input);
        (void)checkFrameHeader(in, input); // a file that is no backup is refused before output is touched
        in.refuseAsOutput(output);
        TempFile out(output, TempFile::Temporary, QStringLiteral("Cannot write ") + quotedPath(output));
        decompress(in, input, out.fd(), output, progress);
        out.commit();
    });
}

void decompressInto(const QString &input, int outFd, const QString &output, const Progress &progress)
{
    reportingPlainly(QStringLiteral("decompress ") + quotedPath(input), [&] {
        InputFile in(input);
        decompress(in, input, outFd, output, progress);
    });
}

bool looksCompressed(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(4);
    return head.size() == 4 && ZSTD_isFrame(head.constData(), 4);
}

} // namespace CompressionEngine
