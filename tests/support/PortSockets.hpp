// The sockets this process holds on a local TCP port (the listener and the connections it accepted),
// found through /proc/self/fd: the local servers' libraries hand out neither. And a bare listener on a
// port the system chooses, for tests that play a peer at the socket level.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace brisko::testing {

// Calls `visit(fd)` for each IPv4 socket of this process bound to local `port`.
template <class Visit>
void forEachSocketOnPort(int port, Visit visit) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        int fd = -1;
        try {
            fd = std::stoi(entry.path().filename().string());
        } catch (...) {
            continue;
        }
        sockaddr_in local{};
        socklen_t length = sizeof(local);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 && local.sin_family == AF_INET &&
            ntohs(local.sin_port) == port)
            visit(fd);
    }
}

// A TCP socket listening on 127.0.0.1 at a port the system chose, written to `address`; -1 on failure.
inline int listenOnLoopback(sockaddr_in& address, int backlog = 4) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace brisko::testing
