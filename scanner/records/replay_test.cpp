#include "scanner/records/replay.h"

#include "scanner/records/testsink.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace qv::scanner {
namespace {

using test::Data;
using test::Payload;
using test::RecordingSink;
using namespace std::string_literals;

class TempFile {
public:
    explicit TempFile(const std::string& bytes) {
        static int n = 0;
        path_ = (std::filesystem::temp_directory_path() /
                 ("qv_replay_" + std::to_string(::getpid()) + "_" + std::to_string(n++) + ".txt")).string();
        std::ofstream(path_, std::ios::binary) << bytes;
    }
    ~TempFile() { std::filesystem::remove(path_); }
    const char* path() const { return path_.c_str(); }
private:
    std::string path_;
};

struct Replayer {
    Replayer() {
        stream.SetPacketSink(&sink);
        stream.SetSendFailureHandler([this] { ++failures; });
        options.invalid_data = [this](std::string_view file, std::string_view text) {
            messages.push_back(std::string(file) + "|" + std::string(text));
        };
        options.file_error = [this](std::string_view path, int error) {
            messages.push_back(std::string(path) + "|errno " + std::to_string(error));
        };
    }
    int Run(const std::string& bytes) {
        TempFile f(bytes);
        file = f.path();
        return ReplayInventoryFile(f.path(), options, stream);
    }
    // Everything packed, end zeros removed, split at the zero bytes.
    std::vector<std::string> Pieces() const {
        std::string all;
        for (const auto& p : sink.packets) all += Data(p);
        std::vector<std::string> out;
        std::size_t start = 0;
        for (std::size_t i = 0; i < all.size(); ++i)
            if (all[i] == '\0') {
                out.push_back(all.substr(start, i - start));
                start = i + 1;
            }
        if (start < all.size()) out.push_back(all.substr(start));
        return out;
    }
    RecordingSink sink;
    ItemStream stream;
    ReplayOptions options;
    std::vector<std::string> messages;
    std::string file;
    int failures = 0;
};

TEST(Replay, ItemLinesSplitAtTheFirstEquals) {
    struct Case { std::string file; std::vector<std::string> packed; };
    const Case cases[] = {
        {"BIOS - Date = 03/14/97\r\n_SOFTWARE =\r\n", {"BIOS - Date =03/14/97", "_SOFTWARE ="}},
        // String 61 ends in a blank; the right-aligned number keeps its blanks,
        // and the packed bytes equal those of the scan that wrote the line.
        {"Number of Files =      12\r\n", {"Number of Files =     12"}},
        {"A = b = c\nB = \n", {"A =b = c", "B ="}},
        {"K=v\r\n", {"K="}},                      // the character after "=" is skipped
        // A last line without a line break keeps its last character.
        {"Last = xyz", {"Last =xyz"}},
        // Byte 26 ends the file; a lone CR stays in the line.
        {"A = 1\r\nB = 2\r3\r\n\x1a" "C = 3\r\n", {"A =1", "B =2\r3"}},
        {"", {}},
    };
    for (const Case& c : cases) {
        Replayer r;
        EXPECT_EQ(r.Run(c.file), kReplayOk) << c.file;
        EXPECT_EQ(r.Pieces(), c.packed) << c.file;
        ASSERT_FALSE(r.sink.packets.empty());
        EXPECT_TRUE(r.sink.packets.back().last);
        EXPECT_TRUE(r.messages.empty());
    }
}

TEST(Replay, InvalidDataStopsWithForty) {
    struct Case { std::string file, message; };
    const Case cases[] = {
        {"A = 1\r\nno equals here\r\nB = 2\r\n", "no equals here"},
        {"_EndContents\r\n", "_EndContents"},
        {"_BeginContents\r\nA.INI\r\nC:\\\r\n", "End of file during configuration file."},
        {"_begincontents\r\nA.INI\r\nC:\\\r\n852076800\r\n", "End of file during configuration file."},
        // Anything that would pack an empty field, whose zero pair would end
        // the packet early: a blank record line, a key or field that is empty
        // up to a zero byte.
        {"_BeginContents\r\nA.INI\r\n\r\n1\r\n2\r\nx\r\n_EndContents\r\nB = 2\r\n", ""},
        {"A = 1\r\n\0 =\r\nB = 2\r\n"s, "\0 ="s},
        {"A = 1\r\n\0K = v\r\n"s, "\0K = v"s},
        {"_BeginContents\r\nA.INI\r\nC:\\\r\n\0\r\n2\r\n"s, "\0"s},
    };
    for (const Case& c : cases) {
        Replayer r;
        EXPECT_EQ(r.Run(c.file), kReplayInvalidData) << c.file;
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0], r.file + "|" + c.message);
        EXPECT_TRUE(r.sink.packets.empty());  // the last packet is not sent
    }
}

TEST(Replay, MissingFileGivesTwenty) {
    Replayer r;
    EXPECT_EQ(ReplayInventoryFile("/nonexistent/qv/INV.TXT", r.options, r.stream), kReplayCannotOpen);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0], "/nonexistent/qv/INV.TXT|errno " + std::to_string(ENOENT));
    EXPECT_TRUE(r.sink.packets.empty());
}

TEST(Replay, FailedSends) {
    Replayer r;
    r.sink.failing = {1};
    EXPECT_EQ(r.Run("A = 1\r\n"), kReplaySendFailed);  // the last packet

    Replayer full;
    full.sink.failing = {1};
    std::string file;
    for (int i = 0; i < 30; ++i) file += "Item " + std::to_string(i) + " = " + std::string(40, 'x') + "\r\n";
    EXPECT_EQ(full.Run(file), kReplayOk);
    EXPECT_EQ(full.failures, 1);  // a full packet that fails goes to the handler
}

TEST(Replay, ContentsBlock) {
    Replayer r;
    const std::string file =
        "Cfg - C:\\A.INI = 2\r\n"
        "_BeginContents\r\nA.INI\r\nC:\\\r\n852076800\r\n2\r\n"
        "[x]\r\nk=v\r\n"
        "_ENDCONTENTS\r\n"
        "After = 1\r\n";
    EXPECT_EQ(r.Run(file), kReplayOk);
    const std::vector<std::string> want = {"Cfg - C:\\A.INI =2", "_BeginContents", "2", "852076800", "A.INI",
                                           "C:\\", "[x]\r\nk=v\r\n_EndContents", "After =1"};
    EXPECT_EQ(r.Pieces(), want);

    // Over-long record lines are cut to their areas.
    Replayer cut;
    EXPECT_EQ(cut.Run("_BeginContents\r\nVERYLONGNAME.INI\r\nD\\\r\n1\r\n2\r\n_EndContents\r\n"), kReplayOk);
    EXPECT_EQ(cut.Pieces()[3], "VERYLONGNAME");

    // A block the file ends in: the text is packed and ended by the two zeros.
    Replayer open;
    EXPECT_EQ(open.Run("_BeginContents\r\nA\r\nB\r\n1\r\n2\r\ntext\r\nmore"), kReplayOk);
    EXPECT_EQ(Payload(open.sink.packets.back().bytes), "_BeginContents\0" "2\0" "1\0" "A\0" "B\0" "text\r\nmore\0\0"s);
}

TEST(Replay, LinesOfAnyLengthAreReadWhole) {
    // An item longer than a packet holds is cut as the scan cuts it; nothing
    // of it becomes a line of its own.
    Replayer r;
    EXPECT_EQ(r.Run("K = " + std::string(5000, 'v') + "\r\nNext = 1\r\n"), kReplayOk);
    EXPECT_EQ(r.Pieces(), (std::vector<std::string>{"K =" + std::string(537, 'v'), "Next =1"}));
    // A key longer than a packet: cut, and its value with it.
    Replayer key;
    EXPECT_EQ(key.Run(std::string(3000, 'k') + " = v\r\n"), kReplayOk);
    EXPECT_EQ(key.Pieces(), std::vector<std::string>{std::string(540, 'k')});
    // A long text line whose later part begins with the end label stays text.
    Replayer text;
    const std::string line = std::string(kReplayLineMax, 't') + "_EndContents here";
    EXPECT_EQ(text.Run("_BeginContents\r\nA\r\nB\r\n1\r\n2\r\n" + line + "\r\n_EndContents\r\nAfter = 1\r\n"),
              kReplayOk);
    const std::vector<std::string> pieces = text.Pieces();
    ASSERT_GE(pieces.size(), 2u);
    EXPECT_EQ(pieces.back(), "After =1");
    EXPECT_TRUE(text.messages.empty());
}

// A run that writes the flat file and the packets; `shift` moves the packet
// boundaries inside the contents text.
struct Scan {
    explicit Scan(std::size_t shift) {
        ItemStream s;
        s.SetFlatSink(&flat);
        s.SetPacketSink(&sink);
        s.AddItem("Device ID =", "PC0001");
        s.AddItem("BIOS - Date =", "03/14/97");
        for (int i = 0; i < 40; ++i) s.AddItem("Environ - VAR" + std::to_string(i) + " =", std::string(i * 3, 'e'));
        s.AddItem("Shift =", std::string(shift, 's'));
        s.AddItem("_SOFTWARE =", "");
        s.AddItem("Cfg - C:\\CONFIG.SYS =", "1");
        s.AddItem("_BeginContents", "");
        ContentsRecord rec;
        SetContentsRecord(rec, "2700", "852076800", "CONFIG.SYS", "C:\\");
        s.AddRecord(rec);
        std::string text;
        for (int i = 0; i < 100; ++i) text += "DEVICE=C:\\DRV" + std::to_string(i) + ".SYS\r\n";
        MemoryByteSource src(text);
        s.AddText(src);
        s.AddItem("_EndContents", "");
        char files[16];
        std::snprintf(files, sizeof files, "%6u", 1234u);
        s.AddItem("Number of Files = ", files);
        s.AddItem("Program - C:\\APP\\APP.EXE =", "Application 1.0");
        EXPECT_EQ(s.SendPacket(true), 0);
    }
    StringFlatSink flat;
    RecordingSink sink;
};

std::string WithoutZeros(const std::vector<test::SentPacket>& packets) {
    std::string all;
    for (const auto& p : packets)
        for (char c : Payload(p.bytes))
            if (c) all += c;
    return all;
}

// Replaying the flat file gives the same items, records and text in the same
// order. A CR LF that a scan splits between two packets (CR in the one, LF in
// the next) stays whole in the replay, which packs it as one line break, so
// only there the packet boundaries may differ by one byte.
TEST(Replay, RoundTripGivesTheSamePackets) {
    int identical = 0;
    for (std::size_t shift = 0; shift < 24; ++shift) {
        Scan scan(shift);
        ASSERT_GT(scan.sink.packets.size(), 4u);
        Replayer r;
        EXPECT_EQ(r.Run(scan.flat.text), kReplayOk);
        ASSERT_EQ(r.sink.packets.size(), scan.sink.packets.size());
        EXPECT_EQ(WithoutZeros(r.sink.packets), WithoutZeros(scan.sink.packets)) << shift;
        bool straddles = false;
        for (const auto& p : scan.sink.packets) straddles |= Data(p).ends_with("\r\0"s);
        if (!straddles) {
            EXPECT_EQ(r.sink.packets, scan.sink.packets) << shift;
            ++identical;
        }
    }
    EXPECT_GT(identical, 12);
}

TEST(Replay, LabelsComeFromTheCaller) {
    Replayer r;
    r.options.begin_label = "_Begin";
    r.options.end_label = "_End";
    EXPECT_EQ(r.Run("_Begin\r\nN\r\nD\r\n1\r\n2\r\nx\r\n_End\r\n"), kReplayOk);
    EXPECT_EQ(r.Pieces(), (std::vector<std::string>{"_Begin", "2", "1", "N", "D", "x\r\n_End"}));

    Replayer empty;  // labels that failed to load fall back to the built-in ones
    empty.options.begin_label.clear();
    empty.options.end_label.clear();
    EXPECT_EQ(empty.Run("_BeginContents\r\nN\r\nD\r\n1\r\n2\r\n_EndContents\r\nA = 1\r\n"), kReplayOk);
    EXPECT_EQ(empty.Pieces().back(), "A =1");
}

}  // namespace
}  // namespace qv::scanner
