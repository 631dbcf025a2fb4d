#pragma once

#include <QByteArray>
#include <QtGlobal>

// The system's own registry (Windows only). Handles are the system's, passed as void *.
namespace Registry::System {

// The system handle of a predefined root (0x80000000...).
void *rootHandle(quint32 root);
long open(void *parent, const QByteArray &subKey, quint32 options, quint32 samDesired, void **result);
long query(void *key, const QByteArray &valueName, quint32 *reserved, quint32 *type, unsigned char *data,
           quint32 *size);
long close(void *key);

} // namespace Registry::System
