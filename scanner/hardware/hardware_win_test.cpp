#include <windows.h>
#include <intrin.h>

#include <gtest/gtest.h>

#include <clocale>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "scanner/hardware/cpu.h"
#include "scanner/hardware/cpu_win.h"
#include "scanner/hardware/hwtext.h"
#include "scanner/hardware/registry_fixture_win.h"
#include "scanner/hardware/scan_fixture_win.h"
#include "scanner/hardware/sysinfo_win.h"
#include "scanner/mif/mif.h"
#include "scanner/records/inventory.h"

extern "C" void qv_timing_sequence(unsigned ax, unsigned bx, unsigned dx);

namespace qv::scanner {
namespace {

using testing::FakeMachineRegistry;
using testing::Items;
using testing::LabelSink;
using testing::MifScope;

const char* const kCpuKey = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
const char* const kNtKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

TEST(HardwareStrings, LabelsAndMediaTextsComeFromTheStringTable) {
    HardwareSink& s = ProgramSink();
    EXPECT_EQ(s.Label(25), "3.5\" 1.44 MB");
    EXPECT_EQ(s.Label(22), "5.25\" 360 KB");
    EXPECT_EQ(s.Label(83), "Floppy Drive - Count = ");
    EXPECT_EQ(s.Label(152), "Environ - %s =");
    EXPECT_EQ(s.Label(199), "Stepping");
    EXPECT_EQ(s.Label(9999), "");
}

TEST(ProcessorScan, RegistryValuesGiveIdSteppingAndVendor) {
    MifScope mif;
    {
        FakeMachineRegistry reg;
        reg.Text(kCpuKey, "Identifier", "x86 Family 5 Model 2 Stepping 12");
        reg.Text(kCpuKey, "VendorIdentifier", "genuineintel");
        EXPECT_EQ(ProcessorVendorTest(), 1);
        EXPECT_EQ(ProcessorIdentifierNumber(), 0x52C);
        LabelSink sink;
        ScanProcessor(sink);
        ASSERT_GE(sink.items.size(), 4u);
        EXPECT_EQ(sink.items[0], (std::pair<std::string, std::string>{"Processor - Stepping =", "12H"}));
        EXPECT_EQ(sink.items[1], (std::pair<std::string, std::string>{"Processor - ID =", "05212H"}));
        EXPECT_EQ(sink.items[2].first, "Processor - Type =");
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        if (si.dwProcessorType == 586) {
            EXPECT_EQ(sink.items[2].second, si.wProcessorLevel == 6 ? "Pentium Pro" : "Pentium");
        }
        EXPECT_EQ(sink.items[3].first, "Processor - Speed =");
        EXPECT_TRUE(MifScope::Has("\t\tNAME = \"Processor - ID\"\r\n\t\tID = 2\r\n\t\tTYPE = STRING(16)\r\n"
                                  "\t\tVALUE = \"05212H\"\r\n"));

        reg.Text(kCpuKey, "VendorIdentifier", "AuthenticAMD");
        reg.Text(kCpuKey, "Identifier", "AMD64 Family 23 Model 49 Stepping 0");
        EXPECT_EQ(ProcessorVendorTest(), 0);
        EXPECT_EQ(ProcessorIdentifierNumber(), 0);
    }
    // No processor key at all: no ID items, vendor test 0.
    FakeMachineRegistry empty;
    EXPECT_EQ(ProcessorVendorTest(), 0);
    EXPECT_EQ(ProcessorIdentifierNumber(), 0);
    LabelSink sink;
    ScanProcessor(sink);
    ASSERT_GE(sink.items.size(), 2u);
    EXPECT_EQ(sink.items[0].first, "Processor - Type =");
}

// The time-stamp counter's rate measured over a long interval: the
// reference the timing loop's short runs must agree with.
double ReferenceMhz() {
    LARGE_INTEGER f, a, b;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&a);
    std::uint64_t c0 = __rdtsc();
    Sleep(400);
    std::uint64_t c1 = __rdtsc();
    QueryPerformanceCounter(&b);
    double seconds = static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
    return static_cast<double>(c1 - c0) / seconds / 1e6;
}

TEST(ProcessorScan, MeasuredSpeedIsTheRealClockAndPrioritiesAreRestored) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    if (si.dwProcessorType != 586 || !HasTimeStampCounter()) GTEST_SKIP() << "not a 586 type with a TSC";
    const double reference = ReferenceMhz();
    const std::uint32_t measured = MeasuredSpeed();
    std::printf("measured %u MHz, time-stamp counter %.1f MHz\n", measured, reference);
    EXPECT_NEAR(measured, reference, reference * 0.05);
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
}

// The machine-code units of this build (i686 or x86_64) run and return;
// the timing sequence ends after its 15000 iterations whatever AX, BX and
// DX hold, and leaves the caller's registers intact.
TEST(ProcessorScan, MachineCodeUnitsRunOnThisBuild) {
    EXPECT_EQ(CoprocessorProbe(), 1);
    volatile unsigned guard = 0x5EED;
    for (unsigned ax : {0u, 1u, 0xFFFFu}) qv_timing_sequence(ax, 0, 0);
    qv_timing_sequence(1, 1, 1);
    EXPECT_EQ(guard, 0x5EEDu);
}

TEST(OperatingSystemScan, CurrentVersionValues) {
    MifScope mif;
    FakeMachineRegistry reg;
    reg.Text(kNtKey, "CurrentBuildNumber", "1381");
    reg.Text(kNtKey, "CurrentType", "Uniprocessor Free");
    reg.Text(kNtKey, "CurrentVersion", "4.0");
    reg.Text(kNtKey, "RegisteredOrganization", "   ");
    reg.Text(kNtKey, "RegisteredOwner", "Tester");
    reg.Text(kNtKey, "SystemRoot", "C:\\WINNT");
    reg.Dword(kNtKey, "InstallDate", 852076800);  // 1 Jan 1997 00:00 UTC
    std::string date;
    ASSERT_TRUE(FormatInstallDate(852076800, date));
    EXPECT_TRUE(std::regex_match(date, std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)"))) << date;
    LabelSink sink;
    ScanOperatingSystem(sink);
    EXPECT_EQ(sink.items, (Items{{"OS - Name =", "Windows NT"},
                                 {"OS - NT Info - Current Build =", "1381"},
                                 {"OS - NT Info - Current Type =", "Uniprocessor Free"},
                                 {"OS - NT Info - Current Version =", "4.0"},
                                 {"OS - NT Info - Registered Owner =", "Tester"},
                                 {"OS - NT Info - System Root =", "C:\\WINNT"},
                                 {"OS - NT Info - Service Pack =", "0"},
                                 {"OS - NT Info - Install Date =", date}}));
    EXPECT_TRUE(MifScope::Has("\"OS - NT Info - Registered Organization\"\r\n\t\tID = 4\r\n"
                              "\t\tTYPE = STRING(32)\r\n\t\tVALUE = \"   \"\r\n"));
    EXPECT_TRUE(MifScope::Has("\"OS - NT Info - System Root\"\r\n\t\tID = 6\r\n"
                              "\t\tTYPE = STRING(32)\r\n\t\tVALUE = \"C:\\\\WINNT\"\r\n"));

    reg.Text(kNtKey, "CSDVersion", "Service Pack 6");
    LabelSink sp;
    ScanOperatingSystem(sp);
    EXPECT_EQ(sp.items[6], (std::pair<std::string, std::string>{"OS - NT Info - Service Pack =", "6"}));
}

// Under a German locale the C runtime writes "2016,0" and "1.1.1997 00:00:00";
// inventory values keep the "C" conventions.
TEST(OperatingSystemScan, ValuesIgnoreTheUsersLocale) {
    if (!std::setlocale(LC_ALL, "German_Germany.1252")) GTEST_SKIP() << "no German locale";
    const bool comma = std::localeconv()->decimal_point[0] == ',';
    const std::string size = SizeText(2016ull << 20);
    std::string date;
    const bool dated = FormatInstallDate(852076800, date);
    std::setlocale(LC_ALL, "C");
    ASSERT_TRUE(comma);
    EXPECT_EQ(size, "  2016.0 MB");
    ASSERT_TRUE(dated);
    EXPECT_TRUE(std::regex_match(date, std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)"))) << date;
}

TEST(OperatingSystemScan, MissingKeyWritesOnlyTheName) {
    FakeMachineRegistry reg;
    LabelSink sink;
    ScanOperatingSystem(sink);
    EXPECT_EQ(sink.items, (Items{{"OS - Name =", "Windows NT"}}));
}

TEST(FixedDrivesScan, TwoAtDiskControllersWithOneDiskEach) {
    MifScope mif;
    FakeMachineRegistry reg;
    const char* d0 = "HARDWARE\\DEVICEMAP\\AtDisk\\Controller 0\\Disk 0";
    const char* d1 = "HARDWARE\\DEVICEMAP\\AtDisk\\Controller 1\\Disk 0";
    reg.Dword(d0, "Actual - Number of cylinders", 1024);
    reg.Dword(d0, "Actual - Number of heads", 64);
    reg.Dword(d0, "Actual - Sectors per track", 63);
    reg.Text(d0, "Firmware revision", "3.02");
    reg.Text(d0, "Identifier", "VENDOR DISK");
    reg.Text(d0, "Serial number", "SN0");
    reg.Dword(d1, "Actual - Number of cylinders", 2048);
    reg.Dword(d1, "Actual - Number of heads", 16);
    reg.Dword(d1, "Actual - Sectors per track", 63);
    LabelSink sink;
    ScanFixedDrives(sink);
    EXPECT_EQ(sink.items, (Items{{"Fixed Drive 0 - Cylinders =", " 1024"},
                                 {"Fixed Drive 0 - Heads =", " 64"},
                                 {"Fixed Drive 0 - Sectors =", " 63"},
                                 {"Fixed Drive 0 - Firmware revision =", "3.02"},
                                 {"Fixed Drive 0 - Vendor Description =", "VENDOR DISK"},
                                 {"Fixed Drive 0 - Serial Number =", "SN0"},
                                 {"Fixed Drive 0 - Size =", "  2016.0 MB"},
                                 {"Fixed Drive 0 - Cylinders =", " 2048"},
                                 {"Fixed Drive 0 - Heads =", " 16"},
                                 {"Fixed Drive 0 - Sectors =", " 63"},
                                 {"Fixed Drive 0 - Size =", "  1008.0 MB"}}));
    EXPECT_TRUE(MifScope::Has("\t{\"C:\",\"Fixed Drive\",\"1024\",\"64\",\"63\",\"  2016.0 MB\"}\r\n"
                              "\t{\"C:\",\"Fixed Drive\",\"2048\",\"16\",\"63\",\"  1008.0 MB\"}\r\n"));
}

TEST(MemoryScan, FiguresAreTheSystemsIn64Bits) {
    MEMORYSTATUSEX ms = {};
    ms.dwLength = sizeof ms;
    ASSERT_TRUE(GlobalMemoryStatusEx(&ms));
    MemoryFigures m;
    ASSERT_TRUE(QueryMemoryFigures(m));
    EXPECT_EQ(m.total_phys, ms.ullTotalPhys);
    EXPECT_EQ(m.total_page, ms.ullTotalPageFile);
    EXPECT_EQ(m.total_virtual, ms.ullTotalVirtual);
    LabelSink sink;
    ScanMemory(sink);
    ASSERT_EQ(sink.items.size(), 6u);
    EXPECT_EQ(sink.items[0].first, "Memory - Physical - Bytes Total =");
    char want[64];
    std::snprintf(want, sizeof want, " %6llu KB", static_cast<unsigned long long>(ms.ullTotalPhys >> 10));
    EXPECT_EQ(sink.items[0].second, want);
}

TEST(DrivesScan, FixedDrivesOnlyAndNoFloppyOnTheHarnessDrives) {
    MifScope mif;
    LabelSink sink;
    ScanLogicalDrives(sink);
    bool c_size = false;
    for (const auto& [k, v] : sink.items) {
        ASSERT_EQ(k.rfind("Logical Drive ", 0), 0u) << k;
        const char letter = k[14];
        EXPECT_TRUE(letter != 'E' && letter != 'N' && letter != 'P' && letter != 'W') << k;
        if (k == "Logical Drive C - Size =") c_size = true;
    }
    EXPECT_TRUE(c_size);
    ULARGE_INTEGER avail, total, free;
    ASSERT_TRUE(GetDiskFreeSpaceExA("C:\\", &avail, &total, &free));
    char want[64];
    std::snprintf(want, sizeof want, "%8.1f MB", static_cast<double>(total.QuadPart) / 1048576.0);
    EXPECT_NE(std::find(sink.items.begin(), sink.items.end(),
                        std::pair<std::string, std::string>{"Logical Drive C - Size =", want}),
              sink.items.end());
    EXPECT_TRUE(MifScope::Has("\t{\"C\",\""));

    LabelSink floppy;
    ScanFloppyDrives(floppy);
    EXPECT_TRUE(floppy.items.empty());
}

TEST(EnvironmentScan, OwnVariablesWithEscapedRows) {
    MifScope mif;
    ASSERT_TRUE(SetEnvironmentVariableA("QvHwTestPath", "C:\\WINNT;C:\\BIN"));
    ASSERT_TRUE(SetEnvironmentVariableA("QVHWTESTX", "a=b"));
    LabelSink sink;
    ScanEnvironment(sink);
    SetEnvironmentVariableA("QvHwTestPath", nullptr);
    SetEnvironmentVariableA("QVHWTESTX", nullptr);
    auto has = [&](const char* k, const char* v) {
        return std::find(sink.items.begin(), sink.items.end(), std::pair<std::string, std::string>{k, v}) !=
               sink.items.end();
    };
    EXPECT_TRUE(has("Environ - QVHWTESTPATH =", "C:\\WINNT;C:\\BIN"));
    EXPECT_TRUE(has("Environ - QVHWTESTX =", "a"));
    EXPECT_TRUE(MifScope::Has("\t{\"QVHWTESTPATH\",\"C:\\\\WINNT;C:\\\\BIN\"}\r\n"));
    for (const auto& item : sink.items) EXPECT_NE(item.first.find("Environ - "), std::string::npos);
}

// The scanners of this module in the hardware phase's order, through the
// program's sink into the item stream's flat file and into the MIF model.
TEST(HardwarePhase, ItemsInOrderInTheFlatFileAndTheMifFile) {
    MifScope mif;
    StringFlatSink flat;
    SetInventoryFlatSink(&flat);
    ResetInventoryStream();
    HardwareSink& sink = ProgramSink();
    ScanProcessor(sink);
    ScanMemory(sink);
    ScanFloppyDrives(sink);
    ScanFixedDrives(sink);
    ScanLogicalDrives(sink);
    ScanOperatingSystem(sink);
    ScanEnvironment(sink);
    SetInventoryFlatSink(nullptr);

    const std::vector<std::string> order = {
        "Processor - Type = ", "Processor - Speed = ", "Memory - Physical - Bytes Total = ",
        "Memory - Virtual - Bytes Available = ", "Logical Drive C - Free = ", "Logical Drive C - Size = ",
        "OS - Name = Windows NT\r\n", "OS - NT Info - Service Pack = ", "Environ - "};
    std::size_t at = 0;
    for (const std::string& s : order) {
        std::size_t found = flat.text.find(s, at);
        ASSERT_NE(found, std::string::npos) << s << "\n" << flat.text.substr(0, 2000);
        at = found;
    }
    const std::string mif_text = MifRender();
    const std::string classes[] = {kMifClassProcessor, kMifClassMemory, kMifClassLogicalDrive,
                                   kMifClassOperatingSystem, kMifClassEnvironment};
    for (const std::string& c : classes) EXPECT_NE(mif_text.find("\tCLASS = \"" + c + "\""), std::string::npos);
    EXPECT_NE(mif_text.find("\"Processor - Speed\""), std::string::npos);
    EXPECT_NE(mif_text.find("\"Memory - Physical - Bytes Total\""), std::string::npos);
}

}  // namespace
}  // namespace qv::scanner
