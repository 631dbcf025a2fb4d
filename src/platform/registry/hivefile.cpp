#include "platform/registry/hivefile.h"

#include "platform/registry/registry.h"

#include <QFile>
#include <QStringDecoder>

#include <optional>

namespace Registry {
namespace {

// The two header lines regedit writes: Unicode exports (hex(N) strings are UTF-16LE) and the
// older ANSI exports (hex(N) strings are 8-bit text).
enum class Format { Unknown, Unicode, Ansi };

QString decodeFile(const QByteArray &bytes)
{
    if (bytes.startsWith("\xFF\xFE")) {
        QStringDecoder utf16(QStringConverter::Utf16LE);
        return utf16(QByteArrayView(bytes).sliced(2));
    }
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(QByteArrayView(bytes).sliced(3));
    return QString::fromUtf8(bytes);
}

QString fold(const QString &name)
{
    return name.toCaseFolded();
}

QByteArray utf16le(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size() * 2);
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

// Reads a double-quoted text starting at pos, undoing the \\ and \" escapes; pos ends after the
// closing quote. Any other escape, or a missing closing quote, makes the text unreadable.
std::optional<QString> readQuoted(const QString &line, qsizetype &pos)
{
    if (pos >= line.size() || line[pos] != QLatin1Char('"'))
        return std::nullopt;
    QString text;
    for (++pos; pos < line.size(); ++pos) {
        const QChar c = line[pos];
        if (c == QLatin1Char('"')) {
            ++pos;
            return text;
        }
        if (c == QLatin1Char('\\')) {
            if (pos + 1 >= line.size())
                return std::nullopt;
            const QChar next = line[++pos];
            if (next != QLatin1Char('\\') && next != QLatin1Char('"'))
                return std::nullopt;
            text.append(next);
        } else {
            text.append(c);
        }
    }
    return std::nullopt;
}

// Parses an unsigned hexadecimal number of 1 to maxDigits digits.
std::optional<quint32> readHexNumber(QStringView digits, int maxDigits)
{
    if (digits.isEmpty() || digits.size() > maxDigits)
        return std::nullopt;
    quint32 n = 0;
    for (const QChar c : digits) {
        const char16_t u = c.unicode();
        quint32 d;
        if (u >= u'0' && u <= u'9')
            d = u - u'0';
        else if (u >= u'a' && u <= u'f')
            d = u - u'a' + 10;
        else if (u >= u'A' && u <= u'F')
            d = u - u'A' + 10;
        else
            return std::nullopt;
        n = (n << 4) | d;
    }
    return n;
}

// "de,ad, be,ef" (a comma after the last byte allowed; nothing at all is zero bytes).
std::optional<QByteArray> readHexBytes(QStringView list)
{
    QByteArray bytes;
    list = list.trimmed();
    if (list.isEmpty())
        return bytes;
    if (list.endsWith(QLatin1Char(',')))
        list.chop(1);
    for (const QStringView item : list.split(QLatin1Char(','))) {
        const auto byte = readHexNumber(item.trimmed(), 2);
        if (!byte)
            return std::nullopt;
        bytes.append(char(*byte));
    }
    return bytes;
}

bool isStringType(quint32 type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The data after "=": a quoted string, dword:, hex: or hex(N):. Nothing when unreadable.
std::optional<HiveValue> readData(const QString &line, qsizetype pos, Format format)
{
    const QStringView rest = QStringView(line).sliced(pos);
    if (rest.startsWith(QLatin1Char('"'))) {
        const auto text = readQuoted(line, pos);
        if (!text || !QStringView(line).sliced(pos).trimmed().isEmpty())
            return std::nullopt;
        return HiveValue{REG_SZ, utf16le(*text) + QByteArray(2, '\0')};
    }
    if (rest.startsWith(QLatin1String("dword:"), Qt::CaseInsensitive)) {
        const auto n = readHexNumber(rest.sliced(6).trimmed(), 8);
        if (!n)
            return std::nullopt;
        QByteArray bytes(4, '\0');
        for (int i = 0; i < 4; ++i)
            bytes[i] = char((*n >> (8 * i)) & 0xFF);
        return HiveValue{REG_DWORD, bytes};
    }
    quint32 type = REG_BINARY;
    qsizetype listStart = 0;
    if (rest.startsWith(QLatin1String("hex:"), Qt::CaseInsensitive)) {
        listStart = 4;
    } else if (rest.startsWith(QLatin1String("hex("), Qt::CaseInsensitive)) {
        const qsizetype close = rest.indexOf(QLatin1String("):"));
        const auto n = close < 0 ? std::nullopt : readHexNumber(rest.sliced(4, close - 4), 8);
        if (!n)
            return std::nullopt;
        type = *n;
        listStart = close + 2;
    } else {
        return std::nullopt;
    }
    auto bytes = readHexBytes(rest.sliced(listStart));
    if (!bytes)
        return std::nullopt;
    if (format == Format::Ansi && isStringType(type))
        bytes = utf16le(QString::fromLocal8Bit(*bytes));
    return HiveValue{type, *bytes};
}

// The file's lines with continuations ("\" at the end of a line) joined to the next line.
QStringList logicalLines(const QString &text)
{
    QStringList lines;
    QString current; // the logical line so far, without blanks at either end
    bool continuing = false;
    for (QStringView raw : QStringView(text).split(QLatin1Char('\n'))) {
        if (raw.endsWith(QLatin1Char('\r')))
            raw.chop(1);
        if (!continuing)
            current.clear();
        // Appending in place and trimming only the end keeps a long run of continued lines
        // linear in its length.
        current += raw.trimmed();
        qsizetype end = current.size();
        while (end > 0 && current.at(end - 1).isSpace())
            --end;
        current.truncate(end);
        continuing = current.endsWith(QLatin1Char('\\')) && !current.startsWith(QLatin1Char(';'));
        if (continuing) {
            current.chop(1);
            continue;
        }
        lines.append(current);
    }
    // A line still waiting for its continuation at the end of the file was cut short: dropped.
    return lines;
}

// "[HKEY_LOCAL_MACHINE\A\B]" -> "hkey_local_machine\a\b" (folded); empty when unreadable.
QString readKeyPath(QStringView inside)
{
    if (inside.endsWith(QLatin1Char('\\')))
        inside.chop(1);
    QStringList parts;
    for (const QStringView part : inside.split(QLatin1Char('\\'))) {
        if (part.isEmpty())
            return {};
        parts.append(part.toString());
    }
    parts[0] = Hive::canonicalRoot(parts[0]);
    if (parts[0].isEmpty())
        return {};
    return fold(parts.join(QLatin1Char('\\')));
}

} // namespace

QString Hive::canonicalRoot(const QString &rootName)
{
    static const struct {
        const char *name, *shortName;
    } roots[] = {
        {"HKEY_CLASSES_ROOT", "HKCR"}, {"HKEY_CURRENT_USER", "HKCU"},   {"HKEY_LOCAL_MACHINE", "HKLM"},
        {"HKEY_USERS", "HKU"},         {"HKEY_CURRENT_CONFIG", "HKCC"},
    };
    for (const auto &root : roots) {
        if (rootName.compare(QLatin1String(root.name), Qt::CaseInsensitive) == 0 ||
            rootName.compare(QLatin1String(root.shortName), Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(root.name);
    }
    return {};
}

Hive Hive::parse(const QByteArray &fileBytes)
{
    Hive hive;
    const QStringList lines = logicalLines(decodeFile(fileBytes));
    Format format = Format::Unknown;
    QString key; // the folded path of the key that takes the values that follow; empty: none
    KeyId keyId = 0;
    for (const QString &line : lines) {
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (format == Format::Unknown) {
            if (line == QLatin1String("Windows Registry Editor Version 5.00"))
                format = Format::Unicode;
            else if (line == QLatin1String("REGEDIT4"))
                format = Format::Ansi;
            else
                return {}; // not a registry file at all
            continue;
        }
        if (line.startsWith(QLatin1Char('['))) {
            key.clear();
            if (!line.endsWith(QLatin1Char(']')))
                continue;
            const bool removal = line.startsWith(QLatin1String("[-"));
            const QString path = readKeyPath(QStringView(line).sliced(removal ? 2 : 1).chopped(1));
            if (path.isEmpty())
                continue;
            if (removal) {
                hive.removeKey(path);
            } else {
                keyId = hive.addKey(path);
                key = path;
            }
            continue;
        }
        if (key.isEmpty())
            continue;
        qsizetype pos = 0;
        QString name;
        if (line.startsWith(QLatin1Char('@'))) {
            pos = 1;
        } else {
            const auto quoted = readQuoted(line, pos);
            if (!quoted)
                continue;
            name = *quoted;
        }
        while (pos < line.size() && line[pos].isSpace())
            ++pos;
        if (pos >= line.size() || line[pos] != QLatin1Char('='))
            continue;
        ++pos;
        while (pos < line.size() && line[pos].isSpace())
            ++pos;
        auto &values = hive.values_[keyId];
        if (QStringView(line).sliced(pos) == QLatin1String("-")) {
            values.remove(fold(name));
            continue;
        }
        if (const auto value = readData(line, pos, format))
            values.insert(fold(name), *value);
    }
    return hive;
}

Hive Hive::load(const QString &path)
{
    if (path.isEmpty())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Read in pieces up to the limit: asking for the limit at once would reserve it whole for
    // every look-up, however small the file, and a file of unknown size may never end.
    QByteArray bytes;
    for (;;) {
        const QByteArray piece = file.read(64 * 1024);
        if (piece.isEmpty())
            break;
        bytes += piece;
        if (bytes.size() > MaxFileSize)
            return {};
    }
    return parse(bytes);
}

Hive::KeyId Hive::findKey(const QString &keyPath) const
{
    const QString folded = fold(keyPath);
    KeyId id = 0;
    for (const QStringView name : QStringView(folded).split(QLatin1Char('\\'))) {
        const auto child = children_.constFind({id, name.toString()});
        if (child == children_.constEnd())
            return -1;
        id = *child;
    }
    return id;
}

bool Hive::hasKey(const QString &keyPath) const
{
    return findKey(keyPath) > 0;
}

const HiveValue *Hive::value(const QString &keyPath, const QString &name) const
{
    const KeyId id = findKey(keyPath);
    if (id <= 0)
        return nullptr;
    const auto &values = values_.at(id);
    const auto value = values.constFind(fold(name));
    return value == values.constEnd() ? nullptr : &*value;
}

Hive::KeyId Hive::addKey(const QString &foldedPath)
{
    // A key brings its parents into being, as importing the file would.
    KeyId id = 0;
    for (const QStringView name : QStringView(foldedPath).split(QLatin1Char('\\'))) {
        const std::pair<KeyId, QString> link{id, name.toString()};
        const auto child = children_.constFind(link);
        if (child != children_.constEnd()) {
            id = *child;
            continue;
        }
        id = values_.size();
        values_.emplace_back();
        children_.insert(link, id);
    }
    return id;
}

void Hive::removeKey(const QString &foldedPath)
{
    const qsizetype sep = foldedPath.lastIndexOf(QLatin1Char('\\'));
    const KeyId parent = sep < 0 ? 0 : findKey(foldedPath.left(sep));
    if (parent >= 0)
        children_.remove({parent, foldedPath.mid(sep + 1)});
}

} // namespace Registry
