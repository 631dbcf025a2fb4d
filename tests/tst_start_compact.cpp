#include "app/modTarBackup.h"
#include "app/settings.h"
#include "backendmaker.h"
#include "forms/frmTvUtil.h"
#include "formsupport.h"
#include "opsupport.h"
#include "platform/animation/animationctrl.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/progressview.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "resources/clips.h"
#include "startsupport.h"
#include "testsupport.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <cerrno>
#include <sys/stat.h>

using namespace OpSupport;
using namespace StartSupport;
using namespace TestSupport;

// Compaction as a user runs it from the window, and a whole round trip: back up, change the
// database, restore, log in again, compact, log in again.
class TestStartCompact : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { prepareAppFolder(); }
    void init();
    void cleanup();
    void compactInPlace();
    void compactIntoAnotherFolder();
    void progressWhileCompacting();
    void refusedCompaction_data();
    void refusedCompaction();
    void roundTrip();

private:
    void makeDatabase(const QString &path, int freePercent = 50);
    // Loads the main window and logs in against the back end db.
    void logIn();

    std::unique_ptr<TempFolder> tmp;
    std::unique_ptr<frmTvUtil> form;
    QString db;
};

void TestStartCompact::init()
{
    tmp = std::make_unique<TempFolder>();
    db = tmp->path("BACK/BACK.MDB");
    QDir().mkpath(tmp->path("BACK"));
}

void TestStartCompact::cleanup()
{
    if (form)
        QCOMPARE(Recorder(form.get()).state(), Idle);
    form.reset();
    removeSafetyCopies();
    DialogHook::reset();
}

void TestStartCompact::makeDatabase(const QString &path, int freePercent)
{
    BackendMaker::make(path, {.users = {{"ADMIN", "Secret"}}, .sizeBytes = 2 << 20, .freePercent = freePercent});
}

void TestStartCompact::logIn()
{
    form.reset();
    FormSupport::resetProgramState(tmp->path("settings"));
    Settings::SaveSetting(Settings::Key::BackEnd, db);
    form = FormSupport::loadAndLogIn();
    QVERIFY(form);
}

void TestStartCompact::compactInPlace()
{
    makeDatabase(db);
    QVERIFY(::chmod(QFile::encodeName(db), 0640) == 0);
    const QStringList counts = tableCounts(db);
    const qint64 before = QFileInfo(db).size();
    logIn();
    // The clip stops before the message; hourglass and disabled Start last until it is read.
    QCOMPARE(recordStart(form.get(), 2),
             busyStart("Animation2") + QStringList({"box 64 Database compacted. [p11 S- A Z-]", "Start on " + Idle}));
    QCOMPARE(form->Animation2->clipPath(), Files::appPath() + '/' + Clips::FileDelete);
    QVERIFY(QFileInfo(db).size() < before);
    QCOMPARE(tableCounts(db), counts);
    QCOMPARE(scalar(db, "PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(QFileInfo(db).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::ReadGroup);
    QCOMPARE(entries(tmp->path("BACK")), QStringList{"BACK.MDB"});
}

void TestStartCompact::progressWhileCompacting()
{
    // The bar in the button row moves from 0 to 100% over the copy and its check, and the clip
    // keeps being painted meanwhile.
    BackendMaker::make(db, {.users = {{"ADMIN", "Secret"}}, .sizeBytes = 48 << 20, .freePercent = 30});
    logIn();
    ProgressView *bar = form->prgCompact;
    QVERIFY(!bar->isVisible());
    QSet<int> values;
    int paints = 0;
    bool shownWhileBusy = false;
    connect(bar, &QProgressBar::valueChanged, this, [&](int v) {
        values.insert(v);
        shownWhileBusy |= bar->isVisible() && !form->cmdStart->isEnabled();
    });
    const FormSupport::PaintWatch watch(form->Animation2, [&] { ++paints; });
    QVERIFY(recordStart(form.get(), 2).contains("box 64 Database compacted. [p11 S- A Z-]"));
    QVERIFY(shownWhileBusy);
    QVERIFY(!bar->isVisible());
    int between = 0;
    for (int v : values)
        between += v > bar->minimum() && v < bar->maximum();
    QVERIFY2(between >= 3, qPrintable(QString::number(between)));
    QVERIFY(values.contains(bar->maximum()));
    QVERIFY(paints >= 2);
}

void TestStartCompact::compactIntoAnotherFolder()
{
    // The temporary file goes to the back end's folder, on a file system of its own when the
    // test may mount one; the database compacted lies elsewhere.
    SmallFileSystem backEndFolder(tmp->path("BACK"), 32 << 20);
    makeDatabase(db, 0);
    const QString sales = tmp->path("Data/Sales.mdb");
    QDir().mkpath(tmp->path("Data"));
    makeDatabase(sales);
    QVERIFY(::chmod(QFile::encodeName(sales), 0640) == 0);
    const QStringList counts = tableCounts(sales);
    const qint64 size = QFileInfo(sales).size();
    const QByteArray backEnd = readFile(db);
    logIn();
    form->txtCompact->setText(sales);
    QVERIFY(recordStart(form.get(), 2).contains("box 64 Database compacted. [p11 S- A Z-]"));
    QVERIFY(QFileInfo(sales).size() < size);
    QCOMPARE(QFileInfo(sales).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
             QFileDevice::ReadGroup);
    QCOMPARE(tableCounts(sales), counts);
    QCOMPARE(scalar(sales, "PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(entries(tmp->path("Data")), QStringList{"Sales.mdb"});
    QCOMPARE(entries(tmp->path("BACK")), QStringList{"BACK.MDB"});
    QCOMPARE(readFile(db), backEnd);
}

void TestStartCompact::refusedCompaction_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("message"); // the start of the message, after the folder
    QTest::newRow("temporary file left over")
        << "leftover"
        << QStringLiteral("%1: Cannot compact database \"BACK/BACK.MDB\" into \"BACK/BACKNEW.MDB\": the "
                          "file \"BACK/BACKNEW.MDB\" already exists")
               .arg(SQLITE_CANTOPEN);
    QTest::newRow("read-only database")
        << "read-only" << QStringLiteral("%1: Cannot delete \"BACK/BACK.MDB\": the file is read-only").arg(EACCES);
    QTest::newRow("database in use") << "in use"
                                     << QStringLiteral("%1: \"BACK/BACK.MDB\" is in use by another program").arg(EBUSY);
    // Refused before the engine is called.
    QTest::newRow("back end without a folder")
        << "no folder"
        << QStringLiteral("%1: Cannot compact: the back-end database path \"BACK.MDB\" names no folder")
               .arg(ErrorNumber::InvalidArgument);
}

void TestStartCompact::refusedCompaction()
{
    QFETCH(QString, situation);
    QFETCH(QString, message);
    makeDatabase(db);
    logIn();
    Child other;
    if (situation == "leftover")
        writeFile(tmp->path("BACK/BACKNEW.MDB"), "left from an earlier run");
    else if (situation == "read-only")
        QVERIFY(::chmod(QFile::encodeName(db), 0444) == 0);
    else if (situation == "in use")
        QVERIFY(other.start("idle", db));
    else
        modTarBackup::BackEndPath = "BACK.MDB";
    const QStringList files = entries(tmp->path("BACK"));
    const QByteArray before = readFile(db);
    const QStringList log = recordStart(form.get(), 2);

    QCOMPARE(log.size(), 5);
    QCOMPARE(log[3], "Start on " + Idle); // the error path: clips stopped, pointer, Start, then the box
    QString expected = message;
    expected.replace("\"BACK/", '"' + tmp->path("BACK/"));
    QVERIFY2(log[4].startsWith("box 16 " + expected) && log[4].endsWith(Idle), qPrintable(log[4]));
    QCOMPARE(entries(tmp->path("BACK")), files);
    QCOMPARE(readFile(db), before);
    QVERIFY(!QFile::exists("BACKNEW.MDB"));
    if (situation == "leftover")
        QCOMPARE(readFile(tmp->path("BACK/BACKNEW.MDB")), QByteArray("left from an earlier run"));
}

void TestStartCompact::roundTrip()
{
    makeDatabase(db, 30);
    const QStringList original = tableCounts(db);
    const QString users = scalar(db, "SELECT group_concat(UserName) FROM User");
    logIn();
    recordStart(form.get(), 0); // the suggested name, beside the database
    const QString backup = tmp->path("BACK/BACK051226205535.TVB");
    QVERIFY(QFile::exists(backup));

    QVERIFY(rawExec(rawOpen(db).get(), "DELETE FROM InvoiceLine; INSERT INTO User VALUES ('INTRUDER', 'x')"));
    QVERIFY(tableCounts(db) != original);
    QCOMPARE(form->txtRestFrom->text(), backup);
    QVERIFY(recordStart(form.get(), 1).contains("box 64 Restore successful. [p11 S- A1 Z+]"));
    QCOMPARE(tableCounts(db), original);

    logIn();
    QVERIFY(recordStart(form.get(), 2).contains("box 64 Database compacted. [p11 S- A Z-]"));

    logIn();
    QCOMPARE(tableCounts(db), original);
    QCOMPARE(scalar(db, "SELECT group_concat(UserName) FROM User"), users);
    QCOMPARE(scalar(db, "PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(entries(tmp->path("BACK")), QStringList({"BACK.MDB", "BACK051226205535.TVB"}));
}

OPSUPPORT_TEST_MAIN(TestStartCompact, QApplication)

#include "tst_start_compact.moc"
