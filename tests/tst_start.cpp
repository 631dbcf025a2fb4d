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
    void initTestCase() { prepareAppFolder(); }
    void init();
    void cleanup();
    void backupWritesTvb();
    void sourceMissing_data();
    void sourceMissing();
    void backupOfLiveDatabase();
    void missingClipTouchesNothing();
    void restoreReplacesTargetOnceAYear();
    void restoreTargetMissing();
    void damagedBackupRefused();
    void restoreRefusedWhileInUse();
    void closeWaitsForTheOperation();

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
    Operations::EngineCompressor().compress(database, backup);
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
    Operations::EngineCompressor().decompress(tmp->path("Back.up/data.TVB"), tmp->path("check.MDB"));
    QCOMPARE(readFile(tmp->path("check.MDB")), original);
    QCOMPARE(entries(tmp->path("Back.up")), QStringList{"data.TVB"});
}

void TestStart::sourceMissing_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("player");
    QTest::newRow("backup") << 0 << "Animation3";
    QTest::newRow("restore") << 1 << "Animation1";
}

void TestStart::sourceMissing()
{
    QFETCH(int, tab);
    QFETCH(QString, player);
    const QString missing = tmp->path("backups/never made");
    (tab == 0 ? form->txtBackFrom : form->txtRestFrom)->setText(missing);
    form->txtBackTo->setText(tmp->path("backups/x.TVB"));
    QCOMPARE(recordStart(form.get(), tab),
             busyStart(player) +
                 QStringList({QStringLiteral("box 16 %1 not found. [p11 S- A%2 Z-]").arg(missing, player.right(1)),
                              "Start on " + Idle}));
    QVERIFY(entries(tmp->path("backups")).isEmpty());
    QVERIFY(form->ZlibTool1->InputFile().isEmpty()); // the control was never fed
    backEndUntouched();
    // A restore makes its safety copy before it looks for the backup.
    if (tab == 1)
        QCOMPARE(readFile(safetyCopy("26")), original);
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
    Operations::EngineCompressor().decompress(tmp->path("backups/live.TVB"), tmp->path("restored.MDB"));
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

void TestStart::damagedBackupRefused()
{
    QByteArray bytes = readFile(backupOf(db));
    bytes.truncate(bytes.size() - 100);
    const QString bad = tmp->path("backups/cut.TVB");
    writeFile(bad, bytes);
    form->txtRestFrom->setText(bad);
    const QStringList log = recordStart(form.get(), 1);

    // Pointer and Start come back before the message; the clip stops only after it.
    QCOMPARE(log.mid(0, 5),
             busyStart("Animation1") + QStringList({"control shown [p11 S- A1 Z+]", "Start on [p0 S+ A1 Z+]"}));
    QVERIFY2(log[5].startsWith("box 16 321: " + quotedPath(bad) + " is truncated"), qPrintable(log[5]));
    QVERIFY(log[5].endsWith("[p0 S+ A1 Z+]"));
    QCOMPARE(log.mid(6), QStringList{"control hidden [p0 S+ A1 Z-]"});
    backEndUntouched();
    QCOMPARE(readFile(safetyCopy("26")), original);
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
    QCOMPARE(readFile(tmp->path("check.MDB")), original);
    QTRY_COMPARE(unloaded.size(), 1);
    QCOMPARE(Settings::GetSetting(Settings::Key::BackTo, QString()), backup);
}

OPSUPPORT_TEST_MAIN(TestStart, QApplication)

#include "tst_start.moc"
