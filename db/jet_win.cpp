#include "db/engines.h"
#include "db/odbc.h"

namespace duplivo {

void openJetConnection(const QString& name, const QString& file, const QString& windowsPath)
{
    OdbcSource source;
    source.keys
        = {{QStringLiteral("DRIVER"), QStringLiteral("Microsoft Access Driver (*.mdb, *.accdb)")},
            {QStringLiteral("DBQ"), file}};
    openOdbcConnection(name, source, windowsPath);
}

} // namespace duplivo
