#include "scanner/mif/mif.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>

namespace qv::scanner {
namespace {

// Expected texts are written with "\n"; the file holds CR LF.
std::string Crlf(std::string_view lf) {
    std::string out;
    for (char c : lf) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

class MifTest : public ::testing::Test {
protected:
    void TearDown() override { MifFree(); }
};

TEST_F(MifTest, WithoutComponentEveryOperationIsANoOp) {
    MifFree();
    MifSetScanFlag(1);
    MifAddGroup("G", "A|B|1.0", nullptr);
    MifAddAttribute("A|B|1.0", "x", nullptr, nullptr, "v");
    MifSetAttribute("A|B|1.0", "x", nullptr, nullptr, "v");
    MifSetGroupId("A|B|1.0", 3);
    MifSetGroupKey("A|B|1.0", "1");
    MifAddTable("A|B|1.0", "T");
    MifAddTableRow("A|B|1.0", "\"r\"");
    EXPECT_FALSE(MifActive());
    EXPECT_EQ(MifRender(), "");
    std::string path = ::testing::TempDir() + "nomif.mif";
    std::remove(path.c_str());
    EXPECT_FALSE(MifWrite(path.c_str()));
    std::ifstream f(path);
    EXPECT_FALSE(f.good());
}

TEST_F(MifTest, TableGroupWithoutRowsKeepsItsIdAndHasNoKeyOrTable) {
    MifCreateComponent("Comp", nullptr);
    MifAddGroup("Env", "Corvane|Environment|1.0", nullptr);
    MifAddAttribute("Corvane|Environment|1.0", "Name", nullptr, "STRING(32)", nullptr);
    MifAddTable("Corvane|Environment|1.0", "Environment Table");
    MifSetGroupKey("Corvane|Environment|1.0", "1");
    EXPECT_EQ(MifRender(), Crlf("// DONT_SCAN\n\n"
                                "START COMPONENT\n\n"
                                "NAME = \"Comp\"\n\n"
                                "START GROUP\n"
                                "\tNAME = \"Env\"\n"
                                "\tID = 1\n"
                                "\tCLASS = \"Corvane|Environment|1.0\"\n"
                                "\n\tSTART ATTRIBUTE\n"
                                "\t\tNAME = \"Name\"\n"
                                "\t\tID = 1\n"
                                "\t\tTYPE = STRING(32)\n"
                                "\t\tVALUE = \"\"\n"
                                "\tEND ATTRIBUTE\n\n"
                                "END GROUP\n\n"
                                "\nEND COMPONENT"));
}

TEST_F(MifTest, TableGroupWithARowMovesItsIdIntoTheTableHeader) {
    MifCreateComponent("Comp", "Desc");
    MifSetScanFlag(1);
    MifAddGroup("Env", "Corvane|Environment|1.0", nullptr);
    MifAddAttribute("Corvane|Environment|1.0", "Name", nullptr, "STRING(32)", nullptr);
    MifAddTable("Corvane|Environment|1.0", "Environment Table");
    MifSetGroupKey("Corvane|Environment|1.0", "1");
    MifSetGroupKey("Corvane|Environment|1.0", "2");  // a key is set only once
    MifAddTableRow("corvane|environment|1.0", "\"PATH\",\"C:\\\\WINNT\"");
    EXPECT_EQ(MifRender(), Crlf(" \n\n"
                                "START COMPONENT\n\n"
                                "NAME = \"Comp\"\n\n"
                                "DESCRIPTION = \"Desc\"\n\n"
                                "START GROUP\n"
                                "\tNAME = \"Env\"\n"
                                "\tCLASS = \"Corvane|Environment|1.0\"\n"
                                "\n\tSTART ATTRIBUTE\n"
                                "\t\tNAME = \"Name\"\n"
                                "\t\tID = 1\n"
                                "\t\tTYPE = STRING(32)\n"
                                "\t\tVALUE = \"\"\n"
                                "\tEND ATTRIBUTE\n\n"
                                "Key = 1\n\n"
                                "END GROUP\n\n"
                                "Start Table\n"
                                "\tNAME = \"Environment Table\"\n"
                                "\tID = 1\n"
                                "\tCLASS = \"Corvane|Environment|1.0\"\n"
                                "\t{\"PATH\",\"C:\\\\WINNT\"}\n"
                                "End Table\n\n"
                                "\nEND COMPONENT"));
}

TEST_F(MifTest, AttributesAreFoundByNameWithoutRegardToCase) {
    MifCreateComponent(nullptr, nullptr);
    MifAddGroup("P", "Corvane|Processor|1.0", nullptr);
    MifAddAttribute("Corvane|Processor|1.0", "Processor - Type", "READ-ONLY", "STRING(32)", "a");
    MifSetAttribute("CORVANE|PROCESSOR|1.0", "processor - TYPE", nullptr, nullptr, "b");
    MifSetAttribute("Corvane|Processor|1.0", "Processor - Type", nullptr, "STRING(64)", nullptr);
    MifSetAttribute("Corvane|Processor|1.0", "No Such", nullptr, nullptr, "c");   // no effect
    MifSetAttribute("Corvane|No Such|1.0", "Processor - Type", nullptr, nullptr, "d");
    MifAddAttribute("Corvane|No Such|1.0", "x", nullptr, nullptr, "e");
    MifAddTableRow("Corvane|Processor|1.0", "\"no table\"");  // group has no table
    MifSetGroupId("Corvane|Processor|1.0", 0);                // ID 0 is not written
    EXPECT_EQ(MifRender(), Crlf("// DONT_SCAN\n\nSTART COMPONENT\n\n"
                                "START GROUP\n"
                                "\tNAME = \"P\"\n"
                                "\tCLASS = \"Corvane|Processor|1.0\"\n"
                                "\n\tSTART ATTRIBUTE\n"
                                "\t\tNAME = \"Processor - Type\"\n"
                                "\t\tID = 1\n"
                                "\t\tACCESS = READ-ONLY\n"
                                "\t\tTYPE = STRING(64)\n"
                                "\t\tVALUE = \"b\"\n"
                                "\tEND ATTRIBUTE\n\n"
                                "END GROUP\n\n\nEND COMPONENT"));
}

TEST_F(MifTest, SchemaHasFifteenGroupsInOrderAndBeginsAsDocumented) {
    MifBuildSchema();
    const std::string out = MifRender();
    EXPECT_EQ(out.rfind(Crlf("// DONT_SCAN\n\n"
                             "START COMPONENT\n\n"
                             "NAME = \"Varik Corvane Inventory PC MIF for NT Machines\"\n\n"
                             "DESCRIPTION = \"This component represents NT Servers/Workstations\"\n\n"
                             "START GROUP\n"
                             "\tNAME = \"ComponentID\"\n"
                             "\tID = 1\n"
                             "\tCLASS = \"DMTF|ComponentID|1.0\"\n"
                             "\tDESCRIPTION = \"This group defines attributes common to all components\"\n"
                             "\n\tSTART ATTRIBUTE\n"
                             "\t\tNAME = \"Manufacturer\"\n"
                             "\t\tID = 1\n"
                             "\t\tACCESS = READ-ONLY\n"
                             "\t\tTYPE = STRING(32)\n"
                             "\t\tVALUE = \"\"\n"
                             "\tEND ATTRIBUTE\n\n"),
                       0),
              0u);
    EXPECT_EQ(out.substr(out.size() - 28), "END GROUP\r\n\r\n\r\nEND COMPONENT");

    // With no rows anywhere, every group carries its ID line: 1 to 15 in order.
    std::regex id_re("START GROUP\r\n\tNAME = \"([^\"]*)\"\r\n\tID = (\\d+)\r\n\tCLASS = \"([^\"]*)\"");
    std::vector<std::string> classes;
    int expected_id = 1;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), id_re); it != std::sregex_iterator(); ++it) {
        EXPECT_EQ((*it)[2].str(), std::to_string(expected_id++));
        classes.push_back((*it)[3].str());
    }
    const std::vector<std::string> want = {
        kMifClassComponentId, kMifClassConnections, kMifClassProcessor,  kMifClassCoprocessor,
        kMifClassSystemResources, kMifClassPorts,   kMifClassMemory,     kMifClassMassStorage,
        kMifClassLogicalDrive, kMifClassOperatingSystem, kMifClassIpxLan, kMifClassEnvironment,
        kMifClassDrivers,     kMifClassConfigFiles, kMifClassSoftware};
    EXPECT_EQ(classes, want);
    EXPECT_NE(out.find("\t\tNAME = \"Product\"\r\n\t\tID = 2\r\n\t\tACCESS = READ-ONLY\r\n"
                       "\t\tTYPE = STRING(32)\r\n\t\tVALUE = \"PC\"\r\n"),
              std::string::npos);

    // A row in the Software table: the ID moves to the header and the key appears.
    MifAddTableRow(kMifClassSoftware, "\"p\"");
    const std::string with_row = MifRender();
    EXPECT_NE(with_row.find("\t\tNAME = \"Path\"\r\n\t\tID = 7\r\n\t\tACCESS = READ-ONLY\r\n"
                            "\t\tTYPE = STRING(128)\r\n\t\tVALUE = \"\"\r\n\tEND ATTRIBUTE\r\n\r\n"
                            "Key = 3,7\r\n\r\nEND GROUP\r\n\r\nStart Table\r\n"
                            "\tNAME = \"Software Table\"\r\n\tID = 15\r\n"
                            "\tCLASS = \"Corvane|Software|1.0\"\r\n\t{\"p\"}\r\nEnd Table\r\n\r\n"
                            "\r\nEND COMPONENT"),
              std::string::npos);
}

TEST_F(MifTest, WriteStoresTheRenderedBytes) {
    MifBuildSchema();
    MifAddAttribute(kMifClassMemory, "Memory - Physical - Bytes Total", nullptr, "STRING(32)",
                    " 262144 KB");
    const std::string path = ::testing::TempDir() + "qvmif_test.mif";
    ASSERT_TRUE(MifWrite(path.c_str()));
    std::ifstream f(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, MifRender());
    std::remove(path.c_str());
    EXPECT_FALSE(MifWrite((::testing::TempDir() + "no/such/dir/x.mif").c_str()));
}

TEST(MifDirectory, BackslashPathGetsTheFirstFixedDrive) {
    struct Case { const char* value; int drive; const char* want; };
    const Case cases[] = {
        {"\\DMI\\MIFS", 3, "D:\\DMI\\MIFS"},
        {"\\DMI\\MIFS", 2, "C:\\DMI\\MIFS"},
        {"E:\\MIFS", 3, "E:\\MIFS"},
        {"C:\\DMI\\DOS\\MIFS", 2, "C:\\DMI\\DOS\\MIFS"},
        {"", 2, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(MifDirectoryFromSetting(c.value, c.drive), c.want) << c.value;
}

}  // namespace
}  // namespace qv::scanner
