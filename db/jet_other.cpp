#include "db/errors.h"
#include "db/jet.h"

namespace duplivo {

std::unique_ptr<Session> openJet(const DatabaseFile& file, const QByteArray&)
{
    // No Access driver exists for Linux that writes. The Windows program can use one only on
    // Windows, or under a Wine whose odbc32 loads Windows drivers (from Wine 9.13; Debian 12's
    // Wine 8.0 hands every call to the host's unixODBC).
    throw Failure(DatabaseErrorNumber::AccessDriverMissing,
        QStringLiteral("'%1' es una base de datos de Microsoft Access, y este programa no puede "
                       "escribir archivos de Access. No se ha modificado nada.\r\n\r\n"
                       "Use el Duplivo para Windows en Windows, o bajo un Wine que cargue "
                       "controladores ODBC de Windows (Wine 10 o posterior; el Wine 8 de Debian "
                       "12 no puede) con el controlador ODBC de Microsoft Access instalado en ese "
                       "mismo Wine.")
            .arg(file.windowsPath));
}

} // namespace duplivo
