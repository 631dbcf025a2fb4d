#pragma once

#include <QString>

namespace Operations {

// Whole-file compression as the operations use it: the compression control in the main window,
// the compression engine directly elsewhere. Both calls return when the output is complete and
// throw Error on failure; the output path is then either as it was or complete.
class Compressor {
public:
    virtual ~Compressor() = default;
    // Compresses input into the backup file output (created or replaced).
    virtual void compress(const QString &input, const QString &output) = 0;
    // Decompresses the backup file input into output (created or replaced), refusing a backup
    // that is not complete and intact before output is touched.
    virtual void decompress(const QString &input, const QString &output) = 0;
};

// The compression engine, called on the calling thread.
class EngineCompressor : public Compressor {
public:
    void compress(const QString &input, const QString &output) override;
    void decompress(const QString &input, const QString &output) override;
};

} // namespace Operations
