#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include "db/keepalive.h"

namespace duplivo::keepalive {

namespace {

quint16 localPort(int fd)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

bool isStream(int fd)
{
    int type = 0;
    socklen_t length = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}

} // namespace

bool probeConnectionFrom(quint16 port)
{
    // The driver keeps its socket to itself: it is found among the process's descriptors.
    rlimit limit {};
    const rlim_t last = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    for (int fd = 0; rlim_t(fd) < last && fd < 65536; ++fd) {
        if (localPort(fd) != port || !isStream(fd))
            continue;
        const int on = 1;
        return setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0
            && setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0
            && setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds)
            == 0
            && setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &unansweredProbes, sizeof unansweredProbes)
            == 0
            && setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs)
            == 0;
    }
    return false;
}

} // namespace duplivo::keepalive
