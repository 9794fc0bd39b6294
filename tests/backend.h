// The engine's own client library behind a test's company database, and what chooses it.
#pragma once

#include <memory>

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

// Whether the tests were built with PostgreSQL's client library (libpq).
bool postgresClientBuilt();
// A new database on the server DUPLIVO_TEST_PG names, with GRANGUIA made; `dsn` receives the text
// of a DSN file that reaches it.
std::unique_ptr<CompanyDatabase::Backend> makePostgresBackend(
    const QString& claveType, const QString& cosaType, QByteArray& dsn);

} // namespace duplivo::test
