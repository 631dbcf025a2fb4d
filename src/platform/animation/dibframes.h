#pragma once

#include <QByteArrayView>
#include <QImage>
#include <QList>
#include <QRgb>
#include <QString>

// Thrown while a clip is read, with the cause in plain words; the clip reader turns it into an
// Error that also names the file.
struct ClipFormatError {
    QString cause;
};

// How the frames of a video stream are stored: a device-independent bitmap (DIB), bottom-up
// unless the header's height was negative.
struct DibFormat {
    enum class Encoding { Rgb, Rle8 };
    int width = 0;
    int height = 0;
    bool bottomUp = true;
    int bitCount = 0; // 8, 24 or 32 for Rgb; 8 for Rle8
    Encoding encoding = Encoding::Rgb;
    QList<QRgb> palette; // 256 entries for 8-bit frames (missing ones black), empty otherwise
};

// Decodes the frames of one stream in order. An RLE8 frame may draw only what changed, so it
// is drawn over the previous frame; an empty chunk repeats the previous frame. Every read and
// write is bounds-checked: bad data throws ClipFormatError, never reads or writes outside.
class DibFrameDecoder {
public:
    explicit DibFrameDecoder(DibFormat format);

    // The next frame as a top-down QImage::Format_RGB32 picture.
    [[nodiscard]] QImage decode(QByteArrayView data);

private:
    void decodeRgb(QByteArrayView data);
    void decodeRle8(QByteArrayView data);
    QImage picture() const;

    DibFormat format_;
    QByteArray indices_; // 8-bit frames: one palette index per pixel, rows in DIB order
    QImage last_;        // the frame decoded last
};
