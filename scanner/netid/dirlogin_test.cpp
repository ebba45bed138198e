#include "scanner/netid/dirlogin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace qv::scanner {
namespace {

// One fake directory client: what its functions answer, and the calls made.
struct Fake {
    int32_t prim = 0;
    std::vector<int32_t> info_answers;  // per connection read, in order; then 0x8801
    std::size_t info_calls = 0;
    std::string object = "JSMITH";
    bool fill_name = false;  // the whole buffer, no terminator
    bool authenticated = true;
    int32_t context = 5;
    bool endless_scan = false;
    std::vector<std::string> calls;
};
Fake g;

int32_t GetPrim(uint32_t* r) { g.calls.push_back("prim"); *r = 7; return g.prim; }
int32_t GetInfo(uint32_t r, uint32_t type, DxConnRefInfo* info) {
    g.calls.push_back("info");
    info->connection_number = r;
    return type == DX_CONN_INFO_ALL ? 0 : 1;
}
int32_t Open(uint32_t r, uint32_t state, uint32_t, uint32_t* c) {
    g.calls.push_back("open");
    *c = 100 + r;
    return state == DX_OPEN_STATE_EXISTING ? 0 : 1;
}
int32_t Scan(uint32_t* it, uint32_t* r) {
    g.calls.push_back("scan");
    if (!g.endless_scan && *it >= 3) return 1;
    *r = 11 + (*it)++;
    return 0;
}
int32_t ConnInfo(uint32_t, uint32_t, char* name, uint16_t*, uint32_t*, uint32_t*) {
    g.calls.push_back("conninfo");
    int32_t answer = g.info_calls < g.info_answers.size() ? g.info_answers[g.info_calls] : 0x8801;
    ++g.info_calls;
    if (g.fill_name)
        std::memset(name, 'L', DX_OBJECT_NAME_SIZE);
    else
        std::strcpy(name, g.object.c_str());
    return answer;
}
int32_t CallsInit(void*, void*) { g.calls.push_back("init"); return 0; }
int32_t Status(uint32_t, uint8_t* s, uint32_t size) {
    g.calls.push_back("status");
    if (size != DX_STATUS_SIZE) return 1;
    s[1] = g.authenticated ? 1 : 0;
    return 0;
}
DxLocaleRecord* Lconv(DxLocaleRecord* r) { g.calls.push_back("lconv"); r->country_id = 1; r->code_page = 437; return r; }
int32_t InitTables(int32_t country, int32_t cp) { g.calls.push_back("tables"); return country == 1 && cp == 437 ? 0 : 1; }
int32_t FreeTables() { g.calls.push_back("freetables"); return 0; }
int32_t Create() { g.calls.push_back("create"); return g.context; }
int32_t GetCtx(int32_t, uint32_t key, void* v) {
    g.calls.push_back("getctx");
    std::strcpy(static_cast<char*>(v), "SALES.ACME");
    return key == DX_CONTEXT_NAME ? 0 : 1;
}
int32_t FreeCtx(int32_t) { g.calls.push_back("freectx"); return 0; }

class FakeServices : public DirServices {
public:
    FakeServices() {
        c = {GetPrim, GetInfo, Open, Scan, ConnInfo, CallsInit, Status};
        l = {Lconv, InitTables, FreeTables};
        n = {Create, GetCtx, FreeCtx};
    }
    const DxConnectionFns* Connection() override { return &c; }
    const DxLocaleFns* Locale() override { return has_locale ? &l : nullptr; }
    const DxNetFns* Net() override { return &n; }
    void ReleaseNameLibraries() override { g.calls.push_back("release"); }
    DxConnectionFns c;
    DxLocaleFns l;
    DxNetFns n;
    bool has_locale = true;
};

class DirLogin : public ::testing::Test {
protected:
    void SetUp() override { g = Fake{}; }
};

TEST_F(DirLogin, PrimaryConnectionCompletedWithNameContext) {
    g.info_answers = {0};
    FakeServices ds;
    EXPECT_EQ(DirectoryLoginName(ds, "root"), "JSMITH.SALES.ACME");
    EXPECT_EQ(g.calls, (std::vector<std::string>{"prim", "info", "open", "conninfo", "status", "init", "lconv",
                                                 "tables", "create", "getctx", "freectx", "freetables",
                                                 "release"}));
}

TEST_F(DirLogin, ObjectNameAsItIs) {
    g.info_answers = {0};
    g.object = "JSMITH.SALES";  // already a full name
    FakeServices dotted;
    EXPECT_EQ(DirectoryLoginName(dotted, "root"), "JSMITH.SALES");
    SetUp();
    g.info_answers = {0};
    g.authenticated = false;
    FakeServices unauth;
    EXPECT_EQ(DirectoryLoginName(unauth, "root"), "JSMITH");
    EXPECT_EQ(g.calls.back(), "status");
}

TEST_F(DirLogin, ScanMovesOnUntilAConnectionAnswers) {
    g.info_answers = {0x8801, 0x8801, 0};  // primary, reference 11, reference 12
    g.authenticated = false;
    g.object = "SCANNED";
    FakeServices ds;
    EXPECT_EQ(DirectoryLoginName(ds, "root"), "SCANNED");
    EXPECT_EQ(g.calls, (std::vector<std::string>{"prim", "info", "open", "conninfo", "scan", "open", "info",
                                                 "conninfo", "scan", "open", "info", "conninfo", "status"}));
}

TEST_F(DirLogin, NoMoreConnectionsAndFailuresGiveTheAccountName) {
    g.info_answers = {0x8801, DX_ERR_NO_MORE_CONNECTIONS, 0};
    FakeServices end;
    EXPECT_EQ(DirectoryLoginName(end, "root"), "root");
    EXPECT_EQ(g.info_calls, 2u);  // reference 12 is never read

    SetUp();
    g.prim = 1;
    FakeServices no_primary;
    EXPECT_EQ(DirectoryLoginName(no_primary, "root"), "root");
    EXPECT_EQ(g.calls, (std::vector<std::string>{"prim"}));

    SetUp();
    g.info_answers = {0};
    g.context = DX_ERR_CONTEXT_CREATION;
    FakeServices no_context;
    EXPECT_EQ(DirectoryLoginName(no_context, "root"), "root");
    EXPECT_EQ(g.calls.back(), "release");
    EXPECT_EQ(std::count(g.calls.begin(), g.calls.end(), "getctx"), 0);
    EXPECT_EQ(std::count(g.calls.begin(), g.calls.end(), "freetables"), 1);

    SetUp();
    g.info_answers = {0};
    FakeServices no_locale;
    no_locale.has_locale = false;
    EXPECT_EQ(DirectoryLoginName(no_locale, "root"), "root");
    EXPECT_EQ(std::count(g.calls.begin(), g.calls.end(), "create"), 0);

    // An endless list of references that all answer "move on" ends too.
    SetUp();
    g.endless_scan = true;
    FakeServices endless;
    EXPECT_EQ(DirectoryLoginName(endless, "root"), "root");
}

TEST_F(DirLogin, IncompleteLibrariesAreNeverCalled) {
    FakeServices ds;
    ds.c.get_connection_status = nullptr;
    EXPECT_EQ(DirectoryLoginName(ds, "root"), "root");
    EXPECT_TRUE(g.calls.empty());
}

TEST_F(DirLogin, UnterminatedObjectNameStaysInItsBuffer) {
    g.info_answers = {0};
    g.fill_name = true;
    g.authenticated = false;
    FakeServices ds;
    EXPECT_EQ(DirectoryLoginName(ds, "root"), std::string(DX_OBJECT_NAME_SIZE - 1, 'L'));
}

}  // namespace
}  // namespace qv::scanner
