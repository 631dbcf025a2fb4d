#include "app/modTarBackup.h"
#include "app/settings.h"
#include "backendmaker.h"
#include "forms/frmTvUtil.h"
#include "formsupport.h"
#include "platform/zlibtool/compressionengine.h"
#include "opsupport.h"
#include "platform/dialogs/dialogs.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/zlibtool/zlibtoolctrl.h"
#include "resources/clips.h"
#include "startsupport.h"
#include "testsupport.h"

#include <QApplication>
#include <QFileSystemWatcher>
#include <QLineEdit>
#include <QProgressBar>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <sqlite3.h>
#include <sys/resource.h>

using namespace OpSupport;
using namespace StartSupport;
using namespace TestSupport;

// Write failures and files that vanish while backup, restore and compaction run from the real
// window: each ends with one critical message (number, ": ", a description naming the file and
// the cause), the window idle again, and every file as it was, with no temporary file left.
namespace {

// Makes writes of this process fail beyond a size, as a full disk would, for as long as it
// lives: a file-size limit, with the signal that would end the process ignored, so that the
// write fails with EFBIG instead.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit old_{};
    void (*oldHandler_)(int) = SIG_DFL;
};

// Every entry under folder (hidden ones too) with the bytes of each file.
QMap<QString, QByteArray> contents(const QString &folder)
{
    QMap<QString, QByteArray> all;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        all.insert(path.mid(folder.size() + 1), it.fileInfo().isDir() ? QByteArray("<folder>") : readFile(path));
    }
    return all;
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void fullDisk_data();
    void fullDisk();
    void readOnlyFolder_data();
    void readOnlyFolder();
    void removedWhileRunning_data();
    void removedWhileRunning();

private:
    // Presses Start on tab and returns what the window showed, checking that it ended idle.
    QStringList runStart(int tab);
    // Checks that log holds one critical message: number, then a description that names file and
    // holds cause.
    void expectFailure(const QStringList &log, long number, const QString &file, const QString &cause);
    QString safetyCopy() const { return Files::appPath() + "/BACK26.BAK"; }
    void makeDatabase(const QString &path, qint64 bytes, const QString &extraUser = QString());
    // A backup of a database of about bytes (a second user in it), for the restore cases.
    QString backupOfAnother(qint64 bytes);
    void setTab(int tab, const QString &path);

    std::unique_ptr<TempFolder> tmp;
    std::unique_ptr<frmTvUtil> form;
    QString db;
};

void TestFaults::initTestCase()
{
    prepareAppFolder();
}

void TestFaults::init()
{
    tmp = std::make_unique<TempFolder>();
    FormSupport::resetProgramState(tmp->path("settings"));
    db = tmp->path("BACK/BACK.MDB");
    for (const char *folder : {"BACK", "backups", "Data"})
        QDir().mkpath(tmp->path(folder));
    makeDatabase(db, 2 << 20);
    Settings::SaveSetting(Settings::Key::BackEnd, db);
    form = FormSupport::loadAndLogIn();
    QVERIFY(form);
}

void TestFaults::cleanup()
{
    form.reset();
    removeSafetyCopies();
    DialogHook::reset();
    tmp.reset();
}

void TestFaults::makeDatabase(const QString &path, qint64 bytes, const QString &extraUser)
{
    BackendMaker::Options options;
    options.users = {{"ADMIN", "Secret"}};
    if (!extraUser.isEmpty())
        options.users.append({extraUser, "x"});
    options.sizeBytes = bytes;
    options.freePercent = 20;
    BackendMaker::make(path, options);
}

QString TestFaults::backupOfAnother(qint64 bytes)
{
    const QString other = tmp->path("other.MDB");
    makeDatabase(other, bytes, "OTHER");
    const QString backup = tmp->path("backups/other.TVB");
    CompressionEngine::compressFile(other, backup);
    QFile::remove(other);
    return backup;
}

void TestFaults::setTab(int tab, const QString &path)
{
    // The field that names what the operation writes: the backup, the restore target, the
    // database to compact.
    QLineEdit *field[] = {form->txtBackTo, form->txtRestTo, form->txtCompact};
    field[tab]->setText(path);
}

QStringList TestFaults::runStart(int tab)
{
    const QStringList log = recordStart(form.get(), tab);
    [&] { QCOMPARE(Recorder(form.get()).state(), Idle); }();
    return log;
}

void TestFaults::expectFailure(const QStringList &log, long number, const QString &file, const QString &cause)
{
    const QStringList boxes = log.filter(QRegularExpression("^box "));
    QCOMPARE(boxes.size(), 1);
    const QString prefix = QStringLiteral("box 16 %1: ").arg(number);
    QVERIFY2(boxes[0].startsWith(prefix), qPrintable(boxes[0]));
    QVERIFY2(boxes[0].contains(quotedPath(file)), qPrintable(boxes[0] + " does not name " + file));
    QVERIFY2(boxes[0].contains(cause), qPrintable(boxes[0] + " does not say " + cause));
}

// ---- a full disk ----------------------------------------------------------------------------

void TestFaults::fullDisk_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("limit"); // a small file system (root only) or a file-size limit
    QTest::addColumn<QString>("where"); // what the write that fails is for
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("cause");
    const QString full = "No space left on device", tooLarge = "File too large";
    QTest::newRow("backup, file system") << 0 << "file system" << "backup" << ENOSPC << full;
    QTest::newRow("backup, file size") << 0 << "file size" << "backup" << EFBIG << tooLarge;
    // A database in write-ahead-log mode is first copied to a snapshot beside the backup.
    QTest::newRow("backup, file system, snapshot") << 0 << "file system" << "snapshot" << SQLITE_FULL
                                                   << "the disk is full";
    QTest::newRow("restore, file system") << 1 << "file system" << "target" << ENOSPC << full;
    QTest::newRow("restore, file size") << 1 << "file size" << "target" << EFBIG << tooLarge;
    QTest::newRow("compact, file system") << 2 << "file system" << "temporary file" << SQLITE_FULL
                                          << "the disk is full";
    QTest::newRow("compact, file size") << 2 << "file size" << "temporary file" << SQLITE_IOERR_WRITE << tooLarge;
    QTest::newRow("compact, file system of the database") << 2 << "file system" << "database" << ENOSPC << full;
}

void TestFaults::fullDisk()
{
    QFETCH(int, tab);
    QFETCH(QString, limit);
    QFETCH(QString, where);
    QFETCH(int, number);
    QFETCH(QString, cause);
    const bool smallFs = limit == "file system";
    if (smallFs && !SmallFileSystem::unavailable().isEmpty())
        QSKIP(qPrintable(SmallFileSystem::unavailable()));
    const QString small = tmp->path("small");
    std::unique_ptr<SmallFileSystem> fs;
    std::unique_ptr<FileSizeLimit> sizeLimit;
    QString written; // the file the failing write was for, as the message must name it
    QString folder;  // the folder whose files must stay as they were

    if (tab == 0) {
        folder = smallFs ? small : tmp->path("backups");
        written = folder + "/monday.TVB";
        if (smallFs)
            fs = std::make_unique<SmallFileSystem>(small, 64 << 10);
        writeFile(written, "an older backup");
        form->txtBackTo->setText(folder + "/monday");
        if (where == "snapshot") {
            BackendMaker::Options options;
            options.sizeBytes = 1 << 20;
            options.wal = true;
            BackendMaker::make(tmp->path("Data/wal.mdb"), options);
            form->txtBackFrom->setText(tmp->path("Data/wal.mdb"));
        }
    } else if (tab == 1) {
        const QString backup = backupOfAnother(4 << 20);
        form->txtRestFrom->setText(backup);
        folder = smallFs ? small : tmp->path("BACK");
        written = folder + "/BACK.MDB";
        if (smallFs) {
            fs = std::make_unique<SmallFileSystem>(small, 3 << 20);
            QVERIFY(QFile::copy(db, written));
            form->txtRestTo->setText(written);
        }
    } else {
        folder = smallFs ? small : tmp->path("BACK");
        if (where == "database") {
            // The database alone on a file system too full for the compacted copy beside it.
            fs = std::make_unique<SmallFileSystem>(small, QFileInfo(db).size() + (256 << 10));
            written = small + "/Sales.mdb";
            QVERIFY(QFile::copy(db, written));
            form->txtCompact->setText(written);
        } else {
            written = folder + "/BACKNEW.MDB";
            if (smallFs) {
                fs = std::make_unique<SmallFileSystem>(small, 256 << 10);
                modTarBackup::BackEndPath = small + "/BACK.MDB"; // the copy goes beside the back end
            }
        }
    }
    if (fs)
        QVERIFY2(fs->isValid(), qPrintable(fs->why()));
    const auto before = contents(folder);
    const auto backEnd = contents(tmp->path("BACK"));
    writeFile(safetyCopy(), "the only good copy");
    if (!smallFs)
        sizeLimit = std::make_unique<FileSizeLimit>(tab == 1 ? QFileInfo(db).size() + (512 << 10) : 128 << 10);

    const QStringList log = runStart(tab);
    sizeLimit.reset();
    expectFailure(log, number, written, cause);
    QCOMPARE(contents(folder), before);
    QCOMPARE(contents(tmp->path("BACK")), backEnd);
    QCOMPARE(readFile(safetyCopy()), QByteArray("the only good copy"));
}

// ---- a read-only folder ---------------------------------------------------------------------

void TestFaults::readOnlyFolder_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("where"); // what lies in the read-only folder
    QTest::addColumn<bool>("engine");   // whether the database engine reports it
    QTest::newRow("backup into it") << 0 << "backup" << false;
    QTest::newRow("restore into it") << 1 << "target" << false;
    QTest::newRow("restore, safety copy") << 1 << "application" << false;
    QTest::newRow("compact, temporary file") << 2 << "temporary file" << true;
    QTest::newRow("compact a database in it") << 2 << "database" << false;
}

void TestFaults::readOnlyFolder()
{
    QFETCH(int, tab);
    QFETCH(QString, where);
    QFETCH(bool, engine);
    const QString locked = where == "application" ? Files::appPath() : tmp->path("locked");
    ReadOnlyFolder readOnly(locked);
    QString written;
    if (tab == 0) {
        written = locked + "/monday.TVB";
        writeFile(written, "an older backup");
        form->txtBackTo->setText(locked + "/monday");
    } else if (tab == 1) {
        form->txtRestFrom->setText(backupOfAnother(1 << 20));
        if (where == "application") {
            written = safetyCopy();
            // The window needs its clips from the folder the safety copy cannot be written to.
            for (const QString &clip : {Clips::FileCopy, Clips::FileDelete})
                QVERIFY(QFile::copy(TestSupport::appDir() + '/' + clip, locked + '/' + clip));
        } else {
            written = locked + "/BACK.MDB";
            QVERIFY(QFile::copy(db, written));
            form->txtRestTo->setText(written);
        }
    } else if (where == "database") {
        written = locked + "/Sales.mdb";
        QVERIFY(QFile::copy(db, written));
        form->txtCompact->setText(written);
    } else {
        written = locked + "/BACKNEW.MDB";
        modTarBackup::BackEndPath = locked + "/BACK.MDB";
    }
    if (!readOnly.lock())
        QSKIP(qPrintable("cannot make a folder read-only here: " + readOnly.why()));
    const auto before = contents(locked);
    const auto backEnd = contents(tmp->path("BACK"));

    const QStringList log = runStart(tab);
    // Root meets a read-only mount, anyone else a folder without write permission.
    const long number = engine ? SQLITE_CANTOPEN : runningAsRoot() ? EROFS : EACCES;
    const QString cause = runningAsRoot() ? "Read-only file system" : "Permission denied";
    expectFailure(log, number, written, cause);
    QCOMPARE(contents(locked), before);
    QCOMPARE(contents(tmp->path("BACK")), backEnd);
}

// ---- a file removed while the operation runs ----------------------------------------------

void TestFaults::removedWhileRunning_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("cause");
    QTest::newRow("backup, the backup's folder") << 0 << ENOENT << "No such file or directory";
    QTest::newRow("restore, the target's folder") << 1 << ENOENT << "No such file or directory";
    QTest::newRow("compact, the compacted copy") << 2 << SQLITE_CANTOPEN << "the file does not exist";
}

void TestFaults::removedWhileRunning()
{
    QFETCH(int, tab);
    QFETCH(int, number);
    QFETCH(QString, cause);
    QString written;
    std::function<void()> remove;
    // Backup and restore: as soon as the control's bar shows the work begun and not finished,
    // while the output is still being written under its temporary name. Big input, so that the
    // work goes on well after that.
    QProgressBar *bar = form->ZlibTool1->findChild<QProgressBar *>();
    QVERIFY(bar);
    bool done = false;
    const auto whileWriting = [&](int value) {
        if (!done && value > 0 && value < bar->maximum()) {
            done = true;
            remove();
        }
    };
    QMetaObject::Connection connection = connect(bar, &QProgressBar::valueChanged, this, whileWriting);
    QFileSystemWatcher watcher;

    // A large database that is damaged past its header: still backed up and restored as it is.
    const QByteArray big = readFile(db).left(100) + randomBytes(96 << 20);
    if (tab == 0) {
        writeFile(tmp->path("Data/big.dat"), big);
        form->txtBackFrom->setText(tmp->path("Data/big.dat"));
        QDir().mkpath(tmp->path("out"));
        form->txtBackTo->setText(tmp->path("out/big"));
        written = tmp->path("out/big.TVB");
        remove = [&] { QVERIFY(QDir(tmp->path("out")).removeRecursively()); };
    } else if (tab == 1) {
        writeFile(tmp->path("Data/big.dat"), big);
        CompressionEngine::compressFile(tmp->path("Data/big.dat"), tmp->path("backups/big.TVB"));
        form->txtRestFrom->setText(tmp->path("backups/big.TVB"));
        QDir().mkpath(tmp->path("target"));
        written = tmp->path("target/BACK.MDB");
        QVERIFY(QFile::copy(db, written));
        form->txtRestTo->setText(written);
        remove = [&] { QVERIFY(QDir(tmp->path("target")).removeRecursively()); };
    } else {
        // Compaction: as soon as the engine's copy appears, while it is being checked.
        makeDatabase(tmp->path("Data/Sales.mdb"), 24 << 20);
        form->txtCompact->setText(tmp->path("Data/Sales.mdb"));
        written = tmp->path("BACK/BACKNEW.MDB");
        watcher.addPath(tmp->path("BACK"));
        connect(&watcher, &QFileSystemWatcher::directoryChanged, this, [&] {
            if (!done && QFile::exists(written)) {
                done = true;
                QVERIFY(QFile::remove(written));
            }
        });
    }
    const auto data = contents(tmp->path("Data"));
    const auto backEnd = contents(tmp->path("BACK"));
    const QStringList log = runStart(tab);
    disconnect(connection);
    QVERIFY(done);
    // The copy may vanish while it is checked or, on a loaded machine, only as it is moved into
    // place: either way the message names it and says it is gone.
    if (tab == 2 && log.filter(QRegularExpression("^box ")).value(0).startsWith(QStringLiteral("box 16 %1:").arg(ENOENT)))
        expectFailure(log, ENOENT, written, "No such file or directory");
    else
        expectFailure(log, number, written, cause);
    QCOMPARE(contents(tmp->path("Data")), data);
    QCOMPARE(contents(tmp->path("BACK")), backEnd);
    QVERIFY(!QFile::exists(tmp->path("out")));
    QVERIFY(!QFile::exists(tmp->path("target")));
}

OPSUPPORT_TEST_MAIN(TestFaults, QApplication)

#include "tst_faults.moc"
