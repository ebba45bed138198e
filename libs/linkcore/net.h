// The thin socket layer under linkcore.
//
// Everything the transport needs from the system's sockets, in one small
// interface with two implementations: net_win.cpp (WinSock 2) and
// net_posix.cpp (BSD sockets). The portable core above it never sees a
// system header. Sockets are plain integers here; addresses are IPv4 with
// the address in network order and the port in host order.
//
// Conventions: functions returning int give >= 0 on success and -1 on
// failure with the socket error in LastError(). Connection sockets are left
// blocking (with a send time-out) so that a whole frame can be written in
// one call; the core only reads from them after Poll says they are readable.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::link::net {

using Sock = std::intptr_t;
constexpr Sock kBadSock = -1;
constexpr int kKeepAliveIdleMs = 60000;
constexpr int kKeepAliveIntervalMs = 10000;
constexpr int kKeepAliveProbes = 6;  // where the system lets it be set

struct Addr {
    uint32_t ip_be = 0;  // IPv4 address, network order (0 = any)
    uint16_t port = 0;   // host order
};

bool Startup();

// Listening TCP socket (non-blocking accept) on ip:port.
Sock TcpListen(const Addr& at);
// Accepts one waiting connection; kBadSock when none. The new socket is
// blocking with the given send time-out, and sends keep-alive probes after
// kKeepAliveIdleMs of silence, every kKeepAliveIntervalMs, so that a peer
// whose machine or network is gone shows as an error instead of holding
// the connection open for ever.
Sock TcpAccept(Sock listener, Addr* from, int send_timeout_ms);
// Connects to `to`, giving up after timeout_ms.
Sock TcpConnect(const Addr& to, int timeout_ms, int send_timeout_ms);
// UDP socket bound to ip:port (port 0: any).
Sock UdpBind(const Addr& at);

// Writes all of buf (blocking); the count written or -1.
int SendAll(Sock s, const void* buf, std::size_t len);
// One read of what is available: >0 bytes, 0 = orderly close, -1 error.
int RecvSome(Sock s, void* buf, std::size_t cap);
int SendTo(Sock s, const void* buf, std::size_t len, const Addr& to);
// One datagram; *truncated is set when it was longer than cap. -1 when none
// is waiting or on error.
int RecvFrom(Sock s, void* buf, std::size_t cap, Addr* from, bool* truncated);

bool LocalAddr(Sock s, Addr* out);
void Shutdown(Sock s);
void Close(Sock s);

struct PollItem {
    Sock sock = kBadSock;
    bool readable = false;  // out
};
// Waits until one of the sockets is readable (or has an error or hang-up),
// at most timeout_ms (-1: no limit). Returns the number ready, 0 on time-out,
// -1 on error.
int Poll(PollItem* items, std::size_t n, int timeout_ms);

int LastError();  // the socket error of the last failed call

// Resolves a host name or dotted address to IPv4.
bool Resolve(const char* host, uint32_t* ip_be);

// The caller-visible last-error code of the current thread (GetLastError
// on Windows, a thread-local variable elsewhere).
void SetThreadError(uint32_t code);
uint32_t ThreadError();

// The value of an environment variable of this process; false when unset
// or longer than cap - 1 bytes.
bool EnvVar(const char* name, char* buf, std::size_t cap);

// Milliseconds from a monotonic clock.
uint64_t NowMs();

// Where the library's log lines go unless the program names a function:
// the debugger output on Windows, standard error elsewhere.
void DefaultLog(const char* line);

}  // namespace qv::link::net
