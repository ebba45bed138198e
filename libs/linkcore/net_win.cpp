// WinSock 2 implementation of the linkcore socket layer (linkcore.dll).
// See net.h. select() serves as the poll; FD_SETSIZE is raised so that an
// endpoint can watch all the connections it allows at once.
#define FD_SETSIZE 128
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include "libs/linkcore/net.h"

namespace qv::link::net {
namespace {

thread_local int t_sock_error = 0;

int Fail() {
    t_sock_error = WSAGetLastError();
    return -1;
}

sockaddr_in ToSockaddr(const Addr& a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = a.ip_be;
    sa.sin_port = htons(a.port);
    return sa;
}

Addr FromSockaddr(const sockaddr_in& sa) { return Addr{sa.sin_addr.s_addr, ntohs(sa.sin_port)}; }

SOCKET S(Sock s) { return static_cast<SOCKET>(s); }

void SetNonBlocking(SOCKET s, bool on) {
    u_long v = on ? 1 : 0;
    ioctlsocket(s, FIONBIO, &v);
}

void Tune(SOCKET s, int send_timeout_ms) {
    DWORD ms = static_cast<DWORD>(send_timeout_ms);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

}  // namespace

bool Startup() {
    static bool ok = [] {
        WSADATA wsa;
        return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    }();
    return ok;
}

Sock TcpListen(const Addr& at) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return Fail();
    // Exclusive use: a second endpoint on the same port must fail, not share.
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in sa = ToSockaddr(at);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(s, 16) != 0) {
        Fail();
        closesocket(s);
        return kBadSock;
    }
    SetNonBlocking(s, true);
    return static_cast<Sock>(s);
}

Sock TcpAccept(Sock listener, Addr* from, int send_timeout_ms) {
    sockaddr_in sa{};
    int len = sizeof sa;
    SOCKET s = accept(S(listener), reinterpret_cast<sockaddr*>(&sa), &len);
    if (s == INVALID_SOCKET) return Fail();
    SetNonBlocking(s, false);  // accepted sockets inherit the listener's mode
    Tune(s, send_timeout_ms);
    tcp_keepalive ka{1, static_cast<ULONG>(kKeepAliveIdleMs), static_cast<ULONG>(kKeepAliveIntervalMs)};
    DWORD out = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &out, nullptr, nullptr);
    if (from) *from = FromSockaddr(sa);
    return static_cast<Sock>(s);
}

Sock TcpConnect(const Addr& to, int timeout_ms, int send_timeout_ms) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return Fail();
    SetNonBlocking(s, true);
    sockaddr_in sa = ToSockaddr(to);
    int rc = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set w, e;
        FD_ZERO(&w);
        FD_ZERO(&e);
        FD_SET(s, &w);
        FD_SET(s, &e);
        timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        rc = select(0, nullptr, &w, &e, &tv);
        if (rc == 1 && FD_ISSET(s, &w)) {
            rc = 0;
        } else {
            int err = 0, el = sizeof err;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &el);
            WSASetLastError(rc == 0 ? WSAETIMEDOUT : err);
            rc = -1;
        }
    }
    if (rc != 0) {
        Fail();
        closesocket(s);
        return kBadSock;
    }
    SetNonBlocking(s, false);
    Tune(s, send_timeout_ms);
    return static_cast<Sock>(s);
}

Sock UdpBind(const Addr& at) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return Fail();
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in sa = ToSockaddr(at);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        Fail();
        closesocket(s);
        return kBadSock;
    }
    SetNonBlocking(s, true);
    return static_cast<Sock>(s);
}

int SendAll(Sock s, const void* buf, std::size_t len) {
    const char* p = static_cast<const char*>(buf);
    std::size_t done = 0;
    while (done < len) {
        int n = send(S(s), p + done, static_cast<int>(len - done), 0);
        if (n == SOCKET_ERROR) return Fail();
        done += static_cast<std::size_t>(n);
    }
    return static_cast<int>(done);
}

int RecvSome(Sock s, void* buf, std::size_t cap) {
    int n = recv(S(s), static_cast<char*>(buf), static_cast<int>(cap), 0);
    return n == SOCKET_ERROR ? Fail() : n;
}

int SendTo(Sock s, const void* buf, std::size_t len, const Addr& to) {
    sockaddr_in sa = ToSockaddr(to);
    int n = sendto(S(s), static_cast<const char*>(buf), static_cast<int>(len), 0,
                   reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return n == SOCKET_ERROR ? Fail() : n;
}

int RecvFrom(Sock s, void* buf, std::size_t cap, Addr* from, bool* truncated) {
    sockaddr_in sa{};
    int len = sizeof sa;
    int n = recvfrom(S(s), static_cast<char*>(buf), static_cast<int>(cap), 0, reinterpret_cast<sockaddr*>(&sa), &len);
    bool trunc = false;
    if (n == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEMSGSIZE) return Fail();
        trunc = true;
        n = static_cast<int>(cap);
    }
    if (from) *from = FromSockaddr(sa);
    if (truncated) *truncated = trunc;
    return n;
}

bool LocalAddr(Sock s, Addr* out) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getsockname(S(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return Fail(), false;
    *out = FromSockaddr(sa);
    return true;
}

void Shutdown(Sock s) { shutdown(S(s), SD_BOTH); }
void Close(Sock s) {
    if (s != kBadSock) closesocket(S(s));
}

int Poll(PollItem* items, std::size_t n, int timeout_ms) {
    fd_set r;
    FD_ZERO(&r);
    for (std::size_t i = 0; i < n && i < FD_SETSIZE; ++i) FD_SET(S(items[i].sock), &r);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int rc = select(0, &r, nullptr, nullptr, timeout_ms < 0 ? nullptr : &tv);
    if (rc == SOCKET_ERROR) return Fail();
    for (std::size_t i = 0; i < n; ++i) items[i].readable = FD_ISSET(S(items[i].sock), &r) != 0;
    return rc;
}

int LastError() { return t_sock_error; }

bool Resolve(const char* host, uint32_t* ip_be) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return false;
    *ip_be = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return true;
}

void SetThreadError(uint32_t code) { SetLastError(code); }
uint32_t ThreadError() { return GetLastError(); }

bool EnvVar(const char* name, char* buf, std::size_t cap) {
    DWORD n = GetEnvironmentVariableA(name, buf, static_cast<DWORD>(cap));
    return n > 0 && n < cap;
}

uint64_t NowMs() { return GetTickCount64(); }

void DefaultLog(const char* line) {
    OutputDebugStringA(line);
    OutputDebugStringA("\n");
}

}  // namespace qv::link::net
