#include "db/dsn.h"
#include "db/errors.h"
#include "db/jet.h"
#include "db/odbc.h"

namespace duplivo {

namespace {

// The Access Database Engine's driver first (it also reads .accdb), then the Jet 4.0 one that
// 32-bit Windows carries.
const QStringList accessDrivers = {QStringLiteral("Microsoft Access Driver (*.mdb, *.accdb)"),
    QStringLiteral("Microsoft Access Driver (*.mdb)")};

constexpr int bits = int(sizeof(void*) * 8);

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

std::unique_ptr<Session> openJet(const DatabaseFile& file, const QByteArray& head)
{
    // ExtendedAnsiSQL=1: Jet then reports a value too long for its column instead of cutting it.
    // The driver takes no login timeout: a file has nothing to wait for. The Access Database
    // Engine of Office 2013 and later refuses Access 97 files, which the Jet 4.0 driver opens:
    // for those, a refusal passes on to the next driver.
    const bool access97 = jetFormat(head) == jet3Format;
    std::unique_ptr<Session> session;
    try {
        session = connectWithFirstDriver(
            accessDrivers,
            [&file](const QString& driver) {
                OdbcSource source;
                source.keys
                    = {{QStringLiteral("DRIVER"), driver}, {QStringLiteral("DBQ"), file.localPath},
                        {QStringLiteral("ExtendedAnsiSQL"), QStringLiteral("1")}};
                return source.connectionString();
            },
            {0,
                QStringLiteral(
                    "No se ha podido abrir %1 con el controlador ODBC de Microsoft Access.")
                    .arg(file.described())},
            access97);
    } catch (const EngineFailure& failure) {
        if (!access97)
            throw;
        throw EngineFailure(failure.number(),
            failure.text()
                + QStringLiteral("\r\n\r\nEs un archivo de Access 97, que el controlador de "
                                 "Access de Office 2013 y posteriores no abre. El Duplivo de 32 "
                                 "bits lo abre con \"%1\", que trae Windows.")
                      .arg(accessDrivers[1]),
            failure.states());
    }
    if (session)
        return session;
    throw Failure(DatabaseErrorNumber::AccessDriverMissing,
        QStringLiteral("No se puede abrir la base de datos de Microsoft Access '%1': este equipo "
                       "no tiene el controlador ODBC de Microsoft Access de %2 bits (\"%3\" ni "
                       "\"%4\"), o no se puede cargar. No se ha modificado nada.\r\n\r\n%5")
            .arg(file.windowsPath, QString::number(bits), accessDrivers[0], accessDrivers[1],
                whatToInstall()));
}

} // namespace duplivo
