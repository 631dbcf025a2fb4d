#include "platform/registry/systemregistry.h"

#include <windows.h>

namespace Registry::System {

void *rootHandle(quint32 root)
{
    // The predefined roots are 32-bit values sign-extended to the width of a handle.
    return reinterpret_cast<void *>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
}

long open(void *parent, const QByteArray &subKey, quint32 options, quint32 samDesired, void **result)
{
    ::HKEY key = nullptr;
    const LONG rc = ::RegOpenKeyExA(static_cast<::HKEY>(parent), subKey.constData(), options, samDesired, &key);
    *result = key;
    return rc;
}

long query(void *key, const QByteArray &valueName, quint32 *reserved, quint32 *type, unsigned char *data, quint32 *size)
{
    static_assert(sizeof(DWORD) == sizeof(quint32));
    return ::RegQueryValueExA(static_cast<::HKEY>(key), valueName.constData(), reinterpret_cast<LPDWORD>(reserved),
                              reinterpret_cast<LPDWORD>(type), data, reinterpret_cast<LPDWORD>(size));
}

long close(void *key)
{
    return ::RegCloseKey(static_cast<::HKEY>(key));
}

} // namespace Registry::System
