// The Wine prefix the business programs run in: $WINEPREFIX, or ~/.wine when it is not set.
#pragma once

#include <QDir>
#include <QString>

namespace duplivo {

inline QString winePrefix()
{
    const QString prefix = qEnvironmentVariable("WINEPREFIX");
    return prefix.isEmpty() ? QDir::homePath() + QStringLiteral("/.wine") : prefix;
}

} // namespace duplivo
