#include <QSettings>

#include "app/settings.h"
#include "base/failure.h"

namespace duplivo {

QString NativeSettingsStore::get(const QString& application, const QString& section,
    const QString& key, const QString& defaultValue) const
{
    // Where the business programs keep their per-user settings by application and section.
    const QString path
        = QStringLiteral("HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\") + application
        + u'\\' + section;
    const QSettings registry(path, QSettings::NativeFormat);
    if (registry.status() == QSettings::AccessError)
        throw Failure(75, QStringLiteral("No se puede leer la configuración '%1'").arg(path));
    return registry.contains(key) ? registry.value(key).toString() : defaultValue;
}

} // namespace duplivo
