#include "platform/registry/registry.h"

#include "platform/registry/hivefile.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace Registry {
namespace {

// The rights a key of the hive file grants: reading only, since nothing here writes the file.
constexpr quint32 GrantedRights = KEY_READ | KEY_WOW64_64KEY | KEY_WOW64_32KEY | GENERIC_READ | MAXIMUM_ALLOWED;

// An open key: a snapshot of the hive taken when its root was opened, and the key's path in it.
struct OpenKey {
    std::shared_ptr<const Hive> hive;
    QString path;
};

struct State {
    std::mutex mutex;
    QString hiveFile = QStringLiteral(TARVOS_REGISTRY_HIVE);
    std::map<quint32, OpenKey> keys;
    quint32 nextHandle = 0x100;
};

State &state()
{
    static State s;
    return s;
}

QString rootName(HKEY root)
{
    switch (quint32(root)) {
    case quint32(HKEY_CLASSES_ROOT):
        return QStringLiteral("HKEY_CLASSES_ROOT");
    case quint32(HKEY_CURRENT_USER):
        return QStringLiteral("HKEY_CURRENT_USER");
    case quint32(HKEY_LOCAL_MACHINE):
        return QStringLiteral("HKEY_LOCAL_MACHINE");
    case quint32(HKEY_USERS):
        return QStringLiteral("HKEY_USERS");
    case quint32(HKEY_CURRENT_CONFIG):
        return QStringLiteral("HKEY_CURRENT_CONFIG");
    default:
        return {};
    }
}

// The key that a handle names: a predefined root (with a fresh look at the hive) or an open key.
// Called with the state locked; false for an unknown handle.
bool resolve(State &s, HKEY handle, OpenKey &key)
{
    const QString root = rootName(handle);
    if (!root.isEmpty()) {
        key = OpenKey{std::make_shared<const Hive>(Hive::load(s.hiveFile)), root};
        return true;
    }
    const auto it = s.keys.find(quint32(handle));
    if (it == s.keys.end())
        return false;
    key = it->second;
    return true;
}

HKEY addHandle(State &s, OpenKey key)
{
    while (s.keys.count(s.nextHandle) || s.nextHandle >= quint32(HKEY_CLASSES_ROOT) || s.nextHandle == 0)
        s.nextHandle = s.nextHandle >= quint32(HKEY_CLASSES_ROOT) ? 0x100 : s.nextHandle + 4;
    const quint32 handle = s.nextHandle;
    s.nextHandle += 4;
    s.keys.emplace(handle, std::move(key));
    return HKEY{handle};
}

// String data as the ANSI calls return it: the UTF-16 text in the local 8-bit encoding.
QByteArray ansiData(const HiveValue &value)
{
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ)
        return value.data;
    QString text;
    text.reserve(value.data.size() / 2);
    for (qsizetype i = 0; i + 1 < value.data.size(); i += 2)
        text.append(QChar(char16_t(quint8(value.data[i]) | quint8(value.data[i + 1]) << 8)));
    return text.toLocal8Bit();
}

} // namespace

long RegOpenKeyExA(HKEY root, const QByteArray &subKey, quint32 options, quint32 samDesired, HKEY *result)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = HKEY{};
    if (options & ~REG_OPTION_OPEN_LINK)
        return ERROR_INVALID_PARAMETER;
    State &s = state();
    std::lock_guard lock(s.mutex);
    OpenKey base;
    if (!resolve(s, root, base))
        return ERROR_INVALID_HANDLE;
    QString path = base.path;
    QString names = QString::fromLocal8Bit(subKey);
    if (names.endsWith(QLatin1Char('\\')))
        names.chop(1);
    if (!names.isEmpty()) {
        for (const QString &name : names.split(QLatin1Char('\\'))) {
            if (name.isEmpty())
                return ERROR_FILE_NOT_FOUND;
            path += QLatin1Char('\\') + name;
        }
        if (!base.hive->hasKey(path))
            return ERROR_FILE_NOT_FOUND;
    }
    if (samDesired & ~GrantedRights)
        return ERROR_ACCESS_DENIED;
    *result = addHandle(s, OpenKey{base.hive, path});
    return ERROR_SUCCESS;
}

long RegQueryValueExA(HKEY key, const QByteArray &valueName, quint32 *reserved, quint32 *type, unsigned char *data,
                      quint32 *size)
{
    if (reserved || (data && !size))
        return ERROR_INVALID_PARAMETER;
    State &s = state();
    std::lock_guard lock(s.mutex);
    OpenKey open;
    if (!resolve(s, key, open))
        return ERROR_INVALID_HANDLE;
    const HiveValue *value = open.hive->value(open.path, QString::fromLocal8Bit(valueName));
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    const QByteArray bytes = ansiData(*value);
    if (type)
        *type = value->type;
    if (!size)
        return ERROR_SUCCESS;
    const quint32 needed = quint32(bytes.size());
    if (!data) {
        *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed)
        std::memcpy(data, bytes.constData(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

long RegCloseKey(HKEY key)
{
    if (!rootName(key).isEmpty())
        return ERROR_SUCCESS;
    State &s = state();
    std::lock_guard lock(s.mutex);
    const auto it = s.keys.find(quint32(key));
    if (it == s.keys.end())
        return ERROR_INVALID_HANDLE;
    long rc = ERROR_SUCCESS;
    s.keys.erase(it);
    return rc;
}

QString hiveFile()
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    return s.hiveFile;
}

void setHiveFile(const QString &path)
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    s.hiveFile = path;
}

} // namespace Registry
