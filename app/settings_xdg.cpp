#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "app/failure.h"
#include "app/settings.h"

namespace duplivo {

namespace {

QString configFolder()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return xdg;
    return QDir::homePath() + QStringLiteral("/.config");
}

// The number a file that cannot be read is reported with, as the business programs do.
constexpr int fileAccessError = 75;

} // namespace

QString NativeSettingsStore::get(const QString& application, const QString& section,
    const QString& key, const QString& defaultValue) const
{
    const QString path = configFolder() + u'/' + application + QStringLiteral(".ini");
    QFile file(path);
    if (!file.exists())
        return defaultValue;
    if (!file.open(QIODevice::ReadOnly))
        throw Failure(fileAccessError,
            QStringLiteral("No se puede leer la configuración '%1': %2")
                .arg(QDir::toNativeSeparators(path), file.errorString()));
    return iniValue(QString::fromUtf8(file.readAll()), section, key).value_or(defaultValue);
}

} // namespace duplivo
