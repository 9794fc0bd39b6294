// How long a server that stops answering is waited for: the system's own TCP keepalive probes,
// short enough to give up on a lost network within half a minute, and answered by the server's
// system however long a statement runs on a live one.
#pragma once

#include <QString>

namespace duplivo::keepalive {

// Seconds of silence before the first probe, between probes, and probes unanswered before the
// connection is given up: about 20 s in all.
constexpr int idleSeconds = 5;
constexpr int intervalSeconds = 5;
constexpr int unansweredProbes = 3;
// The longest data may go unacknowledged before the connection is given up.
constexpr int userTimeoutMs = 20000;

// Turns them on for this process's TCP connection from the local port `port`, for drivers that
// cannot be told to. False where there is no such connection, or the platform cannot reach it.
bool probeConnectionFrom(quint16 port);

} // namespace duplivo::keepalive
