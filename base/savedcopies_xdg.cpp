#include <QStandardPaths>

#include "base/savedcopies.h"

namespace duplivo {

QString savedCopiesFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/duplivo/borrados");
}

} // namespace duplivo
