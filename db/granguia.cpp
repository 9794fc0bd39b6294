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

CopyStatements copyBlock(const QString& sourceCompany, const QString& newCompany,
    const QString& program, Dialect dialect)
{
    return {tableName, companyColumnName,
        {QStringLiteral(
             "INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) "
             "SELECT ?, Aplica, clave, cosa FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?"),
            {newCompany, sourceCompany, program}},
        {QStringLiteral(
             "SELECT Aplica, clave, cosa FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?"),
            {sourceCompany, program}},
        {QStringLiteral("INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) VALUES (?, ?, ?, ?)"),
            {newCompany}},
        {QStringLiteral("UPDATE GRANGUIA SET Empresa = ? WHERE Empresa = ? AND Aplica = ?"),
            {newCompany, newCompany, program}},
        deleteBlock(newCompany, program), blockLock(newCompany, program, dialect)};
}

std::optional<Statement> blockLock(const QString& company, const QString& program, Dialect dialect)
{
    switch (dialect) {
    case Dialect::PostgreSql:
        // Names of text columns with a deterministic collation are equal when their bytes are;
        // for any other type (citext, char) or collation the lock is the table's, whose copies
        // then wait for each other.
        return Statement {
            QStringLiteral(
                "SELECT pg_advisory_xact_lock(('x' || left(encode(sha256(convert_to("
                "CASE WHEN (SELECT count(*) = 2 AND bool_and(a.atttypid IN ('text'::regtype, "
                "'varchar'::regtype) AND coalesce(c.collisdeterministic, true)) "
                "FROM pg_attribute AS a LEFT JOIN pg_collation AS c ON c.oid = a.attcollation "
                "WHERE a.attrelid = to_regclass('GRANGUIA') AND a.attname IN ('empresa', 'aplica') "
                "AND NOT a.attisdropped) "
                "THEN 'GRANGUIA' || chr(31) || CAST(? AS text) || chr(31) || CAST(? AS text) "
                "ELSE 'GRANGUIA' END, 'UTF8')), 'hex'), 16))::bit(64)::bigint)"),
            {company, program}};
    case Dialect::MariaDb:
        // The values take the columns' own collations through the union, and their weights are
        // equal when the collation takes them as equal; but a collation that pads with spaces
        // still weighs trailing ones, which are taken off first. GET_LOCK takes 64 characters.
        return Statement {
            QStringLiteral(
                "SELECT CONCAT('duplivo-', LEFT(SHA2(CONCAT("
                "HEX(WEIGHT_STRING(IF(e = CONCAT(e, ' '), TRIM(TRAILING ' ' FROM e), e))),"
                " '/', "
                "HEX(WEIGHT_STRING(IF(a = CONCAT(a, ' '), TRIM(TRAILING ' ' FROM a), a)))"
                "), 256), 56)) FROM (SELECT Empresa AS e, Aplica AS a FROM GRANGUIA "
                "WHERE 1 = 0 UNION ALL SELECT ?, ?) AS b"),
            {company, program}};
    case Dialect::Sqlite:
    case Dialect::Access:
    case Dialect::Other:
        break;
    }
    return std::nullopt;
}

Statement deleteBlock(const QString& company, const QString& program)
{
    return {QStringLiteral("DELETE FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?"),
        {company, program}};
}

Statement blockRows(const QString& company, const QString& program, Dialect dialect)
{
    return {QStringLiteral("SELECT * FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?")
            + (dialect == Dialect::MariaDb ? QStringLiteral(" FOR UPDATE") : QString()),
        {company, program}};
}

Statement restoreRows(const QStringList& columns)
{
    return {QStringLiteral("INSERT INTO GRANGUIA (%1) VALUES (%2)")
                .arg(columns.join(QStringLiteral(", ")),
                    QStringList(columns.size(), QStringLiteral("?")).join(QStringLiteral(", "))),
        {}};
}

Statement tableColumns(const QStringList& columns)
{
    return {QStringLiteral("SELECT %1 FROM GRANGUIA WHERE 1 = 0")
                .arg(columns.isEmpty() ? QStringLiteral("*") : columns.join(QStringLiteral(", "))),
        {}};
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
