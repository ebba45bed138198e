// Configuration file lists, capture, the contents block, and AbbreviatePath.
#include "scanner/software/configcap.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "scanner/software/test_support.h"

namespace qv::scanner {
namespace {

using test::Env;
using test::FakePlatform;
using test::TempDir;

TEST(ConfigLists, EmptyKeysGiveEmptyNames) {
    Env e;
    e.profile["CfgFiles2"] = "\\config.sys C:\\WINNT\\WIN.INI";
    ConfigFileList list;
    ReadConfigFileLists(e.Reader(), list);
    ASSERT_EQ(list.count, 5);
    const char* want[] = {"", "\\CONFIG.SYS", "C:\\WINNT\\WIN.INI", "", ""};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(list.entries[i].name, want[i]) << i;
    EXPECT_EQ(list.Find(""), -1);

    Env full;
    std::string many;
    for (int i = 0; i < 15; ++i) many += (i ? " F" : "F") + std::to_string(i);
    for (int k = 1; k <= 4; ++k) full.profile["CfgFiles" + std::to_string(k)] = many.substr(0, 79);
    ConfigFileList capped;
    ReadConfigFileLists(full.Reader(), capped);
    EXPECT_EQ(capped.count, kConfigFileEntries);
}

TEST(ConfigLists, AbbreviatePath) {
    struct Case { const char* path; const char* shown; };
    const Case cases[] = {
        {"C:\\WINNT\\SYSTEM32\\DRIVERS\\ETC\\SERVICES", "C:\\...\\ETC\\SERVICES"},
        {"C:\\CONFIG.SYS", "C:\\CONFIG.SYS"},
        {"C:\\DIR\\FILE", "C:\\DIR\\FILE"},
        {"NOSLASH", "NOSLASH"},
        {"\\\\SERVER\\SHARE\\DIR\\FILE.INI", "\\...\\DIR\\FILE.INI"},
    };
    for (const Case& c : cases) EXPECT_EQ(AbbreviatePath(c.path), c.shown) << c.path;
}

TEST(ConfigCapture, DriveOrderAndSkippedDrives) {
    Env e;
    FakePlatform platform;
    platform.fixed = "CDF";
    platform.files = {{"C:\\CONFIG.SYS", {1, 2}}};
    ConfigFileList list;
    list.AddConfigured("\\CONFIG.SYS");
    list.AddConfigured("\\AUTOEXEC.BAT");
    list.AddConfigured("");
    ConfigCapture cap(e.env, platform, list);
    cap.CaptureConfigFiles(3);  // first fixed drive D: C: is never examined
    EXPECT_EQ(platform.probed, (std::vector<std::string>{"D:\\CONFIG.SYS", "F:\\CONFIG.SYS", "D:\\AUTOEXEC.BAT",
                                                         "F:\\AUTOEXEC.BAT"}));
    EXPECT_TRUE(e.output.items.empty());
}

TEST(ConfigCapture, ItemRowAndContentsBlock) {
    Env e;
    FakePlatform platform;
    TempDir dir;
    std::string path = dir.Write("config.sys", "FILES=40\r\nBUFFERS=20");
    std::uint32_t time;
    std::uint64_t size;
    ASSERT_TRUE(platform.FileStatus(path, &time, &size));

    ConfigFileList list;
    list.AddConfigured(path);
    ConfigCapture cap(e.env, platform, list);
    cap.CaptureConfigFiles(2);
    ASSERT_EQ(e.output.items.size(), 3u);
    LocalTime lt;
    std::string when;
    platform.LocalTimeOf(time, &lt, &when);
    // A host path has no backslash: it is shown as it is, and it is all file
    // name, in the current directory (never an empty record field).
    EXPECT_EQ(e.output.items[0], "Cfg - " + UpperAscii(path) + " =|" + when + " 20");
    EXPECT_EQ(e.output.items[1], "_BeginContents|");
    EXPECT_EQ(e.output.items[2], "_EndContents|");
    ASSERT_EQ(e.output.blocks.size(), 1u);
    EXPECT_EQ(e.output.blocks[0], "20," + std::to_string(time) + "," + path.substr(0, 12) + ",.\\|FILES=40\r\nBUFFERS=20");
    char date[32];
    std::snprintf(date, sizeof date, "\"%02d-%02d-%02d\",\"%02d:%02d:%02d\"", lt.month, lt.day, lt.year, lt.hour,
                  lt.minute, lt.second);
    ASSERT_EQ(e.output.rows.size(), 1u);
    EXPECT_NE(e.output.rows[0].find(date), std::string::npos) << e.output.rows[0];

    // The server holds the same time and size: item and row, no block.
    Env again;
    list.entries[0].time = time;
    list.entries[0].size = 20;
    ConfigCapture cap2(again.env, platform, list);
    cap2.CaptureConfigFiles(2);
    EXPECT_EQ(again.output.items.size(), 1u);
    EXPECT_EQ(again.output.rows.size(), 1u);
    EXPECT_TRUE(again.output.blocks.empty());
}

struct FixedTime : FakePlatform {
    bool LocalTimeOf(std::uint32_t, LocalTime* lt, std::string* text) override {
        *lt = {1998, 6, 5, 14, 7, 9};
        *text = "06/05/98 14:07:09";
        return true;
    }
};

TEST(ConfigCapture, LabelsRowsAndRecordFields) {
    Env e;
    FixedTime platform;
    ConfigFileList list;
    ConfigCapture cap(e.env, platform, list);
    // Neither file exists on disk: item and row only.
    cap.CaptureConfigFile("C:\\config.sys", 1, 1234);
    cap.CaptureConfigFile("C:\\WINNT\\SYSTEM32\\DRIVERS\\ETC\\SERVICES", 1, 7);
    EXPECT_EQ(e.output.items, (std::vector<std::string>{"Cfg - C:\\CONFIG.SYS =|06/05/98 14:07:09 1234",
                                                        "Cfg - C:\\...\\ETC\\SERVICES =|06/05/98 14:07:09 7"}));
    EXPECT_EQ(e.output.rows[0],
              "Corvane|Config Files|1.0|\"config.sys\",\"C:\\\\\",\"06-05-1998\",\"14:07:09\",\"1234\"");
    EXPECT_EQ(e.output.rows[1], "Corvane|Config Files|1.0|\"SERVICES\",\"C:\\\\WINNT\\\\SYSTEM32\\\\DRIVERS\\\\ETC\\\\\","
                                "\"06-05-1998\",\"14:07:09\",\"7\"");
}

// A listed file of 2 GB and more is reported with its whole size.
TEST(ConfigCapture, FilesOfTwoGigabytesAndMore) {
    TempDir dir;
    const std::string path = dir.Write("big.dat", "");
    std::filesystem::resize_file(path, 5000000000ull);    // sparse: takes no room
    FakePlatform platform;
    std::uint32_t time;
    std::uint64_t size = 0;
    ASSERT_TRUE(platform.FileStatus(path, &time, &size));
    EXPECT_EQ(size, 5000000000ull);

    Env e;
    FixedTime fixed;
    fixed.files = {{"C:\\BIG.DAT", {1, 3000000000ull}}};
    ConfigFileList list;
    list.AddConfigured("C:\\BIG.DAT");
    ConfigCapture cap(e.env, fixed, list);
    cap.CaptureConfigFiles(2);
    EXPECT_EQ(e.output.items, std::vector<std::string>{"Cfg - C:\\BIG.DAT =|06/05/98 14:07:09 3000000000"});
    ASSERT_EQ(e.output.rows.size(), 1u);
    EXPECT_TRUE(e.output.rows[0].ends_with(",\"3000000000\"")) << e.output.rows[0];
}

}  // namespace
}  // namespace qv::scanner
