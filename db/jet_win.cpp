#include <QSqlDatabase>

#include "app/failure.h"
#include "db/engines.h"

namespace duplivo {

void openJetConnection(const QString& name, const QString& file, const QString& windowsPath)
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QODBC")))
        throw Failure(DatabaseErrorNumber::UnrecognizedFormat,
            QStringLiteral("'%1' es una base de datos de Microsoft Access: para abrirla "
                           "hace falta el controlador ODBC de Qt.")
                .arg(windowsPath));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), name);
    // Braces keep a file name with ';' in it a single value.
    db.setDatabaseName(
        QStringLiteral("DRIVER={Microsoft Access Driver (*.mdb, *.accdb)};DBQ={%1};").arg(file));
    if (!db.open())
        throwSqlError(db.lastError());
}

} // namespace duplivo
