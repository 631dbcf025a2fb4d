#include "platform/registry/registry.h"
#include "testsupport.h"

#include <QtTest>

using namespace Registry;
using namespace TestSupport;

namespace {

const QByteArray Header = "Windows Registry Editor Version 5.00\r\n\r\n";
const QByteArray Tool = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n";

// Reads one value below HKEY_LOCAL_MACHINE as a caller does, first asking its size:
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

    std::unique_ptr<TempFolder> tmp_;

private slots:
    void init()
    {
        tmp_ = std::make_unique<TempFolder>();
        setHiveFile(tmp_->path("registry.reg"));
    }
    void cleanupTestCase() { setHiveFile(QString()); }

    // The hive file, and what reading value P of key SOFTWARE\Vendor\Tool gives. A line the
    // reader cannot take is skipped; a file it cannot take holds no keys.
    void values_data()
    {
        QTest::addColumn<QByteArray>("hive");
        QTest::addColumn<QByteArray>("result");
        const QByteArray h = Header + Tool, absent = "error 2", zero(1, '\0');
        const QString strasse = QString::fromUtf8(Header + Tool + "\"P\"=\"Stra\xC3\x9F" "e\"\r\n");
        const auto row = [](const char *tag, const QByteArray &hive, const QByteArray &result) {
            QTest::newRow(tag) << hive << result;
        };
        row("string with escapes", h + "\"P\"=\"C:\\\\Program Files\\\\a \\\"b\\\".exe\"",
            "1:" + QByteArray("C:\\Program Files\\a \"b\".exe") + zero);
        row("dword, little-endian", h + "\"P\"=dword:0000abcd", "4:\xcd\xab" + zero + zero);
        row("dword of nine digits dropped", h + "\"P\"=dword:123456789", absent);
        row("binary, continued", h + "\"P\"=hex:de,ad,\\\r\n  be,EF", "3:\xde\xad\xbe\xef");
        row("byte of three digits dropped", h + "\"P\"=hex:41,141", absent);
        row("expandable string", h + "\"P\"=hex(2):25,00,41,00,25,00,00,00", "2:%A%" + zero);
        row("older header: 8-bit hex(2)", "REGEDIT4\n\n" + Tool + "\"P\"=hex(2):25,41,25,00\n", "2:%A%" + zero);
        row("names ignore case", Header + "[hkey_local_machine\\software\\VENDOR\\tool]\r\n\"p\"=\"x\"", "1:x" + zero);
        row("removed value", h + "\"P\"=\"1\"\r\n\"P\"=-", absent);
        row("bad lines skipped", h + "; note\r\n\"A\"=\"x\" junk\r\n\"B\"=hex:1,zz\r\n\"P\"=\"ok\"", "1:ok" + zero);
        row("UTF-16 file", "\xFF\xFE" + QByteArray(reinterpret_cast<const char *>(strasse.utf16()), strasse.size() * 2),
            "1:Stra\xC3\x9F" "e" + zero);
        row("no header", Tool + "\"P\"=\"1\"", absent);
        row("continuation at the end", h + "\"P\"=hex:41,\\", absent);
        row("too large", h + "\"P\"=\"1\"\r\n" + QByteArray(17 << 20, ' '), absent);
    }

    void values()
    {
        QFETCH(QByteArray, hive);
        QFETCH(QByteArray, result);
        writeFile(tmp_->path("registry.reg"), hive);
        QCOMPARE(readValue("SOFTWARE\\Vendor\\Tool", "P").toHex(' '), result.toHex(' '));
    }

    // Read rights only; a buffer one byte short gets the size it needs and stays untouched.
    void handlesRightsAndBuffer()
    {
        writeFile(tmp_->path("registry.reg"), Header + Tool + "\"P\"=\"1\"\r\n");
        HKEY vendor{}, tool{}, again{};
        QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\", 0, KEY_READ, &vendor), ERROR_SUCCESS);
        QCOMPARE(RegOpenKeyExA(vendor, "Tool", 0, KEY_READ, &tool), ERROR_SUCCESS);
        QCOMPARE(RegOpenKeyExA(tool, QByteArray(), 0, KEY_READ, &again), ERROR_SUCCESS);
        for (const quint32 rights : {quint32(KEY_READ | KEY_SET_VALUE), KEY_WRITE, KEY_ALL_ACCESS}) {
            HKEY refused{0xDEAD};
            QCOMPARE(RegOpenKeyExA(vendor, "Tool", 0, rights, &refused), ERROR_ACCESS_DENIED);
            QCOMPARE(refused, HKEY{});
        }
        unsigned char buffer[4] = {'x', 'x', 'x', 'x'};
        quint32 type = 0, size = 1;
        QCOMPARE(RegQueryValueExA(again, "P", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
        QVERIFY(size == 2 && buffer[0] == 'x');
        QCOMPARE(RegQueryValueExA(again, "P", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer), 3), QByteArray("1\0x", 3));
        QCOMPARE(RegCloseKey(again), ERROR_SUCCESS);
        QCOMPARE(RegCloseKey(again), ERROR_INVALID_HANDLE);
        QCOMPARE(RegQueryValueExA(again, "P", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
        QVERIFY(RegCloseKey(tool) == ERROR_SUCCESS && RegCloseKey(vendor) == ERROR_SUCCESS);
    }
};

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
