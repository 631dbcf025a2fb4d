#include "opsupport.h"

#include <csignal>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include "testsupport.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace OpSupport {

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
    RawDb db = rawOpen(path, SQLITE_OPEN_READWRITE);
    sqlite3_stmt *stmt = nullptr;
    QStringList out;
    if (sqlite3_prepare_v2(db.get(), sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK)
        return {QStringLiteral("error: ") + QString::fromUtf8(sqlite3_errmsg(db.get()))};
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        QStringList cols;
        for (int i = 0; i < sqlite3_column_count(stmt); ++i)
            cols << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, i)));
        out << cols.join(QLatin1Char('|'));
    }
    if (rc != SQLITE_DONE)
        out << QStringLiteral("error: ") + QString::fromUtf8(sqlite3_errmsg(db.get()));
    sqlite3_finalize(stmt);
    return out;
}

QString scalar(const QString &path, const QString &sql)
{
    const QStringList all = rows(path, sql);
    return all.isEmpty() ? QString() : all.first();
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
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
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
                            "INSERT INTO Credit SELECT AccountID, 0, randomblob(300) FROM Debit;"
                            "COMMIT;";
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

// Waits for a line on standard input; returns at its end.
void waitForEndOfInput()
{
    std::string line;
    while (std::getline(std::cin, line)) {
    }
}

void ready()
{
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
}

int fail(sqlite3 *db, const char *what)
{
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    return 2;
}

int runLedgerWriter(sqlite3 *db, const QString &stopFile)
{
    sqlite3_stmt *count = nullptr;
    sqlite3_prepare_v2(db, "SELECT max(AccountID) FROM Debit", -1, &count, nullptr);
    if (sqlite3_step(count) != SQLITE_ROW)
        return fail(db, "accounts");
    const int accounts = sqlite3_column_int(count, 0);
    sqlite3_finalize(count);

    // No syncs: as many commits as possible while the test backs the database up.
    rawExec(db, "PRAGMA synchronous = OFF");
    QRandomGenerator random(42);
    qint64 commits = 0;
    while (!QFile::exists(stopFile)) {
        const int debit = 1 + int(random.bounded(accounts));
        const int credit = 1 + int(random.bounded(accounts));
        const int amount = 1 + int(random.bounded(1000));
        const QByteArray txn = QStringLiteral("BEGIN IMMEDIATE;"
                                              "UPDATE Debit SET Balance = Balance + %3 WHERE AccountID = %1;"
                                              "UPDATE Credit SET Balance = Balance + %3 WHERE AccountID = %2;"
                                              "INSERT INTO Movement (Debit, Credit, Amount, Note) "
                                              "VALUES (%1, %2, %3, hex(randomblob(40)));"
                                              "COMMIT;")
                                   .arg(debit)
                                   .arg(credit)
                                   .arg(amount)
                                   .toUtf8();
        if (rawExec(db, txn.constData())) {
            if (++commits == 1)
                ready();
        } else {
            rawExec(db, "ROLLBACK"); // busy for longer than the timeout: try again
        }
    }
    std::printf("%lld\n", static_cast<long long>(commits));
    return 0;
}

} // namespace

int runChildIfAsked(int argc, char **argv)
{
    if (argc < 4 || std::strcmp(argv[1], "--child") != 0)
        return -1;
    const QString role = QString::fromLocal8Bit(argv[2]);
    const QString database = QString::fromLocal8Bit(argv[3]);
    const QString arg = argc > 4 ? QString::fromLocal8Bit(argv[4]) : QString();
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(database).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        return fail(db, "open");
    sqlite3_busy_timeout(db, 30000);

    if (role == "hold" || role == "idle") {
        if (!rawExec(db, role == "hold" ? "BEGIN; SELECT count(*) FROM sqlite_master;"
                                        : "SELECT count(*) FROM sqlite_master"))
            return fail(db, "read");
        ready();
        waitForEndOfInput();
        sqlite3_close(db);
        return 0;
    }
    if (role == "crash") {
        // A cache of a few pages: the changes no longer fit and are written into the file
        // before the commit, with the original pages kept in the journal.
        if (!rawExec(db,
                     "PRAGMA cache_size = 4; BEGIN; UPDATE Debit SET Balance = Balance + 7, Pad = randomblob(300);"))
            return fail(db, "update");
        ready();
        waitForEndOfInput();
        return 3; // never reached in the tests: the child is killed
    }
    if (role == "walcommit") {
        const QByteArray sql = "PRAGMA wal_autocheckpoint = 0; CREATE TABLE IF NOT EXISTS Pending (ID INTEGER "
                               "PRIMARY KEY, Note TEXT); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                               "FROM n WHERE i < " +
                               arg.toUtf8() + ") INSERT INTO Pending (Note) SELECT 'pending ' || i FROM n;";
        if (!rawExec(db, sql.constData()))
            return fail(db, "commit");
        ready();
        waitForEndOfInput();
        return 3;
    }
    if (role == "writer")
        return runLedgerWriter(db, arg);
    std::fprintf(stderr, "unknown role %s\n", argv[2]);
    return 2;
}

Child::~Child()
{
    if (process_.state() != QProcess::NotRunning)
        kill();
}

bool Child::start(const QString &role, const QString &database, const QString &arg)
{
    QStringList args{"--child", role, database};
    if (!arg.isNull())
        args << arg;
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QCoreApplication::applicationFilePath(), args);
    if (!process_.waitForStarted(30000))
        return false;
    while (!output_.contains("ready\n")) {
        if (!process_.waitForReadyRead(60000))
            return false;
        output_ += process_.readAll();
    }
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
    const QString program = TestSupport::toolsDir() + "/lossyfs";
    if (!QFile::exists(program) || !QFile::exists("/dev/fuse")) {
        why_ = "no lossyfs (built only with libfuse3-dev) or no /dev/fuse";
        return;
    }
    QDir().mkpath(point);
    process_.start(program, options + QStringList{backing, point});
    if (!process_.waitForReadyRead(10000) || !process_.readAllStandardOutput().contains("ready"))
        why_ = "lossyfs cannot mount here: " + QString::fromLocal8Bit(process_.readAllStandardError());
}

LossyMount::~LossyMount()
{
    process_.terminate();
    process_.waitForFinished(10000);
}

bool LossyMount::cut(bool now)
{
    if (now)
        ::kill(pid_t(process_.processId()), SIGUSR1);
    report_ = process_.waitForFinished(10000) ? process_.readAllStandardError() : "lossyfs did not end";
    return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
}

} // namespace OpSupport
