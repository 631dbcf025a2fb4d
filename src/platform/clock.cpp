#include "platform/clock.h"

namespace {
std::function<QDateTime()> &source()
{
    static std::function<QDateTime()> fn;
    return fn;
}
} // namespace

QDateTime Clock::now()
{
    return source() ? source()() : QDateTime::currentDateTime();
}

void Clock::setSource(std::function<QDateTime()> fn)
{
    source() = std::move(fn);
}
