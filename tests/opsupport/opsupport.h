#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>
#include <sqlite3.h>

// Helpers of the backup, restore and compaction tests: straight SQLite access (as another
// program would have it), a ledger whose invariant every transaction keeps, and child processes
// that use a database while the test runs an operation.
namespace OpSupport {

struct RawCloser {
    void operator()(sqlite3 *db) const { sqlite3_close_v2(db); }
};
using RawDb = std::unique_ptr<sqlite3, RawCloser>;

RawDb rawOpen(const QString &path, int flags = SQLITE_OPEN_READWRITE);
bool rawExec(sqlite3 *db, const char *sql);
// Every row that sql yields on the database at path, columns joined by "|"; "error: ..." on failure.
QStringList rows(const QString &path, const QString &sql);
// The first column of the first row.
QString scalar(const QString &path, const QString &sql);
// "table:rows" for every table, in name order.
QStringList tableCounts(const QString &path);

// Every entry of folder, hidden ones included, by name.
QStringList entries(const QString &folder);

// Adds to the database at path the tables Debit, Credit (rows accounts each) and Movement. Every
// ledger transaction adds the same amount to a Debit row and a Credit row and records it in
// Movement, so in a consistent database sum(Debit) = sum(Credit) = sum(Movement).
void addLedger(const QString &path, int accounts = 4000);
// Empty when the database at path passes integrity_check and the ledger's invariant holds;
// otherwise what is wrong.
QString ledgerProblem(const QString &path);

// Runs the child role given on the command line ("--child ROLE DATABASE [ARG]"), if any, and
// returns its exit code; -1 when this process is not a child. Call first thing in main().
int runChildIfAsked(int argc, char **argv);

// This test program run again as a child in one of these roles on one database:
//   hold        keeps a read transaction open (a shared lock) until stopped;
//   idle        keeps the database open, no transaction, until stopped;
//   crash       starts a big write transaction whose changes spill into the file, then waits to
//               be killed: killing it leaves a hot journal and a half-changed file;
//   walcommit   (write-ahead-log mode) commits ARG rows to table Pending without checkpointing,
//               then waits to be killed: killing it leaves the rows only in the log;
//   writer      runs ledger transactions one after another until the file ARG exists, then
//               prints how many it committed.
// start() returns once the child says it is ready.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    [[nodiscard]] bool start(const QString &role, const QString &database, const QString &arg = QString());
    qint64 pid() const { return process_.processId(); }
    // Closes the child's input, which ends the hold and idle roles, and waits for it; returns
    // what it printed after "ready".
    QString finish();
    // Kills it at once (SIGKILL) and waits for it.
    void kill();

private:
    QProcess process_;
    QByteArray output_;
};

// lossyfs (a file system that forgets what was not synced when the power is cut) mirroring
// backing at point. The destructor unmounts it without a cut. why() says why it could not mount.
class LossyMount {
public:
    LossyMount(const QString &backing, const QString &point, const QStringList &options = {});
    ~LossyMount();
    QString why() const { return why_; }
    // Cuts the power now (or waits for the cut that --cut-at-sync makes); true once lossyfs has
    // put back the durable state and exited.
    bool cut(bool now = true);
    bool running() const { return process_.state() == QProcess::Running; }
    QByteArray report() const { return report_; }

private:
    QProcess process_;
    QString why_;
    QByteArray report_;
};

} // namespace OpSupport

// The main() of a test program whose children play the roles above: AppClass is
// QCoreApplication or QApplication.
#define OPSUPPORT_TEST_MAIN(TestClass, AppClass)                                                                       \
    int main(int argc, char **argv)                                                                                    \
    {                                                                                                                  \
        if (const int rc = OpSupport::runChildIfAsked(argc, argv); rc >= 0)                                            \
            return rc;                                                                                                 \
        AppClass app(argc, argv);                                                                                      \
        TestClass test;                                                                                                \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
