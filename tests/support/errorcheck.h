#pragma once

#include "platform/errors.h"

#include <QStringList>

#include <functional>
#include <optional>

namespace TestSupport {

// The Error that call throws, or nothing when it returns.
inline std::optional<Error> errorFrom(const std::function<void()> &call)
{
    try {
        call();
    } catch (const Error &e) {
        return e;
    }
    return std::nullopt;
}

// The message of the Error that call throws, or an empty string when it returns. Meant for
// QCOMPARE(errorMessage(...), QString()), which shows the message when there is one.
inline QString errorMessage(const std::function<void()> &call)
{
    const std::optional<Error> e = errorFrom(call);
    return e ? e->message() : QString();
}

// Empty when call throws an Error with the given number (any number when -1) whose description
// holds every one of texts; otherwise what happened instead. Meant for
// QCOMPARE(errorMismatch(...), QString()), which prints the difference.
inline QString errorMismatch(const std::function<void()> &call, long number, const QStringList &texts = {})
{
    const std::optional<Error> e = errorFrom(call);
    if (!e)
        return QStringLiteral("no error");
    if (number != -1 && e->number() != number)
        return QStringLiteral("error %1 instead of %2: %3").arg(e->number()).arg(number).arg(e->description());
    for (const QString &text : texts)
        if (!e->description().contains(text))
            return QStringLiteral("\"%1\" lacks \"%2\"").arg(e->description(), text);
    return {};
}

} // namespace TestSupport

// Fails the test unless call throws the Error that errorMismatch(call, number, texts) expects,
// printing what happened instead.
#define COMPARE_ERROR(...) QCOMPARE(TestSupport::errorMismatch(__VA_ARGS__), QString())
