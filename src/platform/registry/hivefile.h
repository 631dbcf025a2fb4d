#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <utility>

namespace Registry {

// One value of a key as the hive stores it. String types (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)
// hold UTF-16LE text, as the registry keeps them; every other type holds its bytes as given.
struct HiveValue {
    quint32 type = 0;
    QByteArray data;
};

// A registry hive read from a file in the Windows ".reg" export syntax:
//
//   Windows Registry Editor Version 5.00        (or REGEDIT4; the file may be UTF-16LE or UTF-8)
//   ; a comment
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Vendor\Key]
//   @="default value"
//   "Text"="C:\\Program Files\\a \"quoted\" word"
//   "Number"=dword:0000abcd
//   "Bytes"=hex:de,ad,be,\   (a "\" at the end of a line continues it on the next)
//     ef
//   "Expandable"=hex(2):25,00,00,00             (hex(N): a value of type N, N in hexadecimal)
//   "Gone"=-                                    (removes a value set earlier in the file)
//   [-HKEY_LOCAL_MACHINE\SOFTWARE\Old]          (removes a key and everything below it)
//
// Key and value names compare without regard to case. A file without the header line, unreadable
// or larger than MaxFileSize gives an empty hive; a line that cannot be read is skipped (a broken
// key line also drops the values under it), so a damaged file yields absent keys, never a crash.
class Hive {
public:
    static constexpr qint64 MaxFileSize = 16 << 20;

    [[nodiscard]] static Hive parse(const QByteArray &fileBytes);
    // A missing or unreadable file gives an empty hive.
    [[nodiscard]] static Hive load(const QString &path);

    // The canonical form of a root's name ("HKEY_LOCAL_MACHINE" for "HKLM" too), or empty.
    [[nodiscard]] static QString canonicalRoot(const QString &rootName);

    // keyPath: the root's canonical name, then the key names, separated by "\".
    [[nodiscard]] bool hasKey(const QString &keyPath) const;
    // Null when the key or the value is absent; an empty name means the default value ("@").
    [[nodiscard]] const HiveValue *value(const QString &keyPath, const QString &name) const;
    [[nodiscard]] bool isEmpty() const { return children_.isEmpty(); }

private:
    // Keys form a tree. Each key has a number (0 is the top, above the roots); a key is found by
    // its parent's number and its case-folded name, so a path costs memory once per name and a
    // deep or much repeated path stays cheap. A removed key is unlinked from its parent, which
    // makes everything below it unreachable.
    using KeyId = qsizetype;
    [[nodiscard]] KeyId findKey(const QString &keyPath) const; // -1 when absent
    KeyId addKey(const QString &foldedPath);
    void removeKey(const QString &foldedPath);

    QHash<std::pair<KeyId, QString>, KeyId> children_;
    // By key number: the key's values by their case-folded name.
    QList<QHash<QString, HiveValue>> values_ = QList<QHash<QString, HiveValue>>(1);
};

} // namespace Registry
