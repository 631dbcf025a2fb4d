#include "platform/errors.h"
#include "platform/files.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <cerrno>
#include <sys/stat.h>

using namespace TestSupport;

class TestFiles : public QObject {
    Q_OBJECT

private slots:
    void existence_data();
    void existence();
    void copyReplacesOnlyWhenComplete();
    void copyRefusals();
    void removeRefusals();
    void moveWithinAndAcrossFileSystems();
    void moveAcrossFailsKeepingSource();
    void atomicFileDiscardLeavesNothing();
    void appPathHasNoTrailingSeparator();
};

void TestFiles::existence_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("probe");
    QTest::addColumn<bool>("expected");
    // setup: f=<name> makes a file, d=<name> a folder, r=<name> a read-only file, l=<name> a link to "target"
    QTest::newRow("plain file") << "f=BACK.MDB" << "BACK.MDB" << true;
    QTest::newRow("read-only file") << "r=BACK.MDB" << "BACK.MDB" << true;
    QTest::newRow("quotes and spaces") << "f=it's my \"db\".mdb" << "it's my \"db\".mdb" << true;
    QTest::newRow("link to a file") << "l=link.mdb" << "link.mdb" << true;
    QTest::newRow("folder") << "d=BACK" << "BACK" << false;
    QTest::newRow("hidden file") << "f=.BACK.MDB" << ".BACK.MDB" << false;
    QTest::newRow("missing") << "" << "nothing.mdb" << false;
    QTest::newRow("missing parent") << "" << "no/such/BACK.MDB" << false;
    QTest::newRow("file used as folder") << "f=BACK.MDB" << "BACK.MDB/x" << false;
    QTest::newRow("trailing separator") << "f=BACK.MDB" << "BACK.MDB/" << false;
    QTest::newRow("wildcard is literal") << "f=BACK.MDB" << "*.MDB" << false;
    QTest::newRow("name too long") << "" << QString(5000, QLatin1Char('a')) << false;
}

void TestFiles::existence()
{
    QFETCH(QString, setup);
    QFETCH(QString, probe);
    QFETCH(bool, expected);
    TempFolder tmp;
    const QString kind = setup.left(1), name = setup.mid(2);
    if (kind == "f" || kind == "r" || kind == "l")
        writeFile(tmp.path(kind == "l" ? "target" : name), "x");
    if (kind == "r")
        QVERIFY(QFile::setPermissions(tmp.path(name), QFile::ReadOwner));
    if (kind == "l")
        QVERIFY(QFile::link(tmp.path("target"), tmp.path(name)));
    if (kind == "d")
        QVERIFY(QDir().mkdir(tmp.path(name)));
    QCOMPARE(Files::exists(tmp.path(probe)), expected);
}

void TestFiles::copyReplacesOnlyWhenComplete()
{
    TempFolder tmp;
    const QString src = tmp.path("source db.mdb"), dst = tmp.path("it's here.bak");
    writeFile(src, randomBytes(3 << 20));
    writeFile(dst, "old content");
    Files::copy(src, dst);
    QCOMPARE(readFile(dst), readFile(src));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);

    // A destination on a file system too small for the copy keeps its old content.
    SmallFileSystem small(tmp.path("small"), 1 << 20);
    if (!small.isValid())
        QSKIP(qPrintable(small.why()));
    const QString full = tmp.path("small/BACK26.BAK");
    writeFile(full, "previous safety copy");
    try {
        Files::copy(src, full);
        QFAIL("copy onto a full disk succeeded");
    } catch (const Error &e) {
        QCOMPARE(e.number(), long(ENOSPC));
        QVERIFY2(e.description().contains(full), qPrintable(e.description()));
    }
    QCOMPARE(readFile(full), QByteArray("previous safety copy"));
    QCOMPARE(QDir(tmp.path("small")).entryList(QDir::Files | QDir::Hidden), QStringList{"BACK26.BAK"});
}

void TestFiles::copyRefusals()
{
    TempFolder tmp;
    writeFile(tmp.path("a.mdb"), "a");
    QDir().mkdir(tmp.path("folder"));
    writeFile(tmp.path("ro.mdb"), "read-only");
    QFile::setPermissions(tmp.path("ro.mdb"), QFile::ReadOwner);

    const struct {
        QString src, dst;
        long number;
    } cases[] = {
        {tmp.path("missing.mdb"), tmp.path("b.mdb"), ENOENT},
        {tmp.path("folder"), tmp.path("b.mdb"), EISDIR},
        {tmp.path("a.mdb"), tmp.path("folder"), EISDIR},
        {tmp.path("a.mdb"), tmp.path("ro.mdb"), EACCES},
        {tmp.path("a.mdb"), tmp.path("no/such/folder/b.mdb"), ENOENT},
    };
    for (const auto &c : cases) {
        try {
            Files::copy(c.src, c.dst);
            QFAIL(qPrintable("copy succeeded: " + c.src + " -> " + c.dst));
        } catch (const Error &e) {
            QCOMPARE(e.number(), c.number);
            QVERIFY2(e.description().contains(c.src) && e.description().contains(c.dst), qPrintable(e.description()));
        }
    }
    QCOMPARE(readFile(tmp.path("ro.mdb")), QByteArray("read-only"));
    QVERIFY(!QFile::exists(tmp.path("b.mdb")));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);

    ReadOnlyFolder locked(tmp.path("locked"));
    if (!locked.lock())
        QSKIP(qPrintable(locked.why()));
    QVERIFY_THROWS_EXCEPTION(Error, Files::copy(tmp.path("a.mdb"), tmp.path("locked/a.mdb")));
}

void TestFiles::removeRefusals()
{
    TempFolder tmp;
    writeFile(tmp.path("ro.mdb"), "x");
    QFile::setPermissions(tmp.path("ro.mdb"), QFile::ReadOwner | QFile::ReadGroup);
    QDir().mkdir(tmp.path("folder"));
    for (const auto &[name, number] : {std::pair{"ro.mdb", EACCES}, {"folder", EISDIR}, {"missing.mdb", ENOENT}}) {
        try {
            Files::remove(tmp.path(name));
            QFAIL(name);
        } catch (const Error &e) {
            QCOMPARE(e.number(), long(number));
            QVERIFY(e.description().contains(tmp.path(name)));
        }
    }
    QVERIFY(QFile::exists(tmp.path("ro.mdb")));
    writeFile(tmp.path("a b'c.mdb"), "x");
    Files::remove(tmp.path("a b'c.mdb"));
    QVERIFY(!QFile::exists(tmp.path("a b'c.mdb")));
}

void TestFiles::moveWithinAndAcrossFileSystems()
{
    TempFolder tmp;
    writeFile(tmp.path("BACKNEW.MDB"), "compacted");
    writeFile(tmp.path("other.mdb"), "keep me");
    // An existing destination is refused and both files stay as they were.
    try {
        Files::move(tmp.path("BACKNEW.MDB"), tmp.path("other.mdb"));
        QFAIL("move replaced an existing file");
    } catch (const Error &e) {
        QCOMPARE(e.number(), long(EEXIST));
    }
    QCOMPARE(readFile(tmp.path("other.mdb")), QByteArray("keep me"));
    Files::move(tmp.path("BACKNEW.MDB"), tmp.path("Sales data.mdb"));
    QCOMPARE(readFile(tmp.path("Sales data.mdb")), QByteArray("compacted"));
    QVERIFY(!QFile::exists(tmp.path("BACKNEW.MDB")));

    // Another file system: the move copies, then deletes the source.
    SmallFileSystem other(tmp.path("other-fs"), 8 << 20);
    if (!other.isValid())
        QSKIP(qPrintable(other.why()));
    const QByteArray content = randomBytes(2 << 20, 7);
    writeFile(tmp.path("big.mdb"), content);
    QFile::setPermissions(tmp.path("big.mdb"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    Files::move(tmp.path("big.mdb"), tmp.path("other-fs/big.mdb"));
    QCOMPARE(readFile(tmp.path("other-fs/big.mdb")), content);
    QCOMPARE(QFile::permissions(tmp.path("other-fs/big.mdb")) & 0x7777,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadUser | QFile::WriteUser);
    QVERIFY(!QFile::exists(tmp.path("big.mdb")));
    QCOMPARE(QDir(tmp.path("other-fs")).entryList(QDir::Files | QDir::Hidden), QStringList{"big.mdb"});
}

void TestFiles::moveAcrossFailsKeepingSource()
{
    TempFolder tmp;
    SmallFileSystem small(tmp.path("small"), 1 << 20);
    if (!small.isValid())
        QSKIP(qPrintable(small.why()));
    const QByteArray content = randomBytes(3 << 20, 9);
    writeFile(tmp.path("BACKNEW.MDB"), content);
    QVERIFY_THROWS_EXCEPTION(Error, Files::move(tmp.path("BACKNEW.MDB"), tmp.path("small/BACK.MDB")));
    QCOMPARE(readFile(tmp.path("BACKNEW.MDB")), content);
    QVERIFY(QDir(tmp.path("small")).entryList(QDir::Files | QDir::Hidden).isEmpty());

    // The source's folder refuses the delete: the copy made on the other side is taken back.
    SmallFileSystem big(tmp.path("big"), 8 << 20);
    ReadOnlyFolder locked(tmp.path("locked"));
    writeFile(tmp.path("locked/BACKNEW.MDB"), content);
    if (!locked.lock())
        QSKIP(qPrintable(locked.why()));
    QVERIFY_THROWS_EXCEPTION(Error, Files::move(tmp.path("locked/BACKNEW.MDB"), tmp.path("big/BACK.MDB")));
    QCOMPARE(readFile(tmp.path("locked/BACKNEW.MDB")), content);
    QVERIFY(QDir(tmp.path("big")).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

void TestFiles::atomicFileDiscardLeavesNothing()
{
    TempFolder tmp;
    writeFile(tmp.path("out.TVB"), "old");
    {
        Files::AtomicFile f(tmp.path("out.TVB"));
        const int fd = f.open();
        QVERIFY(fd >= 0);
        QVERIFY(!Files::exists(f.tempPath())); // hidden from the existence test
        QCOMPARE(::write(fd, "new", 3), ssize_t(3));
    } // not committed
    QCOMPARE(readFile(tmp.path("out.TVB")), QByteArray("old"));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"out.TVB"});

    Files::AtomicFile f(tmp.path("out.TVB"));
    QCOMPARE(::write(f.open(), "new", 3), ssize_t(3));
    QVERIFY_THROWS_EXCEPTION(Error, f.commitNew());
    QCOMPARE(readFile(tmp.path("out.TVB")), QByteArray("old"));
}

void TestFiles::appPathHasNoTrailingSeparator()
{
    const QString path = Files::appPath();
    QVERIFY(!path.isEmpty());
    QVERIFY(!path.endsWith(Files::separator()));
    QVERIFY(Files::exists(path + Files::separator() + QCoreApplication::applicationName())
            || QFileInfo(QCoreApplication::applicationFilePath()).absolutePath() == path);
}

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
