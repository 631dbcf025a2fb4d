#pragma once

#include "platform/taskgroup.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Moves file data through three stages on their own threads: a reader thread fills buffers
// from the input file, the calling thread transforms them (compresses or decompresses), and a
// writer thread writes the results to the output file. A fixed set of buffers circulates
// between the stages, so memory stays bounded whatever the file size, and reading, the
// transformation and writing overlap.
namespace FilePipelineDetail {

struct Buffer {
    explicit Buffer(std::size_t capacity) : data(new char[capacity]), capacity(capacity) {}
    std::unique_ptr<char[]> data;
    std::size_t capacity;
    std::size_t size = 0;
};

// A one-way hand-over of buffers between a producer and a consumer thread: empty buffers go
// to the producer, full ones to the consumer, in order. Either side can abort, which wakes
// both and makes every later call return nullptr.
class BufferChannel {
public:
    BufferChannel(std::size_t buffers, std::size_t bufferSize);

    Buffer *acquireEmpty();   // producer: nullptr once aborted
    void pushFull(Buffer *b); // producer
    void finish();            // producer: no more data follows
    Buffer *takeFull();       // consumer: nullptr at the end of the data or once aborted
    void release(Buffer *b);  // consumer: hands an emptied buffer back
    void abort();
    bool aborted() const;

private:
    std::vector<std::unique_ptr<Buffer>> owned_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Buffer *> empty_;
    std::deque<Buffer *> full_;
    bool finished_ = false;
    bool aborted_ = false;
};

} // namespace FilePipelineDetail

class FilePipeline {
public:
    using Buffer = FilePipelineDetail::Buffer;

    // Reads inFd (inPath names it in errors) and writes outFd (outPath). The descriptors stay
    // owned by the caller and must outlive the pipeline. written, when given, counts the bytes
    // written so far (for a reader of the output on another thread); with writeback the output
    // starts going to disk as it is written, for an output that is synced next.
    FilePipeline(int inFd, const QString &inPath, int outFd, const QString &outPath, std::size_t bufferSize,
                 std::size_t buffersPerStage, std::atomic<qint64> *written = nullptr, bool writeback = true);
    // Stops both threads and waits for them; data not yet written is dropped.
    ~FilePipeline();
    FilePipeline(const FilePipeline &) = delete;
    FilePipeline &operator=(const FilePipeline &) = delete;

    // The next piece of input, nullptr at the end of the file. Throws the reader's error.
    const Buffer *nextInput();
    // Gives back the buffer that nextInput() returned last.
    void doneWithInput(const Buffer *b);

    // An empty buffer to fill with output. Throws the writer's error.
    Buffer *outputBuffer();
    // Queues a filled buffer for writing (an empty one is just given back).
    void sendOutput(Buffer *b);

    // Waits until everything sent has been written. Throws the first error of either thread.
    void finish();

private:
    void readLoop();
    void writeLoop();

    int inFd_, outFd_;
    QString inPath_, outPath_;
    std::atomic<qint64> *written_;
    bool writeback_;
    FilePipelineDetail::BufferChannel input_;
    FilePipelineDetail::BufferChannel output_;
    TaskGroup tasks_; // the reader and the writer (after the channels, which they use)
};
