#include "scanner/driver/devicefile.h"
#include "scanner/driver/help.h"

#include <gtest/gtest.h>

namespace {

using namespace qv::scanner;

const std::string kLabel = "Device ID =";

TEST(DeviceFile, ReadsTheLinesItKnows) {
    struct Case { std::vector<std::string> lines; std::string id; std::string server; };
    const Case cases[] = {
        {{"Device ID = PC01ABCDEF01\n", "IV Server = INVSRV\n"}, "PC01ABCDEF01", "INVSRV"},
        {{"device id = lower\r\n"}, "lower", ""},                 // label without regard to case
        {{"Device ID = LASTLINE"}, "LASTLINE", ""},               // no line break: nothing lost
        {{"Device ID =\n", "Device ID = \n"}, "", ""},            // empty values are ignored
        {{"Device ID = A\n", "Device ID = B\n"}, "B", ""},        // a later line overwrites
        {{"Comment\n", "DeviceID = X\n", "IV Server=X\n"}, "", ""},
        {{"IV Server = " + std::string(100, 'S') + "\n"}, "", std::string(100, 'S')},  // not cut
    };
    for (const Case& c : cases) {
        RunState st;
        for (const std::string& l : c.lines) ApplyDeviceFileLine(l, kLabel, st);
        EXPECT_EQ(st.device_id, c.id) << c.lines[0];
        EXPECT_EQ(st.remembered_server, c.server) << c.lines[0];
    }
}

TEST(DeviceFile, DeviceIdIsCutTo79Characters) {
    RunState st;
    ApplyDeviceFileLine("Device ID = " + std::string(120, 'D') + "\n", kLabel, st);
    EXPECT_EQ(st.device_id, std::string(79, 'D'));
}

TEST(DeviceFile, RoundTrip) {
    struct Case { std::string server, remembered, text; };
    const Case cases[] = {
        {"NEWSRV", "OLDSRV", "Device ID = PC01\nIV Server = NEWSRV\n"},
        {"", "OLDSRV", "Device ID = PC01\nIV Server = OLDSRV\n"},
        {"", "", "Device ID = PC01\n"},
    };
    for (const Case& c : cases) {
        std::string text = FormatDeviceFile(kLabel, "PC01", c.server, c.remembered);
        EXPECT_EQ(text, c.text);
        RunState st;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            ApplyDeviceFileLine(text.substr(start, end - start + 1), kLabel, st);
            start = end + 1;
        }
        EXPECT_EQ(st.device_id, "PC01");
        EXPECT_EQ(st.remembered_server, c.server.empty() ? c.remembered : c.server);
    }
}

TEST(DeviceFile, LocalDeviceId) {
    EXPECT_EQ(MakeLocalDeviceId("WORKSTATION7", 0x36A5C0DE), "WORKSTATION736A5C0DE");
    EXPECT_EQ(MakeLocalDeviceId("PC", 0xAB), "PC000000AB");
    EXPECT_EQ(MakeLocalDeviceId(std::string(90, 'N'), 1).size(), 79u);
}

TEST(HelpPager, TwentyTwoLinesFirstThenTwentyFour) {
    HelpPager pager;
    std::vector<int> pauses;  // line numbers (1-based) before which a pause comes
    for (int line = 1; line <= 100; ++line)
        if (pager.PauseBeforeLine()) pauses.push_back(line);
    EXPECT_EQ(pauses, (std::vector<int>{23, 47, 71, 95}));
}

// The rewrite keeps the lines it does not know (the machine description
// the network identity scan reads after the rewrite), and only those.
TEST(DeviceFile, RewriteKeepsOtherLines) {
    RunState st;
    for (const char* l : {"Device ID = PC01\n", "Machine Description = Front desk PC\n", "\n",
                          "IV Server = OLD\n", "Note = kept\r\n"})
        ApplyDeviceFileLine(l, kLabel, st);
    EXPECT_EQ(st.device_file_other_lines, (std::vector<std::string>{"Machine Description = Front desk PC", "Note = kept"}));
    EXPECT_EQ(FormatDeviceFile(kLabel, "PC02", "NEW", st.remembered_server, st.device_file_other_lines),
              "Device ID = PC02\nIV Server = NEW\nMachine Description = Front desk PC\nNote = kept\n");
    RunState many;
    for (int i = 0; i < 100; ++i) ApplyDeviceFileLine("Line " + std::to_string(i) + "\n", kLabel, many);
    EXPECT_EQ(many.device_file_other_lines.size(), kDeviceFileOtherLinesMax);
}

}  // namespace
