#include "db/database.h"

namespace duplivo {

QString resolveDatabaseFile(const QString& windowsPath)
{
    return windowsPath;
}

} // namespace duplivo
