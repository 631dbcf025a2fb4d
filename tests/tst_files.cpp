#include "errorcheck.h"
#include "platform/files.h"
#include "platform/process/process.h"
#include "platform/tempfile.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <cerrno>
#include <unistd.h>

using namespace TestSupport;

namespace {
QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}
} // namespace

// What counts as an existing file, copies and replacements that happen whole or change nothing,
// and starting another program, which runs detached under the id returned.
class TestFiles : public QObject {
    Q_OBJECT

private slots:
    void existence();
    void copiesWhole();
    void refusalsChangeNothing();
    void shell_data();
    void shell();
};

void TestFiles::existence()
{
    TempFolder tmp;
    for (const char *name : {"BACK.MDB", "it's my \"db\".mdb", ".BACK.MDB", "ro.MDB"})
        writeFile(tmp.path(name), "x");
    QVERIFY(QFile::setPermissions(tmp.path("ro.MDB"), QFile::ReadOwner));
    QVERIFY(QFile::link(tmp.path("BACK.MDB"), tmp.path("link.mdb")) && QDir().mkdir(tmp.path("BACK")));
    for (const QString &name : QStringList{"BACK.MDB", "it's my \"db\".mdb", "ro.MDB", "link.mdb"})
        QVERIFY2(Files::exists(tmp.path(name)), qPrintable(name));
    // Folders, hidden files, and paths that cannot be looked up count as absent.
    for (const QString &name :
         QStringList{"BACK", ".BACK.MDB", "no/such/BACK.MDB", "BACK.MDB/x", "BACK.MDB/", "*.MDB", QString(5000, 'a')})
        QVERIFY2(!Files::exists(tmp.path(name)), qPrintable(name.left(40)));
}

// Copies of files larger than the pieces of 8 MiB the copy hands the kernel, and temporary files
// that are discarded or refuse to replace a file: every byte arrives, nothing is left behind.
void TestFiles::copiesWhole()
{
    TempFolder tmp;
    for (qsizetype size : {0, 1, 8 << 20, (17 << 20) + 4097}) {
        const QByteArray data = randomBytes(size, quint32(size) + 7);
        writeFile(tmp.path("BACK.MDB"), data);
        {
            QFile in(tmp.path("BACK.MDB")); // through a temporary file, as a restore from a database file copies
            QVERIFY(in.open(QIODevice::ReadOnly));
            TempFile out(tmp.path("BACK26.BAK"), TempFile::Temporary, "test");
            Files::copyData(in.handle(), in.fileName(), out.fd(), tmp.path("BACK26.BAK"), "test");
            out.commit(TempFile::Existing::Replace);
        }
        QVERIFY(readFile(tmp.path("BACK26.BAK")) == data);
        QCOMPARE(filesIn(tmp.path()), (QStringList{"BACK.MDB", "BACK26.BAK"}));
    }
    for (bool commit : {false, true}) {
        TempFile f(tmp.path("BACK.MDB"), TempFile::Temporary, "test");
        QVERIFY(!Files::exists(f.path())); // hidden from the existence test
        QCOMPARE(::write(f.fd(), "new", 3), ssize_t(3));
        if (commit)
            QVERIFY_THROWS_EXCEPTION(Error, f.commit(TempFile::Existing::Refuse));
    }
    QCOMPARE(filesIn(tmp.path()), (QStringList{"BACK.MDB", "BACK26.BAK"}));
    QVERIFY(readFile(tmp.path("BACK.MDB")).size() > 3);
}

// Putting a file in place of another (as a compaction does) keeps the replaced file's
// permissions; each refusal names its files and the cause, and leaves every file as it was.
void TestFiles::refusalsChangeNothing()
{
    TempFolder tmp;
    const auto p = [&](const char *name) { return tmp.path(name); };
    writeFile(p("a.mdb"), "a");
    writeFile(p("ro.mdb"), "read-only");
    QVERIFY(QFile::setPermissions(p("ro.mdb"), QFile::ReadOwner | QFile::ReadGroup));
    QVERIFY(QDir().mkdir(p("folder")));
    const struct {
        std::function<void()> call;
        long number;
        QStringList names;
    } cases[] = {
        {[&] { Files::replace(p("missing.mdb"), p("a.mdb")); }, ENOENT, {p("missing.mdb"), p("a.mdb")}},
        {[&] { Files::replace(p("a.mdb"), p("folder")); }, EISDIR, {p("a.mdb"), p("folder")}},
        {[&] { Files::replace(p("a.mdb"), p("ro.mdb")); }, EACCES, {p("a.mdb"), p("ro.mdb")}},
        {[&] { Files::replace(p("a.mdb"), p("no/such/b.mdb")); }, ENOENT, {p("a.mdb"), p("no/such/b.mdb")}},
    };
    for (const auto &c : cases)
        QCOMPARE(errorMismatch(c.call, c.number, c.names), QString());
    QCOMPARE(filesIn(tmp.path()), (QStringList{"a.mdb", "ro.mdb"}));
    QCOMPARE(readFile(p("a.mdb")) + readFile(p("ro.mdb")), QByteArray("aread-only"));

    // What may be done is done, quotes and spaces included, and the mode of the file replaced stays.
    writeFile(p("it's a \"b\".mdb"), "old");
    QVERIFY(QFile::setPermissions(p("it's a \"b\".mdb"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    Files::replace(p("a.mdb"), p("it's a \"b\".mdb"));
    QCOMPARE(filesIn(tmp.path()), (QStringList{"it's a \"b\".mdb", "ro.mdb"}));
    QCOMPARE(readFile(p("it's a \"b\".mdb")), QByteArray("a"));
    QCOMPARE(QFile::permissions(p("it's a \"b\".mdb")),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup);
}

void TestFiles::shell_data()
{
    QTest::addColumn<QString>("name"); // "@" stands for the test's folder
    QTest::addColumn<int>("style");
    QTest::addColumn<long>("number"); // 0: started
    QTest::newRow("spaces and quotes are part of the name") << "@/sys info 'x'.sh" << 1 << 0L;
    QTest::newRow("bare name looked up in PATH") << "sys info 'x'.sh" << 4 << 0L;
    QTest::newRow("empty path") << QString() << 1 << long(ENOENT);
    QTest::newRow("no such file") << "@/missing/sysinfo" << 1 << long(ENOENT);
    QTest::newRow("folder") << "@/folder" << 1 << long(EISDIR);
    QTest::newRow("not executable") << "@/plain.sh" << 1 << long(EACCES);
    QTest::newRow("NUL in the path") << QStringLiteral("@/sys info 'x'.sh") + QChar(0) << 1 << long(EINVAL);
    QTest::newRow("bare name not in PATH") << "no-such-program-tarvos" << 1 << long(ENOENT);
    QTest::newRow("no interpreter line") << "@/noformat" << 1 << long(ENOEXEC);
    QTest::newRow("window style 5") << "@/sys info 'x'.sh" << 5 << ErrorNumber::InvalidArgument;
}

void TestFiles::shell()
{
    QFETCH(QString, name);
    QFETCH(int, style);
    QFETCH(long, number);
    TempFolder tmp;
    QDir().mkdir(tmp.path("folder"));
    const QByteArray script = "#!/bin/sh\necho $$ >> '" + QFile::encodeName(tmp.path("marker")) + "'\n";
    writeFile(tmp.path("sys info 'x'.sh"), script);
    writeFile(tmp.path("plain.sh"), script);
    writeFile(tmp.path("noformat"), "\x01\x02 neither a program nor a script\n");
    for (const char *exe : {"sys info 'x'.sh", "noformat"})
        QVERIFY(QFile::setPermissions(tmp.path(exe), QFile::ReadOwner | QFile::ExeOwner));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(tmp.path()) + ':' + oldPath);
    const auto restorePath = qScopeGuard([&] { qputenv("PATH", oldPath); });
    const QString path = QString(name).replace('@', tmp.path());
    try {
        const qint64 pid = Process::Shell(path, style);
        QVERIFY2(number == 0, "the program was started");
        QTRY_COMPARE(readFile(tmp.path("marker")), QByteArray::number(pid) + '\n');
    } catch (const Error &e) {
        QCOMPARE(e.number(), number);
        QVERIFY2(path.isEmpty() || e.description().contains(quotedPath(path)), qPrintable(e.description()));
        QVERIFY(!QFile::exists(tmp.path("marker")));
    }
}

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
