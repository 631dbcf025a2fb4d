#include "platform/registry/registry.h"
#include "testsupport.h"

#include <QProcess>
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

    // The hive file, the value read ("<key below HKEY_LOCAL_MACHINE>|<name>"), and what the read
    // gives. A line the reader cannot take is skipped; a file it cannot take holds no keys.
    void values_data()
    {
        QTest::addColumn<QByteArray>("hive");
        QTest::addColumn<QByteArray>("probe");
        QTest::addColumn<QByteArray>("result");
        const QByteArray h = Header + Tool, p = "SOFTWARE\\Vendor\\Tool|P", absent = "error 2", zero(1, '\0');
        const QString strasse = QString::fromUtf8(Header + Tool + "\"P\"=\"Stra\xC3\x9F" "e\"\r\n");
        const auto row = [](const char *tag, const QByteArray &hive, const QByteArray &probe, const QByteArray &result) {
            QTest::newRow(tag) << hive << probe << result;
        };
        row("string with escapes", h + "\"P\"=\"C:\\\\Program Files\\\\a \\\"b\\\".exe\"", p,
            "1:" + QByteArray("C:\\Program Files\\a \"b\".exe") + zero);
        row("dword, little-endian", h + "\"P\"=dword:0000abcd", p, "4:\xcd\xab" + zero + zero);
        row("dword of nine digits dropped", h + "\"P\"=dword:123456789", p, absent);
        row("binary, continued", h + "\"P\"=hex:de,ad,\\\r\n  be,EF", p, "3:\xde\xad\xbe\xef");
        row("byte of three digits dropped", h + "\"P\"=hex:41,141", p, absent);
        row("expandable string", h + "\"P\"=hex(2):25,00,41,00,25,00,00,00", p, "2:%A%" + zero);
        row("older header: 8-bit hex(2)", "REGEDIT4\n\n" + Tool + "\"P\"=hex(2):25,41,25,00\n", p, "2:%A%" + zero);
        row("names ignore case", h + "\"Path\"=\"x\"", "software\\VENDOR\\tool|pATH", "1:x" + zero);
        row("removed value", h + "\"P\"=\"1\"\r\n\"P\"=-", p, absent);
        row("removed key", h + "\"P\"=\"1\"\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]", p, absent);
        row("parent key holds no values", h + "\"P\"=\"1\"", "SOFTWARE\\Vendor|P", absent);
        row("bad lines skipped", h + "; note\r\n\"A\"=\"x\" junk\r\n\"B\"=hex:1,zz\r\n\"P\"=\"ok\"", p, "1:ok" + zero);
        row("UTF-16 file", "\xFF\xFE" + QByteArray(reinterpret_cast<const char *>(strasse.utf16()), strasse.size() * 2),
            p, "1:Stra\xC3\x9F" "e" + zero);
        row("UTF-8 file with mark", "\xEF\xBB\xBF" + strasse.toUtf8(), p, "1:Stra\xC3\x9F" "e" + zero);
        row("no header", Tool + "\"P\"=\"1\"", p, absent);
        row("unknown root", Header + "[HKEY_NOWHERE\\SOFTWARE\\Vendor\\Tool]\r\n\"P\"=\"x\"", p, absent);
        row("continuation at the end", h + "\"P\"=hex:41,\\", p, absent);
        row("too large", h + "\"P\"=\"1\"\r\n" + QByteArray(17 << 20, ' '), p, absent);
    }

    void values()
    {
        QFETCH(QByteArray, hive);
        QFETCH(QByteArray, probe);
        QFETCH(QByteArray, result);
        writeFile(tmp_->path("registry.reg"), hive);
        const qsizetype bar = probe.indexOf('|');
        QCOMPARE(readValue(probe.left(bar), probe.mid(bar + 1)).toHex(' '), result.toHex(' '));
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
        QCOMPARE(size, 2u);
        QCOMPARE(buffer[0], 'x');
        QCOMPARE(RegQueryValueExA(again, "P", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer), 3), QByteArray("1\0x", 3));
        QCOMPARE(RegCloseKey(again), ERROR_SUCCESS);
        QCOMPARE(RegCloseKey(again), ERROR_INVALID_HANDLE);
        QCOMPARE(RegQueryValueExA(again, "P", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
        QCOMPARE(RegCloseKey(tool), ERROR_SUCCESS);
        QCOMPARE(RegCloseKey(vendor), ERROR_SUCCESS);
    }

    // The install script refuses what is not a program, finds one on the search path when not
    // named, and writes paths that need both escapes of the file's strings.
    void seedScript()
    {
        const QString hive = tmp_->path("etc/registry.reg");
        const auto seed = [&](const QStringList &args) {
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("PATH", tmp_->path("bin") + ":/usr/bin:/bin");
            process.setProcessEnvironment(env);
            process.start(QStringLiteral("/bin/sh"), QStringList{QStringLiteral(TARVOS_SEED_SCRIPT), hive} + args);
            return process.waitForFinished() ? process.exitCode() : -1;
        };
        QDir().mkpath(tmp_->path("bin"));
        QDir().mkpath(tmp_->path("odd \"dir\\\""));
        const QString hardinfo = tmp_->path("bin/hardinfo"), odd = tmp_->path("odd \"dir\\\"/sys info");
        for (const QString &program : {hardinfo, odd}) {
            writeFile(program, "#!/bin/sh\n");
            QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner);
        }
        writeFile(tmp_->path("plain"), "not a program");
        for (const QString &bad : {QStringLiteral("hardinfo"), tmp_->path("plain"), tmp_->path()})
            QCOMPARE(seed({bad}), 1);
        QVERIFY(!QFile::exists(hive));
        setHiveFile(hive);
        for (const QString &program : {QString(), odd}) {
            QCOMPARE(seed(program.isEmpty() ? QStringList() : QStringList{program}), 0);
            QCOMPARE(readValue("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH"),
                     "1:" + QFile::encodeName(program.isEmpty() ? hardinfo : program) + '\0');
        }
        QCOMPARE(QFileInfo(hive).permissions() & (QFile::ReadOther | QFile::WriteOther), QFile::ReadOther);
        QCOMPARE(QDir(QFileInfo(hive).path()).entryList(QDir::Files | QDir::Hidden), QStringList{"registry.reg"});
    }
};

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
