#include <QDir>
#include <QFile>

#include "tests/support.h"

namespace duplivo::test {

DriveC::DriveC(const QString& scratch)
    : m_previousPrefix(qgetenv("WINEPREFIX"))
{
    // Wine's layout: the prefix's dosdevices/c: leads to the drive's folder.
    const QDir root(scratch);
    root.mkpath(QStringLiteral("wine/dosdevices"));
    root.mkpath(QStringLiteral("drive_c/Tarvex.win"));
    QFile::link(root.filePath(QStringLiteral("drive_c")),
        root.filePath(QStringLiteral("wine/dosdevices/c:")));
    qputenv("WINEPREFIX", root.filePath(QStringLiteral("wine")).toLocal8Bit());
    m_folder = root.filePath(QStringLiteral("drive_c"));
}

DriveC::~DriveC()
{
    if (m_previousPrefix.isNull())
        qunsetenv("WINEPREFIX");
    else
        qputenv("WINEPREFIX", m_previousPrefix);
}

} // namespace duplivo::test
