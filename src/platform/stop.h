#pragma once

#include <QString>

#include <functional>

// Stopping the work under way when the program is asked to end (SIGTERM, SIGINT, SIGHUP).
// The long loops of the operations (copying, compressing, the engine's statements) look at the
// request between two pieces of work and throw, so the temporary files go with the unwinding and
// every final file stays as it was. Work that has begun to put its result in place finishes.
namespace Stop {

// Asks the work under way to stop. Safe from any thread and from a signal handler.
void request() noexcept;
[[nodiscard]] bool requested() noexcept;
// Throws Error(ECANCELED) naming action when a stop has been asked for.
void check(const QString &action);
// Forgets a request (for tests that go on after one).
void clear() noexcept;

// From now on SIGTERM, SIGINT and SIGHUP ask for a stop and then call onSignal on the thread
// that runs the application's event loop. A second signal of the same kind ends the program at
// once. Call once, after the application object has been created.
void installSignalHandlers(std::function<void()> onSignal);

} // namespace Stop
