// The agent's settings side: command line, [Sight], consent prompt
// templates, remote execute command lines, pipe replies and settings paths.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "agent/options.h"
#include "agent/test/fakes.h"

namespace qv::agent {
namespace {

using Strings = std::vector<std::string>;

TEST(Options, TokensAndProtocol) {
    struct Case {
        const char* value;
        Strings tokens;
        Protocol protocol;  // starting from IPX
        Strings bad;
        const char* joined;
    } cases[] = {
        {"/TCPIP", {"TCPIP"}, kProtocolTcpip, {}, "TCPIP"},
        {"-ipx", {"ipx"}, kProtocolIpx, {}, "ipx"},
        {"IP", {"IP"}, kProtocolTcpip, {}, "IP"},
        {"TCPIP SX", {"TCPIP", "SX"}, kProtocolTcpip, {"SX"}, "TCPIP SX"},
        // The first token is kept and tokens stay apart when joined.
        {"S IPX", {"S", "IPX"}, kProtocolIpx, {}, "S IPX"},
        {"/ip /Lfoo\t-n\\s", {"ip", "Lfoo", "n", "s"}, kProtocolTcpip, {}, "ip Lfoo n s"},
        {"\"/IPX x\" \"\" tcp", {"/IPX x", "tcp"}, kProtocolIpx, {"tcp"}, "\"/IPX x\" tcp"},
        {"a b c d e f g h i j k l", {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}, kProtocolIpx,
         {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}, "a b c d e f g h i j"},
        {"", {}, kProtocolIpx, {}, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Tokenize(c.value), c.tokens) << c.value;
        Protocol p = kProtocolIpx;
        const PreparedCommandLine prepared = PrepareCommandLine(c.value, &p);
        EXPECT_EQ(p, c.protocol) << c.value;
        EXPECT_EQ(prepared.options.bad, c.bad) << c.value;
        EXPECT_EQ(prepared.text, c.joined) << c.value;
        // The main thread's set-up sees the same options in the joined text.
        Protocol again = kProtocolIpx;
        EXPECT_EQ(ApplyCommandLine(prepared.text, &again).bad, c.bad) << c.value;
        EXPECT_EQ(again, c.protocol) << c.value;
    }
    // The prompt's tokens split at blanks only.
    EXPECT_EQ(Tokenize("Dr-Who \"perform DOS\" c:\\x/y", false), (Strings{"Dr-Who", "perform DOS", "c:\\x/y"}));
}

TEST(Security, SightSettings) {
    struct Case {
        std::map<std::string, std::string> ini;
        uint32_t permissions, signals;
    } cases[] = {
        {{}, 0x20F1, 0},
        {{{"Allow Chat", "no"}}, 0x20E1, 0},
        {{{"Allow Chat", "YES"}, {"Allow Takeover", ""}}, 0x20F0, 0},
        {{{"Allow Reboot", "Not found"}, {"Allow Ping Test", "0"}}, 0x00F1, 0},
        {{{"Visible Signal", "yes"}, {"Audible Signal", "no"}, {"Permission Required", "Yes"}}, 0x20F1, 0x05},
    };
    for (const Case& c : cases) {
        const SightFlags f = ReadSightSettings([&](const char* key, const char* def) {
            auto it = c.ini.find(key);
            return it == c.ini.end() ? std::string(def) : it->second;
        });
        EXPECT_EQ(f.permissions, c.permissions);
        EXPECT_EQ(f.signals, c.signals);
    }
}

TEST(Security, PromptTemplates) {
    const std::pair<const char*, int> cases[] = {
        {"access", 1121}, {"ACCEss", 1121}, {"perform DOS", 1113}, {"perform dos stuff", 1113},
        {"perform", 1121}, {"test", 1114}, {"testing", 1114}, {"perform Windows", 1115},
        {"Remote", 1116}, {"reboot", 1117}, {"Exec", 1118}, {"transfer", 1119}, {"Chat", 1120},
        {"cha", 1121}, {"", 1121}, {"x", 1121},
    };
    for (const auto& [word, id] : cases) EXPECT_EQ(ChoosePromptTemplate(word), id) << word;
    EXPECT_EQ(FormatPrompt(DefaultPromptTemplate(1120), "Ann"), "Will you allow Ann to chat with you?");
    // A requester with '%' is text, and the prompt stays within 255 bytes.
    EXPECT_EQ(FormatPrompt("Allow %s?", "%s%n"), "Allow %s%n?");
    EXPECT_EQ(FormatPrompt("Allow %s?", std::string(400, 'r')).size(), 255u);
}

TEST(Security, ExecCommandLines) {
    struct Case {
        ExecRecord rec;
        const char* word;
        const char* rest;
        int audit;
    } cases[] = {
        {{"notepad.exe", "c:\\a.txt", 0}, "notepad.exe", "c:\\a.txt", 4},
        {{"SLAVE.EXE", "", 0x20}, "KSLAVE.EXE", "", 3},
        {{"kchat.exe", "  \t", 0x00}, "kchat.exe", "", 2},
        {{"\"c:\\my progs\\x.exe\"", "a  b ", 0}, "\"c:\\my progs\\x.exe\"", "a  b", 4},
        {{"x.exe", std::string(300, 'a'), 0x20}, "Kx.exe", nullptr, 4},
    };
    for (const Case& c : cases) {
        const std::string line = BuildExecCommandLine(c.rec);
        const SplitLine s = SplitCommandLine(line);
        EXPECT_EQ(s.word, c.word);
        if (c.rest) {
            EXPECT_EQ(s.rest, c.rest);
        }
        EXPECT_EQ(ProgramAuditId(s.word), c.audit);
        EXPECT_LE(line.size(), 256u);
    }
}

TEST(Settings, PipeReplies) {
    using Bytes = test::Bytes;
    Security sec;
    test::Pipe host;
    auto ask = [&](const Bytes& m) {
        const PipeReply r = BuildPipeReply(m.data(), m.size(), sec, host);
        return Bytes(r.bytes.begin(), r.bytes.begin() + static_cast<std::ptrdiff_t>(r.len));
    };
    EXPECT_EQ(ask({0, 0, 0, 0}), (Bytes{2, 0, 0, 0, 0, 0, 0, 0, 0xF1, 0x20, 0, 0}));
    EXPECT_EQ(ask({1, 0, 0, 0, 0x04, 0, 0, 0, 0x01, 0, 0, 0}), (Bytes{2, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(sec.permissions.load(), 1u);
    EXPECT_EQ(sec.signals.load(), 4u);
    // A set request cut short changes nothing.
    EXPECT_EQ(ask({1, 0, 0, 0, 0x07, 0, 0, 0, 0xFF}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
    EXPECT_EQ(sec.permissions.load(), 1u);
    EXPECT_EQ(ask({2, 0, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}));
    EXPECT_EQ(ask({9, 0, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
    EXPECT_EQ(ask({3}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));

    Bytes ipx = ask({3, 0, 0, 0});
    ASSERT_EQ(ipx.size(), 48u);
    EXPECT_EQ(Bytes(ipx.begin(), ipx.begin() + 9), (Bytes{4, 0, 0, 0, 0, 0, 0, 0, 0xA0}));
    EXPECT_EQ(ipx[47], 0xA0 + 39);
    host.protocol = 2;
    Bytes tcp = ask({3, 0, 0, 0});
    ASSERT_EQ(tcp.size(), 68u);
    EXPECT_EQ(std::string(tcp.begin() + 8, tcp.begin() + 20), "WORKSTATION7");
    EXPECT_EQ(tcp[20], 0);
    EXPECT_EQ(tcp[48], 0xA0);
    EXPECT_EQ(tcp[67], 0xA0 + 19);
    host.protocol = 0;
    EXPECT_EQ(ask({3, 0, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0}));
}

TEST(Settings, ClientIniLocation) {
    const std::string long_dir(250, 'd');
    struct Case {
        const char* sms;
        char drive;
        std::string path;
    } cases[] = {
        {"C:\\SMS\\", 'C', "C:\\SMS\\QVCLIENT.INI"},
        {"C:\\SMS", 'C', "C:\\SMS\\QVCLIENT.INI"},
        {"D:/sms/", 'C', "D:/sms/QVCLIENT.INI"},
        {"E:", 'C', "E:QVCLIENT.INI"},
        {"", 'C', "QVCLIENT.INI"},
        {nullptr, 'D', "D:\\QVCLIENT.INI"},
        {nullptr, 0, ""},
        {long_dir.c_str(), 'C', ""},  // 263 bytes do not fit
    };
    for (const Case& c : cases) EXPECT_EQ(LocateClientIni(c.sms, c.drive), c.path) << (c.sms ? c.sms : "(unset)");
    std::string out;
    EXPECT_TRUE(JoinPath("C:\\dir\\", "\\name", &out));
    EXPECT_EQ(out, "C:\\dir\\name");
    EXPECT_TRUE(JoinPath(std::string(250, 'd'), "1234", &out));  // 255 bytes
    EXPECT_FALSE(JoinPath(std::string(250, 'd'), "12345", &out));

    EXPECT_TRUE(Fix16ColorBitmaps("on"));
    EXPECT_TRUE(Fix16ColorBitmaps("Yes"));
    EXPECT_FALSE(Fix16ColorBitmaps("1"));
    EXPECT_FALSE(Fix16ColorBitmaps("ONE"));
}

}  // namespace
}  // namespace qv::agent
