// linkcore: packet endpoints over TCP/IP and over IPX carried as UDP.
//
// An endpoint is a listening TCP socket (or one UDP socket for the IPX
// form), a small "wake" UDP socket bound to the loopback address, and, for
// TCP, the list of connections accepted so far. All the waiting happens in
// RecvPacket, on the caller's receiving thread: it polls the listener, every
// connection and the wake socket together, accepts new callers, reads what
// has arrived into each connection's FrameReader and hands out one whole
// packet at a time. Because every connection is watched at once, a caller
// that connects and says nothing, stops half-way through a frame or sends
// garbage holds up nobody: it is dropped (garbage at once, silence after a
// time-out) and the others go on.
//
// One peer at a time: the first caller whose packet is handed out becomes
// the current peer, and from then on only its packets are handed out, until
// the program calls ResetSession or AcceptAnyCaller or the peer's connection
// is gone. Other callers wait: their packets stay in their readers (and, once
// a reader is full, in the system's socket buffers), nothing of theirs is
// handed out in between, and when the current peer goes the caller connected
// longest ago with a packet waiting is next. A waiting caller that hangs up
// is dropped with what it sent. The datagram form has no connections: while
// its current peer has been heard within the idle time, datagrams of other
// callers are discarded unanswered (their resends get through later).
//
// Other threads only send. SendPacket takes a reference to the current
// peer's connection under the endpoint's lock and writes the whole frame
// under that connection's own send lock, so frames of concurrent senders
// never interleave and a connection dropped meanwhile stays a valid socket
// until the last user lets go of it (shared_ptr). A send that fails or times
// out may have written part of a frame; the peer's framing would be out of
// step, so that connection is dropped. DeinitProtocol marks the endpoint
// closed and sends one byte to its wake socket, which ends a RecvPacket
// blocked on another thread with LC_ERR_INACTIVE.
//
// Handles are small counters, never 0 and never reused within a process, so
// a stale handle is simply "no longer active".
//
// Keyed sessions (keyed.h): an endpoint opened while a site key is set runs
// the handshake with every caller before anything of it is handed out. A
// TCP connection's first frame must be a hello proving the key, or the
// connection is closed unanswered; ReadConn answers it as soon as it is
// whole, for waiting callers too, so their handshake does not wait for the
// current peer to go. A datagram caller's hello is answered from its
// entry in a small table of callers (a repeated hello gets the same
// answer); the caller's first record that opens under the new keys makes
// them its session. Records that do not open are dropped and counted. A
// hello whose nonce the endpoint has answered lately (other than a
// datagram caller's resend) is a replay and gets no answer.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "contracts/transport.h"
#include "libs/linkcore/framing.h"
#include "libs/linkcore/internal.h"
#include "libs/linkcore/keyed.h"
#include "libs/linkcore/net.h"

namespace qv::link {
namespace {

std::atomic<uint32_t> g_silent_ms{30000};
std::atomic<uint32_t> g_stall_ms{10000};
std::atomic<uint32_t> g_send_ms{10000};
std::atomic<uint32_t> g_udp_idle_ms{kDatagramPeerIdleMs};
constexpr int kAddressBytes = 6;
// Datagram callers whose handshake state an endpoint keeps; the one heard
// longest ago (other than the current peer) makes room for a new one.
constexpr std::size_t kMaxDatagramCallers = 64;
// Caller nonces of the hellos an endpoint answered last: a hello repeating
// one (recorded and replayed by someone without the key) gets no answer.
constexpr std::size_t kRememberedHellos = 1024;

struct Conn {
    net::Sock sock = net::kBadSock;
    net::Addr addr;
    FrameReader rx;
    uint64_t connected_ms = 0;
    uint64_t partial_since_ms = 0;
    bool spoke = false;   // a whole packet has arrived
    std::mutex send_mu;
    bool broken = false;  // a send failed part-way (guarded by send_mu)
    // Keyed endpoints: set once the caller's hello was answered (under
    // send_mu; read without it only by the receiving thread).
    std::unique_ptr<keyed::Session> session;
    ~Conn() { net::Close(sock); }
};
using ConnPtr = std::shared_ptr<Conn>;
using SessionPtr = std::shared_ptr<keyed::Session>;

// A keyed datagram endpoint's state for one caller address.
struct DatagramCaller {
    uint8_t hello[keyed::kHelloBytes] = {};   // the last hello answered
    uint8_t answer[keyed::kHelloBytes] = {};  // and its answer, for a repeated hello
    SessionPtr pending;  // keys of that answer, until a record opens under them
    SessionPtr live;     // the keys the caller's records open under
    uint64_t heard_ms = 0;
};

uint64_t AddrKey(const net::Addr& a) { return static_cast<uint64_t>(a.ip_be) << 16 | a.port; }

class Endpoint {
public:
    ~Endpoint() {
        net::Close(main_);
        net::Close(wake_);
    }

    bool Open(bool tcp, uint16_t port) {
        tcp_ = tcp;
        keyed_ = keyed::CurrentSiteKey(&key_);
        main_ = tcp ? net::TcpListen(net::Addr{0, port}) : net::UdpBind(net::Addr{0, port});
        if (main_ == net::kBadSock) return false;
        wake_ = net::UdpBind(net::Addr{Loopback(), 0});
        return wake_ != net::kBadSock && net::LocalAddr(wake_, &wake_addr_);
    }

    void Close() {
        closed_ = true;
        uint8_t b = 0;
        net::SendTo(wake_, &b, 1, wake_addr_);
    }

    int Recv(void* buffer, int capacity);
    int Send(const void* buffer, int length);

    void Reset() {
        std::lock_guard<std::mutex> lock(mu_);
        if (current_) {
            net::Shutdown(current_->sock);
            RemoveLocked(current_);
        }
        ForgetPeerLocked();
    }
    void AcceptAny() {
        std::lock_guard<std::mutex> lock(mu_);
        ForgetPeerLocked();
    }
    bool Active() {
        std::lock_guard<std::mutex> lock(mu_);
        return tcp_ ? current_ != nullptr : has_udp_peer_;
    }
    bool RemoteAddr(net::Addr* out) {
        std::lock_guard<std::mutex> lock(mu_);
        if (tcp_ && current_) *out = current_->addr;
        else if (!tcp_ && has_udp_peer_) *out = udp_peer_;
        else return false;
        return true;
    }
    bool LocalAddr(net::Addr* out) {
        ConnPtr c;
        {
            std::lock_guard<std::mutex> lock(mu_);
            c = current_;
        }
        return net::LocalAddr(c ? c->sock : main_, out);
    }
    void SetBlocking(bool on) { blocking_ = on; }
    bool closed() const { return closed_; }

private:
    static uint32_t Loopback() {
        const uint8_t b[4] = {127, 0, 0, 1};
        uint32_t v;
        std::memcpy(&v, b, 4);
        return v;
    }
    void RemoveLocked(const ConnPtr& c) {
        conns_.erase(std::remove(conns_.begin(), conns_.end(), c), conns_.end());
        if (current_ == c) ForgetPeerLocked();
    }
    // No current peer any more: every connection is watched afresh, so a
    // caller that waited is not taken for silent because it waited.
    void ForgetPeerLocked() {
        if (current_) released_ms_ = net::NowMs();
        current_.reset();
        has_udp_peer_ = false;
    }
    bool HasCurrent() {
        std::lock_guard<std::mutex> lock(mu_);
        return current_ != nullptr;
    }
    void Drop(const ConnPtr& c) {
        std::lock_guard<std::mutex> lock(mu_);
        RemoveLocked(c);
    }
    void AcceptAll(uint64_t now);
    bool ReadConn(const ConnPtr& c, uint64_t now);
    bool FreshHelloLocked(const uint8_t nc[keyed::kNonceBytes]);
    bool AnswerHello(const ConnPtr& c);
    void AnswerDatagramHello(const net::Addr& from, const uint8_t* msg, std::size_t len);
    bool OpenDatagram(const net::Addr& from, const uint8_t* msg, std::size_t len, uint8_t* out, std::size_t* out_len);
    int SendDatagram(const void* buffer, int length);
    int TakeBuffered(void* buffer, int capacity);
    int TakeFrom(const ConnPtr& c, void* buffer, int capacity);
    int TakeDatagram(void* buffer, int capacity);
    void ExpireSilent(uint64_t now);

    bool tcp_ = true;
    bool keyed_ = false;
    keyed::SiteKey key_;
    net::Sock main_ = net::kBadSock;
    net::Sock wake_ = net::kBadSock;
    net::Addr wake_addr_;
    std::atomic<bool> closed_{false};
    std::atomic<bool> blocking_{false};

    std::mutex mu_;  // guards conns_, current_, udp peer
    std::vector<ConnPtr> conns_;
    ConnPtr current_;
    uint64_t released_ms_ = 0;  // when the last current peer was let go
    net::Addr udp_peer_;
    bool has_udp_peer_ = false;
    uint64_t udp_heard_ms_ = 0;  // when the datagram peer was last heard
    std::map<uint64_t, DatagramCaller> dcallers_;  // keyed datagram callers by address
    std::set<std::array<uint8_t, keyed::kNonceBytes>> hellos_seen_;  // the last kRememberedHellos
    std::deque<std::array<uint8_t, keyed::kNonceBytes>> hellos_order_;
};

bool Endpoint::FreshHelloLocked(const uint8_t nc[keyed::kNonceBytes]) {
    std::array<uint8_t, keyed::kNonceBytes> n;
    std::memcpy(n.data(), nc, n.size());
    if (!hellos_seen_.insert(n).second) return false;
    hellos_order_.push_back(n);
    if (hellos_order_.size() > kRememberedHellos) {
        hellos_seen_.erase(hellos_order_.front());
        hellos_order_.pop_front();
    }
    return true;
}

void Endpoint::AcceptAll(uint64_t now) {
    for (;;) {
        net::Addr from;
        net::Sock s = net::TcpAccept(main_, &from, static_cast<int>(g_send_ms.load()));
        if (s == net::kBadSock) return;
        auto c = std::make_shared<Conn>();
        c->sock = s;
        c->addr = from;
        c->connected_ms = now;
        if (keyed_) c->rx.SetMaxLength(keyed::kMaxRecord);
        std::lock_guard<std::mutex> lock(mu_);
        if (static_cast<int>(conns_.size()) >= kMaxConnections) {
            for (const ConnPtr& old : conns_) {
                if (old != current_) {
                    RemoveLocked(old);
                    break;
                }
            }
        }
        conns_.push_back(std::move(c));
    }
}

// Reads what the connection has; false when it is to be dropped.
bool Endpoint::ReadConn(const ConnPtr& c, uint64_t now) {
    uint8_t* room = c->rx.Room();
    std::size_t n = c->rx.RoomSize();
    if (n == 0) return true;  // whole packets are waiting to be taken first
    int got = net::RecvSome(c->sock, room, n);
    if (got <= 0) return false;  // closed, reset, or mid-frame disconnect
    bool was_partial = c->rx.Partial();
    c->rx.Commit(static_cast<std::size_t>(got));
    if (!was_partial) c->partial_since_ms = now;
    if (keyed_ && !c->session && !AnswerHello(c)) return false;
    if (c->rx.HasPacket()) c->spoke = true;
    return true;
}

// A keyed connection's first frame, once whole: a hello proving the key is
// answered and gives the connection its session; anything else drops the
// connection without a word. False when it is to be dropped.
bool Endpoint::AnswerHello(const ConnPtr& c) {
    if (!c->rx.HasPacket()) return true;
    const uint8_t* msg = nullptr;
    std::size_t len = 0;
    uint8_t nc[keyed::kNonceBytes], ns[keyed::kNonceBytes], answer[keyed::kHelloBytes];
    bool fresh = false;
    if (c->rx.Next(&msg, &len) == FrameReader::Result::kPacket && keyed::CheckHello(key_, msg, len, nc)) {
        std::lock_guard<std::mutex> lock(mu_);
        fresh = FreshHelloLocked(nc);
    }
    if (!fresh) {
        keyed::CountDrop();
        return false;
    }
    uint8_t hello[keyed::kHelloBytes];
    std::memcpy(hello, msg, sizeof hello);
    auto session = std::make_unique<keyed::Session>(keyed::Session::Role::kEndpoint, true);
    if (!crypto::Random(ns, sizeof ns) || !keyed::MakeAnswer(key_, hello, ns, answer) ||
        !session->Init(key_, nc, ns))
        return false;
    std::vector<uint8_t> frame;
    EncodeFrame(answer, sizeof answer, &frame);
    std::lock_guard<std::mutex> lock(c->send_mu);
    if (net::SendAll(c->sock, frame.data(), frame.size()) != static_cast<int>(frame.size())) return false;
    c->session = std::move(session);
    c->partial_since_ms = net::NowMs();
    return true;
}

void Endpoint::AnswerDatagramHello(const net::Addr& from, const uint8_t* msg, std::size_t len) {
    uint8_t nc[keyed::kNonceBytes], ns[keyed::kNonceBytes];
    if (!keyed::CheckHello(key_, msg, len, nc)) {
        keyed::CountDrop();
        return;
    }
    uint8_t answer[keyed::kHelloBytes];
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = dcallers_.find(AddrKey(from));
        if (it != dcallers_.end() && std::memcmp(it->second.hello, msg, keyed::kHelloBytes) == 0) {
            // The caller resent its hello (our answer was lost, or is late):
            // the same answer again, so both ends keep the same keys.
            std::memcpy(answer, it->second.answer, sizeof answer);
        } else {
            if (!FreshHelloLocked(nc)) {
                keyed::CountDrop();
                return;
            }
            auto session = std::make_shared<keyed::Session>(keyed::Session::Role::kEndpoint, false);
            if (!crypto::Random(ns, sizeof ns) || !keyed::MakeAnswer(key_, msg, ns, answer) ||
                !session->Init(key_, nc, ns))
                return;
            if (it == dcallers_.end()) {
                if (dcallers_.size() >= kMaxDatagramCallers) {
                    auto oldest = dcallers_.end();
                    for (auto o = dcallers_.begin(); o != dcallers_.end(); ++o) {
                        if (has_udp_peer_ && o->first == AddrKey(udp_peer_)) continue;
                        if (oldest == dcallers_.end() || o->second.heard_ms < oldest->second.heard_ms) oldest = o;
                    }
                    if (oldest != dcallers_.end()) dcallers_.erase(oldest);
                }
                it = dcallers_.emplace(AddrKey(from), DatagramCaller{}).first;
            }
            // A new hello leaves the running session alone until a record
            // proves the caller holds the new keys: a replayed hello
            // cannot break a session.
            std::memcpy(it->second.hello, msg, keyed::kHelloBytes);
            std::memcpy(it->second.answer, answer, sizeof answer);
            it->second.pending = std::move(session);
        }
        it->second.heard_ms = net::NowMs();
    }
    net::SendTo(main_, answer, sizeof answer, from);
}

// Opens a keyed datagram under the sender's session (or the keys of its
// last answered hello, which then become its session). False to drop it.
bool Endpoint::OpenDatagram(const net::Addr& from, const uint8_t* msg, std::size_t len, uint8_t* out,
                            std::size_t* out_len) {
    SessionPtr live, pending;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = dcallers_.find(AddrKey(from));
        if (it == dcallers_.end()) return false;
        live = it->second.live;
        pending = it->second.pending;
    }
    if (live && live->Open(msg, len, out, out_len)) return true;
    if (!pending || !pending->Open(msg, len, out, out_len)) return false;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = dcallers_.find(AddrKey(from));
    if (it != dcallers_.end() && it->second.pending == pending) {
        it->second.live = std::move(it->second.pending);
        it->second.heard_ms = net::NowMs();
    }
    return true;
}

// Hands out one whole packet already read: the current peer's, or, with
// none, the first waiting in the connections' order (the caller connected
// longest ago), whose sender becomes the current peer. Returns the length,
// 0 when none is waiting.
int Endpoint::TakeBuffered(void* buffer, int capacity) {
    ConnPtr current;
    std::vector<ConnPtr> waiting;
    {
        std::lock_guard<std::mutex> lock(mu_);
        current = current_;
        if (!current) waiting = conns_;
    }
    if (current) return TakeFrom(current, buffer, capacity);
    for (const ConnPtr& c : waiting) {
        if (int n = TakeFrom(c, buffer, capacity)) return n;
    }
    return 0;
}

int Endpoint::TakeFrom(const ConnPtr& c, void* buffer, int capacity) {
    for (;;) {
        const uint8_t* data = nullptr;
        std::size_t len = 0;
        FrameReader::Result r = c->rx.Next(&data, &len);
        if (r == FrameReader::Result::kNeedMore) return 0;
        if (r == FrameReader::Result::kMalformed) {
            Drop(c);
            return 0;
        }
        c->partial_since_ms = net::NowMs();
        uint8_t plain[kMaxPacket];
        if (keyed_) {
            if (!c->session || !c->session->Open(data, len, plain, &len)) {
                keyed::CountDrop();
                continue;
            }
            data = plain;
        }
        if (len > static_cast<std::size_t>(capacity)) continue;  // never truncated: discarded
        std::lock_guard<std::mutex> lock(mu_);
        if (std::find(conns_.begin(), conns_.end(), c) == conns_.end()) return 0;  // reset meanwhile
        std::memcpy(buffer, data, len);
        current_ = c;
        return static_cast<int>(len);
    }
}

int Endpoint::TakeDatagram(void* buffer, int capacity) {
    uint8_t dgram[keyed::kMaxRecord + 1];
    uint8_t plain[kMaxPacket];
    for (;;) {
        net::Addr from;
        bool truncated = false;
        int n = net::RecvFrom(main_, dgram, sizeof dgram, &from, &truncated);
        if (n < 0) return 0;
        const uint8_t* data = dgram;
        if (keyed_ && n > 0) {
            if (truncated) {
                keyed::CountDrop();
                continue;
            }
            if (dgram[0] != keyed::kRecord) {
                AnswerDatagramHello(from, dgram, static_cast<std::size_t>(n));
                continue;
            }
            std::size_t len = 0;
            if (!OpenDatagram(from, dgram, static_cast<std::size_t>(n), plain, &len)) {
                keyed::CountDrop();
                continue;
            }
            data = plain;
            n = static_cast<int>(len);
        }
        if (truncated || n == 0 || n > static_cast<int>(kMaxPacket) || n > capacity) continue;
        const uint64_t now = net::NowMs();
        std::lock_guard<std::mutex> lock(mu_);
        const bool same = from.ip_be == udp_peer_.ip_be && from.port == udp_peer_.port;
        if (has_udp_peer_ && !same && now - udp_heard_ms_ < g_udp_idle_ms) continue;  // another caller: not now
        std::memcpy(buffer, data, static_cast<std::size_t>(n));
        udp_peer_ = from;
        has_udp_peer_ = true;
        udp_heard_ms_ = now;
        return n;
    }
}

void Endpoint::ExpireSilent(uint64_t now) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<ConnPtr> dead;
    for (const ConnPtr& c : conns_) {
        // Silence counts from the connect, or from when the endpoint was
        // last let go by a peer (a caller that waited was not heard).
        // (Either may be later than `now`, taken before this round's reads.)
        const uint64_t since = std::max(c->connected_ms, released_ms_);
        bool silent = !c->spoke && !c->rx.Partial() && now > since && now - since > g_silent_ms;
        bool stalled = c->rx.Partial() && !c->rx.HasPacket() && now > c->partial_since_ms &&
                       now - c->partial_since_ms > g_stall_ms;
        if (silent || stalled) dead.push_back(c);
    }
    for (const ConnPtr& c : dead) RemoveLocked(c);
}

int Endpoint::Recv(void* buffer, int capacity) {
    // With no current peer, every connection is read once before a packet is
    // handed out, so that a waiting caller that has hung up meanwhile is
    // dropped with its packets instead of becoming the peer.
    bool fresh = false;
    for (;;) {
        if (closed_) {
            net::SetThreadError(LC_ERR_INACTIVE);
            return 0;
        }
        if (tcp_ && (fresh || HasCurrent())) {
            if (int n = TakeBuffered(buffer, capacity)) {
                net::SetThreadError(0);
                return n;
            }
        }
        if (fresh && !blocking_) {
            net::SetThreadError(0);
            return 0;
        }
        std::vector<ConnPtr> watched;
        {
            std::lock_guard<std::mutex> lock(mu_);
            // A reader that is full holds whole packets of a waiting caller:
            // the rest stays in the system's buffers until they are taken.
            for (const ConnPtr& c : conns_)
                if (c->rx.RoomSize() > 0) watched.push_back(c);
        }
        std::vector<net::PollItem> items;
        items.push_back({wake_});
        items.push_back({main_});
        for (const ConnPtr& c : watched) items.push_back({c->sock});
        // Wake up now and then even in a blocking wait, to drop silent peers.
        int timeout = fresh && blocking_ ? 500 : 0;
        int rc = net::Poll(items.data(), items.size(), timeout);
        fresh = true;
        if (closed_) continue;
        uint64_t now = net::NowMs();
        if (rc > 0) {
            if (items[0].readable) {
                uint8_t drain[16];
                net::Addr from;
                while (net::RecvFrom(wake_, drain, sizeof drain, &from, nullptr) >= 0) {
                }
            }
            if (!tcp_ && items[1].readable) {
                if (int n = TakeDatagram(buffer, capacity)) {
                    net::SetThreadError(0);
                    return n;
                }
            }
            if (tcp_ && items[1].readable) AcceptAll(now);
            for (std::size_t i = 0; i < watched.size(); ++i) {
                if (items[i + 2].readable && !ReadConn(watched[i], now)) Drop(watched[i]);
            }
        }
        ExpireSilent(now);
    }
}

int Endpoint::Send(const void* buffer, int length) {
    if (length <= 0 || static_cast<std::size_t>(length) > kMaxPacket || !buffer) {
        net::SetThreadError(LC_ERR_SIZE);
        return 0;
    }
    if (!tcp_) return SendDatagram(buffer, length);
    ConnPtr c;
    {
        std::lock_guard<std::mutex> lock(mu_);
        c = current_;
    }
    if (!c) {
        net::SetThreadError(LC_ERR_NO_PEER);
        return 0;
    }
    std::vector<uint8_t> frame;
    frame.reserve(kFrameHeader + keyed::kMaxRecord);
    std::unique_lock<std::mutex> lock(c->send_mu);
    if (c->broken) {
        net::SetThreadError(LC_ERR_NO_PEER);
        return 0;
    }
    // Sealed under the send lock, so that records go out in counter order.
    uint8_t sealed[keyed::kMaxRecord];
    std::size_t sealed_len = 0;
    if (keyed_ && (!c->session || !c->session->Seal(static_cast<const uint8_t*>(buffer),
                                                    static_cast<std::size_t>(length), sealed, &sealed_len))) {
        // The session has sealed all it may: the caller must start anew.
        c->broken = true;
        net::Shutdown(c->sock);
        lock.unlock();
        Drop(c);
        net::SetThreadError(LC_ERR_NO_PEER);
        return 0;
    }
    if (keyed_) EncodeFrame(sealed, sealed_len, &frame);
    else EncodeFrame(buffer, static_cast<std::size_t>(length), &frame);
    if (net::SendAll(c->sock, frame.data(), frame.size()) != static_cast<int>(frame.size())) {
        // Part of the frame may be on its way: the peer could never find
        // the next frame's start, so the connection is given up.
        const uint32_t err = static_cast<uint32_t>(net::LastError());
        c->broken = true;
        net::Shutdown(c->sock);
        lock.unlock();
        Drop(c);
        net::SetThreadError(err ? err : LC_ERR_NO_PEER);
        return 0;
    }
    return 1;
}

int Endpoint::SendDatagram(const void* buffer, int length) {
    net::Addr to;
    SessionPtr session;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!has_udp_peer_) {
            net::SetThreadError(LC_ERR_NO_PEER);
            return 0;
        }
        to = udp_peer_;
        if (keyed_) {
            auto it = dcallers_.find(AddrKey(to));
            if (it != dcallers_.end()) session = it->second.live;
        }
    }
    const uint8_t* out = static_cast<const uint8_t*>(buffer);
    std::size_t out_len = static_cast<std::size_t>(length);
    uint8_t sealed[keyed::kMaxRecord];
    if (keyed_) {
        if (!session || !session->Seal(out, out_len, sealed, &out_len)) {
            // No session, or it has sealed all it may: the caller's next
            // hello starts a new one.
            std::lock_guard<std::mutex> lock(mu_);
            auto it = dcallers_.find(AddrKey(to));
            if (it != dcallers_.end() && it->second.live == session) it->second.live.reset();
            net::SetThreadError(LC_ERR_NO_PEER);
            return 0;
        }
        out = sealed;
    }
    if (net::SendTo(main_, out, out_len, to) != static_cast<int>(out_len)) {
        net::SetThreadError(static_cast<uint32_t>(net::LastError()));
        return 0;
    }
    return 1;
}

// The table of open endpoints.
std::mutex g_table_mu;
std::map<LinkHandle, std::shared_ptr<Endpoint>> g_table;
LinkHandle g_next = 1;

std::shared_ptr<Endpoint> Find(LinkHandle h) {
    std::lock_guard<std::mutex> lock(g_table_mu);
    auto it = g_table.find(h);
    if (it == g_table.end()) {
        net::SetThreadError(LC_ERR_INACTIVE);
        return nullptr;
    }
    return it->second;
}

LinkHandle Open(bool tcp, uint16_t port) {
    if (!net::Startup()) {
        net::SetThreadError(LC_ERR_OPEN);
        return 0;
    }
    auto ep = std::make_shared<Endpoint>();
    if (!ep->Open(tcp, port)) {
        int err = net::LastError();
        net::SetThreadError(err ? static_cast<uint32_t>(err) : LC_ERR_OPEN);
        return 0;
    }
    std::lock_guard<std::mutex> lock(g_table_mu);
    LinkHandle h = g_next++;
    if (g_next == 0) g_next = 1;
    g_table[h] = std::move(ep);
    net::SetThreadError(0);
    return h;
}

int PutAddress(const net::Addr& a, void* buffer, int* size) {
    if (!buffer || !size || *size < kAddressBytes) {
        if (size) *size = 0;
        net::SetThreadError(LC_ERR_BUFFER);
        return 0;
    }
    auto* p = static_cast<uint8_t*>(buffer);
    std::memcpy(p, &a.ip_be, 4);
    p[4] = static_cast<uint8_t>(a.port >> 8);
    p[5] = static_cast<uint8_t>(a.port & 0xFF);
    *size = kAddressBytes;
    return 1;
}

}  // namespace

uint32_t PortOffset() {
    char v[16];
    if (!net::EnvVar("LINKCORE_PORT_OFFSET", v, sizeof v) || !v[0]) return 0;
    uint32_t n = 0;
    for (const char* p = v; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + static_cast<uint32_t>(*p - '0');
        if (n > 49151) return 0;
    }
    return n;
}

bool OffsetPort(uint32_t port, uint16_t* out) {
    if (port == 0) {  // any free port: nothing to shift
        *out = 0;
        return true;
    }
    const uint32_t p = port + PortOffset();
    if (port > 0xFFFF || p > 0xFFFF) return false;
    *out = static_cast<uint16_t>(p);
    return true;
}

void SetPeerTimeouts(uint32_t silent_ms, uint32_t stall_ms) {
    g_silent_ms = silent_ms;
    g_stall_ms = stall_ms;
}

void SetSendTimeout(uint32_t send_ms) { g_send_ms = send_ms; }

void SetDatagramPeerIdle(uint32_t idle_ms) { g_udp_idle_ms = idle_ms; }

}  // namespace qv::link

using namespace qv::link;

LINKCORE_API uint16_t LinkIpxSocketToUdpPort(uint32_t socket) {
    return static_cast<uint16_t>(0x4000 + (socket & 0x3FFF));
}

LINKCORE_API LinkHandle InitIPXSession(uint32_t, uint32_t socket, uint32_t) {
    uint16_t port = 0;
    if (!OffsetPort(LinkIpxSocketToUdpPort(socket), &port)) {
        net::SetThreadError(LC_ERR_OPEN);
        return 0;
    }
    return Open(false, port);
}

LINKCORE_API LinkHandle InitTCPIPSession(uint32_t, uint32_t port, uint32_t, uint32_t) {
    uint16_t shifted = 0;
    if (!OffsetPort(port, &shifted)) {
        net::SetThreadError(LC_ERR_OPEN);
        return 0;
    }
    return Open(true, shifted);
}

LINKCORE_API int SetBlocking(LinkHandle h, int blocking) {
    auto ep = Find(h);
    if (!ep) return 0;
    ep->SetBlocking(blocking != 0);
    return 1;
}

LINKCORE_API int RecvPacket(LinkHandle h, void* buffer, int capacity) {
    auto ep = Find(h);
    if (!ep) return 0;
    if (!buffer || capacity <= 0) {
        net::SetThreadError(LC_ERR_SIZE);
        return 0;
    }
    return ep->Recv(buffer, capacity);
}

LINKCORE_API int SendPacket(LinkHandle h, const void* buffer, int length) {
    auto ep = Find(h);
    return ep ? ep->Send(buffer, length) : 0;
}

LINKCORE_API int ResetSession(LinkHandle h, uint32_t) {
    auto ep = Find(h);
    if (!ep) return 0;
    ep->Reset();
    return 1;
}

LINKCORE_API int AcceptAnyCaller(LinkHandle h) {
    auto ep = Find(h);
    if (!ep) return 0;
    ep->AcceptAny();
    return 1;
}

LINKCORE_API int IsSessionActive(LinkHandle h) {
    auto ep = Find(h);
    return ep && ep->Active() ? 1 : 0;
}

LINKCORE_API int GetRemoteName(LinkHandle h, void* buffer, int* size) {
    auto ep = Find(h);
    if (!ep) return 0;
    net::Addr a;
    if (!ep->RemoteAddr(&a)) {
        if (size) *size = 0;
        net::SetThreadError(LC_ERR_NO_PEER);
        return 0;
    }
    return PutAddress(a, buffer, size);
}

LINKCORE_API int GetLocalName(LinkHandle h, void* buffer, int* size) {
    auto ep = Find(h);
    if (!ep) return 0;
    net::Addr a;
    if (!ep->LocalAddr(&a)) {
        net::SetThreadError(static_cast<uint32_t>(net::LastError()));
        return 0;
    }
    return PutAddress(a, buffer, size);
}

LINKCORE_API int DeinitProtocol(LinkHandle h) {
    std::shared_ptr<Endpoint> ep;
    {
        std::lock_guard<std::mutex> lock(g_table_mu);
        auto it = g_table.find(h);
        if (it == g_table.end()) {
            net::SetThreadError(LC_ERR_INACTIVE);
            return 0;
        }
        ep = std::move(it->second);
        g_table.erase(it);
    }
    ep->Close();  // sockets close when the last thread using it lets go
    return 1;
}

LINKCORE_API uint32_t LinkGetLastError(void) { return net::ThreadError(); }

LINKCORE_API int LinkSetSiteKey(const uint8_t* key, uint32_t len) {
    if ((key && len != 0 && len != LC_SITE_KEY_BYTES) || !keyed::SetSiteKey(len ? key : nullptr)) {
        net::SetThreadError(LC_ERR_KEY);
        return 0;
    }
    net::SetThreadError(0);
    return 1;
}

LINKCORE_API uint32_t LinkGetDroppedPackets(void) { return keyed::DroppedPackets(); }

LINKCORE_API void LinkSetLogFunction(LinkLogFunction fn) { keyed::SetLogFunction(fn); }
