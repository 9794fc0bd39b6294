// The settings store of this platform, and the readers behind it where there is no Windows
// registry: INI text and Wine's registry file.
#pragma once

#include <optional>

#include "app/platform.h"

namespace duplivo {

// The per-user store the business programs write: the registry on Windows; elsewhere Wine's
// registry of the user's prefix, where programs run under Wine keep it, then an INI file in the
// user's configuration folder.
class NativeSettingsStore final : public SettingsStore
{
public:
    QString get(const QString& application, const QString& section, const QString& key,
        const QString& defaultValue) const override;
};

// The value under [section] key in INI text, the way Windows profile files are read: section and
// key ignore case, the first match wins, and surrounding double quotes are removed so that a
// value of spaces can be stored.
std::optional<QString> iniValue(const QString& iniText, const QString& section, const QString& key);

// The string value `valueName` of key `keyPath` (below HKEY_CURRENT_USER, names separated by
// single backslashes) in the text of a Wine user.reg, as Windows would find it: names ignore
// case and the first matching key wins. A value of another type, or one that cannot be parsed,
// gives nothing.
std::optional<QString> wineRegistryValue(
    const QString& userRegText, const QString& keyPath, const QString& valueName);

} // namespace duplivo
