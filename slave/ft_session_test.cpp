// Tests of the file transfer protocol logic against an in-memory file system.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "slave/ft_protocol.h"
#include "slave/ft_session.h"
#include "slave/mem_fs_test_util.h"
#include "slave/texts.h"

namespace qv::slave {
namespace {

using namespace qv::ft;

using testing::MemFile;
using testing::MemFs;
using testing::Ui;

class FtSessionTest : public ::testing::Test {
protected:
    MemFs fs;
    Ui ui;
    FtSession s{fs, ui};

    // Sends one request through its wire form; returns the decoded reply
    // (command 0xFFFF when no reply is due).
    Reply Do(uint16_t cmd, uint16_t seq = 0, const std::string& path = "", uint16_t p1 = 0, uint16_t p2 = 0) {
        Request r;
        r.command = cmd;
        r.sequence = seq;
        r.param1 = p1;
        r.param2 = p2;
        r.SetPath(path);
        return Exchange(r, path.size() + 1);
    }
    Reply Block(uint16_t seq, const std::string& bytes) {
        Request r;
        r.command = FT_WRITE_BLOCK;
        r.sequence = seq;
        r.param1 = static_cast<uint16_t>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), r.data.begin());
        return Exchange(r, bytes.size());
    }
    Reply Exchange(const Request& r, std::size_t data_len) {
        uint8_t wire[kRequestMax];
        s.Receive(wire, r.Encode(wire, data_len));
        last = s.Handle();
        Reply rep;
        if (!last.reply) {
            rep.command = 0xFFFF;
            return rep;
        }
        uint8_t out[kReplyMax];
        std::size_t n = s.EncodeReply(out);
        EXPECT_TRUE(rep.Decode(out, n));
        return rep;
    }
    static std::string Data(const Reply& r) { return std::string(r.data.begin(), r.data.begin() + r.length); }
    FtSession::Outcome last;
};

TEST(FtLayout, RequestAndReplyBytes) {
    Request r;
    r.command = FT_SEND_FILE;
    r.sequence = 0x0102;
    r.param1 = 0x6000;
    r.param2 = 0x2521;
    r.SetPath("C:\\A.TXT");
    uint8_t wire[kRequestMax];
    ASSERT_EQ(r.Encode(wire, 9), 17u);
    const uint8_t head[] = {8, 0, 2, 1, 0x00, 0x60, 0x21, 0x25, 'C'};
    EXPECT_EQ(0, memcmp(wire, head, sizeof head));

    Reply rep;
    rep.command = 7;
    rep.status = 80;
    rep.sequence = 3;
    rep.file_time = 0x6000;
    rep.file_date = 0x2521;
    rep.last = 1;
    rep.length = 2;
    rep.data[0] = 'h';
    rep.data[1] = 0;
    uint8_t out[kReplyMax];
    ASSERT_EQ(rep.Encode(out), 16u);
    const uint8_t want[] = {7, 0, 80, 0, 3, 0, 0x00, 0x60, 0x21, 0x25, 1, 0, 2, 0, 'h', 0};
    EXPECT_EQ(0, memcmp(out, want, sizeof want));
    Reply back;
    EXPECT_TRUE(back.Decode(out, 16));
    EXPECT_FALSE(back.Decode(out, 15));  // length field disagrees with the packet
    EXPECT_FALSE(back.Decode(out, 13));
}

TEST(FtLayout, DosDateTime) {
    DosStamp s = DecodeDos(0x2521, 0x6000);
    EXPECT_EQ(s.year, 1998);
    EXPECT_EQ(s.month, 9);
    EXPECT_EQ(s.day, 1);
    EXPECT_EQ(s.hour, 12);
    EXPECT_EQ(s.minute, 0);
    EXPECT_EQ(s.second, 0);
    struct {
        DosStamp in;
        bool ok;
        uint16_t date, time;
    } cases[] = {
        {{1998, 9, 1, 12, 0, 0}, true, 0x2521, 0x6000},
        {{1980, 1, 1, 0, 0, 0}, true, 0x0021, 0x0000},
        {{2024, 2, 29, 13, 45, 59}, true, 0x585d, 0x6dbd},  // odd seconds round down
        {{2107, 12, 31, 23, 59, 58}, true, 0xff9f, 0xbf7d},
        {{1979, 12, 31, 0, 0, 0}, false, 0, 0},
        {{2108, 1, 1, 0, 0, 0}, false, 0, 0},
        {{2000, 13, 1, 0, 0, 0}, false, 0, 0},
    };
    for (const auto& c : cases) {
        uint16_t d, t;
        EXPECT_EQ(EncodeDos(c.in, &d, &t), c.ok) << c.in.year;
        EXPECT_EQ(d, c.date);
        EXPECT_EQ(t, c.time);
    }
}

TEST_F(FtSessionTest, ExistenceAndServerInfoRepeatIt) {
    Reply r = Do(FT_EXISTENCE);
    EXPECT_TRUE(last.contact);
    EXPECT_EQ(r.command, FT_EXISTENCE);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.sequence, 0);
    EXPECT_EQ(r.last, 1);
    ASSERT_EQ(r.length, 8);
    EXPECT_EQ(Data(r), std::string("HEY BUB", 8));
    Reply again = Do(FT_SERVER_INFO);
    EXPECT_FALSE(last.contact);
    EXPECT_EQ(again.command, FT_EXISTENCE);
    EXPECT_EQ(Data(again), std::string("HEY BUB", 8));
    EXPECT_EQ(ui.lines.back(), "Received a request to send server information.");
    // A failure asked for again stays a failure.
    ASSERT_EQ(Do(FT_DELETE_FILE, 0, "C:\\NONE").status, 2);
    Do(FT_NONE);
    Do(50);  // requests without a reply leave it as it was
    for (uint16_t cmd : {FT_SERVER_INFO, FT_VOLUME_INFO, FT_SECONDARY_VOLUME_INFO}) {
        Reply rep = Do(cmd);
        EXPECT_EQ(rep.command, FT_DELETE_FILE);
        EXPECT_EQ(rep.status, 2);
    }
}

TEST_F(FtSessionTest, CommandZeroAndUnknownGetNoReply) {
    EXPECT_EQ(Do(0).command, 0xFFFF);
    EXPECT_TRUE(ui.lines.empty());
    EXPECT_EQ(Do(50).command, 0xFFFF);
    EXPECT_EQ(ui.lines.back(), "Received an unknown command: 50");
    Reply t = Do(FT_TERMINATE);
    EXPECT_TRUE(last.terminate);
    EXPECT_EQ(t.command, FT_TERMINATE);
    EXPECT_EQ(t.length, 0);
}

TEST_F(FtSessionTest, DriveListSkipsNetworkDrives) {
    fs.current = 3;
    Reply r = Do(FT_DRIVE_INFO);
    EXPECT_EQ(r.command, FT_DRIVE_INFO);
    EXPECT_EQ(r.last, 1);
    EXPECT_EQ(Data(r), std::string("\x00\x02", 2));
    EXPECT_EQ(fs.current, 3);  // restored
}

TEST_F(FtSessionTest, ListingKinds) {
    fs.listings["C:\\D\\*.*"] = {{".", kAttrDirectory},  {"..", kAttrDirectory},     {"A.TXT", kAttrArchive},
                                 {"B.TXT", kAttrReadOnly}, {"SUB", kAttrDirectory},   {"HID.TXT", kAttrHidden},
                                 {"HDIR", kAttrDirectory | kAttrHidden}};
    Reply files = Do(FT_FILE_INFO, 0, "C:\\D\\*.*", 1);
    EXPECT_EQ(files.length, 13);
    EXPECT_EQ(Data(files), std::string("A.TXT\0B.TXT\0\0", 13));
    EXPECT_EQ(files.last, 1);
    EXPECT_EQ(files.sequence, 0);
    EXPECT_EQ(fs.finds_open, 0);
    Reply dirs = Do(FT_FILE_INFO, 0, "C:\\D\\*.*", 0);
    EXPECT_EQ(Data(dirs), std::string("SUB\\\0HDIR\\\0\0", 12));

    fs.listings["C:\\E\\*.*"] = {{"SUB", kAttrDirectory}, {"A.TXT", kAttrArchive}};
    Reply only_sub = Do(FT_FILE_INFO, 0, "C:\\E\\*.*", 0);
    EXPECT_EQ(only_sub.length, 6);

    Reply net = Do(FT_FILE_INFO, 0, "f:\\X\\*.*", 1);
    EXPECT_EQ(Data(net), std::string("\0\0", 2));
    EXPECT_EQ(net.last, 1);

    Reply none = Do(FT_FILE_INFO, 0, "C:\\NOPE\\*.*", 1);
    EXPECT_EQ(Data(none), std::string("\0", 1));
    EXPECT_EQ(none.last, 1);
}

TEST_F(FtSessionTest, ListingSplitAcrossBlocksWithResend) {
    std::vector<FindEntry> many;
    std::string expect_all;
    for (int i = 0; i < 100; ++i) {
        std::string name = "FILE" + std::to_string(1000 + i) + ".DAT";  // 12 characters
        many.push_back({name, kAttrArchive});
        expect_all += name;
        expect_all += '\0';
    }
    fs.listings["C:\\*.*"] = many;
    std::string got;
    Reply r = Do(FT_FILE_INFO, 0, "C:\\*.*", 1);
    std::vector<uint16_t> seqs{r.sequence};
    got += Data(r).substr(0, r.length - 1u);
    EXPECT_EQ(r.last, 0);
    EXPECT_EQ(r.length, 38 * 13 + 1);  // 38 names of 13 bytes fit below 495
    while (!r.last) {
        Reply again = Do(FT_MORE_FILE_INFO, static_cast<uint16_t>(r.sequence + 5), "C:\\*.*", 1);
        EXPECT_EQ(Data(again), Data(r));  // wrong sequence: the same block again
        EXPECT_EQ(again.sequence, r.sequence);
        r = Do(FT_MORE_FILE_INFO, r.sequence, "C:\\*.*", 1);
        seqs.push_back(r.sequence);
        got += Data(r).substr(0, r.length - 1u);
    }
    EXPECT_EQ(got, expect_all);
    EXPECT_EQ(seqs, (std::vector<uint16_t>{0, 1, 2}));
    EXPECT_EQ(fs.finds_open, 0);
    EXPECT_EQ(ui.lines[ui.lines.size() - 1], "Sequence Number: 1");
}

TEST_F(FtSessionTest, DownloadBlocksAndSequences) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> blocks;
    } cases[] = {{1000, {496, 496, 8}}, {496, {496, 0}}, {0, {0}}, {10, {10}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::string content;
        for (std::size_t i = 0; i < c.size; ++i) content += static_cast<char>(i * 7);
        fs.files["C:\\F.BIN"] = MemFile{content, 0x2521, 0x6000};
        Reply r = Do(FT_SEND_FILE, 0, "C:\\F.BIN");
        EXPECT_EQ(r.command, FT_SEND_FILE);
        EXPECT_EQ(r.file_date, 0x2521);
        EXPECT_EQ(r.file_time, 0x6000);
        std::string got;
        for (std::size_t i = 0; i < c.blocks.size(); ++i) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.sequence, i);
            EXPECT_EQ(r.length, c.blocks[i]);
            EXPECT_EQ(r.last, i + 1 == c.blocks.size() ? 1 : 0);
            got += Data(r);
            if (r.last) break;
            if (i == 0) {  // a lost acknowledgement: the console repeats an older one
                Reply same = Do(FT_SEND_NEXT_BLOCK, static_cast<uint16_t>(r.sequence - 1));
                EXPECT_EQ(same.command, FT_SEND_NEXT_BLOCK);
                EXPECT_EQ(same.sequence, r.sequence);
                EXPECT_EQ(Data(same), Data(r));
            }
            r = Do(FT_SEND_NEXT_BLOCK, r.sequence);
        }
        EXPECT_EQ(got, content);
        EXPECT_TRUE(fs.open.empty());
        EXPECT_EQ(ui.lines.back(), "Closing file");
    }
    Reply missing = Do(FT_SEND_FILE, 0, "C:\\NOPE");
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.length, 0);
    EXPECT_TRUE(fs.open.empty());
}

TEST_F(FtSessionTest, UploadWritesRepeatsOnceAndStamps) {
    Reply c = Do(FT_CREATE_FILE, 0, "C:\\UP.BIN", 0x6000, 0x2521);
    EXPECT_EQ(c.command, FT_CREATE_FILE);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.sequence, 0);
    EXPECT_EQ(Block(1, "hello ").status, 0);
    Reply rep = Block(1, "hello ");  // repeated: not written again
    EXPECT_EQ(rep.command, FT_WRITE_BLOCK);
    EXPECT_EQ(rep.status, 0);
    EXPECT_EQ(rep.length, 0);
    EXPECT_EQ(Block(2, "world").sequence, 2);
    Reply end = Block(3, "");
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(fs.files["C:\\UP.BIN"].bytes, "hello world");
    EXPECT_EQ(fs.files["C:\\UP.BIN"].date, 0x2521);
    EXPECT_EQ(fs.files["C:\\UP.BIN"].time, 0x6000);
    EXPECT_TRUE(fs.open.empty());
    EXPECT_EQ(ui.lines.back(), "Closing file");
}

TEST_F(FtSessionTest, CreateNewFileRefusesExisting) {
    fs.files["C:\\OLD"] = MemFile{"keep", 0, 0};
    Reply r = Do(FT_CREATE_NEW_FILE, 0, "C:\\OLD");
    EXPECT_EQ(r.command, FT_CREATE_NEW_FILE);
    EXPECT_EQ(r.status, 80);
    EXPECT_EQ(fs.files["C:\\OLD"].bytes, "keep");
    EXPECT_EQ(Do(FT_CREATE_NEW_FILE, 0, "C:\\NEW").status, 0);
    EXPECT_EQ(ui.lines.back(), "Creating file C:\\NEW");
    EXPECT_EQ(Do(FT_CREATE_FILE, 0, "C:\\readonly\\X").status, 5);
}

// A failed write closes the file; every later block of the upload, and its
// end, report the failure until a new file is created.
TEST_F(FtSessionTest, FailedWriteClosesAndLaterBlocksFail) {
    for (uint32_t error : {112u /* disk full */, 0u /* short write, no code */}) {
        SCOPED_TRACE(error);
        fs.disk_left = 8;
        fs.write_error = error;
        const uint16_t want = static_cast<uint16_t>(error ? error : 29);
        ASSERT_EQ(Do(FT_CREATE_FILE, 0, "C:\\FULL", 0x6000, 0x2521).status, 0);
        EXPECT_EQ(Block(1, "12345").status, 0);
        EXPECT_EQ(Block(2, "67890").status, want);
        EXPECT_TRUE(fs.open.empty());  // closed at once
        EXPECT_EQ(Block(3, "abc").status, want);
        EXPECT_EQ(Block(4, "").status, want);  // the end is no success either
        EXPECT_TRUE(fs.stamped.empty());
        fs.disk_left = SIZE_MAX;
        ASSERT_EQ(Do(FT_CREATE_FILE, 0, "C:\\FULL", 0x6000, 0x2521).status, 0);
        EXPECT_EQ(Block(1, "ok").status, 0);
        EXPECT_EQ(Block(2, "").status, 0);
        EXPECT_EQ(fs.files["C:\\FULL"].bytes, "ok");
        fs.stamped.clear();
    }
}

// Every failure of an upload block sticks: the block resent, later blocks and
// the closing block answer it until a new file is created; the same for a
// download whose read failed. No lost or refused block ends in status 0.
TEST_F(FtSessionTest, TransferFailuresStickUntilANewFile) {
    struct Case {
        const char* name;
        bool create;
        bool interrupt;  // a command that closes files comes between
        uint16_t claimed;
        std::size_t sent;
        uint16_t status;
    } cases[] = {
        {"no file created", false, false, 1, 1, 6},
        {"upload closed by another command", true, true, 1, 1, 6},
        {"block longer than its packet", true, false, 400, 10, 87},
        {"block longer than a block", true, false, 497, 496, 87},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.create) ASSERT_EQ(Do(FT_CREATE_FILE, 0, "C:\\P").status, 0);
        else Do(FT_TERMINATE);
        if (c.interrupt) Do(FT_EXISTENCE);
        Request big;
        big.command = FT_WRITE_BLOCK;
        big.sequence = 9;
        big.param1 = c.claimed;
        EXPECT_EQ(Exchange(big, c.sent).status, c.status);
        EXPECT_EQ(Exchange(big, c.sent).status, c.status);  // resent
        EXPECT_EQ(Block(10, "ok").status, c.status);
        Reply end = Block(11, "");
        EXPECT_EQ(end.status, c.status);
        EXPECT_EQ(Block(11, "").status, c.status);  // the closing block resent
        EXPECT_TRUE(fs.open.empty());
        EXPECT_TRUE(fs.stamped.empty());
    }
    ASSERT_EQ(Do(FT_CREATE_FILE, 0, "C:\\P").status, 0);
    EXPECT_EQ(Block(1, "ok").status, 0);
    EXPECT_EQ(Block(2, "").status, 0);
    EXPECT_EQ(Block(2, "").status, 0);  // a good end resent stays good
    EXPECT_EQ(Block(3, "").status, 6);  // a second end: no upload to close
    EXPECT_EQ(fs.files["C:\\P"].bytes, "ok");

    fs.files["C:\\R"] = MemFile{std::string(1000, 'r'), 0, 0};
    Reply first = Do(FT_SEND_FILE, 0, "C:\\R");
    ASSERT_EQ(first.status, 0);
    fs.read_error = 23;  // ERROR_CRC
    EXPECT_EQ(Do(FT_SEND_NEXT_BLOCK, 0).status, 23);
    for (uint16_t seq : {0, 1, 2}) {  // resent, acknowledged, anything
        Reply r = Do(FT_SEND_NEXT_BLOCK, seq);
        EXPECT_EQ(r.status, 23) << seq;
        EXPECT_EQ(r.length, 0);
    }
    fs.read_error = 0;
    Reply again = Do(FT_SEND_FILE, 0, "C:\\R");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.length, 496);
    EXPECT_EQ(Do(FT_SEND_FILE, 0, "C:\\NOPE").status, 2);
    EXPECT_EQ(Do(FT_SEND_NEXT_BLOCK, 5).status, 2);  // the failed open's reply resent
    EXPECT_EQ(Do(FT_SEND_NEXT_BLOCK, 0).status, 2);
}

TEST_F(FtSessionTest, SizeDirectoryVerifyDelete) {
    fs.files["C:\\S"] = MemFile{std::string(70000, 'x'), 0, 0};
    Reply size = Do(FT_FILE_SIZE, 0, "C:\\S");
    ASSERT_EQ(size.length, 4);
    EXPECT_EQ(Data(size), std::string("\x70\x11\x01\x00", 4));
    EXPECT_EQ(fs.open.size(), 1u);  // left open until a command that closes files
    Do(FT_VERIFY_VOLUME, 0, "C:");
    EXPECT_EQ(fs.open.size(), 1u);
    Do(FT_CURRENT_DIRECTORY);
    EXPECT_TRUE(fs.open.empty());
    EXPECT_EQ(Do(FT_FILE_SIZE, 0, "C:\\NONE").status, 2);

    Reply cwd = Do(FT_CURRENT_DIRECTORY);
    EXPECT_EQ(Data(cwd), std::string("C:\\WORK\0", 8));
    EXPECT_EQ(Do(FT_CREATE_DIRECTORY, 0, "C:\\EXISTS").status, 183);
    EXPECT_EQ(Do(FT_CREATE_DIRECTORY, 0, "C:\\NEWDIR").status, 0);

    fs.listings["C:\\DIR"] = {{"DIR", kAttrDirectory}};
    fs.listings["C:\\FILE"] = {{"FILE", kAttrArchive}};
    EXPECT_EQ(Do(FT_VERIFY_DIRECTORY, 0, "C:\\DIR").status, 0);
    EXPECT_EQ(Do(FT_VERIFY_DIRECTORY, 0, "C:\\FILE").status, 1);
    EXPECT_EQ(Do(FT_VERIFY_DIRECTORY, 0, "C:\\NONE").status, 1);

    EXPECT_EQ(Do(FT_VERIFY_DRIVE, 0, "A:\\X").status, 1);  // removable and empty
    fs.listings["A:\\*.*"] = {{"DISK.TXT", kAttrArchive}};
    EXPECT_EQ(Do(FT_VERIFY_DRIVE, 0, "A:").status, 0);
    EXPECT_EQ(Do(FT_VERIFY_DRIVE, 0, "Q:").status, 0);  // not removable: never probed
    EXPECT_EQ(Do(FT_VERIFY_DRIVE, 0, "C:").status, 0);

    fs.files["C:\\DEL"] = MemFile{};
    Reply del = Do(FT_DELETE_FILE, 0, "C:\\DEL");
    EXPECT_EQ(del.status, 0);
    EXPECT_FALSE(fs.files.count("C:\\DEL"));
    Reply fail = Do(FT_DELETE_FILE, 0, "C:\\DEL");
    EXPECT_EQ(fail.status, 2);  // answered, and shown in the status list
    EXPECT_EQ(fail.command, FT_DELETE_FILE);
    EXPECT_EQ(ui.lines.back(), "Error deleting file C:\\DEL");
    fs.files["C:\\BUSY"] = MemFile{"x", 0, 0};
    ASSERT_EQ(Do(FT_FILE_SIZE, 0, "C:\\BUSY").status, 0);  // left open
    EXPECT_EQ(Do(FT_DELETE_FILE, 0, "C:\\BUSY").status, 32);
    EXPECT_TRUE(fs.files.count("C:\\BUSY"));
}

// Sizes up to 4 GiB - 1 are answered exactly; a larger file answers status
// 223 and no size, never its length cut to 32 bits.
TEST_F(FtSessionTest, FileSizeAboveTwoAndFourGiB) {
    struct Case { uint64_t size; uint16_t status; std::string data; } cases[] = {
        {0x80000000ull, 0, std::string("\x00\x00\x00\x80", 4)},
        {0xC0000000ull, 0, std::string("\x00\x00\x00\xC0", 4)},
        {0xFFFFFFFFull, 0, "\xFF\xFF\xFF\xFF"},
        {0x100000000ull, 223, ""},
        {0x140000000ull, 223, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        fs.files["C:\\BIG"] = MemFile{};
        fs.sizes["C:\\BIG"] = c.size;
        Reply r = Do(FT_FILE_SIZE, 0, "C:\\BIG");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(Data(r), c.data);
    }
}

// Only the bytes of the request just received count: a path whose zero
// byte is not among them is refused (status 161), and bytes an earlier,
// longer request left in the data area are never read.
TEST_F(FtSessionTest, PathWithoutItsZeroIsRefused) {
    fs.files["C:\\UP\\important.txt"] = MemFile{"keep", 0, 0};
    fs.files["C:\\UP\\i"] = MemFile{"short", 0, 0};
    for (uint16_t cmd : {FT_FILE_INFO, FT_SEND_FILE, FT_CREATE_NEW_FILE, FT_CREATE_FILE, FT_CREATE_DIRECTORY,
                         FT_VERIFY_DIRECTORY, FT_VERIFY_DRIVE, FT_VERIFY_VOLUME, FT_FILE_SIZE, FT_DELETE_FILE}) {
        SCOPED_TRACE(cmd);
        ASSERT_EQ(Do(FT_VERIFY_VOLUME, 0, "C:\\UP\\important.txt").status, 0);  // fills the data area
        Request r;
        r.command = cmd;
        r.SetPath("C:\\UP\\i");
        for (std::size_t sent : {std::size_t{7}, std::size_t{0}}) {  // the path without its zero; no data
            Reply rep = Exchange(r, sent);
            EXPECT_EQ(rep.command, cmd);
            EXPECT_EQ(rep.status, kStatusBadPath);
            EXPECT_EQ(rep.length, 0);
        }
        EXPECT_EQ(fs.files["C:\\UP\\important.txt"].bytes, "keep");
        EXPECT_EQ(fs.files["C:\\UP\\i"].bytes, "short");
        EXPECT_TRUE(fs.open.empty());
    }
    // Later blocks of the refused listing are refused too.
    for (uint16_t seq : {0, 0xFFFF}) EXPECT_EQ(Do(FT_MORE_FILE_INFO, seq, "C:\\*.*", 1).status, kStatusBadPath);
    // With its zero the short path is taken as it is.
    ASSERT_EQ(Do(FT_VERIFY_VOLUME, 0, "C:\\UP\\important.txt").status, 0);
    EXPECT_EQ(Do(FT_DELETE_FILE, 0, "C:\\UP\\i").status, 0);
    EXPECT_FALSE(fs.files.count("C:\\UP\\i"));
    EXPECT_TRUE(fs.files.count("C:\\UP\\important.txt"));
}

TEST(FtProtocol, ValidDosStamps) {
    auto date = [](int y, int m, int d) { return static_cast<uint16_t>((y - 1980) << 9 | m << 5 | d); };
    auto time = [](int h, int m, int s) { return static_cast<uint16_t>(h << 11 | m << 5 | s / 2); };
    const struct {
        uint16_t date, time;
        bool valid;
    } kCases[] = {
        {date(1998, 9, 1), time(12, 0, 0), true},
        {date(2000, 2, 29), time(23, 59, 58), true},
        {date(2107, 12, 31), 0, true},
        {0, 0, false},                           // month 0, day 0
        {date(1999, 2, 29), 0, false},           // not a leap year
        {date(2100, 2, 29), 0, false},           // nor is 2100
        {date(1998, 13, 1), 0, false},
        {date(1998, 4, 31), 0, false},
        {date(1998, 9, 1), time(24, 0, 0), false},
        {date(1998, 9, 1), time(12, 60, 0), false},
        {date(1998, 9, 1), 0x1F, false},         // 62 seconds
        {0xFFFF, 0xFFFF, false},
    };
    for (const auto& c : kCases) EXPECT_EQ(ValidDos(c.date, c.time), c.valid) << c.date << " " << c.time;
}

}  // namespace
}  // namespace qv::slave
