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
    // read gives: "<type>:<data>", or "error <code>".
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("probe");
    QTest::addColumn<QByteArray>("result");
    const QByteArray k = R"([HKEY_LOCAL_MACHINE\SOFTWARE\Vendor\Tool])"
                         "\r\n",
                     tool = R"(SOFTWARE\Vendor\Tool|)";
    const QByteArray absent = "error 2", zero(1, '\0');

    QTest::newRow("string with escapes") << k + R"("P"="C:\\Program Files\\a \"b\".exe")" << tool + "P"
                                         << "1:" + QByteArray(R"(C:\Program Files\a "b".exe)") + zero;
    QTest::newRow("string, UTF-8") << k + "\"P\"=\"Caf\xC3\xA9\"" << tool + "P"
                                   << "1:Caf\xC3\xA9" + zero;
    QTest::newRow("default value") << k + R"(@="deflt")" << tool << "1:deflt" + zero;
    QTest::newRow("dword, little-endian") << k + R"("N"=dword:0000abcd)" << tool + "N"
                                          << "4:\xcd\xab" + zero + zero;
    QTest::newRow("binary, continued") << k + "\"B\"=hex:de,ad,\\\r\n  be,EF" << tool + "B"
                                       << QByteArray("3:\xde\xad\xbe\xef");
    QTest::newRow("binary, zero length") << k + R"("B"=hex:)" << tool + "B" << QByteArray("3:");
    QTest::newRow("expandable string") << k + R"("X"=hex(2):25,00,41,00,25,00,00,00)" << tool + "X"
                                       << "2:%A%" + zero;
    QTest::newRow("multi-string") << k + R"("M"=hex(7):61,00,00,00,62,00,00,00,00,00)" << tool + "M"
                                  << "7:a" + zero + "b" + zero + zero;
    QTest::newRow("qword") << k + R"("Q"=hex(b):01,02,03,04,05,06,07,08)" << tool + "Q"
                           << QByteArray("11:\1\2\3\4\5\6\7\x08");
    QTest::newRow("names ignore case") << k + R"("Path"="x")" << QByteArray(R"(software\VENDOR\tool|pATH)")
                                       << "1:x" + zero;
    QTest::newRow("removed value") << k + "\"P\"=\"1\"\r\n\"P\"=-" << tool + "P" << absent;
    QTest::newRow("removed key") << k + "\"P\"=\"1\"\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]" << tool + "P"
                                 << absent;
    QTest::newRow("missing value") << k + R"("P"="1")" << tool + "Q" << absent;
    QTest::newRow("missing key") << k << QByteArray(R"(SOFTWARE\Vendor\Other|P)") << absent;
    QTest::newRow("parent key, without values") << k + R"("P"="1")" << QByteArray(R"(SOFTWARE\Vendor|P)") << absent;
    QTest::newRow("key of another root") << QByteArray("[HKEY_CURRENT_USER\\SOFTWARE\\Vendor\\Tool]\r\n\"P\"=\"1\"")
                                         << tool + "P" << absent;
    QTest::newRow("bad lines skipped, next one read")
        << k + "; a comment\r\n\"A\"=\"x\" junk\r\n\"B\"=dword:123456789\r\n\"P\"=\"ok\"" << tool + "P"
        << "1:ok" + zero;
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
    const Read r = readValue(probe.left(bar), probe.mid(bar + 1));
    const QByteArray got =
        r.rc == ERROR_SUCCESS ? QByteArray::number(r.type) + ':' + r.data : "error " + QByteArray::number(qint64(r.rc));
    QCOMPARE(got.toHex(' '), result.toHex(' '));
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
    QTest::newRow("unknown root") << Header + "[HKEY_NOWHERE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=\"x\"\r\n";
    QTest::newRow("continuation at end of file")
        << Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n\"PATH\"=hex:41,\\";
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
    const QByteArray strasse("Stra\xC3\x9F"
                             "e",
                             8); // UTF-8 and its terminating zero
    writeHive("\xFF\xFE" + utf16(text));
    QCOMPARE(readValue("SOFTWARE\\Vendor\\Tool", "P").data, strasse);
    writeHive("\xEF\xBB\xBF" + text.toUtf8());
    QCOMPARE(readValue("SOFTWARE\\Vendor\\Tool", "P").data, strasse);

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
    QTest::newRow("no rights at all") << present << quint32(0) << ERROR_SUCCESS;
    QTest::newRow("0x2003F") << present << quint32(0x2003F) << ERROR_ACCESS_DENIED;
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
    QCOMPARE(RegOpenKeyExA(vendor, "SOFTWARE", 0, KEY_READ, &tool), ERROR_FILE_NOT_FOUND);
    QCOMPARE(RegCloseKey(again), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(again), ERROR_INVALID_HANDLE);
    QCOMPARE(RegQueryValueExA(again, "P", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    QCOMPARE(RegOpenKeyExA(again, "X", 0, KEY_READ, &tool), ERROR_INVALID_HANDLE);
    QCOMPARE(RegCloseKey(vendor), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
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
    QCOMPARE(readValue("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH").data, QFile::encodeName(hardinfo) + '\0');
    // A path that needs both escapes of the file's strings; the file replaced whole, readable to all.
    QCOMPARE(seed({odd}), 0);
    const Read r = readValue("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH");
    QCOMPARE(r.type, REG_SZ);
    QCOMPARE(r.data, QFile::encodeName(odd) + '\0');
    QCOMPARE(QFileInfo(hive).permissions() & (QFile::ReadOther | QFile::WriteOther), QFile::ReadOther);
    QCOMPARE(QDir(QFileInfo(hive).path()).entryList(QDir::Files | QDir::Hidden), QStringList{"registry.reg"});
}

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
