// A full scan of qviscnnt.exe under Wine with a flat file and the MIF file,
// and a MIF directory holding hand-written component MIF files: every
// category of item in the main flow's order, from the processor to the
// imported "MIF-..." items, and the scanner's own QVISCAN.MIF left alone on
// the next run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/invserver_peer.h"
#include "tests/e2e/wine_run.h"

namespace {

using namespace qv::e2e;

const char kProgram[] = "P:\\qviscnnt.exe";

const std::string kDatabase =
    "[Corvane Inventory]\r\n"
    "Version=2.0\r\n"
    "Mode=All\r\n"
    "\r\n"
    "[Applications]\r\n"
    "<I>,A.EXE,100,App A,1.0\r\n"
    "[Ignore]\r\n";

const std::string kMonitorMif =
    "START COMPONENT\r\n"
    "  NAME = \"ACME NETWORK MONITOR\"\r\n"
    "  START GROUP\r\n"
    "    NAME = \"Monitor Settings X\"\r\n"
    "    CLASS = \"Acme|Settings|1.0\"\r\n"
    "    START ATTRIBUTE\r\n"
    "      NAME = \"Polling Rate\"\r\n"
    "      ID = 1\r\n"
    "      VALUE = 30\r\n"
    "    END ATTRIBUTE\r\n"
    "    START ATTRIBUTE\r\n"
    "      NAME = \"Live Counter\"\r\n"
    "      ID = 2\r\n"
    "      VALUE = *\"acmeinst.dll\"\r\n"
    "    END ATTRIBUTE\r\n"
    "  END GROUP\r\n"
    "END COMPONENT\r\n";

const std::string kPackagesMif =
    "// NO_MIF_HEADER\n"
    "START COMPONENT\n"
    "NAME = \"Packages\"\n"
    "START GROUP\n"
    "  NAME = \"Installed Packages\"\n"
    "  CLASS = \"Acme|Packages|1.0\"\n"
    "  START ATTRIBUTE\n    NAME = \"Package\"\n    ID = 1\n  END ATTRIBUTE\n"
    "END GROUP\n"
    "START TABLE\n"
    "  CLASS = \"Acme|Packages|1.0\"\n"
    "  {\"Editor\"}\n  {\"Mailer\"}\n  {\"Viewer\"}\n"
    "END TABLE\n"
    "END COMPONENT\n";

class FullScan : public ::testing::Test {
protected:
    std::string root, mifs;
    void SetUp() override {
        root = DriveDir('D') + "/FST";
        mifs = DriveDir('C') + "/DMI/DOS/MIFS";
        RemoveTree(root);
        RemoveTree(mifs);
        RemoveTree(DriveDir('C') + "/QVISCAN.CFG");
        WriteFile(root + "/QVAPPL.INI", kDatabase);
        WriteFile(root + "/TREE/A.EXE", std::string(100, 'a'));
        WriteFile(mifs + "/ACME.MIF", kMonitorMif);
        WriteFile(mifs + "/packages.mif", kPackagesMif);
        WriteFile(mifs + "/NOTES.TXT", kMonitorMif);
    }
    void TearDown() override {
        RemoveTree(root);
        RemoveTree(mifs);
    }
    std::string Scan() {
        RunOptions o;
        o.timeout_ms = 90000;
        RunResult r = RunWine(kProgram, {"/O=D:\\FST\\OUT.TXT", "/M", "/I=D:\\FST\\QVAPPL.INI", "/D=D:\\FST\\TREE"}, o);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        return ReadFile(root + "/OUT.TXT");
    }
};

TEST_F(FullScan, EveryCategoryInTheMainFlowsOrder) {
    const std::string flat = Scan();
    ASSERT_FALSE(flat.empty());

    // Items that every machine has, in the phase order; the video mode and
    // the keyboard are always written, the drivers and services of Wine's
    // service manager come right after "_SOFTWARE =".
    const char* const order[] = {
        "Processor - Type = ",
        "Video - Resolution = ",
        "Video - Colors = ",
        "Keyboard - Type = ",
        "Memory - Physical - Bytes Total = ",
        "Logical Drive C - Size = ",
        "OS - Name = Windows NT\r\n",
        "Environ - ",
        "_SOFTWARE =\r\n",
        "Service - ",
        "App A = 1.0\r\n",
        "Number of Files = ",
        "MIF-ACME NETWO-Monitor Set-Polling Rat = 30\r\n",
        "MIF-ACME NETWO-Monitor Set-Live Counte = Dynamic\r\n",
        "Package1 = Editor\r\nPackage2 = Mailer\r\nPackage3 = Viewer\r\n",
    };
    std::size_t at = 0;
    for (const char* item : order) {
        std::size_t found = flat.find(item, at);
        ASSERT_NE(found, std::string::npos) << item << "\n" << flat;
        at = found;
    }
    // The services all stand between "_SOFTWARE =" and the walk; the MIF
    // items are the last ones, and NOTES.TXT is not a MIF file.
    const std::size_t sw = flat.find("_SOFTWARE =\r\n");
    EXPECT_GT(flat.find("\r\nService - "), sw);
    EXPECT_LT(flat.rfind("\r\nService - "), flat.find("App A = 1.0"));
    EXPECT_EQ(flat.find("MIF-ACME"), flat.rfind("MIF-ACME NETWO-Monitor Set-Polling Rat"));
    const std::string last = "Package3 = Viewer\r\n";
    EXPECT_EQ(flat.substr(flat.size() - last.size()), last);

    // The MIF file holds the System Resources group with the keyboard type.
    const std::string mif = ReadFile(mifs + "/QVISCAN.MIF");
    EXPECT_NE(mif.find("\t\tNAME = \"Keyboard - Type\"\r\n\t\tID = 6\r\n\t\tTYPE = STRING(64)\r\n"), std::string::npos);
}

// The whole run against a server on loopback: every category reaches the
// server, QVISCAN.MIF is written, and the console shows nothing but the
// banner and the verbose progress.
TEST_F(FullScan, DeliversEverythingToTheServerWithoutMessages) {
    InventoryServer server;
    RunOptions o;
    o.timeout_ms = 120000;
    RunResult r = RunWine(kProgram,
                          {"/S=SRV", "/NTT127.0.0.1:" + std::to_string(server.port()), "/O=D:\\FST\\OUT.TXT", "/M",
                           "/I=D:\\FST\\QVAPPL.INI", "/D=D:\\FST\\TREE", "/V"},
                          o);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    const std::string banner =
        "\r\nFieldhaven(R) Multi-Protocol Inventory Scan  Version 1.1\r\n"
        "Hardware and software inventory for Windows NT workstations and servers\r\n";
    ASSERT_EQ(r.out.substr(0, banner.size()), banner) << r.out;
    const std::regex progress("Scanning Hardware\\.\\.\\.\r\nScanning Software:  [.>\b|/\\\\-]*(Done)?\r\n");
    EXPECT_TRUE(std::regex_match(r.out.substr(banner.size()), progress)) << r.out;

    server.Log();
    const std::string flat = ReadFile(root + "/OUT.TXT");
    ASSERT_NE(flat.find("MIF-ACME NETWO-Monitor Set-Polling Rat = 30\r\n"), std::string::npos);
    EXPECT_EQ(server.StoredInventory(), flat);
    EXPECT_TRUE(FileExists(mifs + "/QVISCAN.MIF"));
}

// Runs the harness script (up, down).
void Harness(const std::string& command) {
    const char* script = std::getenv("QV_HARNESS");
    RunResult r = Run({script ? script : "tests/harness/wine.sh", command});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
}

// The prefix's user locale comes from the environment of the process that
// starts the wineserver. For the life of this object Wine programs run under
// a German locale; at its end the server is restarted as the harness starts
// it, so the tests after this one keep the "C" conventions.
class GermanWine {
public:
    GermanWine() { Harness("down"); }
    ~GermanWine() {
        Harness("down");
        Harness("up");
    }
    RunResult Run(const std::string& program, const std::vector<std::string>& args) const {
        RunOptions o;
        o.timeout_ms = 120000;
        o.env = {"LC_ALL=de_DE"};
        return RunWine(program, args, o);
    }
};

// Under a German user locale the C runtime writes "2016,0" and "1.1.1997";
// inventory values keep the "C" conventions in the flat file, the packets
// and the MIF file.
TEST_F(FullScan, ValuesKeepTheCConventionsUnderAGermanLocale) {
    WriteFile(root + "/QVAPPL.INI", "[Corvane Inventory]\r\nVersion=2.0\r\nMode=All\r\n"
                                    "CfgFiles1=D:\\FST\\CFG\\WIN.INI\r\n[Applications]\r\n");
    WriteFile(root + "/CFG/WIN.INI", "[windows]\r\n");
    InventoryServer server;
    GermanWine german;
    // The locale is in force: the system's short date is German.
    RunResult date = german.Run("cmd", {"/c", "date", "/t"});
    ASSERT_TRUE(std::regex_search(date.out, std::regex(R"(\d\d?\.\d\d?\.\d{4})"))) << date.out;

    RunResult r = german.Run(kProgram, {"/S=SRV", "/NTT127.0.0.1:" + std::to_string(server.port()),
                                        "/O=D:\\FST\\OUT.TXT", "/M", "/I=D:\\FST\\QVAPPL.INI", "/D=D:\\FST\\TREE"});
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const std::string flat = ReadFile(root + "/OUT.TXT");
    const std::string mif = ReadFile(mifs + "/QVISCAN.MIF");
    const std::regex comma(R"(\d,\d MB)");
    EXPECT_FALSE(std::regex_search(flat, comma)) << flat;
    EXPECT_FALSE(std::regex_search(mif, comma)) << mif;
    EXPECT_TRUE(std::regex_search(flat, std::regex(R"(Logical Drive C - Size = +\d+\.\d MB\r\n)"))) << flat;
    EXPECT_TRUE(std::regex_search(mif, std::regex(R"("C"," *\d+\.\d MB")"))) << mif;
    EXPECT_TRUE(std::regex_search(
        flat, std::regex(R"(Cfg - D:\\FST\\CFG\\WIN\.INI = \d\d/\d\d/\d\d \d\d:\d\d:\d\d 11\r\n)")))
        << flat;
    std::smatch installed;
    if (std::regex_search(flat, installed, std::regex("Install Date = ([^\r]*)\r\n"))) {
        EXPECT_TRUE(std::regex_match(installed[1].str(), std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)")))
            << installed[1];
    }
    server.Log();
    EXPECT_EQ(server.StoredInventory(), flat);
}

TEST_F(FullScan, OwnMifFileIsNotImportedOnTheNextRun) {
    Scan();
    ASSERT_TRUE(FileExists(mifs + "/QVISCAN.MIF"));
    const std::string flat = Scan();
    EXPECT_EQ(flat.find("MIF-Varik"), std::string::npos);
    EXPECT_NE(flat.find("MIF-ACME NETWO-Monitor Set-Polling Rat = 30\r\n"), std::string::npos);
}

}  // namespace
