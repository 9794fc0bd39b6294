// Where the company database lives, from the one setting an installed Tarvex program leaves.
#pragma once

#include <QString>

namespace duplivo {

class SettingsStore;

struct DatabaseLocation
{
    QString drive;
    QString databasePath;
};

// Reads the drive letter and builds the database path from it exactly as stored: a drive of
// "D:" or " " is kept, and its fault shows only when the database is opened.
DatabaseLocation readDatabaseLocation(const SettingsStore& settings);

inline const QString installationMessage
    = QStringLiteral("No tiene instalado ningún programa de Tarvex");
inline const QString installationTitle = QStringLiteral("Error de instalación");

} // namespace duplivo
