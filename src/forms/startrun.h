#pragma once

#include <QString>

#include <functional>

class AnimationCtrl;
class Error;
class ProgressView;
class QPushButton;
class QWidget;
class ZlibToolCtrl;
namespace Operations {
struct Observer;
}

// One press of the main window's Start: the busy state (Start disabled, the hourglass, the tab's
// clip playing), the operation run off the window's thread with its progress shown, and its
// outcome shown in message boxes in the order the window gives. Each way out leaves the window
// idle when the object goes: the clips stopped, the pointer and Start back, the progress hidden.
class StartRun {
public:
    // The window's controls that a run uses.
    struct Controls {
        QWidget *window;
        QPushButton *start, *close;
        AnimationCtrl *clips[3];
        ZlibToolCtrl *compression; // shown during a backup or restore
        ProgressView *compaction;  // shown during a compaction, where the compression control stands
    };
    using Operation = std::function<void(const Operations::Observer &)>;

    explicit StartRun(const Controls &controls) : c_(controls) {}
    ~StartRun();
    StartRun(const StartRun &) = delete;
    StartRun &operator=(const StartRun &) = delete;

    // Enters the busy state, animation playing clip.
    void begin(AnimationCtrl *animation, const QString &clip);

    // Runs a backup or restore with the compression control shown (source and output) once its
    // checks have passed, and shows its outcome: success, a missing source as its path and
    // " not found.", any other error with the pointer and Start back first and the clip stopped
    // after it. With checksToStart, an error met before the work begins is thrown on, for
    // showStartError.
    void runCompression(const QString &source, const QString &output, const Operation &operation,
                        const QString &success, bool checksToStart);
    // Runs a compaction with its progress shown; "Database compacted." once the clip has stopped.
    void runCompaction(const Operation &operation);

    // An error of the Start handler: the clips stop and the pointer and Start come back before
    // its message.
    void showStartError(const Error &error);

private:
    // Runs operation off the window's thread, only Close still reaching the window; onWorking
    // runs on the window's thread once the operation has passed its checks, and progress, when
    // given, shows how far it has come.
    void run(const Operation &operation, const std::function<void()> &onWorking, ProgressView *progress);
    void stopAllClips();
    // The pointer and Start come back, once.
    void release();

    Controls c_;
    AnimationCtrl *animation_ = nullptr;
    bool released_ = false;
};
