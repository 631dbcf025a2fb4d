#include "platform/stop.h"

#include "platform/errors.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<bool> stopRequested{false};
// Written by the signal handler, read on the event loop's thread.
int wakePipe[2] = {-1, -1};

void onSignal(int signal)
{
    stopRequested.store(true);
    // A second signal of this kind ends the program the ordinary way.
    std::signal(signal, SIG_DFL);
    const int saved = errno;
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &byte, 1);
    errno = saved;
}

} // namespace

namespace Stop {

void request() noexcept
{
    stopRequested.store(true);
}

bool requested() noexcept
{
    return stopRequested.load(std::memory_order_relaxed);
}

void check(const QString &action)
{
    if (requested())
        throw Error(ECANCELED, action + QStringLiteral(": stopped, because the program was asked to end"));
}

void clear() noexcept
{
    stopRequested.store(false);
}

void installSignalHandlers(std::function<void()> onSignalDelivered)
{
    if (wakePipe[0] >= 0 || ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [onSignalDelivered] {
        char bytes[16];
        while (::read(wakePipe[0], bytes, sizeof bytes) > 0) {
        }
        onSignalDelivered();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

} // namespace Stop
