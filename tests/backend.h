// The engine's own client library behind a test's company database, and what chooses it.
#pragma once

#include <memory>

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include "tests/support.h"

namespace duplivo::test {

class CompanyDatabase::Backend
{
public:
    virtual ~Backend() = default;
    virtual void exec(const QString& sql) = 0;
    // Rows of a query with '?' parameters, each value described with its type, joined by '|'.
    virtual QStringList rows(const QString& sql, const QVariantList& values) = 0;
    virtual void insert(const QVariantList& values) = 0;
    virtual void onInsertOf(const QString& clave, const QString& action) = 0;
    virtual bool nothingLocked() = 0;
};

// A value as an SQL string literal, quotes doubled.
inline QString sqlLiteral(const QString& value)
{
    return u'\'' + QString(value).replace(u'\'', QStringLiteral("''")) + u'\'';
}

// The keys of a server's variable ("SERVER=…;PORT=…;UID=…;PWD=…"), names in upper case.
inline QMap<QString, QString> serverKeys(const char* variable)
{
    QMap<QString, QString> keys;
    for (const QString& part : qEnvironmentVariable(variable).split(u';', Qt::SkipEmptyParts)) {
        const qsizetype equals = part.indexOf(u'=');
        keys.insert(part.left(equals).toUpper(), part.mid(equals + 1));
    }
    return keys;
}

// The servers' clave and cosa are text unless a test asks for another type.
inline QString typeOrText(const QString& type)
{
    return type.isEmpty() ? QStringLiteral("TEXT") : type;
}

// Whether the tests were built with the servers' client libraries (libpq, libmariadb).
bool serverClientsBuilt();
// A new database on the server DUPLIVO_TEST_PG or DUPLIVO_TEST_MARIADB names, with GRANGUIA
// made; `dsn` receives the text of a DSN file that reaches it.
// `companyType` is Empresa's type.
std::unique_ptr<CompanyDatabase::Backend> makePostgresBackend(
    const QString& companyType, const QString& claveType, const QString& cosaType, QByteArray& dsn);
std::unique_ptr<CompanyDatabase::Backend> makeMariaDbBackend(
    const QString& companyType, const QString& claveType, const QString& cosaType, QByteArray& dsn);

} // namespace duplivo::test
