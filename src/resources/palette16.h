#pragma once

#include <QColor>

// The sixteen colours of the classic desktop palette, which the pictures keep to.
namespace Resources::Palette16 {
inline const QColor Black{0, 0, 0};
inline const QColor Maroon{128, 0, 0};
inline const QColor Olive{128, 128, 0};
inline const QColor Navy{0, 0, 128};
inline const QColor Teal{0, 128, 128};
inline const QColor Grey{128, 128, 128};
inline const QColor Silver{192, 192, 192};
inline const QColor Yellow{255, 255, 0};
inline const QColor Aqua{0, 255, 255};
inline const QColor White{255, 255, 255};
} // namespace Resources::Palette16
