#include "resources/palette16.h"
#include "resources/pictures.h"

#include <QImage>
#include <QPainter>
#include <QPolygonF>

namespace Resources {
namespace {

using namespace Palette16;

// The cabinet is drawn on a 32 x 32 grid in an oblique view: the front faces the viewer, the
// right side and the top recede up and to the right.
constexpr qreal Grid = 32;
const QRectF Front(7, 6, 14, 23);
const QPointF Depth(6, -4);
const QRectF UpperDrawer(9, 8, 10, 9);
const QRectF LowerDrawer(9, 19, 10, 8);
// How far the open drawer comes out: against the depth, two thirds of it.
const QPointF PulledOut(-4, 2.67);

QPolygonF quad(QPointF a, QPointF b, QPointF c, QPointF d)
{
    return QPolygonF({a, b, c, d});
}

// A drawer front: a panel lit from the top left, with a label holder and a handle. Lines are one
// grid unit wide and small parts are filled, so the 32-pixel picture keeps to whole pixels in
// the palette's colours.
void drawDrawerFront(QPainter &p, const QRectF &r)
{
    p.setPen(QPen(Grey, 1));
    p.setBrush(Silver);
    p.drawRect(r);
    p.fillRect(QRectF(r.left() + 1, r.top() + 1, r.width() - 1, 1), White);
    p.fillRect(QRectF(r.left() + 1, r.top() + 1, 1, r.height() - 1), White);
    const qreal cx = r.center().x();
    p.fillRect(QRectF(cx - 2.5, r.top() + 2.5, 5, 2), White);
    p.fillRect(QRectF(cx - 2, r.top() + 5.5, 4, 1), Black);
}

void drawBody(QPainter &p)
{
    const QPointF tl = Front.topLeft(), tr = Front.topRight(), br = Front.bottomRight();
    p.setPen(QPen(Black, 1));
    p.setBrush(White);
    p.drawPolygon(quad(tl, tl + Depth, tr + Depth, tr));
    p.setBrush(Grey);
    p.drawPolygon(quad(tr, tr + Depth, br + Depth, br));
    p.setBrush(Silver);
    p.drawRect(Front);
}

void drawPulledDrawer(QPainter &p)
{
    // The empty slot, dark inside.
    p.setPen(QPen(Black, 1));
    p.setBrush(Black);
    p.drawRect(LowerDrawer);

    const QRectF front = LowerDrawer.translated(PulledOut);
    // The open top of the drawer, with the tabs of its folders standing up.
    p.setBrush(Grey);
    p.drawPolygon(quad(front.topLeft(), LowerDrawer.topLeft(), LowerDrawer.topRight(), front.topRight()));
    for (int i = 0; i < 3; ++i) {
        const qreal t = 0.25 + 0.25 * i; // from the front towards the back
        const QPointF base = front.topLeft() + (LowerDrawer.topLeft() - front.topLeft()) * t;
        p.fillRect(QRectF(base.x() + 1.5 + i, base.y() - 1.75, 5, 1.75), i == 1 ? White : Yellow);
    }
    // Its right side, in shadow.
    p.setBrush(Grey);
    p.drawPolygon(quad(front.topRight(), LowerDrawer.topRight(), LowerDrawer.bottomRight(), front.bottomRight()));
    drawDrawerFront(p, front);
}

QPixmap drawCabinet(int size, bool open)
{
    if (size <= 0)
        return {};
    // Small sizes are drawn larger and reduced smoothly, which keeps the thin lines.
    const int drawn = size < 32 ? 32 : size;
    QImage image(drawn, drawn, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, drawn != Grid);
        p.scale(drawn / Grid, drawn / Grid);
        drawBody(p);
        drawDrawerFront(p, UpperDrawer);
        if (open)
            drawPulledDrawer(p);
        else
            drawDrawerFront(p, LowerDrawer);
    }
    if (drawn != size)
        image = image.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return QPixmap::fromImage(image);
}

} // namespace

QPixmap cabinetOpen(int size)
{
    return drawCabinet(size, true);
}

QPixmap cabinetShut(int size)
{
    return drawCabinet(size, false);
}

QIcon applicationIcon()
{
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(cabinetOpen(size));
    return icon;
}

} // namespace Resources
