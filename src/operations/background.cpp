#include "operations/background.h"

#include "platform/errors.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include <atomic>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

namespace Operations {

void runInBackground(const std::function<void()> &work)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        work();
        return;
    }

    struct Shared {
        std::atomic<bool> finished{false};
        std::exception_ptr error;
    };
    auto shared = std::make_shared<Shared>();
    QEventLoop loop;
    std::thread worker;
    try {
        worker = std::thread([shared, &work, &loop] {
            try {
                work();
            } catch (...) {
                shared->error = std::current_exception();
            }
            shared->finished.store(true);
            // Wakes the waiting loop on its own thread; the loop outlives this call (joined below).
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
    } catch (const std::system_error &e) {
        throw Error(e.code().value(), QStringLiteral("Cannot start the work on a thread of its own: ") +
                                          QString::fromLocal8Bit(e.what()));
    }
    if (!shared->finished.load())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    if (shared->error)
        std::rethrow_exception(shared->error);
}

} // namespace Operations
