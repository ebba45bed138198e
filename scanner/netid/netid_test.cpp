#include "scanner/netid/netid.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>
#include <vector>

namespace qv::scanner {
namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

class Sink : public HardwareSink {
public:
    void Item(std::string_view key, std::string_view value) override { items.emplace_back(key, value); }
    std::string Label(unsigned id) override {
        static const std::map<unsigned, std::string> labels = {
            {57, "LAN - IPX Address ="}, {59, "Login Name ="}, {60, "Full Name ="}, {85, "Device ID ="},
            {86, "Machine Description ="}, {93, "Address ="}, {94, "LAN - NIC Address ="},
            {95, "LAN - IP Address ="}, {96, "NT Domain Controller ="}, {97, "Device Name ="},
            {98, "LAN - IP Host Name ="}, {99, "Machine ="}, {124, "NT Workstation"}, {125, "NT Server"},
            {126, "NT Machine"}, {127, "Primary"}, {128, "Backup"}, {144, "Domain Name ="},
        };
        auto it = labels.find(id);
        return it == labels.end() ? std::string() : it->second;
    }
    Items items;
};

TEST(IpxAddress, FormattedSplitAndDotted) {
    const std::uint8_t net[4] = {0x00, 0x00, 0xAB, 0xCD};
    const std::uint8_t node[6] = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56};
    EXPECT_EQ(FormatIpxAddress(net, node), "0000ABCD:00A0C9123456");
    EXPECT_EQ(FormatIpxNode(node), "00A0C9123456");
    std::string network, nd;
    ASSERT_TRUE(SplitIpxAddress("0000ABCD:00A0C9123456", network, nd));
    EXPECT_EQ(network, "0000ABCD");
    EXPECT_EQ(nd, "00A0C9123456");
    EXPECT_FALSE(SplitIpxAddress("0000ABCD00A0C9123456", network, nd));
    const std::uint8_t ip[4] = {192, 0, 2, 255};
    EXPECT_EQ(FormatDottedIp(ip), "192.0.2.255");
}

TEST(ServerType, MachineTypeAndDomainRole) {
    struct Case {
        bool read;
        std::uint32_t type;
        unsigned machine;
        unsigned role;
    } cases[] = {
        {true, 0x00001003, kStrNtWorkstation, 0},   // workstation and server service
        {true, 0x00009003, kStrNtServer, 0},        // NT server
        {true, 0x0000100B, kStrNtServer, kStrPrimary},
        {true, 0x00001013, kStrNtServer, kStrBackup},
        {true, 0x0000101B, kStrNtServer, kStrPrimary},  // both controller bits: primary
        {true, 0, kStrNtWorkstation, 0},
        {false, 0xFFFFFFFF, kStrNtMachine, 0},       // information not read
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MachineTypeString(c.read, c.type), c.machine) << std::hex << c.type;
        EXPECT_EQ(DomainRoleString(c.read, c.type), c.role) << std::hex << c.type;
    }
}

TEST(IdentityItems, AllItemsInOrder) {
    IdentityFacts f;
    f.device_id = "SRV100000001000000A2";
    f.server_info_read = true;
    f.server_type = 0x1013;  // backup domain controller
    f.computer_name = "FRONTDESK";
    f.device_file_opened = true;
    f.description = "Front desk PC";
    NetAddressState a;
    a.ipx_address = "0000ABCD:00A0C9123456";
    a.ipx_known = true;
    a.nic_address = "00A0C9123456";
    a.nic_known = true;
    a.ip_address = "192.0.2.2";
    a.ip_known = true;
    a.host_name = "frontdesk";
    Sink s;
    WriteIdentityItems(s, f, a);
    EXPECT_EQ(s.items, (Items{{"Device ID =", "SRV100000001000000A2"},
                              {"Machine =", "NT Server"},
                              {"NT Domain Controller =", "Backup"},
                              {"Device Name =", "FRONTDESK"},
                              {"Address =", "0000ABCD:00A0C9123456"},
                              {"LAN - IPX Address =", "0000ABCD:00A0C9123456"},
                              {"LAN - IPX Network Number =", "0000ABCD"},
                              {"LAN - IPX Node Address =", "00A0C9123456"},
                              {"LAN - IP Address =", "192.0.2.2"},
                              {"LAN - IP Host Name =", "frontdesk"},
                              {"LAN - NIC Address =", "00A0C9123456"},
                              {"Machine Description =", "Front desk PC"}}));
}

TEST(IdentityItems, WithoutNetworkOrDeviceFile) {
    IdentityFacts f;
    f.device_id = "DEV";
    f.computer_name = "PC";
    f.device_file_opened = true;
    Sink s;
    // No IPX, no TCP/IP, no server information: no address items.
    WriteIdentityItems(s, f, NetAddressState{});
    EXPECT_EQ(s.items, (Items{{"Device ID =", "DEV"}, {"Machine =", "NT Machine"}, {"Device Name =", "PC"}}));

    // IP only: the address is the IP address; without the device file the
    // address items are left out altogether.
    NetAddressState a;
    a.ip_address = "10.1.2.3";
    a.ip_known = true;
    Sink ip;
    WriteIdentityItems(ip, f, a);
    ASSERT_EQ(ip.items.size(), 5u);
    EXPECT_EQ(ip.items[3], (std::pair<std::string, std::string>{"Address =", "10.1.2.3"}));
    EXPECT_EQ(ip.items[4], (std::pair<std::string, std::string>{"LAN - IP Address =", "10.1.2.3"}));
    f.device_file_opened = false;
    Sink closed;
    WriteIdentityItems(closed, f, a);
    EXPECT_EQ(closed.items.size(), 3u);
}

TEST(IdentityItems, DescriptionLines) {
    const std::string addr = "Address =", desc = "Machine Description =";
    struct Case {
        const char* line;
        const char* value;
    } cases[] = {
        {"Machine Description = Front desk PC\n", "Front desk PC"},
        {"machine description = lower case label\n", "lower case label"},
        {"Address = Room 12\n", "Room 12"},
        {"Machine Description = no line break", "no line break"},
        {"Machine Description =\n", ""},
        {"Machine Description =", ""},
        {"Device ID = DEV1\n", ""},
        {"Machine Descr", ""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(DescriptionFromLine(c.line, addr, desc), c.value) << c.line;
    const std::string long_line = "Machine Description = " + std::string(150, 'x') + "\n";
    EXPECT_EQ(DescriptionFromLine(long_line, addr, desc), std::string(79, 'x'));
}

TEST(UserItems, FullNameOnlyWhenRead) {
    Sink s;
    WriteUserItems(s, "JSMITH.SALES.ACME", "CORP", true, "John Smith");
    WriteUserItems(s, "root", "VM", false, "");
    EXPECT_EQ(s.items, (Items{{"Login Name =", "JSMITH.SALES.ACME"},
                              {"Domain Name =", "CORP"},
                              {"Full Name =", "John Smith"},
                              {"Login Name =", "root"},
                              {"Domain Name =", "VM"}}));
}

TEST(Connections, ServersOnceEachInDriveOrder) {
    // F: and G: on two volumes of SRV1, H: on SRV2, I: on srv1 again.
    EXPECT_EQ(ConnectionRows({"\\\\SRV1\\VOL1", "\\\\SRV1\\VOL2\\APPS", "\\\\SRV2\\SYS", "\\\\srv1\\DATA"}),
              (std::vector<std::string>{"\"\",\"SRV1\"", "\"\",\"SRV2\""}));
    // A server name without a volume part, and names that are no universal
    // names (a drive root, an empty server) give nothing.
    EXPECT_EQ(ConnectionRows({"\\\\LONE", "N:\\", "\\\\\\VOL", "", "\\\\"}),
              (std::vector<std::string>{"\"\",\"LONE\""}));
    EXPECT_EQ(ServerFromUniversalName("\\\\SRV1\\VOL1"), "SRV1");
    // At most 26 servers are collected.
    std::vector<std::string> many;
    for (int i = 0; i < 30; ++i) many.push_back("\\\\S" + std::to_string(i) + "\\V");
    auto rows = ConnectionRows(many);
    ASSERT_EQ(rows.size(), 26u);
    EXPECT_EQ(rows.back(), "\"\",\"S25\"");
}

}  // namespace
}  // namespace qv::scanner
