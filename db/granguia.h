// The statements on GRANGUIA, the one table of the company database. A program block is every
// row of one company (Empresa) for one program (Aplica).
#pragma once

#include "db/database.h"

namespace duplivo::granguia {

inline const QString tableName = QStringLiteral("GRANGUIA");
// The column names read from results; names are matched without regard to case.
inline const QString companyColumn = QStringLiteral("empresa");
// The company column as the table declares it.
inline const QString companyColumnName = QStringLiteral("Empresa");
inline const QString programColumn = QStringLiteral("Aplica");

// How a list of distinct values is read: by DISTINCT over every row, or by stepping through an
// index that leads with the listed column from one value to the next, one seek per value. Both
// give each value once, NULL left out, values compared by the column's own collation; the walk
// gives them in that order.
enum class ListRead { Distinct, IndexWalk };

Statement listCompanies(ListRead read = ListRead::Distinct);
Statement listPrograms(const QString& company, ListRead read = ListRead::Distinct);
// The fastest read of each list on this connection: the walk where an index allows it, on the
// engines whose schema the connection reads; DISTINCT everywhere else.
ListRead companyListRead(DatabaseConnection& connection);
ListRead programListRead(DatabaseConnection& connection);
// Finds whether the block exists: a row of a constant, at most one, in the dialect's words, so
// that no driver reads (or describes) the whole block to answer.
Statement findBlock(const QString& company, const QString& program, Dialect dialect);
// Appends a copy of the source block under the new company: Empresa set to the new name,
// Aplica, clave and cosa copied unchanged, every other column left to the table's defaults.
CopyStatements copyBlock(const QString& sourceCompany, const QString& newCompany,
    const QString& program, Dialect dialect);
// The lock that keeps a second copy of the block out while one runs, on the engines that have
// one (PostgreSQL and MariaDB): the same for every company and program name the table's columns
// compare as equal to these.
std::optional<Statement> blockLock(const QString& company, const QString& program, Dialect dialect);
Statement deleteBlock(const QString& company, const QString& program);
// Every column of every row of the block, for the copy kept of it before it is deleted, in the
// transaction of the delete: on MariaDB the read locks the rows, and the gaps between them, so
// that no row comes in before the delete that the copy lacks.
Statement blockRows(const QString& company, const QString& program, Dialect dialect);
// Puts saved rows back: `columns` are the table's own names for them, each a plain name.
Statement restoreRows(const QStringList& columns);
// Those columns, or all the table's (none given), as the engine describes them, and no row.
Statement tableColumns(const QStringList& columns = {});

// The most characters a company name may have, where the table says: a longer one would be cut,
// or refused, by the engine. Counted as the engine counts them (see nameLength).
std::optional<int> longestCompanyName(DatabaseConnection& connection);
// The length of a name as the engine behind the connection counts it against that limit.
qsizetype nameLength(const DatabaseConnection& connection, const QString& name);

} // namespace duplivo::granguia
