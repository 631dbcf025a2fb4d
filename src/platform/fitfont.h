#pragma once

#include <QFont>
#include <QFontMetricsF>
#include <QString>

// The layouts' boxes were sized for a small system font. Where the desktop's font is larger, a
// caption is drawn in the largest size, no larger than the font's own and not under 6 points, at
// which it fits the width given on one line ("&" access-key marks not counted), so it is neither
// cut nor drawn over its control's frame; the box keeps its place and size.
inline QFont fittedFont(QFont font, const QString &caption, qreal width)
{
    while (font.pointSizeF() > 6 && QFontMetricsF(font).size(Qt::TextShowMnemonic, caption).width() > width)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    return font;
}
