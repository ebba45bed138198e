// Byte layouts of the server datagrams and the configuration list merge.
#include "scanner/serverlink/protocol.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qv::serverlink {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(DeviceRequest, Layout) {
    EXPECT_EQ(EncodeDeviceRequest(""), (Bytes{0, 0, 1, 0, 0}));
    EXPECT_EQ(EncodeDeviceRequest("AB1"), (Bytes{0, 0, 0, 0, 'A', 'B', '1', 0}));
    Bytes longest = EncodeDeviceRequest(std::string(100, 'X'));
    EXPECT_EQ(longest.size(), 4u + 79 + 1);

    DeviceRequest r;
    Bytes req = EncodeDeviceRequest("SRV00010000002A");
    ASSERT_TRUE(DecodeDeviceRequest(req.data(), req.size(), &r));
    EXPECT_FALSE(r.wants_id);
    EXPECT_EQ(r.device_id, "SRV00010000002A");
    Bytes none = EncodeDeviceRequest("");
    ASSERT_TRUE(DecodeDeviceRequest(none.data(), none.size(), &r));
    EXPECT_TRUE(r.wants_id);
    EXPECT_EQ(r.device_id, "");
    // Not requests: too short, reply mark, unterminated text.
    Bytes bad1{0, 0, 1, 0}, bad2{0xFF, 0xFF, 1, 1, 0}, bad3{0, 0, 0, 0, 'A', 'B'};
    EXPECT_FALSE(DecodeDeviceRequest(bad1.data(), bad1.size(), &r));
    EXPECT_FALSE(DecodeDeviceRequest(bad2.data(), bad2.size(), &r));
    EXPECT_FALSE(DecodeDeviceRequest(bad3.data(), bad3.size(), &r));
    // Data packet 256 (header word 0) whose checksum happens to be 1: its
    // payload ends in a pair of zeros, so it is no request.
    Bytes data256{0, 0, 1, 0, 1, 0, 0};
    EXPECT_FALSE(DecodeDeviceRequest(data256.data(), data256.size(), &r));
    Bytes empty256{0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(DecodeDeviceRequest(empty256.data(), empty256.size(), &r));
}

TEST(DataPacket, HeaderWords) {
    struct Case { unsigned number; bool last; std::uint16_t word; } cases[] = {
        {1, false, 0x0100}, {1, true, 0x0101}, {7, true, 0x0707}, {255, false, 0xFF00},
        {256, false, 0x0000}, {257, false, 0x0100}, {300, true, 0x2C2C}, {512, true, 0x0000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DataHeaderWord(c.number, c.last), c.word) << c.number << " " << c.last;
}

TEST(DataPacket, PayloadLengthAndChecksum) {
    std::uint8_t p[kPayloadSize];

    std::memset(p, 0, sizeof p);
    EXPECT_EQ(PayloadLength(p), 2u);                 // empty packet
    EXPECT_EQ(Checksum(p, 2), 0);

    std::memcpy(p, "AB=1\0\0", 6);
    EXPECT_EQ(PayloadLength(p), 6u);
    EXPECT_EQ(Checksum(p, 6), 'A' + 'B' + '=' + '1');

    // A lone zero between texts is not the end.
    std::memset(p, 0, sizeof p);
    std::memcpy(p, "K=V\0K2=\0\0", 9);
    EXPECT_EQ(PayloadLength(p), 9u);

    // No pair in the first 540 bytes: the whole 542 bytes go, the sum covers 540.
    std::memset(p, 0xFF, sizeof p);
    EXPECT_EQ(PayloadLength(p), 542u);
    EXPECT_EQ(Checksum(p, 542), static_cast<std::uint16_t>(540 * 0xFF));   // wraps

    // Pair at 538/539 is inside the span; at 539/540 it straddles its end.
    p[538] = p[539] = 0;
    EXPECT_EQ(PayloadLength(p), 540u);
    std::memset(p, 0xFF, sizeof p);
    p[539] = p[540] = 0;
    EXPECT_EQ(PayloadLength(p), 542u);
    EXPECT_EQ(Checksum(p, 542), static_cast<std::uint16_t>(539 * 0xFF));
}

TEST(ReplyPacket, HeadAndDeviceId) {
    ReplyHead h;
    h.count = 1234;
    h.major = h.major_copy = 3;
    h.minor = h.minor_copy = 1;
    h.count_copy = 1234;
    h.device_low = 42;
    h.device_high = 1;
    std::uint8_t buf[kReplyHeadSize];
    EncodeReplyHead(h, buf);
    const std::uint8_t expect[kReplyHeadSize] = {0xD2, 0x04, 3, 1, 0xD2, 0x04, 3, 1,
                                                 42, 0, 0, 0, 1, 0};
    EXPECT_EQ(0, std::memcmp(buf, expect, sizeof buf));
    ReplyHead d = DecodeReplyHead(buf);
    EXPECT_TRUE(d.VersionOk());
    EXPECT_TRUE(d.CopiesAgree());
    EXPECT_EQ(d.device_low, 42u);
    EXPECT_EQ(d.device_high, 1);
    buf[3] = 2;
    EXPECT_FALSE(DecodeReplyHead(buf).VersionOk());

    EXPECT_EQ(AssignedDeviceId("SRV", 1, 42), "SRV00010000002A");
    EXPECT_EQ(AssignedDeviceId("S", 0xABCD, 0xDEADBEEF), "SABCDDEADBEEF");
}

TEST(ConfigList, DecodeAndEncode) {
    const std::uint8_t empty[] = {0};
    EXPECT_TRUE(DecodeConfigList(empty, sizeof empty).empty());

    std::vector<ConfigEntry> in = {{"C:\\", "CONFIG.SYS", 900000000, 1234},
                                   {"C:\\WINNT\\", "WIN.INI", 1, 0xFFFFFFFF}};
    std::uint8_t buf[128];
    std::size_t used = 0;
    EXPECT_EQ(EncodeConfigList(in, 0, buf, sizeof buf, &used), 2u);
    EXPECT_EQ(used, (4 + 11 + 8) + (10 + 8 + 8) + 1u);
    EXPECT_EQ(buf[used - 1], 0);
    std::vector<ConfigEntry> out = DecodeConfigList(buf, used);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].directory, "C:\\WINNT\\");
    EXPECT_EQ(out[1].file, "WIN.INI");
    EXPECT_EQ(out[1].size, 0xFFFFFFFFu);
    EXPECT_EQ(out[0].time, 900000000u);

    // Only what fits is encoded; the rest starts the next packet.
    EXPECT_EQ(EncodeConfigList(in, 0, buf, 30, &used), 1u);
    EXPECT_EQ(used, 24u);
    EXPECT_EQ(EncodeConfigList(in, 1, buf, sizeof buf, &used), 1u);

    // Entries that cannot travel (from a damaged index) are passed over
    // instead of ending the list early for the entries after them.
    std::vector<ConfigEntry> odd = {{"", "A.INI", 1, 1},
                                    {std::string("C:\\\0X", 5), "B.INI", 2, 2},
                                    {"C:\\", std::string("C\0.INI", 6), 3, 3},
                                    {std::string(600, 'D'), "E.INI", 4, 4},
                                    {"C:\\", "F.INI", 5, 5}};
    std::uint8_t big[kPayloadSize];
    EXPECT_EQ(EncodeConfigList(odd, 0, big, sizeof big, &used), 5u);
    out = DecodeConfigList(big, used);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].file, "F.INI");

    // Truncated entries end the list instead of reading past the data.
    std::uint8_t cut[] = {'C', ':', '\\', 0, 'A', 0, 1, 2, 3};
    EXPECT_TRUE(DecodeConfigList(cut, sizeof cut).empty());
    std::uint8_t noterm[] = {'C', ':', '\\'};
    EXPECT_TRUE(DecodeConfigList(noterm, sizeof noterm).empty());
}

scanner::ConfigFileList MakeList(std::initializer_list<const char*> names) {
    scanner::ConfigFileList list;
    for (const char* n : names) list.AddConfigured(n);
    return list;
}

TEST(ConfigList, Merge) {
    // Found as it stands, without regard to case.
    scanner::ConfigFileList list = MakeList({"", "C:\\WINNT\\WIN.INI", "\\CONFIG.SYS"});
    EXPECT_TRUE(MergeConfigEntry(list, {"c:\\winnt\\", "win.ini", 10, 20}));
    EXPECT_EQ(list.entries[1].time, 10u);
    EXPECT_EQ(list.entries[1].size, 20u);

    // Found without the drive: a new entry for the full name after the count.
    EXPECT_TRUE(MergeConfigEntry(list, {"D:\\", "config.sys", 30, 40}));
    EXPECT_EQ(list.count, 3);
    EXPECT_EQ(list.entries[3].name, "D:\\CONFIG.SYS");
    EXPECT_FALSE(list.entries[3].configured);
    EXPECT_EQ(list.entries[2].time, 0u);     // the configured \CONFIG.SYS keeps 0
    EXPECT_EQ(list.Find("d:\\config.sys"), 3);
    // Reported again: the added entry is updated, not duplicated.
    EXPECT_TRUE(MergeConfigEntry(list, {"D:\\", "CONFIG.SYS", 31, 41}));
    EXPECT_EQ(list.entries[3].time, 31u);
    EXPECT_TRUE(list.entries[4].name.empty());

    // Neither form known: ignored.
    EXPECT_FALSE(MergeConfigEntry(list, {"C:\\", "AUTOEXEC.BAT", 1, 1}));
    EXPECT_FALSE(MergeConfigEntry(list, {"", "", 1, 1}));

    // Full list: the new entry is dropped, known entries still update.
    scanner::ConfigFileList full;
    full.AddConfigured("\\CONFIG.SYS");
    for (int i = 1; i < 40; ++i) full.AddConfigured("C:\\F" + std::to_string(i));
    EXPECT_FALSE(MergeConfigEntry(full, {"C:\\", "CONFIG.SYS", 5, 6}));
    EXPECT_TRUE(MergeConfigEntry(full, {"C:\\", "F39", 5, 6}));
    EXPECT_EQ(full.entries[39].size, 6u);
}

TEST(Addresses, Ipx) {
    IpxAddress a = ParseIpxAddress("0000ABCD:00C0FFEE0102");
    EXPECT_FALSE(a.has_socket);
    EXPECT_EQ(a.net[2], 0xAB);
    EXPECT_EQ(a.node[5], 0x02);
    EXPECT_EQ(FormatIpxAddress(a), "0000ABCD:00C0FFEE0102");

    IpxAddress b = ParseIpxAddress("0000abcd:00c0ffee0102:8138");
    EXPECT_TRUE(b.has_socket);
    EXPECT_EQ(b.socket[0], 0x81);
    EXPECT_EQ(b.socket[1], 0x38);

    // A part that is not all hexadecimal digits stays zero; the others parse.
    IpxAddress c = ParseIpxAddress("0000XBCD:00C0FFEE0102:81G8");
    EXPECT_EQ(c.net[2], 0);
    EXPECT_EQ(c.node[0], 0x00);
    EXPECT_EQ(c.node[1], 0xC0);
    EXPECT_EQ(c.socket[0], 0);
}

TEST(Addresses, IpHost) {
    struct Case { const char* text; const char* host; std::uint16_t port; bool ok, dotted; } cases[] = {
        {"127.0.0.1", "127.0.0.1", 5007, true, true},
        {"10.1.2.3:5100", "10.1.2.3", 5100, true, true},
        {"SERVER", "SERVER", 5007, true, false},
        {"SERVER:65535", "SERVER", 65535, true, false},
        {"SERVER:", "SERVER", 0, false, false},
        {"SERVER:0", "SERVER", 0, false, false},
        {"SERVER:65536", "SERVER", 0, false, false},
        {"SERVER:51X", "SERVER", 0, false, false},
    };
    for (const Case& c : cases) {
        IpHost h = ParseIpHost(c.text);
        EXPECT_EQ(h.host, c.host) << c.text;
        EXPECT_EQ(h.port, c.port) << c.text;
        EXPECT_EQ(h.port_ok, c.ok) << c.text;
        EXPECT_EQ(h.dotted, c.dotted) << c.text;
    }
}

TEST(SocketQuery, AnswerChecks) {
    std::uint8_t sock[2] = {};
    const std::uint8_t a1[] = {0, 0, 0, 0, 'U', 'S', 'E', 'R', 0x00, 0x05};
    const std::uint8_t a1_old[] = {0, 0, 0, 0, 'U', 'S', 'E', 'R', 0xFF, 0x04};
    EXPECT_TRUE(QueryAnswerA1Valid(a1, sizeof a1));
    EXPECT_FALSE(QueryAnswerA1Valid(a1_old, sizeof a1_old));
    EXPECT_FALSE(QueryAnswerA1Valid(a1, 9));

    const std::uint8_t a2[] = {0, 0, 0, 0, 1, 0, 0x40, 0x05};
    EXPECT_TRUE(QueryAnswerA2Valid(a2, sizeof a2, sock));
    EXPECT_EQ(sock[0], 0x40);
    EXPECT_EQ(sock[1], 0x05);
    const std::uint8_t a2_none[] = {0, 0, 0, 0, 1, 0, 0xFF, 0xFF};
    const std::uint8_t a2_zero[] = {0, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_FALSE(QueryAnswerA2Valid(a2_none, sizeof a2_none, sock));
    EXPECT_FALSE(QueryAnswerA2Valid(a2_zero, sizeof a2_zero, sock));

    const std::uint8_t b2[] = {0x17, 0, 1, 0, 0x12, 0x34};
    EXPECT_TRUE(QueryAnswerB2Valid(b2, sizeof b2, sock));
    EXPECT_EQ(sock[0], 0x12);
    const std::uint8_t b2_bad[] = {0x17, 0, 2, 0, 0x12, 0x34};
    EXPECT_FALSE(QueryAnswerB2Valid(b2_bad, sizeof b2_bad, sock));
    EXPECT_FALSE(QueryAnswerB2Valid(b2, 5, sock));
}

}  // namespace
}  // namespace qv::serverlink
