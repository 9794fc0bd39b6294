#include "app/ini.h"
#include "app/settings.h"

namespace duplivo {

std::optional<QString> iniValue(const QString& iniText, const QString& section, const QString& key)
{
    for (const IniLine& line : iniLines(iniText)) {
        if (line.isHeader() || line.section.compare(section, Qt::CaseInsensitive) != 0
            || line.key.compare(key, Qt::CaseInsensitive) != 0)
            continue;
        const QString& value = line.value;
        if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
            return value.mid(1, value.size() - 2);
        return value;
    }
    return std::nullopt;
}

} // namespace duplivo
