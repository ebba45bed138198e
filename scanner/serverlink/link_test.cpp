// The link's protocol logic against a scripted platform with a fake clock.
//
// FakePlatform keeps a millisecond clock that only moves when the link
// sleeps or waits. Datagrams "from the server" are scheduled at a time and
// delivered through LinkCore::OnDatagram when the clock passes it, exactly
// as the receiving thread would; a `server` hook sees every datagram the
// link sends and may schedule answers.
#include "scanner/serverlink/link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>

namespace qv::serverlink {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Sent {
    std::uint32_t at;
    Bytes data;
    bool locked;
    Destination to;
};

class FakePlatform : public LinkPlatform {
public:
    LinkCore* core = nullptr;
    std::uint32_t now = 0;
    std::multimap<std::uint32_t, Bytes> incoming;      // delivery time -> datagram
    std::vector<Sent> sent;
    std::vector<int> messages;
    std::vector<long> send_errors;
    std::function<void(const Bytes&)> server;
    std::function<std::optional<Bytes>(const Bytes&)> query_server;
    std::vector<Bytes> receive_queue;
    int lock_depth = 0, waits = 0, sleeps = 0;
    bool ack_flag = false, query_flag = false;
    // Failure switches.
    bool fail_startup = false, fail_thread = false, fail_resolve = false, fail_dotted = false;
    bool fail_sockname = false;
    int fail_create_at = -1, fail_bind_at = -1, fail_option_at = -1;   // n-th call fails
    int creates = 0, binds = 0, options = 0, cleanups = 0, joins = 0, hard_closes = 0;
    std::vector<SocketId> closed;
    long send_result = 0;
    std::string resolved_name;

    bool Startup() override { return !fail_startup; }
    void Cleanup() override { ++cleanups; }
    SocketId Create(Family) override { return creates++ == fail_create_at ? kNoSocket : 100 + creates; }
    bool BindAny(SocketId, Family) override { return binds++ != fail_bind_at; }
    bool LocalIpxAddress(SocketId, IpxAddress* out) override {
        if (fail_sockname) return false;
        *out = ParseIpxAddress("00000001:0000C0DE0042");
        return true;
    }
    bool SetOption(SocketId, SockOpt, int) override { return options++ != fail_option_at; }
    void SetBlocking(SocketId) override {}
    bool ResolveHost(const std::string& name, std::uint8_t ip[4]) override {
        resolved_name = name;
        if (fail_resolve) return false;
        const std::uint8_t a[4] = {192, 0, 2, 7};
        std::memcpy(ip, a, 4);
        return true;
    }
    bool ParseDotted(const std::string& text, std::uint8_t ip[4]) override {
        if (fail_dotted) return false;
        unsigned a, b, c, d;
        if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return false;
        ip[0] = a; ip[1] = b; ip[2] = c; ip[3] = d;
        return true;
    }
    long SendTo(SocketId, const Destination& to, const std::uint8_t* d, std::size_t n) override {
        Bytes b(d, d + n);
        sent.push_back({now, b, lock_depth > 0, to});
        if (server) server(b);
        return send_result;
    }
    long Receive(SocketId, std::uint8_t* buf, std::size_t cap) override {
        if (receive_queue.empty()) return kReceiveFailed;
        Bytes b = receive_queue.front();
        receive_queue.erase(receive_queue.begin());
        if (b.size() > cap) return kReceiveSkip;
        if (!b.empty()) std::memcpy(buf, b.data(), b.size());
        return static_cast<long>(b.size());
    }
    void Close(SocketId s, bool hard) override {
        closed.push_back(s);
        hard_closes += hard ? 1 : 0;
    }
    bool StartReceiver(std::function<void()>) override { return !fail_thread; }
    void JoinReceiver(std::uint32_t) override { ++joins; }
    void Lock() override { ++lock_depth; }
    void Unlock() override { --lock_depth; }
    std::uint32_t TickMs() override { return now; }

    // Delivers everything due up to `until`; stops early after a freed slot
    // when `stop_on_ack` is set. Returns true when an ack was signalled.
    bool RunUntil(std::uint32_t until, bool stop_on_ack) {
        for (;;) {
            if (stop_on_ack && ack_flag) return true;
            auto it = incoming.begin();
            if (it == incoming.end() || it->first > until) break;
            now = std::max(now, it->first);
            Bytes b = it->second;
            incoming.erase(it);
            core->OnDatagram(b.data(), b.size());
        }
        now = std::max(now, until);
        return ack_flag;
    }
    void Sleep(std::uint32_t ms) override {
        ++sleeps;
        EXPECT_EQ(lock_depth, 0) << "sleeping under the lock";
        RunUntil(now + ms, false);
    }
    void SignalAck() override { ack_flag = true; }
    void WaitAck(std::uint32_t ms) override {
        ++waits;
        EXPECT_EQ(lock_depth, 0) << "waiting under the lock";
        RunUntil(now + ms, true);
        ack_flag = false;
    }
    void ResetQuery() override { query_flag = false; }
    void SignalQuery() override { query_flag = true; }
    bool WaitQuery(std::uint32_t ms) override {
        std::optional<Bytes> answer;
        if (query_server) answer = query_server(sent.back().data);
        if (answer) {
            receive_queue.push_back(*answer);
            core->ReceiveLoop();             // the receiving thread's path
        } else {
            now += ms;
        }
        return query_flag;
    }
    void PrintMessage(int id) override { messages.push_back(id); }
    void PrintSendError(long code) override { send_errors.push_back(code); }

    void Deliver(std::uint32_t at, Bytes b) { incoming.emplace(at, std::move(b)); }
};

Bytes Ack(std::uint16_t word) { return {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)}; }

Bytes ReplyPacket(unsigned seq, unsigned total, const Bytes& payload) {
    Bytes b = {0xFF, 0xFF, static_cast<std::uint8_t>(total), static_cast<std::uint8_t>(seq)};
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes Head(std::uint16_t count, std::uint8_t major, std::uint8_t minor, std::uint32_t low,
           std::uint16_t high, std::uint16_t count_copy) {
    ReplyHead h;
    h.count = count;
    h.count_copy = count_copy;
    h.major = h.major_copy = major;
    h.minor = h.minor_copy = minor;
    h.device_low = low;
    h.device_high = high;
    Bytes b(kReplyHeadSize);
    EncodeReplyHead(h, b.data());
    return b;
}

Bytes ListBytes(const std::vector<ConfigEntry>& entries) {
    Bytes b(600);
    std::size_t used = 0;
    EncodeConfigList(entries, 0, b.data(), b.size(), &used);
    b.resize(used);
    return b;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A packet buffer holding one item.
std::vector<std::uint8_t> ItemPacket(const std::string& item) {
    std::vector<std::uint8_t> p(kPayloadSize, 0);
    std::memcpy(p.data(), item.data(), item.size());
    return p;
}

struct Fixture {
    FakePlatform fake;
    LinkCore core;
    explicit Fixture(LinkConfig cfg = {"SRV", 5, 10, false}) : core(fake, cfg) {
        fake.core = &core;
    }
};

TEST(Open, IpDestinationsAndPorts) {
    {
        Fixture f;
        EXPECT_EQ(f.core.OpenIp("10.1.2.3:5100"), kOpenIp);
        EXPECT_EQ(f.core.destination().port, 5100);
        EXPECT_EQ(f.core.destination().ip[0], 10);
        EXPECT_EQ(f.core.destination().ip[3], 3);
        EXPECT_EQ(f.fake.closed.size(), 1u);       // the test socket
    }
    {
        Fixture f;
        EXPECT_EQ(f.core.OpenIp("INVSERVER"), kOpenIp);
        EXPECT_EQ(f.fake.resolved_name, "INVSERVER");
        EXPECT_EQ(f.core.destination().port, 5007);
        EXPECT_EQ(f.core.destination().ip[0], 192);
    }
}

TEST(Open, IpFailures) {
    struct Case { const char* name; std::function<void(FakePlatform&)> arm; const char* host; int result; } cases[] = {
        {"startup", [](FakePlatform& p) { p.fail_startup = true; }, "1.2.3.4", kOpenStartupFailed},
        {"test socket", [](FakePlatform& p) { p.fail_create_at = 0; }, "1.2.3.4", kOpenBindFailed},
        {"test bind", [](FakePlatform& p) { p.fail_bind_at = 0; }, "1.2.3.4", kOpenBindFailed},
        {"lookup", [](FakePlatform& p) { p.fail_resolve = true; }, "NOHOST", kOpenResolveFailed},
        {"bad dotted", [](FakePlatform& p) { p.fail_dotted = true; }, "1.2.3", kOpenResolveFailed},
        {"bad port", [](FakePlatform&) {}, "1.2.3.4:99999", kOpenResolveFailed},
        {"socket", [](FakePlatform& p) { p.fail_create_at = 1; }, "1.2.3.4", kOpenSocketFailed},
        {"bind", [](FakePlatform& p) { p.fail_bind_at = 1; }, "1.2.3.4", kOpenBindFailed},
        {"thread", [](FakePlatform& p) { p.fail_thread = true; }, "1.2.3.4", kOpenThreadFailed},
    };
    for (const Case& c : cases) {
        Fixture f;
        c.arm(f.fake);
        EXPECT_EQ(f.core.OpenIp(c.host), c.result) << c.name;
        f.core.Close();    // safe after any failure
    }
}

TEST(Open, IpxWithSocketAndFailures) {
    {
        Fixture f;
        EXPECT_EQ(f.core.OpenIpx("0000ABCD:00C0FFEE0102:4005"), kOpenIpx);
        EXPECT_EQ(f.core.local_ipx_address(), "00000001:0000C0DE0042");
        EXPECT_EQ(f.fake.options, 3);
        EXPECT_TRUE(f.fake.sent.empty());           // no socket query
    }
    struct Case { const char* name; std::function<void(FakePlatform&)> arm; int result; } cases[] = {
        {"startup", [](FakePlatform& p) { p.fail_startup = true; }, kOpenStartupFailed},
        {"socket (no IPX, as on current systems)", [](FakePlatform& p) { p.fail_create_at = 0; }, kOpenSocketFailed},
        {"bind", [](FakePlatform& p) { p.fail_bind_at = 0; }, kOpenBindFailed},
        {"getsockname", [](FakePlatform& p) { p.fail_sockname = true; }, kOpenSockNameFailed},
        {"broadcast", [](FakePlatform& p) { p.fail_option_at = 0; }, kOpenSockOptFailed},
        {"packet type", [](FakePlatform& p) { p.fail_option_at = 1; }, kOpenSockOptFailed},
        {"filter", [](FakePlatform& p) { p.fail_option_at = 2; }, kOpenSockOptFailed},
        {"thread", [](FakePlatform& p) { p.fail_thread = true; }, kOpenThreadFailed},
    };
    for (const Case& c : cases) {
        Fixture f;
        c.arm(f.fake);
        EXPECT_EQ(f.core.OpenIpx("0000ABCD:00C0FFEE0102:4005"), c.result) << c.name;
    }
}

TEST(Open, IpxSocketQuery) {
    const Bytes user = {0, 0, 0, 0, 'U', 'S', 'E', 'R', 0x00, 0x05};
    const Bytes a2 = {0, 0, 0, 0, 1, 0, 0x40, 0x05};
    const Bytes b2 = {0x17, 0, 1, 0, 0x12, 0x34};
    {   // Variant A answers.
        Fixture f;
        f.fake.query_server = [&](const Bytes& req) -> std::optional<Bytes> {
            if (req.size() == 4) return user;
            if (req.size() == 6 && req[1] == 0x04) return a2;
            return std::nullopt;
        };
        EXPECT_EQ(f.core.OpenIpx("0000ABCD:00C0FFEE0102"), kOpenIpx);
        EXPECT_EQ(f.core.destination().ipx.socket[0], 0x40);
        EXPECT_EQ(f.core.destination().ipx.socket[1], 0x05);
        ASSERT_EQ(f.fake.sent.size(), 2u);
        EXPECT_EQ(f.fake.sent[0].to.ipx.socket[0], 0x81);   // queries go to socket 8138
        EXPECT_EQ(f.fake.sent[0].to.ipx.socket[1], 0x38);
        EXPECT_EQ(f.fake.sent[0].to.ipx.node[1], 0xC0);
        // Once the query is over, datagrams are processed normally again.
        f.core.RequestDeviceId("");
        f.fake.receive_queue.push_back(ReplyPacket(1, 1, Head(5, 3, 1, 0, 0, 5)));
        f.core.ReceiveLoop();
        EXPECT_EQ(f.core.ReceiveServerReply(scanner::ConfigFiles()).count, 5);
    }
    {   // A unanswered (three tries of its first request), then B.
        Fixture f;
        f.fake.query_server = [&](const Bytes& req) -> std::optional<Bytes> {
            if (req.size() == 2) return Bytes{1};
            if (req.size() == 6 && req[0] == 0x17) return b2;
            return std::nullopt;
        };
        EXPECT_EQ(f.core.OpenIpx("0000ABCD:00C0FFEE0102"), kOpenIpx);
        EXPECT_EQ(f.core.destination().ipx.socket[0], 0x12);
        ASSERT_EQ(f.fake.sent.size(), 5u);
        EXPECT_EQ(f.fake.now, 3 * 1500u);
        EXPECT_EQ(f.fake.sent[4].data, (Bytes{0x17, 0, 1, 0, 0, 0}));
    }
    {   // A's second answer invalid three times, B silent: result 10.
        Fixture f;
        f.fake.query_server = [&](const Bytes& req) -> std::optional<Bytes> {
            if (req.size() == 4) return user;
            if (req.size() == 6 && req[1] == 0x04) return Bytes{0, 0, 0, 0, 1, 0, 0xFF, 0xFF};
            return std::nullopt;
        };
        EXPECT_EQ(f.core.OpenIpx("0000ABCD:00C0FFEE0102"), kOpenQueryFailed);
        EXPECT_EQ(f.fake.sent.size(), 1u + 3 + 3);
    }
}

TEST(Open, ReportRules) {
    struct Case { bool quiet; int result; bool exits; int message; bool ipx_in_use; } cases[] = {
        {false, kOpenIpx, false, 0, true},   {false, kOpenIp, false, 0, false},
        {false, kOpenStartupFailed, true, 100, false}, {false, kOpenSocketFailed, true, 106, false},
        {false, kOpenBindFailed, true, 107, false},    {false, kOpenSockNameFailed, true, 108, false},
        {false, kOpenSockOptFailed, true, 109, false}, {false, kOpenQueryFailed, true, 111, false},
        {false, kOpenResolveFailed, true, 116, false}, {false, kOpenThreadFailed, true, 110, false},
        {false, 99, true, 112, false},
        {true, kOpenIpx, false, 0, false},   {true, kOpenSocketFailed, false, 0, false},
    };
    for (const Case& c : cases) {
        Fixture f({"SRV", 5, 10, c.quiet});
        EXPECT_EQ(f.core.ReportOpen(c.result), c.exits) << c.result;
        EXPECT_EQ(f.fake.messages, c.message ? std::vector<int>{c.message} : std::vector<int>{});
        EXPECT_EQ(f.core.ipx_in_use(), c.ipx_in_use);
    }
}

TEST(Reply, SinglePacketInFirstRound) {
    Fixture f;
    f.core.OpenIp("127.0.0.1");
    f.fake.server = [&](const Bytes& req) {
        EXPECT_EQ(req, EncodeDeviceRequest(""));
        f.core.OnDatagram(ReplyPacket(1, 1, Head(250, 3, 1, 42, 1, 250)).data(), 18);
    };
    ASSERT_TRUE(f.core.RequestDeviceId(""));
    EXPECT_TRUE(f.fake.sent[0].locked);
    ReplyOutcome r = f.core.ReceiveServerReply(scanner::ConfigFiles());
    EXPECT_EQ(r.count, 250);
    EXPECT_TRUE(r.assigned);
    EXPECT_EQ(r.device_id, "SRV00010000002A");
    EXPECT_EQ(f.fake.sleeps, 0);
}

TEST(Reply, LateMultiPacketReplyWithConfigLists) {
    Fixture f;
    f.core.OpenIp("127.0.0.1");
    scanner::ConfigFileList list;
    list.AddConfigured("\\CONFIG.SYS");
    list.AddConfigured("C:\\WINNT\\WIN.INI");
    f.core.RequestDeviceId("KNOWNID");
    f.fake.Deliver(2500, ReplyPacket(2, 3, ListBytes({{"D:\\", "CONFIG.SYS", 7, 8}})));
    f.fake.Deliver(1500, ReplyPacket(1, 3, Cat(Head(9, 3, 1, 0, 0, 9),
                                               ListBytes({{"C:\\WINNT\\", "WIN.INI", 5, 6}}))));
    f.fake.Deliver(3200, ReplyPacket(3, 3, ListBytes({})));
    ReplyOutcome r = f.core.ReceiveServerReply(list);
    EXPECT_EQ(r.count, 9);
    EXPECT_FALSE(r.assigned);                      // device number 0: no new ID
    EXPECT_EQ(list.entries[1].time, 5u);
    EXPECT_EQ(list.entries[2].name, "D:\\CONFIG.SYS");
    EXPECT_EQ(list.entries[2].size, 8u);
    EXPECT_EQ(f.fake.sleeps, 4);                   // rounds at 0, 1, 2, 3 and 4 s
}

TEST(Reply, VersionCopiesAndSilence) {
    {   // Version 3.2: message 77, the caller ends the run.
        Fixture f;
        f.core.OpenIp("127.0.0.1");
        f.core.RequestDeviceId("");
        f.core.OnDatagram(ReplyPacket(1, 1, Head(5, 3, 2, 42, 0, 5)).data(), 18);
        ReplyOutcome r = f.core.ReceiveServerReply(scanner::ConfigFiles());
        EXPECT_TRUE(r.version_mismatch);
        EXPECT_FALSE(r.assigned);
        EXPECT_EQ(f.fake.messages, std::vector<int>{77});
        EXPECT_EQ(f.fake.lock_depth, 0);
    }
    {   // Quiet: still the end of the run, without the message.
        Fixture f({"SRV", 5, 10, true});
        f.core.OpenIp("127.0.0.1");
        f.core.RequestDeviceId("");
        f.core.OnDatagram(ReplyPacket(1, 1, Head(5, 4, 1, 0, 0, 5)).data(), 18);
        EXPECT_TRUE(f.core.ReceiveServerReply(scanner::ConfigFiles()).version_mismatch);
        EXPECT_TRUE(f.fake.messages.empty());
    }
    {   // The copy of the count disagrees: count 0, the number is still taken.
        Fixture f;
        f.core.OpenIp("127.0.0.1");
        f.core.RequestDeviceId("");
        f.core.OnDatagram(ReplyPacket(1, 1, Head(5, 3, 1, 42, 1, 6)).data(), 18);
        ReplyOutcome r = f.core.ReceiveServerReply(scanner::ConfigFiles());
        EXPECT_EQ(r.count, 0);
        EXPECT_EQ(r.device_id, "SRV00010000002A");
    }
    {   // No reply: every round waits a second, then count 0.
        Fixture f({"SRV", 5, 12, false});
        f.core.OpenIp("127.0.0.1");
        f.core.RequestDeviceId("");
        ReplyOutcome r = f.core.ReceiveServerReply(scanner::ConfigFiles());
        EXPECT_EQ(r.count, 0);
        EXPECT_FALSE(r.assigned);
        EXPECT_EQ(f.fake.sleeps, 12);
        EXPECT_EQ(f.fake.now, 12000u);
    }
}

TEST(Reply, DuplicatesAndStrayPackets) {
    Fixture f;
    f.core.OpenIp("127.0.0.1");
    scanner::ConfigFileList list;
    list.AddConfigured("C:\\B.INI");
    // Before the request: ignored.
    f.core.OnDatagram(ReplyPacket(1, 1, Head(1, 3, 1, 0, 0, 1)).data(), 18);
    f.core.RequestDeviceId("");
    // Packet 1 of 2, then copies of it; packet 2 only at 2.5 s. A copy of a
    // processed packet must not count as the missing one.
    Bytes p1 = ReplyPacket(1, 2, Head(3, 3, 1, 0, 0, 3));
    f.core.OnDatagram(p1.data(), p1.size());
    f.fake.Deliver(500, p1);
    f.fake.Deliver(1500, p1);
    f.fake.Deliver(2500, ReplyPacket(2, 2, ListBytes({{"C:\\", "B.INI", 11, 12}})));
    f.fake.Deliver(100, ReplyPacket(6, 2, {}));     // sequence beyond 5: ignored
    f.fake.Deliver(100, Bytes{0xFF, 0xFF, 0x01});  // too short for a header
    ReplyOutcome r = f.core.ReceiveServerReply(list);
    EXPECT_EQ(r.count, 3);
    EXPECT_EQ(list.entries[0].time, 11u);
}

TEST(Reply, SendErrorIsReported) {
    Fixture f;
    f.core.OpenIp("127.0.0.1");
    f.fake.send_result = 10051;
    EXPECT_FALSE(f.core.RequestDeviceId("X"));
    EXPECT_EQ(f.fake.send_errors, std::vector<long>{10051});
}

// A server that acknowledges every data packet after `delay` ms.
void AutoAck(Fixture& f, std::uint32_t delay, std::function<bool(std::uint16_t)> drop = nullptr) {
    f.fake.server = [&f, delay, drop](const Bytes& d) {
        std::uint16_t word = GetU16(d.data());
        if (drop && drop(word)) return;
        f.fake.Deliver(f.fake.now + delay, Ack(word));
    };
}

TEST(Send, WireFormat) {
    Fixture f;
    f.core.OpenIp("127.0.0.1");
    AutoAck(f, 1);
    for (unsigned n = 1; n <= 7; ++n) {
        std::vector<std::uint8_t> p = ItemPacket("BIOS - Date =01/01/98");
        ASSERT_EQ(f.core.SendPacket(p.data(), n, n == 7), 0);
    }
    ASSERT_EQ(f.fake.sent.size(), 7u);
    const Bytes& last = f.fake.sent[6].data;
    EXPECT_EQ(GetU16(last.data()), 0x0707);
    EXPECT_EQ(GetU16(f.fake.sent[0].data.data()), 0x0100);
    EXPECT_EQ(last.size(), 4u + 21 + 2);
    EXPECT_EQ(GetU16(last.data() + 2), Checksum(last.data() + 4, 21));
    for (const Sent& s : f.fake.sent) EXPECT_TRUE(s.locked);
    EXPECT_EQ(f.core.WaitForAllAcks(), 0);
}

TEST(Send, WindowOfFiveAndRetransmission) {
    Fixture f;
    f.core.OpenIp("127.0.0.1");
    std::vector<std::uint8_t> p = ItemPacket("K =V");
    for (unsigned n = 1; n <= 5; ++n) ASSERT_EQ(f.core.SendPacket(p.data(), n, false), 0);
    EXPECT_EQ(f.fake.now, 0u);                         // no waiting while slots are free
    EXPECT_EQ(f.core.busy_slots(), 5);
    // Packet 1 (the candidate) unacknowledged, packet 2 acknowledged at 200 ms:
    // the candidate is resent at once, and again a little over a second later.
    f.fake.Deliver(200, Ack(0x0200));
    f.fake.Deliver(1250, Ack(0x0100));
    ASSERT_EQ(f.core.SendPacket(p.data(), 6, false), 0);
    std::vector<std::uint32_t> resends;
    for (std::size_t i = 5; i < f.fake.sent.size(); ++i)
        if (GetU16(f.fake.sent[i].data.data()) == 0x0100) resends.push_back(f.fake.sent[i].at);
    ASSERT_EQ(resends.size(), 2u);
    EXPECT_EQ(resends[0], 200u);
    EXPECT_GT(resends[1], 1200u);
    EXPECT_LT(resends[1], 1300u);
    EXPECT_EQ(GetU16(f.fake.sent.back().data.data()), 0x0600);
    EXPECT_EQ(f.fake.sent.back().at, 1250u);           // woke on the acknowledgement
}

TEST(Send, GivesUpWithMessage87) {
    for (bool quiet : {false, true}) {
        Fixture f({"SRV", 5, 10, quiet});
        f.core.OpenIp("127.0.0.1");
        std::vector<std::uint8_t> p = ItemPacket("K =V");
        for (unsigned n = 1; n <= 5; ++n) f.core.SendPacket(p.data(), n, false);
        // An acknowledgement that matches no busy slot changes nothing.
        f.core.OnDatagram(Ack(0x0900).data(), 2);
        EXPECT_EQ(f.core.SendPacket(p.data(), 6, false), -1);
        EXPECT_EQ(f.fake.sent.size(), 5u + 11);         // 11 retransmissions, then give up
        EXPECT_EQ(f.fake.messages, quiet ? std::vector<int>{} : std::vector<int>{87});
        EXPECT_LT(f.fake.waits, 40);
        // The run has failed: the final wait ends at once, without resending.
        const std::uint32_t now = f.fake.now;
        EXPECT_EQ(f.core.WaitForAllAcks(), 5);
        EXPECT_EQ(f.fake.now, now);
        EXPECT_EQ(f.fake.sent.size(), 5u + 11);
        EXPECT_EQ(f.fake.messages.size(), quiet ? 0u : 1u);
    }
}

TEST(Send, PacketNumbersWrapModulo256) {
    Fixture f;
    f.core.OpenIp("127.0.0.1");
    // The server acknowledges everything at once, except that it loses the
    // acknowledgements of packet 256 (header word 0) for its first 2.5 s:
    // the slot must stay busy until one gets through, not count as free.
    std::optional<std::uint32_t> first_zero;
    f.fake.server = [&](const Bytes& d) {
        std::uint16_t word = GetU16(d.data());
        if (word == 0 && !first_zero) first_zero = f.fake.now;
        if (word == 0 && f.fake.now < *first_zero + 2500) return;
        f.fake.Deliver(f.fake.now + 1, Ack(word));
    };
    std::vector<std::uint8_t> p = ItemPacket("K =V");
    for (unsigned n = 1; n <= 511; ++n) ASSERT_EQ(f.core.SendPacket(p.data(), n, false), 0) << n;
    // The last packet is number 512 (low byte 0): sent as an ordinary packet,
    // followed by an empty last packet 513 (header word 0x0101).
    ASSERT_EQ(f.core.SendPacket(p.data(), 512, true), 0);
    EXPECT_EQ(f.core.WaitForAllAcks(), 0);
    const Bytes& end = f.fake.sent.back().data;
    EXPECT_EQ(GetU16(end.data()), 0x0101);
    EXPECT_EQ(end.size(), 4u + 2);
    // Packet 261 reuses the slot of packet 256: not before 256's acknowledgement.
    std::uint32_t t256 = 0, t261 = 0, t512 = 0;
    int zero_words = 0;
    for (const Sent& s : f.fake.sent) {
        std::uint16_t w = GetU16(s.data.data());
        if (w == 0 && ++zero_words == 1) t256 = s.at;
        if (w == 0 && t261 != 0 && t512 == 0) t512 = s.at;
        if (w == 0x0500 && t256 != 0 && t261 == 0) t261 = s.at;
    }
    EXPECT_GE(t261, t256 + 2500);
    EXPECT_GT(t512, t261);
    EXPECT_GE(zero_words, 2);                   // packets 256 and 512 went out
}

// Times at which the packet with header word `word` was sent.
std::vector<std::uint32_t> SendTimes(const FakePlatform& p, std::uint16_t word) {
    std::vector<std::uint32_t> at;
    for (const Sent& s : p.sent)
        if (GetU16(s.data.data()) == word) at.push_back(s.at);
    return at;
}

TEST(FinalWait, EachPacketHasItsOwnTimerAndSpentRetriesFail) {
    for (bool quiet : {false, true}) {
        // Packet 1 is never acknowledged; the first copy of packet 3 is lost.
        Fixture f({"SRV", 5, 10, quiet});
        f.core.OpenIp("127.0.0.1");
        int copies3 = 0;
        f.fake.server = [&](const Bytes& d) {
            std::uint16_t word = GetU16(d.data());
            if (word == 0x0100 || (word == 0x0303 && copies3++ == 0)) return;
            f.fake.Deliver(f.fake.now + 10, Ack(word));
        };
        std::vector<std::uint8_t> p = ItemPacket("K =V");
        f.fake.now = 100;
        f.core.SendPacket(p.data(), 1, false);
        f.fake.now = 200;
        f.core.SendPacket(p.data(), 2, false);
        f.fake.now = 2000;
        f.core.SendPacket(p.data(), 3, true);
        EXPECT_EQ(f.core.WaitForAllAcks(), 1);
        // Packet 3 is sent again a little over an interval after its own copy.
        EXPECT_EQ(SendTimes(f.fake, 0x0303), (std::vector<std::uint32_t>{2000, 7001}));
        // Packet 1: ten more copies an interval apart, then the delivery fails.
        std::vector<std::uint32_t> one = SendTimes(f.fake, 0x0100);
        ASSERT_EQ(one.size(), 11u);
        for (std::size_t i = 1; i < one.size(); ++i) EXPECT_EQ(one[i] - one[i - 1], 5001u) << i;
        EXPECT_EQ(f.fake.now, one.back() + 5001);
        EXPECT_LE(f.fake.waits, 15);            // a handful of waits, not a busy loop
        EXPECT_EQ(f.fake.messages, quiet ? std::vector<int>{} : std::vector<int>{87});
    }
    {   // Acknowledgements arriving: the wait ends with the last one.
        Fixture f;
        f.core.OpenIp("127.0.0.1");
        AutoAck(f, 300);
        std::vector<std::uint8_t> p = ItemPacket("K =V");
        for (unsigned n = 1; n <= 3; ++n) f.core.SendPacket(p.data(), n, n == 3);
        EXPECT_EQ(f.core.WaitForAllAcks(), 0);
        EXPECT_EQ(f.fake.now, 300u);
        EXPECT_TRUE(f.fake.messages.empty());
    }
}

TEST(Receiver, LoopAndClose) {
    Fixture f;
    ASSERT_EQ(f.core.OpenIp("127.0.0.1"), kOpenIp);
    std::vector<std::uint8_t> p = ItemPacket("K =V");
    f.core.SendPacket(p.data(), 1, true);
    // An oversized datagram is skipped; the acknowledgement after it is seen.
    f.fake.receive_queue.push_back(Bytes(600, 1));
    f.fake.receive_queue.push_back(Bytes{});
    f.fake.receive_queue.push_back(Ack(0x0101));
    f.core.ReceiveLoop();
    EXPECT_EQ(f.core.busy_slots(), 0);
    f.core.Close();
    EXPECT_EQ(f.fake.hard_closes, 1);
    EXPECT_EQ(f.fake.cleanups, 1);
    EXPECT_EQ(f.fake.joins, 1);
    f.core.Close();                             // a second close does nothing
    EXPECT_EQ(f.fake.cleanups, 1);
}

}  // namespace
}  // namespace qv::serverlink
