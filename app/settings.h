// The settings store of this platform, and the reader of Wine's registry file behind it where
// there is no Windows registry.
#pragma once

#include <optional>

#include "base/platform.h"

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

// The string value `valueName` of key `keyPath` (below HKEY_CURRENT_USER, names separated by
// single backslashes) in the text of a Wine user.reg, as Windows would find it: names ignore
// case and the first matching key wins. A value of another type, or one that cannot be parsed,
// gives nothing.
std::optional<QString> wineRegistryValue(
    const QString& userRegText, const QString& keyPath, const QString& valueName);

} // namespace duplivo
