#include "db/dsn.h"

namespace duplivo {

// Windows guards files with access lists, which the folder of the company database sets; the
// permission bits Qt reports there say nothing about other users.
bool othersCanRead(const QString&)
{
    return false;
}

} // namespace duplivo
