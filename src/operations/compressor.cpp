#include "operations/compressor.h"

#include "platform/zlibtool/compressionengine.h"

namespace Operations {

void EngineCompressor::compress(const QString &input, const QString &output)
{
    CompressionEngine::compressFile(input, output);
}

void EngineCompressor::decompress(const QString &input, const QString &output)
{
    CompressionEngine::decompressFile(input, output);
}

} // namespace Operations
