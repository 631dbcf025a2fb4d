#pragma once

#include <QByteArray>
#include <QString>

// The three registry calls of advapi32 (ANSI forms), with their classic meaning and results,
// over the machine-wide hive: a read-only file in the Windows ".reg" export syntax (see hivefile.h); it grants read rights only, so a
// key opened for writing is refused with ERROR_ACCESS_DENIED.
//
// Names and values travel as bytes in the local 8-bit encoding (the "ANSI code page"): UTF-8
// here. String data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) comes back in that encoding with its
// terminating zero counted in the size, as the ANSI calls return it.
namespace Registry {

// A registry key handle: one of the predefined roots or a key opened by RegOpenKeyExA.
enum class HKEY : quint32 {};

inline constexpr HKEY HKEY_CLASSES_ROOT{0x80000000u};
inline constexpr HKEY HKEY_CURRENT_USER{0x80000001u};
inline constexpr HKEY HKEY_LOCAL_MACHINE{0x80000002u};
inline constexpr HKEY HKEY_USERS{0x80000003u};
inline constexpr HKEY HKEY_CURRENT_CONFIG{0x80000005u};

// Results.
inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;
inline constexpr long ERROR_ACCESS_DENIED = 5;
inline constexpr long ERROR_INVALID_HANDLE = 6;
inline constexpr long ERROR_INVALID_PARAMETER = 87;
inline constexpr long ERROR_MORE_DATA = 234;

// Value types.
inline constexpr quint32 REG_NONE = 0;
inline constexpr quint32 REG_SZ = 1;
inline constexpr quint32 REG_EXPAND_SZ = 2;
inline constexpr quint32 REG_BINARY = 3;
inline constexpr quint32 REG_DWORD = 4;
inline constexpr quint32 REG_MULTI_SZ = 7;

// Access rights of a key.
inline constexpr quint32 KEY_QUERY_VALUE = 0x0001;
inline constexpr quint32 KEY_SET_VALUE = 0x0002;
inline constexpr quint32 KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr quint32 KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr quint32 KEY_NOTIFY = 0x0010;
inline constexpr quint32 KEY_WOW64_64KEY = 0x0100;
inline constexpr quint32 KEY_WOW64_32KEY = 0x0200;
inline constexpr quint32 READ_CONTROL = 0x00020000;
inline constexpr quint32 KEY_READ = READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY; // 0x20019
inline constexpr quint32 KEY_WRITE = READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;                   // 0x20006
inline constexpr quint32 KEY_ALL_ACCESS = 0x000F003F;
inline constexpr quint32 GENERIC_READ = 0x80000000u;
inline constexpr quint32 MAXIMUM_ALLOWED = 0x02000000u;

// Options of RegOpenKeyExA.
inline constexpr quint32 REG_OPTION_OPEN_LINK = 0x0008;

// Opens subKey (names separated by "\", any case) below root, which is a predefined root or an
// open key; an empty subKey opens root itself again. On success *result receives a handle to
// close with RegCloseKey. Results: ERROR_SUCCESS; ERROR_FILE_NOT_FOUND for a missing key;
// ERROR_ACCESS_DENIED when samDesired asks for more than the key grants; ERROR_INVALID_HANDLE
// for an unknown root; ERROR_INVALID_PARAMETER for unknown options or a null result.
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
// <sysconfdir>/tarvos-utility/registry.reg. Tests and tools point it elsewhere. An empty path
// means no hive: every key below the roots is absent.
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
