#include "opsupport.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

using Mount = OpSupport::LossyMount;

#define MOUNT(name, ...)                                                                                               \
    Mount name(__VA_ARGS__);                                                                                           \
    if (!name.why().isEmpty())                                                                                         \
        QSKIP(qPrintable(name.why()));

bool syncPath(const QString &path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | flags);
    const bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// One step on the mount: "write NAME TEXT", "fsync NAME", "fsyncdir NAME", "rename A B",
// "unlink NAME", "mkdir NAME".
bool step(const QString &root, const QString &line)
{
    const QStringList w = line.split(' ', Qt::SkipEmptyParts);
    const QByteArray a = QFile::encodeName(root + '/' + w.value(1)), b = QFile::encodeName(root + '/' + w.value(2));
    if (w[0] == "write") {
        QFile f(a);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(w[2].toUtf8()) == w[2].size();
    }
    if (w[0] == "fsync" || w[0] == "fsyncdir")
        return syncPath(a, w[0] == "fsync" ? 0 : O_DIRECTORY);
    if (w[0] == "rename")
        return ::rename(a, b) == 0;
    if (w[0] == "unlink")
        return ::unlink(a) == 0;
    return w[0] == "mkdir" && ::mkdir(a, 0755) == 0;
}

// "name=content" for every name of a setup or expectation; content "-" means absent.
QMap<QString, QString> files(const QString &listing)
{
    QMap<QString, QString> m;
    for (const QString &item : listing.split(' ', Qt::SkipEmptyParts))
        m.insert(item.section('=', 0, 0), item.section('=', 1));
    return m;
}

// The sqlite3 shell on the database at path: runs sql, then stays open until the cut.
bool commitThroughShell(QProcess &shell, const QString &path, const QString &sql)
{
    shell.start("sqlite3", {path});
    shell.write((sql + "\nSELECT 'committed';\n").toUtf8());
    while (!shell.readAllStandardOutput().contains("committed"))
        if (!shell.waitForReadyRead(10000))
            return false;
    return true;
}

const char *insertRows = "BEGIN; WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 200) "
                         "INSERT INTO t SELECT i, randomblob(3000) FROM c; COMMIT;";

// The fsync, fdatasync and fsyncdir calls in a log of lossyfs ("N KIND PATH" lines).
int syncsIn(const QString &log)
{
    const QByteArray lines = readFile(log);
    return lines.count(" fsync") + lines.count(" fdatasync");
}

QString makeDatabase(const QString &folder, const QString &journalMode)
{
    QDir().mkpath(folder);
    const QString path = folder + "/db";
    auto db = OpSupport::rawOpen(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    OpSupport::rawExec(db.get(), qPrintable("PRAGMA journal_mode=" + journalMode +
                                            "; CREATE TABLE t(x, y); INSERT INTO t VALUES(0, randomblob(3000));"));
    return path;
}

} // namespace

class TestLossyfs : public QObject {
    Q_OBJECT

private slots:
    void cut_data();
    void cut();
    void tornKeepsWholeBlocksAndPrefixes();
    void sqliteCommit_data();
    void sqliteCommit();
    void sqliteAtEverySync();
};

void TestLossyfs::cut_data()
{
    // "durable files before | steps on the mount | files after the cut"; see files() and step().
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("cutAtSync"); // 0: cut after the steps
    QTest::newRow("new file not synced") << " | write a new | a=-" << 0;
    QTest::newRow("shorter content not synced") << "a=old-content | write a new | a=old-content" << 0;
    QTest::newRow("file synced, folder not") << " | write a new; fsync a | a=-" << 0;
    QTest::newRow("file and folder synced") << " | write a new; fsync a; fsyncdir . | a=new" << 0;
    QTest::newRow("synced data, rename not") << "a=old | write a new; fsync a; rename a b | a=new b=-" << 0;
    QTest::newRow("synced rename") << "a=A b=B | rename a b; fsyncdir . | a=- b=A" << 0;
    QTest::newRow("unlink not synced") << "a=old | unlink a | a=old" << 0;
    QTest::newRow("rename over a file not synced") << "a=A b=B | rename a b | a=A b=B" << 0;
    QTest::newRow("folder synced, parent not") << " | mkdir d; write d/f x; fsync d/f; fsyncdir d | d=- d/f=-" << 0;
    QTest::newRow("parent synced, folder not") << " | mkdir d; fsyncdir .; write d/f x; fsync d/f | d/f=-" << 0;
    // The synced folder's later changes make the move into it durable too, or undoing the move
    // would bring back the new d/a as a.
    QTest::newRow("move, then folder synced")
        << "a=old | mkdir d; fsyncdir .; rename a d/a; unlink d/a; write d/a new; fsync d/a; fsyncdir d | a=- d/a=new"
        << 0;
    const QString twoFiles = "write a x; fsync a; fsyncdir .; write b y; fsync b; fsyncdir .";
    QTest::newRow("cut at sync 2") << " | " + twoFiles + " | a=- b=-" << 2;
    QTest::newRow("cut at sync 3") << " | " + twoFiles + " | a=x b=-" << 3;
}

void TestLossyfs::cut()
{
    QFETCH(QString, script);
    QFETCH(int, cutAtSync);
    const QStringList parts = script.split('|');
    TempFolder tmp;
    const QString backing = tmp.path("backing");
    QDir().mkpath(backing);
    for (auto [name, content] : files(parts[0]).asKeyValueRange())
        writeFile(backing + '/' + name, content.toUtf8());
    MOUNT(mount, backing, tmp.path("mnt"),
          cutAtSync ? QStringList{"--cut-at-sync", QString::number(cutAtSync)} : QStringList{});
    for (const QString &s : parts[1].split(';'))
        QVERIFY2(step(tmp.path("mnt"), s) || cutAtSync, qPrintable(s));
    QVERIFY2(mount.cut(cutAtSync == 0), mount.report().constData());
    for (auto [name, content] : files(parts[2]).asKeyValueRange()) {
        const QString path = backing + '/' + name;
        QCOMPARE(QFileInfo::exists(path) ? QString(readFile(path)) : QString("-"), content);
    }
    QVERIFY2(!mount.report().contains("cannot"), mount.report().constData());
    QVERIFY(!OpSupport::entries(backing).contains(".lossyfs-stash"));
}

void TestLossyfs::tornKeepsWholeBlocksAndPrefixes()
{
    const QList<int> written{1, 3, 4, 6};
    int keptBlocks = 0, droppedBlocks = 0, partialPrefixes = 0;
    for (int seed = 1; seed <= 8; ++seed) {
        TempFolder tmp;
        const QString backing = tmp.path("backing");
        QDir().mkpath(backing);
        writeFile(backing + "/big", QByteArray(8 * 4096, 'o'));
        MOUNT(mount, backing, tmp.path("mnt"), {"--torn", QString::number(seed)});
        QFile big(tmp.path("mnt/big"));
        QVERIFY(big.open(QIODevice::ReadWrite));
        for (int b : written)
            QVERIFY(big.seek(b * 4096) && big.write(QByteArray(4096, 'n')) == 4096);
        big.close();
        for (int i = 0; i < 4; ++i)
            writeFile(tmp.path("mnt/f%1").arg(i), "x");
        QVERIFY2(mount.cut(), mount.report().constData());

        const QByteArray after = readFile(backing + "/big");
        QCOMPARE(after.size(), 8 * 4096);
        for (int b = 0; b < 8; ++b) {
            const QByteArray block = after.mid(b * 4096, 4096);
            const bool isNew = block == QByteArray(4096, 'n');
            QVERIFY2(isNew || block == QByteArray(4096, 'o'), qPrintable(QString("block %1 is torn").arg(b)));
            QVERIFY(!isNew || written.contains(b));
            if (written.contains(b))
                ++(isNew ? keptBlocks : droppedBlocks);
        }
        int kept = 0;
        while (kept < 4 && QFileInfo::exists(backing + QString("/f%1").arg(kept)))
            ++kept;
        for (int i = kept; i < 4; ++i)
            QVERIFY2(!QFileInfo::exists(backing + QString("/f%1").arg(i)), "the kept creates are not a prefix");
        partialPrefixes += kept > 0 && kept < 4;
    }
    // Eight seeds keep some blocks and drop others, and cut the creates somewhere in between.
    QVERIFY(keptBlocks > 0 && droppedBlocks > 0 && partialPrefixes > 0);
}

void TestLossyfs::sqliteCommit_data()
{
    QTest::addColumn<QString>("modes"); // journal mode and synchronous
    QTest::addColumn<int>("rows");
    // A deleted journal that comes back is hot: without the folder sync of EXTRA the commit
    // rolls back. In write-ahead-log mode, NORMAL syncs the log only at checkpoints.
    QTest::newRow("delete full") << "DELETE FULL" << 1;
    QTest::newRow("delete extra") << "DELETE EXTRA" << 201;
    QTest::newRow("truncate full") << "TRUNCATE FULL" << 201;
    QTest::newRow("wal full") << "WAL FULL" << 201;
    QTest::newRow("wal normal") << "WAL NORMAL" << 1;
}

void TestLossyfs::sqliteCommit()
{
    QFETCH(QString, modes);
    QFETCH(int, rows);
    if (QStandardPaths::findExecutable("sqlite3").isEmpty())
        QSKIP("no sqlite3 shell");
    const QStringList mode = modes.split(' ');
    TempFolder tmp;
    const QString path = makeDatabase(tmp.path("backing"), mode[0]);
    MOUNT(mount, tmp.path("backing"), tmp.path("mnt"));
    QProcess shell;
    const QString sql = QString("PRAGMA journal_mode=%1; PRAGMA synchronous=%2; ").arg(mode[0], mode[1]) + insertRows;
    QVERIFY(commitThroughShell(shell, tmp.path("mnt/db"), sql));
    QVERIFY2(mount.cut(), mount.report().constData());
    shell.kill();
    shell.waitForFinished();
    QCOMPARE(OpSupport::scalar(path, "PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(OpSupport::scalar(path, "SELECT count(*) FROM t").toInt(), rows);
}

// A cut at any sync of two commits leaves the database whole, before or after each commit.
void TestLossyfs::sqliteAtEverySync()
{
    if (QStandardPaths::findExecutable("sqlite3").isEmpty())
        QSKIP("no sqlite3 shell");
    for (const QString mode : {"DELETE", "WAL"}) {
        QSet<int> seen;
        for (int n = 1;; ++n) {
            TempFolder tmp;
            const QString path = makeDatabase(tmp.path("backing"), mode), log = tmp.path("log");
            MOUNT(mount, tmp.path("backing"), tmp.path("mnt"), {"--cut-at-sync", QString::number(n), "--log", log});
            QProcess shell;
            shell.start("sqlite3", {tmp.path("mnt/db")});
            shell.write(
                QString("PRAGMA synchronous=FULL; %1 DELETE FROM t WHERE x % 2 = 0;\n").arg(insertRows).toUtf8());
            shell.closeWriteChannel();
            QVERIFY(shell.waitForFinished(10000));
            // Fewer than n syncs: the last round, cut after both commits.
            const bool reached = syncsIn(log) >= n;
            QVERIFY2(mount.cut(!reached), mount.report().constData());
            QCOMPARE(OpSupport::scalar(path, "PRAGMA integrity_check"), QString("ok"));
            const int rows = OpSupport::scalar(path, "SELECT count(*) FROM t").toInt();
            QVERIFY2(rows == 1 || rows == 201 || rows == 100, qPrintable(QString("%1 rows").arg(rows)));
            seen.insert(rows);
            if (!reached)
                break;
        }
        QVERIFY2(seen.contains(1) && seen.contains(201), qPrintable(mode));
    }
}

QTEST_GUILESS_MAIN(TestLossyfs)
#include "tst_lossyfs.moc"
