// Where the servers' client libraries are not built in (the Windows tests): SQLite alone.
#include "tests/backend.h"

namespace duplivo::test {

bool serverClientsBuilt()
{
    return false;
}

std::unique_ptr<CompanyDatabase::Backend> makePostgresBackend(
    const QString&, const QString&, const QString&, QByteArray&)
{
    qFatal("the tests were built without the servers' client libraries");
}

std::unique_ptr<CompanyDatabase::Backend> makeMariaDbBackend(
    const QString&, const QString&, const QString&, QByteArray&)
{
    qFatal("the tests were built without the servers' client libraries");
}

} // namespace duplivo::test
