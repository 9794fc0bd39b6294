#include "base/ini.h"

namespace duplivo {

QList<IniLine> iniLines(const QString& text)
{
    QList<IniLine> lines;
    QString section;
    for (QString line : text.split(u'\n')) {
        line = line.trimmed();
        if (line.startsWith(u'\xFEFF'))
            line = line.mid(1).trimmed();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            const qsizetype close = line.indexOf(u']');
            section = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
            lines.append({section, QString(), QString()});
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0)
            continue;
        lines.append({section, line.left(equals).trimmed(), line.mid(equals + 1).trimmed()});
    }
    return lines;
}

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
