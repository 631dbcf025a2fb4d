#include "platform/registry/registry.h"
#include "testsupport.h"

#include <QProcess>
#include <QtTest>

using namespace Registry;
using namespace TestSupport;

namespace {

const QByteArray Header = "Windows Registry Editor Version 5.00\r\n\r\n";

struct Read {
    long rc = -1;
    quint32 type = 0xFFFF;
    QByteArray data;
};

// Opens HKEY_LOCAL_MACHINE\keyPath for reading and reads one value, first asking its size.
Read readValue(const QByteArray &keyPath, const QByteArray &name)
{
    Read r;
    HKEY key{};
    r.rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key);
    if (r.rc != ERROR_SUCCESS)
        return r;
    quint32 size = 0;
    r.rc = RegQueryValueExA(key, name, nullptr, &r.type, nullptr, &size);
    if (r.rc == ERROR_SUCCESS) {
        r.data = QByteArray(int(size), '\x55');
        r.rc = RegQueryValueExA(key, name, nullptr, &r.type, reinterpret_cast<unsigned char *>(r.data.data()), &size);
        r.data.truncate(size);
    }
    [[maybe_unused]] const long closed = RegCloseKey(key);
    return r;
}

QByteArray utf16(const QString &text)
{
    QByteArray bytes;
    for (QChar c : text)
        bytes += char(c.unicode() & 0xFF), bytes += char(c.unicode() >> 8);
    return bytes;
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
    void accessRights_data();
    void accessRights();
    void queryBuffer();
    void handles();
    void hiveIsReadAtEachOpen();
    void seedScriptWritesReadableHive();
    void seedScriptFindsProgramAndRefusesBadOnes();

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
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<long>("rc");
    QTest::addColumn<quint32>("type");
    QTest::addColumn<QByteArray>("data");

    const QByteArray k = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n";
    const QByteArray key = "SOFTWARE\\Vendor\\Tool";
    QTest::newRow("string with escapes") << k + "\"PATH\"=\"C:\\\\Program Files\\\\a \\\"b\\\".exe\"\r\n" << key << QByteArray("PATH")
                                         << ERROR_SUCCESS << REG_SZ << QByteArray("C:\\Program Files\\a \"b\".exe\0", 27);
    QTest::newRow("string, UTF-8") << k + "\"Name\"=\"Caf\xC3\xA9\"\r\n" << key << QByteArray("Name") << ERROR_SUCCESS
                                   << REG_SZ << QByteArray("Caf\xC3\xA9\0", 6);
    QTest::newRow("empty string keeps its zero") << k + "\"E\"=\"\"\r\n" << key << QByteArray("E") << ERROR_SUCCESS << REG_SZ
                                                 << QByteArray(1, '\0');
    QTest::newRow("default value") << k + "@=\"deflt\"\r\n" << key << QByteArray() << ERROR_SUCCESS << REG_SZ
                                   << QByteArray("deflt\0", 6);
    QTest::newRow("dword, little-endian") << k + "\"N\"=dword:0000abcd\r\n" << key << QByteArray("N") << ERROR_SUCCESS
                                          << REG_DWORD << QByteArray("\xcd\xab\0\0", 4);
    QTest::newRow("dword, short") << k + "\"N\"=dword:7\r\n" << key << QByteArray("N") << ERROR_SUCCESS << REG_DWORD
                                  << QByteArray("\x07\0\0\0", 4);
    QTest::newRow("binary, continued") << k + "\"B\"=hex:de,ad,\\\r\n  be,EF\r\n" << key << QByteArray("B")
                                       << ERROR_SUCCESS << REG_BINARY << QByteArray("\xde\xad\xbe\xef");
    QTest::newRow("binary, zero length") << k + "\"B\"=hex:\r\n" << key << QByteArray("B") << ERROR_SUCCESS << REG_BINARY
                                         << QByteArray();
    QTest::newRow("expandable string") << k + "\"X\"=hex(2):25,00,41,00,25,00,00,00\r\n" << key << QByteArray("X")
                                       << ERROR_SUCCESS << REG_EXPAND_SZ << QByteArray("%A%\0", 4);
    QTest::newRow("multi-string") << k + "\"M\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n" << key << QByteArray("M")
                                  << ERROR_SUCCESS << REG_MULTI_SZ << QByteArray("a\0b\0\0", 5);
    QTest::newRow("string as hex(1), no zero") << k + "\"S\"=hex(1):41,00\r\n" << key << QByteArray("S") << ERROR_SUCCESS
                                               << REG_SZ << QByteArray("A");
    QTest::newRow("string as hex(1), zero length") << k + "\"S\"=hex(1):\r\n" << key << QByteArray("S") << ERROR_SUCCESS
                                                   << REG_SZ << QByteArray();
    QTest::newRow("qword") << k + "\"Q\"=hex(b):01,02,03,04,05,06,07,08\r\n" << key << QByteArray("Q") << ERROR_SUCCESS
                           << REG_QWORD << QByteArray("\1\2\3\4\5\6\7\x08");
    QTest::newRow("names ignore case") << k + "\"Path\"=\"x\"\r\n" << QByteArray("software\\VENDOR\\tool")
                                       << QByteArray("pATH") << ERROR_SUCCESS << REG_SZ << QByteArray("x\0", 2);
    QTest::newRow("short root name, spaces around =") << QByteArray("[HKLM\\SOFTWARE\\Vendor\\Tool]\n\"P\" = \"y\"\n")
                                                      << key << QByteArray("P") << ERROR_SUCCESS << REG_SZ
                                                      << QByteArray("y\0", 2);
    QTest::newRow("later value wins") << k + "\"P\"=\"1\"\r\n\"P\"=dword:2\r\n" << key << QByteArray("P") << ERROR_SUCCESS
                                      << REG_DWORD << QByteArray("\2\0\0\0", 4);
    QTest::newRow("sections of one key merge") << k + "\"A\"=\"1\"\r\n[HKEY_LOCAL_MACHINE\\Other]\r\n" + k + "\"B\"=\"2\"\r\n"
                                               << key << QByteArray("A") << ERROR_SUCCESS << REG_SZ << QByteArray("1\0", 2);
    QTest::newRow("removed value") << k + "\"P\"=\"1\"\r\n\"P\"=-\r\n" << key << QByteArray("P") << ERROR_FILE_NOT_FOUND
                                   << quint32(0xFFFF) << QByteArray();
    QTest::newRow("removed key") << k + "\"P\"=\"1\"\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\r\n" << key
                                 << QByteArray("P") << ERROR_FILE_NOT_FOUND << quint32(0xFFFF) << QByteArray();
    QTest::newRow("missing value") << k + "\"P\"=\"1\"\r\n" << key << QByteArray("Q") << ERROR_FILE_NOT_FOUND
                                   << quint32(0xFFFF) << QByteArray();
    QTest::newRow("missing key") << k << QByteArray("SOFTWARE\\Vendor\\Other") << QByteArray("P") << ERROR_FILE_NOT_FOUND
                                 << quint32(0xFFFF) << QByteArray();
    QTest::newRow("parent key exists, without values") << k + "\"P\"=\"1\"\r\n" << QByteArray("SOFTWARE\\Vendor")
                                                       << QByteArray("P") << ERROR_FILE_NOT_FOUND << quint32(0xFFFF)
                                                       << QByteArray();
    QTest::newRow("key of another root") << QByteArray("[HKEY_CURRENT_USER\\SOFTWARE\\Vendor\\Tool]\r\n\"P\"=\"1\"\r\n")
                                         << key << QByteArray("P") << ERROR_FILE_NOT_FOUND << quint32(0xFFFF)
                                         << QByteArray();
    QTest::newRow("comments and blank lines") << "; first\r\n\r\n" + k + "; \"P\"=\"commented out\"\r\n\"Q\"=\"q\"\r\n"
                                              << key << QByteArray("P") << ERROR_FILE_NOT_FOUND << quint32(0xFFFF)
                                              << QByteArray();
    QTest::newRow("bad line skipped, next one read") << k + "\"A\"=\"x\" junk\r\n\"B\"=dword:123456789\r\n\"P\"=\"ok\"\r\n"
                                                     << key << QByteArray("P") << ERROR_SUCCESS << REG_SZ
                                                     << QByteArray("ok\0", 3);
    QTest::newRow("value of a broken key line dropped") << QByteArray("[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\Vendor\\Tool]\r\n\"P\"=\"1\"\r\n")
                                                        << key << QByteArray("P") << ERROR_FILE_NOT_FOUND
                                                        << quint32(0xFFFF) << QByteArray();
}

void TestRegistry::valueTypes()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, name);
    QFETCH(long, rc);
    QFETCH(quint32, type);
    QFETCH(QByteArray, data);
    writeHive(Header + body);
    const Read r = readValue(key, name);
    QCOMPARE(r.rc, rc);
    if (rc == ERROR_SUCCESS) {
        QCOMPARE(r.type, type);
        QCOMPARE(r.data.toHex(' '), data.toHex(' '));
    }
}

void TestRegistry::malformedHive_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=\"/bin/true\"\r\n";
    QTest::newRow("no header") << good;
    QTest::newRow("wrong header") << "Windows Registry Editor Version 9.99\r\n" + good;
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("header only") << Header;
    QTest::newRow("binary junk") << Header + randomBytes(4096, 7);
    QTest::newRow("truncated in the key line") << Header + good.left(30);
    QTest::newRow("truncated in the string") << Header + good.left(good.size() - 8);
    QTest::newRow("unknown escape") << Header + QByteArray(good).replace("/bin", "\\q/bin");
    QTest::newRow("bad hex byte") << Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=hex:1,zz\r\n";
    QTest::newRow("three-digit hex byte") << Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=hex:100\r\n";
    QTest::newRow("unknown root") << Header + "[HKEY_NOWHERE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=\"x\"\r\n";
    QTest::newRow("no closing bracket") << Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool\r\n\"PATH\"=\"x\"\r\n";
    QTest::newRow("unclosed hex type") << Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=hex(2:41\r\n";
    QTest::newRow("continuation at end of file") << Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=hex:41,\\";
    QTest::newRow("too large") << Header + good + QByteArray(17 << 20, ' ');
}

void TestRegistry::malformedHive()
{
    QFETCH(QByteArray, bytes);
    writeHive(bytes);
    const Read r = readValue("SOFTWARE\\Vendor\\Tool", "PATH");
    QVERIFY2(r.rc == ERROR_FILE_NOT_FOUND, qPrintable(QString::number(r.rc)));
    // The roots themselves can always be opened.
    HKEY key{};
    QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, QByteArray(), 0, KEY_READ, &key), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
}

void TestRegistry::otherEncodingsAndHeaders()
{
    const QString text = QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n"
                                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"P\"=\"Stra\u00DFe\"\r\n");
    writeHive("\xFF\xFE" + utf16(text));
    QCOMPARE(readValue("SOFTWARE\\Vendor\\Tool", "P").data, QByteArray("Stra\xC3\x9F" "e\0", 8));

    writeHive("\xEF\xBB\xBF" + text.toUtf8());
    QCOMPARE(readValue("SOFTWARE\\Vendor\\Tool", "P").data, QByteArray("Stra\xC3\x9F" "e\0", 8));

    // The older header: hex(N) strings hold 8-bit text, not UTF-16.
    writeHive("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\n\"X\"=hex(2):25,41,25,00\n");
    const Read r = readValue("SOFTWARE\\Vendor\\Tool", "X");
    QCOMPARE(r.type, REG_EXPAND_SZ);
    QCOMPARE(r.data, QByteArray("%A%\0", 4));

    // Missing, unreadable or unnamed hive files: keys below the roots are absent.
    for (const QString &file : {tmp_->path("none.reg"), tmp_->path(), QString()}) {
        setHiveFile(file);
        QCOMPARE(readValue("SOFTWARE\\Vendor\\Tool", "X").rc, ERROR_FILE_NOT_FOUND);
    }
}

void TestRegistry::accessRights_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<quint32>("rights");
    QTest::addColumn<long>("rc");
    const QByteArray present = "SOFTWARE\\Vendor\\Tool", missing = "SOFTWARE\\Vendor\\None";
    QTest::newRow("read") << present << KEY_READ << ERROR_SUCCESS;
    QTest::newRow("query value") << present << KEY_QUERY_VALUE << ERROR_SUCCESS;
    QTest::newRow("generic read, 64-bit view") << present << (GENERIC_READ | KEY_WOW64_64KEY) << ERROR_SUCCESS;
    QTest::newRow("no rights at all") << present << quint32(0) << ERROR_SUCCESS;
    QTest::newRow("0x2003F") << present << quint32(0x2003F) << ERROR_ACCESS_DENIED;
    QTest::newRow("set value") << present << (KEY_QUERY_VALUE | KEY_SET_VALUE) << ERROR_ACCESS_DENIED;
    QTest::newRow("write") << present << KEY_WRITE << ERROR_ACCESS_DENIED;
    QTest::newRow("all access") << present << KEY_ALL_ACCESS << ERROR_ACCESS_DENIED;
    QTest::newRow("missing key, read") << missing << KEY_READ << ERROR_FILE_NOT_FOUND;
    QTest::newRow("missing key, write") << missing << quint32(0x2003F) << ERROR_FILE_NOT_FOUND;
}

void TestRegistry::accessRights()
{
    QFETCH(QByteArray, key);
    QFETCH(quint32, rights);
    QFETCH(long, rc);
    writeHive(Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"P\"=\"1\"\r\n");
    HKEY opened{0xDEAD};
    QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, rights, &opened), rc);
    if (rc == ERROR_SUCCESS)
        QCOMPARE(RegCloseKey(opened), ERROR_SUCCESS);
    else
        QCOMPARE(opened, HKEY{});
}

void TestRegistry::queryBuffer()
{
    writeHive(Header + "[HKEY_LOCAL_MACHINE\\K]\r\n\"S\"=\"abcdef\"\r\n");
    HKEY key{};
    QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &key), ERROR_SUCCESS);
    const KeyCloser closer(key);
    unsigned char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    quint32 type = 0, size = 6;
    // One byte short (the terminating zero): more data, the needed size, the buffer untouched.
    QCOMPARE(RegQueryValueExA(key, "S", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    QCOMPARE(size, 7u);
    QCOMPARE(type, REG_SZ);
    QCOMPARE(buffer[0], 'x');
    size = 7;
    QCOMPARE(RegQueryValueExA(key, "S", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer), 8), QByteArray("abcdef\0x", 8));
    // Only the type asked for.
    type = 0;
    QCOMPARE(RegQueryValueExA(key, "S", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    QCOMPARE(type, REG_SZ);
    // Bad arguments.
    quint32 reserved = 0;
    size = sizeof buffer;
    QCOMPARE(RegQueryValueExA(key, "S", &reserved, &type, buffer, &size), ERROR_INVALID_PARAMETER);
    QCOMPARE(RegQueryValueExA(key, "S", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);
}

void TestRegistry::handles()
{
    writeHive(Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"P\"=\"1\"\r\n");
    HKEY vendor{}, tool{}, again{};
    QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\", 0, KEY_READ, &vendor), ERROR_SUCCESS);
    // Relative to an open key, and the same key again through an empty sub-key.
    QCOMPARE(RegOpenKeyExA(vendor, "Tool", 0, KEY_READ, &tool), ERROR_SUCCESS);
    QCOMPARE(RegOpenKeyExA(tool, QByteArray(), 0, KEY_READ, &again), ERROR_SUCCESS);
    QVERIFY(tool != vendor && again != tool);
    quint32 size = 0;
    QCOMPARE(RegQueryValueExA(again, "P", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    QCOMPARE(size, 2u);
    // A value of the root-relative path does not exist under the sub-key.
    QCOMPARE(RegOpenKeyExA(vendor, "SOFTWARE", 0, KEY_READ, &tool), ERROR_FILE_NOT_FOUND);
    QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\\\Vendor", 0, KEY_READ, &tool), ERROR_FILE_NOT_FOUND);

    QCOMPARE(RegCloseKey(again), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(again), ERROR_INVALID_HANDLE);
    QCOMPARE(RegQueryValueExA(again, "P", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    QCOMPARE(RegOpenKeyExA(again, "X", 0, KEY_READ, &tool), ERROR_INVALID_HANDLE);
    QCOMPARE(RegCloseKey(vendor), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0x4, KEY_READ, &tool), ERROR_INVALID_PARAMETER);
    QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

void TestRegistry::hiveIsReadAtEachOpen()
{
    writeHive(Header + "[HKEY_LOCAL_MACHINE\\K]\r\n\"S\"=\"old\"\r\n");
    HKEY before{};
    QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &before), ERROR_SUCCESS);
    writeHive(Header + "[HKEY_LOCAL_MACHINE\\K]\r\n\"S\"=\"new!\"\r\n");
    // A key opened before the change keeps what it saw; a key opened afterwards sees the change.
    quint32 size = 0;
    QCOMPARE(RegQueryValueExA(before, "S", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    QCOMPARE(size, 4u);
    QCOMPARE(RegCloseKey(before), ERROR_SUCCESS);
    QCOMPARE(readValue("K", "S").data, QByteArray("new!\0", 5));
}

void TestRegistry::seedScriptWritesReadableHive()
{
    // A program whose path needs both escapes of the file's strings.
    QVERIFY(QDir().mkpath(tmp_->path("odd \"dir\\\"")));
    const QString program = tmp_->path("odd \"dir\\\"/sys info");
    writeFile(program, "#!/bin/sh\n");
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString hive = tmp_->path("etc/tarvos-utility/registry.reg");
    QProcess seed;
    seed.start(QStringLiteral("/bin/sh"), {QStringLiteral(TARVOS_SEED_SCRIPT), hive, program});
    QVERIFY(seed.waitForFinished());
    QVERIFY2(seed.exitCode() == 0, seed.readAllStandardError().constData());
    QCOMPARE(QFileInfo(hive).permissions() & (QFile::WriteGroup | QFile::WriteOther), QFile::Permissions());
    setHiveFile(hive);
    const Read r = readValue("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH");
    QCOMPARE(r.rc, ERROR_SUCCESS);
    QCOMPARE(r.type, REG_SZ);
    QCOMPARE(r.data, QFile::encodeName(program) + '\0');
    QCOMPARE(QDir(tmp_->path("etc/tarvos-utility")).entryList(QDir::Files | QDir::Hidden), QStringList{"registry.reg"});
}

void TestRegistry::seedScriptFindsProgramAndRefusesBadOnes()
{
    QVERIFY(QDir().mkpath(tmp_->path("bin")));
    const QString hardinfo = tmp_->path("bin/hardinfo");
    writeFile(hardinfo, "#!/bin/sh\n");
    QVERIFY(QFile::setPermissions(hardinfo, QFile::ReadOwner | QFile::ExeOwner));
    writeFile(tmp_->path("plain"), "not a program");
    const QString hive = tmp_->path("registry.reg");

    const auto run = [&](const QStringList &args) {
        QProcess seed;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", tmp_->path("bin") + ":/usr/bin:/bin");
        seed.setProcessEnvironment(env);
        seed.start(QStringLiteral("/bin/sh"), QStringList{QStringLiteral(TARVOS_SEED_SCRIPT), hive} + args);
        return seed.waitForFinished() ? seed.exitCode() : -1;
    };
    for (const QString &bad : {QStringLiteral("hardinfo"), tmp_->path("plain"), tmp_->path("missing"), tmp_->path()}) {
        QCOMPARE(run({bad}), 1);
        QVERIFY(!QFile::exists(hive));
    }
    QCOMPARE(run({}), 0);
    QCOMPARE(readValue("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH").data, QFile::encodeName(hardinfo) + '\0');
}

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
