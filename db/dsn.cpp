#include "db/dsn.h"

#include <algorithm>

#include <QStringList>

#include "base/ini.h"

namespace duplivo {

namespace {

bool isPasswordKey(const QString& key)
{
    return key.compare(QLatin1String("PWD"), Qt::CaseInsensitive) == 0
        || key.compare(QLatin1String("PASSWORD"), Qt::CaseInsensitive) == 0;
}

// ODBC connection strings end a value at ';'; braces carry any value whole, '}' doubled inside.
// Only a value that needs them gets braces: some drivers (SQLite's) read them as part of the
// value, and '=' or '}' inside a value end nothing.
QString quoted(const QString& value, bool always)
{
    const bool plain = !value.isEmpty() && value.trimmed() == value && !value.contains(u';')
        && !value.startsWith(u'{');
    if (plain && !always)
        return value;
    return u'{' + QString(value).replace(u'}', QStringLiteral("}}")) + u'}';
}

} // namespace

bool OdbcSource::holdsPassword() const
{
    // A whole connection string pasted as one value may carry a password too.
    const auto carriesPassword = [](const QString& value) {
        return value.contains(QLatin1String("PWD="), Qt::CaseInsensitive)
            || value.contains(QLatin1String("PASSWORD="), Qt::CaseInsensitive);
    };
    return std::any_of(keys.cbegin(), keys.cend(), [&](const auto& key) {
        return (isPasswordKey(key.first) && !key.second.isEmpty()) || carriesPassword(key.second);
    });
}

QString OdbcSource::value(const QString& key) const
{
    for (const auto& [name, value] : keys) {
        if (name.compare(key, Qt::CaseInsensitive) == 0)
            return value.isNull() ? QStringLiteral("") : value;
    }
    return QString();
}

QString OdbcSource::connectionString() const
{
    QStringList parts;
    for (const auto& [key, value] : keys) {
        const bool isDriver = key.compare(QLatin1String("DRIVER"), Qt::CaseInsensitive) == 0;
        QString bare = value;
        if (isDriver && bare.startsWith(u'{') && bare.endsWith(u'}'))
            bare = bare.mid(1, bare.size() - 2);
        parts << key + u'=' + quoted(bare, isDriver);
    }
    return parts.join(u';');
}

std::optional<OdbcSource> readOdbcSource(const QByteArray& content)
{
    const QList<IniLine> lines = iniLines(QString::fromUtf8(content));
    // The first thing in the file is the [ODBC] header; its keys run to the next header.
    if (lines.isEmpty() || !lines.first().isHeader()
        || lines.first().section.compare(QLatin1String("ODBC"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    OdbcSource source;
    for (qsizetype i = 1; i < lines.size() && !lines[i].isHeader(); ++i)
        source.keys.append({lines[i].key, lines[i].value});
    return source;
}

} // namespace duplivo
