// qviscnnt.exe under Wine delivering its inventory to our inventory server
// (tools/invserver) on the loopback address: device ID assignment, the
// stored inventory against the scanner's own flat file, captured
// configuration files reported back, lost acknowledgements, a silent
// server and one that cannot store, a version mismatch and a reply whose
// copies disagree.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/invserver_peer.h"
#include "tests/e2e/wine_run.h"

namespace {

using namespace qv::e2e;

const char kProgram[] = "P:\\qviscnnt.exe";

using Server = InventoryServer;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return out;
}

const std::string kDatabase =
    "[Corvane Inventory]\r\n"
    "Version=2.0\r\n"
    "Mode=All\r\n"
    "CfgFiles1=D:\\SLT\\CFG\\CONFIG.SYS\r\n"
    "\r\n"
    "[Applications]\r\n"
    "<I>,A.EXE,100,App A,1.0\r\n"
    "[Ignore]\r\n";

class ServerLink : public ::testing::Test {
protected:
    std::string root, cfg, flat;
    void SetUp() override {
        root = DriveDir('D') + "/SLT";
        cfg = DriveDir('C') + "/QVISCAN.CFG";
        flat = root + "/INV.TXT";
        RemoveTree(root);
        RemoveTree(cfg);
        WriteFile(root + "/QVAPPL.INI", kDatabase);
        WriteFile(root + "/TREE/A.EXE", std::string(100, 'a'));
        WriteFile(root + "/CFG/CONFIG.SYS", "FILES=40\r\nBUFFERS=20\r\n");
    }
    void TearDown() override {
        RemoveTree(root);
        RemoveTree(cfg);
    }
    RunResult Scan(const std::string& host, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"/S=SRV", "/NTT" + host, "/O=D:\\SLT\\INV.TXT",
                                         "/I=D:\\SLT\\QVAPPL.INI", "/D=D:\\SLT\\TREE"};
        args.insert(args.end(), more.begin(), more.end());
        RunOptions o;
        o.timeout_ms = 120000;
        RunResult r = RunWine(kProgram, args, o);
        EXPECT_FALSE(r.timed_out);
        return r;
    }
    // A flat inventory of `items` items (several dozen packets) for replay.
    std::string BigInventory(int items) {
        std::string text = "Device ID = PCREPLAY01\r\n";
        for (int i = 0; i < items; ++i)
            text += "Item " + std::to_string(i) + " - Some Label = value number " + std::to_string(i * 7) + "\r\n";
        return text;
    }
};

TEST_F(ServerLink, AssignsDeviceIdAndStoresTheSameInventory) {
    Server server;
    RunResult r = Scan("127.0.0.1:" + std::to_string(server.port()));
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(ReadFile(cfg), "Device ID = SRV000000000001\r\nIV Server = SRV\r\n");
    std::string mine = ReadFile(flat);
    std::string stored = server.Stored("dev-000000000001");
    EXPECT_EQ(Lines(stored), Lines(mine));
    EXPECT_EQ(stored, mine);
    EXPECT_NE(mine.find("_BeginContents\r\nCONFIG.SYS\r\n"), std::string::npos);
    EXPECT_NE(mine.find("_SOFTWARE ="), std::string::npos);
    std::vector<qv::invserver::DbRow> captured;
    ASSERT_TRUE(server.OpenStore()->db().QueryRows("SELECT contents FROM captures", {}, &captured));
    ASSERT_EQ(captured.size(), 1u);
    EXPECT_EQ(captured[0][0].AsText(), "FILES=40\r\nBUFFERS=20\r\n");

    // The next run keeps its ID, is told what the server holds, and so sends
    // the unchanged CONFIG.SYS as an item only.
    r = Scan("127.0.0.1:" + std::to_string(server.port()));
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(ReadFile(cfg), "Device ID = SRV000000000001\r\nIV Server = SRV\r\n");
    mine = ReadFile(flat);
    EXPECT_NE(mine.find("Cfg - D:\\SLT\\CFG\\CONFIG.SYS ="), std::string::npos);
    EXPECT_EQ(mine.find("_BeginContents"), std::string::npos);
    EXPECT_EQ(server.Stored("dev-000000000001"), mine);
    std::string log = server.Log();
    EXPECT_NE(log.find("assigned number 000000000001"), std::string::npos) << log;
    EXPECT_NE(log.find("device SRV000000000001, 1 captured file(s)"), std::string::npos) << log;
}

TEST_F(ServerLink, HostNameWithPort) {
    Server server;
    RunResult r = Scan("localhost:" + std::to_string(server.port()));
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(server.Stored("dev-000000000001"), "");
}

TEST_F(ServerLink, LostAcknowledgementsAreResent) {
    Server server({"--drop-acks=20"});
    // A scan, then a replay of a few thousand items (about a hundred packets).
    RunResult r = Scan("127.0.0.1:" + std::to_string(server.port()));
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(server.Stored("dev-000000000001"), ReadFile(flat));

    std::string big = BigInventory(2000);
    WriteFile(root + "/BIG.TXT", big);
    WriteFile(cfg, "Device ID = PCREPLAY01\r\n");
    RunOptions o;
    o.timeout_ms = 240000;
    r = RunWine(kProgram, {"/S=SRV", "/NTT127.0.0.1:" + std::to_string(server.port()), "/T=D:\\SLT\\BIG.TXT"}, o);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(Lines(server.Stored("id-PCREPLAY01")), Lines(big));
}

// A server that never acknowledges, and one whose database is locked by
// another writer (so it never acknowledges the last packet): either way the
// scanner reports
// the failed delivery, with exit code 1 for a packet that found no free
// slot and -1 for a replay whose last packet was not delivered.
TEST_F(ServerLink, UnacknowledgedDeliveryEndsWithMessage87) {
    const struct {
        const char* name;
        std::vector<std::string> options;
        bool block_storage;
        int exit_code;
    } cases[] = {{"silent server", {"--drop-acks=100"}, false, 1}, {"store fails", {}, true, 255}};
    for (const auto& c : cases) {
        Server server(c.options);
        std::unique_ptr<qv::invserver::Store> holder = server.OpenStore();
        ASSERT_TRUE(holder);
        if (c.block_storage) {
            ASSERT_TRUE(holder->db().Begin());
        }
        WriteFile(root + "/BIG.TXT", BigInventory(300));
        WriteFile(cfg, "Device ID = PCREPLAY01\r\n");
        RunResult r = RunWine(kProgram, {"/S=SRV", "/NTT127.0.0.1:" + std::to_string(server.port()), "/T=D:\\SLT\\BIG.TXT"});
        EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
        EXPECT_NE(r.out.find("The scanner has timed out possibly due to a slow link."), std::string::npos)
            << c.name << r.out;
        if (c.block_storage) {
            holder->db().Rollback();
            const std::string log = server.Log();
            EXPECT_NE(log.find("NOT STORED for id-PCREPLAY01 (cannot begin storing: database is locked)"),
                      std::string::npos) << c.name << log;
            EXPECT_EQ(server.StoredInventory(), "");
        }
    }
}

TEST_F(ServerLink, VersionMismatchEndsWithMessage77) {
    Server server({"--reply-version=3.2"});
    RunResult r = Scan("127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\r\nPlease use the same version of QVISCAN.EXE and QVINV.SVM\r\n"), std::string::npos)
        << r.out;
    EXPECT_FALSE(FileExists(cfg));
}

TEST_F(ServerLink, DisagreeingCopiesSkipTheSoftwarePhase) {
    Server server({"--disagree-copies"});
    RunResult r = Scan("127.0.0.1:" + std::to_string(server.port()));
    ASSERT_EQ(r.exit_code, 0) << r.out;
    std::string mine = ReadFile(flat);
    EXPECT_EQ(mine.find("_SOFTWARE ="), std::string::npos);     // expected file count 0
    EXPECT_EQ(ReadFile(cfg), "Device ID = SRV000000000001\r\nIV Server = SRV\r\n");
    EXPECT_EQ(server.Stored("dev-000000000001"), mine);
}

TEST_F(ServerLink, NoServerAndUnresolvableHost) {
    // Nobody answers: no device ID, message 84.
    RunResult r = Scan("127.0.0.1:" + std::to_string(FreeUdpPort()), {"/Z=10"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("Unable to assign Device ID."), std::string::npos) << r.out;
    // A host that cannot be resolved: message 116; quiet: nothing, and the
    // run goes on until it finds it has no device ID. A dotted text that is
    // no address fails without any look-up, so no query leaves the machine
    // (host names that fail are the link tests' own resolver's).
    r = Scan("300.1.2.3");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("qviscnnt: Failed to resolve the Host Name."), std::string::npos) << r.out;
    r = Scan("300.1.2.3", {"/MU"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out.find("Failed to resolve"), std::string::npos) << r.out;
}

TEST_F(ServerLink, IpxSocketCannotBeCreated) {
    // Neither current Windows nor Wine has IPX: result 5, message 106, exit 1.
    RunResult r = RunWine(kProgram, {"/S=SRV", "/NTI00000001:0000C0DE0042:4005", "/O=D:\\SLT\\INV.TXT"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("qviscnnt: Failed to open socket."), std::string::npos) << r.out;
    EXPECT_FALSE(FileExists(cfg));
}

}  // namespace
