#pragma once

#include <QString>

#include <exception>
#include <string>

// A failed platform call throws an Error. Routines with a local error trap catch it in one
// place and show message(): the number in signed decimal, ": " and the description.
//
// Numbers:
//   - file services: the errno value of the failing system call;
//   - database engine: the SQLite extended result code;
//   - compression control: the zstd error code (ZSTD_ErrorCode), or errno for file I/O;
//   - everything else: the numbers of ErrorNumber below.
// Descriptions name the file concerned and the cause in plain words.
class Error : public std::exception {
public:
    Error(long number, QString description);

    // An Error for the system call that failed with errnum, e.g.
    // fromErrno(ENOENT, "Cannot open \"/a/b\"") -> "Cannot open "/a/b": No such file or directory".
    static Error fromErrno(int errnum, const QString &context);

    long number() const noexcept { return number_; }
    const QString &description() const noexcept { return description_; }
    // "<number>: <description>", the text that an error message box shows.
    QString message() const;
    const char *what() const noexcept override { return what_.c_str(); }

private:
    long number_;
    QString description_;
    std::string what_;
};

// Our own error numbers, for failures that have no errno, SQLite or zstd code.
namespace ErrorNumber {
inline constexpr long InvalidArgument = 5;      // a call given an argument it cannot use
inline constexpr long BadFileFormat = 321;      // a file that is not of the expected format
inline constexpr long CannotCreateObject = 429; // a control class that is unknown or unavailable
inline constexpr long DialogCancelled = 32755;  // the user cancelled a file dialog
} // namespace ErrorNumber

// What went wrong outside our own Error type (memory running out, a library's exception), as one.
Error asError(const std::exception &e);

// Quotes a path for a description: "C:\BACK\BACK.MDB" -> "\"C:\BACK\BACK.MDB\"".
QString quotedPath(const QString &path);
