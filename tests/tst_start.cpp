#include "app/modTarBackup.h"
#include "app/settings.h"
#include "backendmaker.h"
#include "forms/frmTvUtil.h"
#include "formsupport.h"
#include "platform/zlibtool/compressionengine.h"
#include "opsupport.h"
#include "platform/clock.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/animation/animationctrl.h"
#include "platform/stop.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "resources/clips.h"
#include "startsupport.h"
#include "testsupport.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QProcess>
#include <QtTest>

#include <csignal>

using namespace OpSupport;
using namespace StartSupport;
using namespace TestSupport;

// Backup and restore as a user runs them: the real window, logged in, Start pressed with the
// mouse, real files and databases; the window's state recorded at each step the user can see.
class TestStart : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { prepareAppFolder(); }
    void init();
    void cleanup();
    void backupWritesTvb();
    void sourceRefused_data();
    void sourceRefused();
    void backupOfLiveDatabase();
    void missingClipTouchesNothing();
    void restoreReplacesTargetOnceAYear();
    void restoreTargetMissing();
    void refusedRestoreKeepsEverything_data();
    void refusedRestoreKeepsEverything();
    void restoreFromSafetyCopySwaps();
    void restoreRefusedWhileInUse();
    void closeWaitsForTheOperation_data();
    void closeWaitsForTheOperation();
    void paintsDuringWalSnapshot();
    void askedToEndLeavesNothing();

private:
    QString safetyCopy(const QString &year) const { return Files::appPath() + "/BACK" + year + ".BAK"; }
    // Backs up database into a .TVB file of its own, through the engine.
    QString backupOf(const QString &database);
    // The back end holds what it held at init, and nothing lies beside it.
    void backEndUntouched();

    std::unique_ptr<TempFolder> tmp;
    std::unique_ptr<frmTvUtil> form;
    QString db;
    QByteArray original;
};

void TestStart::init()
{
    tmp = std::make_unique<TempFolder>();
    FormSupport::resetProgramState(tmp->path("settings"));
    db = tmp->path("BACK/BACK.MDB");
    QDir().mkpath(tmp->path("BACK"));
    QDir().mkpath(tmp->path("backups"));
    BackendMaker::make(db, {.users = {{"ADMIN", "Secret"}}, .sizeBytes = 1 << 20});
    original = readFile(db);
    Settings::SaveSetting(Settings::Key::BackEnd, db);
    form = FormSupport::loadAndLogIn();
    QVERIFY(form);
}

void TestStart::cleanup()
{
    if (form)
        QCOMPARE(Recorder(form.get()).state(), Idle);
    form.reset();
    removeSafetyCopies();
    DialogHook::reset();
}

QString TestStart::backupOf(const QString &database)
{
    const QString backup = tmp->path("backups/" + QFileInfo(database).completeBaseName() + ".TVB");
    CompressionEngine::compressFile(database, backup);
    return backup;
}

void TestStart::backEndUntouched()
{
    QCOMPARE(readFile(db), original);
    QCOMPARE(entries(tmp->path("BACK")), QStringList{"BACK.MDB"});
}

void TestStart::backupWritesTvb()
{
    // Only a dot in the file name counts: the folder's dot is left alone and ".TVB" is added.
    QDir().mkpath(tmp->path("Back.up"));
    form->txtBackTo->setText(tmp->path("Back.up/data"));
    QCOMPARE(recordStart(form.get(), 0),
             busyStart("Animation3") +
                 QStringList({"control shown [p11 S- A3 Z+]", "box 64 Backup successful. [p11 S- A3 Z+]",
                              "control hidden [p11 S- A3 Z-]", "Start on " + Idle}));
    QCOMPARE(form->txtBackTo->text(), tmp->path("Back.up/data")); // as typed
    QCOMPARE(form->ZlibTool1->InputFile(), db);
    QCOMPARE(form->ZlibTool1->OutputFile(), tmp->path("Back.up/data.TVB"));
    CompressionEngine::decompressFile(tmp->path("Back.up/data.TVB"), tmp->path("check.MDB"));
    QCOMPARE(readFile(tmp->path("check.MDB")), original);
    QCOMPARE(entries(tmp->path("Back.up")), QStringList{"data.TVB"});
}

void TestStart::sourceRefused_data()
{
    // The source the From field names; what follows the busy state, where "@" stands for the
    // source and "%1" for the backup.
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QStringList>("after");
    QTest::newRow("backup") << 0 << "never made" << QStringList{"box 16 @ not found. [p11 S- A3 Z-]", "Start on " + Idle};
    QTest::newRow("restore") << 1 << "never made" << QStringList{"box 16 @ not found. [p11 S- A1 Z-]", "Start on " + Idle};
    // Its backup could never be restored: refused before anything is written.
    QTest::newRow("backup of a letter")
        << 0 << "letter.txt"
        << QStringList{"Start on [p0 S+ A3 Z-]",
                       "box 16 321: Cannot back up \"@\" to \"%1\": it is not a database (it does not begin with "
                       "the SQLite header), so its backup could never be restored [p0 S+ A3 Z-]"};
}

void TestStart::sourceRefused()
{
    QFETCH(int, tab);
    QFETCH(QString, source);
    QFETCH(QStringList, after);
    source = tmp->path("backups/" + source);
    if (!source.endsWith("never made"))
        writeFile(source, "Dear diary, today I made a backup.\n");
    (tab == 0 ? form->txtBackFrom : form->txtRestFrom)->setText(source);
    writeFile(safetyCopy("26"), "the only good copy");
    form->txtBackTo->setText(tmp->path("backups/x.TVB"));
    for (QString &line : after)
        line = line.replace("@", source).replace("%1", tmp->path("backups/x.TVB"));
    QCOMPARE(recordStart(form.get(), tab), busyStart(tab == 0 ? "Animation3" : "Animation1") + after);
    QCOMPARE(entries(tmp->path("backups")).filter(QRegularExpression("\\.TVB$")), QStringList());
    QVERIFY(form->ZlibTool1->InputFile().isEmpty()); // the control was never fed
    backEndUntouched();
    QCOMPARE(readFile(safetyCopy("26")), QByteArray("the only good copy"));
}

void TestStart::backupOfLiveDatabase()
{
    addLedger(db, 6000);
    Child writer;
    QVERIFY(writer.start("writer", db, tmp->path("stop")));
    form->txtBackTo->setText(tmp->path("backups/live"));
    const QStringList log = recordStart(form.get(), 0);
    writeFile(tmp->path("stop"), "");
    QVERIFY(writer.finish().toLongLong() > 0);
    QVERIFY2(log.contains("box 64 Backup successful. [p11 S- A3 Z+]"), qPrintable(log.join('\n')));
    CompressionEngine::decompressFile(tmp->path("backups/live.TVB"), tmp->path("restored.MDB"));
    QCOMPARE(ledgerProblem(tmp->path("restored.MDB")), QString());
}

void TestStart::missingClipTouchesNothing()
{
    const QString clip = Files::appPath() + '/' + Clips::FileCopy;
    QVERIFY(QFile::rename(clip, clip + ".away"));
    form->txtBackTo->setText(tmp->path("backups/x.TVB"));
    form->txtRestFrom->setText(backupOf(db));
    const QStringList log = recordStart(form.get(), 0) + recordStart(form.get(), 1);
    QVERIFY(QFile::rename(clip + ".away", clip));

    QCOMPARE(log.size(), 6);
    for (int i : {0, 3}) {
        QCOMPARE(log[i], QString("Start off [p0 S- A Z-]"));
        QCOMPARE(log[i + 1], "Start on " + Idle);
        QVERIFY2(log[i + 2].startsWith("box 16 ") && log[i + 2].contains(Clips::FileCopy) && log[i + 2].endsWith(Idle),
                 qPrintable(log[i + 2]));
    }
    QCOMPARE(entries(tmp->path("backups")), QStringList{"BACK.TVB"});
    backEndUntouched();
    QVERIFY(!QFile::exists(safetyCopy("26")));
}

void TestStart::restoreReplacesTargetOnceAYear()
{
    BackendMaker::make(tmp->path("first.MDB"), {{{"ADMIN", "Secret"}, {"FIRST", "1"}}});
    BackendMaker::make(tmp->path("second.MDB"), {{{"ADMIN", "Secret"}, {"SECOND", "2"}}});
    const QByteArray first = readFile(tmp->path("first.MDB")), second = readFile(tmp->path("second.MDB"));
    const auto restore = [&](const QString &database) {
        form->txtRestFrom->setText(backupOf(tmp->path(database)));
        return recordStart(form.get(), 1);
    };
    QCOMPARE(restore("first.MDB"),
             busyStart("Animation1") +
                 QStringList({"control shown [p11 S- A1 Z+]", "box 64 Restore successful. [p11 S- A1 Z+]",
                              "control hidden [p11 S- A1 Z-]", "Start on " + Idle}));
    QCOMPARE(readFile(db), first);
    QCOMPARE(readFile(safetyCopy("26")), original);
    QCOMPARE(entries(tmp->path("BACK")), QStringList{"BACK.MDB"});
    // Again the same year: the safety copy holds the state just before; a new year gets its own.
    Clock::setSource([] { return QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59)); });
    restore("second.MDB");
    QCOMPARE(readFile(safetyCopy("26")), first);
    Clock::setSource([] { return QDateTime(QDate(2027, 1, 1), QTime(0, 0, 1)); });
    restore("first.MDB");
    QCOMPARE(readFile(safetyCopy("27")), second);
    QCOMPARE(readFile(safetyCopy("26")), first);
    QCOMPARE(readFile(db), first);
}

void TestStart::restoreTargetMissing()
{
    form->txtRestFrom->setText(backupOf(db));
    form->txtRestTo->setText(tmp->path("new place/BACK.MDB"));
    QDir().mkpath(tmp->path("new place"));
    QVERIFY(recordStart(form.get(), 1).contains("box 64 Restore successful. [p11 S- A1 Z+]"));
    QCOMPARE(readFile(tmp->path("new place/BACK.MDB")), original);
    QVERIFY(!QFile::exists(safetyCopy("26"))); // nothing to keep
}

void TestStart::refusedRestoreKeepsEverything_data()
{
    // What the From field names, made from the back end's own backup; the start of the message.
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("backup cut short") << "cut" << "321: @ is truncated";
    QTest::newRow("a frame of random bytes") << "random" << "321: @ holds no database";
    QTest::newRow("a frame of text") << "text frame" << "321: @ holds no database";
    QTest::newRow("an empty file") << "empty" << "321: @ is not a Tarvos backup file";
    QTest::newRow("a text file") << "text" << "321: @ is not a Tarvos backup file";
    QTest::newRow("the target itself") << "target" << "5: @ cannot be both";
}

void TestStart::refusedRestoreKeepsEverything()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);
    const QByteArray text = QByteArray("Dear diary, today I made a backup.\n").repeated(3000);
    QString bad = tmp->path("backups/bad.TVB");
    const auto frameOf = [&](const QByteArray &content) {
        writeFile(tmp->path("content"), content);
        CompressionEngine::compressFile(tmp->path("content"), bad);
    };
    if (kind == "cut") {
        const QByteArray bytes = readFile(backupOf(db));
        writeFile(bad, bytes.left(bytes.size() - 100));
    } else if (kind == "random") {
        QByteArray noise(200000, 0);
        for (char &c : noise)
            c = char(QRandomGenerator::global()->generate());
        frameOf(noise);
    } else if (kind == "text frame") {
        frameOf(text);
    } else if (kind == "target") {
        bad = db;
    } else {
        writeFile(bad, kind == "text" ? text : QByteArray());
    }
    writeFile(safetyCopy("26"), "the only good copy");
    form->txtRestFrom->setText(bad);
    const QStringList log = recordStart(form.get(), 1);

    message = "box 16 " + message.replace("@", quotedPath(bad));
    if (kind == "target") {
        // Refused by the checks before the work: the Start handler's error path.
        QCOMPARE(log.mid(0, 4), busyStart("Animation1") + QStringList{"Start on " + Idle});
        QVERIFY2(log.size() == 5 && log[4].startsWith(message) && log[4].endsWith(Idle), qPrintable(log.join('\n')));
    } else {
        // Pointer and Start come back before the message; the clip stops only after it.
        QCOMPARE(log.mid(0, 5),
                 busyStart("Animation1") + QStringList({"control shown [p11 S- A1 Z+]", "Start on [p0 S+ A1 Z+]"}));
        QVERIFY2(log[5].startsWith(message), qPrintable(log[5]));
        QVERIFY(log[5].endsWith("[p0 S+ A1 Z+]"));
        QCOMPARE(log.mid(6), QStringList{"control hidden [p0 S+ A1 Z-]"});
    }
    backEndUntouched();
    QCOMPARE(readFile(safetyCopy("26")), QByteArray("the only good copy"));
    QCOMPARE(entries(Files::appPath()).filter(QRegularExpression("^\\.")), QStringList());
}

void TestStart::restoreFromSafetyCopySwaps()
{
    // The operator restored the wrong backup; the safety copy is the way back, and the database
    // it replaces becomes the safety copy: nothing is lost.
    BackendMaker::make(tmp->path("wrong.MDB"), {{{"ADMIN", "Secret"}, {"WRONG", "1"}}});
    const QByteArray wrong = readFile(tmp->path("wrong.MDB"));
    form->txtRestFrom->setText(backupOf(tmp->path("wrong.MDB")));
    QVERIFY(recordStart(form.get(), 1).contains("box 64 Restore successful. [p11 S- A1 Z+]"));
    QCOMPARE(readFile(db), wrong);
    QCOMPARE(readFile(safetyCopy("26")), original);

    form->txtRestFrom->setText(safetyCopy("26"));
    QVERIFY(recordStart(form.get(), 1).contains("box 64 Restore successful. [p11 S- A1 Z+]"));
    QCOMPARE(readFile(db), original);
    QCOMPARE(readFile(safetyCopy("26")), wrong);
    QCOMPARE(entries(tmp->path("BACK")), QStringList{"BACK.MDB"});
    QCOMPARE(entries(Files::appPath()).filter(QRegularExpression("^\\.")), QStringList());
}

void TestStart::restoreRefusedWhileInUse()
{
    form->txtRestFrom->setText(backupOf(db));
    Child other;
    QVERIFY(other.start("idle", db));
    const QStringList log = recordStart(form.get(), 1);
    QCOMPARE(log.size(), 5);
    QCOMPARE(log[3], "Start on " + Idle);
    QVERIFY2(log[4].startsWith(QStringLiteral("box 16 %1: %2 is in use by another program (process %3)")
                                   .arg(EBUSY)
                                   .arg(quotedPath(db))
                                   .arg(other.pid())),
             qPrintable(log[4]));
    other.finish();
    backEndUntouched();
    QVERIFY(!QFile::exists(safetyCopy("26"))); // not even the safety copy
}

namespace {
// Asks the window to close, by its close box or its Close button, as soon as the compression
// control is shown; About pressed meanwhile is dropped.
class CloseOnShow : public QObject {
public:
    CloseOnShow(frmTvUtil *form, bool button) : form_(form), button_(button) { form->ZlibTool1->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            QMetaObject::invokeMethod(this, [this] {
                QTest::mouseClick(form_->cmdAbout, Qt::LeftButton);
                if (button_)
                    QTest::mouseClick(form_->cmdClose, Qt::LeftButton);
                else
                    form_->close();
                closeGreyedOut = !form_->cmdClose->isEnabled();
            }, Qt::QueuedConnection);
        return false;
    }
    bool closeGreyedOut = false;

private:
    frmTvUtil *form_;
    bool button_;
};
} // namespace

void TestStart::closeWaitsForTheOperation_data()
{
    QTest::addColumn<bool>("button");
    QTest::newRow("close box") << false;
    QTest::newRow("Close button") << true;
}

void TestStart::closeWaitsForTheOperation()
{
    // A close that arrives while the backup runs waits for it: the backup completes, its message is
    // shown, and only then is the window unloaded, with the settings saved.
    QFETCH(bool, button);
    // A source large enough for the backup to outlast the clicks (damaged past its header, it
    // is compressed as it is).
    const QString source = tmp->path("backups/big.MDB");
    writeFile(source, original.left(100) + randomBytes(64 << 20));
    const QString backup = tmp->path("backups/closing.TVB");
    form->txtBackFrom->setText(source);
    form->txtBackTo->setText(backup);
    QSignalSpy unloaded(form.get(), &frmTvUtil::unloaded);
    bool unloadedBeforeMessage = true;
    DialogHook::setObserver([&](const DialogHook::Shown &) { unloadedBeforeMessage = form->isUnloaded(); });
    DialogHook::answerMsgBox(Msg::OK);
    CloseOnShow closer(form.get(), button);
    pressStart(form.get(), 0);
    QVERIFY(!unloadedBeforeMessage);
    QVERIFY(closer.closeGreyedOut);
    QCOMPARE(DialogHook::shown().size(), 1); // no About dialog either
    QCOMPARE(DialogHook::shown().at(0).text, QString("Backup successful."));
    CompressionEngine::decompressFile(backup, tmp->path("check.MDB"));
    QCOMPARE(readFile(tmp->path("check.MDB")), readFile(source));
    QTRY_COMPARE(unloaded.size(), 1);
    QCOMPARE(Settings::GetSetting(Settings::Key::BackTo, QString()), backup);
    form.reset();
}

void TestStart::paintsDuringWalSnapshot()
{
    // A database in write-ahead-log mode is first copied whole as a snapshot: the window keeps
    // painting its clip meanwhile.
    const QString wal = tmp->path("Data/wal.MDB");
    QDir().mkpath(tmp->path("Data"));
    {
        RawDb raw = rawOpen(wal, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        QCOMPARE(sqlite3_exec(raw.get(),
                              "PRAGMA journal_mode=WAL; CREATE TABLE t(b); WITH RECURSIVE c(x) AS (SELECT 1 UNION "
                              "ALL SELECT x+1 FROM c WHERE x<256) INSERT INTO t SELECT randomblob(1048576) FROM c;",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
    }
    form->txtBackFrom->setText(wal);
    form->txtBackTo->setText(tmp->path("backups/wal"));
    int paintsDuringSnapshot = 0;
    const FormSupport::PaintWatch watch(form->Animation3, [&] {
        paintsDuringSnapshot += entries(tmp->path("backups")).filter(".snapshot-").isEmpty() ? 0 : 1;
    });
    QVERIFY(recordStart(form.get(), 0).contains("box 64 Backup successful. [p11 S- A3 Z+]"));
    QVERIFY2(paintsDuringSnapshot >= 1, qPrintable(QString::number(paintsDuringSnapshot)));
    QCOMPARE(entries(tmp->path("backups")), QStringList{"wal.TVB"});
}

namespace {
// The child of askedToEndLeavesNothing: the real window, logged in to the back end argv[2],
// backing up argv[3] into argv[4] with the settings in argv[5], ended the way the program ends
// on a signal.
int backUpUntilAskedToEnd(int argc, char **argv)
{
    if (argc != 6 || QByteArray(argv[1]) != "--window-backup")
        return -1;
    QApplication app(argc, argv);
    FormSupport::resetProgramState(QString::fromLocal8Bit(argv[5]));
    Settings::SaveSetting(Settings::Key::BackEnd, QString::fromLocal8Bit(argv[2]));
    std::unique_ptr<frmTvUtil> form = FormSupport::loadAndLogIn();
    if (!form)
        return 3;
    form->txtBackFrom->setText(QString::fromLocal8Bit(argv[3]));
    form->txtBackTo->setText(QString::fromLocal8Bit(argv[4]));
    QObject::connect(form.get(), &frmTvUtil::unloaded, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    Stop::installSignalHandlers([window = form.get()] { window->stopAndClose(); });
    QTimer::singleShot(0, [&] { pressStart(form.get(), 0); });
    return app.exec();
}
} // namespace

void TestStart::askedToEndLeavesNothing()
{
    // SIGTERM while a large file is backed up: the backup stops, its temporary file goes, no
    // backup file appears, and the program ends after saving its settings.
    const QString big = tmp->path("Data/big.MDB");
    QDir().mkpath(tmp->path("Data"));
    QDir().mkpath(tmp->path("out"));
    writeFile(big, original.left(100) + randomBytes(256 << 20));
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {"--window-backup", db, big, tmp->path("out/big.TVB"), tmp->path("child settings")});
    QVERIFY(child.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(!entries(tmp->path("out")).filter(".tmp-").isEmpty(), 60000);
    QVERIFY(::kill(pid_t(child.processId()), SIGTERM) == 0);
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(entries(tmp->path("out")), QStringList());
    QCOMPARE(entries(tmp->path("Data")), QStringList{"big.MDB"});
    Settings::useFolder(tmp->path("child settings"));
    QCOMPARE(Settings::GetSetting(Settings::Key::BackTo, QString()), tmp->path("out/big.TVB"));
}

int main(int argc, char **argv)
{
    if (const int rc = backUpUntilAskedToEnd(argc, argv); rc >= 0)
        return rc;
    if (const int rc = OpSupport::runChildIfAsked(argc, argv); rc >= 0)
        return rc;
    QApplication app(argc, argv);
    TestStart test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_start.moc"
