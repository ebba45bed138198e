// BSD socket implementation of the linkcore socket layer (Linux tools and
// the host build of the library's tests). See net.h.
#include "libs/linkcore/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace qv::link::net {
namespace {

thread_local uint32_t t_error = 0;
thread_local int t_sock_error = 0;

int Fail() {
    t_sock_error = errno;
    return -1;
}

sockaddr_in ToSockaddr(const Addr& a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = a.ip_be;
    sa.sin_port = htons(a.port);
    return sa;
}

Addr FromSockaddr(const sockaddr_in& sa) {
    return Addr{sa.sin_addr.s_addr, ntohs(sa.sin_port)};
}

void SetSendTimeout(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void SetNonBlocking(int fd, bool on) {
    int fl = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK));
}

}  // namespace

bool Startup() { return true; }

Sock TcpListen(const Addr& at) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail();
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = ToSockaddr(at);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
        Fail();
        close(fd);
        return kBadSock;
    }
    SetNonBlocking(fd, true);
    return fd;
}

Sock TcpAccept(Sock listener, Addr* from, int send_timeout_ms) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int fd = accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (fd < 0) return Fail();
    SetNonBlocking(fd, false);
    SetSendTimeout(fd, send_timeout_ms);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    int idle = kKeepAliveIdleMs / 1000, interval = kKeepAliveIntervalMs / 1000, probes = kKeepAliveProbes;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    if (from) *from = FromSockaddr(sa);
    return fd;
}

Sock TcpConnect(const Addr& to, int timeout_ms, int send_timeout_ms) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail();
    SetNonBlocking(fd, true);
    sockaddr_in sa = ToSockaddr(to);
    int rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        rc = poll(&p, 1, timeout_ms);
        int err = 0;
        socklen_t el = sizeof err;
        if (rc == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) == 0 && err == 0) {
            rc = 0;
        } else {
            errno = rc == 0 ? ETIMEDOUT : (err ? err : errno);
            rc = -1;
        }
    }
    if (rc != 0) {
        Fail();
        close(fd);
        return kBadSock;
    }
    SetNonBlocking(fd, false);
    SetSendTimeout(fd, send_timeout_ms);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

Sock UdpBind(const Addr& at) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail();
    sockaddr_in sa = ToSockaddr(at);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        Fail();
        close(fd);
        return kBadSock;
    }
    SetNonBlocking(fd, true);
    return fd;
}

int SendAll(Sock s, const void* buf, std::size_t len) {
    const char* p = static_cast<const char*>(buf);
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = send(static_cast<int>(s), p + done, len - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail();
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<int>(done);
}

int RecvSome(Sock s, void* buf, std::size_t cap) {
    for (;;) {
        ssize_t n = recv(static_cast<int>(s), buf, cap, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail();
        return static_cast<int>(n);
    }
}

int SendTo(Sock s, const void* buf, std::size_t len, const Addr& to) {
    sockaddr_in sa = ToSockaddr(to);
    ssize_t n = sendto(static_cast<int>(s), buf, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return n < 0 ? Fail() : static_cast<int>(n);
}

int RecvFrom(Sock s, void* buf, std::size_t cap, Addr* from, bool* truncated) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ssize_t n = recvfrom(static_cast<int>(s), buf, cap, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) return Fail();
    if (from) *from = FromSockaddr(sa);
    if (truncated) *truncated = static_cast<std::size_t>(n) > cap;
    return static_cast<int>(static_cast<std::size_t>(n) > cap ? cap : static_cast<std::size_t>(n));
}

bool LocalAddr(Sock s, Addr* out) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return Fail(), false;
    *out = FromSockaddr(sa);
    return true;
}

void Shutdown(Sock s) { shutdown(static_cast<int>(s), SHUT_RDWR); }
void Close(Sock s) {
    if (s != kBadSock) close(static_cast<int>(s));
}

int Poll(PollItem* items, std::size_t n, int timeout_ms) {
    std::vector<pollfd> fds(n);
    for (std::size_t i = 0; i < n; ++i) fds[i] = pollfd{static_cast<int>(items[i].sock), POLLIN, 0};
    int rc;
    do {
        rc = poll(fds.data(), fds.size(), timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return Fail();
    for (std::size_t i = 0; i < n; ++i) items[i].readable = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    return rc;
}

int LastError() { return t_sock_error; }

bool Resolve(const char* host, uint32_t* ip_be) {
    in_addr a{};
    if (inet_pton(AF_INET, host, &a) == 1) {
        *ip_be = a.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return false;
    *ip_be = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return true;
}

void SetThreadError(uint32_t code) { t_error = code; }
uint32_t ThreadError() { return t_error; }

bool EnvVar(const char* name, char* buf, std::size_t cap) {
    const char* v = std::getenv(name);
    if (!v || std::strlen(v) >= cap) return false;
    std::memcpy(buf, v, std::strlen(v) + 1);
    return true;
}

void DefaultLog(const char* line) { std::fprintf(stderr, "%s\n", line); }

uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace qv::link::net
