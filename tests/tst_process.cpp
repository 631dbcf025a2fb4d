#include "platform/errors.h"
#include "platform/process/process.h"
#include "testsupport.h"

#include <QtTest>

#include <cerrno>

using namespace TestSupport;

class TestProcess : public QObject {
    Q_OBJECT

private slots:
    void refusals_data();
    void refusals();
    void startsDetachedAndReturnsItsId();
    void bareNameIsLookedUpInSearchPath();
};

namespace {

// Writes an executable shell script that records its process id in marker.
void writeMarkerScript(const QString &path, const QString &marker)
{
    writeFile(path, "#!/bin/sh\necho $$ >> '" + QFile::encodeName(marker) + "'\n");
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace

void TestProcess::refusals_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("style");
    QTest::addColumn<long>("number");
    // "@" stands for the test's folder.
    QTest::newRow("empty path") << QString() << 1 << long(ENOENT);
    QTest::newRow("no such file") << "@/missing/sysinfo" << 1 << long(ENOENT);
    QTest::newRow("folder") << "@/folder" << 1 << long(EISDIR);
    QTest::newRow("not executable") << "@/plain.txt" << 1 << long(EACCES);
    QTest::newRow("NUL in the path") << QStringLiteral("@/script.sh") + QChar(0) << 1 << long(EINVAL);
    QTest::newRow("bare name not in the search path") << "no-such-program-tarvos" << 1 << long(ENOENT);
    QTest::newRow("no interpreter line") << "@/noformat" << 1 << long(ENOEXEC);
    QTest::newRow("window style 5") << "@/script.sh" << 5 << ErrorNumber::InvalidArgument;
    QTest::newRow("window style 7") << "@/script.sh" << 7 << ErrorNumber::InvalidArgument;
    QTest::newRow("window style -1") << "@/script.sh" << -1 << ErrorNumber::InvalidArgument;
}

void TestProcess::refusals()
{
    QFETCH(QString, name);
    QFETCH(int, style);
    QFETCH(long, number);
    TempFolder tmp;
    QDir().mkdir(tmp.path("folder"));
    writeFile(tmp.path("plain.txt"), "text");
    writeMarkerScript(tmp.path("script.sh"), tmp.path("marker"));
    writeFile(tmp.path("noformat"), "\x01\x02 neither a program nor a script\n");
    QFile::setPermissions(tmp.path("noformat"), QFile::ReadOwner | QFile::ExeOwner);

    const QString path = QString(name).replace(QLatin1Char('@'), tmp.path());
    try {
        Process::Shell(path, style);
        QFAIL("the program was started");
    } catch (const Error &e) {
        QCOMPARE(e.number(), number);
        if (!path.isEmpty())
            QVERIFY2(e.description().contains(quotedPath(path)), qPrintable(e.description()));
    }
    QVERIFY(!QFile::exists(tmp.path("marker")));
}

void TestProcess::startsDetachedAndReturnsItsId()
{
    TempFolder tmp;
    // Spaces and quotes are part of the name: nothing splits the path into words.
    const QString program = tmp.path("sys info 'x'.sh"), marker = tmp.path("marker");
    writeMarkerScript(program, marker);
    const qint64 pid = Process::Shell(program, Process::WindowStyle::NormalFocus);
    QVERIFY(pid > 0);
    QTRY_VERIFY(readFile(marker).endsWith('\n'));
    QCOMPARE(readFile(marker).trimmed().toLongLong(), pid);
    // Each call starts another copy.
    Process::Shell(program, Process::WindowStyle::NormalFocus);
    QTRY_COMPARE(readFile(marker).count('\n'), 2);
}

void TestProcess::bareNameIsLookedUpInSearchPath()
{
    TempFolder tmp;
    QDir().mkdir(tmp.path("bin"));
    writeMarkerScript(tmp.path("bin/tarvos-test-sysinfo"), tmp.path("marker"));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(tmp.path("bin")) + ':' + oldPath);
    const auto restore = qScopeGuard([&] { qputenv("PATH", oldPath); });
    Process::Shell(QStringLiteral("tarvos-test-sysinfo"), Process::WindowStyle::NormalFocus);
    QTRY_VERIFY(QFile::exists(tmp.path("marker")));
}

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
