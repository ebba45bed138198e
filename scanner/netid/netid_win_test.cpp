#include <winsock2.h>
#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "contracts/dirservices.h"
#include "scanner/hardware/registry_fixture_win.h"
#include "scanner/hardware/scan_fixture_win.h"
#include "scanner/mif/mif.h"
#include "scanner/netid/netid_win.h"

namespace qv::scanner {
namespace {

using testing::Items;
using testing::LabelSink;
using testing::MifScope;

std::string TempPath(const char* name) {
    char dir[MAX_PATH] = {};
    GetTempPathA(sizeof dir, dir);
    return std::string(dir) + name;
}

std::string ExeDir() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p = path;
    return p.substr(0, p.find_last_of('\\') + 1);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string ThisComputerName() {
    char name[256] = {};
    DWORD size = sizeof name;
    GetComputerNameA(name, &size);
    return name;
}

std::string ThisMachineType() {
    SERVER_INFO_101* info = nullptr;
    std::string text = "NT Machine";
    if (NetServerGetInfo(nullptr, 101, reinterpret_cast<LPBYTE*>(&info)) == NERR_Success && info)
        text = (info->sv101_type & 0x8018) ? "NT Server" : "NT Workstation";
    if (info) NetApiBufferFree(info);
    return text;
}

TEST(NetIdStrings, LabelsComeFromTheStringTable) {
    HardwareSink& s = ProgramSink();
    EXPECT_EQ(s.Label(85), "Device ID =");
    EXPECT_EQ(s.Label(57), "LAN - IPX Address =");
    EXPECT_EQ(s.Label(99), "Machine =");
    EXPECT_EQ(s.Label(126), "NT Machine");
    EXPECT_EQ(s.Label(144), "Domain Name =");
    EXPECT_EQ(s.Label(195), "Address");
}

TEST(NetAddresses, NoIpxHereAndTheHostsIpAddress) {
    // This machine has no IPX: the query fails at once, not after three
    // one-second waits.
    std::string network = "x", node = "y";
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(IpxSelfAddress(network, node));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));

    ResetNetAddresses();
    DetermineNetworkAddresses(false, "");
    const NetAddressState& a = NetAddresses();
    EXPECT_FALSE(a.ipx_known);
    EXPECT_FALSE(a.nic_known);
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &wsa), 0);
    char host[128] = {};
    ASSERT_EQ(gethostname(host, sizeof host), 0);
    hostent* h = gethostbyname(host);
    if (h && h->h_addr_list[0]) {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(h->h_addr_list[0]);
        char dotted[16];
        std::snprintf(dotted, sizeof dotted, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
        EXPECT_TRUE(a.ip_known);
        EXPECT_EQ(a.ip_address, dotted);
        EXPECT_EQ(a.host_name, host);
    }
    WSACleanup();
}

TEST(NetAddresses, ServerLinksIpxAddressIsTaken) {
    ResetNetAddresses();
    DetermineNetworkAddresses(true, "0000ABCD:00A0C9123456");
    EXPECT_TRUE(NetAddresses().ipx_known);
    EXPECT_EQ(NetAddresses().ipx_address, "0000ABCD:00A0C9123456");
    EXPECT_TRUE(NetAddresses().nic_known);
    EXPECT_EQ(NetAddresses().nic_address, "00A0C9123456");
    ResetNetAddresses();
    DetermineNetworkAddresses(true, "");
    EXPECT_EQ(NetAddresses().ipx_address, "00000000:000000000000");
    EXPECT_EQ(NetAddresses().nic_address, "000000000000");
    ResetNetAddresses();
}

TEST(IdentityScan, ItemsInOrderAndTheDeviceFileHiddenAgain) {
    const std::string cfg = TempPath("QVNETID.CFG");
    SetFileAttributesA(cfg.c_str(), FILE_ATTRIBUTE_NORMAL);
    {
        std::ofstream out(cfg);
        out << "Device ID = DEV1\nIV Server = SRV1\nMachine Description = Front desk PC\nAddress = Room 12\n";
    }
    SetFileAttributesA(cfg.c_str(), FILE_ATTRIBUTE_HIDDEN);
    ResetNetAddresses();
    DetermineNetworkAddresses(true, "0000ABCD:00A0C9123456");
    const NetAddressState addr = NetAddresses();
    LabelSink sink;
    ScanIdentity(sink, "DEV1", cfg);
    ResetNetAddresses();

    ASSERT_GE(sink.items.size(), 3u);
    EXPECT_EQ(sink.items[0], (std::pair<std::string, std::string>{"Device ID =", "DEV1"}));
    EXPECT_EQ(sink.items[1], (std::pair<std::string, std::string>{"Machine =", ThisMachineType()}));
    std::size_t i = 2;
    if (sink.items[i].first == "NT Domain Controller =") ++i;
    EXPECT_EQ(sink.items[i++], (std::pair<std::string, std::string>{"Device Name =", ThisComputerName()}));
    Items rest(sink.items.begin() + static_cast<std::ptrdiff_t>(i), sink.items.end());
    Items want = {{"Address =", "0000ABCD:00A0C9123456"},
                  {"LAN - IPX Address =", "0000ABCD:00A0C9123456"},
                  {"LAN - IPX Network Number =", "0000ABCD"},
                  {"LAN - IPX Node Address =", "00A0C9123456"}};
    if (addr.ip_known) want.emplace_back("LAN - IP Address =", addr.ip_address);
    if (!addr.host_name.empty()) want.emplace_back("LAN - IP Host Name =", addr.host_name);
    want.emplace_back("LAN - NIC Address =", "00A0C9123456");
    want.emplace_back("Machine Description =", "Front desk PC");
    EXPECT_EQ(rest, want);
    EXPECT_EQ(GetFileAttributesA(cfg.c_str()) & FILE_ATTRIBUTE_HIDDEN, static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    SetFileAttributesA(cfg.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(cfg.c_str());

    // Without the file the address items are not written at all.
    LabelSink none;
    DetermineNetworkAddresses(true, "0000ABCD:00A0C9123456");
    ScanIdentity(none, "DEV1", cfg);
    ResetNetAddresses();
    for (const auto& item : none.items) EXPECT_EQ(item.first.find("Address"), std::string::npos) << item.first;
    EXPECT_EQ(none.items.back().first, "Device Name =");
}

// Directory-services test doubles: they sit beside this program, so the
// scanner's load by name finds them.
class DirDoubles : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = TempPath("qv_dx_calls.log");
        DeleteFileA(log_.c_str());
        SetEnvironmentVariableA("QV_DX_LOG", log_.c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableA("QV_DX_SCENARIO", nullptr);
        SetEnvironmentVariableA("QV_DX_LOG", nullptr);
        SetDirLibraryLoader(nullptr);
        DeleteFileA(log_.c_str());
    }
    std::string Run(const char* scenario) {
        DeleteFileA(log_.c_str());
        SetEnvironmentVariableA("QV_DX_SCENARIO", scenario);
        std::string name = LoginNameFor("root");
        // Every library is released after the lookup.
        for (const char* dll : {"DXCONN32.DLL", "DXCALL32.DLL", "DXLOC32.DLL", "DXNET32.DLL"})
            EXPECT_EQ(GetModuleHandleA(dll), nullptr) << dll;
        return name;
    }
    std::string Log() { return ReadAll(log_); }
    std::string log_;
};

TEST_F(DirDoubles, LoginNames) {
    struct Case {
        const char* scenario;
        const char* login;
    } cases[] = {
        {"primary", "JSMITH.SALES.ACME"}, {"dotted", "JSMITH.SALES"}, {"unauth", "JSMITH"},
        {"scan", "SCANNED"},              {"scan-end", "root"},       {"nocontext", "root"},
        {"noprimary", "root"},
    };
    for (const Case& c : cases) EXPECT_EQ(Run(c.scenario), c.login) << c.scenario;
    EXPECT_EQ(Run("longname"), std::string(DX_OBJECT_NAME_SIZE - 1, 'L'));
}

TEST_F(DirDoubles, CallSequences) {
    EXPECT_EQ(Run("primary"), "JSMITH.SALES.ACME");
    EXPECT_EQ(Log(),
              "DxCCGetPrimConnRef\nDxCCGetAllConnRefInfo 7 1\nDxCCOpenConnByRef 7 2 0\n"
              "DxGetConnectionInformation 107 14\nDxGetConnectionStatus 107 124\nDxCallsInit\n"
              "DxLlocaleconv\nDxInitUnicodeTables 1 437\nDxDSCreateContext\nDxDSGetContext 5 3\n"
              "DxDSFreeContext 5\nDxFreeUnicodeTables\n");

    // 0x8866 from the first scanned reference ends the scan there.
    EXPECT_EQ(Run("scan-end"), "root");
    EXPECT_EQ(Log(),
              "DxCCGetPrimConnRef\nDxCCGetAllConnRefInfo 7 1\nDxCCOpenConnByRef 7 2 0\n"
              "DxGetConnectionInformation 107 14\nDxCCScanConnRefs 0\nDxCCOpenConnByRef 11 2 0\n"
              "DxCCGetAllConnRefInfo 11 1\nDxGetConnectionInformation 111 22\n");

    // -328: no context, so no name context read; the tables are freed.
    EXPECT_EQ(Run("nocontext"), "root");
    const std::string log = Log();
    EXPECT_NE(log.find("DxDSCreateContext\nDxFreeUnicodeTables\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("DxDSGetContext"), std::string::npos) << log;
}

HMODULE NoLibraries(const char*) { return nullptr; }

HMODULE PartialCalls(const char* name) {
    std::string path = ExeDir();
    if (std::string(name) == "DXCALL32.DLL") path += "dxpartial\\";
    return LoadLibraryA((path + name).c_str());
}

TEST_F(DirDoubles, MissingLibraryOrFunctionMeansNoCallsAtAll) {
    SetDirLibraryLoader(NoLibraries);
    EXPECT_EQ(Run("primary"), "root");
    EXPECT_EQ(Log(), "");
    // A DXCALL32 without DxGetConnectionStatus: nothing is called.
    SetDirLibraryLoader(PartialCalls);
    EXPECT_EQ(Run("primary"), "root");
    EXPECT_EQ(Log(), "");
}

TEST_F(DirDoubles, UserItems) {
    std::string account, domain;
    ASSERT_TRUE(ProcessAccount(account, domain));
    EXPECT_FALSE(account.empty());
    SetEnvironmentVariableA("QV_DX_SCENARIO", "primary");
    LabelSink sink;
    ScanUser(sink);
    ASSERT_GE(sink.items.size(), 2u);
    EXPECT_EQ(sink.items[0], (std::pair<std::string, std::string>{"Login Name =", "JSMITH.SALES.ACME"}));
    EXPECT_EQ(sink.items[1], (std::pair<std::string, std::string>{"Domain Name =", domain}));
    if (sink.items.size() == 3) {
        EXPECT_EQ(sink.items[2].first, "Full Name =");
    }

    SetDirLibraryLoader(NoLibraries);
    LabelSink plain;
    ScanUser(plain);
    ASSERT_GE(plain.items.size(), 2u);
    EXPECT_EQ(plain.items[0], (std::pair<std::string, std::string>{"Login Name =", account}));
}

TEST(ConnectionsScan, OnlyUniversalNamesGiveRows) {
    // The test drives N:, P: and W: are remote, but their provider gives
    // the drive root instead of a universal name: no row at all.
    MifScope mif;
    ScanConnections();
    const std::string text = MifRender();
    EXPECT_EQ(text.find("{\"\",\""), std::string::npos);
    EXPECT_EQ(text.find("\"\",\"\""), std::string::npos);
}

TEST(IpxLanScan, LoginAndRegisteredOwner) {
    MifScope mif;
    testing::FakeMachineRegistry reg;
    reg.Text("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "RegisteredOwner", "Front\\Desk");
    ScanIpxLan(ProgramSink());
    const std::string text = MifRender();
    char user[48] = {};
    DWORD size = sizeof user;
    if (WNetGetUserA(nullptr, user, &size) == NO_ERROR) {
        EXPECT_NE(text.find("NAME = \"Login Name\"\r\n\t\tID = 1\r\n\t\tTYPE = STRING(48)\r\n\t\tVALUE = \"" +
                            std::string(user) + "\""),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("NAME = \"Full Name\"\r\n\t\tID = 2\r\n\t\tTYPE = STRING(128)\r\n\t\tVALUE = "
                            "\"Front\\\\Desk\""),
                  std::string::npos)
            << text;
    }
    // No IPX here: no address attribute.
    EXPECT_EQ(text.find("NAME = \"Address\""), std::string::npos);
}

}  // namespace
}  // namespace qv::scanner
