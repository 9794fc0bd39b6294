#include "db/granguia.h"

namespace duplivo::granguia {

namespace {

const QStringList companyThenProgram = {QStringLiteral("Empresa"), QStringLiteral("Aplica")};

} // namespace

Statement listCompanies(ListRead read)
{
    if (read == ListRead::Distinct)
        return {QStringLiteral("SELECT DISTINCT Empresa FROM GRANGUIA"), {}};
    // The table's column stands on the left of each comparison, so that its collation decides.
    return {QStringLiteral("WITH RECURSIVE walk (Empresa) AS ("
                           "SELECT min(Empresa) FROM GRANGUIA "
                           "UNION ALL "
                           "SELECT (SELECT min(GRANGUIA.Empresa) FROM GRANGUIA "
                           "WHERE GRANGUIA.Empresa > walk.Empresa) "
                           "FROM walk WHERE walk.Empresa IS NOT NULL) "
                           "SELECT Empresa FROM walk WHERE Empresa IS NOT NULL"),
        {}};
}

Statement listPrograms(const QString& company, ListRead read)
{
    if (read == ListRead::Distinct)
        return {
            QStringLiteral("SELECT DISTINCT Aplica FROM GRANGUIA WHERE Empresa = ?"), {company}};
    return {QStringLiteral("WITH RECURSIVE walk (Aplica) AS ("
                           "SELECT min(Aplica) FROM GRANGUIA WHERE Empresa = ? "
                           "UNION ALL "
                           "SELECT (SELECT min(GRANGUIA.Aplica) FROM GRANGUIA "
                           "WHERE GRANGUIA.Empresa = ? AND GRANGUIA.Aplica > walk.Aplica) "
                           "FROM walk WHERE walk.Aplica IS NOT NULL) "
                           "SELECT Aplica FROM walk WHERE Aplica IS NOT NULL"),
        {company, company}};
}

ListRead companyListRead(DatabaseConnection& connection)
{
    return connection.indexedLeadingColumns(tableName, companyThenProgram) >= 1
        ? ListRead::IndexWalk
        : ListRead::Distinct;
}

ListRead programListRead(DatabaseConnection& connection)
{
    return connection.indexedLeadingColumns(tableName, companyThenProgram) >= 2
        ? ListRead::IndexWalk
        : ListRead::Distinct;
}

Statement findBlock(const QString& company, const QString& program, Dialect dialect)
{
    switch (dialect) {
    case Dialect::Sqlite:
    case Dialect::PostgreSql:
    case Dialect::MariaDb:
        return {QStringLiteral("SELECT 1 FROM GRANGUIA WHERE Empresa = ? AND Aplica = ? LIMIT 1"),
            {company, program}};
    case Dialect::Access:
        return {QStringLiteral("SELECT TOP 1 1 FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?"),
            {company, program}};
    case Dialect::Other:
        break;
    }
    // Only the first row is fetched.
    return {QStringLiteral("SELECT 1 FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?"),
        {company, program}};
}

CopyStatements copyBlock(
    const QString& sourceCompany, const QString& newCompany, const QString& program)
{
    return {tableName,
        {QStringLiteral(
             "INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) "
             "SELECT ?, Aplica, clave, cosa FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?"),
            {newCompany, sourceCompany, program}},
        {QStringLiteral(
             "SELECT Aplica, clave, cosa FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?"),
            {sourceCompany, program}},
        {QStringLiteral("INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) VALUES (?, ?, ?, ?)"),
            {newCompany}},
        deleteBlock(newCompany, program)};
}

Statement deleteBlock(const QString& company, const QString& program)
{
    return {QStringLiteral("DELETE FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?"),
        {company, program}};
}

std::optional<int> longestCompanyName(DatabaseConnection& connection)
{
    return connection.textLength(tableName, companyColumnName);
}

qsizetype nameLength(const DatabaseConnection& connection, const QString& name)
{
    // Access counts UTF-16 units; the servers and SQLite count characters.
    return connection.dialect() == Dialect::Access ? name.size() : name.toUcs4().size();
}

} // namespace duplivo::granguia
