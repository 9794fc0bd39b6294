#include <QDir>
#include <QFile>

#include "tests/support.h"

namespace duplivo::test {

// The program opens C:\Tarvex.win\Tarvex.mdb as it is, so the tests use the real drive C: that
// of a throwaway Wine prefix. A company database already there is someone's data, never ours.
DriveC::DriveC(const QString&)
    : m_folder(QStringLiteral("C:"))
{
    const QString database = m_folder + QStringLiteral("/Tarvex.win/Tarvex.mdb");
    if (QFile::exists(database))
        qFatal("%s exists: the tests need a drive C without a company database",
            qPrintable(QDir::toNativeSeparators(database)));
    QDir(m_folder).mkpath(QStringLiteral("Tarvex.win"));
}

DriveC::~DriveC() = default;

} // namespace duplivo::test
