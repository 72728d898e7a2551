// The sockets this process holds on a local TCP port (the listener and the connections it accepted),
// found through /proc/self/fd: the local servers' libraries hand out neither.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

}  // namespace brisko::testing
