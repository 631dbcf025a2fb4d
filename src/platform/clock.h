#pragma once

#include <QDateTime>

#include <functional>

// The local date and time, from one source that tests can replace to fix the moment
// behind time-stamped names.
namespace Clock {
QDateTime now();

// Replaces the source; an empty function restores the system clock.
void setSource(std::function<QDateTime()> source);
} // namespace Clock
