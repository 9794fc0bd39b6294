#include <QFileInfo>

#include "db/dsn.h"

namespace duplivo {

bool othersCanRead(const QString& file)
{
    return QFileInfo(file).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther);
}

} // namespace duplivo
