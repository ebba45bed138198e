// The scanner's command line, console texts, exit codes, device-identity
// file and replay, run as qviscnnt.exe under Wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/e2e/terminal.h"
#include "tests/e2e/wine_run.h"

namespace {

using namespace qv::e2e;

const char kProgram[] = "P:\\qviscnnt.exe";
const std::string kBanner =
    "\r\nFieldhaven(R) Multi-Protocol Inventory Scan  Version 1.1\r\n"
    "Hardware and software inventory for Windows NT workstations and servers\r\n";

std::string HelpLines(int count) {
    std::string help = ReadFile(DriveDir('P') + "/QVISCNNT.HLP");
    std::string out;
    std::size_t pos = 0;
    for (int i = 0; i < count && pos < help.size(); ++i) {
        std::size_t end = help.find('\n', pos);
        out += help.substr(pos, end - pos + 1);
        pos = end + 1;
    }
    return out;
}

std::string CfgPath() { return DriveDir('C') + "/QVISCAN.CFG"; }

class Scanner : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveTree(CfgPath());
        RemoveTree(DriveDir('C') + "/QVTEST");
        MakeDirs(DriveDir('C') + "/QVTEST");
    }
    RunResult Scan(std::vector<std::string> args, const std::string& input = {}) {
        RunOptions o;
        o.stdin_data = input;
        o.timeout_ms = 60000;
        RunResult r = RunWine(kProgram, args, o);
        EXPECT_FALSE(r.timed_out);
        return r;
    }
};

TEST_F(Scanner, UsageErrorsShowBannerAndSixHelpLines) {
    const std::vector<std::vector<std::string>> cases = {
        {},                                   // no destination
        {"/S=SRV"},                           // server without transport
        {"/Q", "/M"},                         // learning with MIF
        {"/O"},                               // no "="
        {"/1"},                               // letter outside ? to Z
        {"/NTI0000ABCD:00A0C91234567", "/S=SRV"},  // 22-character IPX address
        {"/O=C:\\QVTEST\\" + std::string(300, 'x')},  // path longer than its field
    };
    for (const auto& args : cases) {
        RunResult r = Scan(args);
        EXPECT_EQ(r.exit_code, 1) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(r.out, kBanner + HelpLines(6)) << (args.empty() ? "" : args[0]);
    }
    EXPECT_FALSE(FileExists(CfgPath()));  // nothing ran
}

TEST_F(Scanner, ServerNameMessages) {
    RunResult r = Scan({"/NTT127.0.0.1"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, kBanner + "\r\nqviscnnt: Server name '' is not currently valid.\r\n");

    r = Scan({"/NTT127.0.0.1", "/MU"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, kBanner);

    std::string name49(49, 'n');
    r = Scan({"/S=" + name49, "/NTT127.0.0.1"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, kBanner + "\r\nqviscnnt: Server name '" + std::string(49, 'N') + "' too long.\r\n");

    r = Scan({"-mu", "s=" + name49});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, kBanner);
}

TEST_F(Scanner, FullHelpIsPaged) {
    RunResult r = Scan({"/?"});
    EXPECT_EQ(r.exit_code, 1);
    // With standard input not a console no key is awaited; the pages still break.
    std::string help = HelpLines(1000);
    std::string want = kBanner;
    std::size_t pos = 0;
    for (int line = 1; pos < help.size(); ++line) {
        if (line == 23 || line == 47 || line == 71) want += "Press any key to continue ...\r\n";
        std::size_t end = help.find('\n', pos);
        want += help.substr(pos, end - pos + 1);
        pos = end + 1;
    }
    EXPECT_EQ(r.out, want);
}

// On a console the help waits for one key per page, and the key is not echoed.
TEST_F(Scanner, FullHelpWaitsForAKeyPerPage) {
    if (!Terminal::Available()) GTEST_SKIP() << "tmux not available";
    std::string rc = DriveDir('C') + "/QVTEST/rc.txt";
    const char* harness = std::getenv("QV_HARNESS");
    Terminal t(std::string(harness ? harness : "tests/harness/wine.sh") + " run 'P:\\qviscnnt.exe' /?; echo $? > " +
               rc + "; sleep 30");
    const std::string prompt = "Press any key to continue ...";
    auto prompts = [&] {
        std::string screen = t.Screen();
        int n = 0;
        for (std::size_t p = screen.find(prompt); p != std::string::npos; p = screen.find(prompt, p + 1)) ++n;
        return n;
    };
    // The help file's 67 lines make two pauses (before lines 23 and 47).
    for (int page = 1; page <= 2; ++page) {
        for (int i = 0; i < 300 && prompts() < page; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(prompts(), page) << t.Screen();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_FALSE(FileExists(rc)) << "the help did not wait on page " << page;
        t.Keys({"q"});
    }
    for (int i = 0; i < 100 && !FileExists(rc); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(FileExists(rc)) << t.Screen();
    EXPECT_EQ(ReadFile(rc), "1\n");
    EXPECT_EQ(t.Screen().find("continue ...q"), std::string::npos);  // no echo
}

TEST_F(Scanner, FlatFileRunWithoutDatabase) {
    RunResult r = Scan({"/O=C:\\QVTEST\\INV.TXT"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.substr(0, kBanner.size()), kBanner);
    EXPECT_NE(r.out.find("Unable to perform Software Scanning.\r\nP:\\QVAPPL.INI not found.\r\n"),
              std::string::npos) << r.out;
    EXPECT_TRUE(FileExists(DriveDir('C') + "/QVTEST/INV.TXT"));

    // Quiet hides message 79; the run still succeeds.
    r = Scan({"/O=C:\\QVTEST\\INV.TXT", "/MU"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.find("Unable to perform"), std::string::npos);
}

TEST_F(Scanner, FlatFileThatCannotBeCreatedIsFatal) {
    RunResult r = Scan({"/O=C:\\NO\\SUCH\\DIR\\INV.TXT"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("C:\\NO\\SUCH\\DIR\\INV.TXT: No such file or directory"), std::string::npos) << r.err;
}

TEST_F(Scanner, DeviceIdentityFileRoundTrip) {
    RunResult r = Scan({"/O=C:\\QVTEST\\INV.TXT"});
    ASSERT_EQ(r.exit_code, 0);
    std::string first = ReadFile(CfgPath());
    ASSERT_EQ(first.rfind("Device ID = ", 0), 0u) << first;
    ASSERT_GE(first.size(), 12u + 8u + 2u);
    EXPECT_EQ(first.substr(first.size() - 2), "\r\n");
    EXPECT_EQ(first.find("IV Server"), std::string::npos);  // no server in this run or before

    // The next run keeps the device ID it reads back.
    r = Scan({"/O=C:\\QVTEST\\INV.TXT"});
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(ReadFile(CfgPath()), first);

    // A file written elsewhere: both lines are read; the remembered server
    // stays, and other lines (such as the machine description) are kept.
    WriteFile(CfgPath(), "device id = MYPC-0001\r\nIV Server = OLDSRV\r\nMachine Description = Desk\r\n");
    r = Scan({"/O=C:\\QVTEST\\INV.TXT"});
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(ReadFile(CfgPath()), "Device ID = MYPC-0001\r\nIV Server = OLDSRV\r\nMachine Description = Desk\r\n");
}

TEST_F(Scanner, ReplayToFlatFile) {
    const std::string flat =
        "Device ID = MYPC\r\n"
        "BIOS - Date = 01/02/98\r\n"
        "_SOFTWARE =\r\n"
        "Cfg - C:\\AUTOEXEC.BAT =\r\n"
        "_BeginContents\r\nAUTOEXEC.BAT\r\nC:\\\r\n900000000\r\n12\r\n"
        "@ECHO OFF\r\nPATH C:\\\r\n"
        "_EndContents\r\n"
        "Number of Files =     12\r\n";
    WriteFile(DriveDir('C') + "/QVTEST/IN.TXT", flat);
    RunResult r = Scan({"/T=C:\\QVTEST\\IN.TXT", "/O=C:\\QVTEST\\OUT.TXT"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(ReadFile(DriveDir('C') + "/QVTEST/OUT.TXT"), flat.substr(0, flat.find("@ECHO")) +
              flat.substr(flat.find("_EndContents")));

    WriteFile(DriveDir('C') + "/QVTEST/BAD.TXT", "Good = 1\r\nno equals sign\r\n");
    r = Scan({"/T=C:\\QVTEST\\BAD.TXT", "/O=C:\\QVTEST\\OUT.TXT"});
    EXPECT_EQ(r.exit_code, 40);
    EXPECT_NE(r.out.find("Invalid data in file C:\\QVTEST\\BAD.TXT:\r\nno equals sign\r\n"), std::string::npos)
        << r.out;

    r = Scan({"/T=C:\\QVTEST\\MISSING.TXT", "/O=C:\\QVTEST\\OUT.TXT"});
    EXPECT_EQ(r.exit_code, 20);
    EXPECT_NE(r.err.find("C:\\QVTEST\\MISSING.TXT: No such file or directory"), std::string::npos) << r.err;
}

}  // namespace
