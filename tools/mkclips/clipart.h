#pragma once

#include <QImage>
#include <QList>
#include <QRgb>

// The pictures of the program's two clips, drawn with QPainter and reduced to one small palette.
namespace ClipArt {

inline constexpr int Width = 272;
inline constexpr int Height = 60;
inline constexpr int FramesPerSecond = 15;

// The palette of both clips. Entry 0 is the background, a colour no drawing uses, which the
// player lets the window's background show through.
QList<QRgb> palette();

// Sheets of paper flying in an arc from one open folder to another (backup and restore).
QList<QImage> fileCopyFrames();
// A document squeezed in a press, the squeezed-out bits falling into a bin (compaction).
QList<QImage> fileSqueezeFrames();

// A picture drawn in full colour, reduced to palette() (each pixel to the nearest entry).
QImage toPalette(const QImage &picture);

} // namespace ClipArt
