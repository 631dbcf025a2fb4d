#pragma once

#include <QByteArray>
#include <QString>

// The three registry calls of advapi32 that System Info makes (ANSI forms), with their classic
// results, over the machine-wide hive: a read-only file in the ".reg" syntax that
// tools/seed-registry.sh writes:
//
//   Windows Registry Editor Version 5.00        (or REGEDIT4; UTF-8, a byte-order mark passed over)
//   ; a comment
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Shared Tools\MSINFO]
//   "PATH"="/usr/bin/hardinfo"                  (\\ and \" stand for a backslash and a quote)
//   "Number"=dword:0000abcd
//   @="the key's default value"
//
// Key and value names compare without regard to case. A line the reader cannot take is skipped;
// a file without the header line, unreadable or larger than MaxHiveSize holds no keys. The hive
// grants read rights only, so a key opened for more is refused with ERROR_ACCESS_DENIED. Names
// and values travel as bytes in the local 8-bit encoding (UTF-8 here); a string's data has its
// terminating zero counted, as the ANSI calls return it.
namespace Registry {

// A registry key handle: the predefined root below or a key opened by RegOpenKeyExA.
enum class HKEY : quint32 {};
inline constexpr HKEY HKEY_LOCAL_MACHINE{0x80000002u};
inline constexpr qint64 MaxHiveSize = 16 << 20;

// Results, value types and the access rights of a key.
inline constexpr long ERROR_SUCCESS = 0, ERROR_FILE_NOT_FOUND = 2, ERROR_ACCESS_DENIED = 5, ERROR_INVALID_HANDLE = 6,
                      ERROR_INVALID_PARAMETER = 87, ERROR_MORE_DATA = 234;
inline constexpr quint32 REG_NONE = 0, REG_SZ = 1, REG_DWORD = 4;
inline constexpr quint32 KEY_SET_VALUE = 0x0002, KEY_READ = 0x20019, KEY_WRITE = 0x20006, KEY_ALL_ACCESS = 0xF003F;

// Opens subKey (names separated by "\", any case) below root, the predefined root (the hive
// file is read afresh) or an open key; an empty subKey opens root itself again. On success
// *result receives a handle to close with RegCloseKey. Results: ERROR_SUCCESS;
// ERROR_FILE_NOT_FOUND for a missing key; ERROR_ACCESS_DENIED when samDesired asks for more than
// reading; ERROR_INVALID_HANDLE for an unknown handle; ERROR_INVALID_PARAMETER for options other
// than 0 or a null result.
[[nodiscard]] long RegOpenKeyExA(HKEY root, const QByteArray &subKey, quint32 options, quint32 samDesired,
                                 HKEY *result);

// Reads the value valueName (empty: the key's default value) of an open key. reserved must be
// null. type (if not null) receives the value's type. With data null, *size receives the length
// the data needs; otherwise *size holds the buffer's length on entry and the data's length on
// return, and a buffer that is too small gives ERROR_MORE_DATA with the needed length in *size.
// Results: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND (no such value), ERROR_MORE_DATA,
// ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER (reserved not null, data without size).
[[nodiscard]] long RegQueryValueExA(HKEY key, const QByteArray &valueName, quint32 *reserved, quint32 *type,
                                    unsigned char *data, quint32 *size);

// Closes a key opened by RegOpenKeyExA. Closing a predefined root is allowed and does nothing.
long RegCloseKey(HKEY key);

// The file that holds the machine-wide hive. The default is fixed at build time:
// <sysconfdir>/tarvos-utility/registry.reg. Tests and tools point it elsewhere; an empty path
// means no hive.
[[nodiscard]] QString hiveFile();
void setHiveFile(const QString &path);

// Closes a key handle when it goes out of scope.
class KeyCloser {
public:
    explicit KeyCloser(HKEY key) : key_(key) {}
    ~KeyCloser() { RegCloseKey(key_); }
    KeyCloser(const KeyCloser &) = delete;
    KeyCloser &operator=(const KeyCloser &) = delete;

private:
    HKEY key_;
};

} // namespace Registry
