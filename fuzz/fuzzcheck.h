#pragma once

#include <QString>

#include <cstdio>
#include <cstdlib>

// What a fuzz target expects of the code under test beyond "no crash": a broken expectation
// prints what was wrong and aborts, which libFuzzer and the corpus replay report as a failure
// together with the input that caused it.
#define FUZZ_CHECK(condition, what)                                                                                    \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: expectation failed: %s (%s)\n", __FILE__, __LINE__, #condition,               \
                         qPrintable(QString(what)));                                                                   \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)
