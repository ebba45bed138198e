// Tests of the slave's start-up settings.
#include <gtest/gtest.h>

#include "slave/settings.h"

namespace qv::slave {
namespace {

TEST(SlaveSettings, TransportWord) {
    struct {
        const char* line;
        Transport want;
    } cases[] = {
        {"tcpip", kTransportTcp}, {"TCP extra words", kTransportTcp}, {"  TcpIp", kTransportTcp},
        {"ipx", kTransportIpx},   {"netbios", kTransportNone},        {"", kTransportNone},
        {"tcpipx", kTransportNone},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseTransport(c.line), c.want) << c.line;
}

TEST(SlaveSettings, JoinRules) {
    struct {
        const char* dir;
        const char* name;
        const char* want;
    } cases[] = {
        {"C:\\SMS\\", "QVCLIENT.INI", "C:\\SMS\\QVCLIENT.INI"},
        {"C:\\SMS", "QVCLIENT.INI", "C:\\SMS\\QVCLIENT.INI"},
        {"C:\\SMS/", "\\QVCLIENT.INI", "C:\\SMS/QVCLIENT.INI"},
        {"D:", "QVCLIENT.INI", "D:QVCLIENT.INI"},
        {"", "QVCLIENT.INI", "QVCLIENT.INI"},
        {"C:\\SMS", "", "C:\\SMS"},
    };
    for (const auto& c : cases) {
        char out[kSettingsPathMax];
        ASSERT_EQ(JoinPath(c.dir, c.name, out, sizeof out), kPathOk) << c.dir;
        EXPECT_STREQ(out, c.want);
    }
    char small[16];
    EXPECT_EQ(JoinPath("C:\\LONGDIR", "QVCLIENT.INI", small, sizeof small), kPathTooLong);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(JoinPath(nullptr, "X", small, sizeof small), kPathMissingArgument);
    char exact[13];  // "D:QVCLIENT.INI" needs 15
    EXPECT_EQ(JoinPath("D:", "QVCLIENT.INI", exact, sizeof exact), kPathTooLong);
}

TEST(SlaveSettings, Location) {
    auto fixed_cd = [](char l) { return l == 'C' || l == 'D'; };
    std::string path;
    EXPECT_EQ(LocateSettings("D:", fixed_cd, &path), kPathOk);
    EXPECT_EQ(path, "D:QVCLIENT.INI");
    EXPECT_EQ(LocateSettings(nullptr, fixed_cd, &path), kPathNoVariable);
    EXPECT_EQ(path, "C:\\QVCLIENT.INI");
    EXPECT_EQ(LocateSettings(nullptr, [](char) { return false; }, &path), kPathNoFixedDrive);
    EXPECT_EQ(path, "");
    std::string too_long(200, 'x');
    EXPECT_EQ(LocateSettings(too_long.c_str(), fixed_cd, &path), kPathNoVariable);
    EXPECT_EQ(path, "C:\\QVCLIENT.INI");
    std::string near(120, 'x');  // fits alone, not with the file name
    EXPECT_EQ(LocateSettings(near.c_str(), fixed_cd, &path), kPathTooLong);
}

TEST(SlaveSettings, NameAndAdapter) {
    EXPECT_EQ(MakeSlaveName("ABCDEFGHIJKLMNO"), "ABCDEFGHIJKLMNO     ");
    EXPECT_EQ(MakeSlaveName("").size(), 20u);
    EXPECT_EQ(MakeSlaveName(std::string(25, 'Z')), std::string(20, 'Z'));
    EXPECT_EQ(ParseLanaNum("3"), 3);
    EXPECT_EQ(ParseLanaNum(""), 0);
    EXPECT_EQ(ParseLanaNum("x"), 0);
}

}  // namespace
}  // namespace qv::slave
