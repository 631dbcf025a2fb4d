#include "errorcheck.h"
#include "opsupport.h"
#include "platform/fs/files.h"
#include "platform/fs/folder.h"
#include "platform/fs/tempfile.h"
#include "platform/process/process.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;

// What counts as an existing file, copies and replacements that happen whole or change nothing,
// and starting another program, which runs detached under the id returned.
class TestFiles : public QObject {
    Q_OBJECT

private slots:
    void existence()
    {
        TempFolder tmp;
        for (const char *name : {"BACK.MDB", "it's my \"db\".mdb", ".BACK.MDB", "ro.MDB"})
            writeFile(tmp.path(name), "x");
        QVERIFY(QFile::setPermissions(tmp.path("ro.MDB"), QFile::ReadOwner));
        QVERIFY(QFile::link(tmp.path("BACK.MDB"), tmp.path("link.mdb")) && QDir().mkdir(tmp.path("BACK")));
        for (const QString &name : QStringList{"BACK.MDB", "it's my \"db\".mdb", "ro.MDB", "link.mdb"})
            QVERIFY2(Files::exists(tmp.path(name)), qPrintable(name));
        // Folders, hidden files, and paths that cannot be looked up count as absent.
        for (const QString &name : QStringList{"BACK", ".BACK.MDB", "no/such/BACK.MDB", "BACK.MDB/x", "BACK.MDB/",
                                               "*.MDB", QString(5000, 'a')})
            QVERIFY2(!Files::exists(tmp.path(name)), qPrintable(name.left(40)));
    }

    // Copies of files larger than the pieces of 8 MiB the copy hands the kernel, and temporary files
    // that are discarded or refuse to replace a file: every byte arrives, nothing is left behind, and
    // nobody but the owner may read a file while it is written.
    void copiesWhole()
    {
        TempFolder tmp;
        const Fs::Folder folder = Fs::Folder::open(tmp.path(), "test");
        const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
        for (qsizetype size : {0, 1, 8 << 20, (17 << 20) + 4097}) {
            const QByteArray data = randomBytes(size, quint32(size) + 7);
            writeFile(tmp.path("BACK.MDB"), data);
            {
                const Fs::Fd in = folder.openForReading("BACK.MDB", "test");
                TempFile out(folder, "BACK26.BAK", TempFile::Temporary, "test");
                QCOMPARE(QFile::permissions(out.path()), ownerOnly);
                Files::copyData(in.get(), tmp.path("BACK.MDB"), out.fd(), tmp.path("BACK26.BAK"), "test");
                out.commit(TempFile::Existing::Replace);
            }
            QVERIFY(readFile(tmp.path("BACK26.BAK")) == data);
            QCOMPARE(entries(tmp.path()), (QStringList{"BACK.MDB", "BACK26.BAK"}));
        }
        for (bool commit : {false, true}) {
            TempFile f(folder, "BACK.MDB", TempFile::Temporary, "test");
            QVERIFY(!Files::exists(f.path())); // hidden from the existence test
            QCOMPARE(::write(f.fd(), "new", 3), ssize_t(3));
            if (commit)
                QVERIFY_THROWS_EXCEPTION(Error, f.commit(TempFile::Existing::Refuse));
        }
        QCOMPARE(entries(tmp.path()), (QStringList{"BACK.MDB", "BACK26.BAK"}));
        QVERIFY(readFile(tmp.path("BACK.MDB")).size() > 3);

        // A finished file gets the group and the permissions of the file it stands for, never more.
        QVERIFY(QFile::setPermissions(tmp.path("BACK.MDB"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        const Fs::Fd db = folder.openForReading("BACK.MDB", "test");
        TempFile finished(folder, "BACK.TVB", TempFile::Temporary, "test");
        finished.giveAccessOf(db.get(), Fs::statusOf(db.get(), "BACK.MDB"));
        finished.commit();
        QCOMPARE(QFile::permissions(tmp.path("BACK.TVB")), ownerOnly | QFile::ReadGroup);
    }

    // A file put in place of another takes its mode; a refusal names files and cause, changes nothing.
    void refusalsChangeNothing()
    {
        TempFolder tmp;
        const auto p = [&](const char *name) { return tmp.path(name); };
        const auto at = [&](const char *name) { return Fs::resolve(tmp.path(name), "test"); };
        writeFile(p("a.mdb"), "a");
        writeFile(p("ro.mdb"), "read-only");
        QVERIFY(QFile::setPermissions(p("ro.mdb"), QFile::ReadOwner | QFile::ReadGroup));
        QVERIFY(QDir().mkdir(p("folder")));
        const Fs::Fd a = at("a.mdb").folder.openForReading("a.mdb", "test");
        const Fs::Status aStatus = Fs::statusOf(a.get(), p("a.mdb"));
        const auto replace = [&](const char *from, const char *to) {
            return [=, &a] { Files::replace(at(from), a.get(), at(to), a.get(), aStatus); };
        };
        const struct {
            std::function<void()> call;
            long number;
            QStringList names;
        } cases[] = {
            {replace("missing.mdb", "a.mdb"), ENOENT, {p("missing.mdb"), p("a.mdb")}},
            {replace("a.mdb", "folder"), EISDIR, {p("a.mdb"), p("folder")}},
            {replace("a.mdb", "ro.mdb"), EACCES, {p("a.mdb"), p("ro.mdb")}},
            {replace("a.mdb", "no/such/b.mdb"), ENOENT, {p("no/such")}},
            {[&] { (void)at("a.mdb/"); }, EINVAL, {p("a.mdb/")}},
            {[&] { (void)Fs::Folder::open(p("a.mdb"), "test"); }, ENOTDIR, {p("a.mdb")}},
            {[&] { char c; (void)Fs::readAt(Fs::Folder::open(p("folder"), "test").fd(), &c, 1, 0, p("folder")); },
             EISDIR, {p("folder")}}, // a read that fails is reported, not tried again
        };
        for (const auto &c : cases)
            COMPARE_ERROR(c.call, c.number, c.names);
        QCOMPARE(entries(tmp.path()), (QStringList{"a.mdb", "folder", "ro.mdb"}));
        QCOMPARE(readFile(p("a.mdb")) + readFile(p("ro.mdb")), QByteArray("aread-only"));

        // What may be done is done, quotes and spaces included (the caller gives the new file its access first).
        writeFile(p("it's a \"b\".mdb"), "old");
        QVERIFY(QFile::setPermissions(p("it's a \"b\".mdb"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        replace("a.mdb", "it's a \"b\".mdb")();
        QCOMPARE(entries(tmp.path()), (QStringList{"folder", "it's a \"b\".mdb", "ro.mdb"}));
        QCOMPARE(readFile(p("it's a \"b\".mdb")), QByteArray("a"));
    }

    // A path the user gives is followed through the links this account made, never through one that
    // another account made; the names the program writes are never followed at all.
    void links()
    {
        TempFolder tmp;
        QVERIFY(QDir().mkdir(tmp.path("real")) && QDir().mkdir(tmp.path("data ä")));
        writeFile(tmp.path("real/BACK.MDB"), "db");
        QVERIFY(QFile::link("real/BACK.MDB", tmp.path("own.mdb")) && QFile::link(tmp.path("real"), tmp.path("dir")));
        const Fs::Location own = Fs::resolve(tmp.path("own.mdb"), "test");
        QCOMPARE(own.path(), QFileInfo(tmp.path("real/BACK.MDB")).canonicalFilePath());
        QCOMPARE(Fs::resolve(tmp.path("dir/../data ä/new.TVB"), "test").path(),
                 QFileInfo(tmp.path("data ä")).canonicalFilePath() + "/new.TVB");
        QVERIFY(!own.folder.status("BACK.MDB").isLink());
        // Under a name the program writes, a link is in the way, whoever made it.
        QVERIFY(QFile::link(tmp.path("real/BACK.MDB"), tmp.path("real/BACK26.BAK")));
        COMPARE_ERROR([&] { TempFile(own.folder, "BACK26.BAK", "safety", "test"); }, ELOOP,
                      {"BACK26.BAK", "in the way"});
        COMPARE_ERROR([&] { (void)own.folder.openForReading("BACK26.BAK", "test"); }, ELOOP, {"BACK26.BAK"});
        if (!runningAsRoot())
            QSKIP("a link of another account's needs root to make");
        QVERIFY(QFile::link(tmp.path("real/BACK.MDB"), tmp.path("planted.mdb")));
        QCOMPARE(::lchown(QFile::encodeName(tmp.path("planted.mdb")).constData(), 65534, 65534), 0);
        COMPARE_ERROR([&] { (void)Fs::resolve(tmp.path("planted.mdb"), "test"); }, ELOOP,
                      {tmp.path("planted.mdb"), "another account"});
        QCOMPARE(readFile(tmp.path("real/BACK.MDB")), QByteArray("db"));
    }

    void shell_data()
    {
        QTest::addColumn<QString>("name"); // "@" stands for the test's folder
        QTest::addColumn<int>("style");
        QTest::addColumn<long>("number"); // 0: started
        QTest::newRow("spaces and quotes are part of the name") << "@/sys info 'x'.sh" << 1 << 0L;
        // Never looked up in PATH, nor beside the current folder: the program runs as the operator.
        QTest::newRow("bare name") << "sys info 'x'.sh" << 4 << long(EINVAL);
        QTest::newRow("relative path") << "./sys info 'x'.sh" << 1 << long(EINVAL);
        QTest::newRow("others may change it") << "@/writable.sh" << 1 << long(EACCES);
        QTest::newRow("a link to it") << "@/link" << 1 << 0L;
        QTest::newRow("empty path") << QString() << 1 << long(ENOENT);
        QTest::newRow("no such file") << "@/missing/sysinfo" << 1 << long(ENOENT);
        QTest::newRow("folder") << "@/folder" << 1 << long(EISDIR);
        QTest::newRow("not executable") << "@/plain.sh" << 1 << long(EACCES);
        QTest::newRow("NUL in the path") << QStringLiteral("@/sys info 'x'.sh") + QChar(0) << 1 << long(EINVAL);
        QTest::newRow("no interpreter line") << "@/noformat" << 1 << long(ENOEXEC);
        QTest::newRow("window style 5") << "@/sys info 'x'.sh" << 5 << ErrorNumber::InvalidArgument;
    }

    void shell()
    {
        QFETCH(QString, name);
        QFETCH(int, style);
        QFETCH(long, number);
        TempFolder tmp;
        QDir().mkdir(tmp.path("folder"));
        const QByteArray script = "#!/bin/sh\necho $$ $(pwd) >> '" + QFile::encodeName(tmp.path("marker")) + "'\n";
        for (const char *name : {"sys info 'x'.sh", "plain.sh", "writable.sh"})
            writeFile(tmp.path(name), script);
        writeFile(tmp.path("noformat"), "\x01\x02 neither a program nor a script\n");
        for (const char *exe : {"sys info 'x'.sh", "noformat"})
            QVERIFY(QFile::setPermissions(tmp.path(exe), QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(::chmod(QFile::encodeName(tmp.path("writable.sh")).constData(), 0777) == 0);
        QVERIFY(QFile::link(tmp.path("sys info 'x'.sh"), tmp.path("link")));
        // Where a search would find it first.
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(tmp.path()) + ':' + oldPath);
        QDir::setCurrent(tmp.path());
        const auto restore = qScopeGuard([&] {
            qputenv("PATH", oldPath);
            QDir::setCurrent(QDir::rootPath());
        });
        const QString path = QString(name).replace('@', tmp.path());
        try {
            const qint64 pid = Process::Shell(path, style);
            QVERIFY2(number == 0, "the program was started");
            QTRY_COMPARE(readFile(tmp.path("marker")), QByteArray::number(pid) + " /\n");
        } catch (const Error &e) {
            QCOMPARE(e.number(), number);
            QVERIFY2(path.isEmpty() || e.description().contains(quotedPath(path)), qPrintable(e.description()));
            QVERIFY(!QFile::exists(tmp.path("marker")));
        }
    }
};

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
