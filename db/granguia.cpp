#include "db/granguia.h"

namespace duplivo::granguia {

Statement listCompanies()
{
    return {QStringLiteral("SELECT DISTINCT Empresa FROM GRANGUIA"), {}};
}

Statement listPrograms(const QString& company)
{
    return {QStringLiteral("SELECT DISTINCT Aplica FROM GRANGUIA WHERE Empresa = ?"), {company}};
}

Statement findBlock(const QString& company, const QString& program)
{
    return {QStringLiteral("SELECT * FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?"),
        {company, program}};
}

CopyStatements copyBlock(
    const QString& sourceCompany, const QString& newCompany, const QString& program)
{
    return {{QStringLiteral(
                 "INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) "
                 "SELECT ?, Aplica, clave, cosa FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?"),
                {newCompany, sourceCompany, program}},
        {QStringLiteral(
             "SELECT Aplica, clave, cosa FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?"),
            {sourceCompany, program}},
        {QStringLiteral("INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) VALUES (?, ?, ?, ?)"),
            {newCompany}}};
}

Statement deleteBlock(const QString& company, const QString& program)
{
    return {QStringLiteral("DELETE FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?"),
        {company, program}};
}

} // namespace duplivo::granguia
