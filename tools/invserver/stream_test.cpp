// Decoding item packets into the scanner's flat file.
#include "tools/invserver/stream.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qv::invserver {
namespace {

// Packs texts the way the scanner's item stream does: each text with its
// terminating zero (raw pieces without), the packet ended by one more zero.
struct Packet {
    std::string bytes;
    Packet& Z(const std::string& s) { bytes += s; bytes += '\0'; return *this; }
    Packet& Raw(const std::string& s) { bytes += s; return *this; }
    std::string End() const { return bytes + '\0'; }
};

void Feed(StreamDecoder& d, const std::string& payload) {
    d.Feed(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
}

TEST(StreamDecoder, ItemsBecomeFlatLines) {
    StreamDecoder d;
    Feed(d, Packet().Z("Device ID =SRV00010000002A").Z("BIOS - Date =01/01/98").Z("_SOFTWARE =").End());
    Feed(d, Packet().Z("Number of Files =    123").Z("Plain").End());
    EXPECT_EQ(d.flat(),
              "Device ID = SRV00010000002A\r\n"
              "BIOS - Date = 01/01/98\r\n"
              "_SOFTWARE =\r\n"
              "Number of Files =     123\r\n"    // key "Number of Files = ", value "%6u"
              "Plain\r\n");
    EXPECT_EQ(d.items(), 5u);
    EXPECT_EQ(d.Value("Device ID ="), "SRV00010000002A");
    EXPECT_EQ(d.Value("Missing ="), "");
    // An empty packet adds nothing.
    Feed(d, std::string(2, '\0'));
    EXPECT_EQ(d.items(), 5u);
}

TEST(StreamDecoder, ContentsBlocksAcrossPackets) {
    StreamDecoder d;
    // Block 1: the text is cut at a packet end (zero byte), continues in the
    // next packet and runs straight into "_EndContents".
    Feed(d, Packet().Z("Cfg - C:\\CONFIG.SYS =x 12").Z("_BeginContents")
                .Z("14").Z("900000000").Z("CONFIG.SYS").Z("C:\\").Z("FILES=40\r\nBUF").End());
    Feed(d, Packet().Raw("FERS=20\r\n").Z("_EndContents").Z("After =1").End());
    // Block 2: empty file; block 3: "_EndContents" alone in the next packet.
    Feed(d, Packet().Z("_BeginContents").Z("0").Z("1").Z("EMPTY.INI").Z("D:\\").Z("_EndContents")
                .Z("_BeginContents").Z("3").Z("2").Z("A.BAT").Z("C:\\").Z("a\x1a\n").End());
    Feed(d, Packet().Z("_EndContents").End());
    EXPECT_EQ(d.flat(),
              "Cfg - C:\\CONFIG.SYS = x 12\r\n"
              "_BeginContents\r\nCONFIG.SYS\r\nC:\\\r\n900000000\r\n14\r\n"
              "FILES=40\r\nBUFFERS=20\r\n_EndContents\r\n"
              "After = 1\r\n"
              "_BeginContents\r\nEMPTY.INI\r\nD:\\\r\n1\r\n0\r\n_EndContents\r\n"
              "_BeginContents\r\nA.BAT\r\nC:\\\r\n2\r\n3\r\na\x1a\r\n_EndContents\r\n");
    ASSERT_EQ(d.files().size(), 3u);
    EXPECT_EQ(d.files()[0].contents, "FILES=40\r\nBUFFERS=20\r\n");
    EXPECT_EQ(d.files()[0].time, 900000000u);
    EXPECT_EQ(d.files()[0].size, 14u);
    EXPECT_EQ(d.files()[0].directory, "C:\\");
    EXPECT_EQ(d.files()[1].contents, "");
    EXPECT_EQ(d.files()[2].name, "A.BAT");
}

// The scanner's flat file puts "_EndContents" on a line of its own: a text
// that does not end with a line break gets one there (and only there).
TEST(StreamDecoder, EndContentsAlwaysStartsALine) {
    const struct {
        std::string text, flat;
    } cases[] = {
        {"a\r\nb", "a\r\nb\r\n"},
        {"a\r\n", "a\r\n"},
        {"a\r", "a\r\n"},
        {"\r", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        StreamDecoder d;
        Feed(d, Packet().Z("_BeginContents").Z("1").Z("2").Z("A.INI").Z("C:\\").Raw(c.text).Z("_EndContents")
                    .Z("After =1").End());
        EXPECT_EQ(d.flat(), "_BeginContents\r\nA.INI\r\nC:\\\r\n2\r\n1\r\n" + c.flat + "_EndContents\r\nAfter = 1\r\n")
            << c.text;
        ASSERT_EQ(d.files().size(), 1u);
        EXPECT_EQ(d.files()[0].contents, c.text);
    }
    // Split across packets, the break still comes only at the end.
    StreamDecoder d;
    Feed(d, Packet().Z("_BeginContents").Z("1").Z("2").Z("A.INI").Z("C:\\").Z("x").End());
    Feed(d, Packet().Raw("y").Z("_EndContents").End());
    EXPECT_EQ(d.flat(), "_BeginContents\r\nA.INI\r\nC:\\\r\n2\r\n1\r\nxy\r\n_EndContents\r\n");
}

TEST(StreamDecoder, HostileBytesStayInBounds) {
    // Packets without terminators, a lone byte, garbage: no crash, no overrun.
    StreamDecoder d;
    const std::string inputs[] = {"", std::string(1, '\0'), "abc", std::string(542, 'x'),
                                  "_BeginContents\0" "1\0",  std::string("\0\0\0\0", 4)};
    for (const std::string& s : inputs) Feed(d, s);
    SUCCEED();
}

}  // namespace
}  // namespace qv::invserver
