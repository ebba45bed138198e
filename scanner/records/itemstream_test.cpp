#include "scanner/records/itemstream.h"

#include "scanner/records/inventory.h"
#include "scanner/records/testsink.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qv::scanner {
namespace {

using test::Data;
using test::Payload;
using test::RecordingSink;
using namespace std::string_literals;

// Shift-JIS style: 0x81-0x9F and 0xE0-0xFC begin a double-byte character.
int LeadIsDouble(unsigned long bytes) {
    unsigned b = bytes & 0xFF;
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC) ? 2 : 1;
}

struct Fixture {
    Fixture() {
        stream.SetFlatSink(&flat);
        stream.SetPacketSink(&sink);
        stream.SetSendFailureHandler([this] { ++failures; });
    }
    StringFlatSink flat;
    RecordingSink sink;
    ItemStream stream;
    int failures = 0;
};

// Adds one item whose key and value together take `n` bytes (n >= 2).
void AddItemOfLength(ItemStream& s, std::size_t n, char fill = 'v') {
    s.AddItem("K=", std::string(n - 2, fill));
}

TEST(ItemStream, ItemsWriteOneLineAndPackKeyValueZero) {
    struct Case { std::string key, value, flat, packed; };
    const Case cases[] = {
        // 13-character key, 8-character value: a 22-character line, 21 bytes packed.
        {"BIOS - Date =", "03/14/97", "BIOS - Date = 03/14/97\r\n", "BIOS - Date =03/14/97\0"s},
        {"_SOFTWARE =", "", "_SOFTWARE =\r\n", "_SOFTWARE =\0"s},
        {"Number of Files = ", "    12", "Number of Files =      12\r\n", "Number of Files =     12\0"s},
        // Line feeds inside a value are written as CR LF, packed as they are.
        {"Env - X =", "a\nb", "Env - X = a\r\nb\r\n", "Env - X =a\nb\0"s},
        // Keys and values are C texts: they end at a zero byte.
        {"Key =\0junk"s, "val\0junk"s, "Key = val\r\n", "Key =val\0"s},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.stream.AddItem(c.key, c.value);
        EXPECT_EQ(f.flat.text, c.flat);
        EXPECT_EQ(f.stream.used(), c.packed.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.stream.buffer()), c.packed.size()), c.packed);
        ASSERT_EQ(f.stream.SendPacket(true), 0);
        ASSERT_EQ(f.sink.packets.size(), 1u);
        EXPECT_EQ(Payload(f.sink.packets[0].bytes), c.packed + '\0') << c.key;
    }
}

TEST(ItemStream, ItemThatDoesNotFitStartsANewPacket) {
    struct Case { std::size_t first, second; bool new_packet; };
    const Case cases[] = {
        {300, 239, false},  // 300 + 1 + 239 + 1 + end zero = 542: fits exactly
        {300, 240, true},
        {540, 2, true},     // the largest item fills a packet alone
        {2, 537, false},
    };
    for (const Case& c : cases) {
        Fixture f;
        AddItemOfLength(f.stream, c.first, 'a');
        AddItemOfLength(f.stream, c.second, 'b');
        ASSERT_EQ(f.stream.SendPacket(true), 0);
        const auto& p = f.sink.packets;
        ASSERT_EQ(p.size(), c.new_packet ? 2u : 1u) << c.first << "+" << c.second;
        std::string first = "K=" + std::string(c.first - 2, 'a') + '\0';
        std::string second = "K=" + std::string(c.second - 2, 'b') + '\0';
        if (c.new_packet) {
            // The earlier packet ends with its last item's zero and the end zero.
            EXPECT_EQ(Payload(p[0].bytes), first + '\0');
            EXPECT_EQ(Payload(p[1].bytes), second + '\0');
            EXPECT_EQ(p[0].number, 1u);
            EXPECT_FALSE(p[0].last);
            EXPECT_EQ(p[1].number, 2u);
            EXPECT_TRUE(p[1].last);
        } else {
            EXPECT_EQ(Payload(p[0].bytes), first + second + '\0');
        }
    }
}

TEST(ItemStream, LastPacketAlwaysSentAndNumberedFromOne) {
    Fixture f;
    ASSERT_EQ(f.stream.SendPacket(true), 0);  // empty: just the two zeros
    ASSERT_EQ(f.sink.packets.size(), 1u);
    EXPECT_EQ(f.sink.packets[0].number, 1u);
    EXPECT_TRUE(f.sink.packets[0].last);
    EXPECT_EQ(f.sink.packets[0].bytes, std::string(kItemPacketSize, '\0'));

    f.stream.Reset();
    f.stream.AddItem("A =", "1");
    ASSERT_EQ(f.stream.SendPacket(false), 0);
    ASSERT_EQ(f.stream.SendPacket(true), 0);
    EXPECT_EQ(f.sink.packets[1].number, 1u);  // counting restarts after Reset
    EXPECT_EQ(f.sink.packets[2].number, 2u);
    EXPECT_EQ(Payload(f.sink.packets[2].bytes), "\0\0"s);
}

TEST(ItemStream, OverlongItemsAreCutToOnePacket) {
    Fixture f;
    const std::string key(100, 'k'), value(1000, 'v');
    f.stream.AddItem(key, value);
    EXPECT_EQ(f.stream.used(), kItemPacketSize - 1);
    EXPECT_EQ(f.flat.text, key + " " + value + "\r\n");  // the flat file keeps the whole line

    f.stream.AddItem(std::string(600, 'K'), "value");    // key alone too long: key cut, no value
    f.stream.SendPacket(true);
    ASSERT_EQ(f.sink.packets.size(), 2u);
    EXPECT_EQ(Data(f.sink.packets[0]), key + std::string(440, 'v') + '\0');
    EXPECT_EQ(Data(f.sink.packets[1]), std::string(540, 'K') + '\0');

    // A cut never splits a double-byte character.
    Fixture d;
    d.stream.SetCharLength(LeadIsDouble);
    std::string dbcs;
    for (int i = 0; i < 300; ++i) dbcs += "\x82\xA0";
    d.stream.AddItem("K=x", dbcs);  // 3 + 600 bytes; 537 bytes of value would split a pair
    d.stream.SendPacket(true);
    EXPECT_EQ(Data(d.sink.packets[0]), "K=x" + dbcs.substr(0, 536) + '\0');
}

TEST(ItemStream, RecordWritesNameFirstAndPacksSizeFirst) {
    Fixture f;
    ContentsRecord r;
    EXPECT_TRUE(SetContentsRecord(r, "1234", "852076800", "AUTOEXEC.BAT", "C:\\"));
    f.stream.AddRecord(r);
    EXPECT_EQ(f.flat.text, "AUTOEXEC.BAT\r\nC:\\\r\n852076800\r\n1234\r\n");
    f.stream.SendPacket(true);
    EXPECT_EQ(Payload(f.sink.packets[0].bytes), "1234\0" "852076800\0" "AUTOEXEC.BAT\0" "C:\\\0\0"s);
}

TEST(ItemStream, RecordFieldsStayInsideTheirAreas) {
    ContentsRecord r;
    EXPECT_FALSE(SetContentsRecord(r, std::string(50, '1'), "2", "LONGFILENAME.TXT", std::string(200, 'd')));
    EXPECT_EQ(std::string(r.size), std::string(34, '1'));
    EXPECT_EQ(std::string(r.name), "LONGFILENAME");
    EXPECT_EQ(std::string(r.directory), std::string(127, 'd'));

    // Areas filled without a terminator are packed up to the area's end only.
    std::memset(static_cast<void*>(&r), 'x', sizeof r);
    Fixture f;
    f.stream.AddRecord(r);
    f.stream.SendPacket(true);
    EXPECT_EQ(Data(f.sink.packets[0]), std::string(35, 'x') + '\0' + std::string(35, 'x') + '\0' +
                                           std::string(13, 'x') + '\0' + std::string(128, 'x') + '\0');

    // The record's test reserves its four zeros and the end zero.
    ASSERT_TRUE(SetContentsRecord(r, "1", "2", "N", "D\\"));  // 5 bytes and 4 zeros
    const std::string packed = "1\0" "2\0" "N\0" "D\\\0"s;
    for (std::size_t item : {531u, 532u}) {   // used 532: 532 + 5 + 5 = 542 fits; 533 does not
        Fixture g;
        AddItemOfLength(g.stream, item);
        g.stream.AddRecord(r);
        g.stream.SendPacket(true);
        const std::string k = "K=" + std::string(item - 2, 'v') + '\0';
        if (item == 531) {
            ASSERT_EQ(g.sink.packets.size(), 1u);
            EXPECT_EQ(Payload(g.sink.packets[0].bytes), k + packed + '\0');
            EXPECT_EQ(Payload(g.sink.packets[0].bytes).size(), kItemPacketSize);
        } else {
            ASSERT_EQ(g.sink.packets.size(), 2u);
            EXPECT_EQ(Payload(g.sink.packets[1].bytes), packed + '\0');
        }
    }
}

TEST(ItemStream, TextIsCopiedToTheFlatFileInTextMode) {
    Fixture f;
    const std::string text = "line 1\r\nline\x1a" "2\nend\r\0x"s;
    MemoryByteSource src(text);
    f.stream.AddText(src);
    EXPECT_EQ(f.flat.text, "line 1\r\nline 2\r\nend x");
    f.stream.SendPacket(true);
    // Packed as read, CR included; byte 26 and zero bytes become blanks.
    // The text is not terminated; the zeros after the end zero end the payload.
    EXPECT_EQ(Data(f.sink.packets[0]), "line 1\r\nline 2\nend\r x\0"s);

    Fixture g;
    g.stream.SetFlatTextLineBreak(true);
    MemoryByteSource no_break("last"), with_break("last\r\n"), empty("");
    g.stream.AddText(no_break);
    g.stream.AddText(with_break);
    g.stream.AddText(empty);
    EXPECT_EQ(g.flat.text, "last\r\nlast\r\n");
}

TEST(ItemStream, TextSplitsAcrossPacketsWithAZeroBeforeTheEnd) {
    Fixture f;
    std::string text;
    for (int i = 0; i < 1300; ++i) text += static_cast<char>('a' + i % 26);
    f.stream.AddItem("_BeginContents", "");
    MemoryByteSource src(text);
    f.stream.AddText(src);
    f.stream.AddItem("_EndContents", "");
    f.stream.SendPacket(true);
    const auto& p = f.sink.packets;
    ASSERT_EQ(p.size(), 3u);
    // Packet 1: the marker, then text up to byte 540, its zero at 540, end zero at 541.
    const std::string head = "_BeginContents\0"s;
    std::size_t first = 540 - head.size();
    EXPECT_EQ(Payload(p[0].bytes), head + text.substr(0, first) + '\0' + '\0');
    EXPECT_EQ(Payload(p[1].bytes), text.substr(first, 540) + '\0' + '\0');
    // The text goes on at the start of the next packet and ends at the marker.
    EXPECT_EQ(Payload(p[2].bytes), text.substr(first + 540) + "_EndContents\0\0"s);
}

TEST(ItemStream, TextEndingNearTheEndOfAPacketIsAlwaysTerminated) {
    // The packet before is filled with nonzero bytes, so that a payload not
    // followed by zeros would show bytes of the earlier packet.
    for (std::size_t used : {526u, 527u, 528u, 529u, 530u, 531u, 540u}) {
        Fixture f;
        AddItemOfLength(f.stream, 540, 'x');
        AddItemOfLength(f.stream, 100);
        const std::string text(used - 101, 't');
        MemoryByteSource src(text);
        f.stream.AddText(src);
        ASSERT_EQ(f.stream.used(), used + (used + 13 > 542 ? 1 : 0));
        f.stream.AddItem("_EndContents", "");
        f.stream.SendPacket(true);
        const auto& p = f.sink.packets;
        const std::string body = "K=" + std::string(98, 'v') + '\0' + std::string(used - 101, 't');
        if (used + 14 <= 542) {
            ASSERT_EQ(p.size(), 2u) << used;
            EXPECT_EQ(Payload(p[1].bytes), body + "_EndContents\0\0"s) << used;
        } else {
            ASSERT_EQ(p.size(), 3u) << used;
            EXPECT_EQ(Payload(p[1].bytes), body + "\0\0"s) << used;
            EXPECT_EQ(Payload(p[2].bytes), "_EndContents\0\0"s);
        }
    }
}

TEST(ItemStream, DoubleByteCharacterIsNotSplitAcrossPackets) {
    Fixture f;
    f.stream.SetCharLength(LeadIsDouble);
    AddItemOfLength(f.stream, 538);  // used 539: a lead byte needs 539 + 2 + 2 > 542
    MemoryByteSource src("\x82\xA0z");
    f.stream.AddText(src);
    f.stream.SendPacket(true);
    ASSERT_EQ(f.sink.packets.size(), 2u);
    EXPECT_EQ(Payload(f.sink.packets[0].bytes).size(), 539u + 1);
    EXPECT_EQ(Data(f.sink.packets[1]), "\x82\xA0z\0"s);
}

TEST(ItemStream, FailedSendOfAFullPacketCallsTheHandlerAndGoesOn) {
    Fixture f;
    f.sink.failing = {1};
    AddItemOfLength(f.stream, 400);
    AddItemOfLength(f.stream, 400);
    EXPECT_EQ(f.failures, 1);
    EXPECT_EQ(f.stream.SendPacket(true), 0);
    f.sink.failing = {3};
    EXPECT_EQ(f.stream.SendPacket(true), -1);  // a final send reports, without the handler
    EXPECT_EQ(f.failures, 1);
    EXPECT_EQ(f.sink.packets[1].number, 2u);
    EXPECT_EQ(Data(f.sink.packets[1]), "K=" + std::string(398, 'v') + '\0');
}

TEST(ItemStream, OutputsAreOptional) {
    ItemStream s;
    StringFlatSink flat;
    s.SetFlatSink(&flat);
    s.AddItem("A =", "1");
    MemoryByteSource src("text");
    s.AddText(src);
    EXPECT_EQ(s.used(), 0u);  // no server name: nothing packed
    EXPECT_EQ(s.SendPacket(true), 0);
    EXPECT_EQ(flat.text, "A = 1\r\ntext");

    RecordingSink sink;
    s.SetFlatSink(nullptr);
    s.SetPacketSink(&sink);
    s.AddItem("A =", "1");
    EXPECT_EQ(s.used(), 5u);
    EXPECT_EQ(flat.text, "A = 1\r\ntext");
}

TEST(Inventory, FacadeWorksOnTheRunsStream) {
    StringFlatSink flat;
    RecordingSink sink;
    SetInventoryFlatSink(&flat);
    SetInventoryPacketSink(&sink);
    ResetInventoryStream();
    AddInventoryItem("_BeginContents", "");
    ContentsRecord r;
    SetContentsRecord(r, "3", "4", "A.INI", "C:\\");
    AddInventoryRecord(r);
    MemoryByteSource src("x\r\n");
    AddInventoryText(src);
    AddInventoryItem("_EndContents", "");
    EXPECT_EQ(SendItemPacket(true), 0);
    SetInventoryFlatSink(nullptr);
    SetInventoryPacketSink(nullptr);
    EXPECT_EQ(flat.text, "_BeginContents\r\nA.INI\r\nC:\\\r\n4\r\n3\r\nx\r\n_EndContents\r\n");
    ASSERT_EQ(sink.packets.size(), 1u);
    EXPECT_EQ(Payload(sink.packets[0].bytes), "_BeginContents\0" "3\0" "4\0" "A.INI\0" "C:\\\0" "x\r\n_EndContents\0\0"s);
}

}  // namespace
}  // namespace qv::scanner
