#include "bench/dataset.h"

#include <algorithm>
#include <cstdio>

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include "bench/measure.h"

namespace duplivo::bench {

namespace {

// The same wait for another program's lock as the program's connections.
constexpr int busyTimeoutMs = 10000;

const char* const schema
    = "CREATE TABLE GRANGUIA (Id INTEGER PRIMARY KEY, Empresa TEXT, Aplica TEXT, clave, cosa, "
      "Alta TEXT NOT NULL DEFAULT 'por defecto');"
      "CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica);";

// In the order of the index, so that the rows go in as appends.
std::vector<std::string> sortedPrograms()
{
    std::vector<std::string> programs = {"Contabilidad", "Nóminas", "Facturación", "Almacén",
        "Agenda", "Tesorería", "Compras", "Ventas"};
    std::sort(programs.begin(), programs.end());
    return programs;
}

std::string companyName(int company)
{
    char name[32];
    std::snprintf(name, sizeof name, "Empresa %03d", company);
    return name;
}

void bindText(sqlite3_stmt* statement, int position, const std::string& text)
{
    sqlite3_bind_text(statement, position, text.data(), int(text.size()), SQLITE_TRANSIENT);
}

// Everything the copy left to write, and the release of the blocks of the file it replaced, is
// done before the timed run: otherwise its first commit would wait for them.
void flushToDisk(const QString& file)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0 || ::syncfs(fd) != 0)
        fail(QStringLiteral("no se puede volcar %1 a disco").arg(file));
    ::close(fd);
}

} // namespace

RawSql rawSql(const Statement& statement)
{
    RawSql sql {statement.text.toUtf8(), {}};
    for (const QVariant& value : statement.values)
        sql.values.push_back(value.toString().toStdString());
    return sql;
}

RawConnection::RawConnection(const QByteArray& file)
{
    // The flags Qt's SQLite driver opens with, less the creation the program never relies on.
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;
    if (sqlite3_open_v2(file.constData(), &m_db, flags, nullptr) != SQLITE_OK)
        failWith("open");
    sqlite3_busy_timeout(m_db, busyTimeoutMs);
}

RawConnection::~RawConnection()
{
    sqlite3_close_v2(m_db);
}

void RawConnection::exec(const char* sql) const
{
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        failWith(sql);
}

void RawConnection::failWith(const char* what) const
{
    fail(QStringLiteral("SQLite, %1: %2")
             .arg(QString::fromUtf8(what), QString::fromUtf8(sqlite3_errmsg(m_db))));
}

RawStatement::RawStatement(const RawConnection& connection, const RawSql& sql)
    : m_connection(connection)
{
    if (sqlite3_prepare_v2(
            connection.handle(), sql.text.constData(), int(sql.text.size()), &m_statement, nullptr)
        != SQLITE_OK)
        connection.failWith(sql.text.constData());
    for (std::size_t i = 0; i < sql.values.size(); ++i)
        bindText(m_statement, int(i + 1), sql.values[i]);
}

RawStatement::~RawStatement()
{
    sqlite3_finalize(m_statement);
}

bool RawStatement::step()
{
    const int rc = sqlite3_step(m_statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        m_connection.failWith(sqlite3_sql(m_statement));
    return rc == SQLITE_ROW;
}

void generateDatabase(
    const QString& file, int companies, int rows, bool withBigBlock, int bigCompanyRows)
{
    if (withBigBlock && bigCompanyRows > 0)
        fail(QStringLiteral("el bloque grande y la empresa grande no van juntos"));
    QFile::remove(file);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(file).constData(), &db,
            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
        != SQLITE_OK)
        fail(QStringLiteral("no se puede crear %1").arg(file));
    const auto exec = [db](const char* sql) {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            fail(QStringLiteral("%1: %2").arg(
                QString::fromUtf8(sql), QString::fromUtf8(sqlite3_errmsg(db))));
    };
    // A file that is being generated has nothing to protect; neither setting stays in it.
    exec("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;");
    exec(schema);
    exec("BEGIN");

    sqlite3_stmt* insert = nullptr;
    if (sqlite3_prepare_v2(db,
            "INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) VALUES (?, ?, ?, ?)", -1, &insert,
            nullptr)
        != SQLITE_OK)
        fail(QString::fromUtf8(sqlite3_errmsg(db)));

    const std::vector<std::string> programs = sortedPrograms();
    const std::string bigCompany = data::bigCompany.toStdString();
    const std::string bigProgram = data::bigProgram.toStdString();
    const std::string smallCompany = data::smallCompany.toStdString();
    const std::string smallProgram = data::smallProgram.toStdString();
    const int programCount = int(programs.size());
    const int setApart = 1 + (withBigBlock ? 1 : 0) + (bigCompanyRows > 0 ? programCount : 0);
    const int ordinaryBlocks = companies * programCount - setApart;
    const int shared
        = rows - data::smallBlockRows - (withBigBlock ? data::bigBlockRows : 0) - bigCompanyRows;
    int ordinary = 0;
    int heavy = 0;
    char clave[64];
    char cosa[64];
    for (int c = 0; c < companies; ++c) {
        const std::string company = companyName(c);
        for (const std::string& program : programs) {
            int count = shared / ordinaryBlocks + (ordinary < shared % ordinaryBlocks ? 1 : 0);
            if (withBigBlock && company == bigCompany && program == bigProgram)
                count = data::bigBlockRows;
            else if (bigCompanyRows > 0 && company == bigCompany)
                count = bigCompanyRows / programCount
                    + (heavy++ < bigCompanyRows % programCount ? 1 : 0);
            else if (company == smallCompany && program == smallProgram)
                count = data::smallBlockRows;
            else
                ++ordinary;
            for (int row = 1; row <= count; ++row) {
                bindText(insert, 1, company);
                bindText(insert, 2, program);
                std::snprintf(clave, sizeof clave, "%.3s.%06d", program.c_str(), row);
                sqlite3_bind_text(insert, 3, clave, -1, SQLITE_TRANSIENT);
                // Values of both kinds the business programs store in cosa.
                if (row % 3 == 0) {
                    sqlite3_bind_double(insert, 4, row * 1.25);
                } else {
                    std::snprintf(cosa, sizeof cosa, "valor %d de %s", row, company.c_str());
                    sqlite3_bind_text(insert, 4, cosa, -1, SQLITE_TRANSIENT);
                }
                if (sqlite3_step(insert) != SQLITE_DONE)
                    fail(QString::fromUtf8(sqlite3_errmsg(db)));
                sqlite3_reset(insert);
            }
        }
    }
    sqlite3_finalize(insert);
    exec("COMMIT");
    sqlite3_close(db);

    RawConnection check(QFile::encodeName(file));
    RawStatement total(check, {"SELECT count(*) FROM GRANGUIA", {}});
    if (!total.step() || sqlite3_column_int64(total.handle(), 0) != rows)
        fail(QStringLiteral("%1 no tiene %2 filas").arg(file).arg(rows));
}

qint64 countRows(const QString& file, const QString& company, const QString& program)
{
    RawConnection connection(QFile::encodeName(file));
    RawStatement count(connection,
        {"SELECT count(*) FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?",
            {company.toStdString(), program.toStdString()}});
    count.step();
    return sqlite3_column_int64(count.handle(), 0);
}

namespace {

void appendLoadValue(QByteArray& buffer, const unsigned char* text, int length)
{
    if (!text) {
        buffer += "\\N";
        return;
    }
    for (int i = 0; i < length; ++i) {
        switch (const char c = char(text[i])) {
        case '\\':
            buffer += "\\\\";
            break;
        case '\t':
            buffer += "\\t";
            break;
        case '\n':
            buffer += "\\n";
            break;
        case '\r':
            buffer += "\\r";
            break;
        default:
            buffer += c;
        }
    }
}

} // namespace

void forEachLoadPiece(
    const QString& sqliteFile, const std::function<void(const QByteArray& piece)>& take)
{
    const RawConnection source(QFile::encodeName(sqliteFile));
    RawStatement select(
        source, {"SELECT Empresa, Aplica, clave, cosa FROM GRANGUIA ORDER BY Id", {}});
    QByteArray buffer;
    while (select.step()) {
        for (int column = 0; column < 4; ++column) {
            if (column > 0)
                buffer += '\t';
            appendLoadValue(buffer, sqlite3_column_text(select.handle(), column),
                sqlite3_column_bytes(select.handle(), column));
        }
        buffer += '\n';
        if (buffer.size() >= (1 << 20)) {
            take(buffer);
            buffer.clear();
        }
    }
    take(buffer);
}

ServerMasters::ServerMasters(const QString& folder)
    : big(folder + QStringLiteral("/master-1m.sqlite"))
    , small(folder + QStringLiteral("/master-1k.sqlite"))
{
    generateDatabase(big, data::companies, data::tableRows, true);
    generateDatabase(small, data::smallTableCompanies, data::smallTableRows, false);
}

ServerMasters::~ServerMasters()
{
    QFile::remove(big);
    QFile::remove(small);
}

ServerResets serverResets()
{
    return {{QStringLiteral("CREATE TABLE GRANGUIA_guardado AS SELECT * FROM GRANGUIA "
                            "WHERE Empresa = ? AND Aplica = ?"),
                {data::bigCompany, data::bigProgram}},
        {QStringLiteral("DELETE FROM GRANGUIA WHERE Empresa = ?"), {data::newCompany}},
        {QStringLiteral("INSERT INTO GRANGUIA SELECT * FROM GRANGUIA_guardado WHERE NOT EXISTS "
                        "(SELECT 1 FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?)"),
            {data::bigCompany, data::bigProgram}}};
}

WineDrive::WineDrive()
    : m_drive(m_dir.path())
{
    if (!m_dir.isValid())
        fail(QStringLiteral("no se puede crear una carpeta temporal"));
}

QString WineDrive::databaseFile() const
{
    return m_drive.folder() + QStringLiteral("/Tarvex.win/Tarvex.mdb");
}

void WineDrive::install(const QString& master) const
{
    const QString file = databaseFile();
    QFile::remove(file + QStringLiteral("-journal"));
    if (QFile::exists(file) && !QFile::remove(file))
        fail(QStringLiteral("no se puede quitar %1").arg(file));
    if (!QFile::copy(master, file))
        fail(QStringLiteral("no se puede copiar %1").arg(master));
    flushToDisk(file);
}

} // namespace duplivo::bench
