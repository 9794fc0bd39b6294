#include "app/failure.h"
#include "db/engines.h"

namespace duplivo {

void openJetConnection(const QString&, const QString&, const QString& windowsPath)
{
    throw Failure(DatabaseErrorNumber::UnrecognizedFormat,
        QStringLiteral("'%1' es una base de datos de Microsoft Access: para abrirla hace "
                       "falta el controlador ODBC de Microsoft Access, que este sistema "
                       "no tiene.")
            .arg(windowsPath));
}

} // namespace duplivo
