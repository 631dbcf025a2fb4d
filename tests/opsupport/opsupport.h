#pragma once

#include <QDate>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <sqlite3.h>

// SQLite as another program uses it, a ledger every transaction keeps balanced, and child
// processes that use a database meanwhile.
namespace TestSupport {

struct RawCloser {
    void operator()(sqlite3 *db) const { sqlite3_close_v2(db); }
};
using RawDb = std::unique_ptr<sqlite3, RawCloser>;

RawDb rawOpen(const QString &path, int flags = SQLITE_OPEN_READWRITE);
bool rawExec(sqlite3 *db, const char *sql);
// Every row of sql on the database at path, columns joined by "|"; "error: ..." on failure.
QStringList rows(const QString &path, const QString &sql);
QString scalar(const QString &path, const QString &sql); // first column of the first row
QStringList tableCounts(const QString &path);            // "table:rows", in name order
QStringList entries(const QString &folder);              // every entry, hidden ones and broken links included

// Tables Debit, Credit (accounts rows each) and Movement, which records each amount added to a Debit
// and a Credit row. ledgerProblem() is empty when integrity_check passes and the three sums agree.
void addLedger(const QString &path, int accounts = 4000);
QString ledgerProblem(const QString &path);

// The day the operations of children restore on: the safety copies are named after its year.
inline const QDate RestoreDate(2026, 12, 9);

// Runs what this program was started as a child for, returning its exit code; -1 when it is no
// child. "--child ROLE DATABASE [ARG]": a role of Child below. "--operation" and "backup DATABASE
// BACKUP", "restore BACKUP DATABASE" or "compact DATABASE TEMP": the operation as the window runs
// it ("maintenance ARGS...": tarvos-maintenance's command line), printing "go" first and "done MS" after a success; a failure's message goes to stderr, with
// exit code 1. around(true) runs just before the operation, around(false) just after.
int runChildIfAsked(
    int argc, char **argv, const std::function<void(bool)> &around = [](bool) {});

// This program run again as a child on one database, ready when start() returns: "idle" keeps
// the database open until finish() (and then commits the SQL ARG, if given, printing "committed");
// "reading" holds a read transaction until finish(); "crash" spills an uncommitted
// write into the file, "walcommit" commits ARG rows to table Pending only into the log, each to be
// killed; "writer" commits ledger transactions until the file ARG exists, then prints how many.
class Child {
public:
    Child() = default;
    ~Child() { kill(); }
    Q_DISABLE_COPY(Child)

    // As the account asUser when given (through runuser; needs root).
    [[nodiscard]] bool start(const QString &role, const QString &database, const QString &arg = QString(),
                             const QString &asUser = QString());
    // The program that children run: this one unless set (a copy other accounts may run).
    static void setProgram(const QString &path) { program_ = path; }
    qint64 pid() const { return process_.processId(); }
    QString finish(); // closes its input, waits, returns what it printed
    void kill();      // SIGKILL, then waits

private:
    inline static QString program_;
    QProcess process_;
    QByteArray output_;
};

// lossyfs (a file system that forgets what was not synced when the power is cut) mirroring
// backing at point, unmounted without a cut at the end; why() says why it could not mount.
class LossyMount {
public:
    LossyMount(const QString &backing, const QString &point, const QStringList &options = {});
    ~LossyMount()
    {
        process_.terminate();
        process_.waitForFinished(10000);
    }
    QString why() const { return why_; }
    // Cuts the power now (or waits for --cut-at-sync's); true once lossyfs put back the durable state.
    bool cut(bool now = true);
    bool running() const { return process_.state() == QProcess::Running; }
    QByteArray report() const { return report_; }

private:
    QProcess process_;
    QString why_;
    QByteArray report_;
};

} // namespace TestSupport

// main() of a test program whose children play the roles above; a function given after AppClass
// is the children's around() (see runChildIfAsked()).
#define OPSUPPORT_TEST_MAIN(TestClass, AppClass, ...)                                                                  \
    int main(int argc, char **argv)                                                                                    \
    {                                                                                                                  \
        if (const int rc = TestSupport::runChildIfAsked(argc, argv __VA_OPT__(, ) __VA_ARGS__); rc >= 0)               \
            return rc;                                                                                                 \
        AppClass app(argc, argv);                                                                                      \
        TestClass test;                                                                                                \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
