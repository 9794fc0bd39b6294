#include <cerrno>
#include <cstring>

#include <QDir>
#include <QFile>
#include <sys/stat.h>

#include "app/settings.h"
#include "base/failure.h"
#include "base/ini.h"
#include "base/wineprefix.h"

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

// The text of a settings file, nothing when there is no such file.
std::optional<QString> settingsText(const QString& path)
{
    const auto unreadable = [&path](const QString& why) {
        return Failure(fileAccessError,
            QStringLiteral("No se puede leer la configuración '%1': %2")
                .arg(QDir::toNativeSeparators(path), why));
    };
    // Only a file that is not there means "nothing stored"; one that cannot be reached (a folder
    // without access, a link loop) is a failure, not a missing installation.
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return std::nullopt;
        throw unreadable(QString::fromLocal8Bit(std::strerror(error)));
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw unreadable(file.errorString());
    return QString::fromUtf8(file.readAll());
}

} // namespace

QString NativeSettingsStore::get(const QString& application, const QString& section,
    const QString& key, const QString& defaultValue) const
{
    // Programs run under Wine keep the setting where they would on Windows, in the registry of
    // the prefix whose drives the database path is found in; programs run natively, in an INI.
    const std::optional<QString> registry
        = settingsText(winePrefix() + QStringLiteral("/user.reg"));
    if (registry) {
        const QString keyPath = QStringLiteral("Software\\VB and VBA Program Settings\\")
            + application + u'\\' + section;
        if (std::optional<QString> value = wineRegistryValue(*registry, keyPath, key))
            return *std::move(value);
    }
    const std::optional<QString> ini
        = settingsText(configFolder() + u'/' + application + QStringLiteral(".ini"));
    if (!ini)
        return defaultValue;
    return iniValue(*ini, section, key).value_or(defaultValue);
}

} // namespace duplivo
