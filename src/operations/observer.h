#pragma once

#include "platform/errors.h"
#include "platform/progress.h"

#include <QString>

#include <functional>

namespace Operations {

// What an operation tells the one who runs it, called on the thread it runs on.
struct Observer {
    // The checks before the work are passed and the work on the files begins.
    std::function<void()> working;
    // How much of the work is done, in units of the operation's choice (bytes, pages), of total.
    Progress progress;

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

// The file an operation reads does not exist. The window shows description(), "<path> not found.".
class NotFound : public Error {
public:
    explicit NotFound(const QString &path);
};

// Throws NotFound unless the existence test finds path.
void requireExisting(const QString &path);

} // namespace Operations
