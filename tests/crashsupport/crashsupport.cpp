#include "crashsupport.h"

#include "operations/backup.h"
#include "operations/compaction.h"
#include "operations/restore.h"
#include "opsupport.h"
#include "platform/errors.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QUrl>

#include <cstdio>
#include <cstring>
#include <functional>
#include <sqlite3.h>

namespace CrashSupport {

int runOperationIfAsked(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--operation") != 0)
        return -1;
    QStringList args;
    for (int i = 2; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    std::fputs("go\n", stdout);
    std::fflush(stdout);
    QElapsedTimer clock;
    clock.start();
    try {
        if (args.value(0) == "backup" && args.size() == 3)
            Operations::backUp(args[1], args[2]);
        else if (args.value(0) == "restore" && args.size() == 4)
            Operations::restore(args[1], args[2], args[3]);
        else if (args.value(0) == "compact" && args.size() == 3)
            Operations::compact(args[1], args[2]);
        else
            return 2;
    } catch (const Error &e) {
        std::fprintf(stderr, "%s\n", e.message().toLocal8Bit().constData());
        return 1;
    }
    std::printf("done %lld\n", static_cast<long long>(clock.elapsed()));
    return 0;
}

namespace {

Outcome runChildKilling(const QStringList &operation, qint64 killAfterMs, const std::function<bool()> &killWhen)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), QStringList{"--operation"} + operation);
    Outcome outcome;
    if (!child.waitForStarted(30000)) {
        outcome.errors = QStringLiteral("the child did not start: ") + child.errorString();
        return outcome;
    }
    QByteArray out;
    while (!out.contains("go\n") && child.waitForReadyRead(60000))
        out += child.readAllStandardOutput();
    if (!out.contains("go\n")) {
        child.waitForFinished(60000);
        outcome.errors = QStringLiteral("the child ended before it began: ") + child.readAllStandardError();
        return outcome;
    }
    if (killWhen) {
        // Looks between waits for the child's end of at most a millisecond: no sleeping.
        while (child.state() != QProcess::NotRunning && !outcome.killed) {
            if (killWhen()) {
                child.kill();
                outcome.killed = true;
            } else {
                child.waitForFinished(1);
            }
        }
    } else if (killAfterMs >= 0 && !child.waitForFinished(int(killAfterMs))) {
        child.kill();
        outcome.killed = true;
    }
    child.waitForFinished(120000);
    out += child.readAllStandardOutput();
    outcome.errors = QString::fromLocal8Bit(child.readAllStandardError()).trimmed();
    if (!outcome.killed) {
        outcome.exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
        const qsizetype done = out.indexOf("done ");
        if (done >= 0)
            outcome.ms = out.mid(done + 5).trimmed().toLongLong();
    }
    return outcome;
}

} // namespace

Outcome runChild(const QStringList &operation, qint64 killAfterMs)
{
    return runChildKilling(operation, killAfterMs, {});
}

Outcome runChildUntil(const QStringList &operation, const std::function<bool()> &killWhen)
{
    return runChildKilling(operation, -1, killWhen);
}

namespace {

void hashValue(QCryptographicHash &hash, sqlite3_stmt *stmt, int column)
{
    const int type = sqlite3_column_type(stmt, column);
    hash.addData(QByteArrayView(reinterpret_cast<const char *>(&type), sizeof type));
    if (type == SQLITE_INTEGER) {
        const qint64 v = sqlite3_column_int64(stmt, column);
        hash.addData(QByteArrayView(reinterpret_cast<const char *>(&v), sizeof v));
    } else if (type == SQLITE_FLOAT) {
        const double v = sqlite3_column_double(stmt, column);
        hash.addData(QByteArrayView(reinterpret_cast<const char *>(&v), sizeof v));
    } else if (type != SQLITE_NULL) {
        const void *bytes = sqlite3_column_blob(stmt, column);
        const int size = sqlite3_column_bytes(stmt, column);
        const qint64 size64 = size;
        hash.addData(QByteArrayView(reinterpret_cast<const char *>(&size64), sizeof size64));
        hash.addData(QByteArrayView(static_cast<const char *>(bytes), size));
    }
}

} // namespace

DbContent readDatabase(const QString &path, bool asStored)
{
    DbContent content;
    sqlite3 *raw = nullptr;
    const QByteArray name = asStored ? QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded).toUtf8() + "?immutable=1"
                                     : QFile::encodeName(path);
    const int flags = asStored ? SQLITE_OPEN_READONLY | SQLITE_OPEN_URI : SQLITE_OPEN_READWRITE;
    const int rc = sqlite3_open_v2(name.constData(), &raw, flags, nullptr);
    OpSupport::RawDb db(raw);
    if (rc != SQLITE_OK) {
        content.problem = QStringLiteral("cannot open: ") + sqlite3_errmsg(raw);
        return content;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    auto each = [&](const QByteArray &sql, const std::function<void(sqlite3_stmt *)> &row) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db.get(), sql.constData(), -1, &stmt, nullptr) != SQLITE_OK) {
            content.problem = QString::fromUtf8(sql + ": " + sqlite3_errmsg(db.get()));
            return;
        }
        int step;
        while ((step = sqlite3_step(stmt)) == SQLITE_ROW)
            row(stmt);
        if (step != SQLITE_DONE)
            content.problem = QString::fromUtf8(sql + ": " + sqlite3_errmsg(db.get()));
        sqlite3_finalize(stmt);
    };
    QStringList integrity;
    each("PRAGMA integrity_check", [&](sqlite3_stmt *s) { integrity << QString::fromUtf8(sqlite3_column_text(s, 0)); });
    if (content.problem.isEmpty() && integrity != QStringList{"ok"})
        content.problem = "integrity_check: " + integrity.join("; ");
    if (!content.problem.isEmpty())
        return content;
    QStringList tables;
    each("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name", [&](sqlite3_stmt *s) {
        for (int i = 0; i < 4; ++i)
            hashValue(hash, s, i);
        if (QByteArray(reinterpret_cast<const char *>(sqlite3_column_text(s, 0))) == "table")
            tables << QString::fromUtf8(sqlite3_column_text(s, 1));
    });
    for (const QString &table : tables) {
        each("SELECT * FROM \"" + table.toUtf8() + '"', [&](sqlite3_stmt *s) {
            for (int i = 0; i < sqlite3_column_count(s); ++i)
                hashValue(hash, s, i);
        });
    }
    each("PRAGMA freelist_count", [&](sqlite3_stmt *s) { content.freePages = sqlite3_column_int64(s, 0); });
    content.digest = hash.result();
    return content;
}

DbContent checkedDatabase(const QString &path)
{
    const DbContent stored = readDatabase(path, true);
    const DbContent read = readDatabase(path, false);
    if (stored.problem.isEmpty() && read.problem.isEmpty() && stored.digest != read.digest)
        return {QStringLiteral("what the file holds differs from what SQLite reads with the files beside it"), {}, -1};
    return read.problem.isEmpty() ? stored : read;
}

QByteArray unzstd(const QString &path)
{
    QProcess zstd;
    zstd.start("zstd", {"-d", "-c", "-q", path});
    if (!zstd.waitForFinished(120000) || zstd.exitStatus() != QProcess::NormalExit || zstd.exitCode() != 0)
        return QByteArray();
    const QByteArray out = zstd.readAllStandardOutput();
    return out.isNull() ? QByteArray("") : out;
}

bool zstdAccepts(const QString &path)
{
    return QProcess::execute("zstd", {"-t", "-q", path}) == 0;
}

QStringList hiddenEntries(const QString &folder)
{
    QStringList hidden;
    for (const QString &name : OpSupport::entries(folder)) {
        if (name.startsWith('.'))
            hidden << name;
    }
    return hidden;
}

void copyTree(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    for (const QFileInfo &info : QDir(from).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (info.isDir())
            copyTree(info.filePath(), to + '/' + info.fileName());
        else if (!QFile::copy(info.filePath(), to + '/' + info.fileName()))
            qFatal("cannot copy %s", qPrintable(info.filePath()));
    }
}



char *toString(const DbContent &content)
{
    const QString text = content.problem.isEmpty() ? QStringLiteral("rows %1, %2 free pages")
                                                         .arg(QString::fromLatin1(content.digest.toHex().left(16)))
                                                         .arg(content.freePages)
                                                   : content.problem;
    return qstrdup(text.toLocal8Bit().constData());
}


} // namespace CrashSupport
