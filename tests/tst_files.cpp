#include "errorcheck.h"
#include "platform/files.h"
#include "platform/tempfile.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <cerrno>
#include <unistd.h>

using namespace TestSupport;

namespace {

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

class TestFiles : public QObject {
    Q_OBJECT

private slots:
    void existence_data();
    void existence();
    void refusalsChangeNothing();
    void otherFileSystems();
    void atomicFileDiscardLeavesNothing();
};

void TestFiles::existence_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("probe");
    QTest::addColumn<bool>("expected");
    // setup: f=<name> makes a file, d=<name> a folder, r=<name> a read-only file, l=<name> a link to "target"
    QTest::newRow("plain file") << "f=BACK.MDB"
                                << "BACK.MDB" << true;
    QTest::newRow("read-only file") << "r=BACK.MDB"
                                    << "BACK.MDB" << true;
    QTest::newRow("quotes and spaces") << "f=it's my \"db\".mdb"
                                       << "it's my \"db\".mdb" << true;
    QTest::newRow("link to a file") << "l=link.mdb"
                                    << "link.mdb" << true;
    QTest::newRow("folder") << "d=BACK"
                            << "BACK" << false;
    QTest::newRow("hidden file") << "f=.BACK.MDB"
                                 << ".BACK.MDB" << false;
    QTest::newRow("missing parent") << ""
                                    << "no/such/BACK.MDB" << false;
    QTest::newRow("file used as folder") << "f=BACK.MDB"
                                         << "BACK.MDB/x" << false;
    QTest::newRow("trailing separator") << "f=BACK.MDB"
                                        << "BACK.MDB/" << false;
    QTest::newRow("wildcard is literal") << "f=BACK.MDB"
                                         << "*.MDB" << false;
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

// Each refused copy, delete or move names its files and the cause, and leaves every file as it was.
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
        {[&] { Files::copy(p("missing.mdb"), p("b.mdb")); }, ENOENT, {p("missing.mdb"), p("b.mdb")}},
        {[&] { Files::copy(p("folder"), p("b.mdb")); }, EISDIR, {p("folder"), p("b.mdb")}},
        {[&] { Files::copy(p("a.mdb"), p("folder")); }, EISDIR, {p("a.mdb"), p("folder")}},
        {[&] { Files::copy(p("a.mdb"), p("ro.mdb")); }, EACCES, {p("a.mdb"), p("ro.mdb")}},
        {[&] { Files::copy(p("a.mdb"), p("no/such/b.mdb")); }, ENOENT, {p("a.mdb"), p("no/such/b.mdb")}},
        {[&] { Files::remove(p("ro.mdb")); }, EACCES, {p("ro.mdb")}},
        {[&] { Files::remove(p("folder")); }, EISDIR, {p("folder")}},
        {[&] { Files::remove(p("missing.mdb")); }, ENOENT, {p("missing.mdb")}},
        {[&] { Files::move(p("a.mdb"), p("ro.mdb")); }, EEXIST, {p("ro.mdb")}},
    };
    for (const auto &c : cases)
        QCOMPARE(errorMismatch(c.call, c.number, c.names), QString());
    QCOMPARE(filesIn(tmp.path()), (QStringList{"a.mdb", "ro.mdb"}));
    QCOMPARE(readFile(p("a.mdb")), QByteArray("a"));
    QCOMPARE(readFile(p("ro.mdb")), QByteArray("read-only"));

    // What may be done is done, quotes and spaces included.
    Files::move(p("a.mdb"), p("it's a b.mdb"));
    QCOMPARE(filesIn(tmp.path()), (QStringList{"it's a b.mdb", "ro.mdb"}));
    Files::copy(p("it's a b.mdb"), p("c 'd'.mdb"));
    Files::remove(p("it's a b.mdb"));
    QCOMPARE(filesIn(tmp.path()), (QStringList{"c 'd'.mdb", "ro.mdb"}));
    QCOMPARE(readFile(p("c 'd'.mdb")), QByteArray("a"));

    ReadOnlyFolder locked(p("locked"));
    if (!locked.lock())
        QSKIP(qPrintable(locked.why()));
    QVERIFY_THROWS_EXCEPTION(Error, Files::copy(p("ro.mdb"), p("locked/a.mdb")));
}

// A copy onto a full disk keeps the old file; a move to another file system copies and then
// deletes, and when either step fails the source stays and nothing is left on the other side.
void TestFiles::otherFileSystems()
{
    TempFolder tmp;
    const QByteArray content = randomBytes(3 << 20, 9);
    writeFile(tmp.path("BACKNEW.MDB"), content);
    SmallFileSystem small(tmp.path("small"), 1 << 20);
    if (!small.isValid())
        QSKIP(qPrintable(small.why()));
    const QString full = tmp.path("small/BACK26.BAK");
    writeFile(full, "previous safety copy");
    QCOMPARE(errorMismatch([&] { Files::copy(tmp.path("BACKNEW.MDB"), full); }, ENOSPC, {full}), QString());
    QCOMPARE(readFile(full), QByteArray("previous safety copy"));
    QVERIFY(QFile::remove(full));
    QVERIFY_THROWS_EXCEPTION(Error, Files::move(tmp.path("BACKNEW.MDB"), tmp.path("small/BACK.MDB")));
    QCOMPARE(readFile(tmp.path("BACKNEW.MDB")), content);
    QCOMPARE(filesIn(tmp.path("small")), QStringList());

    SmallFileSystem big(tmp.path("big"), 8 << 20);
    QVERIFY(QFile::setPermissions(tmp.path("BACKNEW.MDB"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    Files::move(tmp.path("BACKNEW.MDB"), tmp.path("big/BACK.MDB"));
    QCOMPARE(readFile(tmp.path("big/BACK.MDB")), content);
    QCOMPARE(QFile::permissions(tmp.path("big/BACK.MDB")) & 0x7777,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadUser | QFile::WriteUser);
    QVERIFY(!QFile::exists(tmp.path("BACKNEW.MDB")));
    QCOMPARE(filesIn(tmp.path("big")), QStringList{"BACK.MDB"});

    // The source's folder refuses the delete: the copy made on the other side is taken back.
    ReadOnlyFolder locked(tmp.path("locked"));
    writeFile(tmp.path("locked/BACKNEW.MDB"), content);
    if (!locked.lock())
        QSKIP(qPrintable(locked.why()));
    QVERIFY_THROWS_EXCEPTION(Error, Files::move(tmp.path("locked/BACKNEW.MDB"), tmp.path("big/NEW.MDB")));
    QCOMPARE(readFile(tmp.path("locked/BACKNEW.MDB")), content);
    QCOMPARE(filesIn(tmp.path("big")), QStringList{"BACK.MDB"});
}

void TestFiles::atomicFileDiscardLeavesNothing()
{
    TempFolder tmp;
    writeFile(tmp.path("out.TVB"), "old");
    {
        TempFile f(tmp.path("out.TVB"), TempFile::Temporary, "test");
        QVERIFY(!Files::exists(f.path())); // hidden from the existence test
        QCOMPARE(::write(f.fd(), "new", 3), ssize_t(3));
    } // not committed
    QCOMPARE(filesIn(tmp.path()), QStringList{"out.TVB"});
    TempFile f(tmp.path("out.TVB"), TempFile::Temporary, "test");
    QCOMPARE(::write(f.fd(), "new", 3), ssize_t(3));
    QVERIFY_THROWS_EXCEPTION(Error, f.commit(TempFile::Existing::Refuse)); // refuses to replace
    QCOMPARE(readFile(tmp.path("out.TVB")), QByteArray("old"));
}

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
