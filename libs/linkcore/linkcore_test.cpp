// Tests of linkcore on the host: frames, endpoints and peers over loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "contracts/transport.h"
#include "libs/linkcore/client.h"
#include "libs/linkcore/framing.h"
#include "libs/linkcore/internal.h"
#include "libs/linkcore/net.h"

namespace qv::link {
namespace {

uint32_t htonl_loopback() {
    const uint8_t b[4] = {127, 0, 0, 1};
    uint32_t v;
    std::memcpy(&v, b, 4);
    return v;
}

std::string Str(const uint8_t* p, std::size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

// ---- frames -------------------------------------------------------------

void Feed(FrameReader& r, const std::vector<uint8_t>& bytes) {
    ASSERT_LE(bytes.size(), r.RoomSize());
    std::memcpy(r.Room(), bytes.data(), bytes.size());
    r.Commit(bytes.size());
}

TEST(Framing, EncodesLengthLittleEndian) {
    std::vector<uint8_t> out;
    std::string p(300, 'x');
    EncodeFrame(p.data(), p.size(), &out);
    ASSERT_EQ(out.size(), 302u);
    EXPECT_EQ(out[0], 0x2C);
    EXPECT_EQ(out[1], 0x01);
}

TEST(Framing, ByteByByteAndSeveralFramesInOneRead) {
    std::vector<uint8_t> wire;
    EncodeFrame("abc", 3, &wire);
    EncodeFrame("0123456789", 10, &wire);
    FrameReader r;
    std::vector<std::string> got;
    for (uint8_t b : wire) {
        Feed(r, {b});
        const uint8_t* d;
        std::size_t n;
        while (r.Next(&d, &n) == FrameReader::Result::kPacket) got.push_back(Str(d, n));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"abc", "0123456789"}));
    EXPECT_FALSE(r.Partial());

    FrameReader all;
    Feed(all, wire);
    const uint8_t* d;
    std::size_t n;
    ASSERT_EQ(all.Next(&d, &n), FrameReader::Result::kPacket);
    EXPECT_EQ(Str(d, n), "abc");
    ASSERT_EQ(all.Next(&d, &n), FrameReader::Result::kPacket);
    EXPECT_EQ(Str(d, n), "0123456789");
    EXPECT_EQ(all.Next(&d, &n), FrameReader::Result::kNeedMore);
}

TEST(Framing, MalformedLengthsAndTruncation) {
    struct Case {
        std::vector<uint8_t> bytes;
        FrameReader::Result want;
    } cases[] = {
        {{0x00, 0x00}, FrameReader::Result::kMalformed},                 // empty frame
        {{0xFF, 0xFF}, FrameReader::Result::kMalformed},                 // far too long
        {{0xDD, 0x05}, FrameReader::Result::kMalformed},                 // 1501, one above the limit
        {{0x05, 0x00, 'a', 'b'}, FrameReader::Result::kNeedMore},        // truncated
        {{0x05}, FrameReader::Result::kNeedMore},                        // half a header
    };
    for (const Case& c : cases) {
        FrameReader r;
        Feed(r, c.bytes);
        const uint8_t* d;
        std::size_t n;
        EXPECT_EQ(r.Next(&d, &n), c.want);
    }
    // The largest packet fits and can be followed by more in the same buffer.
    FrameReader r;
    std::vector<uint8_t> wire;
    std::string big(kMaxPacket, 'q');
    EncodeFrame(big.data(), big.size(), &wire);
    EncodeFrame(big.data(), big.size(), &wire);
    Feed(r, wire);
    const uint8_t* d;
    std::size_t n;
    ASSERT_EQ(r.Next(&d, &n), FrameReader::Result::kPacket);
    EXPECT_EQ(n, kMaxPacket);
    ASSERT_EQ(r.Next(&d, &n), FrameReader::Result::kPacket);
}

// ---- endpoints ----------------------------------------------------------

uint16_t LocalPort(LinkHandle h) {
    uint8_t name[32];
    int size = sizeof name;
    EXPECT_EQ(GetLocalName(h, name, &size), 1);
    EXPECT_EQ(size, 6);
    return static_cast<uint16_t>(name[4] << 8 | name[5]);
}

struct Endpoint {
    LinkHandle h = 0;
    uint16_t port = 0;
    explicit Endpoint(bool blocking = true) {
        h = InitTCPIPSession(0, 0, 0, 0);
        EXPECT_NE(h, 0u);
        SetBlocking(h, blocking ? 1 : 0);
        port = LocalPort(h);
    }
    ~Endpoint() {
        if (h) DeinitProtocol(h);
    }
    std::unique_ptr<Client> Connect() {
        std::string err;
        auto c = Client::ConnectTcp("127.0.0.1", port, 2000, &err);
        EXPECT_TRUE(c) << err;
        return c;
    }
    std::string Recv(int cap = 504) {
        std::vector<char> buf(static_cast<std::size_t>(cap));
        int n = RecvPacket(h, buf.data(), cap);
        return n > 0 ? std::string(buf.data(), static_cast<std::size_t>(n)) : std::string();
    }
    bool Send(const std::string& s) { return SendPacket(h, s.data(), static_cast<int>(s.size())) != 0; }
};

std::string ClientRecv(Client& c, int timeout_ms = 2000) {
    char buf[2048];
    int n = c.Recv(buf, sizeof buf, timeout_ms);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n))
                 : std::string(n == 0 ? "<timeout>" : "<closed: " + c.LastError() + ">");
}

TEST(Endpoint, OnePacketEachWayAndNames) {
    Endpoint ep;
    EXPECT_FALSE(IsSessionActive(ep.h));
    auto c = ep.Connect();
    ASSERT_TRUE(c->Send("hello", 5));
    EXPECT_EQ(ep.Recv(), "hello");
    EXPECT_TRUE(IsSessionActive(ep.h));
    EXPECT_TRUE(ep.Send("world!"));
    EXPECT_EQ(ClientRecv(*c), "world!");

    uint8_t name[32];
    int size = 32;
    ASSERT_EQ(GetRemoteName(ep.h, name, &size), 1);
    ASSERT_EQ(size, 6);
    EXPECT_EQ(name[0], 127);
    EXPECT_EQ(name[3], 1);
    size = 4;  // too small: nothing stored
    net::SetThreadError(0);
    EXPECT_EQ(GetRemoteName(ep.h, name, &size), 0);
    EXPECT_EQ(LinkGetLastError(), LC_ERR_BUFFER);
    EXPECT_EQ(size, 0);
}

// One peer at a time, whatever the program on top: after a packet from a
// caller only that caller's packets are handed out, and replies go to it,
// until ResetSession, AcceptAnyCaller or its hang-up; a second caller waits,
// nothing of its interleaved, and is taken next with its packets in order.
TEST(Endpoint, OnePeerAtATimeOthersWaitAndComeNext) {
    enum class Release { kReset, kAcceptAny, kHangUp };
    for (Release release : {Release::kReset, Release::kAcceptAny, Release::kHangUp}) {
        SCOPED_TRACE(static_cast<int>(release));
        Endpoint ep;
        auto a = ep.Connect();
        auto b = ep.Connect();
        ASSERT_TRUE(a->Send("a1", 2));
        EXPECT_EQ(ep.Recv(), "a1");
        ASSERT_TRUE(b->Send("b1", 2));
        ASSERT_TRUE(b->Send("b2", 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // b's packets are there first
        ASSERT_TRUE(a->Send("a2", 2));
        EXPECT_EQ(ep.Recv(), "a2");
        EXPECT_TRUE(ep.Send("to-a"));
        EXPECT_EQ(ClientRecv(*a), "to-a");
        EXPECT_EQ(ClientRecv(*b, 100), "<timeout>");  // b waits, unanswered

        switch (release) {
        case Release::kReset: ASSERT_EQ(ResetSession(ep.h, 0), 1); break;
        case Release::kAcceptAny: ASSERT_EQ(AcceptAnyCaller(ep.h), 1); break;
        case Release::kHangUp: a.reset(); break;
        }
        EXPECT_EQ(ep.Recv(), "b1");
        EXPECT_EQ(ep.Recv(), "b2");
        EXPECT_TRUE(ep.Send("to-b"));
        EXPECT_EQ(ClientRecv(*b), "to-b");
        if (release == Release::kReset) {
            EXPECT_EQ(ClientRecv(*a).substr(0, 7), "<closed");
        }
        if (release == Release::kAcceptAny) {  // a stays connected and now waits for b
            ASSERT_TRUE(a->Send("a3", 2));
            ASSERT_TRUE(b->Send("b3", 2));
            EXPECT_EQ(ep.Recv(), "b3");
            b.reset();
            EXPECT_EQ(ep.Recv(), "a3");
        }
    }
}

// A waiting caller that hangs up is dropped with what it sent: its packets
// are never handed out once it is gone.
TEST(Endpoint, WaitingCallerThatHangsUpIsForgotten) {
    Endpoint ep;
    auto a = ep.Connect();
    ASSERT_TRUE(a->Send("a1", 2));
    EXPECT_EQ(ep.Recv(), "a1");
    auto b = ep.Connect();
    ASSERT_TRUE(b->Send("stale", 5));
    std::thread pump([&] { EXPECT_EQ(ep.Recv(), "a2"); });  // reads b's packet and sees it go
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    b.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(a->Send("a2", 2));
    pump.join();
    auto c = ep.Connect();
    ASSERT_TRUE(c->Send("c1", 2));
    a.reset();
    EXPECT_EQ(ep.Recv(), "c1");
}

// A send that fails part-way would leave half a frame on the connection:
// the connection is dropped, and the next caller is taken.
TEST(Endpoint, SendThatTimesOutDropsTheConnection) {
    SetSendTimeout(200);
    Endpoint ep;
    auto a = ep.Connect();  // never reads
    ASSERT_TRUE(a->Send("a1", 2));
    EXPECT_EQ(ep.Recv(), "a1");
    auto b = ep.Connect();
    ASSERT_TRUE(b->Send("b1", 2));
    const std::string big(kMaxPacket, 'z');
    int sent = 0;
    while (sent < 1000000 && ep.Send(big)) ++sent;
    SetSendTimeout(10000);
    ASSERT_LT(sent, 1000000);
    EXPECT_FALSE(IsSessionActive(ep.h));
    net::SetThreadError(0);
    EXPECT_FALSE(ep.Send("x"));  // nothing more goes into the broken stream
    EXPECT_EQ(LinkGetLastError(), LC_ERR_NO_PEER);
    EXPECT_EQ(ep.Recv(), "b1");
    EXPECT_TRUE(ep.Send("to-b"));
    EXPECT_EQ(ClientRecv(*b), "to-b");
    int whole = 0;  // a reads what arrived: whole frames, then the end
    for (std::string p = ClientRecv(*a); p == big; p = ClientRecv(*a)) ++whole;
    EXPECT_LE(whole, sent);
}

TEST(Endpoint, DeinitReleasesABlockedReceiver) {
    LinkHandle h = InitTCPIPSession(0, 0, 0, 0);
    ASSERT_NE(h, 0u);
    SetBlocking(h, 1);
    std::atomic<int> result{-1};
    std::atomic<uint32_t> error{0};
    auto start = std::chrono::steady_clock::now();
    std::thread t([&] {
        char buf[504];
        result = RecvPacket(h, buf, sizeof buf);
        error = LinkGetLastError();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(result.load(), -1);  // still blocked
    ASSERT_EQ(DeinitProtocol(h), 1);
    t.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(error.load(), LC_ERR_INACTIVE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    // The handle stays dead; a second deinit fails the same way.
    char buf[8];
    net::SetThreadError(0);
    EXPECT_EQ(RecvPacket(h, buf, sizeof buf), 0);
    EXPECT_EQ(LinkGetLastError(), LC_ERR_INACTIVE);
    EXPECT_EQ(DeinitProtocol(h), 0);
    EXPECT_EQ(SendPacket(h, "x", 1), 0);
}

TEST(Endpoint, NonBlockingReceiveReportsNothingHappened) {
    Endpoint ep(false);
    char buf[16];
    net::SetThreadError(77);
    EXPECT_EQ(RecvPacket(ep.h, buf, sizeof buf), 0);
    EXPECT_EQ(LinkGetLastError(), 0u);
}

// Raw peers that misbehave; each is dropped while a good caller goes on.
TEST(Endpoint, BadPeersAreDroppedAndOthersGoOn) {
    SetPeerTimeouts(300, 300);
    Endpoint ep;
    struct Bad {
        const char* what;
        std::vector<uint8_t> bytes;
        bool close_after;
    } bads[] = {
        {"truncated then gone", {0x64, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, true},
        {"truncated and stalled", {0x64, 0x00, 1, 2, 3}, false},
        {"oversized frame", {0xFF, 0xFF, 1, 2, 3}, false},
        {"empty frame", {0x00, 0x00}, false},
        {"silent", {}, false},
    };
    for (const Bad& bad : bads) {
        SCOPED_TRACE(bad.what);
        net::Sock raw = net::TcpConnect(net::Addr{htonl_loopback(), ep.port}, 2000, 2000);
        ASSERT_NE(raw, net::kBadSock);
        if (!bad.bytes.empty()) net::SendAll(raw, bad.bytes.data(), bad.bytes.size());
        if (bad.close_after) net::Close(raw);
        auto good = ep.Connect();
        ASSERT_TRUE(good->Send("good", 4));
        EXPECT_EQ(ep.Recv(), "good");
        EXPECT_TRUE(ep.Send("reply"));
        EXPECT_EQ(ClientRecv(*good), "reply");
        if (!bad.close_after) {
            // The endpoint closes the bad connection (at once, or after the time-out).
            net::PollItem item{raw};
            std::thread pump([&] { ep.Recv(); });  // keeps the endpoint's receive loop going
            EXPECT_EQ(net::Poll(&item, 1, 3000), 1);
            char sink[8];
            EXPECT_LE(net::RecvSome(raw, sink, sizeof sink), 0);
            ASSERT_TRUE(good->Send("stop", 4));
            pump.join();
            net::Close(raw);
        }
    }
    SetPeerTimeouts(30000, 10000);
}

TEST(Endpoint, PacketLargerThanTheCallersBufferIsDiscarded) {
    Endpoint ep;
    auto c = ep.Connect();
    std::string big(600, 'B');
    ASSERT_TRUE(c->Send(big.data(), big.size()));
    ASSERT_TRUE(c->Send("small", 5));
    EXPECT_EQ(ep.Recv(504), "small");
}

TEST(Endpoint, ConcurrentSendersWhileReceiving) {
    Endpoint ep;
    auto c = ep.Connect();
    ASSERT_TRUE(c->Send("go", 2));
    ASSERT_EQ(ep.Recv(), "go");
    std::thread receiver([&] { ep.Recv(); });  // blocked until "end"
    constexpr int kEach = 300;
    auto sender = [&](char tag) {
        for (int i = 0; i < kEach; ++i) {
            std::string p(1 + i % 500, tag);
            p += std::to_string(i);
            EXPECT_TRUE(ep.Send(p));
        }
    };
    std::thread s1(sender, 'x'), s2(sender, 'y');
    s1.join();
    s2.join();
    std::set<std::string> seen;
    for (int i = 0; i < 2 * kEach; ++i) {
        std::string p = ClientRecv(*c);
        ASSERT_FALSE(p.empty());
        char tag = p[0];
        ASSERT_TRUE(tag == 'x' || tag == 'y') << p.substr(0, 20);
        std::size_t run = p.find_first_not_of(tag);
        ASSERT_NE(run, std::string::npos);
        int idx = std::stoi(p.substr(run));
        EXPECT_EQ(run, static_cast<std::size_t>(1 + idx % 500));  // frame intact
        seen.insert(p);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(2 * kEach));
    ASSERT_TRUE(c->Send("end", 3));
    receiver.join();
}

TEST(IpxOverUdp, PortRuleAndExchange) {
    EXPECT_EQ(LinkIpxSocketToUdpPort(0x0041), 0x4041);  // the slave's socket 0x4100, swapped
    EXPECT_EQ(LinkIpxSocketToUdpPort(0x8138), 0x4138);
    EXPECT_EQ(LinkIpxSocketToUdpPort(0x8238), 0x4238);
    const uint32_t socket = 0x1A57;  // a port no program of ours uses
    LinkHandle h = InitIPXSession(0, socket, 0);
    ASSERT_NE(h, 0u);
    SetBlocking(h, 1);
    EXPECT_EQ(LinkIpxSocketToUdpPort(socket), LocalPort(h));
    EXPECT_FALSE(IsSessionActive(h));
    net::SetThreadError(0);
    EXPECT_EQ(SendPacket(h, "x", 1), 0);
    EXPECT_EQ(LinkGetLastError(), LC_ERR_NO_PEER);
    // A second endpoint on the same socket fails.
    EXPECT_EQ(InitIPXSession(0, socket, 0), 0u);

    std::string err;
    auto c = Client::OpenIpx("127.0.0.1", socket, &err);
    ASSERT_TRUE(c) << err;
    std::string big(600, 'B');
    ASSERT_TRUE(c->Send(big.data(), big.size()));  // too big for 504: discarded
    ASSERT_TRUE(c->Send("ping", 4));
    char buf[504];
    int n = RecvPacket(h, buf, sizeof buf);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_TRUE(IsSessionActive(h));
    ASSERT_EQ(SendPacket(h, "pong", 4), 1);
    EXPECT_EQ(ClientRecv(*c), "pong");
    ResetSession(h, 0);
    EXPECT_FALSE(IsSessionActive(h));
    DeinitProtocol(h);
}

// The datagram form: while its current peer has been heard within the idle
// time, other callers' datagrams are discarded unanswered; after that a
// datagram of another caller makes it the peer.
TEST(IpxOverUdp, CurrentPeerHoldsTheEndpointUntilSilent) {
    SetDatagramPeerIdle(400);
    const uint32_t socket = 0x1A59;
    LinkHandle h = InitIPXSession(0, socket, 0);
    ASSERT_NE(h, 0u);
    SetBlocking(h, 1);
    std::string err;
    auto a = Client::OpenIpx("127.0.0.1", socket, &err);
    auto b = Client::OpenIpx("127.0.0.1", socket, &err);
    ASSERT_TRUE(a && b) << err;
    char buf[64];
    auto recv = [&] {
        int n = RecvPacket(h, buf, sizeof buf);
        return std::string(buf, static_cast<std::size_t>(n > 0 ? n : 0));
    };
    ASSERT_TRUE(a->Send("a1", 2));
    EXPECT_EQ(recv(), "a1");
    ASSERT_TRUE(b->Send("b1", 2));  // discarded: a was just heard
    ASSERT_TRUE(a->Send("a2", 2));
    EXPECT_EQ(recv(), "a2");
    ASSERT_EQ(SendPacket(h, "to-a", 4), 1);
    EXPECT_EQ(ClientRecv(*a), "to-a");
    EXPECT_EQ(ClientRecv(*b, 100), "<timeout>");
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // a silent past the idle time
    ASSERT_TRUE(b->Send("b2", 2));
    EXPECT_EQ(recv(), "b2");
    ASSERT_EQ(SendPacket(h, "to-b", 4), 1);
    EXPECT_EQ(ClientRecv(*b), "to-b");
    ASSERT_EQ(AcceptAnyCaller(h), 1);  // b just heard, but the program takes any caller again
    ASSERT_TRUE(a->Send("a4", 2));
    EXPECT_EQ(recv(), "a4");
    SetDatagramPeerIdle(kDatagramPeerIdleMs);
    DeinitProtocol(h);
}

// The port offset shifts endpoints and callers alike; anything but a plain
// number in range counts as no offset.
TEST(PortOffset, ShiftsEndpointsAndCallersTogether) {
    struct Case {
        const char* value;
        uint32_t offset;
    } cases[] = {{"", 0}, {"7", 7}, {"12a", 0}, {"-5", 0}, {"49151", 49151}, {"49152", 0}, {"99999999999", 0}};
    for (const Case& c : cases) {
        setenv("LINKCORE_PORT_OFFSET", c.value, 1);
        EXPECT_EQ(PortOffset(), c.offset) << c.value;
    }
    uint16_t p = 1;
    setenv("LINKCORE_PORT_OFFSET", "40000", 1);
    EXPECT_TRUE(OffsetPort(1764, &p));
    EXPECT_EQ(p, 41764);
    EXPECT_TRUE(OffsetPort(0, &p));  // any free port stays any
    EXPECT_EQ(p, 0);
    EXPECT_FALSE(OffsetPort(30000, &p));  // beyond 65535
    net::SetThreadError(0);
    EXPECT_EQ(InitTCPIPSession(0, 30000, 0, 0), 0u);
    EXPECT_EQ(LinkGetLastError(), LC_ERR_OPEN);

    // An IPX endpoint and its caller meet on the shifted UDP port.
    setenv("LINKCORE_PORT_OFFSET", "101", 1);
    const uint32_t socket = 0x1A58;
    LinkHandle h = InitIPXSession(0, socket, 0);
    ASSERT_NE(h, 0u);
    SetBlocking(h, 1);
    EXPECT_EQ(LocalPort(h), LinkIpxSocketToUdpPort(socket) + 101);
    std::string err;
    auto c = Client::OpenIpx("127.0.0.1", socket, &err);
    ASSERT_TRUE(c) << err;
    ASSERT_TRUE(c->Send("ping", 4));
    char buf[16];
    EXPECT_EQ(RecvPacket(h, buf, sizeof buf), 4);
    DeinitProtocol(h);
    unsetenv("LINKCORE_PORT_OFFSET");
}

}  // namespace
}  // namespace qv::link
