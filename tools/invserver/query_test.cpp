// The query commands over inventories stored by the server itself.
#include "tools/invserver/query.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/invserver/server.h"
#include "tools/invserver/test_packets.h"

namespace qv::invserver {
namespace {

using test::DataPacket;
std::string Z(const std::string& s) { return test::Item(s); }

TEST(InvServerQuery, ListShowFind) {
    char tmpl[] = "/tmp/invserver-query-XXXXXX";
    const std::string root = std::string(::mkdtemp(tmpl)) + "/store";
    ServerOptions opt;
    opt.storage = root;
    InventoryServer server(opt, [](const std::string&, const std::uint8_t*, std::size_t) {},
                           [](const std::string&) {});
    ASSERT_TRUE(server.Init());
    auto store = [&](const std::string& peer, const std::string& texts) {
        auto p = DataPacket(1, true, texts);
        server.OnDatagram(peer, p.data(), p.size(), 0);
    };
    store("p:1", Z("Device ID =PC-ALICE") + Z("Software - WINWORD.EXE =Word 6.0") + Z("_BeginContents") + Z("9") +
                     Z("1") + Z("WIN.INI") + Z("C:\\") + "winword=1\r\n" + Z("_EndContents") + Z("Zip =1"));
    store("p:2", Z("Device ID =PC-BOB") + Z("Software - EXCEL.EXE =Excel 5.0"));
    std::string folder = root + "/dev-000000000007";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);  // a number handed out, no inventory yet

    const struct {
        std::vector<std::string> args;
        int rc;
        std::vector<std::string> out;  // lines expected in this order ("" = anything)
    } cases[] = {
        {{"list"}, 0, {"DEVICE            DEVICE ID  LAST INVENTORY", "dev-000000000007  -          (no inventory yet)",
                       "id-PC-ALICE       PC-ALICE   ", "id-PC-BOB         PC-BOB     ", "3 device(s)"}},
        {{"find", "WinWord"}, 0, {"id-PC-ALICE  PC-ALICE  Software - WINWORD.EXE = Word 6.0",
                                  "1 item(s) on 1 device(s)"}},
        {{"find", ".exe"}, 0, {"id-PC-ALICE  PC-ALICE  Software - WINWORD.EXE = Word 6.0",
                               "id-PC-BOB  PC-BOB  Software - EXCEL.EXE = Excel 5.0", "2 item(s) on 2 device(s)"}},
        {{"find", "nothing"}, 1, {"no stored item contains 'nothing'"}},
        {{"show", "pc-bob"}, 0, {"Device id-PC-BOB (PC-BOB), last inventory ", "Device ID = PC-BOB",
                                 "Software - EXCEL.EXE = Excel 5.0"}},
        {{"show", "000000000007"}, 0, {"Device dev-000000000007: no inventory yet"}},
        {{"show", "nobody"}, 1, {}},
        {{"show"}, 2, {}},
        {{"find", "x", "y"}, 2, {}},
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
