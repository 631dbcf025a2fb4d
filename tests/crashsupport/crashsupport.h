#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// Helpers of the crash tests: an operation run in a child process that can be killed, and what
// the files it leaves hold.
namespace CrashSupport {

// Runs the operation asked for on the command line, if any, and returns its exit code; -1 when
// this process is not such a child. Call first thing in main(). The child takes
// "--operation backup SOURCE BACKUP", "--operation restore BACKUP TARGET SAFETYCOPY" or
// "--operation compact SOURCE TEMP", prints "go", runs the operation through the operations
// layer, prints "done <ms>" and exits 0, or prints the error and exits 1.
int runOperationIfAsked(int argc, char **argv);

struct Outcome {
    bool killed = false;
    int exitCode = -1;
    qint64 ms = -1; // the child's own time for the operation, when it finished
    QString errors;
    QByteArray output; // what it printed
};

// Runs the operation (the arguments after "--operation") in a child of this test program; kills
// it (SIGKILL) killAfterMs after it said "go" unless it is done by then (a negative delay lets
// it finish).
Outcome runChild(const QStringList &operation, qint64 killAfterMs = -1);
// The same, killing the child as soon as killWhen() returns true (asked every millisecond or so).
Outcome runChildUntil(const QStringList &operation, const std::function<bool()> &killWhen);

// The same with libfiu's POSIX preload in the child: asked is "count" (every call the operation
// makes to the file system is counted) or "POINT INDEX ERRNO" (the INDEX-th call of that failure
// point, such as posix/io/sync/fsync, fails with ERRNO). The child prints "failed POINT" when that
// call came and failed, and "calls POINT N" for each point the operation called.
Outcome runChildFailingCall(const QStringList &operation, const QString &asked);

// A database as SQLite reads it: integrity_check's verdict, a digest of its schema and of every
// row of every table in storage order, and its free pages.
struct DbContent {
    QString problem; // empty when it opened and passed integrity_check
    QByteArray digest;
    qint64 freePages = -1;
    bool operator==(const DbContent &) const = default;
};
char *toString(const DbContent &content);

// Reads path normally (a journal or log beside it counts, a hot journal is rolled back) or, with
// asStored, the main file alone as it lies on disk, ignoring anything beside it.
DbContent readDatabase(const QString &path, bool asStored);
// What the database at path holds, or why it cannot be used: it must read the same whether or
// not the files beside it are taken into account.
DbContent checkedDatabase(const QString &path);

// The content of a backup file as zstd itself reads it, or a null array when zstd refuses it.
QByteArray unzstd(const QString &path);
// Whether "zstd -t" finds the backup file complete and intact.
bool zstdAccepts(const QString &path);

// The hidden entries of folder (names starting with ".").
QStringList hiddenEntries(const QString &folder);
// Copies the folder from, with everything in it, to to.
void copyTree(const QString &from, const QString &to);

} // namespace CrashSupport
