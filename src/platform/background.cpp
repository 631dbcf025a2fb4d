#include "platform/background.h"

#include "platform/errors.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QThread>

#include <atomic>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

namespace Background {
namespace {

bool isUserInput(const QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
    case QEvent::InputMethod:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
        return true;
    default:
        return false;
    }
}

// Drops the user's input for as long as it is installed, but for what the filter lets through.
class InputGate : public QObject {
public:
    explicit InputGate(const InputFilter &letThrough) : letThrough_(letThrough)
    {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~InputGate() override { QCoreApplication::instance()->removeEventFilter(this); }

protected:
    bool eventFilter(QObject *target, QEvent *event) override
    {
        return isUserInput(event) && !(letThrough_ && letThrough_(target, event));
    }

private:
    const InputFilter &letThrough_;
};

} // namespace

void run(const std::function<void()> &work, const InputFilter &letThrough)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        work();
        return;
    }

    struct Shared {
        std::exception_ptr error;
    };
    auto shared = std::make_shared<Shared>();
    QEventLoop loop;
    const InputGate gate(letThrough);
    std::thread worker;
    try {
        worker = std::thread([shared, &work, &loop] {
            try {
                work();
            } catch (...) {
                shared->error = std::current_exception();
            }
            // Wakes the waiting loop on its own thread; the loop outlives this call (joined below).
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
    } catch (const std::system_error &e) {
        throw Error(e.code().value(), QStringLiteral("Cannot start the work on a thread of its own: ") +
                                          QString::fromLocal8Bit(e.what()));
    }
    // Always entered, even when the work has already finished: what the work posted to this
    // thread meanwhile runs here, in order, before the call returns (the quit comes last).
    loop.exec();
    worker.join();
    if (shared->error)
        std::rethrow_exception(shared->error);
}

} // namespace Background
