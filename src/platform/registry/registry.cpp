#include "platform/registry/registry.h"

#include <QFile>
#include <QHash>
#include <QStringList>

#include <cstring>
#include <map>
#include <memory>

namespace Registry {
namespace {

// A value as the ANSI calls return it: text in the local 8-bit encoding with its terminating
// zero, a number as its 4 bytes, lowest first.
struct Value {
    quint32 type = REG_NONE;
    QByteArray data;
};

// Every key by its case-folded path ("HKEY_LOCAL_MACHINE\SOFTWARE\..."), with its values by their
// case-folded names ("" for the default value). A key's parents are keys too.
using Hive = QHash<QString, QHash<QString, Value>>;

// The quoted text at the start of line, "\\" and "\"" read as "\" and '"'; rest gets what
// follows it. False when line does not start with one.
bool readQuoted(QStringView line, QString &text, QStringView &rest)
{
    if (!line.startsWith(u'"'))
        return false;
    text.clear();
    for (qsizetype i = 1; i < line.size(); ++i) {
        if (line[i] == u'"') {
            rest = line.mid(i + 1).trimmed();
            return true;
        }
        if (line[i] == u'\\' && i + 1 < line.size())
            ++i;
        text += line[i];
    }
    return false;
}

// The value after "=": "text" or dword:XXXXXXXX (one to eight hexadecimal digits).
bool readValue(QStringView data, Value &value)
{
    QString text;
    QStringView rest;
    if (readQuoted(data, text, rest)) {
        value = {REG_SZ, text.toLocal8Bit() + '\0'};
        return rest.isEmpty();
    }
    if (!data.startsWith(u"dword:", Qt::CaseInsensitive) || data.size() > 14)
        return false;
    bool ok = false;
    const quint32 number = data.mid(6).toUInt(&ok, 16);
    value = {REG_DWORD, QByteArray(4, '\0')};
    for (int i = 0; i < 4; ++i)
        value.data[i] = char(number >> (8 * i) & 0xff);
    return ok && !data.mid(6).startsWith(u'+') && !data.mid(6).startsWith(u'-');
}

Hive loadHive(const QString &path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly) || file.size() > MaxHiveSize)
        return {};
    QByteArray bytes = file.readAll();
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    const QStringList lines = QString::fromUtf8(bytes).split(u'\n');
    const QString header = lines.value(0).trimmed();
    if (header != u"Windows Registry Editor Version 5.00" && header != u"REGEDIT4")
        return {};
    Hive hive;
    QString key; // empty until a key line has been read
    for (qsizetype n = 1; n < lines.size(); ++n) {
        const QString line = lines[n].trimmed();
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            key = line.mid(1, line.size() - 2).toCaseFolded();
            const QStringList names = key.split(u'\\');
            bool named = key.startsWith(u"hkey_") && !names.contains(QString());
            for (qsizetype i = 1; named && i <= names.size(); ++i)
                (void)hive[names.first(i).join(u'\\')];
            key = named ? key : QString();
            continue;
        }
        QString name; // "@" names the default value, ""
        QStringView rest = QStringView(line).mid(1).trimmed();
        Value value; // a comment, a line before the first key or one that cannot be read is skipped
        if (!key.isEmpty() && (line.startsWith(u'@') || readQuoted(line, name, rest)) && rest.startsWith(u'=') &&
            readValue(rest.mid(1).trimmed(), value))
            hive[key][name.toCaseFolded()] = value;
    }
    return hive;
}

// An open key: a snapshot of the hive taken when its root was opened, and the key's path in it.
struct OpenKey {
    std::shared_ptr<const Hive> hive;
    QString path;
};

// The window's thread alone calls these (System Info), so the table needs no lock.
QString hivePath = QStringLiteral(TARVOS_REGISTRY_HIVE);
std::map<quint32, OpenKey> openKeys;
quint32 nextHandle = 0x100;

// The key that a handle names: the root (with a fresh look at the hive) or an open key; null for
// an unknown handle.
const OpenKey *resolve(HKEY handle, OpenKey &root)
{
    if (handle == HKEY_LOCAL_MACHINE) {
        root = {std::make_shared<const Hive>(loadHive(hivePath)), QStringLiteral("hkey_local_machine")};
        return &root;
    }
    const auto it = openKeys.find(quint32(handle));
    return it == openKeys.end() ? nullptr : &it->second;
}

} // namespace

long RegOpenKeyExA(HKEY root, const QByteArray &subKey, quint32 options, quint32 samDesired, HKEY *result)
{
    if (!result || options != 0)
        return ERROR_INVALID_PARAMETER;
    *result = HKEY{};
    OpenKey fresh;
    const OpenKey *base = resolve(root, fresh);
    if (!base)
        return ERROR_INVALID_HANDLE;
    QString path = base->path, names = QString::fromLocal8Bit(subKey);
    if (names.endsWith(u'\\'))
        names.chop(1);
    if (!names.isEmpty()) {
        path += u'\\' + names.toCaseFolded();
        if (!base->hive->contains(path))
            return ERROR_FILE_NOT_FOUND;
    }
    if (samDesired & ~KEY_READ)
        return ERROR_ACCESS_DENIED;
    while (openKeys.count(nextHandle) || nextHandle >= 0x80000000u) // below the root's number
        nextHandle = nextHandle >= 0x80000000u ? 0x100 : nextHandle + 4;
    openKeys.emplace(nextHandle, OpenKey{base->hive, path});
    *result = HKEY{nextHandle};
    nextHandle += 4;
    return ERROR_SUCCESS;
}

long RegQueryValueExA(HKEY key, const QByteArray &valueName, quint32 *reserved, quint32 *type, unsigned char *data,
                      quint32 *size)
{
    if (reserved || (data && !size))
        return ERROR_INVALID_PARAMETER;
    OpenKey fresh;
    const OpenKey *open = resolve(key, fresh);
    if (!open)
        return ERROR_INVALID_HANDLE;
    const auto values = open->hive->constFind(open->path);
    if (values == open->hive->cend())
        return ERROR_FILE_NOT_FOUND;
    const auto value = values->constFind(QString::fromLocal8Bit(valueName).toCaseFolded());
    if (value == values->cend())
        return ERROR_FILE_NOT_FOUND;
    if (type)
        *type = value->type;
    const quint32 needed = quint32(value->data.size());
    if (size && data && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data)
        std::memcpy(data, value->data.constData(), needed);
    if (size)
        *size = needed;
    return ERROR_SUCCESS;
}

long RegCloseKey(HKEY key)
{
    return key == HKEY_LOCAL_MACHINE || openKeys.erase(quint32(key)) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

QString hiveFile()
{
    return hivePath;
}

void setHiveFile(const QString &path)
{
    hivePath = path;
}

} // namespace Registry
