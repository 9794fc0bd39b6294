#include "db/keepalive.h"

namespace duplivo::keepalive {

// A Windows driver's socket is a handle the program cannot find; under Wine the driver is a
// Linux one, out of the program's reach. Drivers that take keepalive settings get them instead.
std::vector<int> connectionsTo(quint16)
{
    return {};
}

bool probeNewConnections(const std::vector<int>&, quint16)
{
    return false;
}

} // namespace duplivo::keepalive
