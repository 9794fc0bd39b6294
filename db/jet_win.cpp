#include <QStringList>
#include <QtCore/qt_windows.h>
#include <sql.h>
#include <sqlext.h>

#include "app/failure.h"
#include "db/engines.h"
#include "db/odbc.h"

namespace duplivo {

namespace {

// The Access Database Engine's driver first (it also reads .accdb), then the Jet 4.0 one that
// 32-bit Windows carries.
const QStringList accessDrivers = {QStringLiteral("Microsoft Access Driver (*.mdb, *.accdb)"),
    QStringLiteral("Microsoft Access Driver (*.mdb)")};

constexpr int bits = int(sizeof(void*) * 8);

// The ODBC drivers installed for this program's bitness. Empty where the driver manager itself
// cannot be used.
QStringList installedDrivers()
{
    QStringList names;
    SQLHENV environment = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment)))
        return names;
    SQLSetEnvAttr(
        environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLWCHAR description[512];
    SQLWCHAR attributes[2048];
    SQLSMALLINT descriptionLength = 0;
    SQLSMALLINT attributesLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(SQLDriversW(environment, direction, description, 512, &descriptionLength,
        attributes, 2048, &attributesLength))) {
        names << QString::fromWCharArray(reinterpret_cast<const wchar_t*>(description));
        direction = SQL_FETCH_NEXT;
    }
    SQLFreeHandle(SQL_HANDLE_ENV, environment);
    return names;
}

QString whatToInstall()
{
    if (bits == 64)
        return QStringLiteral(
            "Instale el Microsoft Access Database Engine de 64 bits (no puede instalarse junto a "
            "un Office de 32 bits), o use el Duplivo de 32 bits, que funciona con el controlador "
            "de Access de 32 bits que trae Windows.");
    return QStringLiteral(
        "Instale el Microsoft Access Database Engine de 32 bits, que incluye ese controlador.");
}

} // namespace

void openJetConnection(const QString& name, const QString& file, const QString& windowsPath)
{
    const QStringList installed = installedDrivers();
    for (const QString& driver : accessDrivers) {
        if (!installed.contains(driver, Qt::CaseInsensitive))
            continue;
        OdbcSource source;
        source.keys = {{QStringLiteral("DRIVER"), driver}, {QStringLiteral("DBQ"), file}};
        openOdbcConnection(name, source, windowsPath);
        return;
    }
    throw Failure(DatabaseErrorNumber::AccessDriverMissing,
        QStringLiteral("No se puede abrir la base de datos de Microsoft Access '%1': este equipo "
                       "no tiene el controlador ODBC de Microsoft Access de %2 bits (\"%3\" ni "
                       "\"%4\"). No se ha modificado nada.\r\n\r\n%5")
            .arg(windowsPath, QString::number(bits), accessDrivers[0], accessDrivers[1],
                whatToInstall()));
}

} // namespace duplivo
