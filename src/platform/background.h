#pragma once

#include <functional>

class QEvent;
class QObject;

namespace Background {

// Decides, while work runs in the background, which user input still reaches its target:
// true lets the event through. Everything else is dropped.
using InputFilter = std::function<bool(QObject *target, QEvent *event)>;

// Runs work on a thread of its own and returns when it has finished, rethrowing what it threw.
// Meanwhile the calling thread, when it runs the application's event loop, waits in a nested
// event loop: the windows keep painting, timers fire and animations play, but user input
// (clicks, keys, the wheel, shortcuts) is dropped unless letThrough accepts it, so no other
// action starts before the call returns. Elsewhere (no application, or another thread) work runs
// directly.
void run(const std::function<void()> &work, const InputFilter &letThrough = {});

} // namespace Background
