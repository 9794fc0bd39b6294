#include <algorithm>
#include <cstdlib>

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "db/keepalive.h"

namespace duplivo::keepalive {

namespace {

quint16 peerPort(int fd)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
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

std::vector<int> connectionsTo(quint16 port)
{
    // The driver keeps its socket to itself: it is found among the process's open descriptors.
    std::vector<int> open;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(folder)) {
            if (entry->d_name[0] != '.')
                open.push_back(std::atoi(entry->d_name));
        }
        closedir(folder);
    } else {
        for (int fd = 0; fd < 1024; ++fd)
            open.push_back(fd);
    }
    std::vector<int> found;
    for (const int fd : open) {
        if (peerPort(fd) == port && isStream(fd))
            found.push_back(fd);
    }
    return found;
}

bool probeNewConnections(const std::vector<int>& before, quint16 port)
{
    bool probed = false;
    for (const int fd : connectionsTo(port)) {
        if (std::find(before.cbegin(), before.cend(), fd) != before.cend())
            continue;
        const int on = 1;
        probed = setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0
            && setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0
            && setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds)
                == 0
            && setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &unansweredProbes, sizeof unansweredProbes)
                == 0
            && setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs)
                == 0;
    }
    return probed;
}

} // namespace duplivo::keepalive
