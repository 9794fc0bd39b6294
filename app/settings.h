// The settings store of this platform, and the INI reader behind it where there is no registry.
#pragma once

#include <optional>

#include "app/platform.h"

namespace duplivo {

// The per-user store the business programs write: the registry on Windows, an INI file in the
// user's configuration folder elsewhere.
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

} // namespace duplivo
