#include "resources/pictures.h"

#include "resources/palette16.h"

#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

namespace Resources {
namespace {

using namespace Palette16;

// A moon with a ring round it, tilted; the part of the ring behind the moon is hidden by it.
void drawRingedMoon(QPainter &p, QPointF centre, qreal radius, const QColor &ringColour)
{
    p.save();
    p.translate(centre);
    p.rotate(-18);
    const QRectF ring(-radius * 1.55, -radius * 0.42, radius * 3.1, radius * 0.84);
    const QPen ringPen(ringColour, radius * 0.14, Qt::SolidLine, Qt::FlatCap);
    p.setPen(ringPen);
    p.setBrush(Qt::NoBrush);
    p.drawArc(ring, 0, 180 * 16); // the far half
    p.restore();

    p.setPen(QPen(ringColour, radius * 0.06));
    p.setBrush(Teal);
    p.drawEllipse(centre, radius, radius);
    // The night side: the moon less a circle shifted towards the light.
    QPainterPath moon, lit;
    moon.addEllipse(centre, radius, radius);
    lit.addEllipse(centre + QPointF(-radius * 0.35, -radius * 0.3), radius * 1.05, radius * 1.05);
    p.setPen(Qt::NoPen);
    p.setBrush(Navy);
    p.drawPath(moon.subtracted(lit));
    p.setBrush(Aqua);
    p.drawEllipse(centre + QPointF(-radius * 0.4, -radius * 0.4), radius * 0.16, radius * 0.16);

    p.save();
    p.translate(centre);
    p.rotate(-18);
    p.setPen(ringPen);
    p.drawArc(ring, 180 * 16, 180 * 16); // the near half, over the moon
    p.restore();
}

// The largest bold font of family style that fits text into width, at most maxPixels high.
QFont fittingFont(QFont::StyleHint style, const QString &text, qreal width, int maxPixels, qreal spacing = 0)
{
    QFont font;
    font.setStyleHint(style);
    font.setFamily(style == QFont::Serif ? QStringLiteral("Serif") : QStringLiteral("Sans Serif"));
    font.setBold(true);
    font.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    for (int pixels = maxPixels; pixels > 6; --pixels) {
        font.setPixelSize(pixels);
        if (QFontMetricsF(font).horizontalAdvance(text) <= width)
            break;
    }
    return font;
}

// Draws design, made for a canvas of designSize, stretched to size.
template <typename Draw> QPixmap drawStretched(QSize size, QSizeF designSize, Draw draw)
{
    if (size.isEmpty())
        return {};
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    p.scale(size.width() / designSize.width(), size.height() / designSize.height());
    draw(p);
    p.end();
    return QPixmap::fromImage(image);
}

} // namespace

QPixmap logo(QSize size)
{
    return drawStretched(size, LogoSize, [](QPainter &p) {
        drawRingedMoon(p, QPointF(74, 73), 40, Navy);

        const QString name = QStringLiteral("Tarvos"), line = QStringLiteral("SYSTEMS");
        const QRectF text(150, 14, 254, 119);
        p.setPen(Navy);
        p.setFont(fittingFont(QFont::Serif, name, text.width(), 84));
        p.drawText(QRectF(text.left(), text.top(), text.width(), 88), Qt::AlignLeft | Qt::AlignBottom, name);
        p.setPen(QPen(Teal, 3));
        p.drawLine(QPointF(text.left() + 2, 106), QPointF(text.right() - 4, 106));
        p.setPen(Teal);
        p.setFont(fittingFont(QFont::SansSerif, line, text.width() - 8, 22, 7));
        p.drawText(QRectF(text.left() + 2, 110, text.width(), 26), Qt::AlignLeft | Qt::AlignVCenter, line);
    });
}

QPixmap loginBackground(QSize size)
{
    return drawStretched(size, QSizeF(size), [size](QPainter &p) {
        QLinearGradient fade(0, 0, 0, size.height());
        fade.setColorAt(0, White);
        fade.setColorAt(1, Silver);
        p.fillRect(QRectF(QPointF(0, 0), QSizeF(size)), fade);
    });
}

// The login dialog puts its white "User Name" label on the picture at (32, 8) and "Password"
// here, each 72 x 18 (in the picture's design units); under them it stays dark enough for them.
const QRectF PasswordLabel(32, 72, 72, 18);

QPixmap loginPicture(QSize size)
{
    return drawStretched(size, LoginPictureSize, [](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(Navy);
        p.drawRect(QRectF(0, 0, 240, 134));
        p.setBrush(White);
        // No star under a label.
        static const QPointF stars[] = {{14, 12},  {10, 40},  {114, 6},   {130, 40}, {22, 64},
                                        {150, 14}, {228, 98}, {206, 120}, {120, 20}, {70, 50}};
        for (const QPointF &star : stars)
            p.drawEllipse(star, 1.1, 1.1);
        drawRingedMoon(p, QPointF(190, 42), 24, Silver);

        // A database: a stack of three discs. The Password label stands on their sides, so
        // they are teal (white on it is 4.8:1) with black rims; only the top is light.
        const qreal left = 34, width = 86, top = 44, rim = 12, disc = 22;
        p.setPen(QPen(Black, 1.5));
        for (int i = 2; i >= 0; --i) {
            const qreal y = top + i * disc;
            QPainterPath side;
            side.moveTo(left, y);
            side.lineTo(left, y + disc);
            side.arcTo(QRectF(left, y + disc - rim / 2, width, rim), 180, 180);
            side.lineTo(left + width, y);
            p.setBrush(Teal);
            p.drawPath(side);
        }
        p.setBrush(Aqua);
        p.drawEllipse(QRectF(left, top - rim / 2, width, rim));
        for (int i = 1; i < 3; ++i)
            p.drawArc(QRectF(left, top + i * disc - rim / 2, width, rim), 180 * 16, 180 * 16);

        // A padlock in front of it, right of the Password label.
        const QRectF body(PasswordLabel.right() + 6, 82, 40, 32);
        p.setPen(QPen(Black, 1.5));
        p.setBrush(Qt::NoBrush);
        QPen shackle(Olive, 6, Qt::SolidLine, Qt::FlatCap);
        p.setPen(shackle);
        p.drawArc(QRectF(body.left() + 7, body.top() - 20, body.width() - 14, 36), 0, 180 * 16);
        p.drawLine(QPointF(body.left() + 7, body.top() - 2), QPointF(body.left() + 7, body.top()));
        p.drawLine(QPointF(body.right() - 7, body.top() - 2), QPointF(body.right() - 7, body.top()));
        p.setPen(QPen(Black, 1.5));
        p.setBrush(Yellow);
        p.drawRoundedRect(body, 3, 3);
        p.setBrush(Black);
        p.drawEllipse(QPointF(body.center().x(), body.center().y() - 3), 4, 4);
        p.drawRect(QRectF(body.center().x() - 1.5, body.center().y() - 1, 3, 9));
    });
}

} // namespace Resources
