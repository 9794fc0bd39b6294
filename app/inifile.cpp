#include <QList>
#include <QStringView>

#include "app/settings.h"

namespace duplivo {

std::optional<QString> iniValue(const QString& iniText, const QString& section, const QString& key)
{
    bool inSection = false;
    const auto lines = QStringView(iniText).split(u'\n');
    for (QStringView line : lines) {
        line = line.trimmed();
        if (line.startsWith(u'\xFEFF'))
            line = line.mid(1).trimmed();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            const qsizetype close = line.indexOf(u']');
            const QStringView name = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
            inSection = name.compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inSection)
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0 || line.left(equals).trimmed().compare(key, Qt::CaseInsensitive) != 0)
            continue;
        QStringView value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
            value = value.mid(1, value.size() - 2);
        return value.toString();
    }
    return std::nullopt;
}

} // namespace duplivo
