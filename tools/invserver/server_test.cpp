// The inventory server's sessions, storage and fault injection, driven with
// datagrams built by the scanner's own encoders.
#include "tools/invserver/server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/invserver/query.h"
#include "tools/invserver/test_packets.h"

namespace qv::invserver {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/invserver-test-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

struct Harness {
    TempDir dir;
    ServerOptions opt;
    std::vector<std::pair<std::string, Bytes>> out;
    std::vector<std::string> log;
    std::unique_ptr<InventoryServer> server;

    explicit Harness(std::function<void(ServerOptions&)> tweak = nullptr) {
        opt.storage = dir.path + "/store";
        opt.seed = 7;
        if (tweak) tweak(opt);
        server = std::make_unique<InventoryServer>(
            opt, [this](const std::string& peer, const std::uint8_t* d, std::size_t n) {
                out.emplace_back(peer, Bytes(d, d + n));
            },
            [this](const std::string& line) { log.push_back(line); });
        EXPECT_TRUE(server->Init());
    }
    void Send(const std::string& peer, const Bytes& b, std::uint64_t now = 0) {
        server->OnDatagram(peer, b.data(), b.size(), now);
    }
    // The flat file of a device's latest stored inventory ("" when none).
    std::string Stored(const std::string& key) {
        std::string flat;
        const std::int64_t id = server->store().LatestInventory(key);
        if (id) {
            EXPECT_TRUE(server->store().RebuildFlat(id, &flat));
        }
        return flat;
    }
    std::vector<Bytes> Take() {
        std::vector<Bytes> r;
        for (auto& p : out) r.push_back(p.second);
        out.clear();
        return r;
    }
};

using test::DataPacket;
using test::Item;

TEST(InvServer, AssignsNumbersAndAnswers31) {
    Harness h;
    h.Send("10.0.0.1:1000", serverlink::EncodeDeviceRequest(""));
    std::vector<Bytes> r = h.Take();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(serverlink::GetU16(r[0].data()), 0xFFFF);
    EXPECT_EQ(serverlink::GetU16(r[0].data() + 2), 0x0101);
    serverlink::ReplyHead head = serverlink::DecodeReplyHead(r[0].data() + 4);
    EXPECT_TRUE(head.VersionOk());
    EXPECT_TRUE(head.CopiesAgree());
    EXPECT_EQ(head.count, 1);
    EXPECT_EQ(head.device_low, 1u);
    EXPECT_EQ(r[0].size(), 4u + 14 + 1);      // empty list: one zero byte

    h.Send("10.0.0.2:1000", serverlink::EncodeDeviceRequest(""));
    EXPECT_EQ(serverlink::DecodeReplyHead(h.Take()[0].data() + 4).device_low, 2u);
    // A known ID gets no new number.
    h.Send("10.0.0.3:1000", serverlink::EncodeDeviceRequest("SRV000000000001"));
    EXPECT_EQ(serverlink::DecodeReplyHead(h.Take()[0].data() + 4).device_low, 0u);
    EXPECT_EQ(h.server->store().KeyForId("SRV000000000001"), "dev-000000000001");
    EXPECT_EQ(h.server->store().KeyForId("PC5F00AA11"), "id-PC5F00AA11");
    EXPECT_EQ(h.log.size(), 3u);
}

TEST(InvServer, ReassemblesAcksAndStores) {
    Harness h;
    const std::string peer = "127.0.0.1:4000";
    h.Send(peer, serverlink::EncodeDeviceRequest(""));
    h.Take();
    Bytes p1 = DataPacket(1, false, Item("Device ID =SRV000000000001") + Item("A =1"));
    Bytes p2 = DataPacket(2, false, Item("B =2"));
    Bytes p3 = DataPacket(3, true, Item("C =") + Item("Number of Files =    42"));
    Bytes bad = p2;
    bad[2] ^= 1;                                   // checksum off by one
    h.Send(peer, bad);
    EXPECT_TRUE(h.Take().empty());                 // not acknowledged
    h.Send(peer, p3);                              // out of order
    h.Send(peer, p1);
    h.Send(peer, p1);                              // copy: acknowledged again, dropped
    h.Send(peer, p2);
    std::vector<Bytes> acks = h.Take();
    ASSERT_EQ(acks.size(), 4u);
    EXPECT_EQ(acks[0], (Bytes{0x03, 0x03}));
    EXPECT_EQ(acks[1], (Bytes{0x00, 0x01}));
    EXPECT_EQ(acks[3], (Bytes{0x00, 0x02}));
    EXPECT_EQ(h.Stored("dev-000000000001"),
              "Device ID = SRV000000000001\r\nA = 1\r\nB = 2\r\nC =\r\nNumber of Files =     42\r\n");
    std::int64_t n = 0;
    EXPECT_TRUE(h.server->store().db().QueryInt(
        "SELECT COUNT(*) FROM devices WHERE name = 'dev-000000000001' AND device_id = 'SRV000000000001'", {}, &n));
    EXPECT_EQ(n, 1);
    EXPECT_EQ(h.server->stats().inventories, 1u);
    EXPECT_EQ(h.server->stats().bad_checksums, 1u);
    // Late copies after completion are acknowledged, not stored again.
    h.Send(peer, p3);
    EXPECT_EQ(h.Take().size(), 1u);
    EXPECT_EQ(h.server->stats().inventories, 1u);
    // The next request of this device reports its last file count.
    h.Send("127.0.0.1:4001", serverlink::EncodeDeviceRequest("SRV000000000001"));
    EXPECT_EQ(serverlink::DecodeReplyHead(h.Take()[0].data() + 4).count, 42);
}

// The scanner ends as soon as the last packet is acknowledged, and whoever
// looks next must find the inventory stored: the acknowledgement follows the
// store, never the other way round.
TEST(InvServer, LastAckGoesOutOnlyAfterTheInventoryIsStored) {
    Harness h;
    const std::string peer = "127.0.0.1:4000";
    h.Send(peer, serverlink::EncodeDeviceRequest(""));
    h.Take();
    std::vector<std::string> seen_at_ack;
    h.server = std::make_unique<InventoryServer>(
        h.opt,
        [&](const std::string&, const std::uint8_t*, std::size_t n) {
            if (n == 2) seen_at_ack.push_back(h.Stored("dev-000000000001"));
        },
        [](const std::string&) {});
    ASSERT_TRUE(h.server->Init());
    h.Send(peer, serverlink::EncodeDeviceRequest("SRV000000000001"));
    h.Send(peer, DataPacket(1, false, Item("Device ID =SRV000000000001")));
    h.Send(peer, DataPacket(2, true, Item("A =1")));
    ASSERT_EQ(seen_at_ack.size(), 2u);
    EXPECT_EQ(seen_at_ack[0], "");
    EXPECT_EQ(seen_at_ack[1], "Device ID = SRV000000000001\r\nA = 1\r\n");
}

TEST(InvServer, PacketNumbersModulo256) {
    Harness h;
    const std::string peer = "127.0.0.1:4000";
    h.Send(peer, serverlink::EncodeDeviceRequest(""));
    std::string expect;
    for (unsigned n = 1; n <= 600; ++n) {
        std::string item = "Item " + std::to_string(n) + " =v";
        expect += "Item " + std::to_string(n) + " = v\r\n";
        h.Send(peer, DataPacket(n, false, Item(item)));
        if (n % 7 == 0) h.Send(peer, DataPacket(n - 3, false, Item("Late copy =x")));   // resent copy
    }
    h.Send(peer, DataPacket(601, true, ""));
    EXPECT_EQ(h.Stored("dev-000000000001"), expect);
}

TEST(InvServer, CapturedFilesComeBackInTheReply) {
    Harness h;
    h.Send("p:1", serverlink::EncodeDeviceRequest(""));
    h.Take();
    // 40 captured files: more than one reply packet can hold.
    std::string texts = Item("Device ID =S000000000001");
    unsigned n = 1;
    for (int i = 0; i < 40; ++i) {
        std::string block = Item("_BeginContents") + Item(std::to_string(100 + i)) +
                            Item(std::to_string(900000000 + i)) + Item("FILE" + std::to_string(i) + ".INI") +
                            Item("C:\\SOME\\LONGER\\DIRECTORY\\NAME\\") + "x=1\r\n" + Item("_EndContents");
        if (texts.size() + block.size() > 530) {
            h.Send("p:1", DataPacket(n++, false, texts));
            texts.clear();
        }
        texts += block;
    }
    h.Send("p:1", DataPacket(n, true, texts));
    h.Take();
    std::vector<DbRow> rows;
    ASSERT_TRUE(h.server->store().db().QueryRows("SELECT contents FROM captures ORDER BY id", {}, &rows));
    ASSERT_EQ(rows.size(), 40u);
    EXPECT_EQ(rows[0][0].AsText(), "x=1\r\n");

    h.Send("p:2", serverlink::EncodeDeviceRequest("S000000000001"));
    std::vector<Bytes> reply = h.Take();
    ASSERT_GE(reply.size(), 2u);
    ASSERT_LE(reply.size(), 5u);
    scanner::ConfigFileList list;
    list.AddConfigured("\\SOME\\LONGER\\DIRECTORY\\NAME\\FILE0.INI");
    list.AddConfigured("C:\\SOME\\LONGER\\DIRECTORY\\NAME\\FILE39.INI");
    std::size_t entries = 0;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        EXPECT_EQ(serverlink::GetU16(reply[i].data() + 2), ((i + 1) << 8) | reply.size());
        std::size_t at = 4 + (i == 0 ? serverlink::kReplyHeadSize : 0);
        for (const auto& e : serverlink::DecodeConfigList(reply[i].data() + at, reply[i].size() - at)) {
            ++entries;
            serverlink::MergeConfigEntry(list, e);
        }
    }
    EXPECT_EQ(entries, 40u);
    EXPECT_EQ(list.entries[1].time, 900000039u);
    EXPECT_EQ(list.entries[1].size, 139u);
    EXPECT_EQ(list.entries[2].name, "C:\\SOME\\LONGER\\DIRECTORY\\NAME\\FILE0.INI");   // added for the drive-less form
}

TEST(InvServer, FaultInjection) {
    {
        Harness h([](ServerOptions& o) { o.drop_acks = 100; o.dup_replies = 100; });
        h.Send("p:1", serverlink::EncodeDeviceRequest(""));
        EXPECT_EQ(h.Take().size(), 2u);                      // the reply twice
        h.Send("p:1", DataPacket(1, true, Item("A =1")));
        EXPECT_TRUE(h.Take().empty());                       // no acknowledgement
        EXPECT_EQ(h.server->stats().inventories, 1u);        // but the data is kept
    }
    {
        Harness h([](ServerOptions& o) { o.version_major = 3; o.version_minor = 2; o.disagree_copies = true; o.expected_files = 500; });
        h.Send("p:1", serverlink::EncodeDeviceRequest(""));
        serverlink::ReplyHead head = serverlink::DecodeReplyHead(h.Take()[0].data() + 4);
        EXPECT_EQ(head.minor, 2);
        EXPECT_EQ(head.minor_copy, 2);
        EXPECT_EQ(head.count, 500);
        EXPECT_EQ(head.count_copy, 501);
    }
    {   // About a fifth of the acknowledgements dropped.
        Harness h([](ServerOptions& o) { o.drop_acks = 20; });
        for (int i = 0; i < 1000; ++i) h.Send("p:1", DataPacket(1 + i % 200, false, Item("A =1")));
        EXPECT_GT(h.Take().size(), 700u);
        EXPECT_GT(h.server->stats().acks_dropped, 120u);
    }
}

TEST(InvServer, ReplayWithoutRequest) {
    Harness h;
    h.Send("p:9", DataPacket(1, true, Item("Device ID =PC5F00AA11") + Item("A =1")));
    EXPECT_EQ(h.Stored("id-PC5F00AA11"), "Device ID = PC5F00AA11\r\nA = 1\r\n");
}

// A second inventory from an address whose last one is finished is a new
// inventory, stored like the first; a late copy of the first is only
// acknowledged again.
TEST(InvServer, SecondInventoryFromTheSameAddressIsStored) {
    Harness h;
    const std::string peer = "p:9";
    Bytes first = DataPacket(1, true, Item("Device ID =PC1") + Item("A =1"));
    h.Send(peer, first);
    h.Send(peer, first);
    EXPECT_EQ(h.Take().size(), 2u);
    EXPECT_EQ(h.server->stats().inventories, 1u);
    h.Send(peer, DataPacket(1, false, Item("Device ID =PC1") + Item("A =2")));
    h.Send(peer, DataPacket(2, true, Item("B =3")));
    EXPECT_EQ(h.Take().size(), 2u);
    EXPECT_EQ(h.Stored("id-PC1"), "Device ID = PC1\r\nA = 2\r\nB = 3\r\n");
    EXPECT_EQ(h.server->stats().inventories, 2u);
}

// A database that fails means no answer and no acknowledgement, and nothing
// half stored: a device number that cannot be recorded is not handed out, and
// an inventory that cannot be stored gets no acknowledgement for its last
// packet (a copy of it, once the database works, gets one).
struct FaultyDatabase : Database {
    std::unique_ptr<Database> real;
    std::string fail_on;           // statements containing this fail
    explicit FaultyDatabase(std::unique_ptr<Database> db) : real(std::move(db)) {}
    bool Faulty(const std::string& sql) {
        if (fail_on.empty() || sql.find(fail_on) == std::string::npos) return false;
        message = "disk I/O error (injected)";
        return true;
    }
    DbBackend backend() const override { return real->backend(); }
    const char* BlobType() const override { return real->BlobType(); }
    std::string where() const override { return real->where(); }
    bool Exec(const std::string& sql, const DbParams& p) override { return !Faulty(sql) && real->Exec(sql, p); }
    bool Query(const std::string& sql, const DbParams& p, const std::function<bool(const DbRow&)>& f) override {
        return !Faulty(sql) && real->Query(sql, p, f);
    }
    bool Begin() override { return real->Begin(); }
    bool Commit() override { return real->Commit(); }
    bool Rollback() override { return real->Rollback(); }
    const std::string& error() const override { return message.empty() ? real->error() : message; }
    std::string message;
};

TEST(InvServer, DatabaseFailuresAreNotAcknowledged) {
    for (const char* statement : {"UPDATE counters", "INSERT INTO devices"}) {
        Harness h;
        std::string err;
        auto db = std::make_unique<FaultyDatabase>(OpenSqlite(h.opt.storage + "/faulty.db", &err));
        FaultyDatabase* faulty = db.get();
        ASSERT_TRUE(h.server->Init(std::move(db)));
        faulty->fail_on = statement;
        h.Send("p:1", serverlink::EncodeDeviceRequest(""));
        EXPECT_TRUE(h.Take().empty()) << statement;
        EXPECT_NE(h.log.back().find("cannot assign a device number: disk I/O error"), std::string::npos)
            << h.log.back();
        faulty->fail_on.clear();
        for (std::uint32_t expect : {1u, 2u}) {
            h.Send("p:2", serverlink::EncodeDeviceRequest(""));
            std::vector<Bytes> r = h.Take();
            ASSERT_EQ(r.size(), 1u) << statement;
            EXPECT_EQ(serverlink::DecodeReplyHead(r[0].data() + 4).device_low, expect) << statement;
        }
    }
    for (const char* statement : {"INSERT INTO items", "INSERT INTO software", "UPDATE devices SET latest"}) {
        Harness h;
        std::string err;
        auto db = std::make_unique<FaultyDatabase>(OpenSqlite(h.opt.storage + "/faulty.db", &err));
        FaultyDatabase* faulty = db.get();
        ASSERT_TRUE(h.server->Init(std::move(db)));
        faulty->fail_on = statement;
        Bytes p1 = DataPacket(1, false, Item("Device ID =PC2") + Item("_SOFTWARE =")),
              p2 = DataPacket(2, true, Item("Zip =1"));
        h.Send("p:1", p1);
        h.Send("p:1", p2);
        EXPECT_EQ(h.Take(), (std::vector<Bytes>{{0x00, 0x01}})) << statement;
        EXPECT_NE(h.log.back().find("NOT STORED for id-PC2 (cannot store the inventory: disk I/O error"),
                  std::string::npos) << h.log.back();
        EXPECT_EQ(h.server->stats().inventories, 0u);
        std::int64_t rows = -1;
        EXPECT_TRUE(faulty->QueryInt("SELECT COUNT(*) FROM inventories", {}, &rows));
        EXPECT_EQ(rows, 0) << statement;                 // rolled back whole
        faulty->fail_on.clear();
        h.Send("p:1", p2);
        EXPECT_EQ(h.Take(), (std::vector<Bytes>{{0x02, 0x02}}));
        EXPECT_EQ(h.Stored("id-PC2"), "Device ID = PC2\r\n_SOFTWARE =\r\nZip = 1\r\n");
        EXPECT_EQ(h.server->stats().inventories, 1u);
    }
}

// The file count on the wire is 16 bits; a larger stored count is capped.
TEST(InvServer, ExpectedFileCountCappedAt65535) {
    const struct {
        const char* stored;
        std::uint16_t sent;
    } cases[] = {{"    42", 42}, {" 65535", 65535}, {"100000", 65535}, {"4294967295", 65535}};
    for (const auto& c : cases) {
        Harness h;
        h.Send("p:1", DataPacket(1, true, Item("Device ID =PC3") + Item(std::string("Number of Files = ") + c.stored)));
        h.Take();
        h.Send("p:2", serverlink::EncodeDeviceRequest("PC3"));
        EXPECT_EQ(serverlink::DecodeReplyHead(h.Take()[0].data() + 4).count, c.sent) << c.stored;
    }
}

TEST(InvServer, Options) {
    struct Case { std::vector<const char*> args; bool ok; } cases[] = {
        {{"x"}, true},
        {{"x", "--port=5100", "--address=127.0.0.1", "--storage=/tmp/s"}, true},
        {{"x", "--drop-acks=20", "--dup-replies=5", "--reply-version=3.2", "--disagree-copies"}, true},
        {{"x", "--port=70000"}, false},
        {{"x", "--drop-acks=101"}, false},
        {{"x", "--reply-version=3"}, false},
        {{"x", "--bogus"}, false},
        {{"x", "--session-limit=8", "--total-limit=64", "--session-idle=60", "--session-lifetime=3600",
          "--max-peers=10", "--request-burst=5", "--request-rate=120", "--drop-datagrams=10"}, true},
        {{"x", "--session-limit=0"}, false},
        {{"x", "--max-peers=0"}, false},
        {{"x", "--drop-datagrams=101"}, false},
    };
    for (const Case& c : cases) {
        ServerOptions o;
        std::string err;
        bool help;
        EXPECT_EQ(ParseOptions(static_cast<int>(c.args.size()), const_cast<char**>(c.args.data()), &o, &err, &help), c.ok)
            << c.args.back() << " " << err;
    }
    ServerOptions o;
    std::string err;
    bool help;
    const char* args[] = {"x", "--port=5100", "--reply-version=3.2", "--help"};
    EXPECT_FALSE(ParseOptions(4, const_cast<char**>(args), &o, &err, &help));
    EXPECT_TRUE(help);
    EXPECT_EQ(o.port, 5100);
    EXPECT_EQ(o.version_minor, 2);
}


// Counts the log lines containing `part`.
std::size_t Count(const std::vector<std::string>& log, const std::string& part) {
    std::size_t n = 0;
    for (const std::string& line : log) n += line.find(part) != std::string::npos;
    return n;
}

// A packet of about 500 bytes of items.
Bytes BigPacket(unsigned number, bool last = false) {
    return DataPacket(number, last, Item("Filler " + std::to_string(number) + " =" + std::string(480, 'x')));
}

// What one session and all sessions together hold is bounded: the offender
// is dropped and logged once, its further packets are not acknowledged, and
// honest scanners beside it are stored. Nothing stays counted afterwards.
TEST(InvServer, MemoryLimitsDropTheOffenderOnce) {
    const struct {
        const char* name;
        std::uint64_t session_limit, total_limit;
        std::string why;
    } cases[] = {
        {"one session over its limit", 6000, 1u << 30, "over the limit of one session"},
        {"all sessions over theirs", 1u << 30, 9000, "and this is the largest"},
    };
    for (const auto& c : cases) {
        Harness h([&](ServerOptions& o) {
            o.session_limit = c.session_limit;
            o.total_limit = c.total_limit;
        });
        h.Send("10.0.0.2:1", DataPacket(1, false, Item("Device ID =HONEST")));
        std::size_t acks = 0;
        for (unsigned n = 1; n <= 40; ++n) {
            h.Send("10.0.0.1:1", BigPacket(n));
            acks += h.Take().size();
        }
        EXPECT_LT(acks, 25u) << c.name;                        // not acknowledged once dropped
        EXPECT_EQ(Count(h.log, "dropped after"), 1u) << c.name;
        EXPECT_EQ(Count(h.log, c.why), 1u) << c.name;
        EXPECT_LT(h.server->held(), 1000u) << c.name;           // the offender's data is gone
        h.Send("10.0.0.2:1", DataPacket(2, true, Item("A =1")));
        EXPECT_EQ(h.Take().size(), 1u) << c.name;
        EXPECT_EQ(h.Stored("id-HONEST"), "Device ID = HONEST\r\nA = 1\r\n") << c.name;
        // A new device request starts the offender afresh.
        h.Send("10.0.0.1:1", serverlink::EncodeDeviceRequest("PCX"));
        h.Send("10.0.0.1:1", DataPacket(1, true, Item("A =1")));
        EXPECT_EQ(h.Take().size(), 2u) << c.name;
        h.server->Expire(1u << 30);
        EXPECT_EQ(h.server->sessions(), 0u) << c.name;
        EXPECT_EQ(h.server->held(), 0u) << c.name;
    }
}

// A session expires when it makes no progress for the idle time, however
// often its peer resends what the server has; and an unfinished one at the
// end of its lifetime even while it progresses. A scanner that keeps
// delivering new packets is stored.
TEST(InvServer, SessionsExpireWithoutProgressOrAtTheirLifetime) {
    const struct {
        const char* name;
        std::vector<std::pair<unsigned, std::uint64_t>> packets;   // number (0: the last), time
        std::uint64_t expire_at;
        bool expired;
    } cases[] = {
        {"copies only", {{1, 0}, {2, 0}, {1, 600}, {2, 600}, {1, 1200}, {2, 1200}}, 1300, true},
        {"a packet beyond a gap, resent", {{1, 0}, {3, 500}, {3, 1400}}, 1600, true},
        {"progress", {{1, 0}, {2, 900}, {3, 1800}}, 2000, false},
        {"progress past the lifetime", {{1, 0}, {2, 900}, {3, 1800}, {4, 2700}, {5, 3600}}, 3700, true},
        {"a scan finished within its lifetime", {{1, 0}, {2, 900}, {3, 1800}, {0, 2700}}, 2800, false},
    };
    for (const auto& c : cases) {
        Harness h([](ServerOptions& o) { o.lifetime_ms = 3000; });
        unsigned top = 0;
        for (const auto& [number, at] : c.packets) {
            const unsigned n = number ? number : top + 1;
            top = std::max(top, n);
            h.Send("p:1", DataPacket(n, number == 0, Item("Device ID =PC1") + Item("N =" + std::to_string(n))), at);
        }
        h.server->Expire(c.expire_at, 1000);
        EXPECT_EQ(h.server->sessions(), c.expired ? 0u : 1u) << c.name;
        EXPECT_EQ(Count(h.log, "incomplete inventory from p:1 dropped"), c.expired ? 1u : 0u) << c.name;
    }
}

// Device requests, and inventories begun without one, are limited per
// source address (a burst, then a rate): the rest get no answer, so a
// forged source draws no more reply bytes than the limit allows, and they
// are summed up in one log line a minute. Request lines beyond a number a
// minute are summed up too.
TEST(InvServer, RequestsAreLimitedPerAddressAndSummedUp) {
    struct Step {
        std::string peer;
        std::uint64_t at;
        bool replay;          // a one-packet inventory instead of a request
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
        std::size_t answered;
        std::string summary;
    } cases[] = {
        {"burst of one address",
         {{"10.0.0.1:1", 0, false}, {"10.0.0.1:2", 0, false}, {"10.0.0.1:3", 0, false},
          {"10.0.0.1:4", 0, false}, {"10.0.0.1:5", 0, false}, {"10.0.0.2:1", 0, false}},
         4, "rate limit: 2 from 1 address(es), most from 10.0.0.1 (2)"},
        {"refilled at the rate",
         {{"10.0.0.1:1", 0, false}, {"10.0.0.1:2", 0, false}, {"10.0.0.1:3", 0, false},
          {"10.0.0.1:4", 999, false}, {"10.0.0.1:5", 1000, false}, {"10.0.0.1:6", 1001, false}},
         4, "rate limit: 2 from 1 address(es)"},
        {"replays count too",
         {{"10.0.0.1:1", 0, true}, {"10.0.0.1:2", 0, true}, {"10.0.0.1:3", 0, false},
          {"10.0.0.1:4", 0, true}},
         3, "rate limit: 1 from 1 address(es)"},
    };
    for (const auto& c : cases) {
        Harness h([](ServerOptions& o) {
            o.request_burst = 3;
            o.request_rate = 60;
        });
        std::size_t answered = 0, bytes = 0;
        for (const Step& s : c.steps) {
            h.Send(s.peer, s.replay ? DataPacket(1, true, Item("A =1")) : serverlink::EncodeDeviceRequest(""), s.at);
            std::vector<Bytes> out = h.Take();
            answered += !out.empty();
            for (const Bytes& b : out) bytes += b.size();
        }
        EXPECT_EQ(answered, c.answered) << c.name;
        EXPECT_LE(bytes, c.answered * serverlink::kDatagramMax) << c.name;
        EXPECT_EQ(Count(h.log, "rate limit"), 0u) << c.name;        // not yet: once a minute
        h.server->Expire(60'000);
        EXPECT_EQ(Count(h.log, "rate limit"), 1u) << c.name;
        EXPECT_EQ(Count(h.log, c.summary), 1u) << c.name << ": " << h.log.back();
    }

    // Many addresses: 20 request lines a minute, then one summary.
    Harness h([](ServerOptions& o) { o.expected_files = 1; });
    for (int i = 0; i < 100; ++i) h.Send("10.0.1." + std::to_string(i) + ":1", serverlink::EncodeDeviceRequest("PC"));
    EXPECT_EQ(h.Take().size(), 100u);
    h.server->FlushSummaries(0);
    EXPECT_EQ(Count(h.log, "device request from"), kRequestLinesPerSummary);
    EXPECT_EQ(Count(h.log, "80 more device request(s) answered"), 1u);
}

// Texts a peer sent never forge a log line or a line of a stored file, and
// reach neither a terminal nor 'invserver list/show/find' as control
// characters.
TEST(InvServer, PeerTextsAreEscapedInLogsAndFiles) {
    Harness h;
    const std::string id = "PC\r\n2026-01-01 00:00:00 forged\x1b[2J";
    h.Send("p:1", serverlink::EncodeDeviceRequest(id));
    h.Send("p:1", DataPacket(1, false, Item("Device ID =" + id) + Item("Evil =x\r\nNumber of Files =  9999")));
    h.Send("p:1", DataPacket(2, true, Item("_BeginContents") + Item("3") + Item("1") + Item("A\nB.INI") +
                                          Item("C:\\") + "x\x1b\n" + Item("_EndContents")));
    h.Send("p:2", serverlink::EncodeDeviceRequest(id));
    ASSERT_EQ(h.log.size(), 3u);
    for (const std::string& line : h.log)
        for (unsigned char ch : line) EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << line;
    EXPECT_NE(h.log[0].find("device PC\\x0D\\x0A2026-01-01 00:00:00 forged\\x1B[2J,"), std::string::npos) << h.log[0];
    EXPECT_EQ(serverlink::DecodeReplyHead(h.Take().back().data() + 4).count, 1);   // no forged file count

    EXPECT_EQ(h.Stored("id-PC__2026-01-01_00_00_00_forged__2J"),
              "Device ID = PC\\x0D\\x0A2026-01-01 00:00:00 forged\\x1B[2J\r\n"
              "Evil = x\\x0D\\x0ANumber of Files =  9999\r\n"
              "_BeginContents\r\nA\\x0AB.INI\r\nC:\\\r\n1\r\n3\r\nx\x1b\r\n_EndContents\r\n");

    const std::string storage = "--storage=" + h.opt.storage;
    for (const std::vector<std::string>& query :
         {std::vector<std::string>{"list", storage}, {"show", "PC__2026-01-01_00_00_00_forged__2J", storage},
          {"find", "number of files", storage}}) {
        std::string out, err;
        EXPECT_EQ(RunQuery(query, &out, &err), 0) << query[0] << err;
        for (unsigned char ch : out) EXPECT_TRUE(ch == '\n' || (ch >= 0x20 && ch != 0x7F)) << query[0] << out;
        EXPECT_NE(out.find("PC\\x0D\\x0A2026-01-01 00:00:00 forged\\x1B[2J"), std::string::npos) << query[0] << out;
    }
}

// The number of peers is bounded: a new peer takes the place of one that
// holds nothing unfinished, or is refused (no answer, summed up in the log)
// while every place holds an unfinished inventory.
TEST(InvServer, PeersAreCapped) {
    Harness h([](ServerOptions& o) { o.max_peers = 3; });
    h.Send("10.0.0.1:1", DataPacket(1, false, Item("A =1")));        // unfinished
    h.Send("10.0.0.2:1", DataPacket(1, false, Item("A =1")));        // unfinished
    h.Send("10.0.0.3:1", serverlink::EncodeDeviceRequest("PC3"));    // a request only
    EXPECT_EQ(h.Take().size(), 3u);
    const struct {
        const char* name;
        std::string peer;
        Bytes datagram;
        std::size_t answers;
    } steps[] = {
        {"takes the place of the request", "10.0.0.4:1", DataPacket(1, false, Item("A =1")), 1},
        {"refused: all unfinished", "10.0.0.5:1", serverlink::EncodeDeviceRequest("PC5"), 0},
        {"refused: data too", "10.0.0.6:1", DataPacket(1, true, Item("A =1")), 0},
        {"an old peer goes on", "10.0.0.1:1", DataPacket(2, true, Item("B =2")), 1},
        {"takes the place of the stored one", "10.0.0.5:1", serverlink::EncodeDeviceRequest("PC5"), 1},
    };
    for (const auto& s : steps) {
        h.Send(s.peer, s.datagram);
        EXPECT_EQ(h.Take().size(), s.answers) << s.name;
        EXPECT_EQ(h.server->sessions(), 3u) << s.name;
    }
    h.server->FlushSummaries(0);
    EXPECT_EQ(Count(h.log, "peer limit: 2 from 2 address(es)"), 1u);
}

// Fault injection of incoming datagrams: about the share asked is ignored.
TEST(InvServer, DropsIncomingDatagrams) {
    Harness h([](ServerOptions& o) { o.drop_datagrams = 10; });
    for (int i = 0; i < 1000; ++i) h.Send("p:1", DataPacket(1 + i % 100, false, Item("A =1")));
    EXPECT_GT(h.server->stats().datagrams_dropped, 60u);
    EXPECT_LT(h.server->stats().datagrams_dropped, 140u);
    EXPECT_EQ(h.Take().size(), 1000u - h.server->stats().datagrams_dropped);
}

}  // namespace
}  // namespace qv::invserver
