#pragma once

#include "platform/dao/database.h"

#include <QString>

#include <functional>
#include <memory>

// The database engine: opens database files and writes compacted copies of them. Every failure
// throws Error numbered with the SQLite extended result code, its description naming the file
// and the cause.
class DBEngine {
public:
    inline static constexpr int defaultBusyTimeoutMs = 2000;

    // Opens an existing database file shared, for reading and writing (a write-protected file
    // opens read-only). Never creates a file. Fails on a missing file, a folder, a file that is
    // not a database (an empty one included) and a database that another program keeps locked
    // for longer than the busy timeout.
    [[nodiscard]] std::unique_ptr<Database> OpenDatabase(const QString &path);

    // Writes a complete, compacted copy of the database src to the new file dst: written under a
    // hidden temporary name in dst's folder, synced, and only then given dst's name, so dst is
    // either absent or complete. Content still in src's write-ahead log is included; the copy is a
    // self-contained file that needs no log beside it, readable and writable by its owner alone (it
    // holds what src holds; the caller gives it src's access where it is to take src's place).
    // src is only read; neither name is followed where it is a link another account made.
    // Refuses a dst that already exists. On failure nothing is left at dst or beside it.
    // progress, when given, is called now and then during the copy with the bytes written so far.
    void CompactDatabase(const QString &src, const QString &dst,
                         const std::function<void(qint64 written)> &progress = {});

    // How long to wait for a lock held by another program before failing.
    void setBusyTimeout(int ms);
    [[nodiscard]] int busyTimeout() const { return busyTimeoutMs_; }

private:
    int busyTimeoutMs_ = defaultBusyTimeoutMs;
};

// The program's engine object: created on first use and kept for the rest of the run.
DBEngine &dbEngine();
// Whether dbEngine() has created it yet.
[[nodiscard]] bool dbEngineCreated();
