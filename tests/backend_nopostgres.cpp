// Where PostgreSQL's client library is not built in (the Windows tests): no PostgreSQL engine.
#include "tests/backend.h"

namespace duplivo::test {

bool postgresClientBuilt()
{
    return false;
}

std::unique_ptr<CompanyDatabase::Backend> makePostgresBackend(
    const QString&, const QString&, QByteArray&)
{
    qFatal("the tests were built without PostgreSQL's client library");
}

} // namespace duplivo::test
