// The scripted socket layer of the transport fuzz target (see net_script.h).
#include "libs/linkcore/fuzz/net_script.h"

#include <algorithm>
#include <cstring>

namespace qv::link {
namespace script {

World& TheWorld() {
    static World world;
    return world;
}

void Reset() { TheWorld() = World{}; }

}  // namespace script

namespace net {
namespace {

using script::TheWorld;
thread_local uint32_t t_error = 0;
int g_last = 0;

script::Connection* Conn(Sock s) {
    auto it = TheWorld().conns.find(s);
    return it == TheWorld().conns.end() || it->second.closed ? nullptr : &it->second;
}

}  // namespace

bool Startup() { return true; }

Sock TcpListen(const Addr&) { return TheWorld().listener = TheWorld().next++; }

Sock TcpAccept(Sock listener, Addr* from, int) {
    auto& w = TheWorld();
    if (listener != w.listener || w.waiting.empty()) return kBadSock;
    const Sock s = w.waiting.front();
    w.waiting.pop_front();
    w.conns[s].accepted = true;
    *from = w.conns[s].from;
    return s;
}

Sock TcpConnect(const Addr&, int, int) { return kBadSock; }

Sock UdpBind(const Addr& at) {
    auto& w = TheWorld();
    const Sock s = w.next++;
    if (at.ip_be != 0) w.wake = s;  // the loopback wake socket
    else w.udp = s;
    return s;
}

int SendAll(Sock s, const void* buf, std::size_t len) {
    script::Connection* c = Conn(s);
    if (!c || c->reset) return g_last = 104, -1;
    const auto* p = static_cast<const uint8_t*>(buf);
    if (c->send_fails) {
        c->received.insert(c->received.end(), p, p + len / 2);  // part of it went out
        return g_last = 110, -1;
    }
    c->received.insert(c->received.end(), p, p + len);
    return static_cast<int>(len);
}

int RecvSome(Sock s, void* buf, std::size_t cap) {
    script::Connection* c = Conn(s);
    if (!c || c->reset) return g_last = 104, -1;
    if (c->chunks.empty()) return c->hung_up ? 0 : (g_last = 11, -1);
    std::vector<uint8_t>& chunk = c->chunks.front();
    const std::size_t n = std::min(cap, chunk.size());
    std::memcpy(buf, chunk.data(), n);
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    if (chunk.empty()) c->chunks.pop_front();
    return static_cast<int>(n);
}

int SendTo(Sock s, const void* buf, std::size_t len, const Addr& to) {
    auto& w = TheWorld();
    if (s == w.wake) {
        ++w.wake_bytes;
    } else {
        const auto* p = static_cast<const uint8_t*>(buf);
        w.sent_datagrams.emplace_back(to, std::vector<uint8_t>(p, p + len));
    }
    return static_cast<int>(len);
}

int RecvFrom(Sock s, void* buf, std::size_t cap, Addr* from, bool* truncated) {
    auto& w = TheWorld();
    if (s == w.wake) {
        if (w.wake_bytes == 0) return -1;
        --w.wake_bytes;
        return 1;
    }
    if (s != w.udp || w.datagrams.empty()) return g_last = 11, -1;
    script::Datagram d = std::move(w.datagrams.front());
    w.datagrams.pop_front();
    const std::size_t n = std::min(cap, d.bytes.size());
    if (n) std::memcpy(buf, d.bytes.data(), n);
    if (truncated) *truncated = d.truncated || d.bytes.size() > cap;
    *from = d.from;
    w.last_datagram.assign(d.bytes.begin(), d.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    w.last_from = d.from;
    return static_cast<int>(n);
}

bool LocalAddr(Sock, Addr* out) {
    *out = Addr{0x0100007F, 1761};
    return true;
}

void Shutdown(Sock s) {
    if (script::Connection* c = Conn(s)) c->hung_up = true;
}

void Close(Sock s) {
    auto it = TheWorld().conns.find(s);
    if (it != TheWorld().conns.end()) it->second.closed = true;
}

int Poll(PollItem* items, std::size_t n, int) {
    auto& w = TheWorld();
    int ready = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Sock s = items[i].sock;
        bool r = false;
        if (s == w.wake) r = w.wake_bytes > 0;
        else if (s == w.listener) r = !w.waiting.empty();
        else if (s == w.udp) r = !w.datagrams.empty();
        else if (script::Connection* c = Conn(s)) r = !c->chunks.empty() || c->hung_up || c->reset;
        items[i].readable = r;
        ready += r ? 1 : 0;
    }
    return ready;
}

int LastError() { return g_last; }
bool Resolve(const char*, uint32_t* ip_be) {
    *ip_be = 0x0100007F;
    return true;
}
void SetThreadError(uint32_t code) { t_error = code; }
uint32_t ThreadError() { return t_error; }
bool EnvVar(const char*, char*, std::size_t) { return false; }
uint64_t NowMs() { return TheWorld().now; }
void DefaultLog(const char*) {}

}  // namespace net
}  // namespace qv::link
