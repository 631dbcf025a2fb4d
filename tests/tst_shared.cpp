#include "backendmaker.h"
#include "opsupport.h"
#include "platform/errors.h"
#include "platform/zlibtool/compressionengine.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <cerrno>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace TestSupport;

// A back end shared the way an office shares it: a group folder (2770, group tarvosoffice), the
// database owned by the business application's account (0660), an access-list entry for a service
// account, a user attribute and a second name. An operator of the group runs the operations the
// window calls while the application keeps a connection open: afterwards the file is the same for
// everyone, and nothing planted in the folder was followed. Needs root (to make the accounts).
namespace {

const char *const Group = "tarvosoffice";
const char *const App = "tarvosapp";      // the business application's account: owns the database
const char *const Operator = "tarvosop";  // an operator of the group
const char *const Reader = "tarvosro";    // may read the database (an access-list entry), not write it
const char *const Service = "tarvossvc";  // an access-list entry for reading and writing
const char *const Mate = "tarvosmate";    // another operator of the group, who plants links
const char *const Outsider = "tarvosout"; // no access at all

struct Ran {
    int exitCode = -1;
    QString err;
};

Ran runAs(const QString &user, const QString &program, const QStringList &args)
{
    QProcess p;
    p.start("runuser", QStringList{"-u", user, "--", program} + args);
    const bool ended = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit;
    return {ended ? p.exitCode() : -1, QString::fromLocal8Bit(p.readAllStandardError()).trimmed()};
}

bool run(const QString &program, const QStringList &args)
{
    return runAs("root", program, args).exitCode == 0;
}

// Who may do what with the file at path, without following a link: owner, group, mode, access
// list, the user attribute, the number of names and the file's identity.
QString identity(const QString &path)
{
    struct stat st;
    const QByteArray native = QFile::encodeName(path);
    if (::lstat(native.constData(), &st) != 0)
        return "missing";
    char acl[1024], attr[256];
    const ssize_t nacl = ::lgetxattr(native.constData(), "system.posix_acl_access", acl, sizeof acl);
    const ssize_t nattr = ::lgetxattr(native.constData(), "user.tarvos", attr, sizeof attr);
    return QString::asprintf("uid %u gid %u mode %o links %lu inode %lu acl %s attr %s", st.st_uid, st.st_gid,
                             st.st_mode & 07777, st.st_nlink, st.st_ino,
                             QByteArray(acl, int(qMax<ssize_t>(nacl, 0))).toHex().constData(),
                             QByteArray(attr, int(qMax<ssize_t>(nattr, 0))).constData());
}

} // namespace

class TestShared : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!runningAsRoot())
            QSKIP("accounts and groups can be made only as root");
        for (const char *tool : {"runuser", "useradd", "groupadd", "setfacl", "setfattr"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP(qPrintable(QString("the tool %1 is missing").arg(tool)));
        QVERIFY(root.isValid());
        QVERIFY(::chmod(QFile::encodeName(root.path()).constData(), 0755) == 0);
        QVERIFY(run("groupadd", {"-f", Group}));
        for (const char *user : {App, Operator, Reader, Service, Mate, Outsider}) {
            if (run("id", {"-u", user}))
                continue;
            const bool member = QByteArray(user) == App || QByteArray(user) == Operator || QByteArray(user) == Mate;
            QVERIFY2(run("useradd", QStringList{"--system", "--no-create-home", "--shell", "/usr/sbin/nologin"} +
                                        (member ? QStringList{"-G", Group} : QStringList()) + QStringList{user}),
                     user);
        }
        // The accounts run a copy of this program where they may read it.
        program = root.path() + "/tst_shared";
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
        QVERIFY(::chmod(QFile::encodeName(program).constData(), 0755) == 0);
        Child::setProgram(program);
        office = root.path() + "/office";
    }

    void keepsTheFile_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("wal");
        for (const char *operation : {"restore", "compact"})
            for (bool wal : {false, true})
                QTest::addRow("%s, %s", operation, wal ? "write-ahead log" : "rollback journal")
                    << QString(operation) << wal;
    }

    // Owner, group, mode, access list, attribute and names stay; the application, open all along, commits after.
    void keepsTheFile()
    {
        QFETCH(QString, operation);
        QFETCH(bool, wal);
        makeOffice(wal);
        const QString before = identity(db());
        Child app;
        QVERIFY(app.start("idle", db(), "INSERT INTO User VALUES ('LATE', 'x')", App));
        const Ran ran = operation == "restore" ? as(Operator, {"restore", office + "/backup.TVB", db()})
                                               : as(Operator, {"compact", db(), office + "/BACKNEW.MDB"});
        QVERIFY2(ran.exitCode == 0, qPrintable(ran.err));
        QCOMPARE(app.finish(), QString("committed"));
        QCOMPARE(identity(db()), before);
        QCOMPARE(scalar(db(), "PRAGMA integrity_check"), QString("ok"));
        QCOMPARE(scalar(db(), "PRAGMA journal_mode"), QString(wal ? "wal" : "delete"));
        QCOMPARE(rows(db(), "SELECT UserName FROM User ORDER BY 1").join(' '),
                 operation == "restore" ? "ADMIN LATE OTHER" : "ADMIN LATE");
        QStringList expected{"BACK second name.MDB", "BACK.MDB", "backup.TVB"};
        if (operation == "restore") {
            // The safety copy, beside the database, is as private as the database.
            const QString safety = office + "/BACK26.BAK";
            expected << "BACK26.BAK";
            QCOMPARE(scalar(safety, "SELECT group_concat(UserName) FROM User"), QString("ADMIN"));
            QCOMPARE(runAs(Outsider, "cat", {safety}).exitCode == 0, false);
            QCOMPARE(runAs(Service, "cat", {safety}).exitCode, 0);
            QVERIFY(identity(safety).contains(QString("mode 660")));
        } else {
            QVERIFY(QFileInfo(db()).size() < 1 << 20);
        }
        QStringList left = entries(office).filter(QRegularExpression("^[^.]|^\\."));
        left.removeIf([](const QString &name) { return name.endsWith("-wal") || name.endsWith("-shm"); });
        expected.sort();
        QCOMPARE(left, expected);
    }

    // An operator who may only read the database cannot replace it, though the folder allows a rename.
    void readOnlyOperatorRefused()
    {
        makeOffice(false);
        // The reader may write the folder (an access-list entry), not the file.
        QVERIFY(run("setfacl", {"-m", QString("u:%1:rwx").arg(Reader), office}));
        const QByteArray bytes = readFile(db());
        const QString before = identity(db());
        const QStringList names = entries(office);
        for (const QStringList &operation : {QStringList{"restore", office + "/backup.TVB", db()},
                                             QStringList{"compact", db(), office + "/BACKNEW.MDB"}}) {
            const Ran ran = as(Reader, operation);
            QCOMPARE(ran.exitCode, 1);
            QVERIFY2(ran.err.startsWith(QString::number(EACCES) + ": ") && ran.err.contains(quotedPath(db())) &&
                         ran.err.contains("may read"),
                     qPrintable(ran.err));
            QVERIFY(readFile(db()) == bytes);
            QCOMPARE(identity(db()), before);
            QCOMPARE(entries(office), names);
        }
    }

    // An operator's own database held open by root's program, whose open files the operator cannot see.
    void privateInUseByAnotherAccount()
    {
        for (const bool wal : {true, false}) { // in rollback-journal mode an idle connection holds no lock
            const QString folder = root.path() + (wal ? "/in use, log" : "/in use"), path = folder + "/BACK.MDB";
            QVERIFY(QDir().mkpath(folder));
            BackendMaker::make(path, {.users = {{"ADMIN", "x"}}, .wal = wal});
            QVERIFY(::chmod(QFile::encodeName(path).constData(), 0600) == 0 && run("chown", {"-R", Operator, folder}));
            Child app;
            QVERIFY(app.start(wal ? "idle" : "reading", path));
            const QByteArray before = readFile(path);
            const Ran ran = as(Operator, {"compact", path, folder + "/BACKNEW.MDB"});
            QVERIFY2(ran.exitCode == 1 && ran.err.startsWith(QString::number(EBUSY) + ": "), qPrintable(ran.err));
            QCOMPARE(readFile(path), before);
        }
    }

    // A backup holds every user's password: nobody may read it who may not read the database.
    void backupsAsPrivateAsTheDatabase()
    {
        makeOffice(false);
        const QString shared = office + "/shared.TVB";
        Ran ran = as(Operator, {"backup", db(), shared});
        QVERIFY2(ran.exitCode == 0, qPrintable(ran.err));
        QCOMPARE(runAs(Outsider, "cat", {shared}).exitCode == 0, false);
        QCOMPARE(runAs(Service, "cat", {shared}).exitCode, 0);
        QVERIFY2(identity(shared).contains("mode 660"), qPrintable(identity(shared)));
        // The operator's own private database gives a private backup, even in a folder others may read.
        const QString own = root.path() + "/own";
        QVERIFY(QDir().mkpath(own) && run("chown", {Operator, own}) && run("chmod", {"0755", own}));
        QVERIFY(QFile::copy(db(), own + "/MINE.MDB"));
        QVERIFY(run("chown", {Operator, own + "/MINE.MDB"}) && run("chmod", {"0600", own + "/MINE.MDB"}));
        ran = as(Operator, {"backup", own + "/MINE.MDB", own + "/MINE.TVB"});
        QVERIFY2(ran.exitCode == 0, qPrintable(ran.err));
        QVERIFY2(identity(own + "/MINE.TVB").contains("mode 600"), qPrintable(identity(own + "/MINE.TVB")));
        QCOMPARE(runAs(Mate, "cat", {own + "/MINE.TVB"}).exitCode == 0, false);
        // A folder the operator may search but not list: a typed path passes it (".."), a backup goes in.
        const QString hall = root.path() + "/hall";
        QVERIFY(run("mkdir", {"-m0711", hall}) && QDir().mkdir(hall + "/sub") &&
                run("cp", {"-p", own + "/MINE.MDB", hall}));
        ran = as(Operator, {"backup", hall + "/sub/../MINE.MDB", own + "/HALL.TVB"});
        QVERIFY2(ran.exitCode == 0, qPrintable(ran.err));
        ran = run("chmod", {"0733", hall}) ? as(Operator, {"backup", own + "/MINE.MDB", hall + "/DROP.TVB"}) : Ran{};
        QVERIFY2(ran.exitCode == 0 && QFileInfo(hall + "/DROP.TVB").size() > 0, qPrintable(ran.err));
    }

    void plantedNamesNotFollowed_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("planted"); // the name another operator of the group puts a link under
        QTest::addColumn<bool>("link");       // a link to the victim's file, or a file of the planter's
        for (bool link : {true, false}) {
            const char *what = link ? "link" : "file";
            QTest::addRow("compact, %s at BACKNEW.MDB", what) << "compact" << QString("BACKNEW.MDB") << link;
            QTest::addRow("restore, %s at the safety copy", what) << "restore" << QString("BACK26.BAK") << link;
        }
        QTest::addRow("backup, link at the backup") << "backup" << QString("new.TVB") << true;
    }

    // Another operator plants a link to a private file of the victim's, or a file of their own, under a
    // name the operation writes: nothing is followed or changed, and the message names the file in the way.
    void plantedNamesNotFollowed()
    {
        QFETCH(QString, operation);
        QFETCH(QString, planted);
        QFETCH(bool, link);
        makeOffice(false);
        const QString victim = root.path() + "/victim.txt", at = office + "/" + planted;
        writeFile(victim, "the operator's own private notes");
        QVERIFY(run("chown", {Operator, victim}) && run("chmod", {"0600", victim}));
        const Ran made =
            link ? runAs(Mate, "ln", {"-s", victim, at}) : runAs(Mate, "sh", {"-c", "echo mine > \"$0\"", at});
        QVERIFY2(made.exitCode == 0, qPrintable(made.err));
        const QByteArray dbBytes = readFile(db());
        const QString dbBefore = identity(db()), plantedBefore = identity(at);
        const Ran ran = operation == "compact"   ? as(Operator, {"compact", db(), office + "/BACKNEW.MDB"})
                        : operation == "restore" ? as(Operator, {"restore", office + "/backup.TVB", db()})
                                                 : as(Operator, {"backup", db(), at});
        QCOMPARE(readFile(victim), QByteArray("the operator's own private notes"));
        QVERIFY(identity(victim).contains("mode 600"));
        if (!link && operation == "restore") {
            // The year's safety copy is replaced by a later restore, whoever made it.
            QVERIFY2(ran.exitCode == 0, qPrintable(ran.err));
            QCOMPARE(scalar(at, "SELECT group_concat(UserName) FROM User"), QString("ADMIN"));
            return;
        }
        QCOMPARE(ran.exitCode, 1);
        QVERIFY2(ran.err.contains(quotedPath(at)) &&
                     (ran.err.contains("in the way") || ran.err.contains("another account made")),
                 qPrintable(ran.err));
        QCOMPARE(identity(at), plantedBefore);
        QVERIFY(readFile(db()) == dbBytes);
        QCOMPARE(identity(db()), dbBefore);
    }

private:
    // The office folder afresh, with the database in it (and backup.TVB of other content).
    void makeOffice(bool wal)
    {
        QDir(office).removeRecursively();
        QVERIFY(QDir().mkpath(office));
        BackendMaker::make(db(), {.users = {{"ADMIN", "Secret"}}, .sizeBytes = 1 << 20, .freePercent = 30, .wal = wal});
        const QString other = office + "/.other.MDB";
        BackendMaker::make(other, {.users = {{"ADMIN", "Secret"}, {"OTHER", "x"}}, .sizeBytes = 1 << 20});
        CompressionEngine::compressFile(other, office + "/backup.TVB");
        QVERIFY(QFile::remove(other));
        QVERIFY(run("chown", {"-R", QString(App) + ":" + Group, office}));
        QVERIFY(run("chmod", {"2770", office}));
        QVERIFY(run("chmod", {"0660", db(), office + "/backup.TVB"}));
        QVERIFY(run("setfacl", {"-m", QString("u:%1:rw,u:%2:r").arg(Service, Reader), db()}));
        QVERIFY(run("setfacl", {"-m", QString("u:%1:rx,u:%2:rx").arg(Reader, Service), office}));
        QVERIFY(run("setfattr", {"-n", "user.tarvos", "-v", "kept", db()}));
        QVERIFY(::link(QFile::encodeName(db()).constData(),
                       QFile::encodeName(office + "/BACK second name.MDB").constData()) == 0);
    }

    QString db() const { return office + "/BACK.MDB"; }
    Ran as(const char *user, const QStringList &operation)
    {
        return runAs(user, program, QStringList{"--operation"} + operation);
    }

    QTemporaryDir root{QDir::tempPath() + "/tarvos-shared-XXXXXX"};
    QString program, office;
};

OPSUPPORT_TEST_MAIN(TestShared, QCoreApplication)

#include "tst_shared.moc"
