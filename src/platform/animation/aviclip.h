#pragma once

#include <QImage>
#include <QList>
#include <QSize>
#include <QString>

// A silent AVI clip of the kind the animation player shows: one video stream, no sound, frames
// stored as uncompressed DIBs (8 bits with a palette, 24 or 32 bits) or RLE8 with a palette.
//
// load() reads and decodes the whole clip at once, so a clip that opens plays to the end
// without a further error. Any input is safe: a file that is missing or unreadable throws
// Error with its errno; a file that is not such a clip, or a damaged one, throws Error
// ErrorNumber::BadFileFormat naming the file and the cause. Sizes are capped (see the limits
// below), so a file that declares huge sizes or frame counts is refused before any large
// allocation.
class AviClip {
public:
    // Limits on what load() accepts.
    static constexpr qint64 MaxFileBytes = 64LL << 20;
    static constexpr int MaxSide = 4096; // frame width and height, in pixels
    static constexpr int MaxFrames = 10000;
    static constexpr qint64 MaxDecodedBytes = 64LL << 20; // all frames, 4 bytes per pixel
    static constexpr qint64 MaxFrameIntervalUs = 3600LL * 1000000;

    AviClip() = default;

    // Reads the clip from a file.
    [[nodiscard]] static AviClip load(const QString &path);
    // Reads a clip from bytes already in memory; name stands for the file in error descriptions.
    [[nodiscard]] static AviClip fromBytes(const QByteArray &bytes, const QString &name);

    bool isNull() const { return frames_.isEmpty(); }
    QSize size() const { return size_; }
    int frameCount() const { return int(frames_.size()); }
    // Time between two frames, in microseconds (at least 1).
    qint64 frameIntervalUs() const { return frameIntervalUs_; }
    double framesPerSecond() const { return frameIntervalUs_ > 0 ? 1e6 / double(frameIntervalUs_) : 0.0; }
    // Frame index (0 <= index < frameCount()), as a top-down QImage::Format_RGB32 picture.
    const QImage &frame(int index) const { return frames_.at(index); }

private:
    friend class AviParser;
    QSize size_;
    qint64 frameIntervalUs_ = 0;
    QList<QImage> frames_;
};
