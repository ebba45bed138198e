// A loopback port of the given socket type (SOCK_STREAM or SOCK_DGRAM) that
// nobody holds at the moment of asking, or 0 when none could be had. Shared
// by the end-to-end tests, the PostgreSQL test server and the benchmarks.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qv::testing_support {

inline int FreeLoopbackPort(int type) {
    const int fd = ::socket(AF_INET, type, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

}  // namespace qv::testing_support
