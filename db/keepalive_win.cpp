#include "db/keepalive.h"

namespace duplivo::keepalive {

// A Windows driver's socket is a handle the program cannot find; under Wine the driver is a
// Linux one, out of the program's reach. Drivers that take keepalive settings get them instead.
bool probeConnectionFrom(quint16)
{
    return false;
}

} // namespace duplivo::keepalive
