#pragma once

#include <QFile>
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

// Makes the file at path hold exactly bytes.
inline void writeFuzzFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size(),
               file.errorString());
}
