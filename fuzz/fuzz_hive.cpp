// Feeds arbitrary bytes to the registry as its hive file, then opens the keys and reads the
// values that the bytes name, through the same calls the About dialog uses. A damaged
// hive must only make keys and values absent: no crash, no read or write outside a buffer, and
// the calls must keep their contract (sizes, ERROR_MORE_DATA, read rights only, handles).

#include "fuzzcheck.h"
#include "platform/registry/registry.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

using namespace Registry;

namespace {

// Reads one value three ways: its size, into a buffer one byte too small, and into a roomy one.
void checkValue(HKEY key, const QByteArray &name)
{
    quint32 type = 0xDEAD, needed = 0xDEAD;
    const long rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &needed);
    FUZZ_CHECK(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND, QString::number(rc));
    if (rc != ERROR_SUCCESS)
        return;
    FUZZ_CHECK(type == REG_SZ || type == REG_DWORD, QStringLiteral("type %1").arg(type));
    FUZZ_CHECK(type == REG_SZ ? needed > 0 : needed == 4, QStringLiteral("size %1").arg(needed));
    constexpr char Canary = '\xA5';
    constexpr quint32 Slack = 8;
    QByteArray small(qsizetype(needed - 1 + Slack), Canary);
    quint32 smallSize = needed - 1;
    const long more =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<uchar *>(small.data()), &smallSize);
    FUZZ_CHECK(more == ERROR_MORE_DATA && smallSize == needed, QString::number(more));
    FUZZ_CHECK(small.mid(needed - 1) == QByteArray(Slack, Canary), "a too small buffer was written past its end");
    QByteArray roomy(qsizetype(needed + Slack), Canary);
    quint32 roomySize = needed + Slack, roomyType = 0xDEAD;
    const long got =
        RegQueryValueExA(key, name, nullptr, &roomyType, reinterpret_cast<uchar *>(roomy.data()), &roomySize);
    FUZZ_CHECK(got == ERROR_SUCCESS && roomySize == needed && roomyType == type, QString::number(got));
    FUZZ_CHECK(roomy.mid(needed) == QByteArray(Slack, Canary), "the data was written past its size");
    FUZZ_CHECK(type != REG_SZ || roomy.at(needed - 1) == '\0', "a string without its terminating zero");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    static QTemporaryDir folder;
    static const QString hivePath = folder.path() + QStringLiteral("/registry.reg");
    writeFuzzFile(hivePath, bytes);
    setHiveFile(hivePath);

    // The keys and value names that the input mentions, and the key the About dialog reads.
    const QString text = QString::fromUtf8(bytes);
    QStringList keys{QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools\\MSINFO")};
    QList<QByteArray> names{QByteArray(), QByteArrayLiteral("PATH")};
    static const QRegularExpression keyLine("^\\[HKEY_LOCAL_MACHINE\\\\?([^\\]\\r\\n]*)\\]",
                                            QRegularExpression::MultilineOption |
                                                QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression nameLine("^\\s*\"([^\"\\r\\n]*)\"\\s*=", QRegularExpression::MultilineOption);
    for (auto it = keyLine.globalMatch(text); it.hasNext() && keys.size() < 6;)
        keys.append(it.next().captured(1));
    for (auto it = nameLine.globalMatch(text); it.hasNext() && names.size() < 8;)
        names.append(it.next().captured(1).toLocal8Bit());

    // Opening the root reads the hive file again: the About dialog's key is opened that way, the
    // others below the root opened once, which keeps the runs fast.
    HKEY root{};
    FUZZ_CHECK(RegOpenKeyExA(HKEY_LOCAL_MACHINE, QByteArray(), 0, KEY_READ, &root) == ERROR_SUCCESS, "the root");
    for (const QString &keyText : keys) {
        const bool first = &keyText == &keys.first();
        const QByteArray subKey = (first ? keyText.mid(keyText.indexOf(u'\\') + 1) : keyText).toLocal8Bit();
        HKEY key{};
        const long rc = RegOpenKeyExA(first ? HKEY_LOCAL_MACHINE : root, subKey, 0, KEY_READ, &key);
        FUZZ_CHECK(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND, QString::number(rc));
        if (rc != ERROR_SUCCESS)
            continue;
        // A key that opens has its parent, and nobody may open it for writing.
        if (const qsizetype cut = subKey.lastIndexOf('\\'); cut > 0) {
            HKEY parent{};
            FUZZ_CHECK(RegOpenKeyExA(first ? HKEY_LOCAL_MACHINE : root, subKey.left(cut), 0, KEY_READ, &parent) ==
                               ERROR_SUCCESS ||
                           subKey.endsWith('\\'),
                       QStringLiteral("%1 has no parent").arg(QString::fromLocal8Bit(subKey)));
            RegCloseKey(parent);
        }
        HKEY writable{};
        FUZZ_CHECK(RegOpenKeyExA(key, QByteArray(), 0, KEY_WRITE, &writable) == ERROR_ACCESS_DENIED,
                   "a key of the hive file opened for writing");
        for (const QByteArray &name : names)
            checkValue(key, name);
        FUZZ_CHECK(RegCloseKey(key) == ERROR_SUCCESS, "closing an open key");
        FUZZ_CHECK(RegCloseKey(key) == ERROR_INVALID_HANDLE, "closing a key twice");
    }
    FUZZ_CHECK(RegCloseKey(root) == ERROR_SUCCESS, "closing the open root");
    return 0;
}
