// The company database on a PostgreSQL server, written and read through libpq.
#include <QCoreApplication>
#include <libpq-fe.h>

#include "tests/backend.h"

namespace duplivo::test {

namespace {

class PostgresBackend final : public CompanyDatabase::Backend
{
public:
    PostgresBackend(const QString& companyType, const QString& claveType, const QString& cosaType)
    {
        static int serial = 0;
        m_name
            = QStringLiteral("duplivo_%1_%2").arg(QCoreApplication::applicationPid()).arg(++serial);
        m_admin = connect(QStringLiteral("postgres"));
        run(m_admin, QStringLiteral("CREATE DATABASE %1 ENCODING 'UTF8'").arg(m_name));
        m_db = connect(m_name);
        exec(
            QStringLiteral("CREATE TABLE GRANGUIA (Id SERIAL PRIMARY KEY, Empresa %1, Aplica TEXT, "
                           "clave %2, cosa %3, Alta TEXT NOT NULL DEFAULT 'por defecto');"
                           "CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica);")
                .arg(companyType, typeOrText(claveType), typeOrText(cosaType)));
    }
    ~PostgresBackend() override
    {
        PQfinish(m_db);
        run(m_admin, QStringLiteral("DROP DATABASE %1 WITH (FORCE)").arg(m_name));
        PQfinish(m_admin);
    }

    const QString& name() const { return m_name; }

    void exec(const QString& sql) override { run(m_db, sql); }

    QStringList rows(const QString& sql, const QVariantList& values) override
    {
        PGresult* result = query(sql, values);
        QStringList rows;
        for (int row = 0; row < PQntuples(result); ++row) {
            QStringList described;
            for (int column = 0; column < PQnfields(result); ++column)
                described << describe(result, row, column);
            rows << described.join(u'|');
        }
        PQclear(result);
        return rows;
    }

    void insert(const QVariantList& values) override
    {
        PQclear(
            query(QStringLiteral(
                      "INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) VALUES (?, ?, ?, ?)"),
                values));
    }

    void onInsertOf(const QString& clave, const QString& action) override
    {
        const QString rule = QStringLiteral("regla_%1").arg(++m_rules);
        exec(QStringLiteral(
            "CREATE FUNCTION %1() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
            "IF NEW.clave::text = %2 THEN %3; END IF; RETURN NEW; END $$;"
            "CREATE TRIGGER %1 BEFORE INSERT ON GRANGUIA FOR EACH ROW EXECUTE FUNCTION %1()")
                 .arg(rule, sqlLiteral(clave), action));
    }

    bool nothingLocked() override
    {
        // Only this database's: other tests share the server and may be copying right now.
        return rows(QStringLiteral("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' "
                                   "AND database = (SELECT oid FROM pg_database "
                                   "WHERE datname = current_database())"),
                   {})
            == QStringList {QStringLiteral("int:0")}
        && rows(QStringLiteral(
                    "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                    "AND pid <> pg_backend_pid() AND state LIKE 'idle in transaction%'"),
               {})
            == QStringList {QStringLiteral("int:0")};
    }

    // The DSN file's keys for this database.
    QByteArray dsn() const
    {
        const auto keys = serverKeys("DUPLIVO_TEST_PG");
        return QStringLiteral(
            "[ODBC]\r\nDRIVER=PostgreSQL Unicode\r\nSERVER=%1\r\nPORT=%2\r\nDATABASE=%3\r\n"
            "UID=%4\r\nPWD=%5\r\n")
            .arg(keys.value(QStringLiteral("SERVER")), keys.value(QStringLiteral("PORT")), m_name,
                keys.value(QStringLiteral("UID")), keys.value(QStringLiteral("PWD")))
            .toUtf8();
    }

private:
    static PGconn* connect(const QString& database)
    {
        const auto keys = serverKeys("DUPLIVO_TEST_PG");
        const QString info
            = QStringLiteral("host=%1 port=%2 user=%3 password=%4 dbname=%5")
                  .arg(keys.value(QStringLiteral("SERVER")), keys.value(QStringLiteral("PORT")),
                      keys.value(QStringLiteral("UID")), keys.value(QStringLiteral("PWD")),
                      database);
        PGconn* connection = PQconnectdb(info.toUtf8().constData());
        if (PQstatus(connection) != CONNECTION_OK)
            qFatal("cannot reach PostgreSQL: %s", PQerrorMessage(connection));
        PQsetClientEncoding(connection, "UTF8");
        run(connection, QStringLiteral("SET client_min_messages = warning"));
        return connection;
    }

    static void run(PGconn* connection, const QString& sql)
    {
        PGresult* result = PQexec(connection, sql.toUtf8().constData());
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            qFatal("%s: %s", qPrintable(sql), PQerrorMessage(connection));
        PQclear(result);
    }

    PGresult* query(QString sql, const QVariantList& values)
    {
        for (int i = 1; i <= values.size(); ++i)
            sql.replace(sql.indexOf(u'?'), 1, QStringLiteral("$%1").arg(i));
        QList<QByteArray> data;
        QList<const char*> pointers;
        QList<int> lengths, formats;
        QList<Oid> types;
        for (const QVariant& value : values) {
            const bool binary = value.typeId() == QMetaType::QByteArray;
            if (value.isNull())
                data << QByteArray();
            else if (binary)
                data << value.toByteArray();
            else if (value.typeId() == QMetaType::Double)
                data << QByteArray::number(value.toDouble(), 'g', 17);
            else
                data << value.toString().toUtf8();
            pointers << (value.isNull() ? nullptr : data.last().constData());
            lengths << int(data.last().size());
            formats << (binary ? 1 : 0);
            types << (binary ? 17 : 0);
        }
        PGresult* result = PQexecParams(m_db, sql.toUtf8().constData(), int(values.size()),
            types.constData(), pointers.constData(), lengths.constData(), formats.constData(), 0);
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            qFatal("%s: %s", qPrintable(sql), PQerrorMessage(m_db));
        return result;
    }

    static QString describe(const PGresult* result, int row, int column)
    {
        if (PQgetisnull(result, row, column))
            return QStringLiteral("null");
        const QString text = QString::fromUtf8(PQgetvalue(result, row, column));
        switch (PQftype(result, column)) {
        case 20: // int8
        case 21: // int2
        case 23: // int4
            return QStringLiteral("int:") + text;
        case 700: // float4
        case 701: // float8
            return QStringLiteral("real:") + text;
        case 1700: // numeric
            return QStringLiteral("numeric:") + text;
        case 17: // bytea, in hex output
            return QStringLiteral("blob:") + text.mid(2);
        default:
            return QStringLiteral("text:") + text;
        }
    }

    QString m_name;
    PGconn* m_admin = nullptr;
    PGconn* m_db = nullptr;
    int m_rules = 0;
};

} // namespace

bool serverClientsBuilt()
{
    return true;
}

std::unique_ptr<CompanyDatabase::Backend> makePostgresBackend(
    const QString& companyType, const QString& claveType, const QString& cosaType, QByteArray& dsn)
{
    auto backend = std::make_unique<PostgresBackend>(companyType, claveType, cosaType);
    dsn = backend->dsn();
    return backend;
}

} // namespace duplivo::test
