// The hardware phase and the MIF file, run as qviscnnt.exe under Wine: the
// items must describe this very machine (processor clock, memory, drive C:)
// and the MIF file must hold the fifteen groups as the scanner set them.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/wine_run.h"

namespace {

using namespace qv::e2e;

const char kProgram[] = "P:\\qviscnnt.exe";

// A number from a /proc file line "label : value".
double ProcNumber(const char* file, const char* label) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(label, 0) == 0) {
            std::size_t colon = line.find(':');
            if (colon != std::string::npos) return std::atof(line.c_str() + colon + 1);
        }
    }
    return 0;
}

std::string ItemValue(const std::string& flat, const std::string& key) {
    const std::string lead = key + " ";
    std::size_t start;
    if (flat.rfind(lead, 0) == 0) {
        start = lead.size();
    } else {
        std::size_t at = flat.find("\r\n" + lead);
        if (at == std::string::npos) return "<missing>";
        start = at + 2 + lead.size();
    }
    return flat.substr(start, flat.find("\r\n", start) - start);
}

class HardwarePhase : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveTree(DriveDir('C') + "/QVISCAN.CFG");
        RemoveTree(DriveDir('C') + "/QVHW.TXT");
        RemoveTree(MifPath());
    }
    static std::string MifPath() { return DriveDir('C') + "/DMI/DOS/MIFS/QVISCAN.MIF"; }
};

TEST_F(HardwarePhase, FlatFileAndMifFileDescribeThisMachine) {
    RunOptions o;
    o.timeout_ms = 60000;
    o.env = {"QvE2ePath=C:\\WINNT;C:\\BIN"};
    RunResult r = RunWine(kProgram, {"/O=C:\\qvhw.txt", "/M"}, o);
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const std::string flat = ReadFile(DriveDir('C') + "/QVHW.TXT");
    ASSERT_FALSE(flat.empty());

    // The x86_64 build (run where the machine has no 32-bit support) sees
    // processor type 8664, which the type table does not know: the type and
    // speed are "Unknown" and there is no coprocessor item.
    const char* arch = std::getenv("QV_WINE_ARCH");
    const bool x64 = arch && std::string(arch) == "win64";

    // The items of the scanners in their phase order.
    const char* const order[] = {
        "Processor - Type = ",           "Processor - Speed = ",
        x64 ? "Processor - Speed = Unknown MHz\r\n" : "Coprocessor - Math = Internal\r\n",
        "Memory - Physical - Bytes Total = ", "Memory - Virtual - Bytes Available = ",
        "Logical Drive C - Free = ",     "Logical Drive C - Size = ",   "Logical Drive C - File System = ",
        "Logical Drive C - Serial Number = ", "OS - Name = Windows NT\r\n", "OS - NT Info - Service Pack = ",
        "Environ - ",
    };
    std::size_t at = 0;
    for (const char* item : order) {
        std::size_t found = flat.find(item, at);
        ASSERT_NE(found, std::string::npos) << item << "\n" << flat;
        at = found;
    }
    EXPECT_NE(flat.find("Environ - QVE2EPATH = C:\\WINNT;C:\\BIN\r\n"), std::string::npos);

    // The processor clock within 5% of what the host reports.
    const double host_mhz = ProcNumber("/proc/cpuinfo", "cpu MHz");
    const double speed = std::atof(ItemValue(flat, "Processor - Speed =").c_str());
    if (host_mhz > 0 && !x64) {
        EXPECT_NEAR(speed, host_mhz, host_mhz * 0.05) << ItemValue(flat, "Processor - Speed =");
    }

    // Physical memory within 1% of the host's.
    const double host_kb = ProcNumber("/proc/meminfo", "MemTotal");
    const double mem_kb = std::atof(ItemValue(flat, "Memory - Physical - Bytes Total =").c_str());
    EXPECT_NEAR(mem_kb, host_kb, host_kb * 0.01);

    // Drive C: has the size of the file system behind drive_c.
    struct statvfs vfs;
    ASSERT_EQ(statvfs(DriveDir('C').c_str(), &vfs), 0);
    const double size_mb = static_cast<double>(vfs.f_blocks) * vfs.f_frsize / 1048576.0;
    const double reported_mb = std::atof(ItemValue(flat, "Logical Drive C - Size =").c_str());
    EXPECT_NEAR(reported_mb, size_mb, 1.0);
    const double free_mb = static_cast<double>(vfs.f_bavail) * vfs.f_frsize / 1048576.0;
    EXPECT_NEAR(std::atof(ItemValue(flat, "Logical Drive C - Free =").c_str()), free_mb, free_mb * 0.02 + 64);

    // The MIF file: header, fifteen groups numbered 1 to 15 in order (an ID
    // stands in the group, or in its table header once the table has rows),
    // and "END COMPONENT" as the very last bytes.
    const std::string mif = ReadFile(MifPath());
    ASSERT_FALSE(mif.empty());
    EXPECT_EQ(mif.rfind("// DONT_SCAN\r\n\r\nSTART COMPONENT\r\n\r\n"
                        "NAME = \"Varik Corvane Inventory PC MIF for NT Machines\"\r\n\r\n"
                        "DESCRIPTION = \"This component represents NT Servers/Workstations\"\r\n\r\n"
                        "START GROUP\r\n\tNAME = \"ComponentID\"\r\n\tID = 1\r\n",
                        0),
              0u);
    EXPECT_EQ(mif.substr(mif.size() - 28), "END GROUP\r\n\r\n\r\nEND COMPONENT");
    std::regex group_re("START GROUP\r\n\tNAME = \"[^\"]*\"\r\n(?:\tID = (\\d+)\r\n)?\tCLASS = \"([^\"]*)\"");
    std::regex table_id_re("Start Table\r\n\tNAME = \"[^\"]*\"\r\n\tID = (\\d+)\r\n\tCLASS = \"([^\"]*)\"");
    std::vector<std::string> classes;
    int expected = 1;
    for (auto it = std::sregex_iterator(mif.begin(), mif.end(), group_re); it != std::sregex_iterator(); ++it) {
        classes.push_back((*it)[2].str());
        if ((*it)[1].matched) {
            EXPECT_EQ((*it)[1].str(), std::to_string(expected)) << (*it)[2].str();
        } else {
            // The ID is in this group's table header.
            std::smatch t;
            std::string rest = mif.substr(static_cast<std::size_t>(it->position()));
            ASSERT_TRUE(std::regex_search(rest, t, table_id_re)) << (*it)[2].str();
            EXPECT_EQ(t[1].str(), std::to_string(expected));
            EXPECT_EQ(t[2].str(), (*it)[2].str());
        }
        ++expected;
    }
    EXPECT_EQ(classes.size(), 15u);
    EXPECT_EQ(classes.front(), "DMTF|ComponentID|1.0");
    EXPECT_EQ(classes.back(), "Corvane|Software|1.0");
    // What the scanners set: processor attributes, logical drive and environment rows.
    EXPECT_NE(mif.find("\t\tNAME = \"Processor - Speed\"\r\n\t\tID = "), std::string::npos);
    EXPECT_NE(mif.find("\t\tNAME = \"Memory - Physical - Bytes Total\"\r\n\t\tID = 1\r\n"), std::string::npos);
    EXPECT_NE(mif.find("\t{\"C\",\""), std::string::npos);
    EXPECT_NE(mif.find("\t{\"QVE2EPATH\",\"C:\\\\WINNT;C:\\\\BIN\"}\r\n"), std::string::npos);
    EXPECT_NE(mif.find("\t\tNAME = \"OS - NT Info - System Root\"\r\n"), std::string::npos);
}

TEST_F(HardwarePhase, WithoutMifOptionNoMifFileIsWritten) {
    RunOptions o;
    o.timeout_ms = 60000;
    RunResult r = RunWine(kProgram, {"/O=C:\\qvhw.txt"}, o);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_FALSE(FileExists(MifPath()));
    EXPECT_NE(ReadFile(DriveDir('C') + "/QVHW.TXT").find("Processor - Speed = "), std::string::npos);
}

}  // namespace
