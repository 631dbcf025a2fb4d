#include "platform/taskgroup.h"

#include "platform/errors.h"

#include <system_error>

TaskGroup::~TaskGroup()
{
    bool running;
    {
        std::lock_guard lock(mutex_);
        running = running_ > 0;
    }
    if (running)
        stopOthers();
    joinAll();
}

void TaskGroup::start(std::function<void()> task)
{
    {
        std::lock_guard lock(mutex_);
        ++running_;
    }
    try {
        threads_.emplace_back([this, task = std::move(task)] {
            try {
                task();
            } catch (...) {
                bool first;
                {
                    std::lock_guard lock(mutex_);
                    first = !failure_;
                    if (first)
                        failure_ = std::current_exception();
                }
                if (first)
                    stopOthers();
            }
            {
                std::lock_guard lock(mutex_);
                --running_;
            }
            ended_.notify_all();
        });
    } catch (const std::system_error &e) {
        {
            std::lock_guard lock(mutex_);
            --running_;
        }
        throw Error(e.code().value(), QStringLiteral("Cannot start the work on a thread of its own: ") +
                                          QString::fromLocal8Bit(e.what()));
    }
}

void TaskGroup::wait()
{
    {
        std::unique_lock lock(mutex_);
        ended_.wait(lock, [this] { return running_ == 0; });
    }
    joinAll();
    rethrowIfFailed();
}

bool TaskGroup::waitFor(std::chrono::milliseconds timeout)
{
    {
        std::unique_lock lock(mutex_);
        if (!ended_.wait_for(lock, timeout, [this] { return running_ == 0; }))
            return false;
    }
    wait();
    return true;
}

void TaskGroup::rethrowIfFailed()
{
    std::lock_guard lock(mutex_);
    if (failure_)
        std::rethrow_exception(failure_);
}

void TaskGroup::stopOthers() noexcept
{
    {
        std::lock_guard lock(mutex_);
        if (stopped_)
            return;
        stopped_ = true;
    }
    if (stopOthers_)
        stopOthers_();
}

void TaskGroup::joinAll() noexcept
{
    for (std::thread &thread : threads_)
        if (thread.joinable())
            thread.join();
}
