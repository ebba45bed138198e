#include "scanner/driver/cmdline.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using namespace qv::scanner;

struct Parsed {
    ParseResult result;
    RunSettings settings;
    std::vector<std::pair<int, std::string>> messages;
};

Parsed Parse(std::vector<std::string> args) {
    Parsed p{};
    SetProgramPaths("P:\\QV\\QVISCNNT.EXE", p.settings);
    p.result = ParseCommandLine(args, p.settings, [&](int id, const std::string& arg) {
        p.messages.emplace_back(id, arg);
    });
    return p;
}

TEST(CommandLine, ResultCodes) {
    struct Case { std::vector<std::string> args; ParseResult want; };
    const Case cases[] = {
        {{}, kParseAccepted},
        {{"/O=C:\\INV.TXT"}, kParseAccepted},
        {{"/S=SRV"}, kParseUsage},                        // server without transport
        {{"/NTT127.0.0.1"}, kParseNoServerName},          // transport without server
        {{"/S=SRV", "/NTT127.0.0.1"}, kParseAccepted},
        {{"/NTT127.0.0.1", "/S=SRV"}, kParseAccepted},    // combinations are tested after parsing
        {{"/Q", "/M"}, kParseUsage},
        {{"/M", "/Q=C:\\LEARN.TXT"}, kParseUsage},
        {{"/Q", "/MU"}, kParseAccepted},                  // MU is quiet, not MIF output
        {{"/Q", "/O=X"}, kParseAccepted},
        {{"/1"}, kParseUsage},                            // letter outside ? to Z
        {{"/["}, kParseUsage},
        {{"/"}, kParseUsage},
        {{""}, kParseUsage},
        {{"/@"}, kParseAccepted},                         // inside the range, no effect
        {{"/W", "/VL", "/NF", "/B"}, kParseAccepted},
        {{"/O"}, kParseUsage}, {{"/O="}, kParseUsage},
        {{"/D"}, kParseUsage}, {{"/D="}, kParseUsage},
        {{"/I"}, kParseUsage}, {{"/I="}, kParseUsage},
        {{"/T"}, kParseUsage}, {{"/T="}, kParseUsage},
        {{"/S"}, kParseUsage}, {{"/S="}, kParseUsage},
        {{"/NTT"}, kParseUsage},
        {{"/NTI0000ABCD:00A0C9123456"}, kParseNoServerName},      // 21 characters
        {{"/NTI0000ABCD:00A0C9123456:4000"}, kParseNoServerName}, // 26 characters
        {{"/NTI0000ABCD:00A0C91234567"}, kParseUsage},           // 22 characters
        {{"/S=SRV", "/NTI0000ABCD:00A0C9123456"}, kParseAccepted},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_EQ(Parse(c.args).result, c.want) << joined;
    }
}

TEST(CommandLine, PrefixesAndCaseSelectTheSameOption) {
    for (const char* arg : {"/o=inv.txt", "-O=inv.txt", "o=inv.txt", "O=INV.txt"}) {
        Parsed p = Parse({arg});
        EXPECT_EQ(p.result, kParseAccepted) << arg;
        EXPECT_EQ(p.settings.flat_file_name, "INV.TXT") << arg;  // values are upper-cased
    }
    for (const char* arg : {"/v", "-V", "v"}) EXPECT_TRUE(Parse({arg}).settings.verbose) << arg;
    EXPECT_FALSE(Parse({"/VL"}).settings.verbose);
    EXPECT_TRUE(Parse({"/?"}).settings.help_wanted);
    EXPECT_TRUE(Parse({"h"}).settings.help_wanted);
}

TEST(CommandLine, NumbersHaveFloors) {
    struct Case { const char* arg; int retransmit; int rounds; };
    const Case cases[] = {
        {"/A=2", 5, 10}, {"/A=12", 12, 10}, {"/A=x", 5, 10}, {"/A", 5, 10},
        {"/Z=3", 5, 10}, {"/Z=25", 5, 25}, {"/Z=-7", 5, 10},
    };
    for (const Case& c : cases) {
        Parsed p = Parse({c.arg});
        EXPECT_EQ(p.settings.retransmit_seconds, c.retransmit) << c.arg;
        EXPECT_EQ(p.settings.reply_rounds, c.rounds) << c.arg;
    }
    // Without "=" the value set earlier is kept.
    EXPECT_EQ(Parse({"/A=30", "/A"}).settings.retransmit_seconds, 30);
    EXPECT_EQ(Parse({"/Z=30", "/Z"}).settings.reply_rounds, 30);
}

TEST(CommandLine, PathsAndDrives) {
    EXPECT_EQ(Parse({"/D=c:\\data"}).settings.scan_root, "C:\\DATA\\");
    EXPECT_EQ(Parse({"/D=C:\\"}).settings.scan_root, "C:\\");
    EXPECT_EQ(Parse({}).settings.database_path, "P:\\QV\\QVAPPL.INI");
    EXPECT_EQ(Parse({"/I=apps.ini"}).settings.database_path, "P:\\QV\\APPS.INI");
    EXPECT_EQ(Parse({"/I=d:apps.ini"}).settings.database_path, "D:APPS.INI");
    EXPECT_EQ(Parse({"/I=\\\\srv\\share\\a.ini"}).settings.database_path, "\\\\SRV\\SHARE\\A.INI");
    EXPECT_EQ(Parse({"/I=\\apps.ini"}).settings.database_path, "P:\\QV\\\\APPS.INI");
    EXPECT_EQ(Parse({"/K=e"}).settings.extra_drive, 'E');
    EXPECT_EQ(Parse({"/K=1"}).settings.extra_drive, 0);
    EXPECT_EQ(Parse({"/K=E", "/K=1"}).settings.extra_drive, 0);
    EXPECT_EQ(Parse({"/K"}).settings.extra_drive, 0);
    EXPECT_EQ(Parse({"/Q"}).settings.learning_value, ":");
    EXPECT_EQ(Parse({"/Q="}).settings.learning_value, ":");
    EXPECT_EQ(Parse({"/Q=c:\\learn.txt"}).settings.learning_value, "C:\\LEARN.TXT");
    EXPECT_EQ(Parse({"/M"}).settings.mif_file_name, "QVISCAN.MIF");
    EXPECT_EQ(Parse({"/MU"}).settings.mif_file_name, "");
    EXPECT_TRUE(Parse({"/mu"}).settings.quiet);
    EXPECT_TRUE(Parse({"/N"}).settings.no_subdirectories);
    EXPECT_TRUE(Parse({"/NX"}).settings.no_subdirectories);   // other letters give the same effect
    EXPECT_FALSE(Parse({"/NF"}).settings.no_subdirectories);
    EXPECT_FALSE(Parse({"/NTX"}).settings.no_subdirectories);  // NT and another letter: ignored
    EXPECT_EQ(Parse({"/NTX"}).settings.transport, Transport::None);
    EXPECT_EQ(Parse({"/O=a", "/O=b"}).settings.flat_file_name, "B");  // later overwrites
}

TEST(CommandLine, FirstTransportWins) {
    Parsed p = Parse({"/S=srv", "/NTI0000abcd:00a0c9123456", "/NTThost.example"});
    EXPECT_EQ(p.result, kParseAccepted);
    EXPECT_EQ(p.settings.transport, Transport::Ipx);
    EXPECT_EQ(p.settings.server_address, "0000ABCD:00A0C9123456");

    p = Parse({"/S=srv", "/NTT127.0.0.1:5100", "/NTI0000ABCD:00A0C9123456"});
    EXPECT_EQ(p.settings.transport, Transport::Ip);
    EXPECT_EQ(p.settings.server_address, "127.0.0.1:5100");

    // A later transport form is ignored, malformed or not.
    EXPECT_EQ(Parse({"/S=srv", "/NTThost", "/NTIshort"}).result, kParseAccepted);
}

TEST(CommandLine, OverlongValuesAreRefusedNotCut) {
    std::string host31(31, 'h'), host32(32, 'h');
    EXPECT_EQ(Parse({"/S=s", "/NTT" + host31}).result, kParseAccepted);
    EXPECT_EQ(Parse({"/S=s", "/NTT" + host32}).result, kParseUsage);

    std::string path259 = "C:\\" + std::string(256, 'P');
    std::string path260 = path259 + "Q";
    EXPECT_EQ(Parse({"/O=" + path259}).result, kParseAccepted);
    for (const char* opt : {"/O=", "/T=", "/Q=", "/I=", "/D="})
        EXPECT_EQ(Parse({opt + path260}).result, kParseUsage) << opt;
    // A relative database name is measured with the program directory.
    EXPECT_EQ(Parse({"/I=" + std::string(255, 'x')}).result, kParseUsage);
}

TEST(CommandLine, ServerNameMessagesAndQuietRules) {
    std::string name48(48, 's'), name49(49, 's');
    Parsed p = Parse({"/S=" + name48, "/NTThost"});
    EXPECT_EQ(p.result, kParseAccepted);
    EXPECT_EQ(p.settings.server_name, std::string(48, 'S'));

    p = Parse({"/S=" + name49, "/NTThost"});
    EXPECT_EQ(p.result, kParseNameTooLong);
    ASSERT_EQ(p.messages.size(), 1u);
    EXPECT_EQ(p.messages[0], std::make_pair(kMsgServerNameTooLong, std::string(49, 'S')));

    // Message 11 is suppressed only when quiet comes first.
    EXPECT_TRUE(Parse({"/MU", "/S=" + name49}).messages.empty());
    EXPECT_EQ(Parse({"/S=" + name49, "/MU"}).messages.size(), 1u);
    EXPECT_EQ(Parse({"/S=" + name49, "/MU"}).result, kParseNameTooLong);

    // Message 12 shows the empty server name, and any quiet option hides it.
    p = Parse({"/NTThost"});
    ASSERT_EQ(p.messages.size(), 1u);
    EXPECT_EQ(p.messages[0], std::make_pair(kMsgServerNameInvalid, std::string()));
    EXPECT_TRUE(Parse({"/NTThost", "/MU"}).messages.empty());
    EXPECT_EQ(Parse({"/NTThost", "/MU"}).result, kParseNoServerName);
}

TEST(CommandLine, ProgramPaths) {
    RunSettings s;
    SetProgramPaths("C:\\Program Files\\QV\\qviscnnt.exe", s);
    EXPECT_EQ(s.program_name, "qviscnnt");
    EXPECT_EQ(s.program_dir, "C:\\Program Files\\QV\\");
    EXPECT_EQ(s.help_file_path, "C:\\Program Files\\QV\\QVISCNNT.HLP");
    SetProgramPaths("qviscnnt", s);
    EXPECT_EQ(s.program_name, "qviscnnt");
    EXPECT_EQ(s.database_path, "QVAPPL.INI");
}

}  // namespace
