// Network identity, run as qviscnnt.exe under Wine: the identity items open
// the hardware phase, the machine description comes from QVISCAN.CFG, the
// user items follow the environment, the IPX LAN group holds the network
// user, and the program starts without the directory-services libraries.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/e2e/wine_run.h"

namespace {

using namespace qv::e2e;

const char kProgram[] = "P:\\qviscnnt.exe";

class NetworkIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveTree(Cfg());
        RemoveTree(DriveDir('C') + "/QVNETID.TXT");
        RemoveTree(Mif());
    }
    void TearDown() override { RemoveTree(Cfg()); }
    static std::string Cfg() { return DriveDir('C') + "/QVISCAN.CFG"; }
    static std::string Mif() { return DriveDir('C') + "/DMI/DOS/MIFS/QVISCAN.MIF"; }
};

TEST_F(NetworkIdentity, IdentityItemsFirstAndUserItemsAfterTheEnvironment) {
    // None of the client libraries is beside the program: it must start anyway.
    for (const char* dll : {"DXNET32.DLL", "DXCALL32.DLL", "DXCONN32.DLL", "DXLOC32.DLL"})
        ASSERT_FALSE(FileExists(DriveDir('P') + "/" + dll)) << dll;
    ASSERT_TRUE(WriteFile(Cfg(), "Device ID = NETID0001\nIV Server = \nMachine Description = Front desk PC\n"));

    RunOptions o;
    o.timeout_ms = 60000;
    RunResult r = RunWine(kProgram, {"/O=C:\\qvnetid.txt", "/M"}, o);
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const std::string flat = ReadFile(DriveDir('C') + "/QVNETID.TXT");

    char host[128] = {};
    gethostname(host, sizeof host);
    std::string upper_host = host;
    for (char& c : upper_host) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    // The hardware phase opens with the identity items, in order; this
    // machine has no IPX, so the address is the IP address.
    ASSERT_EQ(flat.rfind("Device ID = NETID0001\r\nMachine = NT Workstation\r\nDevice Name = " + upper_host +
                             "\r\nAddress = ",
                         0),
              0u)
        << flat;
    const char* const order[] = {"Address = ", "LAN - IP Address = ", "LAN - IP Host Name = ",
                                 "Machine Description = Front desk PC\r\n", "Processor - Type = ",
                                 "Environ - ", "Login Name = ", "Domain Name = "};
    std::size_t at = 0;
    for (const char* item : order) {
        std::size_t found = flat.find(item, at);
        ASSERT_NE(found, std::string::npos) << item << "\n" << flat;
        at = found;
    }
    EXPECT_EQ(flat.find("LAN - IPX Address ="), std::string::npos);
    EXPECT_EQ(flat.find("LAN - NIC Address ="), std::string::npos);

    // The device file still holds the device ID and the description line is
    // read again on the next run (the file is rewritten before the scan).
    EXPECT_NE(ReadFile(Cfg()).find("Device ID = NETID0001"), std::string::npos);

    // The IPX LAN group holds the network user; the connections table has
    // no rows (the test drives have no universal names under Wine).
    const std::string mif = ReadFile(Mif());
    std::size_t ipx = mif.find("CLASS = \"Corvane|IPX LAN|1.0\"");
    ASSERT_NE(ipx, std::string::npos);
    EXPECT_NE(mif.find("NAME = \"Login Name\"", ipx), std::string::npos);
    EXPECT_EQ(mif.find("{\"\",\""), std::string::npos);
}

}  // namespace
