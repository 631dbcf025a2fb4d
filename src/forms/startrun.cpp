#include "forms/startrun.h"

#include "operations/observer.h"
#include "operations/paths.h"
#include "platform/animation/animationctrl.h"
#include "platform/background.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/fs/files.h"
#include "platform/progressview.h"
#include "platform/screen.h"
#include "platform/stop.h"
#include "platform/zlibtool/zlibtoolctrl.h"

#include <QPushButton>
#include <QScopeGuard>

StartRun::~StartRun()
{
    stopAllClips();
    release();
    c_.compression->setVisible(false);
    c_.compaction->setVisible(false);
}

void StartRun::begin(AnimationCtrl *animation, const QString &clip)
{
    c_.start->setEnabled(false);
    Screen::setMousePointer(Screen::Hourglass);
    animation_ = animation;
    animation->Open(Paths::clipPath(Files::appPath(), clip));
    animation->Play();
}

void StartRun::stopAllClips()
{
    for (AnimationCtrl *animation : c_.clips)
        animation->Stop();
}

void StartRun::release()
{
    if (released_)
        return;
    released_ = true;
    Screen::setMousePointer(Screen::Default);
    c_.start->setEnabled(true);
}

void StartRun::run(const Operation &operation, const std::function<void()> &onWorking, ProgressView *progress)
{
    Operations::Observer observer;
    observer.working = [this, onWorking, progress] {
        QMetaObject::invokeMethod(
            c_.window,
            [onWorking, progress] {
                if (onWorking)
                    onWorking();
                if (progress)
                    progress->start();
            },
            Qt::QueuedConnection);
    };
    if (progress)
        observer.progress = progress->reporter();
    bool completed = false;
    const auto finishProgress = qScopeGuard([&] {
        if (progress)
            progress->finish(completed);
    });
    // Only Close still reaches the window: it asks to close once the operation has ended.
    QPushButton *close = c_.close;
    Background::run([&] { operation(observer); },
                    [close](QObject *target, QEvent *) { return target == close && close->isEnabled(); });
    completed = true;
}

void StartRun::runCompression(const QString &source, const QString &output, const Operation &operation,
                              const QString &success, bool checksToStart)
{
    bool working = false;
    try {
        run(
            operation,
            [&] {
                working = true;
                c_.compression->setVisible(true);
                c_.compression->setInputFile(source);
                c_.compression->setOutputFile(output);
            },
            c_.compression->progress());
        MsgBox(success, Msg::Information);
        c_.compression->setVisible(false);
    } catch (const Operations::NotFound &e) {
        MsgBox(e.description(), Msg::Critical);
    } catch (const std::exception &e) {
        if (checksToStart && !working)
            throw;
        const auto *error = dynamic_cast<const Error *>(&e);
        // Pointer and Start come back before the message; the clip stops after it.
        release();
        if (!Stop::requested())
            MsgBox((error ? *error : asError(e)).message(), Msg::Critical);
        c_.compression->setVisible(false);
    }
}

void StartRun::runCompaction(const Operation &operation)
{
    run(
        operation, [this] { c_.compaction->setVisible(true); }, c_.compaction);
    // The clip stops first; the hourglass and the disabled Start last until the message is read.
    if (animation_)
        animation_->Stop();
    MsgBox(QStringLiteral("Database compacted."), Msg::Information);
    c_.compaction->setVisible(false);
}

void StartRun::showStartError(const Error &error)
{
    stopAllClips();
    release();
    if (!Stop::requested()) // stopped because the program was asked to end: nobody is there to read it
        MsgBox(error.message(), Msg::Critical);
}
