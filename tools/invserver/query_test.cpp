// The query commands over inventories stored by the server itself.
#include "tools/invserver/query.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "tools/invserver/server.h"
#include "tools/invserver/test_packets.h"

namespace qv::invserver {
namespace {

using test::DataPacket;
std::string Z(const std::string& s) { return test::Item(s); }

// Two devices, one of them with three inventories, queried with every
// command as a person and as a script would.
TEST(InvServerQuery, QueriesOverTheStore) {
    char tmpl[] = "/tmp/invserver-query-XXXXXX";
    const std::string root = std::string(::mkdtemp(tmpl)) + "/store";
    ServerOptions opt;
    opt.storage = root;
    InventoryServer server(opt, [](const std::string&, const std::uint8_t*, std::size_t) {},
                           [](const std::string&) {});
    ASSERT_TRUE(server.Init());
    unsigned port = 0;
    auto store = [&](const std::string& texts) {
        auto p = DataPacket(1, true, texts);
        server.OnDatagram("10.0.0.1:" + std::to_string(++port), p.data(), p.size(), 0);
    };
    const std::string alice = Z("Device ID =PC-ALICE") + Z("Memory - Physical - Bytes Total =  65536 KB") +
                              Z("Logical Drive C - Size =  1000.0 MB") + Z("_SOFTWARE =");
    store(alice + Z("Word Processor =6.0") + Z("C:\\UTIL\\ZIP.EXE =1234"));
    store(alice + Z("Word Processor =6.0") + Z("C:\\UTIL\\ZIP.EXE =1234"));   // nothing changed
    store(Z("Device ID =PC-ALICE") + Z("Memory - Physical - Bytes Total = 131072 KB") +
          Z("Logical Drive C - Size =  1000.0 MB") + Z("Logical Drive D - Size =   500.0 MB") + Z("_SOFTWARE =") +
          Z("Word Processor =7.0") + Z("Spread \"Sheet\" =5.0"));
    store(Z("Device ID =PC-BOB") + Z("_SOFTWARE =") + Z("Word Processor =6.0") + Z("Tab =a\tb"));
    ASSERT_NE(server.store().AssignNumber(), 0u);   // a number handed out, no inventory yet

    const struct {
        std::vector<std::string> args;
        int rc;
        std::vector<std::string> out;  // lines expected in this order
    } cases[] = {
        {{"list"}, 0, {"DEVICE            DEVICE ID  LAST INVENTORY", "dev-000000000001  -          (no inventory yet)",
                       "id-PC-ALICE       PC-ALICE   ", "10.0.0.1:3  7      3", "id-PC-BOB", "3 device(s)"}},
        {{"list", "--json"}, 0, {"[{\"device\":\"dev-000000000001\",\"device_id\":\"\",\"last_inventory\":null,",
                                 "\"source\":\"10.0.0.1:3\",\"items\":7,\"inventories\":3}"}},
        {{"find", "word proc"}, 0, {"id-PC-ALICE  PC-ALICE  Word Processor = 7.0",
                                    "id-PC-BOB  PC-BOB  Word Processor = 6.0", "2 item(s) on 2 device(s)"}},
        {{"find", "%"}, 1, {"no stored item contains '%'"}},
        {{"find", "a\tb", "--json"}, 0, {"[{\"device\":\"id-PC-BOB\",\"device_id\":\"PC-BOB\",\"item\":\"Tab = a\\u0009b\"}]"}},
        {{"show", "pc-bob"}, 0, {"Device id-PC-BOB (PC-BOB), last inventory ", "Device ID = PC-BOB",
                                 "Word Processor = 6.0"}},
        {{"show", "000000000001"}, 0, {"Device dev-000000000001: no inventory yet"}},
        {{"show", "PC-BOB", "--json"}, 0, {"\"items\":[{\"key\":\"Device ID =\",\"value\":\"PC-BOB\"},",
                                           "{\"key\":\"_SOFTWARE =\",\"value\":\"\"}"}},
        {{"flat", "PC-BOB"}, 0, {"Device ID = PC-BOB\r\n_SOFTWARE =\r\nWord Processor = 6.0\r\nTab = a\tb\r\n"}},
        {{"software", "WORD processor"}, 0, {"DEVICE       DEVICE ID  NAME            VERSION  PATH",
                                             "id-PC-ALICE  PC-ALICE   Word Processor  7.0      -",
                                             "id-PC-BOB    PC-BOB     Word Processor  6.0      -", "2 device(s)"}},
        {{"software", "Word Processor", "6.0", "--json"}, 0,
         {"[{\"device\":\"id-PC-BOB\",\"device_id\":\"PC-BOB\",\"name\":\"Word Processor\",\"version\":\"6.0\","
          "\"path\":null,\"size\":null}]"}},
        {{"software", "zip.exe"}, 1, {"no device runs 'zip.exe'"}},   // only in an older inventory
        {{"changes", "PC-ALICE"}, 0, {"software added       Spread \"Sheet\" 5.0", "software added       Word Processor 7.0",
                                      "software removed     Word Processor 6.0", "software removed     ZIP.EXE in C:\\UTIL",
                                      "drive added          Logical Drive D - Size: - -> 500.0 MB",
                                      "memory size changed  Memory - Physical - Bytes Total: 65536 KB -> 131072 KB",
                                      "6 change(s)"}},
        {{"changes", "PC-ALICE", "--since", "2999-01-01"}, 0, {"no changes of id-PC-ALICE in 3 inventories since"}},
        {{"changes", "PC-ALICE", "--since=2000-01-01 00:00:00", "--json"}, 0,
         {"\"change\":\"software added\",\"item\":\"Spread \\\"Sheet\\\" 5.0\"}",
          "\"change\":\"memory size changed\",\"item\":\"Memory - Physical - Bytes Total\",\"from\":\"65536 KB\","
          "\"to\":\"131072 KB\"}"}},
        {{"changes", "PC-ALICE", "--since=yesterday"}, 2, {}},
        {{"list", "--since=2000-01-01"}, 2, {}},
        {{"show", "nobody"}, 1, {}},
        {{"show"}, 2, {}},
        {{"find", "x", "y"}, 2, {}},
        {{"software", "a", "b", "c"}, 2, {}},
        {{"list", "--bogus"}, 2, {}},
        {{"list", "--help"}, 0, {"Usage: invserver list"}},
        {{"list", "--storage=" + root + "/none"}, 1, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        if (args.back().rfind("--storage", 0) != 0) args.push_back("--storage=" + root);
        std::string out, err;
        EXPECT_EQ(RunQuery(args, &out, &err), c.rc) << c.args[0] << " " << out << err;
        std::size_t at = 0;
        for (const std::string& want : c.out) {
            std::size_t found = out.find(want, at);
            EXPECT_NE(found, std::string::npos) << c.args[0] << ": '" << want << "' in\n" << out;
            if (found != std::string::npos) at = found + want.size();
        }
        if (c.rc != 0 && c.out.empty()) {
            EXPECT_FALSE(err.empty()) << c.args[0];
        }
    }
    std::system(("rm -rf '" + root.substr(0, root.size() - 6) + "'").c_str());
}

TEST(InvServerQuery, ItemsLeaveOutContents) {
    EXPECT_EQ(InventoryItems("A = 1\r\n_BeginContents\r\nN\r\nD\r\n1\r\n2\r\nx = 2\r\n_EndContents\r\nB =\r\n\r\nC"),
              (std::vector<std::string>{"A = 1", "B =", "C"}));
}

}  // namespace
}  // namespace qv::invserver
