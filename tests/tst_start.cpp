#include "app/modTarBackup.h"
#include "app/settings.h"
#include "backendmaker.h"
#include "forms/frmTvUtil.h"
#include "formsupport.h"
#include "operations/compressor.h"
#include "opsupport.h"
#include "platform/clock.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "resources/clips.h"
#include "startsupport.h"
#include "testsupport.h"

#include <QApplication>
#include <QLineEdit>
#include <QtTest>

using namespace OpSupport;
using namespace StartSupport;
using namespace TestSupport;

// Backup and restore as a user runs them: the real window, logged in, Start pressed with the
// mouse, real files and databases; the window's state recorded at each step the user can see.
class TestStart : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void backupWritesTvb_data();
    void backupWritesTvb();
    void backupSourceMissing();
    void backupOfLiveDatabase();
    void missingClipTouchesNothing();
    void restoreReplacesTarget();
    void restoreTwiceInAYear();
    void restoreBackupMissing();
    void restoreTargetMissing();
    void damagedBackupRefused();
    void restoreRefusedWhileInUse();
    void closeWaitsForTheOperation();

private:
    QString safetyCopy(const QString &year) const { return Files::appPath() + "/BACK" + year + ".BAK"; }
    // Backs up database into a .TVB file of its own, through the engine.
    QString backupOf(const QString &database);

    std::unique_ptr<TempFolder> tmp;
    std::unique_ptr<frmTvUtil> form;
    QString db;
};

void TestStart::initTestCase()
{
    prepareAppFolder();
}

void TestStart::init()
{
    tmp = std::make_unique<TempFolder>();
    FormSupport::resetProgramState(tmp->path("settings"));
    db = tmp->path("BACK/BACK.MDB");
    QDir().mkpath(tmp->path("BACK"));
    QDir().mkpath(tmp->path("backups"));
    BackendMaker::Options options;
    options.users = {{"ADMIN", "Secret"}};
    options.sizeBytes = 1 << 20;
    BackendMaker::make(db, options);
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
    Operations::EngineCompressor().compress(database, backup);
    return backup;
}

void TestStart::backupWritesTvb_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("written");
    QTest::newRow("no extension") << "backups/monday"
                                  << "backups/monday.TVB";
    QTest::newRow("mdb") << "backups/data.mdb"
                         << "backups/data.TVB";
    QTest::newRow("dot in folder") << "Back.up/data"
                                   << "Back.up/data.TVB";
}

void TestStart::backupWritesTvb()
{
    QFETCH(QString, typed);
    QFETCH(QString, written);
    QDir().mkpath(tmp->path("Back.up"));
    form->txtBackTo->setText(tmp->path(typed));
    Recorder recorder(form.get());
    DialogHook::answerMsgBox(Msg::OK);
    pressStart(form.get(), 0);

    QCOMPARE(recorder.log(), QStringList({"Start off [p0 S- A Z-]", "Animation3 frame 0 [p11 S- A Z-]",
                                          "Animation3 frame 0 [p11 S- A Z-]", "control shown [p11 S- A3 Z+]",
                                          "box 64 Backup successful. [p11 S- A3 Z+]", "control hidden [p11 S- A3 Z-]",
                                          "Start on " + Idle}));
    QCOMPARE(form->txtBackTo->text(), tmp->path(typed)); // as typed
    QCOMPARE(form->ZlibTool1->InputFile(), db);
    QCOMPARE(form->ZlibTool1->OutputFile(), tmp->path(written));
    Operations::EngineCompressor().decompress(tmp->path(written), tmp->path("check.MDB"));
    QCOMPARE(readFile(tmp->path("check.MDB")), readFile(db));
    QCOMPARE(entries(QFileInfo(tmp->path(written)).path()), QStringList{QFileInfo(written).fileName()});
}

void TestStart::backupSourceMissing()
{
    form->txtBackFrom->setText(tmp->path("BACK/gone.MDB"));
    form->txtBackTo->setText(tmp->path("backups/x.TVB"));
    Recorder recorder(form.get());
    DialogHook::answerMsgBox(Msg::OK);
    pressStart(form.get(), 0);
    QCOMPARE(
        recorder.log(),
        QStringList({"Start off [p0 S- A Z-]", "Animation3 frame 0 [p11 S- A Z-]", "Animation3 frame 0 [p11 S- A Z-]",
                     "box 16 " + tmp->path("BACK/gone.MDB") + " not found. [p11 S- A3 Z-]", "Start on " + Idle}));
    QVERIFY(entries(tmp->path("backups")).isEmpty());
    QVERIFY(form->ZlibTool1->InputFile().isEmpty()); // the control was never fed
}

void TestStart::backupOfLiveDatabase()
{
    addLedger(db, 6000);
    Child writer;
    QVERIFY(writer.start("writer", db, tmp->path("stop")));
    form->txtBackTo->setText(tmp->path("backups/live"));
    DialogHook::answerMsgBox(Msg::OK);
    pressStart(form.get(), 0);
    writeFile(tmp->path("stop"), "");
    QVERIFY(writer.finish().toLongLong() > 0);
    QCOMPARE(DialogHook::shown().last().text, QString("Backup successful."));
    Operations::EngineCompressor().decompress(tmp->path("backups/live.TVB"), tmp->path("restored.MDB"));
    QCOMPARE(ledgerProblem(tmp->path("restored.MDB")), QString());
}

void TestStart::missingClipTouchesNothing()
{
    const QString clip = Files::appPath() + '/' + Clips::FileCopy;
    QVERIFY(QFile::rename(clip, clip + ".away"));
    form->txtBackTo->setText(tmp->path("backups/x.TVB"));
    form->txtRestFrom->setText(backupOf(db));
    const QByteArray before = readFile(db);
    Recorder recorder(form.get());
    DialogHook::answerMsgBox(Msg::OK);
    DialogHook::answerMsgBox(Msg::OK);
    pressStart(form.get(), 0);
    pressStart(form.get(), 1);
    QVERIFY(QFile::rename(clip + ".away", clip));

    const QStringList log = recorder.log();
    QCOMPARE(log.size(), 6);
    for (int i : {0, 3})
        QCOMPARE(log[i], QString("Start off [p0 S- A Z-]"));
    for (int i : {1, 4})
        QCOMPARE(log[i], "Start on " + Idle);
    for (int i : {2, 5}) {
        QVERIFY2(log[i].startsWith("box 16 ") && log[i].contains(Clips::FileCopy) && log[i].endsWith(Idle),
                 qPrintable(log[i]));
    }
    QCOMPARE(entries(tmp->path("backups")), QStringList{"BACK.TVB"});
    QCOMPARE(readFile(db), before);
    QVERIFY(!QFile::exists(safetyCopy("26")));
}

void TestStart::restoreReplacesTarget()
{
    const QString other = tmp->path("other.MDB");
    BackendMaker::make(other, {{{"ADMIN", "Secret"}, {"OTHER", "x"}}});
    form->txtRestFrom->setText(backupOf(other));
    const QByteArray before = readFile(db);
    Recorder recorder(form.get());
    DialogHook::answerMsgBox(Msg::OK);
    pressStart(form.get(), 1);

    QCOMPARE(recorder.log(), QStringList({"Start off [p0 S- A Z-]", "Animation1 frame 0 [p11 S- A Z-]",
                                          "Animation1 frame 0 [p11 S- A Z-]", "control shown [p11 S- A1 Z+]",
                                          "box 64 Restore successful. [p11 S- A1 Z+]", "control hidden [p11 S- A1 Z-]",
                                          "Start on " + Idle}));
    QCOMPARE(readFile(db), readFile(other));
    QCOMPARE(readFile(safetyCopy("26")), before);
    QCOMPARE(entries(tmp->path("BACK")), QStringList{"BACK.MDB"});
}

void TestStart::restoreTwiceInAYear()
{
    BackendMaker::make(tmp->path("first.MDB"), {{{"ADMIN", "Secret"}, {"FIRST", "1"}}});
    BackendMaker::make(tmp->path("second.MDB"), {{{"ADMIN", "Secret"}, {"SECOND", "2"}}});
    const QByteArray original = readFile(db);
    DialogHook::answerMsgBox(Msg::OK);
    DialogHook::answerMsgBox(Msg::OK);
    DialogHook::answerMsgBox(Msg::OK);

    form->txtRestFrom->setText(backupOf(tmp->path("first.MDB")));
    pressStart(form.get(), 1);
    QCOMPARE(readFile(safetyCopy("26")), original);
    Clock::setSource([] { return QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59)); });
    form->txtRestFrom->setText(backupOf(tmp->path("second.MDB")));
    pressStart(form.get(), 1);
    QCOMPARE(readFile(safetyCopy("26")), readFile(tmp->path("first.MDB"))); // the state just before
    Clock::setSource([] { return QDateTime(QDate(2027, 1, 1), QTime(0, 0, 1)); });
    form->txtRestFrom->setText(backupOf(tmp->path("first.MDB")));
    pressStart(form.get(), 1);
    QCOMPARE(readFile(safetyCopy("27")), readFile(tmp->path("second.MDB")));
    QCOMPARE(readFile(safetyCopy("26")), readFile(tmp->path("first.MDB")));
    QCOMPARE(readFile(db), readFile(tmp->path("first.MDB")));
}

void TestStart::restoreBackupMissing()
{
    form->txtRestFrom->setText(tmp->path("backups/never made.TVB"));
    const QByteArray before = readFile(db);
    Recorder recorder(form.get());
    DialogHook::answerMsgBox(Msg::OK);
    pressStart(form.get(), 1);
    QCOMPARE(recorder.log().at(3), "box 16 " + tmp->path("backups/never made.TVB") + " not found. [p11 S- A1 Z-]");
    QCOMPARE(recorder.log().size(), 5);
    QCOMPARE(readFile(safetyCopy("26")), before); // made before the backup was looked for
    QCOMPARE(readFile(db), before);
}

void TestStart::restoreTargetMissing()
{
    form->txtRestFrom->setText(backupOf(db));
    form->txtRestTo->setText(tmp->path("new place/BACK.MDB"));
    QDir().mkpath(tmp->path("new place"));
    DialogHook::answerMsgBox(Msg::OK);
    pressStart(form.get(), 1);
    QCOMPARE(DialogHook::shown().last().text, QString("Restore successful."));
    QCOMPARE(readFile(tmp->path("new place/BACK.MDB")), readFile(db));
    QVERIFY(!QFile::exists(safetyCopy("26")));
}

void TestStart::damagedBackupRefused()
{
    QByteArray bytes = readFile(backupOf(db));
    bytes.truncate(bytes.size() - 100);
    const QString bad = tmp->path("backups/cut.TVB");
    writeFile(bad, bytes);
    form->txtRestFrom->setText(bad);
    const QByteArray before = readFile(db);
    Recorder recorder(form.get());
    DialogHook::answerMsgBox(Msg::OK);
    pressStart(form.get(), 1);

    // Pointer and Start come back before the message; the clip stops only after it.
    const QStringList log = recorder.log();
    QCOMPARE(log.mid(0, 5), QStringList({"Start off [p0 S- A Z-]", "Animation1 frame 0 [p11 S- A Z-]",
                                         "Animation1 frame 0 [p11 S- A Z-]", "control shown [p11 S- A1 Z+]",
                                         "Start on [p0 S+ A1 Z+]"}));
    QVERIFY2(log[5].startsWith("box 16 321: " + quotedPath(bad) + " is truncated"), qPrintable(log[5]));
    QVERIFY(log[5].endsWith("[p0 S+ A1 Z+]"));
    QCOMPARE(log.mid(6), QStringList{"control hidden [p0 S+ A1 Z-]"});
    QCOMPARE(readFile(db), before);
    QCOMPARE(entries(tmp->path("BACK")), QStringList{"BACK.MDB"});
    QCOMPARE(readFile(safetyCopy("26")), before);
}

void TestStart::restoreRefusedWhileInUse()
{
    form->txtRestFrom->setText(backupOf(db));
    Child other;
    QVERIFY(other.start("idle", db));
    const QByteArray before = readFile(db);
    Recorder recorder(form.get());
    DialogHook::answerMsgBox(Msg::OK);
    pressStart(form.get(), 1);
    const QStringList log = recorder.log();
    QCOMPARE(log.size(), 5);
    QCOMPARE(log[3], "Start on " + Idle);
    QVERIFY2(log[4].startsWith(QStringLiteral("box 16 %1: %2 is in use by another program (process %3)")
                                   .arg(EBUSY)
                                   .arg(quotedPath(db))
                                   .arg(other.pid())),
             qPrintable(log[4]));
    other.finish();
    QCOMPARE(readFile(db), before);
    QCOMPARE(entries(tmp->path("BACK")), QStringList{"BACK.MDB"});
    QVERIFY(!QFile::exists(safetyCopy("26"))); // not even the safety copy
}


namespace {
// Asks the window to close, as the window manager would, as soon as a widget is shown.
class CloseOnShow : public QObject {
public:
    explicit CloseOnShow(QWidget *trigger, QWidget *window) : window_(window) { trigger->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            QMetaObject::invokeMethod(window_, &QWidget::close, Qt::QueuedConnection);
        return false;
    }

private:
    QWidget *window_;
};
} // namespace

void TestStart::closeWaitsForTheOperation()
{
    // A close that arrives while the backup runs waits for it: the backup completes, its message is
    // shown, and only then is the window unloaded, with the settings saved.
    const QString backup = tmp->path("backups/closing.TVB");
    form->txtBackTo->setText(backup);
    QSignalSpy unloaded(form.get(), &frmTvUtil::unloaded);
    bool unloadedBeforeMessage = true;
    DialogHook::setObserver([&](const DialogHook::Shown &) { unloadedBeforeMessage = form->isUnloaded(); });
    DialogHook::answerMsgBox(Msg::OK);
    CloseOnShow closer(form->ZlibTool1, form.get());
    pressStart(form.get(), 0);
    QVERIFY(!unloadedBeforeMessage);
    QCOMPARE(DialogHook::shown().size(), 1);
    QCOMPARE(DialogHook::shown().at(0).text, QString("Backup successful."));
    Operations::EngineCompressor().decompress(backup, tmp->path("check.MDB"));
    QCOMPARE(readFile(tmp->path("check.MDB")), readFile(db));
    QTRY_COMPARE(unloaded.size(), 1);
    QCOMPARE(Settings::GetSetting(Settings::Key::BackTo, QString()), backup);
}

int main(int argc, char **argv)
{
    if (const int rc = runChildIfAsked(argc, argv); rc >= 0)
        return rc;
    QApplication app(argc, argv);
    TestStart test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_start.moc"
