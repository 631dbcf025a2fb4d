#include "opsupport.h"

#include "maintenance/command.h"
#include "operations/backup.h"
#include "operations/compaction.h"
#include "operations/restore.h"
#include "platform/errors.h"
#include "platform/stop.h"

#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <string>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>

#include "testsupport.h"

namespace TestSupport {

RawDb rawOpen(const QString &path, int flags)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, flags, nullptr) != SQLITE_OK)
        qFatal("cannot open %s: %s", qPrintable(path), sqlite3_errmsg(db));
    sqlite3_busy_timeout(db, 30000);
    return RawDb(db);
}

bool rawExec(sqlite3 *db, const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

QStringList rows(const QString &path, const QString &sql)
{
    RawDb db = rawOpen(path);
    sqlite3_stmt *stmt = nullptr;
    const auto error = [&] { return QStringLiteral("error: ") + QString::fromUtf8(sqlite3_errmsg(db.get())); };
    if (sqlite3_prepare_v2(db.get(), sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK)
        return {error()};
    QStringList out;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        QStringList cols;
        for (int i = 0; i < sqlite3_column_count(stmt); ++i)
            cols << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, i)));
        out << cols.join(QLatin1Char('|'));
    }
    if (rc != SQLITE_DONE)
        out << error();
    sqlite3_finalize(stmt);
    return out;
}

QString scalar(const QString &path, const QString &sql)
{
    return rows(path, sql).value(0);
}

QStringList tableCounts(const QString &path)
{
    QStringList out;
    for (const QString &table : rows(path, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"))
        out << table + ':' + scalar(path, "SELECT count(*) FROM \"" + table + '"');
    return out;
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

void addLedger(const QString &path, int accounts)
{
    RawDb db = rawOpen(path);
    const std::string sql = "BEGIN;"
                            "CREATE TABLE Debit (AccountID INTEGER PRIMARY KEY, Balance INTEGER NOT NULL, Pad BLOB);"
                            "CREATE TABLE Credit (AccountID INTEGER PRIMARY KEY, Balance INTEGER NOT NULL, Pad BLOB);"
                            "CREATE TABLE Movement (MovementID INTEGER PRIMARY KEY, Debit INTEGER, Credit INTEGER, "
                            "  Amount INTEGER NOT NULL, Note TEXT);"
                            "CREATE INDEX MovementByDebit ON Movement (Debit);"
                            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                            std::to_string(accounts) +
                            ") INSERT INTO Debit SELECT i, 0, randomblob(300) FROM n;"
                            "INSERT INTO Credit SELECT AccountID, 0, randomblob(300) FROM Debit; COMMIT;";
    if (!rawExec(db.get(), sql.c_str()))
        qFatal("cannot add the ledger: %s", sqlite3_errmsg(db.get()));
}

QString ledgerProblem(const QString &path)
{
    const QStringList integrity = rows(path, "PRAGMA integrity_check");
    if (integrity != QStringList{"ok"})
        return "integrity_check: " + integrity.join("; ");
    const QString sums = scalar(path, "SELECT (SELECT sum(Balance) FROM Debit) || '|' || (SELECT sum(Balance) FROM "
                                      "Credit) || '|' || (SELECT coalesce(sum(Amount), 0) FROM Movement)");
    const QStringList parts = sums.split('|');
    if (parts.size() != 3 || parts[0] != parts[1] || parts[1] != parts[2])
        return "ledger out of balance (debit|credit|movements): " + sums;
    return QString();
}

namespace {

void ready(const char *word = "ready")
{
    std::puts(word);
    std::fflush(stdout);
}

int fail(sqlite3 *db, const char *what)
{
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    return 2;
}

int runLedgerWriter(sqlite3 *db, int accounts, const QString &stopFile)
{
    if (accounts == 0)
        return fail(db, "accounts");
    rawExec(db, "PRAGMA synchronous = OFF"); // as many commits as possible during the backup
    QRandomGenerator random(42);
    qint64 commits = 0;
    while (!QFile::exists(stopFile)) {
        const int debit = 1 + int(random.bounded(accounts)), credit = 1 + int(random.bounded(accounts));
        const int amount = 1 + int(random.bounded(1000));
        const QByteArray txn =
            QString::asprintf("BEGIN IMMEDIATE; UPDATE Debit SET Balance = Balance + %d WHERE AccountID = %d;"
                              "UPDATE Credit SET Balance = Balance + %d WHERE AccountID = %d; INSERT INTO Movement "
                              "(Debit, Credit, Amount, Note) VALUES (%d, %d, %d, hex(randomblob(40))); COMMIT;",
                              amount, debit, amount, credit, debit, credit, amount)
                .toUtf8();
        if (!rawExec(db, txn.constData()))
            rawExec(db, "ROLLBACK"); // busy for longer than the timeout: try again
        else if (++commits == 1)
            ready();
    }
    std::printf("%lld\n", static_cast<long long>(commits));
    return 0;
}

// The operation args name, as the window runs it; see runChildIfAsked().
int runOperation(const QStringList &a, const std::function<void(bool)> &around)
{
    // SIGTERM asks the operation to stop, as in the programs themselves.
    int argc = 1;
    char name[] = "operation", *argv[] = {name, nullptr};
    const QCoreApplication app(argc, argv);
    Stop::installSignalHandlers([] {});
    ready("go");
    QElapsedTimer clock;
    clock.start();
    around(true);
    QString error;
    try {
        if (a.value(0) == "backup" && a.size() == 3)
            Operations::backUp(a[1], a[2]);
        else if (a.value(0) == "restore" && a.size() == 3)
            Operations::restore(a[1], a[2], RestoreDate);
        else if (a.value(0) == "compact" && a.size() == 3)
            Operations::compact(a[1], a[2]);
        else if (a.value(0) == "maintenance" && a.size() > 1) {
            QString out, err;
            QTextStream outStream(&out), errStream(&err);
            if (Maintenance::run(a.mid(1), outStream, errStream, false) != Maintenance::Done)
                error = err.trimmed();
        } else
            return 2;
    } catch (const Error &e) {
        error = e.message();
    }
    around(false);
    if (!error.isEmpty())
        return std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData()), 1;
    std::printf("done %lld\n", static_cast<long long>(clock.elapsed()));
    return 0;
}

} // namespace

int runChildIfAsked(int argc, char **argv, const std::function<void(bool)> &around)
{
    QStringList operation;
    for (int i = 2; argc >= 2 && std::strcmp(argv[1], "--operation") == 0 && i < argc; ++i)
        operation << QString::fromLocal8Bit(argv[i]);
    if (!operation.isEmpty())
        return runOperation(operation, around);
    if (argc < 4 || std::strcmp(argv[1], "--child") != 0)
        return -1;
    const QString role = QString::fromLocal8Bit(argv[2]);
    const QByteArray arg = argc > 4 ? QByteArray(argv[4]) : QByteArray();
    const QString path = QString::fromLocal8Bit(argv[3]);
    const RawDb connection = rawOpen(path);
    sqlite3 *db = connection.get();
    if (role == "writer")
        return runLedgerWriter(db, scalar(path, "SELECT max(AccountID) FROM Debit").toInt(),
                               QString::fromLocal8Bit(arg));
    QByteArray sql;
    if (role == "idle")
        sql = "SELECT count(*) FROM sqlite_master";
    else if (role == "reading") // a read transaction held open: a lock that a writer must wait for
        sql = "BEGIN; SELECT count(*) FROM sqlite_master;";
    else if (role == "crash") // a cache of a few pages: the changes spill into the file before any commit
        sql = "PRAGMA cache_size = 4; BEGIN; UPDATE Debit SET Balance = Balance + 7, Pad = randomblob(300) WHERE "
              "AccountID <= 2000;";
    else if (role == "walcommit")
        sql = "PRAGMA wal_autocheckpoint = 0; CREATE TABLE IF NOT EXISTS Pending (ID INTEGER PRIMARY KEY, Note TEXT);"
              "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
              arg + ") INSERT INTO Pending (Note) SELECT 'pending ' || i FROM n;";
    else
        return fail(db, argv[2]);
    if (!rawExec(db, sql.constData()))
        return fail(db, argv[2]);
    ready();
    std::cin.ignore(std::numeric_limits<std::streamsize>::max()); // until the end of the input, or killed
    // "idle" with ARG: the connection, open all along, then commits ARG.
    if (role == "idle" && !arg.isEmpty())
        std::printf(rawExec(db, arg.constData()) ? "committed\n" : "refused: %s\n", sqlite3_errmsg(db));
    return 0;
}

bool Child::start(const QString &role, const QString &database, const QString &arg, const QString &asUser)
{
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString program = program_.isEmpty() ? QCoreApplication::applicationFilePath() : program_;
    const QStringList args = QStringList{"--child", role, database} + (arg.isNull() ? QStringList() : QStringList{arg});
    if (asUser.isEmpty())
        process_.start(program, args);
    else
        process_.start("runuser", QStringList{"-u", asUser, "--", program} + args);
    while (!output_.contains("ready\n") && process_.waitForReadyRead(60000)) // false as well when it did not start
        output_ += process_.readAll();
    if (!output_.contains("ready\n"))
        return false;
    output_.remove(0, output_.indexOf("ready\n") + 6);
    return true;
}

QString Child::finish()
{
    process_.closeWriteChannel();
    process_.waitForFinished(60000);
    output_ += process_.readAll();
    return QString::fromLocal8Bit(output_).trimmed();
}

void Child::kill()
{
    process_.kill();
    process_.waitForFinished(60000);
}

LossyMount::LossyMount(const QString &backing, const QString &point, const QStringList &options)
{
    const QString program = toolsDir() + "/lossyfs";
    if (!QFile::exists(program) || !QFile::exists("/dev/fuse")) {
        why_ = "no lossyfs (built only with libfuse3-dev) or no /dev/fuse";
        return;
    }
    QDir().mkpath(point);
    process_.start(program, options + QStringList{backing, point});
    if (!process_.waitForReadyRead(10000) || !process_.readAllStandardOutput().contains("ready"))
        why_ = "lossyfs cannot mount here: " + QString::fromLocal8Bit(process_.readAllStandardError());
}

bool LossyMount::cut(bool now)
{
    if (now)
        ::kill(pid_t(process_.processId()), SIGUSR1);
    report_ = process_.waitForFinished(10000) ? process_.readAllStandardError() : "lossyfs did not end";
    return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
}

} // namespace TestSupport
