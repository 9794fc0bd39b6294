#include <QStandardPaths>

#include "base/savedcopies.h"

namespace duplivo {

// Qt's generic data folder on Windows is %LOCALAPPDATA%: the user's, and not roaming.
QString savedCopiesFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Duplivo/borrados");
}

} // namespace duplivo
