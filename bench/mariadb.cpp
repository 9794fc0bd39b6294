// The benchmark's database cases on a MariaDB server: the program's paths through an ODBC file DSN
// against the same statements run with libmariadb on the same server in the same run.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QFile>
#include <mysql.h>

#include "bench/dataset.h"
#include "bench/measure.h"
#include "bench/server.h"
#include "db/granguia.h"
#include "db/schema.h"

namespace duplivo::bench {

namespace {

// What DatabaseConnection sets on every MariaDB connection.
const char* const sessionSetUp
    = "SET SESSION innodb_lock_wait_timeout = 10, lock_wait_timeout = 10";

// The schema the README gives for MariaDB. The index is built after the rows are in.
const char* const tableSchema
    = "CREATE TABLE GRANGUIA (Id INT AUTO_INCREMENT PRIMARY KEY, Empresa VARCHAR(255), "
      "Aplica VARCHAR(255), clave TEXT, cosa TEXT, "
      "Alta VARCHAR(40) NOT NULL DEFAULT 'por defecto') "
      "ENGINE = InnoDB CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin";
const char* const tableIndex = "CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica)";

struct Server
{
    QByteArray host;
    unsigned int port = 0;
    QByteArray user;
    QByteArray password;
};

Server serverFromEnvironment()
{
    Server server;
    const QString keys = qEnvironmentVariable("DUPLIVO_TEST_MARIADB");
    for (const QString& part : keys.split(u';', Qt::SkipEmptyParts)) {
        const QString key = part.section(u'=', 0, 0).toUpper();
        const QByteArray value = part.section(u'=', 1).toUtf8();
        if (key == QLatin1String("SERVER"))
            server.host = value;
        else if (key == QLatin1String("PORT"))
            server.port = value.toUInt();
        else if (key == QLatin1String("UID"))
            server.user = value;
        else if (key == QLatin1String("PWD"))
            server.password = value;
    }
    if (server.host.isEmpty() || server.port == 0)
        fail(QStringLiteral(
            "la parte server necesita un servidor MariaDB y falta "
            "DUPLIVO_TEST_MARIADB: ejecute duplivo-bench con tools/with_mariadb.sh"));
    return server;
}

// One libmariadb connection; every statement must succeed. Statements with values go to the
// server in one round trip, prepared and run at once, as the program's driver sends them.
class MyConnection
{
public:
    MyConnection(const Server& server, const QByteArray& database)
        : m_connection(mysql_init(nullptr))
    {
        const unsigned int localFile = 1;
        mysql_options(m_connection, MYSQL_OPT_LOCAL_INFILE, &localFile);
        if (!mysql_real_connect(m_connection, server.host.constData(), server.user.constData(),
                server.password.constData(), database.isEmpty() ? nullptr : database.constData(),
                server.port, nullptr, 0)) {
            const QString error = QString::fromUtf8(mysql_error(m_connection));
            mysql_close(m_connection);
            fail(QStringLiteral("MariaDB, mysql_real_connect: %1").arg(error));
        }
        mysql_set_character_set(m_connection, "utf8mb4");
    }
    ~MyConnection() { mysql_close(m_connection); }
    MyConnection(const MyConnection&) = delete;
    MyConnection& operator=(const MyConnection&) = delete;

    void exec(const char* sql) const
    {
        if (mysql_query(m_connection, sql) != 0)
            failWith(sql);
        if (MYSQL_RES* result = mysql_store_result(m_connection))
            mysql_free_result(result);
    }

    // The statement's rows, the first column of each as text; or the rows it changed.
    std::vector<std::string> column(const RawSql& sql, qint64* changed = nullptr) const
    {
        MYSQL_STMT* statement = mysql_stmt_init(m_connection);
        std::vector<MYSQL_BIND> parameters(sql.values.size());
        std::vector<unsigned long> lengths(sql.values.size());
        for (std::size_t i = 0; i < sql.values.size(); ++i) {
            lengths[i] = sql.values[i].size();
            parameters[i] = {};
            parameters[i].buffer_type = MYSQL_TYPE_STRING;
            parameters[i].buffer = const_cast<char*>(sql.values[i].data());
            parameters[i].buffer_length = lengths[i];
            parameters[i].length = &lengths[i];
        }
        const unsigned int count = unsigned(parameters.size());
        mysql_stmt_attr_set(statement, STMT_ATTR_PREBIND_PARAMS, &count);
        if ((count > 0 && mysql_stmt_bind_param(statement, parameters.data()))
            || mariadb_stmt_execute_direct(statement, sql.text.constData(), sql.text.size())) {
            const QString error = QString::fromUtf8(mysql_stmt_error(statement));
            mysql_stmt_close(statement);
            fail(QStringLiteral("MariaDB, %1: %2").arg(QString::fromUtf8(sql.text), error));
        }
        std::vector<std::string> values;
        // Every column is fetched, each as text; the first one's values are returned.
        if (const unsigned int fields = mysql_stmt_field_count(statement); fields > 0) {
            struct Cell
            {
                char buffer[1024];
                unsigned long length = 0;
                my_bool isNull = false;
            };
            std::vector<Cell> cells(fields);
            std::vector<MYSQL_BIND> results(fields);
            for (unsigned int i = 0; i < fields; ++i) {
                results[i] = {};
                results[i].buffer_type = MYSQL_TYPE_STRING;
                results[i].buffer = cells[i].buffer;
                results[i].buffer_length = sizeof cells[i].buffer;
                results[i].length = &cells[i].length;
                results[i].is_null = &cells[i].isNull;
            }
            mysql_stmt_bind_result(statement, results.data());
            for (int rc; (rc = mysql_stmt_fetch(statement)) != MYSQL_NO_DATA;) {
                if (rc == 1)
                    fail(QStringLiteral("MariaDB, %1: %2")
                             .arg(QString::fromUtf8(sql.text),
                                 QString::fromUtf8(mysql_stmt_error(statement))));
                if (!cells[0].isNull)
                    values.emplace_back(cells[0].buffer,
                        std::min<unsigned long>(cells[0].length, sizeof cells[0].buffer));
            }
        }
        if (changed)
            *changed = qint64(mysql_stmt_affected_rows(statement));
        mysql_stmt_close(statement);
        return values;
    }

    qint64 changed(const RawSql& sql) const
    {
        qint64 rows = 0;
        column(sql, &rows);
        return rows;
    }

    void autocommit(bool on) const
    {
        if (mysql_autocommit(m_connection, on))
            failWith("mysql_autocommit");
    }

    void commit() const
    {
        if (mysql_commit(m_connection))
            failWith("mysql_commit");
    }

    qint64 count(const QString& company, const QString& program) const
    {
        return std::stoll(column(rawSql({QStringLiteral("SELECT count(*) FROM GRANGUIA "
                                                        "WHERE Empresa = ? AND Aplica = ?"),
                                     {company, program}}))
                              .at(0));
    }

    [[noreturn]] void failWith(const char* what) const
    {
        fail(QStringLiteral("MariaDB, %1: %2")
                 .arg(QString::fromUtf8(what), QString::fromUtf8(mysql_error(m_connection))));
    }

private:
    MYSQL* m_connection;
};

// A database of its own on the server for one data set, dropped when it goes.
class ServerDatabase
{
public:
    ServerDatabase(const Server& server, const char* label)
        : m_server(server)
        , m_name("duplivo_bench_" + QByteArray::number(QCoreApplication::applicationPid()) + '_'
              + label)
        , m_admin(server, QByteArray())
    {
        m_admin.exec(
            QByteArray("CREATE DATABASE " + m_name + " CHARACTER SET utf8mb4").constData());
        try {
            m_control = std::make_unique<MyConnection>(server, m_name);
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
    const Server& server() const { return m_server; }
    const MyConnection& control() const { return *m_control; }

    // The rows of the SQLite file, in the order of their Id, through a file the server loads.
    void load(const QString& sqliteFile, const QString& scratch, qint64 rows) const
    {
        const MyConnection& db = control();
        db.exec(tableSchema);
        QFile text(scratch);
        if (!text.open(QIODevice::WriteOnly | QIODevice::Truncate))
            fail(QStringLiteral("no se puede escribir %1").arg(scratch));
        forEachLoadPiece(sqliteFile, [&text](const QByteArray& piece) {
            if (text.write(piece) != piece.size())
                fail(QStringLiteral("no se puede escribir %1").arg(text.fileName()));
        });
        text.close();
        db.exec(QByteArray("LOAD DATA LOCAL INFILE '" + QFile::encodeName(scratch)
            + "' INTO TABLE GRANGUIA CHARACTER SET utf8mb4 (Empresa, Aplica, clave, cosa)")
                    .constData());
        QFile::remove(scratch);
        db.exec(tableIndex);
        db.exec("ANALYZE TABLE GRANGUIA");
        const std::vector<std::string> total = db.column({"SELECT count(*) FROM GRANGUIA", {}});
        if (std::stoll(total.at(0)) != rows)
            fail(QStringLiteral("%1 no tiene %2 filas").arg(QString::fromLatin1(m_name)).arg(rows));
    }

private:
    // Never throws: it runs when the benchmark is already failing too.
    void drop() const
    {
        try {
            m_admin.exec(QByteArray("DROP DATABASE IF EXISTS " + m_name).constData());
        } catch (const BenchFailure& failure) {
            note(QStringLiteral("no se puede borrar la base de datos %1: %2")
                     .arg(QString::fromLatin1(m_name), failure.what));
        }
    }

    Server m_server;
    QByteArray m_name;
    MyConnection m_admin;
    std::unique_ptr<MyConnection> m_control;
};

// The program reaches the database through a DSN file at the drive's database path. It holds the
// password, so only its owner may read it.
void writeDsn(const WineDrive& drive, const ServerDatabase& database)
{
    QFile file(drive.databaseFile());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner))
        fail(QStringLiteral("no se puede escribir %1").arg(file.fileName()));
    const Server& server = database.server();
    const QByteArray text = "[ODBC]\r\nDRIVER=MariaDB Unicode\r\nSERVER=" + server.host
        + "\r\nPORT=" + QByteArray::number(server.port) + "\r\nDATABASE=" + database.name()
        + "\r\nUID=" + server.user + "\r\nPWD=" + server.password + "\r\n";
    if (file.write(text) != text.size() || !file.flush())
        fail(QStringLiteral("no se puede escribir %1").arg(file.fileName()));
}

// Each raw path connects anew and sets up its session, as the program's paths do.
qint64 rawList(const Server& server, const QByteArray& database, const std::vector<RawSql>& sql)
{
    const MyConnection connection(server, database);
    connection.exec(sessionSetUp);
    std::size_t listed = 0;
    for (const RawSql& statement : sql)
        listed = connection.column(statement).size();
    return qint64(listed);
}

// The same work as a copy of one program by the window on MariaDB: the company column's length,
// whether the table has transactions, the block's lock, then the transaction at read committed.
qint64 rawCopy(const Server& server, const QByteArray& database, const RawSql& length,
    const RawSql& transactions, const RawSql& lockName, const RawSql& check, const RawSql& copy)
{
    const MyConnection connection(server, database);
    connection.exec(sessionSetUp);
    connection.column(length);
    connection.column(transactions);
    const std::string name = connection.column(lockName).at(0);
    if (connection.column({"SELECT GET_LOCK(?, 10)", {name}}) != std::vector<std::string> {"1"})
        fail(QStringLiteral("MariaDB: no se obtiene el bloqueo"));
    connection.autocommit(false);
    connection.exec("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
    const bool present = !connection.column(check).empty();
    const qint64 copied = present ? 0 : connection.changed(copy);
    if (copied > 0)
        connection.commit();
    else
        connection.exec("ROLLBACK");
    connection.autocommit(true);
    connection.column({"SELECT RELEASE_LOCK(?)", {name}});
    return copied > 0;
}

qint64 rawDelete(const Server& server, const QByteArray& database, const RawSql& remove)
{
    const MyConnection connection(server, database);
    connection.exec(sessionSetUp);
    return connection.changed(remove);
}

} // namespace

void runMariaDbCases(std::vector<Verdict>& verdicts)
{
    const Server server = serverFromEnvironment();
    const WineDrive drive;
    const QString scratch = drive.folder() + QStringLiteral("/carga.tsv");
    const Clock::time_point start = Clock::now();
    std::optional<ServerMasters> masters(std::in_place, drive.folder());
    // The tests' server logs every statement; the timings must not include that.
    MyConnection(server, QByteArray()).exec("SET GLOBAL general_log = 0");
    const ServerDatabase big(server, "1m");
    big.load(masters->big, scratch, data::tableRows);
    const ServerDatabase small(server, "1k");
    small.load(masters->small, scratch, data::smallTableRows);
    masters.reset();
    note(QStringLiteral("MariaDB: %1 y %2 filas cargadas en %3 s")
             .arg(data::tableRows)
             .arg(data::smallTableRows)
             .arg(millisecondsSince(start) / 1000.0, 0, 'f', 1));

    const auto database
        = [&](DataSet set) -> const ServerDatabase& { return set == DataSet::Big ? big : small; };
    const ServerResets resets = serverResets();
    big.control().changed(rawSql(resets.save));
    const RawSql clear = rawSql(resets.clear);
    const RawSql restoreDeleted = rawSql(resets.restoreDeleted);
    const RawSql transactions
        = rawSql(*schema::transactionsQuery(Dialect::MariaDb, granguia::tableName));

    // Its ratios are reported, with no target: its driver runs four statements of its own on each
    // connection, where the C library runs none.
    const Engine mariadb {QStringLiteral("my_"), std::nullopt, std::nullopt, Dialect::MariaDb,
        [&](DataSet set) {
            const ServerDatabase& db = database(set);
            writeDsn(drive, db);
            db.control().changed(clear);
            if (set == DataSet::Big)
                db.control().changed(restoreDeleted);
        },
        [&](DataSet set, const QString& company, const QString& program) {
            return database(set).control().count(company, program);
        },
        [&](DataSet set, const std::vector<Statement>& statements) {
            std::vector<RawSql> sql;
            for (const Statement& statement : statements)
                sql.push_back(rawSql(statement));
            return
                [&server, name = database(set).name(), sql] { return rawList(server, name, sql); };
        },
        [&](DataSet set, const Statement& length, const std::optional<Statement>& lock,
            const Statement& check, const Statement& copy) {
            return [&server, name = database(set).name(), length = rawSql(length), transactions,
                       lock = rawSql(*lock), check = rawSql(check), copy = rawSql(copy)] {
                return rawCopy(server, name, length, transactions, lock, check, copy);
            };
        },
        [&](DataSet set, const Statement& remove) {
            return [&server, name = database(set).name(), remove = rawSql(remove)] {
                return rawDelete(server, name, remove);
            };
        },
        [&](DataSet set, const QString& company, const QString& program, int rows) {
            database(set).control().changed(
                rawSql({QStringLiteral("INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) "
                                       "SELECT ?, ?, CONCAT('r', seq), seq FROM seq_1_to_%1")
                            .arg(rows),
                    {company, program}}));
        },
        std::nullopt, savedCopyLimit};
    runBlockCases(mariadb, verdicts);
}

} // namespace duplivo::bench
