#include "scanner/hardware/sysitems.h"

#include <gtest/gtest.h>

#include <map>

#include "common/text.h"
#include "scanner/hardware/test_sink.h"
#include "scanner/mif/mif.h"

namespace qv::scanner {
namespace {

using testing::Items;
using testing::RecordingSink;

class SysItemsTest : public ::testing::Test {
protected:
    void SetUp() override { MifBuildSchema(); }
    void TearDown() override { MifFree(); }
    static bool MifHas(const std::string& text) { return MifRender().find(text) != std::string::npos; }
    static std::string Upper(std::string_view s) { return UpperAscii(s); }
};

TEST(LabelTemplates, FirstConversionIsReplaced) {
    EXPECT_EQ(FillTemplate("Environ - %s =", "PATH"), "Environ - PATH =");
    EXPECT_EQ(FillTemplate("Floppy Drive - %d - Sectors =", "1"), "Floppy Drive - 1 - Sectors =");
    EXPECT_EQ(FillTemplate("A %-5ld B %s", "x"), "A x B %s");
    EXPECT_EQ(FillTemplate("100%% %s", "x"), "100%% x");
    EXPECT_EQ(FillTemplate("no conversion", "x"), "no conversion");
    EXPECT_EQ(FillTemplate("ends %", "x"), "ends x");
}

TEST_F(SysItemsTest, MemoryFiguresAreWholeKilobytesIn64Bits) {
    RecordingSink sink;
    MemoryFigures m;
    m.total_phys = 16ull << 30;        // 16 GB: beyond what 32-bit figures can hold
    m.avail_phys = 1536ull << 10;
    m.total_page = (20ull << 30) + 1023;
    m.avail_page = 0;
    m.total_virtual = 128ull << 40;    // 128 TB of address space
    m.avail_virtual = 2047ull << 20;
    WriteMemoryItems(sink, m);
    EXPECT_EQ(sink.items, (Items{{"Memory - Physical - Bytes Total =", " 16777216 KB"},
                                 {"Memory - Physical - Bytes Available =", "   1536 KB"},
                                 {"Memory - Page File - Bytes Total =", " 20971520 KB"},
                                 {"Memory - Page File - Bytes Available =", " 0 KB"},
                                 {"Memory - Virtual - Bytes Total =", " 137438953472 KB"},
                                 {"Memory - Virtual - Bytes Available =", " 2096128 KB"}}));
    EXPECT_TRUE(MifHas("\t\tNAME = \"Memory - Physical - Bytes Available\"\r\n\t\tID = 2\r\n"
                       "\t\tTYPE = STRING(32)\r\n\t\tVALUE = \"   1536 KB\"\r\n"));
}

TEST_F(SysItemsTest, OperatingSystemValuesBlanksAndEscaping) {
    RecordingSink sink;
    OsFacts os;
    os.key_opened = true;
    os.values[0] = {true, "1381"};
    os.values[1] = {true, "Uniprocessor Free"};
    os.values[2] = {false, ""};
    os.values[3] = {true, "   "};
    os.values[4] = {true, "Owner"};
    os.values[5] = {true, "C:\\WINNT"};
    os.install_date_ok = true;
    os.install_date = "01/02/97 10:11:12";
    WriteOsItems(sink, os);
    EXPECT_EQ(sink.items, (Items{{"OS - Name =", "Windows NT"},
                                 {"OS - NT Info - Current Build =", "1381"},
                                 {"OS - NT Info - Current Type =", "Uniprocessor Free"},
                                 {"OS - NT Info - Registered Owner =", "Owner"},
                                 {"OS - NT Info - System Root =", "C:\\WINNT"},
                                 {"OS - NT Info - Service Pack =", "0"},
                                 {"OS - NT Info - Install Date =", "01/02/97 10:11:12"}}));
    EXPECT_TRUE(MifHas("\t\tNAME = \"OS - NT Info - Registered Organization\"\r\n\t\tID = 3\r\n"
                       "\t\tTYPE = STRING(32)\r\n\t\tVALUE = \"   \"\r\n"));
    EXPECT_TRUE(MifHas("\t\tVALUE = \"C:\\\\WINNT\"\r\n"));
    EXPECT_TRUE(MifHas("\t\tNAME = \"OS - NT Info - Service Pack\"\r\n\t\tID = 6\r\n"
                       "\t\tTYPE = STRING(32)\r\n\t\tVALUE = \"0\"\r\n"));
    EXPECT_FALSE(MifHas("\"OS - Name\""));
    EXPECT_FALSE(MifHas("\"OS - NT Info - Current Version\""));

    RecordingSink closed;
    os.key_opened = false;
    WriteOsItems(closed, os);
    EXPECT_EQ(closed.items, (Items{{"OS - Name =", "Windows NT"}}));

    RecordingSink sp;
    os.key_opened = true;
    os.csd_version = {true, "Service Pack 3"};
    os.install_date_ok = false;
    WriteOsItems(sp, os);
    EXPECT_EQ(sp.items.back(), (std::pair<std::string, std::string>{"OS - NT Info - Service Pack =", "3"}));
}

TEST_F(SysItemsTest, EnvironmentEntriesSplitCutAndEscaped) {
    std::string block;
    auto add = [&block](const std::string& e) { block += e; block.push_back('\0'); };
    add("=C:=C:\\WINNT");
    add("path=C:\\WINNT;C:\\BIN");
    add("X=a=b");
    add("EMPTY=");
    add("LONG=" + std::string(300, 'v'));
    add("Tmp=C:\\" + std::string(600, '\\'));  // too many backslashes to escape in place
    block.push_back('\0');
    RecordingSink sink;
    WriteEnvironmentItems(sink, block.c_str(), Upper);
    ASSERT_EQ(sink.items.size(), 4u);
    EXPECT_EQ(sink.items[0], (std::pair<std::string, std::string>{"Environ - PATH =", "C:\\WINNT;C:\\BIN"}));
    EXPECT_EQ(sink.items[1], (std::pair<std::string, std::string>{"Environ - X =", "a"}));
    EXPECT_EQ(sink.items[2].first, "Environ - LONG =");
    EXPECT_EQ(sink.items[2].second, std::string(255, 'v'));
    EXPECT_EQ(sink.items[3].second.size(), 255u);
    EXPECT_TRUE(MifHas("\t{\"PATH\",\"C:\\\\WINNT;C:\\\\BIN\"}\r\n\t{\"X\",\"a\"}\r\n"
                       "\t{\"LONG\",\"" + std::string(255, 'v') + "\"}\r\n"));
    // 255 characters with 254 backslashes: 255 + 2 * 254 fits in 1024, escaped.
    EXPECT_TRUE(MifHas("\t{\"TMP\",\"C:" + std::string(2 * 253, '\\') + "\"}\r\n"));

    RecordingSink empty;
    WriteEnvironmentItems(empty, "\0", Upper);
    WriteEnvironmentItems(empty, nullptr, Upper);
    EXPECT_TRUE(empty.items.empty());
}

TEST_F(SysItemsTest, LogicalDriveItemsAndRow) {
    RecordingSink sink;
    LogicalDriveFacts c;
    c.space_ok = true;
    c.free_bytes = 1536ull << 20;
    c.total_bytes = 6ull << 30;
    c.volume_ok = true;
    c.label = "SYSTEM";
    c.file_system = "NTFS";
    c.serial = 0x00A10003;
    WriteLogicalDriveItems(sink, 'C', c);
    EXPECT_EQ(sink.items, (Items{{"Logical Drive C - Free =", "  1536.0 MB"},
                                 {"Logical Drive C - Size =", "  6144.0 MB"},
                                 {"Logical Drive C - Volume Label =", "SYSTEM"},
                                 {"Logical Drive C - File System =", "NTFS"},
                                 {"Logical Drive C - Serial Number =", "A1-3"}}));
    EXPECT_TRUE(MifHas("\t{\"C\",\"  6144.0 MB\",\"  1536.0 MB\",\"A1-3\",\"SYSTEM\",\"NTFS\"}\r\n"));

    // Free space unknown and a blank label: no size items, empty size texts in the row.
    RecordingSink d;
    LogicalDriveFacts dd;
    dd.volume_ok = true;
    dd.label = "  ";
    dd.file_system = "FAT";
    dd.serial = 0x1A2B3C4D;
    WriteLogicalDriveItems(d, 'D', dd);
    EXPECT_EQ(d.items, (Items{{"Logical Drive D - File System =", "FAT"},
                              {"Logical Drive D - Serial Number =", "1A2B-3C4D"}}));
    EXPECT_TRUE(MifHas("\t{\"D\",\"\",\"\",\"1A2B-3C4D\",\"  \",\"FAT\"}\r\n"));

    RecordingSink e;
    LogicalDriveFacts ee;
    ee.space_ok = true;
    WriteLogicalDriveItems(e, 'E', ee);
    EXPECT_EQ(e.items.size(), 2u);
}

TEST_F(SysItemsTest, FixedDisksTwoControllersOneDiskEach) {
    std::map<std::pair<int, int>, FixedDiskValues> disks;
    FixedDiskValues a;
    a.cylinders_ok = a.heads_ok = a.sectors_ok = true;
    a.cylinders = 1024; a.heads = 64; a.sectors = 63;
    a.firmware = {true, "1.0"};
    a.identifier = {true, "QEMU HARDDISK"};
    disks[{0, 0}] = a;
    FixedDiskValues b;
    b.cylinders_ok = true;
    b.cylinders = 16383;  // heads and sectors unreadable: the previous disk's stand
    b.serial = {true, "S123"};
    disks[{1, 0}] = b;
    std::vector<std::pair<int, int>> asked;
    RecordingSink sink;
    ScanFixedDisks(sink, [&](int c, int d, FixedDiskValues& v) {
        asked.emplace_back(c, d);
        auto it = disks.find({c, d});
        if (it == disks.end()) return false;
        v = it->second;
        return true;
    });
    EXPECT_EQ(asked, (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}}));
    EXPECT_EQ(sink.items, (Items{{"Fixed Drive 0 - Cylinders =", " 1024"},
                                 {"Fixed Drive 0 - Heads =", " 64"},
                                 {"Fixed Drive 0 - Sectors =", " 63"},
                                 {"Fixed Drive 0 - Firmware revision =", "1.0"},
                                 {"Fixed Drive 0 - Vendor Description =", "QEMU HARDDISK"},
                                 {"Fixed Drive 0 - Size =", "  2016.0 MB"},
                                 {"Fixed Drive 0 - Cylinders =", "16383"},
                                 {"Fixed Drive 0 - Serial Number =", "S123"},
                                 {"Fixed Drive 0 - Size =", " 32254.0 MB"}}));
    EXPECT_TRUE(MifHas("\t{\"C:\",\"Fixed Drive\",\"1024\",\"64\",\"63\",\"  2016.0 MB\"}\r\n"
                       "\t{\"C:\",\"Fixed Drive\",\"16383\",\"64\",\"63\",\" 32254.0 MB\"}\r\n"));
}

TEST_F(SysItemsTest, FloppyDrivesAndCount) {
    RecordingSink sink;
    EXPECT_TRUE(WriteFloppyItems(sink, 0, 'A', 2, 80, 2, 18));
    EXPECT_FALSE(WriteFloppyItems(sink, 1, 'E', 11, 1000, 255, 63));
    EXPECT_TRUE(WriteFloppyItems(sink, 1, 'B', 0, 40, 2, 9));
    WriteFloppyCount(sink, 2);
    EXPECT_EQ(sink.items, (Items{{"Floppy Drive 0 - Type =", "3.5\" 1.44 MB"},
                                 {"Floppy Drive 0 - Cylinders =", "   80"},
                                 {"Floppy Drive - 0 - Sectors =", " 18"},
                                 {"Floppy Drive 1 - Type =", "Unknown"},
                                 {"Floppy Drive 1 - Cylinders =", "   40"},
                                 {"Floppy Drive - 1 - Sectors =", "  9"},
                                 {"Floppy Drive - Count = ", "2"}}));
    EXPECT_TRUE(MifHas("\t{\"A:\",\"Floppy Drive\",\"80\",\"2\",\"18\",\"3.5  1.44 MB\"}\r\n"
                       "\t{\"B:\",\"Floppy Drive\",\"40\",\"2\",\"9\",\"Unknown\"}\r\n"));
    RecordingSink none;
    WriteFloppyCount(none, 0);
    EXPECT_TRUE(none.items.empty());
}

}  // namespace
}  // namespace qv::scanner
