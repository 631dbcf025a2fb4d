#pragma once

#include <QRect>
#include <QSize>

// Layouts are given in twips (1/1440 inch); 15 twips are one logical pixel at 96 dpi, and Qt
// scales logical pixels on screens of other densities.
namespace Twips {
inline constexpr int PerPixel = 15;

constexpr int px(int twips)
{
    return (twips + PerPixel / 2) / PerPixel;
}

inline QRect rect(int left, int top, int width, int height)
{
    return QRect(px(left), px(top), px(width), px(height));
}

inline QSize size(int width, int height)
{
    return QSize(px(width), px(height));
}
} // namespace Twips
