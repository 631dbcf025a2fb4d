#include "platform/zlibtool/filepipeline.h"

#include "platform/errors.h"
#include "platform/fs/descriptor.h"
#include "platform/fs/files.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace FilePipelineDetail {

BufferChannel::BufferChannel(std::size_t buffers, std::size_t bufferSize)
{
    for (std::size_t i = 0; i < buffers; ++i) {
        owned_.push_back(std::make_unique<Buffer>(bufferSize));
        empty_.push_back(owned_.back().get());
    }
}

Buffer *BufferChannel::acquireEmpty()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return aborted_ || !empty_.empty(); });
    if (aborted_)
        return nullptr;
    Buffer *b = empty_.front();
    empty_.pop_front();
    b->size = 0;
    return b;
}

void BufferChannel::pushFull(Buffer *b)
{
    {
        std::lock_guard lock(mutex_);
        full_.push_back(b);
    }
    changed_.notify_all();
}

void BufferChannel::finish()
{
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
}

Buffer *BufferChannel::takeFull()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return aborted_ || !full_.empty() || finished_; });
    if (aborted_ || full_.empty())
        return nullptr;
    Buffer *b = full_.front();
    full_.pop_front();
    return b;
}

void BufferChannel::release(Buffer *b)
{
    {
        std::lock_guard lock(mutex_);
        empty_.push_back(b);
    }
    changed_.notify_all();
}

void BufferChannel::abort()
{
    {
        std::lock_guard lock(mutex_);
        aborted_ = true;
    }
    changed_.notify_all();
}

bool BufferChannel::aborted() const
{
    std::lock_guard lock(mutex_);
    return aborted_;
}

} // namespace FilePipelineDetail

FilePipeline::FilePipeline(int inFd, const QString &inPath, int outFd, const QString &outPath, std::size_t bufferSize,
                           std::size_t buffersPerStage, std::atomic<qint64> *written, bool writeback)
    : inFd_(inFd), outFd_(outFd), inPath_(inPath), outPath_(outPath), written_(written), writeback_(writeback),
      input_(buffersPerStage, bufferSize), output_(buffersPerStage, bufferSize), tasks_([this] {
          input_.abort();
          output_.abort();
      })
{
    ::posix_fadvise(inFd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    tasks_.start([this] { readLoop(); });
    tasks_.start([this] { writeLoop(); });
}

FilePipeline::~FilePipeline() = default;

void FilePipeline::readLoop()
{
    for (;;) {
        Buffer *b = input_.acquireEmpty();
        if (!b)
            return;
        // Fill the buffer completely: only the last buffer of the file is short.
        b->size += std::size_t(Fs::read(inFd_, b->data.get() + b->size, qint64(b->capacity - b->size), inPath_));
        const bool atEnd = b->size < b->capacity;
        if (b->size > 0)
            input_.pushFull(b);
        else
            input_.release(b);
        if (atEnd) {
            input_.finish();
            return;
        }
    }
}

void FilePipeline::writeLoop()
{
    {
        qint64 offset = 0;
        qint64 flushedTo = 0;
        for (;;) {
            Buffer *b = output_.takeFull();
            if (!b)
                return;
            for (std::size_t done = 0; done < b->size;) {
                const ssize_t n = ::write(outFd_, b->data.get() + done, b->size - done);
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    throw Error::fromErrno(errno, QStringLiteral("Cannot write ") + quotedPath(outPath_));
                }
                done += std::size_t(n);
            }
            offset += qint64(b->size);
            output_.release(b);
            if (written_)
                *written_ = offset;
            if (writeback_)
                Files::startWriteback(outFd_, flushedTo, offset);
        }
    }
}

const FilePipeline::Buffer *FilePipeline::nextInput()
{
    const Buffer *b = input_.takeFull();
    if (!b)
        tasks_.rethrowIfFailed();
    return b;
}

void FilePipeline::doneWithInput(const Buffer *b)
{
    input_.release(const_cast<Buffer *>(b));
}

FilePipeline::Buffer *FilePipeline::outputBuffer()
{
    Buffer *b = output_.acquireEmpty();
    if (!b) {
        tasks_.rethrowIfFailed();
        throw Error(ErrorNumber::InvalidArgument, QStringLiteral("Cannot write ") + quotedPath(outPath_) +
                                                      QStringLiteral(": the writer has stopped"));
    }
    return b;
}

void FilePipeline::sendOutput(Buffer *b)
{
    if (b->size == 0)
        output_.release(b);
    else
        output_.pushFull(b);
}

void FilePipeline::finish()
{
    output_.finish();
    input_.abort(); // the transformation needs no more input: stop the reader wherever it is
    tasks_.wait();
    if (output_.aborted())
        throw Error(ErrorNumber::InvalidArgument, QStringLiteral("Cannot write ") + quotedPath(outPath_) +
                                                      QStringLiteral(": the writer has stopped"));
}
