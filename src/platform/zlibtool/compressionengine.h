#pragma once

#include "platform/progress.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>

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

// Progress is reported on the working thread after each piece of input: bytes of the input
// consumed so far and the input's size.

// Size of the pieces that are read, transformed and written at a time: small enough to stay in
// the processor's cache between the stages.
inline constexpr std::size_t BufferSize = std::size_t(256) << 10;
// Buffers circulating between the reading and the transforming thread, and as many between the
// transforming and the writing thread: enough to ride over short stalls of the disk.
inline constexpr std::size_t BuffersPerStage = 8;
// zstd's level: its default, a good balance of speed and size for database files.
inline constexpr int Level = 3;

// Called once during a decompression, before the first byte is written: the content size that
// the frame declares and the first bytes of the content (all of it when it is shorter). Throws to
// refuse the backup; nothing has been written then.
using ContentCheck = std::function<void(quint64 contentSize, const char *head, std::size_t size)>;

// Compresses everything from the descriptor in (input names it in messages) into the descriptor
// out, an empty file open for writing; the caller syncs and places it.
void compress(int in, const QString &input, int out, const QString &output, const Progress &progress = {});

// Decompresses the backup open on in into out, an empty file open for writing, and verifies it:
// refuses a file that is empty, not a backup, one that does not declare the size of its content,
// truncated, damaged (checksum mismatch, corrupt data, a content size that does not match), or
// followed by other data. check, when given, sees the declared size and the first bytes before
// anything is written. On failure out holds part of the content: the caller discards it.
// written, when given, counts the bytes of out written so far, for a reader on another thread;
// with it out is not pushed to disk as it goes (it is read back, not synced).
void decompress(int in, const QString &input, int out, const QString &output, const Progress &progress = {},
                const ContentCheck &check = {}, std::atomic<qint64> *written = nullptr);

// The content size that the backup open on in (input names it) declares and the first bytes of its
// content, up to n; nothing when the file does not begin as a backup (no zstd frame, or one that
// does not declare its size or whose start does not decompress). Reads only the frame's first
// blocks. Throws Error (errno) when the file cannot be read.
struct ContentStart {
    quint64 size;
    QByteArray head;
};
[[nodiscard]] std::optional<ContentStart> contentStart(int in, const QString &input, std::size_t n);

// The same from the file input into the file output (created or replaced, given the access of
// input, written under a hidden name beside it and put in place only when complete), as the
// compression control does. Neither name is followed where it is a link another account made.
void compressFile(const QString &input, const QString &output, const Progress &progress = {});
void decompressFile(const QString &input, const QString &output, const Progress &progress = {});

} // namespace CompressionEngine
