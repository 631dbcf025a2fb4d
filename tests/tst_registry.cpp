#include "platform/registry/registry.h"
#include "testsupport.h"

#include <QProcess>
#include <QtTest>

using namespace Registry;
using namespace TestSupport;

namespace {

const QByteArray Header = "Windows Registry Editor Version 5.00\r\n\r\n";
const QByteArray ToolKey = Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"P\"=\"1\"\r\n";

// Opens HKEY_LOCAL_MACHINE\keyPath for reading and reads one value, first asking its size:
// "<type>:<data>", or "error <code>".
QByteArray readValue(const QByteArray &keyPath, const QByteArray &name)
{
    HKEY key{};
    long rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS)
        return "error " + QByteArray::number(qint64(rc));
    const KeyCloser closer(key);
    quint32 size = 0, type = 0;
    rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    QByteArray data(int(size), '\x55');
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<unsigned char *>(data.data()), &size);
    if (rc != ERROR_SUCCESS)
        return "error " + QByteArray::number(qint64(rc));
    return QByteArray::number(type) + ':' + data.left(size);
}

} // namespace

class TestRegistry : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanupTestCase() { setHiveFile(QString()); }

    void valueTypes_data();
    void valueTypes();
    void malformedHive_data();
    void malformedHive();
    void otherEncodingsAndHeaders();
    void handlesRightsAndBuffer();
    void seedScript();

private:
    void writeHive(const QByteArray &bytes);
    std::unique_ptr<TempFolder> tmp_;
};

void TestRegistry::init()
{
    tmp_ = std::make_unique<TempFolder>();
    setHiveFile(tmp_->path("registry.reg"));
}

void TestRegistry::writeHive(const QByteArray &bytes)
{
    writeFile(tmp_->path("registry.reg"), bytes);
}

void TestRegistry::valueTypes_data()
{
    // The lines of a hive, the value read ("<key below HKEY_LOCAL_MACHINE>|<name>"), and what the
    // read gives. Missing keys and values are rows of the About dialog's test.
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("probe");
    QTest::addColumn<QByteArray>("result");
    const QByteArray k = R"([HKEY_LOCAL_MACHINE\SOFTWARE\Vendor\Tool])"
                         "\r\n",
                     tool = R"(SOFTWARE\Vendor\Tool|)";
    const QByteArray absent = "error 2", zero(1, '\0');

    QTest::newRow("string with escapes") << k + R"("P"="C:\\Program Files\\a \"b\".exe")" << tool + "P"
                                         << "1:" + QByteArray(R"(C:\Program Files\a "b".exe)") + zero;
    QTest::newRow("dword, little-endian") << k + R"("N"=dword:0000abcd)" << tool + "N"
                                          << "4:\xcd\xab" + zero + zero;
    QTest::newRow("binary, continued") << k + "\"B\"=hex:de,ad,\\\r\n  be,EF" << tool + "B"
                                       << QByteArray("3:\xde\xad\xbe\xef");
    QTest::newRow("binary, zero length") << k + R"("B"=hex:)" << tool + "B" << QByteArray("3:");
    QTest::newRow("expandable string") << k + R"("X"=hex(2):25,00,41,00,25,00,00,00)" << tool + "X"
                                       << "2:%A%" + zero;
    QTest::newRow("names ignore case") << k + R"("Path"="x")" << QByteArray(R"(software\VENDOR\tool|pATH)")
                                       << "1:x" + zero;
    QTest::newRow("removed value") << k + "\"P\"=\"1\"\r\n\"P\"=-" << tool + "P" << absent;
    QTest::newRow("removed key") << k + "\"P\"=\"1\"\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]" << tool + "P"
                                 << absent;
    QTest::newRow("parent key, without values") << k + R"("P"="1")" << QByteArray(R"(SOFTWARE\Vendor|P)") << absent;
    QTest::newRow("key of another root") << QByteArray("[HKEY_CURRENT_USER\\SOFTWARE\\Vendor\\Tool]\r\n\"P\"=\"1\"")
                                         << tool + "P" << absent;
    QTest::newRow("bad lines skipped, next one read")
        << k + "; a comment\r\n\"A\"=\"x\" junk\r\n\"B\"=dword:123456789\r\n\"P\"=\"ok\"" << tool + "P"
        << "1:ok" + zero;
    QTest::newRow("dword of nine digits dropped") << k + R"("N"=dword:123456789)" << tool + "N" << absent;
    QTest::newRow("value of a broken key line dropped")
        << QByteArray("[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\Vendor\\Tool]\r\n\"P\"=\"1\"") << tool + "P" << absent;
}

void TestRegistry::valueTypes()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, probe);
    QFETCH(QByteArray, result);
    writeHive(Header + body + "\r\n");
    const qsizetype bar = probe.indexOf('|');
    QCOMPARE(readValue(probe.left(bar), probe.mid(bar + 1)).toHex(' '), result.toHex(' '));
}

void TestRegistry::malformedHive_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=\"/bin/true\"\r\n";
    QTest::newRow("no header") << good;
    QTest::newRow("binary junk") << Header + randomBytes(4096, 7);
    QTest::newRow("truncated in the string") << Header + good.left(good.size() - 8);
    QTest::newRow("unknown escape") << Header + QByteArray(good).replace("/bin", "\\q/bin");
    QTest::newRow("bad hex byte") << Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=hex:1,zz\r\n";
    QTest::newRow("hex byte of three digits")
        << Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=hex:41,141\r\n";
    QTest::newRow("unknown root") << Header + "[HKEY_NOWHERE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=\"x\"\r\n";
    QTest::newRow("continuation at end of file")
        << Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=hex:41,\\";
    QTest::newRow("too large") << Header + good + QByteArray(17 << 20, ' ');
}

void TestRegistry::malformedHive()
{
    QFETCH(QByteArray, bytes);
    writeHive(bytes);
    QCOMPARE(readValue("SOFTWARE\\Vendor\\Tool", "PATH"), QByteArray("error 2"));
    // The roots themselves can always be opened.
    HKEY key{};
    QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, QByteArray(), 0, KEY_READ, &key), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
}

void TestRegistry::otherEncodingsAndHeaders()
{
    const QString text = QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n"
                                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"P\"=\"Stra\u00DFe\"\r\n");
    const QByteArray strasse("1:Stra\xC3\x9F"
                             "e",
                             10); // UTF-8 and its terminating zero
    writeHive("\xFF\xFE" + QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2));
    QCOMPARE(readValue("SOFTWARE\\Vendor\\Tool", "P"), strasse);
    writeHive("\xEF\xBB\xBF" + text.toUtf8());
    QCOMPARE(readValue("SOFTWARE\\Vendor\\Tool", "P"), strasse);

    // The older header: hex(N) strings hold 8-bit text, not UTF-16.
    writeHive("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\n\"X\"=hex(2):25,41,25,00\n");
    QCOMPARE(readValue("SOFTWARE\\Vendor\\Tool", "X"), QByteArray("2:%A%\0", 6)); // REG_EXPAND_SZ

    // Missing, unreadable or unnamed hive files: keys below the roots are absent.
    for (const QString &file : {tmp_->path("none.reg"), tmp_->path(), QString()}) {
        setHiveFile(file);
        QCOMPARE(readValue("SOFTWARE\\Vendor\\Tool", "X"), QByteArray("error 2"));
    }
}

void TestRegistry::handlesRightsAndBuffer()
{
    writeHive(ToolKey);
    HKEY vendor{}, tool{}, again{};
    QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\", 0, KEY_READ, &vendor), ERROR_SUCCESS);
    // Relative to an open key, and the same key again through an empty sub-key.
    QCOMPARE(RegOpenKeyExA(vendor, "Tool", 0, KEY_READ, &tool), ERROR_SUCCESS);
    QCOMPARE(RegOpenKeyExA(tool, QByteArray(), 0, KEY_READ, &again), ERROR_SUCCESS);
    QVERIFY(tool != vendor && again != tool);
    QCOMPARE(RegOpenKeyExA(vendor, "SOFTWARE", 0, KEY_READ, &tool), ERROR_FILE_NOT_FOUND);
    // Read rights only: anything more is refused, as to an ordinary user.
    for (const quint32 rights : {quint32(0x2003F), quint32(KEY_ALL_ACCESS)}) {
        HKEY refused{0xDEAD};
        QCOMPARE(RegOpenKeyExA(vendor, "Tool", 0, rights, &refused), ERROR_ACCESS_DENIED);
        QCOMPARE(refused, HKEY{});
    }

    // One byte short (the terminating zero): more data, the needed size, the buffer untouched.
    unsigned char buffer[4] = {'x', 'x', 'x', 'x'};
    quint32 type = 0, size = 1;
    QCOMPARE(RegQueryValueExA(again, "P", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    QCOMPARE(size, 2u);
    QCOMPARE(type, REG_SZ);
    QCOMPARE(buffer[0], 'x');
    QCOMPARE(RegQueryValueExA(again, "P", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer), 3), QByteArray("1\0x", 3));
    quint32 reserved = 0;
    QCOMPARE(RegQueryValueExA(again, "P", &reserved, &type, buffer, &size), ERROR_INVALID_PARAMETER);
    QCOMPARE(RegQueryValueExA(again, "P", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);

    QCOMPARE(RegCloseKey(again), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(again), ERROR_INVALID_HANDLE);
    QCOMPARE(RegQueryValueExA(again, "P", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    QCOMPARE(RegOpenKeyExA(again, "X", 0, KEY_READ, &tool), ERROR_INVALID_HANDLE);
    QCOMPARE(RegCloseKey(vendor), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

void TestRegistry::seedScript()
{
    const QString hive = tmp_->path("etc/tarvos-utility/registry.reg");
    const auto seed = [&](const QStringList &args) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", tmp_->path("bin") + ":/usr/bin:/bin");
        process.setProcessEnvironment(env);
        process.start(QStringLiteral("/bin/sh"), QStringList{QStringLiteral(TARVOS_SEED_SCRIPT), hive} + args);
        return process.waitForFinished() ? process.exitCode() : -1;
    };
    const auto program = [&](const QString &name) {
        QDir().mkpath(QFileInfo(tmp_->path(name)).path());
        writeFile(tmp_->path(name), "#!/bin/sh\n");
        QFile::setPermissions(tmp_->path(name), QFile::ReadOwner | QFile::ExeOwner);
        return tmp_->path(name);
    };
    const QString hardinfo = program("bin/hardinfo"), odd = program("odd \"dir\\\"/sys info");
    writeFile(tmp_->path("plain"), "not a program");
    for (const QString &bad : {QStringLiteral("hardinfo"), tmp_->path("plain"), tmp_->path("missing"), tmp_->path()})
        QCOMPARE(seed({bad}), 1);
    QVERIFY(!QFile::exists(hive));

    // Found in the search path when not named.
    setHiveFile(hive);
    QCOMPARE(seed({}), 0);
    QCOMPARE(readValue("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH"), "1:" + QFile::encodeName(hardinfo) + '\0');
    // A path that needs both escapes of the file's strings; the file replaced whole, readable to all.
    QCOMPARE(seed({odd}), 0);
    QCOMPARE(readValue("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH"), "1:" + QFile::encodeName(odd) + '\0');
    QCOMPARE(QFileInfo(hive).permissions() & (QFile::ReadOther | QFile::WriteOther), QFile::ReadOther);
    QCOMPARE(QDir(QFileInfo(hive).path()).entryList(QDir::Files | QDir::Hidden), QStringList{"registry.reg"});
}

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
