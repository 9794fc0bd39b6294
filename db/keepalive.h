// How long a server that stops answering is waited for: the system's own TCP keepalive probes,
// short enough to give up on a lost network within half a minute, and answered by the server's
// system however long a statement runs on a live one.
#pragma once

#include <vector>

#include <QtGlobal>

namespace duplivo::keepalive {

// Seconds of silence before the first probe, between probes, and probes unanswered before the
// connection is given up: about 20 s in all.
constexpr int idleSeconds = 5;
constexpr int intervalSeconds = 5;
constexpr int unansweredProbes = 3;
// The longest data may go unacknowledged before the connection is given up.
constexpr int userTimeoutMs = 20000;

// For drivers that cannot be told to, the probes go on the driver's socket: the process's TCP
// connection to the server's port that a connect made. Taken before connecting, then probed
// after; nothing where the platform cannot reach the sockets.
std::vector<int> connectionsTo(quint16 port);
// False where no connection to the port is new since `before`.
bool probeNewConnections(const std::vector<int>& before, quint16 port);

} // namespace duplivo::keepalive
