// Which engine the file at the database path needs, and opening it with that engine.
#include <optional>

#include <QFile>
#include <QFileInfo>

#include "db/database.h"
#include "db/dsn.h"
#include "db/errors.h"
#include "db/jet.h"
#include "db/keepalive.h"
#include "db/odbc.h"
#include "db/path.h"
#include "db/sqlite.h"

namespace duplivo {

namespace {

// A DSN file is a few lines; anything much larger is not one.
constexpr qint64 headLength = 64 * 1024;
// Seconds a server that does not answer is waited for when connecting.
constexpr int loginTimeout = 10;

// The engine a database file's own signature names; a DSN file is text and has none.
std::optional<Engine> engineOf(const QByteArray& head)
{
    if (head.startsWith(QByteArrayLiteral("SQLite format 3\0")))
        return Engine::Sqlite;
    const QByteArray signature = head.mid(4, 15);
    if (signature == "Standard Jet DB" || signature == "Standard ACE DB")
        return Engine::Jet;
    return std::nullopt;
}

bool isSqliteDriver(const QString& driver)
{
    return driver.contains(QLatin1String("SQLite"), Qt::CaseInsensitive);
}

bool isPostgresDriver(const QString& driver)
{
    return driver.contains(QLatin1String("PostgreSQL"), Qt::CaseInsensitive)
        || driver.contains(QLatin1String("psqlodbc"), Qt::CaseInsensitive);
}

// Settings the program needs of some drivers, where the DSN file does not say otherwise. A data
// source named in the ODBC settings keeps its own settings there, out of the program's sight: it
// is given only those the copies' exactness and safety need, which must win. Returns the driver.
QString addDriverDefaults(OdbcSource& source)
{
    const auto add = [&source](const QString& key, const QString& value) {
        if (source.value(key).isNull())
            source.keys.append({key, value});
    };
    // The same where the file's own value must give way.
    const auto set = [&source](const QString& key, const QString& value) {
        bool found = false;
        for (auto& [name, current] : source.keys) {
            if (name.compare(key, Qt::CaseInsensitive) == 0) {
                current = value;
                found = true;
            }
        }
        if (!found)
            source.keys.append({key, value});
    };
    QString driver = source.value(QStringLiteral("DRIVER"));
    const bool named = driver.isNull();
    if (named)
        driver = dataSourceDriver(source.value(QStringLiteral("DSN")));
    if (isSqliteDriver(driver)) {
        // Wait ten seconds for another program's lock, not a hundred; never create a missing file.
        if (!named)
            add(QStringLiteral("Timeout"), QStringLiteral("10000"));
        add(QStringLiteral("NoCreat"), QStringLiteral("1"));
    }
    if (!isPostgresDriver(driver))
        return driver;
    // A failed statement ends the transaction, which the program then rolls back whole anyway:
    // psqlODBC need not wrap every statement in a savepoint, a round trip each.
    if (!named)
        add(QStringLiteral("Protocol"), QStringLiteral("7.4-1"));
    // Text goes both ways as it is, whatever the file or the data source says: psqlODBC would
    // otherwise turn LF into CR LF in what it reads and back in what it writes, as its Windows
    // builds do by default, and a copy, or a block put back from a delete's copy, would not be
    // what was there.
    set(QStringLiteral("LFConversion"), QStringLiteral("0"));
    // psqlODBC hands these to libpq, which sets them on its socket. A file that sets keepalives
    // its own way keeps them; libpq settings of its own (pqopt) come after these, and win.
    if (named || !source.value(QStringLiteral("KeepaliveTime")).isNull()
        || !source.value(QStringLiteral("KeepaliveInterval")).isNull())
        return driver;
    const QString keepalives = QStringLiteral("keepalives=1 keepalives_idle=%1 "
                                              "keepalives_interval=%2 keepalives_count=%3 "
                                              "tcp_user_timeout=%4")
                                   .arg(keepalive::idleSeconds)
                                   .arg(keepalive::intervalSeconds)
                                   .arg(keepalive::unansweredProbes)
                                   .arg(keepalive::userTimeoutMs);
    for (auto& [key, value] : source.keys) {
        if (key.compare(QLatin1String("pqopt"), Qt::CaseInsensitive) == 0) {
            value = keepalives + u' ' + value;
            return driver;
        }
    }
    source.keys.append({QStringLiteral("pqopt"), keepalives});
    return driver;
}

std::unique_ptr<Session> openOdbcSource(OdbcSource source, const DatabaseFile& file)
{
    if (source.holdsPassword() && othersCanRead(file.localPath))
        throw Failure(DatabaseErrorNumber::UnsafeSourceFile,
            QStringLiteral("El archivo %1 guarda una contraseña y otros usuarios pueden leerlo. "
                           "Quite el permiso de lectura a los demás (chmod 600) para usarlo.")
                .arg(file.described()));
    const QString driver = addDriverDefaults(source);
    OdbcConnectOptions options;
    // A file behind a SQLite driver has no server to wait for, and the driver takes no limit.
    options.loginTimeout = isSqliteDriver(driver) ? 0 : loginTimeout;
    options.context = QStringLiteral("No se ha podido abrir %1 con %2, que no ha dado ningún "
                                     "detalle.")
                          .arg(file.described(),
                              source.value(QStringLiteral("DRIVER")).isNull()
                                  ? QStringLiteral("el origen de datos ODBC '%1'")
                                        .arg(source.value(QStringLiteral("DSN")))
                                  : QStringLiteral("el controlador ODBC '%1'").arg(driver));
    // MariaDB's driver takes no keepalive settings: they go on the socket the connect opens to the
    // server's port (a local socket, with "localhost", needs none).
    const QString port = source.value(QStringLiteral("PORT"));
    const quint16 serverPort = port.isEmpty() ? 3306 : port.toUShort();
    const std::vector<int> before = keepalive::connectionsTo(serverPort);
    std::unique_ptr<Session> session = connectOdbc(source.connectionString(), options);
    if (session->dialect() == Dialect::MariaDb)
        keepalive::probeNewConnections(before, serverPort);
    return session;
}

// The source in words: the DSN file and what it reaches, with none of its secrets.
QString describedSource(const OdbcSource& source, const DatabaseFile& file)
{
    QStringList said;
    for (const char* key : {"DSN", "DRIVER", "SERVER", "HOST", "PORT", "DATABASE", "DBQ"}) {
        if (const QString value = source.value(QLatin1String(key)); !value.isNull())
            said << QStringLiteral("%1=%2").arg(QLatin1String(key), value);
    }
    return QStringLiteral("%1: %2").arg(file.described(), said.join(QStringLiteral("; ")));
}

} // namespace

int jetFormat(const QByteArray& head)
{
    return head.size() > 0x14 ? static_cast<unsigned char>(head[0x14]) : jet3Format;
}

OpenedSession openSession(const QString& windowsPath)
{
    const DatabaseFile file = locateDatabaseFile(windowsPath);
    const QFileInfo info(file.localPath);
    if (!info.exists() || info.isDir())
        throw Failure(DatabaseErrorNumber::FileNotFound,
            QStringLiteral("No se encuentra el archivo %1.").arg(file.described()));

    QFile handle(file.localPath);
    if (!handle.open(QIODevice::ReadOnly))
        throw Failure(DatabaseErrorNumber::CannotOpenFile,
            QStringLiteral("No se puede abrir el archivo %1: %2")
                .arg(file.described(), handle.errorString()));
    const QByteArray head = handle.read(headLength);
    handle.close();

    if (const std::optional<Engine> engine = engineOf(head))
        return {*engine,
            *engine == Engine::Sqlite ? openSqlite(file.localPath) : openJet(file, head),
            file.described()};
    if (std::optional<OdbcSource> source = readOdbcSource(head)) {
        const QString described = describedSource(*source, file);
        return {Engine::Odbc, openOdbcSource(std::move(*source), file), described};
    }
    throw Failure(DatabaseErrorNumber::UnrecognizedFormat,
        QStringLiteral("%1 no es una base de datos.").arg(file.described()));
}

std::shared_ptr<DatabaseConnection> openDatabase(const QString& windowsPath)
{
    OpenedSession opened = openSession(windowsPath);
    auto connection
        = std::make_shared<DatabaseConnection>(opened.engine, std::move(opened.session));
    connection->setDescription(opened.description);
    return connection;
}

} // namespace duplivo
