#include "opsupport.h"
#include "testsupport.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTest>

using namespace TestSupport;

namespace {

// The output of script run in folder, or "failed".
QString shell(const QString &folder, const QString &script)
{
    QProcess sh;
    sh.setWorkingDirectory(folder);
    sh.start("sh", {"-ec", script});
    return sh.waitForFinished(10000) && sh.exitCode() == 0 ? QString::fromUtf8(sh.readAll()).trimmed() : "failed";
}

// "name=content" of every file, "name/" of every folder, by name, on one line.
const QString state = R"(find . -mindepth 1 \( -type d -printf '%P/\n' \) -o \( -printf '%P=' -exec cat {} \; \
                         -printf '\n' \) | sort | paste -sd ' ')";

} // namespace

class TestTools : public QObject {
    Q_OBJECT

private slots:
    void makerShapes_data()
    {
        QTest::addColumn<int>("sizeMb");
        QTest::addColumn<int>("freePercent");
        QTest::addColumn<bool>("wal");
        QTest::newRow("4 MiB, 30% free") << 4 << 30 << false;
        QTest::newRow("6 MiB, 60% free, WAL") << 6 << 60 << true;
    }

    // mkbackend makes a whole database of the asked size and free share, alone in its folder. It is
    // silent, and refuses bad arguments (exit code 2) and an existing file (1), which it leaves alone.
    void makerShapes()
    {
        QFETCH(int, sizeMb);
        QFETCH(int, freePercent);
        QFETCH(bool, wal);
        TempFolder tmp;
        const QString path = tmp.path("it's BACK.MDB");
        QProcess run;
        const auto exitCode = [&](const QStringList &args) {
            run.start(toolsDir() + "/mkbackend", args);
            return run.waitForFinished(60000) ? run.exitCode() : -1;
        };
        QCOMPARE(exitCode(QStringList{"--user", "ADMIN:pa:ss'word", "--user", "CLERK:", "--users", "2", "--size-mb",
                                      QString::number(sizeMb), "--free-percent", QString::number(freePercent)} +
                          (wal ? QStringList{"--wal", path} : QStringList{path})),
                 0);
        QCOMPARE(run.readAll(), QByteArray());
        const QByteArray bytes = readFile(path);
        QCOMPARE(exitCode({"--user", "NOCOLON", tmp.path("C.MDB")}), 2);
        QCOMPARE(exitCode({path}), 1);
        QCOMPARE(readFile(path), bytes);
        QCOMPARE(entries(tmp.path()), QStringList{"it's BACK.MDB"});
        QCOMPARE(scalar(path, "PRAGMA integrity_check"), QString("ok"));
        QCOMPARE(scalar(path, "PRAGMA journal_mode"), QString(wal ? "wal" : "delete"));
        QCOMPARE(rows(path, "SELECT UserName, UserPassword FROM User ORDER BY rowid"),
                 (QStringList{"ADMIN|pa:ss'word", "CLERK|", "USER000001|pw000001", "USER000002|pw000002"}));
        const qint64 size = qint64(sizeMb) << 20;
        QVERIFY(bytes.size() >= size && bytes.size() < size * 11 / 10);
        const double freeShare =
            100 * scalar(path, "PRAGMA freelist_count").toDouble() / scalar(path, "PRAGMA page_count").toDouble();
        QVERIFY2(freeShare >= freePercent && freeShare < freePercent + 3, qPrintable(QString::number(freeShare)));
    }

    void cut_data()
    {
        QTest::addColumn<QString>("before"); // made durable on the backing folder
        QTest::addColumn<QString>("steps");  // on the mount; "sync NAME" syncs a file or a folder; SQL goes to sqlite3
        QTest::addColumn<int>("cutAtSync");  // 0: cut after the steps
        QTest::addColumn<QString>("after");  // on the backing folder after the cut; after SQL, db's check and rows
        const auto row = [](const char *name, const QString &before, const QString &steps, int cutAtSync,
                            const char *after) { QTest::newRow(name) << before << steps << cutAtSync << after; };
        row("rewritten, not synced", "printf old-content > a", "printf new > a", 0, "a=old-content");
        row("file synced, folder not", "", "printf new > a; sync a", 0, "");
        row("file and folder synced", "", "printf new > a; sync a .; printf more >> a", 0, "a=new");
        row("rename synced", "printf A > a; printf B > b", "mv a b; sync .", 0, "b=A");
        row("rename not synced", "printf A > a; printf B > b", "mv a b", 0, "a=A b=B");
        row("folder synced, parent not", "", "mkdir d; printf x > d/f; sync d/f d", 0, "");
        row("folder and parent synced", "", "mkdir d; printf x > d/f; sync d/f d .", 0, "d/ d/f=x");
        // The cut comes at the third sync: the first file is durable, the second not.
        row("cut at a sync", "", "printf x > a; sync a; sync .; printf y > b; sync b; sync .", 3, "a=x");
        // The sqlite3 shell commits 200 rows and stays open until the cut. A deleted journal that comes
        // back is hot: without the folder sync of EXTRA the commit rolls back. In write-ahead-log mode,
        // NORMAL syncs the log only at checkpoints.
        const auto commit = [&](const char *name, const QString &journal, const char *synchronous, const char *rows) {
            row(name,
                "sqlite3 db 'PRAGMA journal_mode=" + journal +
                    "; CREATE TABLE t(x, y); INSERT INTO t VALUES(0, randomblob(3000))' >/dev/null",
                "PRAGMA journal_mode=" + journal + "; PRAGMA synchronous=" + synchronous +
                    "; BEGIN; WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 200) "
                    "INSERT INTO t SELECT i, randomblob(3000) FROM c; COMMIT;",
                0, rows);
        };
        commit("SQLite, delete full", "DELETE", "FULL", "ok 1");
        commit("SQLite, delete extra", "DELETE", "EXTRA", "ok 201");
        commit("SQLite, wal full", "WAL", "FULL", "ok 201");
        commit("SQLite, wal normal", "WAL", "NORMAL", "ok 1");
    }

    void cut()
    {
        QFETCH(QString, before);
        QFETCH(QString, steps);
        QFETCH(int, cutAtSync);
        QFETCH(QString, after);
        const bool sql = steps.startsWith("PRAGMA");
        if (sql && QStandardPaths::findExecutable("sqlite3").isEmpty())
            QSKIP("no sqlite3 shell");
        TempFolder tmp;
        QDir().mkpath(tmp.path("backing"));
        QCOMPARE(shell(tmp.path("backing"), "true; " + before), QString());
        LossyMount mount(tmp.path("backing"), tmp.path("mnt"),
                         cutAtSync ? QStringList{"--cut-at-sync", QString::number(cutAtSync)} : QStringList{});
        if (!mount.why().isEmpty())
            QSKIP(qPrintable(mount.why()));
        QProcess sqlite;
        if (sql) {
            sqlite.start("sqlite3", {tmp.path("mnt/db")});
            sqlite.write(steps.toUtf8() + " SELECT 'committed';\n");
            while (!sqlite.readAllStandardOutput().contains("committed"))
                QVERIFY(sqlite.waitForReadyRead(10000));
        } else {
            QVERIFY(shell(tmp.path("mnt"), steps) != "failed" || cutAtSync); // after a cut the steps fail
        }
        QVERIFY2(mount.cut(cutAtSync == 0), mount.report().constData());
        QVERIFY2(!mount.report().contains("cannot"), mount.report().constData());
        sqlite.kill();
        sqlite.waitForFinished();
        const QString db = tmp.path("backing/db"); // of the files, nothing of lossyfs's own is left either
        QCOMPARE(sql ? scalar(db, "PRAGMA integrity_check") + " " + scalar(db, "SELECT count(*) FROM t")
                     : shell(tmp.path("backing"), state),
                 after);
    }
};

QTEST_GUILESS_MAIN(TestTools)
#include "tst_tools.moc"
