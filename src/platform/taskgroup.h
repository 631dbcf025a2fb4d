#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Work that runs on threads of its own and ends as one: tasks are started, waited for together,
// and the first failure is thrown to the waiter. When a task fails, stopOthers runs (once, on that
// task's thread) so that the others end early; it runs too when the group goes with tasks still
// running, before the group waits for them. A group never lets a thread outlive it.
class TaskGroup {
public:
    explicit TaskGroup(std::function<void()> stopOthers = {}) : stopOthers_(std::move(stopOthers)) {}
    ~TaskGroup();
    TaskGroup(const TaskGroup &) = delete;
    TaskGroup &operator=(const TaskGroup &) = delete;

    // Runs task on a thread of its own. Throws Error when the thread cannot be started.
    void start(std::function<void()> task);
    // Waits for every task to end, then throws the first failure, if any.
    void wait();
    // Waits up to timeout for every task to end: true when they have (and then throws the first
    // failure, if any), false when some still run.
    [[nodiscard]] bool waitFor(std::chrono::milliseconds timeout);
    // Throws the first failure met so far, without waiting.
    void rethrowIfFailed();

private:
    void stopOthers() noexcept;
    void joinAll() noexcept;

    std::function<void()> stopOthers_;
    std::mutex mutex_;
    std::condition_variable ended_;
    int running_ = 0;
    bool stopped_ = false;
    std::exception_ptr failure_;
    std::vector<std::thread> threads_;
};
