// The statements on GRANGUIA, the one table of the company database. A program block is every
// row of one company (Empresa) for one program (Aplica).
#pragma once

#include "db/database.h"

namespace duplivo::granguia {

// The column names read from results; names are matched without regard to case.
inline const QString companyColumn = QStringLiteral("empresa");
inline const QString programColumn = QStringLiteral("Aplica");

Statement listCompanies();
Statement listPrograms(const QString& company);
// Finds whether the block exists; reading its first row is enough.
Statement findBlock(const QString& company, const QString& program);
// Appends a copy of the source block under the new company: Empresa set to the new name,
// Aplica, clave and cosa copied unchanged, every other column left to the table's defaults.
CopyStatements copyBlock(
    const QString& sourceCompany, const QString& newCompany, const QString& program);
Statement deleteBlock(const QString& company, const QString& program);

} // namespace duplivo::granguia
