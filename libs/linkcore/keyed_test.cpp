// Tests of the keyed sessions on the host: the vectors through OpenSSL, the
// replay window and counters, and keyed endpoints over loopback TCP and UDP
// against the Client and against a caller that sends what a Client never
// would (replays, altered, truncated and foreign records, wrong keys).
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "contracts/transport.h"
#include "libs/linkcore/client.h"
#include "libs/linkcore/internal.h"
#include "libs/linkcore/keyed.h"
#include "libs/linkcore/keyed_vectors.h"
#include "libs/linkcore/net.h"

namespace qv::link {
namespace {

using keyed::Session;

TEST(Keyed, VectorsThroughOpenSSL) { EXPECT_EQ(keyed::vectors::Check(), ""); }

std::vector<uint8_t> SealAt(Session& s, uint64_t counter, const std::string& text) {
    s.SetNextCounterForTest(counter);
    std::vector<uint8_t> rec(keyed::kMaxRecord);
    std::size_t n = 0;
    EXPECT_TRUE(s.Seal(reinterpret_cast<const uint8_t*>(text.data()), text.size(), rec.data(), &n));
    rec.resize(n);
    return rec;
}

// Counters: which arrive (datagram window or strictly in order), more than
// 2^16 packets in a row, and the end of a session before its counter could
// wrap.
TEST(Keyed, ReplayWindowCountersAndSessionEnd) {
    keyed::SiteKey key;
    uint8_t site[32], nc[32], ns[32];
    keyed::vectors::Fill(site, 32, 1);
    keyed::vectors::Fill(nc, 32, 2);
    keyed::vectors::Fill(ns, 32, 3);
    ASSERT_TRUE(key.Set(site));
    for (bool in_order : {false, true}) {
        SCOPED_TRACE(in_order ? "in order" : "window");
        Session tx(Session::Role::kCaller, in_order), rx(Session::Role::kEndpoint, in_order);
        ASSERT_TRUE(tx.Init(key, nc, ns) && rx.Init(key, nc, ns));
        uint8_t plain[kMaxPacket];
        std::size_t n = 0;
        struct Step {
            uint64_t counter;
            bool window_takes, in_order_takes;
        } steps[] = {
            {100, true, true}, {90, true, false},  {90, false, false},  // late once; replayed
            {100, false, false}, {37, true, false},                     // 63 behind: the window's edge
            {36, false, false},  {101, true, true},                     // 64 behind: too old
        };
        for (const Step& s : steps) {
            const auto rec = SealAt(tx, s.counter, "x");
            EXPECT_EQ(rx.Open(rec.data(), rec.size(), plain, &n), in_order ? s.in_order_takes : s.window_takes)
                << s.counter;
        }
        tx.SetNextCounterForTest(200);
        for (int i = 0; i < 70000; ++i) {
            uint8_t rec[keyed::kRecordOverhead + 4];
            std::size_t m = 0;
            const uint32_t v = static_cast<uint32_t>(i);
            ASSERT_TRUE(tx.Seal(reinterpret_cast<const uint8_t*>(&v), 4, rec, &m));
            ASSERT_TRUE(rx.Open(rec, m, plain, &n)) << i;
            ASSERT_EQ(std::memcmp(plain, &v, 4), 0);
        }
        const auto last = SealAt(tx, keyed::kMaxRecords - 1, "z");
        EXPECT_TRUE(rx.Open(last.data(), last.size(), plain, &n));
        uint8_t rec[keyed::kMaxRecord];
        EXPECT_FALSE(tx.Seal(reinterpret_cast<const uint8_t*>("y"), 1, rec, &n)) << "the session must end";
    }
}

// ---- keyed endpoints ------------------------------------------------------

const uint8_t* KeyA() {
    static uint8_t k[32];
    keyed::vectors::Fill(k, 32, 0x11);
    return k;
}
const uint8_t* KeyB() {
    static uint8_t k[32];
    keyed::vectors::Fill(k, 32, 0x12);
    return k;
}

net::Addr Loopback(uint16_t port) {
    const uint8_t b[4] = {127, 0, 0, 1};
    net::Addr a;
    std::memcpy(&a.ip_be, b, 4);
    a.port = port;
    return a;
}

// An endpoint that answers every packet with "echo:" and the packet, on a
// thread of its own, and keeps what it received.
struct Echo {
    LinkHandle h = 0;
    uint16_t port = 0;
    uint32_t ipx = 0;
    std::thread thread;
    std::mutex mu;
    std::vector<std::string> got;

    Echo(bool tcp, uint32_t ipx_socket) : ipx(ipx_socket) {
        h = tcp ? InitTCPIPSession(0, 0, 0, 0) : InitIPXSession(0, ipx_socket, 0);
        EXPECT_NE(h, 0u);
        SetBlocking(h, 1);
        uint8_t name[32];
        int size = sizeof name;
        GetLocalName(h, name, &size);
        port = static_cast<uint16_t>(name[4] << 8 | name[5]);
        thread = std::thread([this] {
            char buf[504];
            for (;;) {
                const int n = RecvPacket(h, buf, sizeof buf);
                if (n <= 0) {
                    if (LinkGetLastError() == LC_ERR_INACTIVE) return;
                    continue;
                }
                const std::string p(buf, static_cast<std::size_t>(n));
                {
                    std::lock_guard<std::mutex> lock(mu);
                    got.push_back(p);
                }
                const std::string r = "echo:" + p;
                SendPacket(h, r.data(), static_cast<int>(r.size()));
            }
        });
    }
    ~Echo() {
        DeinitProtocol(h);
        thread.join();
    }
    std::unique_ptr<Client> Connect(bool tcp, std::string* err) {
        return tcp ? Client::ConnectTcp("127.0.0.1", port, 1000, err) : Client::OpenIpx("127.0.0.1", ipx, err);
    }
    std::vector<std::string> Got() {
        std::lock_guard<std::mutex> lock(mu);
        return got;
    }
};

std::string Exchange(Client& c, const std::string& p, int timeout_ms = 2000) {
    if (!c.Send(p.data(), p.size())) return "<send failed>";
    char buf[1600];
    const int n = c.Recv(buf, sizeof buf, timeout_ms);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : n == 0 ? "<timeout>" : "<broken>";
}

// A caller written from the wire description.
struct RawPeer {
    bool tcp;
    net::Sock s = net::kBadSock;
    net::Addr to;
    FrameReader rx{keyed::kMaxRecord};
    keyed::SiteKey key;
    uint8_t nc[32] = {}, hello[keyed::kHelloBytes] = {};
    std::unique_ptr<Session> session;

    RawPeer(bool tcp_form, uint16_t port, const uint8_t* site) : tcp(tcp_form), to(Loopback(port)) {
        s = tcp ? net::TcpConnect(to, 2000, 2000) : net::UdpBind(net::Addr{0, 0});
        EXPECT_NE(s, net::kBadSock);
        key.Set(site);
    }
    ~RawPeer() { net::Close(s); }
    void Put(const uint8_t* p, std::size_t n) {
        std::vector<uint8_t> f;
        EncodeFrame(p, n, &f);
        if (tcp) net::SendAll(s, f.data(), f.size());
        else net::SendTo(s, p, n, to);
    }
    void Put(const std::vector<uint8_t>& v) { Put(v.data(), v.size()); }
    // One message: its length, 0 on time-out, -1 when the connection closed.
    int Get(uint8_t* buf, std::size_t cap, int timeout_ms) {
        for (;;) {
            const uint8_t* d = nullptr;
            std::size_t n = 0;
            if (tcp && rx.Next(&d, &n) == FrameReader::Result::kPacket) {
                std::memcpy(buf, d, std::min(n, cap));
                return static_cast<int>(n);
            }
            net::PollItem item{s};
            if (net::Poll(&item, 1, timeout_ms) <= 0) return 0;
            if (!tcp) {
                net::Addr from;
                return net::RecvFrom(s, buf, cap, &from, nullptr);
            }
            const int got = net::RecvSome(s, rx.Room(), rx.RoomSize());
            if (got <= 0) return -1;
            rx.Commit(static_cast<std::size_t>(got));
        }
    }
    int SendHello() {
        keyed::vectors::Fill(nc, 32, tcp ? 0x51 : 0x52);
        keyed::MakeHello(key, nc, hello);
        Put(hello, sizeof hello);
        uint8_t answer[keyed::kMaxRecord];
        const int n = Get(answer, sizeof answer, 300);
        uint8_t ns[32];
        if (n > 0 && keyed::CheckAnswer(key, hello, answer, static_cast<std::size_t>(n), ns)) {
            session = std::make_unique<Session>(Session::Role::kCaller, tcp);
            session->Init(key, nc, ns);
        }
        return n;
    }
    std::vector<uint8_t> Seal(const std::string& p) {
        std::vector<uint8_t> rec(keyed::kMaxRecord);
        std::size_t n = 0;
        session->Seal(reinterpret_cast<const uint8_t*>(p.data()), p.size(), rec.data(), &n);
        rec.resize(n);
        return rec;
    }
    std::string Reply() {
        uint8_t buf[keyed::kMaxRecord], plain[kMaxPacket];
        std::size_t m = 0;
        const int n = Get(buf, sizeof buf, 2000);
        if (n <= 0 || !session->Open(buf, static_cast<std::size_t>(n), plain, &m)) return "<none>";
        return std::string(reinterpret_cast<char*>(plain), m);
    }
};

std::vector<std::string> g_log;
void CaptureLog(const char* line) { g_log.push_back(line); }

// Both forms, in one run so that the drop log's rate limit shows: the right
// key works, every kind of bad packet is dropped and counted, and callers
// with another key or none get no answer and deliver nothing; nor does a
// keyed caller get anything from an endpoint without the key.
TEST(Keyed, EndpointsTakeOnlyCallersWithTheKey) {
    g_log.clear();
    LinkSetLogFunction(CaptureLog);
    SetDatagramPeerIdle(0);  // each caller below may take the datagram endpoint at once
    EXPECT_EQ(LinkSetSiteKey(KeyA(), 16), 0);
    EXPECT_EQ(LinkGetLastError(), LC_ERR_KEY);
    uint32_t ipx = 0x1A71;
    for (bool tcp : {true, false}) {
        SCOPED_TRACE(tcp ? "TCP" : "UDP");
        const uint32_t dropped_before = LinkGetDroppedPackets();
        ASSERT_EQ(LinkSetSiteKey(KeyA(), 32), 1);
        Echo echo(tcp, ipx++);
        std::string err;
        {
            auto c = echo.Connect(tcp, &err);
            ASSERT_TRUE(c) << err;
            EXPECT_EQ(Exchange(*c, "ping"), "echo:ping");
            EXPECT_EQ(Exchange(*c, std::string(504, 'L')), "echo:" + std::string(504, 'L'));
        }
        {
            RawPeer p(tcp, echo.port, KeyA());
            ASSERT_GT(p.SendHello(), 0);
            ASSERT_TRUE(p.session);
            const auto one = p.Seal("one");
            p.Put(one);
            EXPECT_EQ(p.Reply(), "echo:one");
            Session other(Session::Role::kCaller, false);
            uint8_t nc[32], ns[32];
            keyed::vectors::Fill(nc, 32, 7);
            keyed::vectors::Fill(ns, 32, 8);
            ASSERT_TRUE(other.Init(p.key, nc, ns));
            const auto mutate = [&](std::size_t at) {
                auto r = p.Seal("bad");
                r[at] ^= 0x01;
                return r;
            };
            auto cut = p.Seal("cut");
            cut.pop_back();
            const std::vector<uint8_t> bad[] = {
                one,                            // replayed
                mutate(1),                      // counter altered
                mutate(keyed::kRecordHeader),   // cipher text altered
                mutate(keyed::kRecordHeader + 4),  // tag altered
                cut,                            // truncated
                SealAt(other, 1, "foreign"),    // another session's keys
            };
            for (const auto& b : bad) p.Put(b);
            p.Put(p.Seal("two"));
            EXPECT_EQ(p.Reply(), "echo:two");
        }
        {
            RawPeer wrong(tcp, echo.port, KeyB());
            EXPECT_LE(wrong.SendHello(), 0) << "a caller with another key gets no answer";
            RawPeer replay(tcp, echo.port, KeyA());  // the hello of the peer above, from elsewhere
            EXPECT_LE(replay.SendHello(), 0) << "a replayed hello gets no answer";
        }
        std::unique_ptr<Client> keyless, other_key;
        ASSERT_EQ(LinkSetSiteKey(nullptr, 0), 1);
        keyless = echo.Connect(tcp, &err);
        ASSERT_EQ(LinkSetSiteKey(KeyB(), 32), 1);
        other_key = echo.Connect(tcp, &err);
        ASSERT_TRUE(keyless);
        EXPECT_NE(Exchange(*keyless, "plain", 300).rfind("echo:", 0), 0u);
        if (tcp) {
            EXPECT_FALSE(other_key);
            EXPECT_NE(err.find("site key"), std::string::npos) << err;
        } else {
            EXPECT_EQ(Exchange(*other_key, "other", 300), "<timeout>");
        }
        EXPECT_EQ(echo.Got(), (std::vector<std::string>{"ping", std::string(504, 'L'), "one", "two"}));
        EXPECT_EQ(LinkGetDroppedPackets() - dropped_before, 10u);

        // A keyed caller and an endpoint without the key.
        ASSERT_EQ(LinkSetSiteKey(nullptr, 0), 1);
        Echo plain(tcp, ipx++);
        ASSERT_EQ(LinkSetSiteKey(KeyA(), 32), 1);
        auto c = plain.Connect(tcp, &err);
        if (tcp) {
            EXPECT_FALSE(c) << "the endpoint's echo of the hello is no answer";
        } else {
            EXPECT_EQ(Exchange(*c, "x", 300), "<timeout>");
        }
    }
    EXPECT_EQ(g_log.size(), 1u) << "at most one line per 10 seconds";
    if (!g_log.empty()) {
        EXPECT_NE(g_log[0].find("dropped 1 packet"), std::string::npos) << g_log[0];
    }
    LinkSetSiteKey(nullptr, 0);
    LinkSetLogFunction(nullptr);
    SetDatagramPeerIdle(kDatagramPeerIdleMs);
}

}  // namespace
}  // namespace qv::link
