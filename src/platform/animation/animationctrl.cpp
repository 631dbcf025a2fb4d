#include "platform/animation/animationctrl.h"

#include "platform/errors.h"

#include <QPainter>

#include <algorithm>

AnimationCtrl::AnimationCtrl(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &AnimationCtrl::advance);
}

void AnimationCtrl::Open(const QString &path)
{
    AviClip clip = AviClip::load(path); // throws before anything changes
    timer_.stop();
    clip_ = std::move(clip);
    const qint64 ms = (clip_.frameIntervalUs() + 500) / 1000;
    timer_.setInterval(int(std::clamp<qint64>(ms, 1, AviClip::MaxFrameIntervalUs / 1000)));
    showFrame(0);
}

void AnimationCtrl::Play()
{
    if (!isOpen())
        throw Error(ErrorNumber::InvalidArgument, QStringLiteral("The animation player has no clip open to play"));
    showFrame(0);
    timer_.start();
}

void AnimationCtrl::Stop()
{
    timer_.stop();
}

QSize AnimationCtrl::sizeHint() const
{
    return isOpen() ? clip_.size() : QSize(425, 81);
}

void AnimationCtrl::advance()
{
    showFrame((frame_ + 1) % clip_.frameCount());
}

void AnimationCtrl::showFrame(int index)
{
    frame_ = index;
    const QImage &frame = clip_.frame(index);
    shown_ = frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QRgb background = frame.pixel(0, 0);
    for (int y = 0; y < shown_.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(shown_.scanLine(y));
        for (int x = 0; x < shown_.width(); ++x) {
            if (line[x] == background)
                line[x] = 0;
        }
    }
    update();
    emit frameChanged(index);
}

void AnimationCtrl::paintEvent(QPaintEvent *)
{
    if (shown_.isNull())
        return;
    // Centred; a clip larger than the area is cut at the edges.
    QPainter painter(this);
    const QPoint topLeft((width() - shown_.width()) / 2, (height() - shown_.height()) / 2);
    painter.drawImage(topLeft, shown_);
}
