// Feeds arbitrary bytes to the registry hive reader as the hive file, then opens the keys and
// reads the values that the bytes name, through the same calls the About dialog uses. A damaged
// hive must only make keys and values absent: no crash, no read or write outside a buffer, and
// the calls must keep their contract (sizes, ERROR_MORE_DATA, read rights only, handles).

#include "fuzzcheck.h"
#include "platform/registry/hivefile.h"
#include "platform/registry/registry.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

using namespace Registry;

namespace {

QString inputText(const QByteArray &bytes)
{
    if (bytes.startsWith("\xFF\xFE")) {
        QString text;
        for (qsizetype i = 2; i + 1 < bytes.size(); i += 2)
            text += QChar(char16_t(quint8(bytes[i]) | quint8(bytes[i + 1]) << 8));
        return text;
    }
    return QString::fromUtf8(bytes);
}

HKEY rootHandle(const QString &canonical)
{
    static const QHash<QString, HKEY> roots{{"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                                            {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                                            {"HKEY_USERS", HKEY_USERS},
                                            {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG}};
    return roots.value(canonical, HKEY_LOCAL_MACHINE);
}

// Reads one value three ways: its size, into a buffer one byte too small, and into a roomy one.
void checkValue(const Hive &hive, const QString &keyPath, HKEY key, const QByteArray &name)
{
    quint32 type = 0xDEAD, needed = 0xDEAD;
    const long rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &needed);
    const HiveValue *value = hive.value(keyPath, QString::fromLocal8Bit(name));
    FUZZ_CHECK(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND, QString::number(rc));
    FUZZ_CHECK((rc == ERROR_SUCCESS) == (value != nullptr), "the hive and the registry calls disagree");
    if (rc != ERROR_SUCCESS)
        return;
    FUZZ_CHECK(type == value->type, QStringLiteral("type %1, hive says %2").arg(type).arg(value->type));
    constexpr char Canary = '\xA5';
    constexpr quint32 Slack = 8;

    if (needed > 0) {
        QByteArray small(qsizetype(needed - 1 + Slack), Canary);
        quint32 smallSize = needed - 1;
        const long more =
            RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<uchar *>(small.data()), &smallSize);
        FUZZ_CHECK(more == ERROR_MORE_DATA && smallSize == needed, QString::number(more));
        FUZZ_CHECK(small.mid(needed - 1) == QByteArray(Slack, Canary), "a too small buffer was written past its end");
    }
    QByteArray roomy(qsizetype(needed + Slack), Canary);
    quint32 roomySize = needed + Slack, roomyType = 0xDEAD;
    const long got =
        RegQueryValueExA(key, name, nullptr, &roomyType, reinterpret_cast<uchar *>(roomy.data()), &roomySize);
    FUZZ_CHECK(got == ERROR_SUCCESS && roomySize == needed && roomyType == type, QString::number(got));
    FUZZ_CHECK(roomy.mid(needed) == QByteArray(Slack, Canary), "the data was written past its size");
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)
        FUZZ_CHECK(roomy.left(needed) == value->data, "other types come back byte for byte");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    static QTemporaryDir folder;
    static const QString hivePath = folder.path() + QStringLiteral("/registry.reg");
    writeFuzzFile(hivePath, bytes);
    setHiveFile(hivePath);
    const Hive hive = Hive::parse(bytes);

    // The keys and value names that the input mentions, and the key the About dialog reads.
    const QString text = inputText(bytes);
    QStringList keys{QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools\\MSINFO")};
    QList<QByteArray> names{QByteArray(), QByteArrayLiteral("PATH")};
    static const QRegularExpression keyLine("^\\[-?([^\\]\\r\\n]*)\\]", QRegularExpression::MultilineOption);
    static const QRegularExpression nameLine("^\\s*\"([^\"\\r\\n]*)\"\\s*=", QRegularExpression::MultilineOption);
    for (auto it = keyLine.globalMatch(text); it.hasNext() && keys.size() < 6;)
        keys.append(it.next().captured(1));
    for (auto it = nameLine.globalMatch(text); it.hasNext() && names.size() < 8;)
        names.append(it.next().captured(1).toLocal8Bit());

    // Opening a predefined root reads the hive file again; the About dialog's key is opened that
    // way, the others below a root opened once, which keeps the runs fast.
    QHash<QString, HKEY> openRoots;
    for (const QString &keyText : keys) {
        const qsizetype sep = keyText.indexOf(u'\\');
        const QString rootName = Hive::canonicalRoot(sep < 0 ? keyText : keyText.left(sep));
        if (rootName.isEmpty())
            continue;
        HKEY base = rootHandle(rootName);
        if (&keyText != &keys.first()) {
            if (!openRoots.contains(rootName))
                FUZZ_CHECK(RegOpenKeyExA(base, QByteArray(), 0, KEY_READ, &openRoots[rootName]) == ERROR_SUCCESS,
                           rootName);
            base = openRoots[rootName];
        }
        const QByteArray subKey = sep < 0 ? QByteArray() : keyText.mid(sep + 1).toLocal8Bit();
        HKEY key{};
        const long rc = RegOpenKeyExA(base, subKey, 0, KEY_READ, &key);
        FUZZ_CHECK(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND, QString::number(rc));
        if (rc != ERROR_SUCCESS)
            continue;
        // A key that opens has every parent, and nobody may open it for writing.
        QString trimmedPath = rootName + (subKey.isEmpty() ? QString() : u'\\' + QString::fromLocal8Bit(subKey));
        while (trimmedPath.endsWith(u'\\'))
            trimmedPath.chop(1);
        FUZZ_CHECK(subKey.isEmpty() || hive.hasKey(trimmedPath), trimmedPath);
        int parents = 0; // the nearest few: checking every parent of a deep key takes long
        for (qsizetype cut = trimmedPath.lastIndexOf(u'\\'); cut > 0 && parents < 8;
             cut = trimmedPath.lastIndexOf(u'\\', cut - 1), ++parents)
            FUZZ_CHECK(hive.hasKey(trimmedPath.left(cut)) || !trimmedPath.left(cut).contains(u'\\'),
                       QStringLiteral("%1 has no parent %2").arg(trimmedPath, trimmedPath.left(cut)));
        HKEY writable{};
        FUZZ_CHECK(RegOpenKeyExA(key, QByteArray(), 0, KEY_WRITE, &writable) == ERROR_ACCESS_DENIED,
                   "a key of the hive file opened for writing");
        for (const QByteArray &name : names)
            checkValue(hive, trimmedPath, key, name);
        FUZZ_CHECK(RegCloseKey(key) == ERROR_SUCCESS, "closing an open key");
        FUZZ_CHECK(RegCloseKey(key) == ERROR_INVALID_HANDLE, "closing a key twice");
    }
    for (const HKEY root : std::as_const(openRoots))
        FUZZ_CHECK(RegCloseKey(root) == ERROR_SUCCESS, "closing an open root");
    return 0;
}
