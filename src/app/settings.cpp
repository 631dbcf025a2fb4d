#include "app/settings.h"

#include <QDir>
#include <QSettings>

namespace Settings {
namespace {
QString keyPath(const QString &key)
{
    return QLatin1String(Section) + QLatin1Char('/') + key;
}

QSettings store()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QLatin1String(Application));
}
} // namespace

QString defaultBackEnd()
{
    return QDir::homePath() + QStringLiteral("/BACK/BACK.MDB");
}

QString GetSetting(const QString &key, const QString &defaultValue)
{
    return store().value(keyPath(key), defaultValue).toString();
}

void SaveSetting(const QString &key, const QString &value)
{
    QSettings s = store();
    s.setValue(keyPath(key), value);
    s.sync();
}

void useFolder(const QString &folder)
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
}

} // namespace Settings
