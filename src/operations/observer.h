#pragma once

#include "platform/errors.h"

#include <QString>

#include <functional>

namespace Operations {

// What an operation tells the one who runs it, called on the thread it runs on.
struct Observer {
    // The checks before the work are passed and the work on the files begins.
    std::function<void()> working;
    // How much of the work is done, in units of the operation's choice (bytes, pages), of total.
    std::function<void(qint64 done, qint64 total)> progress;

    void begin() const
    {
        if (working)
            working();
    }
    void report(qint64 done, qint64 total) const
    {
        if (progress)
            progress(done, total);
    }
};

// done of total as a part of range (a part of the bar that counts in other units); 0 when total is
// not known. Exact for any sizes of files.
inline qint64 shareOf(qint64 done, qint64 total, qint64 range)
{
    return total > 0 ? qint64(static_cast<__int128>(done) * range / total) : 0;
}

// The file an operation reads does not exist. The window shows description(), "<path> not found.".
class NotFound : public Error {
public:
    explicit NotFound(const QString &path);
};

// Throws NotFound unless the existence test finds path.
void requireExisting(const QString &path);

} // namespace Operations
