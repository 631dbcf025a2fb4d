#pragma once

#include "platform/animation/aviclip.h"

#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>

// The animation player: shows a silent AVI clip (see AviClip) centred in its area.
//
// It shows nothing until Open() succeeds; from then on it shows the clip's current frame.
// The colour of a frame's top-left pixel is the clip's background: those pixels let the
// window's background show through, so the clip blends into the page it stands on. Play()
// loops the clip at its own frame rate until Stop(); a stopped player keeps showing the frame
// it stopped on. Playback runs on a timer of the GUI thread, so it goes on while the window
// waits in a nested event loop. The player takes no focus.
class AnimationCtrl : public QWidget {
    Q_OBJECT

public:
    explicit AnimationCtrl(QWidget *parent = nullptr);

    // Reads the clip at path and shows its first frame, in place of any clip open (which is
    // stopped). Throws Error when the clip cannot be read or played; the player then stays as
    // it was.
    void Open(const QString &path);
    // Plays the open clip from its first frame, looping until Stop(). Throws Error
    // (ErrorNumber::InvalidArgument) when no clip is open.
    void Play();
    // Stops playback; the current frame stays shown. Harmless when nothing plays or no clip is open.
    void Stop();

    bool isOpen() const { return !clip_.isNull(); }
    bool isPlaying() const { return timer_.isActive(); }
    int frameCount() const { return clip_.frameCount(); }
    QSize frameSize() const { return clip_.size(); }
    // The frame shown, or -1 before a clip is opened.
    int currentFrame() const { return frame_; }
    // Milliseconds between two frames while playing.
    int frameIntervalMs() const { return timer_.interval(); }

    QSize sizeHint() const override;

signals:
    // A new frame is shown (after Open, on each step of playback).
    void frameChanged(int frame);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void showFrame(int index);
    void advance();

    AviClip clip_;
    QTimer timer_;
    int frame_ = -1;
    QImage shown_; // the current frame, its background made transparent
};
