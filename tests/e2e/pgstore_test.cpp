// Two inventory servers sharing one PostgreSQL store (a real PostgreSQL
// started for the test), qviscnnt.exe under Wine delivering to each: device
// numbers from the one counter, what one server stored known to the other,
// the queries and the rebuilt flat file over the shared store, the GLPI
// export valid against the published schema, and a database that goes away:
// no acknowledgement, a clear log line, and the inventory stored once the
// database is back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/invserver_peer.h"
#include "tests/e2e/wine_run.h"
#include "tests/pgserver/pg_server.h"

namespace {

using namespace qv::e2e;

const char kProgram[] = "P:\\qviscnnt.exe";

const std::string kDatabase =
    "[Corvane Inventory]\r\n"
    "Version=2.0\r\n"
    "Mode=All\r\n"
    "CfgFiles1=D:\\PGS\\CFG\\CONFIG.SYS\r\n"
    "\r\n"
    "[Applications]\r\n"
    "<I>,A.EXE,100,App A,1.0\r\n"
    "[Ignore]\r\n";

class PgStore : public ::testing::Test {
protected:
    std::string root, cfg, flat, exports;
    void SetUp() override {
        root = DriveDir('D') + "/PGS";
        cfg = DriveDir('C') + "/QVISCAN.CFG";
        flat = root + "/INV.TXT";
        exports = "/tmp/qv-pgstore-export-" + std::to_string(::getpid());
        RemoveTree(root);
        RemoveTree(cfg);
        RemoveTree(exports);
        WriteFile(root + "/QVAPPL.INI", kDatabase);
        WriteFile(root + "/TREE/A.EXE", std::string(100, 'a'));
        WriteFile(root + "/CFG/CONFIG.SYS", "FILES=40\r\n");
    }
    void TearDown() override {
        RemoveTree(root);
        RemoveTree(cfg);
        RemoveTree(exports);
    }
    RunResult Scan(const InventoryServer& server) {
        RunOptions o;
        o.timeout_ms = 180000;
        RunResult r = RunWine(kProgram,
                              {"/S=SRV", "/NTT127.0.0.1:" + std::to_string(server.port()), "/O=D:\\PGS\\INV.TXT",
                               "/I=D:\\PGS\\QVAPPL.INI", "/D=D:\\PGS\\TREE"},
                              o);
        EXPECT_FALSE(r.timed_out);
        return r;
    }
    RunResult Replay(const InventoryServer& server) {
        RunOptions o;
        o.timeout_ms = 240000;
        return RunWine(kProgram, {"/S=SRV", "/NTT127.0.0.1:" + std::to_string(server.port()), "/T=D:\\PGS\\R.TXT"},
                       o);
    }
    static RunResult Invserver(std::vector<std::string> args) {
        args.insert(args.begin(), HostBinDir() + "/invserver");
        return qv::e2e::Run(args);
    }
    static std::string SchemaErrors(const std::string& path) {
        const char* src = std::getenv("QV_ROOT");
        RunResult r = qv::e2e::Run({"python3", std::string(src ? src : ".") + "/tests/data/glpi/validate.py", path});
        return r.exit_code == 0 ? std::string() : r.out + r.err + "(exit " + std::to_string(r.exit_code) + ")";
    }
};

TEST_F(PgStore, TwoServersShareOneStore) {
    qv::pgtest::PostgresServer pg;
    ASSERT_TRUE(pg.ok()) << pg.error();
    ASSERT_TRUE(pg.CreateDatabase("inventory"));
    const std::string db = "--database=" + pg.Uri("inventory");
    InventoryServer a({db, "--export-dir=" + exports});
    InventoryServer b({db});

    // A new machine through each server: numbers 1 and 2 from the one store.
    RunResult r = Scan(a);
    ASSERT_EQ(r.exit_code, 0) << r.out << a.Log();
    EXPECT_EQ(ReadFile(cfg), "Device ID = SRV000000000001\r\nIV Server = SRV\r\n");
    const std::string first = ReadFile(flat);
    const std::string first_cfg = ReadFile(cfg);
    RemoveTree(cfg);
    r = Scan(b);
    ASSERT_EQ(r.exit_code, 0) << r.out << b.Log();
    EXPECT_EQ(ReadFile(cfg), "Device ID = SRV000000000002\r\nIV Server = SRV\r\n");
    const std::string second = ReadFile(flat);
    EXPECT_NE(second.find("_BeginContents\r\nCONFIG.SYS\r\n"), std::string::npos);

    // The first machine again, now through the other server: that server
    // knows the captured file the first one stored, so it is not sent again.
    WriteFile(cfg, first_cfg);
    r = Scan(b);
    ASSERT_EQ(r.exit_code, 0) << r.out << b.Log();
    const std::string again = ReadFile(flat);
    EXPECT_EQ(again.find("_BeginContents"), std::string::npos) << again;

    // Queries on the shared store see both machines.
    RunResult q = Invserver({"list", db});
    EXPECT_EQ(q.exit_code, 0) << q.err;
    EXPECT_NE(q.out.find("dev-000000000001  SRV000000000001"), std::string::npos) << q.out;
    EXPECT_NE(q.out.find("dev-000000000002  SRV000000000002"), std::string::npos) << q.out;
    q = Invserver({"software", "App A", db, "--json"});
    EXPECT_EQ(q.exit_code, 0) << q.err;
    EXPECT_NE(q.out.find("SRV000000000001"), std::string::npos) << q.out;
    EXPECT_NE(q.out.find("SRV000000000002"), std::string::npos) << q.out;
    q = Invserver({"flat", "SRV000000000002", db});
    EXPECT_EQ(q.out, second);
    q = Invserver({"flat", "SRV000000000001", db});
    EXPECT_EQ(q.out, again);

    // The GLPI documents: written by server A as it stored, and on demand.
    EXPECT_EQ(SchemaErrors(exports + "/SRV000000000001.json"), "");
    EXPECT_NE(ReadFile(exports + "/SRV000000000001.json").find("\"name\":\"App A\",\"version\":\"1.0\""),
              std::string::npos);
    q = Invserver({"export", "SRV000000000002", db});
    ASSERT_EQ(q.exit_code, 0) << q.err;
    WriteFile(exports + "/two.json", q.out);
    EXPECT_EQ(SchemaErrors(exports + "/two.json"), "");

    // The database goes away: the last packet is not acknowledged, the
    // scanner reports the failed delivery and the server says why. Back
    // again, the same replay is stored.
    WriteFile(root + "/R.TXT", "Device ID = PCREPLAY01\r\nBIOS - Date = 01/15/98\r\n");
    ASSERT_TRUE(pg.Stop());
    r = Replay(a);
    EXPECT_EQ(r.exit_code, 255) << r.out;
    EXPECT_NE(r.out.find("The scanner has timed out possibly due to a slow link."), std::string::npos) << r.out;
    ASSERT_TRUE(pg.Start()) << pg.error();
    r = Replay(a);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    q = Invserver({"flat", "PCREPLAY01", db});
    EXPECT_EQ(q.out, "Device ID = PCREPLAY01\r\nBIOS - Date = 01/15/98\r\n") << q.err;
    const std::string log = a.Log();
    EXPECT_NE(log.find("NOT STORED for id-PCREPLAY01"), std::string::npos) << log;
    EXPECT_NE(log.find("stored as inventory"), std::string::npos) << log;
    b.Log();
}

}  // namespace
