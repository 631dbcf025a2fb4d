#include "clipart.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace ClipArt {
namespace {

constexpr QRgb Background = 0xFFEFEFEF;
const QColor Outline(40, 40, 40);
const QColor Paper(255, 255, 255);
const QColor TextLine(40, 60, 140);
const QColor FolderFront(255, 214, 80);
const QColor FolderBack(235, 180, 40);
const QColor FolderEdge(150, 105, 10);
const QColor Steel(110, 125, 140);
const QColor SteelDark(70, 80, 95);
const QColor SteelLight(170, 182, 196);
const QColor PressRed(190, 40, 40);
const QColor PressDark(120, 25, 25);

QImage blankPicture()
{
    QImage image(Width, Height, QImage::Format_RGB32);
    image.fill(Background);
    return image;
}

// An open folder seen from the front: the back panel with its tab, the front flap tilted
// towards the viewer. back() and front() are drawn apart so a sheet can go between them.
struct Folder {
    QRectF box; // the back panel

    void back(QPainter &p) const
    {
        QPainterPath path;
        path.moveTo(box.left(), box.bottom());
        path.lineTo(box.left(), box.top() + 4);
        path.lineTo(box.left() + 3, box.top());
        path.lineTo(box.left() + 18, box.top());
        path.lineTo(box.left() + 21, box.top() + 4);
        path.lineTo(box.right(), box.top() + 4);
        path.lineTo(box.right(), box.bottom());
        path.closeSubpath();
        p.setPen(QPen(FolderEdge, 1.2));
        p.setBrush(FolderBack);
        p.drawPath(path);
    }

    void front(QPainter &p) const
    {
        const qreal top = box.top() + box.height() * 0.42;
        QPolygonF flap;
        flap << QPointF(box.left(), box.bottom()) << QPointF(box.left() + 8, top) << QPointF(box.right() + 8, top)
             << QPointF(box.right(), box.bottom());
        p.setPen(QPen(FolderEdge, 1.2));
        p.setBrush(FolderFront);
        p.drawPolygon(flap);
    }
};

// A sheet of paper with a folded corner and lines of text, centred on the origin.
void drawSheet(QPainter &p, qreal width, qreal height)
{
    const qreal l = -width / 2, t = -height / 2, r = width / 2, b = height / 2, fold = width * 0.3;
    QPolygonF sheet;
    sheet << QPointF(l, t) << QPointF(r - fold, t) << QPointF(r, t + fold) << QPointF(r, b) << QPointF(l, b);
    p.setPen(QPen(Outline, 1.0));
    p.setBrush(Paper);
    p.drawPolygon(sheet);
    p.drawPolyline(QPolygonF() << QPointF(r - fold, t) << QPointF(r - fold, t + fold) << QPointF(r, t + fold));
    p.setPen(QPen(TextLine, 1.0));
    const int lines = std::max(1, int((height - fold - 4) / 3.5));
    for (int i = 0; i < lines; ++i) {
        const qreal y = t + fold + 2 + i * (height - fold - 4) / lines;
        p.drawLine(QPointF(l + 3, y), QPointF(r - 3 - (i % 2) * width * 0.2, y));
    }
}

// A waste bin: a tapered steel can with ribs and a rim.
void drawBin(QPainter &p, const QRectF &box)
{
    QPolygonF can;
    can << QPointF(box.left(), box.top() + 3) << QPointF(box.right(), box.top() + 3)
        << QPointF(box.right() - 5, box.bottom()) << QPointF(box.left() + 5, box.bottom());
    p.setPen(QPen(SteelDark, 1.2));
    p.setBrush(Steel);
    p.drawPolygon(can);
    p.setPen(QPen(SteelLight, 1.5));
    for (int i = 1; i < 4; ++i) {
        const qreal x = box.left() + box.width() * i / 4.0;
        p.drawLine(QPointF(x, box.top() + 7),
                   QPointF(x + (box.width() / 2 - (x - box.left())) * 0.15, box.bottom() - 3));
    }
    p.setPen(QPen(SteelDark, 1.2));
    p.setBrush(SteelLight);
    p.drawRoundedRect(QRectF(box.left() - 2, box.top(), box.width() + 4, 5), 2, 2);
}

} // namespace

QList<QRgb> palette()
{
    QList<QRgb> colours = {Background};
    // Greys for outlines and their soft edges (none equal to the background).
    for (int v : {0, 24, 40, 64, 96, 128, 160, 192, 216, 228, 248, 255})
        colours.append(qRgb(v, v, v));
    for (const QColor &c :
         {TextLine, FolderFront, FolderBack, FolderEdge, Steel, SteelDark, SteelLight, PressRed, PressDark})
        colours.append(c.rgb());
    // Blends of the main colours with the paper and the background, for smooth edges.
    colours << qRgb(130, 140, 190) << qRgb(200, 205, 230) << qRgb(250, 232, 160) << qRgb(245, 210, 120)
            << qRgb(200, 150, 30) << qRgb(100, 80, 30) << qRgb(205, 210, 218) << qRgb(140, 150, 165)
            << qRgb(215, 120, 110) << qRgb(235, 190, 185) << qRgb(160, 35, 35);
    return colours;
}

QImage toPalette(const QImage &picture)
{
    return picture.convertToFormat(QImage::Format_Indexed8, palette(), Qt::ThresholdDither | Qt::AvoidDither);
}

QList<QImage> fileCopyFrames()
{
    constexpr int frameCount = 20;
    const Folder from{QRectF(16, 22, 56, 34)};
    const Folder to{QRectF(192, 22, 56, 34)};
    const QPointF start(44, 40), finish(220, 40);
    QList<QImage> frames;
    for (int i = 0; i < frameCount; ++i) {
        QImage image = blankPicture();
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        from.back(p);
        to.back(p);
        // The sheet rises out of the first folder, arcs over and drops into the second,
        // turning over as it flies.
        const qreal t = qreal(i) / (frameCount - 1);
        const QPointF at = start + (finish - start) * t - QPointF(0, 34 * std::sin(M_PI * t));
        p.save();
        p.translate(at);
        p.rotate(-25 + 50 * t);
        p.scale(std::max(0.4, std::abs(std::cos(M_PI * t * 1.5))), 1.0);
        drawSheet(p, 17, 22);
        p.restore();
        from.front(p);
        to.front(p);
        p.end();
        frames.append(toPalette(image));
    }
    return frames;
}

QList<QImage> fileSqueezeFrames()
{
    constexpr int frameCount = 20;
    const qreal floor = 55, fullHeight = 40, squeezedHeight = 16;
    const QRectF bin(206, 26, 34, 30);
    QList<QImage> frames;
    for (int i = 0; i < frameCount; ++i) {
        // The press comes down over frames 0..9, holds, and goes up again over 13..19.
        const qreal down = i < 10 ? i / 9.0 : i < 13 ? 1.0 : 1.0 - (i - 12) / 7.0;
        const qreal docHeight = fullHeight - (fullHeight - squeezedHeight) * down;
        QImage image = blankPicture();
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);

        // The press: a screw from the top, a plate resting on the document, a base below.
        const qreal plateTop = floor - docHeight - 6;
        p.setPen(QPen(SteelDark, 1.0));
        p.setBrush(SteelLight);
        p.drawRect(QRectF(76, 0, 8, plateTop));
        p.setPen(QPen(SteelDark, 1.0));
        for (qreal y = plateTop - 3; y > 0; y -= 4)
            p.drawLine(QPointF(76, y), QPointF(84, y - 2));
        p.setPen(QPen(PressDark, 1.2));
        p.setBrush(PressRed);
        p.drawRect(QRectF(50, plateTop, 60, 6));
        p.drawRect(QRectF(44, floor, 72, 4));

        // The document, squeezed flat between plate and base.
        p.save();
        p.translate(80, floor - docHeight / 2);
        drawSheet(p, 32 + 10 * down, docHeight);
        p.restore();

        // Bits squeezed out of the document fly off in arcs into the bin.
        p.setPen(QPen(Outline, 0.8));
        p.setBrush(QColor(192, 192, 192));
        for (int bit = 0; bit < 4; ++bit) {
            const int first = 4 + 2 * bit; // the frame in which this bit leaves the press
            const qreal t = (i - first) / 9.0;
            if (t < 0 || t > 1)
                continue;
            const QPointF from(116, floor - 10 - 4 * bit), into(bin.center().x() - 6 + 4 * bit, bin.top() + 8);
            const QPointF at = from + (into - from) * t - QPointF(0, (16 + 2 * bit) * std::sin(M_PI * t));
            p.save();
            p.translate(at);
            p.rotate(90 * t + 30 * bit);
            p.drawRect(QRectF(-3, -2, 6, 4));
            p.restore();
        }
        drawBin(p, bin);
        p.end();
        frames.append(toPalette(image));
    }
    return frames;
}

} // namespace ClipArt
