#include "backendmaker.h"
#include "crashsupport.h"
#include "operations/compaction.h"
#include "platform/zlibtool/compressionengine.h"
#include "opsupport.h"
#include "platform/dao/dbengine.h"
#include "platform/errors.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtTest>

#include <cerrno>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace CrashSupport;
using namespace TestSupport;

// Backup, restore and compaction run in a child process that is killed (SIGKILL) at points
// spread over the run. After every kill the files must be usable: the database whole (old or
// new), the backup absent, old or complete, the safety copy complete, no journal or log that
// changes what the database reads; and the same operation, run again in the same folders, must
// succeed. TARVOS_CRASH_KILLS sets the kills per case (default 5), TARVOS_CRASH_MB the size of
// the database (default 8), TARVOS_CRASH_SEED the spread of the kill moments.
namespace {

int envNumber(const char *name, int fallback, int least = 1)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value >= least ? value : fallback;
}

// "3 what, 1 other" from the counts of each.
QString tally(const QMap<QString, int> &counts)
{
    QStringList parts;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        parts << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
    return parts.join(", ");
}

// One case: an operation on a database in one journal mode, in folders made once ("base") and
// copied afresh ("work") for every run.
struct Case {
    QString operation; // backup, restore, compact
    bool wal = false;
    bool acrossFileSystems = false; // compaction of a database outside the back end's file system
    QString tag;                    // tells apart the folders of cases that share the above
    int megabytes = 0;              // the database's size, when not the run's default
    QString base, work;

    QString database(const QString &root) const
    {
        return root + (acrossFileSystems ? "/Data/Sales.mdb" : "/BACK/BACK.MDB");
    }
    QString backup() const { return work + "/out/BACK.TVB"; }
    QString restoreFrom() const { return work + "/in/OTHER.TVB"; }
    QString safetyCopy() const { return work + "/app/BACK26.BAK"; }
    QString compactTemp() const { return work + "/BACK/BACKNEW.MDB"; }
    // The child's arguments, for the case's folders under root (work, or a mount of it).
    QStringList args(const QString &root = {}) const
    {
        const QString r = root.isEmpty() ? work : root;
        if (operation == "backup")
            return {"backup", database(r), r + "/out/BACK.TVB"};
        if (operation == "restore")
            return {"restore", r + "/in/OTHER.TVB", database(r), r + "/app/BACK26.BAK"};
        return {"compact", database(r), r + "/BACK/BACKNEW.MDB"};
    }
};

const QByteArray OlderBackup = "an older backup";
const QByteArray OlderSafetyCopy = "an older safety copy";

} // namespace

class TestCrash : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void killedOperation_data();
    void killedOperation();
    void powerCut_data();
    void powerCut();
    void failedCall_data();
    void failedCall();
    void leftoverCompactedCopy_data();
    void leftoverCompactedCopy();
    void walCopySwitchedWithoutJournal();
    void writtenWhileCompacting_data();
    void writtenWhileCompacting();

private:
    // Makes the case's base folder: its database, and what the operation reads or replaces.
    void prepare(Case &c);
    void freshWork(const Case &c);
    // Checks what a killed run left in the work folder and names the phase it shows.
    QString checkAfterKill(const Case &c);
    // Checks the work folder after a run that succeeded; targetBefore is the restore target as it
    // was before that run.
    void checkFinished(const Case &c, const QByteArray &targetBefore);
    bool compareDb(const QString &path, const DbContent &expected, int line);
    // The steps of the case's operation that leave a file of their own, each with a test that
    // it has been reached.
    QList<std::pair<QString, std::function<bool()>>> steps(const Case &c) const;

    TempFolder tmp;
    int kills = 5;
    int megabytes = 8;
    quint32 seed = 20260105;
    DbContent original;   // the case's database as made
    QByteArray originalBytes;
    DbContent other;      // the database inside the restore cases' backup
    QByteArray otherBytes;
    std::unique_ptr<SmallFileSystem> backFolderFs; // the back-end folder of a case across file systems
};

void TestCrash::initTestCase()
{
    QVERIFY(!QStandardPaths::findExecutable("zstd").isEmpty());
    kills = envNumber("TARVOS_CRASH_KILLS", 5);
    megabytes = envNumber("TARVOS_CRASH_MB", 8);
    seed = quint32(envNumber("TARVOS_CRASH_SEED", int(seed)));
    qInfo("%d kills per case, databases of %d MiB, seed %u", kills, megabytes, seed);
}

void TestCrash::prepare(Case &c)
{
    const QString name = c.operation + (c.wal ? "-wal" : "") + (c.acrossFileSystems ? "-across" : "") + c.tag;
    c.base = tmp.path(name + "/base");
    c.work = tmp.path(name + "/work");
    for (const char *folder : {"/BACK", "/Data", "/out", "/in", "/app"})
        QDir().mkpath(c.base + folder);
    BackendMaker::Options options;
    options.users = {{"ADMIN", "Secret"}};
    options.sizeBytes = qint64(c.megabytes > 0 ? c.megabytes : megabytes) << 20;
    options.freePercent = 30; // work for the compaction
    options.wal = c.wal;
    BackendMaker::make(c.database(c.base), options);
    original = checkedDatabase(c.database(c.base));
    originalBytes = readFile(c.database(c.base));
    QCOMPARE(original.problem, QString());
    if (c.operation == "backup") {
        writeFile(c.base + "/out/BACK.TVB", OlderBackup);
    } else if (c.operation == "restore") {
        const QString otherDb = c.base + "/OTHER.MDB";
        options.users = {{"ADMIN", "Secret"}, {"OTHER", "x"}};
        options.freePercent = 0;
        BackendMaker::make(otherDb, options);
        other = checkedDatabase(otherDb);
        otherBytes = readFile(otherDb);
        CompressionEngine::compressFile(otherDb, c.base + "/in/OTHER.TVB");
        writeFile(c.base + "/app/BACK26.BAK", OlderSafetyCopy);
    }
}

void TestCrash::freshWork(const Case &c)
{
    backFolderFs.reset();
    QDir(c.work).removeRecursively();
    if (c.acrossFileSystems) {
        backFolderFs = std::make_unique<SmallFileSystem>(c.work + "/BACK", (qint64(megabytes) + 8) << 20);
        QVERIFY2(backFolderFs->isValid(), qPrintable(backFolderFs->why()));
    }
    copyTree(c.base, c.work);
}

void TestCrash::killedOperation_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("wal");
    QTest::addColumn<bool>("acrossFileSystems");
    for (const char *operation : {"backup", "restore", "compact"}) {
        QTest::addRow("%s, rollback journal", operation) << QString(operation) << false << false;
        QTest::addRow("%s, write-ahead log", operation) << QString(operation) << true << false;
    }
    QTest::addRow("compact, across file systems") << QString("compact") << false << true;
}

void TestCrash::killedOperation()
{
    Case c;
    QFETCH(QString, operation);
    QFETCH(bool, wal);
    QFETCH(bool, acrossFileSystems);
    c.operation = operation;
    c.wal = wal;
    c.acrossFileSystems = acrossFileSystems;
    if (c.acrossFileSystems && !SmallFileSystem::unavailable().isEmpty())
        QSKIP(qPrintable("the back-end folder needs a file system of its own: " + SmallFileSystem::unavailable()));
    prepare(c);
    QVERIFY(!QTest::currentTestFailed());
    const QStringList args = c.args();

    // Two undisturbed runs: they must succeed, and the longer one's length spreads the kills.
    qint64 duration = 1;
    for (int run = 0; run < 2; ++run) {
        freshWork(c);
        const Outcome full = runChild(args);
        QVERIFY2(full.exitCode == 0, qPrintable(full.errors));
        checkFinished(c, originalBytes);
        QVERIFY(!QTest::currentTestFailed());
        duration = qMax(duration, full.ms);
    }

    QMap<QString, int> phases;
    int leftovers = 0;
    // One round: kill a run, check what it left, run the operation again and check the result.
    Outcome killed;
    auto round = [&](const QString &when, const std::function<Outcome()> &killedRun) {
        freshWork(c);
        killed = killedRun();
        if (!killed.killed)
            QVERIFY2(killed.exitCode == 0, qPrintable(killed.errors));
        const QString phase = checkAfterKill(c);
        if (QTest::currentTestFailed())
            QFAIL(qPrintable("killed " + when));
        ++phases[killed.killed ? phase : QStringLiteral("finished before the kill")];
        for (const char *folder : {"/BACK", "/Data", "/out", "/app"})
            leftovers += int(hiddenEntries(c.work + folder).size());

        const QByteArray targetBefore = readFile(c.database(c.work));
        const Outcome again = runChild(args);
        QVERIFY2(again.exitCode == 0,
                 qPrintable(QStringLiteral("killed %1 (%2): the next run failed: %3").arg(when, phase, again.errors)));
        checkFinished(c, targetBefore);
        if (QTest::currentTestFailed())
            QFAIL(qPrintable(QStringLiteral("killed %1 (%2): wrong after the next run").arg(when, phase)));
    };

    QRandomGenerator random(seed ^ qHash(QByteArray(QTest::currentDataTag())));
    // Stratified: one kill somewhere in each of kills equal slices of the run. A run that ends
    // before its moment (runs vary with the machine's load) is made up for by further kills at
    // random moments of the shortest run seen, until kills have landed.
    int landed = 0;
    for (int i = 0; landed < kills && i < 4 * kills; ++i) {
        const double slice = i < kills ? i + random.generateDouble() : random.generateDouble() * kills;
        const qint64 delay = qint64(slice * double(duration) / kills);
        round(QStringLiteral("%1 ms into a run of %2 ms").arg(delay).arg(duration), [&] { return runChild(args, delay); });
        if (QTest::currentTestFailed())
            return;
        if (killed.killed)
            ++landed;
        else if (killed.ms > 0)
            duration = qMin(duration, killed.ms);
    }
    // And once at each step that leaves a file of its own, as soon as it shows.
    for (const auto &[step, reached] : steps(c)) {
        round(step, [&] { return runChildUntil(args, reached); });
        if (QTest::currentTestFailed())
            return;
    }
    qInfo("%s: %d kills landed over a run of %lld ms and %d at its steps: %s; hidden temporary files left behind: %d",
          QTest::currentDataTag(), landed, duration, int(steps(c).size()), qPrintable(tally(phases)), leftovers);
    QVERIFY2(landed == kills, "too many runs ended before their kill");
    backFolderFs.reset();
}

void TestCrash::powerCut_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("wal");
    QTest::addColumn<bool>("torn");
    for (const char *operation : {"backup", "restore", "compact"}) {
        for (bool wal : {false, true}) {
            for (bool torn : {false, true})
                QTest::addRow("%s, %s, %s", operation, wal ? "write-ahead log" : "rollback journal",
                              torn ? "torn writes" : "unsynced writes lost")
                    << QString(operation) << wal << torn;
        }
    }
}

void TestCrash::powerCut()
{
    // The operation runs with all its files on a file system that forgets, when the power is
    // cut, what no sync made durable (or, torn, keeps a random part of it). The cut comes at each
    // sync point of the run in turn, after the run, and at random moments of it; then the files
    // must be as after a kill, and the operation must succeed when run again.
    // TARVOS_POWERCUTS caps the sync points tried (default 20, 0 for all of them) and
    // TARVOS_POWERCUT_MOMENTS sets the cuts at random moments (default 3).
    Case c;
    QFETCH(QString, operation);
    QFETCH(bool, wal);
    QFETCH(bool, torn);
    c.operation = operation;
    c.wal = wal;
    c.tag = torn ? "-torn" : "-cut";
    prepare(c);
    QVERIFY(!QTest::currentTestFailed());
    const QString mount = c.work + "-mnt", log = c.work + "-syncs.log";
    const QStringList mode = torn ? QStringList{"--torn", QString::number(seed)} : QStringList{};
    int syncs = 0;
    qint64 duration = 1;
    {
        freshWork(c);
        OpSupport::LossyMount fs(c.work, mount, mode + QStringList{"--log", log});
        if (!fs.why().isEmpty())
            QSKIP(qPrintable(fs.why()));
        const Outcome full = runChild(c.args(mount));
        QVERIFY2(full.exitCode == 0, qPrintable(full.errors));
        syncs = int(QString::fromUtf8(readFile(log)).split('\n').filter(QRegularExpression(" fsync| fdatasync")).size());
        duration = qMax<qint64>(full.ms, 1);
    }
    QVERIFY(syncs > 0);
    const int capped = envNumber("TARVOS_POWERCUTS", 20, 0);
    const int cuts = capped == 0 ? syncs : qMin(syncs, capped);
    const int moments = envNumber("TARVOS_POWERCUT_MOMENTS", 3, 0);
    QRandomGenerator random(seed ^ qHash(QByteArray(QTest::currentDataTag())));
    QMap<QString, int> phases;
    // The cut at sync cuts + 1 comes after the run has finished: what it reported done must have
    // lasted. Those after it come at random moments of the run.
    for (int i = 0; i <= cuts + moments; ++i) {
        const bool afterRun = i == cuts, atMoment = i > cuts;
        // Spread over the run's sync points when there are more than can be tried.
        const int at = afterRun ? syncs + 1 : 1 + int(qint64(i) * syncs / cuts);
        const qint64 delay = qint64(random.generateDouble() * double(duration));
        const QString when = atMoment ? QStringLiteral("power cut %1 ms into a run of %2 ms").arg(delay).arg(duration)
                                      : QStringLiteral("power cut at sync %1 of %2").arg(at).arg(syncs);
        freshWork(c);
        Outcome run;
        {
            OpSupport::LossyMount fs(c.work, mount,
                                     atMoment ? mode : mode + QStringList{"--cut-at-sync", QString::number(at)});
            QVERIFY2(fs.why().isEmpty(), qPrintable(fs.why()));
            if (atMoment) {
                // The machine stops: the power goes, and the program with it.
                // The moment counts from the child's "go", when the operation begins.
                QElapsedTimer clock;
                bool cutDone = false;
                run = runChildUntil(c.args(mount), [&] {
                    if (!clock.isValid())
                        clock.start();
                    if (clock.elapsed() < delay)
                        return false;
                    cutDone = fs.cut(true);
                    return true;
                });
                QVERIFY2(run.killed || run.exitCode == 0, qPrintable(run.errors));
                QVERIFY2(cutDone || fs.cut(true), fs.report().constData());
            } else {
                run = runChild(c.args(mount));
                QVERIFY2(fs.cut(fs.running()), fs.report().constData());
            }
        }
        const QString phase = checkAfterKill(c);
        if (QTest::currentTestFailed())
            QFAIL(qPrintable(when));
        if (afterRun) {
            QCOMPARE(run.exitCode, 0);
            QVERIFY2(phase.startsWith(c.operation == "restore" ? "after the target was replaced"
                                      : c.operation == "backup" ? "after the backup was in place"
                                                                : "after the copy was in place"),
                     qPrintable("a finished run did not last through a power cut: " + phase));
        }
        ++phases[phase];
        const QByteArray targetBefore = readFile(c.database(c.work));
        const Outcome again = runChild(c.args());
        QVERIFY2(again.exitCode == 0,
                 qPrintable(QStringLiteral("%1 (%2): the next run failed: %3").arg(when, phase, again.errors)));
        checkFinished(c, targetBefore);
        if (QTest::currentTestFailed())
            QFAIL(qPrintable(QStringLiteral("%1 (%2): wrong after the next run").arg(when, phase)));
    }
    qInfo("%s: %d power cuts over %d sync points, one after the run and %d at random moments of a run of %lld ms: %s",
          QTest::currentDataTag(), cuts, syncs, moments, duration, qPrintable(tally(phases)));
}

void TestCrash::failedCall_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("wal");
    for (const char *operation : {"backup", "restore", "compact"}) {
        QTest::addRow("%s, rollback journal", operation) << QString(operation) << false;
        QTest::addRow("%s, write-ahead log", operation) << QString(operation) << true;
    }
}

void TestCrash::failedCall()
{
    // Each call the operation makes to the file system (open, read, write, sync, rename, unlink,
    // a folder's listing...) fails in turn through libfiu, with EIO or ENOSPC. The run must end
    // with one message that gives the number and names a file, or, where the call did not
    // matter, with the complete result; a failed sync is never passed over. Every file must be
    // as before or complete, with no temporary file left, and the operation must then succeed.
    // Without TARVOS_FAILED_CALLS, 3 calls of each kind are tried, with EIO and ENOSPC in turn;
    // with it, that many (0: all of them), each with both.
    Case c;
    QFETCH(QString, operation);
    QFETCH(bool, wal);
    c.operation = operation;
    c.wal = wal;
    c.tag = "-fiu";
    c.megabytes = 2;
    prepare(c);
    QVERIFY(!QTest::currentTestFailed());
    freshWork(c);
    const Outcome counted = runChildFailingCall(c.args(), "count");
    QVERIFY2(counted.exitCode == 0, qPrintable(counted.errors));
    QMap<QString, long> calls;
    for (const QByteArray &line : counted.output.split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() == 3 && words[0] == "calls")
            calls.insert(QString::fromLatin1(words[1]), words[2].toLong());
    }
    QVERIFY2(calls.value("posix/io/sync/fsync") + calls.value("posix/io/sync/fdatasync") > 0,
             "the operation made no sync: is libfiu's preload in place?");

    const bool shortForm = !qEnvironmentVariableIsSet("TARVOS_FAILED_CALLS");
    const int cap = envNumber("TARVOS_FAILED_CALLS", 3, 0);
    const QRegularExpression oneMessage(QStringLiteral("^\\d+: [^\\n]*") + QRegularExpression::escape(c.work));
    QMap<QString, int> ended;
    for (auto it = calls.begin(); it != calls.end(); ++it) {
        const long n = it.value();
        const long tried = cap == 0 ? n : qMin<long>(n, cap);
        for (long i = 0; i < tried; ++i) {
            const long index = tried == n ? i + 1 : 1 + i * (n - 1) / qMax<long>(tried - 1, 1);
            QList<int> errnos{EIO, ENOSPC};
            if (shortForm)
                errnos = {i % 2 ? ENOSPC : EIO};
            for (const int err : errnos) {
                const QString asked = QStringLiteral("%1 %2 %3").arg(it.key()).arg(index).arg(err);
                const QString when = QStringLiteral("call %1 of %2 of %3 failed with %4")
                                         .arg(index).arg(n).arg(it.key(), err == EIO ? "EIO" : "ENOSPC");
                freshWork(c);
                const Outcome run = runChildFailingCall(c.args(), asked);
                if (!run.output.contains("failed " + it.key().toLatin1())) {
                    QVERIFY2(run.exitCode == 0, qPrintable(when + ", not reached: " + run.errors));
                    checkFinished(c, originalBytes);
                    if (QTest::currentTestFailed())
                        QFAIL(qPrintable(when + ": not reached, and the result is wrong"));
                    ++ended["not reached"];
                    continue;
                }
                if (run.exitCode == 0) {
                    QVERIFY2(!it.key().contains("/sync/"), qPrintable(when + ": a failed sync was passed over"));
                    // A temporary file that could not be removed is left for the next run to remove.
                    if (it.key().endsWith("/unlink")) {
                        const QByteArray targetBefore = readFile(c.database(c.work));
                        QCOMPARE(runChild(c.args()).exitCode, 0);
                        checkFinished(c, targetBefore);
                    } else {
                        checkFinished(c, originalBytes);
                    }
                    if (QTest::currentTestFailed())
                        QFAIL(qPrintable(when + ": the run succeeded, and the result is wrong"));
                    ++ended[it.key().section('/', -1) + " passed over"];
                    continue;
                }
                QVERIFY2(run.exitCode == 1, qPrintable(when + ": " + run.errors));
                QVERIFY2(oneMessage.match(run.errors).hasMatch() && !run.errors.contains('\n'),
                         qPrintable(when + ", not one message naming a file: " + run.errors));
                checkAfterKill(c);
                if (QTest::currentTestFailed())
                    QFAIL(qPrintable(when));
                for (const char *folder : {"/BACK", "/Data", "/out", "/app"})
                    QVERIFY2(hiddenEntries(c.work + folder).isEmpty(),
                             qPrintable(when + ", left " + hiddenEntries(c.work + folder).join(", ")));
                const QByteArray targetBefore = readFile(c.database(c.work));
                const Outcome again = runChild(c.args());
                QVERIFY2(again.exitCode == 0, qPrintable(when + ": the next run failed: " + again.errors));
                checkFinished(c, targetBefore);
                if (QTest::currentTestFailed())
                    QFAIL(qPrintable(when + ": wrong after the next run"));
                ++ended[it.key().section('/', -1) + " refused"];
            }
        }
    }
    QStringList made;
    for (auto it = calls.begin(); it != calls.end(); ++it)
        made << QStringLiteral("%1 %2").arg(it.value()).arg(it.key().section('/', -1));
    qInfo("%s: calls made: %s; ended: %s", QTest::currentDataTag(), qPrintable(made.join(", ")),
          qPrintable(tally(ended)));
}

QList<std::pair<QString, std::function<bool()>>> TestCrash::steps(const Case &c) const
{
    const QString database = c.database(c.work);
    auto hiddenIn = [](const QString &folder, const QString &part) {
        return [=] { return !hiddenEntries(folder).filter(part).isEmpty(); };
    };
    // The database's name leads to another file once it has been replaced (the first look, made
    // as the run begins, notes the file).
    auto replaced = [database, inode = ino_t(0)]() mutable {
        struct stat st;
        if (::stat(QFile::encodeName(database).constData(), &st) != 0)
            return false;
        if (inode == 0)
            inode = st.st_ino;
        return st.st_ino != inode;
    };
    if (c.operation == "backup")
        return {{"when the backup began to be written", hiddenIn(c.work + "/out", ".tmp-")}};
    if (c.operation == "restore")
        return {{"when the restored file began to be staged", hiddenIn(c.work + "/BACK", ".restore-")},
                {"when the safety copy began to be written", hiddenIn(c.work + "/app", ".safety-")},
                {"when the safety copy was in place", [safety = c.safetyCopy()] { return readFile(safety) != OlderSafetyCopy; }},
                {"when the target was replaced", replaced}};
    return {{"when the compacted copy began to be written", hiddenIn(c.work + "/BACK", ".tmp-")},
            {"when the compacted copy was complete", [temp = c.compactTemp()] { return QFile::exists(temp); }},
            {"when the database was replaced", replaced}};
}

bool TestCrash::compareDb(const QString &path, const DbContent &expected, int line)
{
    return QTest::qCompare(checkedDatabase(path), expected, qPrintable(path), "expected", __FILE__, line);
}

QString TestCrash::checkAfterKill(const Case &c)
{
    const QString database = c.database(c.work);
    const QStringList hiddenBack = hiddenEntries(QFileInfo(database).path());

    if (c.operation == "backup") {
        if (!compareDb(database, original, __LINE__))
            return {};
        const QStringList hidden = hiddenEntries(c.work + "/out");
        const bool compressing = !hidden.filter(".tmp-").isEmpty();
        const bool snapshot = !hidden.filter(".snapshot-").isEmpty();
        if (readFile(c.backup()) == OlderBackup)
            return compressing ? QStringLiteral("while compressing")
                               : snapshot ? QStringLiteral("while taking the snapshot") : QStringLiteral("before writing");
        if (!QTest::qVerify(zstdAccepts(c.backup()), "zstd -t", "the backup is complete", __FILE__, __LINE__))
            return {};
        const QByteArray content = unzstd(c.backup());
        if (!c.wal) {
            if (!QTest::qVerify(content == originalBytes, "content", "the source's bytes", __FILE__, __LINE__))
                return {};
        } else {
            writeFile(c.work + "/unpacked.MDB", content);
            if (!compareDb(c.work + "/unpacked.MDB", original, __LINE__))
                return {};
            QFile::remove(c.work + "/unpacked.MDB");
        }
        return QStringLiteral("after the backup was in place");
    }

    if (c.operation == "restore") {
        const QByteArray safety = readFile(c.safetyCopy());
        if (!QTest::qVerify(safety == OlderSafetyCopy || safety == originalBytes, "safety copy",
                            "the older safety copy or the target as it was", __FILE__, __LINE__))
            return {};
        if (!QTest::qVerify(readFile(c.restoreFrom()) == readFile(c.base + "/in/OTHER.TVB"), "backup",
                            "the backup as it was", __FILE__, __LINE__))
            return {};
        const DbContent now = checkedDatabase(database);
        if (now == other)
            return QStringLiteral("after the target was replaced");
        if (!QTest::qCompare(now, original, "target", "target before", __FILE__, __LINE__))
            return {};
        // The safety copy is replaced only once the restored content is complete beside the target.
        if (safety == originalBytes)
            return QStringLiteral("after the safety copy was in place, before the target was replaced");
        return hiddenBack.filter(".restore-").isEmpty() ? QStringLiteral("before staging")
                                                        : QStringLiteral("while staging the restored file");
    }

    const DbContent now = checkedDatabase(database);
    if (!QTest::qCompare(now.problem, QString(), "problem", "none", __FILE__, __LINE__) ||
        !QTest::qCompare(now.digest, original.digest, "rows", "rows before", __FILE__, __LINE__))
        return {};
    const bool compacted = now.freePages == 0;
    if (!compacted && !QTest::qVerify(readFile(database) == originalBytes, "database", "the database as it was",
                                      __FILE__, __LINE__))
        return {};
    // The compacted database keeps the journal mode (the header's file format versions: 2 for WAL).
    if (compacted && !QTest::qCompare(int(readFile(database).mid(18, 1).at(0)), c.wal ? 2 : 1, "journal mode",
                                      "as before", __FILE__, __LINE__))
        return {};
    if (QFile::exists(c.compactTemp())) {
        const DbContent copy = checkedDatabase(c.compactTemp());
        if (!QTest::qCompare(copy.problem, QString(), "BACKNEW.MDB", "sound", __FILE__, __LINE__) ||
            !QTest::qCompare(copy.digest, original.digest, "BACKNEW.MDB rows", "rows before", __FILE__, __LINE__))
            return {};
        return compacted ? QStringLiteral("after the copy was in place, BACKNEW.MDB still there")
                         : QStringLiteral("with the copy complete as BACKNEW.MDB");
    }
    if (compacted)
        return QStringLiteral("after the copy was in place");
    return hiddenEntries(c.work + "/BACK").isEmpty() ? QStringLiteral("before compacting")
                                                     : QStringLiteral("while compacting");
}

void TestCrash::checkFinished(const Case &c, const QByteArray &targetBefore)
{
    const QString database = c.database(c.work);
    if (c.operation == "backup") {
        QVERIFY(compareDb(database, original, __LINE__));
        const QByteArray content = unzstd(c.backup());
        QVERIFY(!content.isNull());
        if (!c.wal)
            QVERIFY(content == originalBytes);
        writeFile(c.work + "/unpacked.MDB", content);
        QVERIFY(compareDb(c.work + "/unpacked.MDB", original, __LINE__));
        QFile::remove(c.work + "/unpacked.MDB");
    } else if (c.operation == "restore") {
        QVERIFY(readFile(database) == otherBytes);
        QVERIFY(compareDb(database, other, __LINE__));
        QVERIFY(readFile(c.safetyCopy()) == targetBefore); // the target as it was just before
    } else {
        const DbContent now = checkedDatabase(database);
        QCOMPARE(now.problem, QString());
        QCOMPARE(now.digest, original.digest);
        QCOMPARE(now.freePages, 0);
        QVERIFY(!QFile::exists(c.compactTemp()));
    }
    // Whatever killed runs left beside the files the run wrote has gone with it.
    for (const char *folder : {"/BACK", "/Data", "/out", "/app"})
        QVERIFY2(hiddenEntries(c.work + folder).isEmpty(), qPrintable(hiddenEntries(c.work + folder).join(", ")));
    // Nothing that SQLite would pair with the database or with the next compaction's copy.
    for (const QString &file : {database, c.compactTemp()}) {
        for (const char *suffix : {"-journal", "-wal", "-shm"})
            QVERIFY2(!QFile::exists(file + suffix), qPrintable(file + suffix));
    }
}

void TestCrash::leftoverCompactedCopy_data()
{
    // What lies at BACKNEW.MDB when the compaction starts, and whether it goes away so the
    // compaction can run (only a copy that holds exactly what the database holds may go).
    QTest::addColumn<QString>("leftover");
    QTest::addColumn<bool>("removed");
    QTest::newRow("copy of the same rows") << "copy" << true;
    QTest::newRow("copy in write-ahead-log mode") << "wal copy" << true;
    QTest::newRow("copy with its log and index beside it") << "wal files" << true;
    QTest::newRow("copy of an older state") << "older" << false;
    QTest::newRow("another database") << "other" << false;
    QTest::newRow("copy with a journal beside it") << "journal" << false;
    QTest::newRow("copy held open by a program") << "open" << false;
    QTest::newRow("the database itself") << "itself" << false;
    QTest::newRow("link to the database") << "symlink" << false;
    QTest::newRow("second name of the database") << "hard link" << false;
}

void TestCrash::leftoverCompactedCopy()
{
    QFETCH(QString, leftover);
    QFETCH(bool, removed);
    TempFolder folder;
    const QString temp = folder.path("BACKNEW.MDB");
    QString source = folder.path("BACK.MDB");
    BackendMaker::Options options;
    options.users = {{"ADMIN", "Secret"}};
    options.sizeBytes = 512 << 10;
    options.freePercent = 40;
    BackendMaker::make(source, options);
    OpSupport::Child user;
    if (leftover == "copy" || leftover == "wal copy" || leftover == "wal files" || leftover == "older" ||
        leftover == "journal" || leftover == "open") {
        dbEngine().CompactDatabase(source, temp);
        if (leftover.startsWith("wal"))
            QCOMPARE(OpSupport::scalar(temp, "PRAGMA journal_mode = WAL"), QString("wal"));
        if (leftover == "wal files") {
            // As a compaction stopped while it switched the copy to that mode leaves them.
            writeFile(temp + "-wal", "");
            writeFile(temp + "-shm", "");
        }
        if (leftover == "older") // one letter changed: the same types and lengths
            QVERIFY(OpSupport::rawExec(OpSupport::rawOpen(source).get(),
                                       "UPDATE User SET UserPassword = 'Secreu' WHERE UserName = 'ADMIN'"));
        if (leftover == "journal")
            writeFile(temp + "-journal", "");
        if (leftover == "open")
            QVERIFY(user.start("idle", temp));
    } else if (leftover == "other") {
        BackendMaker::make(temp, {{{"ADMIN", "Secret"}}});
    } else if (leftover == "itself") {
        QVERIFY(QFile::rename(source, temp));
        source = temp;
    } else if (leftover == "symlink") {
        QVERIFY(QFile::link(source, temp));
    } else {
        QVERIFY(::link(QFile::encodeName(source).constData(), QFile::encodeName(temp).constData()) == 0);
    }
    const QByteArray sourceBefore = readFile(source);
    const DbContent rows = checkedDatabase(source);
    const QStringList files = OpSupport::entries(folder.path());

    if (removed) {
        Operations::compact(source, temp);
        QVERIFY(!QFile::exists(temp));
        QCOMPARE(OpSupport::entries(folder.path()), QStringList{"BACK.MDB"});
        QCOMPARE(checkedDatabase(source).digest, rows.digest);
        QCOMPARE(checkedDatabase(source).freePages, 0);
    } else {
        try {
            Operations::compact(source, temp);
            QFAIL("the compaction ran over an existing BACKNEW.MDB");
        } catch (const Error &e) {
            QVERIFY2(e.description().endsWith(quotedPath(temp) + " already exists"), qPrintable(e.message()));
        }
        if (leftover == "open")
            user.finish();
        QCOMPARE(OpSupport::entries(folder.path()), files);
        QVERIFY(readFile(source) == sourceBefore);
        QVERIFY(QFileInfo(temp).isSymLink() == (leftover == "symlink"));
    }
}

void TestCrash::walCopySwitchedWithoutJournal()
{
    // The copy of a database in write-ahead-log mode is switched to that mode before it is put
    // in place. A program stopped during the switch must leave a copy that the next compaction
    // can remove: one with no rollback journal beside it, which is never created.
    TempFolder folder;
    const QString source = folder.path("BACK.MDB");
    BackendMaker::Options options;
    options.users = {{"ADMIN", "Secret"}};
    options.sizeBytes = 256 << 10;
    options.wal = true;
    BackendMaker::make(source, options);
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(fd >= 0);
    QVERIFY(::inotify_add_watch(fd, QFile::encodeName(folder.path()).constData(), IN_CREATE | IN_MOVED_TO) >= 0);
    Operations::compact(source, folder.path("BACKNEW.MDB"));
    QStringList created;
    alignas(inotify_event) char events[64 << 10];
    ssize_t size;
    while ((size = ::read(fd, events, sizeof events)) > 0) {
        for (char *at = events; at < events + size; at += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(at)->len)
            created << QString::fromLocal8Bit(reinterpret_cast<inotify_event *>(at)->name);
    }
    ::close(fd);
    QVERIFY2(created.contains("BACKNEW.MDB"), qPrintable(created.join(", ")));
    QVERIFY2(!created.contains("BACKNEW.MDB-journal"), qPrintable(created.join(", ")));
}

void TestCrash::writtenWhileCompacting_data()
{
    // Another program opens the database, runs sql and closes it while the compacted copy is
    // checked: a write must never be undone by putting the older copy in place.
    QTest::addColumn<bool>("wal");
    QTest::addColumn<QString>("sql");
    QTest::addColumn<bool>("refused");
    const QString update = "UPDATE User SET UserPassword = 'changed'";
    const QString read = "SELECT count(*) FROM User";
    QTest::newRow("rollback journal, a row changed") << false << update << true;
    QTest::newRow("write-ahead log, a row changed") << true << update << true;
    QTest::newRow("rollback journal, only read") << false << read << false;
    QTest::newRow("write-ahead log, only read") << true << read << false;
}

void TestCrash::writtenWhileCompacting()
{
    QFETCH(bool, wal);
    QFETCH(QString, sql);
    QFETCH(bool, refused);
    TempFolder folder;
    const QString source = folder.path("BACK.MDB");
    BackendMaker::Options options;
    options.users = {{"ADMIN", "Secret"}};
    options.sizeBytes = 512 << 10;
    options.freePercent = 40;
    options.wal = wal;
    BackendMaker::make(source, options);
    const DbContent before = checkedDatabase(source);
    auto compactAndUse = [&](const QString &src, const QString &dst) {
        dbEngine().CompactDatabase(src, dst);
        QVERIFY(OpSupport::rawExec(OpSupport::rawOpen(src).get(), sql.toUtf8().constData()));
    };

    if (!refused) {
        Operations::compact(source, folder.path("BACKNEW.MDB"), compactAndUse);
        QCOMPARE(checkedDatabase(source).digest, before.digest);
        QCOMPARE(checkedDatabase(source).freePages, 0);
    } else {
        try {
            Operations::compact(source, folder.path("BACKNEW.MDB"), compactAndUse);
            QFAIL("the compacted copy was put in place over a newer database");
        } catch (const Error &e) {
            QCOMPARE(e.number(), EBUSY);
            QVERIFY2(e.description().contains("was changed by another program while it was being compacted"),
                     qPrintable(e.message()));
        }
        QCOMPARE(OpSupport::scalar(source, "SELECT group_concat(UserPassword) FROM User"), QString("changed"));
        QCOMPARE(checkedDatabase(source).freePages, before.freePages);
    }
    QCOMPARE(OpSupport::entries(folder.path()), QStringList{"BACK.MDB"});
}

int main(int argc, char **argv)
{
    if (const int rc = runOperationIfAsked(argc, argv); rc >= 0)
        return rc;
    if (const int rc = OpSupport::runChildIfAsked(argc, argv); rc >= 0)
        return rc;
    // Many kills take long: the test library's limit for one test function (five minutes by
    // default) grows with their number unless it was set.
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(300000 + 30000 * envNumber("TARVOS_CRASH_KILLS", 5)));
    QCoreApplication app(argc, argv);
    TestCrash test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crash.moc"
