#include <QFileInfo>

#include "db/odbc.h"

namespace duplivo {

bool othersCanRead(const QString& file)
{
    return QFileInfo(file).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther);
}

} // namespace duplivo
