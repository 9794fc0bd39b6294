// The benchmark's company databases, written and read with SQLite's own library, and the Wine
// drive the program finds them on.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include "db/database.h"
#include "tests/support.h"

struct sqlite3;
struct sqlite3_stmt;

namespace duplivo::bench {

// What the databases hold. Every company has the same eight programs; two blocks are set apart.
namespace data {
inline constexpr int companies = 200;
inline constexpr int tableRows = 1'000'000;
inline constexpr int smallTableCompanies = 10;
inline constexpr int smallTableRows = 1'000;
inline constexpr int programsPerCompany = 8;
inline constexpr int bigBlockRows = 100'000;
inline constexpr int smallBlockRows = 10;
// The lists at scale: many rows, and the big company with a large share of them.
inline constexpr int scaleRows = 5'000'000;
inline constexpr int scaleCompanies = 300;
inline constexpr int heavyCompanyRows = 1'000'000;
// A block the new company already has, which a copy must not read to find that it is there.
inline constexpr int presentBlockRows = 1'000'000;

inline const QString bigCompany = QStringLiteral("Empresa 000");
inline const QString bigProgram = QStringLiteral("Contabilidad");
inline const QString smallCompany = QStringLiteral("Empresa 001");
inline const QString smallProgram = QStringLiteral("Agenda");
// A company like most: eight programs of about 4,500 rows in all.
inline const QString typicalCompany = QStringLiteral("Empresa 100");
inline const QString newCompany = QStringLiteral("Empresa Nueva");
} // namespace data

// A statement as SQLite's library takes it: UTF-8 text and values, converted before any timing.
struct RawSql
{
    QByteArray text;
    std::vector<std::string> values;
};

RawSql rawSql(const Statement& statement);

// One connection of SQLite's library, opened as the program's driver opens it.
class RawConnection
{
public:
    explicit RawConnection(const QByteArray& file);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    sqlite3* handle() const { return m_db; }
    void exec(const char* sql) const;
    [[noreturn]] void failWith(const char* what) const;

private:
    sqlite3* m_db = nullptr;
};

// A prepared statement with its values bound, finalized when it goes.
class RawStatement
{
public:
    RawStatement(const RawConnection& connection, const RawSql& sql);
    ~RawStatement();
    RawStatement(const RawStatement&) = delete;
    RawStatement& operator=(const RawStatement&) = delete;

    // True for a row, false when done.
    bool step();
    sqlite3_stmt* handle() const { return m_statement; }

private:
    const RawConnection& m_connection;
    sqlite3_stmt* m_statement = nullptr;
};

// Writes a new database of `companies` companies and `rows` rows: the small block always, the big
// block when asked, or instead `bigCompanyRows` rows shared by the big company's programs, and the
// other blocks sharing the remaining rows evenly.
void generateDatabase(
    const QString& file, int companies, int rows, bool withBigBlock, int bigCompanyRows = 0);

qint64 countRows(const QString& file, const QString& company, const QString& program);

// The two data sets as files for a server to load, generated in a folder and removed once
// loaded.
struct ServerMasters
{
    QString big;
    QString small;

    explicit ServerMasters(const QString& folder);
    ~ServerMasters();
    ServerMasters(const ServerMasters&) = delete;
    ServerMasters& operator=(const ServerMasters&) = delete;
};

// What puts a server's data set back between runs: the big block saved beside the table once,
// then the new company's rows removed and the big block put back where a run deleted it.
struct ServerResets
{
    Statement save;
    Statement clear;
    Statement restoreDeleted;
};
ServerResets serverResets();

// Empresa, Aplica, clave and cosa of every row of the SQLite file, in the order of their Id, as
// the tab-separated text servers load (PostgreSQL's COPY, MariaDB's LOAD DATA): backslash, tab
// and line ends escaped, NULL as \N. Handed over in pieces of about a MiB.
void forEachLoadPiece(
    const QString& sqliteFile, const std::function<void(const QByteArray& piece)>& take);

// A Wine prefix in a temporary folder whose drive C holds C:\Tarvex.win\Tarvex.mdb; WINEPREFIX
// points there while it lives.
class WineDrive
{
public:
    static inline const QString windowsPath = QStringLiteral("C:\\Tarvex.win\\Tarvex.mdb");

    WineDrive();

    QString folder() const { return m_dir.path(); }
    QString databaseFile() const;
    // Replaces the database with a copy of `master`, already on disk, so that writing the copy
    // back does not land in a timed run.
    void install(const QString& master) const;

private:
    QTemporaryDir m_dir;
    test::DriveC m_drive;
};

} // namespace duplivo::bench
