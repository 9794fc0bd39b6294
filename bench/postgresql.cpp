#include <memory>
#include <optional>
#include <string>

#include <QCoreApplication>
#include <QFile>
#include <libpq-fe.h>

#include "bench/dataset.h"
#include "bench/measure.h"
#include "bench/server.h"
#include "db/granguia.h"

namespace duplivo::bench {

namespace {

// A small copy through psqlODBC against libpq: no more than this.
constexpr double smallCopyRatioLimit = 1.2;

// What DatabaseConnection::setUpSession runs on every PostgreSQL connection.
const char* const sessionSetUp = "SET lock_timeout = '10s'";

// The schema of tools/demo_server.sh. The index is built after the rows are in, which is quicker
// and gives the same index.
const char* const tableSchema = "CREATE TABLE GRANGUIA (Id SERIAL PRIMARY KEY, Empresa TEXT, "
                                "Aplica TEXT, clave TEXT, cosa TEXT, "
                                "Alta TEXT NOT NULL DEFAULT 'por defecto')";
const char* const tableIndex = "CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica)";
// Cleans out the dead rows a run left, so that they and autovacuum's work on them (or on the
// statistics the run changed) do not fall into a later run.
const char* const tidyUp = "VACUUM (ANALYZE) GRANGUIA";

// The server tools/with_postgres.sh started, as its variables name it.
struct Server
{
    QByteArray host;
    QByteArray port;
    QByteArray user;
    QByteArray password;
    QByteArray adminDatabase;
};

Server serverFromEnvironment()
{
    const char* const names[] = {"PGHOST", "PGPORT", "PGUSER", "PGPASSWORD"};
    for (const char* name : names) {
        if (qEnvironmentVariableIsEmpty(name))
            fail(QStringLiteral("la parte server necesita un servidor PostgreSQL y falta %1: "
                                "ejecute duplivo-bench con tools/with_postgres.sh")
                     .arg(QLatin1String(name)));
    }
    QByteArray admin = qgetenv("PGDATABASE");
    return {qgetenv("PGHOST"), qgetenv("PGPORT"), qgetenv("PGUSER"), qgetenv("PGPASSWORD"),
        admin.isEmpty() ? QByteArrayLiteral("postgres") : admin};
}

// A value as PQconnectdb reads it whatever it holds.
QByteArray conninfoValue(const QByteArray& value)
{
    QByteArray quoted = "'";
    for (const char c : value) {
        if (c == '\'' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '\'';
}

QByteArray conninfo(const Server& server, const QByteArray& database)
{
    return "host=" + conninfoValue(server.host) + " port=" + conninfoValue(server.port)
        + " user=" + conninfoValue(server.user) + " password=" + conninfoValue(server.password)
        + " dbname=" + conninfoValue(database);
}

// A statement as libpq takes it: `?` numbered `$1`, `$2`… in order, values as UTF-8 text.
struct PgSql
{
    QByteArray text;
    std::vector<std::string> values;
};

PgSql pgSql(const Statement& statement)
{
    const RawSql raw = rawSql(statement);
    PgSql sql {{}, raw.values};
    bool quoted = false;
    std::size_t placeholders = 0;
    for (const char c : raw.text) {
        if (c == '\'')
            quoted = !quoted;
        if (c == '?' && !quoted)
            sql.text += '$' + QByteArray::number(qulonglong(++placeholders));
        else
            sql.text += c;
    }
    if (placeholders != sql.values.size())
        fail(QStringLiteral("«%1» tiene %2 parámetros y %3 valores")
                 .arg(statement.text)
                 .arg(placeholders)
                 .arg(sql.values.size()));
    return sql;
}

class PgResult
{
public:
    explicit PgResult(PGresult* result)
        : m_result(result)
    { }
    ~PgResult() { PQclear(m_result); }
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;

    PGresult* handle() const { return m_result; }
    // The non-null values of one column, each copied out as the program copies out what it lists.
    std::vector<std::string> column(int column) const
    {
        std::vector<std::string> values;
        for (int row = 0; row < PQntuples(m_result); ++row) {
            if (!PQgetisnull(m_result, row, column))
                values.emplace_back(
                    PQgetvalue(m_result, row, column), PQgetlength(m_result, row, column));
        }
        return values;
    }
    qint64 changed() const { return QByteArray(PQcmdTuples(m_result)).toLongLong(); }

private:
    PGresult* m_result;
};

// One libpq connection; every statement must succeed.
class PgConnection
{
public:
    explicit PgConnection(const QByteArray& info)
        : m_connection(PQconnectdb(info.constData()))
    {
        if (PQstatus(m_connection) != CONNECTION_OK) {
            const QString error = QString::fromUtf8(PQerrorMessage(m_connection)).trimmed();
            PQfinish(m_connection);
            fail(QStringLiteral("PostgreSQL, PQconnectdb: %1").arg(error));
        }
    }
    ~PgConnection() { PQfinish(m_connection); }
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    PGconn* handle() const { return m_connection; }

    PgResult exec(const char* sql) const { return checked(PQexec(m_connection, sql), sql); }

    PgResult exec(const PgSql& sql) const
    {
        std::vector<const char*> values;
        for (const std::string& value : sql.values)
            values.push_back(value.c_str());
        return checked(PQexecParams(m_connection, sql.text.constData(), int(values.size()), nullptr,
                           values.data(), nullptr, nullptr, 0),
            sql.text.constData());
    }

    qint64 count(const QString& company, const QString& program) const
    {
        const PgResult result = exec(pgSql({QStringLiteral("SELECT count(*) FROM GRANGUIA "
                                                           "WHERE Empresa = ? AND Aplica = ?"),
            {company, program}}));
        return QByteArray(PQgetvalue(result.handle(), 0, 0)).toLongLong();
    }

    [[noreturn]] void failWith(const char* what) const
    {
        fail(QStringLiteral("PostgreSQL, %1: %2")
                 .arg(QString::fromUtf8(what),
                     QString::fromUtf8(PQerrorMessage(m_connection)).trimmed()));
    }

private:
    PgResult checked(PGresult* result, const char* what) const
    {
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_COPY_IN) {
            PQclear(result);
            failWith(what);
        }
        return PgResult(result);
    }

    PGconn* m_connection;
};

// A database of its own on the server for one data set, dropped when it goes.
class ServerDatabase
{
public:
    ServerDatabase(const Server& server, const char* label)
        : m_server(server)
        , m_name("duplivo_bench_" + QByteArray::number(QCoreApplication::applicationPid()) + '_'
              + label)
        , m_admin(conninfo(server, server.adminDatabase))
    {
        m_admin.exec(QByteArray("CREATE DATABASE " + m_name + " ENCODING 'UTF8'").constData());
        try {
            m_control = std::make_unique<PgConnection>(info());
        } catch (...) {
            drop();
            throw;
        }
    }
    ~ServerDatabase()
    {
        m_control.reset();
        drop();
    }
    ServerDatabase(const ServerDatabase&) = delete;
    ServerDatabase& operator=(const ServerDatabase&) = delete;

    const QByteArray& name() const { return m_name; }
    QByteArray info() const { return conninfo(m_server, m_name); }
    // An untimed connection for loading, resetting and counting.
    const PgConnection& control() const { return *m_control; }

    // The rows of the SQLite file, in the order of their Id.
    void load(const QString& sqliteFile, qint64 rows) const
    {
        const PgConnection& db = control();
        db.exec(tableSchema);
        db.exec("COPY GRANGUIA (Empresa, Aplica, clave, cosa) FROM STDIN");
        forEachLoadPiece(sqliteFile, [&db](const QByteArray& piece) {
            if (PQputCopyData(db.handle(), piece.constData(), int(piece.size())) != 1)
                db.failWith("PQputCopyData");
        });
        if (PQputCopyEnd(db.handle(), nullptr) != 1)
            db.failWith("PQputCopyEnd");
        for (PGresult* result; (result = PQgetResult(db.handle()));) {
            const PgResult owned(result);
            if (PQresultStatus(result) != PGRES_COMMAND_OK)
                db.failWith("COPY");
        }
        db.exec(tableIndex);
        db.exec("VACUUM ANALYZE GRANGUIA");
        const PgResult total = db.exec("SELECT count(*) FROM GRANGUIA");
        if (QByteArray(PQgetvalue(total.handle(), 0, 0)).toLongLong() != rows)
            fail(QStringLiteral("%1 no tiene %2 filas").arg(QString::fromLatin1(m_name)).arg(rows));
    }

private:
    // Never throws: it runs when the benchmark is already failing too.
    void drop() const
    {
        const PgResult dropped(PQexec(m_admin.handle(),
            QByteArray("DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)").constData()));
        if (PQresultStatus(dropped.handle()) != PGRES_COMMAND_OK)
            note(QStringLiteral("no se puede borrar la base de datos %1: %2")
                     .arg(QString::fromLatin1(m_name),
                         QString::fromUtf8(PQerrorMessage(m_admin.handle())).trimmed()));
    }

private:
    Server m_server;
    QByteArray m_name;
    PgConnection m_admin;
    std::unique_ptr<PgConnection> m_control;
};

// The program reaches the database through a DSN file at the drive's database path. It holds the
// password, so only its owner may read it.
void writeDsn(const WineDrive& drive, const Server& server, const ServerDatabase& database)
{
    QFile file(drive.databaseFile());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner))
        fail(QStringLiteral("no se puede escribir %1").arg(file.fileName()));
    const QByteArray text = "[ODBC]\r\nDRIVER=PostgreSQL Unicode\r\nSERVER=" + server.host
        + "\r\nPORT=" + server.port + "\r\nDATABASE=" + database.name() + "\r\nUID=" + server.user
        + "\r\nPWD=" + server.password + "\r\n";
    if (file.write(text) != text.size() || !file.flush())
        fail(QStringLiteral("no se puede escribir %1").arg(file.fileName()));
}

// Each raw path connects anew and sets up its session, as the program's paths do.
qint64 rawList(const QByteArray& info, const std::vector<PgSql>& statements)
{
    const PgConnection connection(info);
    connection.exec(sessionSetUp);
    std::size_t listed = 0;
    for (const PgSql& sql : statements)
        listed = connection.exec(sql).column(0).size();
    return qint64(listed);
}

// The same work as a copy of one program by the window, with PostgreSQL's lock; the driver sends
// BEGIN with the statement that follows it.
qint64 rawCopy(const QByteArray& info, const PgSql& length, const PgSql& lock, const PgSql& check,
    const PgSql& copy)
{
    const PgConnection connection(info);
    connection.exec(sessionSetUp);
    connection.exec(length);
    connection.exec("BEGIN; SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
    connection.exec(lock);
    const bool present = PQntuples(connection.exec(check).handle()) > 0;
    qint64 copied = 0;
    if (!present)
        copied = connection.exec(copy).changed();
    connection.exec(copied > 0 ? "COMMIT" : "ROLLBACK");
    return copied > 0;
}

qint64 rawDelete(const QByteArray& info, const PgSql& remove)
{
    const PgConnection connection(info);
    connection.exec(sessionSetUp);
    return connection.exec(remove).changed();
}

} // namespace

void runPostgresCases(std::vector<Verdict>& verdicts)
{
    const Server server = serverFromEnvironment();
    const WineDrive drive;
    const Clock::time_point start = Clock::now();
    std::optional<ServerMasters> masters(std::in_place, drive.folder());
    const ServerDatabase big(server, "1m");
    big.load(masters->big, data::tableRows);
    const ServerDatabase small(server, "1k");
    small.load(masters->small, data::smallTableRows);
    masters.reset();
    note(QStringLiteral("PostgreSQL: %1 y %2 filas cargadas en %3 s")
             .arg(data::tableRows)
             .arg(data::smallTableRows)
             .arg(millisecondsSince(start) / 1000.0, 0, 'f', 1));

    const auto database
        = [&](DataSet set) -> const ServerDatabase& { return set == DataSet::Big ? big : small; };
    const ServerResets resets = serverResets();
    big.control().exec(pgSql(resets.save));
    const PgSql clear = pgSql(resets.clear);
    const PgSql restoreDeleted = pgSql(resets.restoreDeleted);

    const Engine postgres {QStringLiteral("pg_"), serverRatioLimit, smallCopyRatioLimit,
        Dialect::PostgreSql,
        [&](DataSet set) {
            const ServerDatabase& db = database(set);
            writeDsn(drive, server, db);
            db.control().exec(clear);
            if (set == DataSet::Big)
                db.control().exec(restoreDeleted);
            db.control().exec(tidyUp);
        },
        [&](DataSet set, const QString& company, const QString& program) {
            return database(set).control().count(company, program);
        },
        [&](DataSet set, const std::vector<Statement>& statements) {
            std::vector<PgSql> sql;
            for (const Statement& statement : statements)
                sql.push_back(pgSql(statement));
            return [info = database(set).info(), sql] { return rawList(info, sql); };
        },
        [&](DataSet set, const Statement& length, const std::optional<Statement>& lock,
            const Statement& check, const Statement& copy) {
            return [info = database(set).info(), length = pgSql(length), lock = pgSql(*lock),
                       check = pgSql(check),
                       copy = pgSql(copy)] { return rawCopy(info, length, lock, check, copy); };
        },
        [&](DataSet set, const Statement& remove) {
            return [info = database(set).info(), remove = pgSql(remove)] {
                return rawDelete(info, remove);
            };
        },
        [&](DataSet set, const QString& company, const QString& program, int rows) {
            database(set).control().exec(
                pgSql({QStringLiteral("INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) "
                                      "SELECT ?, ?, 'r' || i, i FROM generate_series(1, ?) AS i"),
                    {company, program, rows}}));
            database(set).control().exec(tidyUp);
        },
        std::nullopt, savedCopyLimit};
    runBlockCases(postgres, verdicts);
}

} // namespace duplivo::bench
