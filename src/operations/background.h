#pragma once

#include <functional>

namespace Operations {

// Runs work on a thread of its own and returns when it has finished, rethrowing what it threw.
// Meanwhile the calling thread, when it runs the application's event loop, waits in a nested
// event loop that leaves out user input: the window keeps painting and its animations play,
// but no click or key reaches a widget before the call returns. Elsewhere work runs directly.
void runInBackground(const std::function<void()> &work);

} // namespace Operations
