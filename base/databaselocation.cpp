#include "base/databaselocation.h"

#include "base/platform.h"

namespace duplivo {

DatabaseLocation readDatabaseLocation(const SettingsStore& settings)
{
    DatabaseLocation location;
    location.drive = settings.get(QStringLiteral("discos"), QStringLiteral("BasesDeTarvex"),
        QStringLiteral("Tarvex"), QString());
    location.databasePath = location.drive + QStringLiteral(":\\Tarvex.win\\Tarvex.mdb");
    return location;
}

} // namespace duplivo
