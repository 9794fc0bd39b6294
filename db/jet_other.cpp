#include "db/errors.h"
#include "db/jet.h"

namespace duplivo {

std::unique_ptr<Session> openJet(const DatabaseFile& file, const QByteArray&)
{
    // No Access driver exists for Linux that writes; the Windows program under Wine can use the
    // one the Tarvex programs use there.
    throw Failure(DatabaseErrorNumber::AccessDriverMissing,
        QStringLiteral("'%1' es una base de datos de Microsoft Access, y este programa no puede "
                       "escribir archivos de Access. No se ha modificado nada.\r\n\r\n"
                       "Use el Duplivo para Windows: ejecútelo con el mismo Wine en el que "
                       "funcionan los programas de Tarvex, que tiene instalado el controlador "
                       "ODBC de Microsoft Access que ellos usan.")
            .arg(file.windowsPath));
}

} // namespace duplivo
