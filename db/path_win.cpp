#include "db/path.h"

namespace duplivo {

DatabaseFile locateDatabaseFile(const QString& windowsPath)
{
    return {windowsPath, windowsPath};
}

} // namespace duplivo
