#pragma once

#include <QString>

#include <cstddef>
#include <functional>

// Whole-file compression behind the compression control. A backup file is one standard zstd
// frame that records the content size and a checksum of the content, so `zstd -d` reads it too.
//
// Both calls are synchronous and run on the calling thread plus helper threads of their own.
// The output is written under a hidden temporary name beside the output path, synced, and put
// in place only when complete (and, for decompression, verified): on any failure, and if the
// process dies at any moment, the output path is either absent or exactly as it was.
//
// Failures throw Error: errno for file access, the zstd error code for zstd's own complaints,
// ErrorNumber::BadFileFormat for a file that is not a complete backup. Descriptions name the
// file and the cause in plain words.
namespace CompressionEngine {

// Called on the working thread after each piece of input: bytes of the input consumed so far
// and the input's size.
using Progress = std::function<void(qint64 done, qint64 total)>;

// Size of the pieces that are read, transformed and written at a time: small enough to stay in
// the processor's cache between the stages.
inline constexpr std::size_t BufferSize = std::size_t(256) << 10;
// Buffers circulating between the reading and the transforming thread, and as many between the
// transforming and the writing thread: enough to ride over short stalls of the disk.
inline constexpr std::size_t BuffersPerStage = 8;
// zstd's level: its default, a good balance of speed and size for database files.
inline constexpr int Level = 3;

// Compresses input into output (created or replaced). An empty input gives a valid empty frame.
void compressFile(const QString &input, const QString &output, const Progress &progress = {});

// Decompresses a backup file into output (created or replaced). Refuses, before output is
// touched, a file that is empty, not a backup, truncated, damaged (checksum mismatch, corrupt
// data, a content size that does not match), or followed by other data.
void decompressFile(const QString &input, const QString &output, const Progress &progress = {});

// Decompresses a backup file into outFd, an empty file open for writing that output names in
// messages, and verifies it as decompressFile does; the caller syncs and places the file. On
// failure outFd holds part of the content: the caller discards it.
void decompressInto(const QString &input, int outFd, const QString &output, const Progress &progress = {});

// Whether the file at path starts like a zstd frame (or a skippable frame).
[[nodiscard]] bool looksCompressed(const QString &path);

} // namespace CompressionEngine
