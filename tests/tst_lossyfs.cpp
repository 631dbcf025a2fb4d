#include "opsupport.h"
#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

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
    if (w[0] == "fsync" || w[0] == "fsyncdir") {
        const int fd = ::open(a.constData(), O_RDONLY | (w[0] == "fsync" ? 0 : O_DIRECTORY));
        return fd >= 0 && ::fsync(fd) == 0 && ::close(fd) == 0;
    }
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

} // namespace

class TestLossyfs : public QObject {
    Q_OBJECT

private slots:
    void cut_data();
    void cut();
    void sqliteCommit_data();
    void sqliteCommit();
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
    QTest::newRow("synced rename") << "a=A b=B | rename a b; fsyncdir . | a=- b=A" << 0;
    QTest::newRow("unlink not synced") << "a=old | unlink a | a=old" << 0;
    QTest::newRow("folder synced, parent not") << " | mkdir d; write d/f x; fsync d/f; fsyncdir d | d=- d/f=-" << 0;
    // The synced folder's later changes make the move into it durable too, or undoing the move
    // would bring back the new d/a as a.
    QTest::newRow("move, then folder synced")
        << "a=old | mkdir d; fsyncdir .; rename a d/a; unlink d/a; write d/a new; fsync d/a; fsyncdir d | a=- d/a=new"
        << 0;
    const QString twoFiles = "write a x; fsync a; fsyncdir .; write b y; fsync b; fsyncdir .";
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
    OpSupport::LossyMount mount(backing, tmp.path("mnt"),
                                cutAtSync ? QStringList{"--cut-at-sync", QString::number(cutAtSync)} : QStringList{});
    if (!mount.why().isEmpty())
        QSKIP(qPrintable(mount.why()));
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

// The sqlite3 shell commits 200 rows on the mount and stays open until the cut.
void TestLossyfs::sqliteCommit()
{
    QFETCH(QString, modes);
    QFETCH(int, rows);
    if (QStandardPaths::findExecutable("sqlite3").isEmpty())
        QSKIP("no sqlite3 shell");
    const QStringList mode = modes.split(' ');
    TempFolder tmp;
    QDir().mkpath(tmp.path("backing"));
    const QString path = tmp.path("backing/db");
    QVERIFY(OpSupport::rawExec(OpSupport::rawOpen(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE).get(),
                               qPrintable("PRAGMA journal_mode=" + mode[0] + "; CREATE TABLE t(x, y); "
                                          "INSERT INTO t VALUES(0, randomblob(3000));")));
    OpSupport::LossyMount mount(tmp.path("backing"), tmp.path("mnt"));
    if (!mount.why().isEmpty())
        QSKIP(qPrintable(mount.why()));
    QProcess shell;
    shell.start("sqlite3", {tmp.path("mnt/db")});
    shell.write(QString("PRAGMA journal_mode=%1; PRAGMA synchronous=%2; BEGIN; WITH RECURSIVE c(i) AS (SELECT 1 "
                        "UNION ALL SELECT i + 1 FROM c WHERE i < 200) INSERT INTO t SELECT i, randomblob(3000) FROM c; "
                        "COMMIT; SELECT 'committed';\n")
                    .arg(mode[0], mode[1])
                    .toUtf8());
    while (!shell.readAllStandardOutput().contains("committed"))
        QVERIFY(shell.waitForReadyRead(10000));
    QVERIFY2(mount.cut(), mount.report().constData());
    shell.kill();
    shell.waitForFinished();
    QCOMPARE(OpSupport::scalar(path, "PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(OpSupport::scalar(path, "SELECT count(*) FROM t").toInt(), rows);
}

QTEST_GUILESS_MAIN(TestLossyfs)
#include "tst_lossyfs.moc"
