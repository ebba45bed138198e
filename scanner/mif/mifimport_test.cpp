#include "scanner/mif/mifimport.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "scanner/mif/mif.h"

namespace qv::scanner {
namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

struct Imported {
    bool read = false;
    bool cut = false;
    Items items;
};

Imported Import(const std::string& text) {
    Imported r;
    const MifImportResult result =
        ImportMifText(text, [&r](std::string_view k, std::string_view v) { r.items.emplace_back(k, v); });
    r.read = result != MifImportResult::kSkipped;
    r.cut = result == MifImportResult::kCut;
    return r;
}

// A component with one group of `columns` attributes and its table of
// `rows` rows; value (r, c) is "r<r>c<c>" padded with `pad` blanks inside
// its quotes. Named by group name or by a class of `class_length`.
std::string TableFile(int rows, int columns, std::size_t pad = 0, std::size_t class_length = 0) {
    const std::string cls = class_length ? std::string(class_length, 'k') : "";
    std::string t = "Start Component\nName = \"Big\"\nStart Group\nName = \"G\"\n";
    if (!cls.empty()) t += "Class = \"" + cls + "\"\n";
    for (int c = 1; c <= columns; ++c)
        t += "Start Attribute\nName = \"A" + std::to_string(c) + "\"\nID = " + std::to_string(c) + "\nEnd Attribute\n";
    t += "End Group\nStart Table\nName = \"T\"\n";
    t += cls.empty() ? "GroupName = \"G\"\n" : "Class = \"" + cls + "\"\n";
    for (int r = 1; r <= rows; ++r) {
        t += "{";
        for (int c = 1; c <= columns; ++c)
            t += (c > 1 ? "," : "") + ("\"r" + std::to_string(r) + "c" + std::to_string(c) + std::string(pad, ' ') + "\"");
        t += "}\n";
    }
    return t + "End Table\nEnd Component\n";
}

// A component of 20 characters, a group of 18 and an attribute of 12.
const std::string kScalars =
    "START COMPONENT\r\n"
    "  NAME = \"ACME NETWORK MONITOR\"\r\n"
    "  START GROUP\r\n"
    "    NAME = \"Monitor Settings X\"\r\n"
    "    CLASS = \"Acme|Settings|1.0\"\r\n"
    "    ID = 2\r\n"
    "    START ATTRIBUTE\r\n"
    "      NAME = \"Polling Rate\"\r\n"
    "      ID = 1\r\n"
    "      TYPE = INTEGER\r\n"
    "      VALUE = 30\r\n"
    "    END ATTRIBUTE\r\n"
    "    START ATTRIBUTE\r\n"
    "      NAME = \"Live Counter\"\r\n"
    "      ID = 2\r\n"
    "      VALUE = *\"acmeinst.dll\"\r\n"
    "    END ATTRIBUTE\r\n"
    "  END GROUP\r\n"
    "END COMPONENT\r\n";

TEST(MifImport, ScalarKeysAreCutAndDynamicValuesNamed) {
    Imported r = Import(kScalars);
    EXPECT_TRUE(r.read);
    EXPECT_EQ(r.items, (Items{{"MIF-ACME NETWO-Monitor Set-Polling Rat =", "30"},
                              {"MIF-ACME NETWO-Monitor Set-Live Counte =", "Dynamic"}}));
}

TEST(MifImport, NoMifHeaderGivesShortKeys) {
    const std::string long_name(45, 'a');
    std::string text = "// NO_MIF_HEADER\n" + kScalars;
    Imported r = Import(text);
    EXPECT_EQ(r.items, (Items{{"Polling Rate =", "30"}, {"Live Counter =", "Dynamic"}}));

    Imported cut = Import("// NO_MIF_HEADER\nStart Component\nName = \"C\"\nStart Group\nName = \"G\"\n"
                          "Class = \"x\"\nStart Attribute\nName = \"" + long_name + "\"\nValue = \"v w\"\n");
    EXPECT_EQ(cut.items, (Items{{std::string(37, 'a') + " =", "v w"}}));
    // One word "//NO_MIF_HEADER" is not the mark.
    EXPECT_EQ(Import("//NO_MIF_HEADER\n" + kScalars).items.size(), 2u);
    EXPECT_EQ(Import("//NO_MIF_HEADER\n" + kScalars).items[0].first, "MIF-ACME NETWO-Monitor Set-Polling Rat =");
}

TEST(MifImport, DontScanFilesAreSkipped) {
    Imported marked = Import("// DONT_SCAN\n" + kScalars);
    EXPECT_FALSE(marked.read);
    EXPECT_TRUE(marked.items.empty());
    // The mark anywhere in the file, as two words.
    EXPECT_FALSE(Import(kScalars + "\n   //\r\n\tDONT_SCAN").read);
    EXPECT_TRUE(Import("//DONT_SCAN\n" + kScalars).read);

    // Our own MIF file.
    MifBuildSchema();
    MifAddTableRow(kMifClassPorts, "\"COM\",\"1\",\"3F8H\"");
    const std::string own = MifRender();
    MifFree();
    ASSERT_FALSE(own.empty());
    Imported self = Import(own);
    EXPECT_FALSE(self.read);
    EXPECT_TRUE(self.items.empty());
}

const std::string kTable =
    "START COMPONENT\n"
    "NAME = \"Acme Inventory Agent\"\n"
    "START GROUP\n"
    "  NAME = \"Installed Packages\"\n"
    "  CLASS = \"Acme|Packages|1.0\"\n"
    "  KEY = 1\n"
    "  START ATTRIBUTE\n    NAME = \"Package\"\n    ID = 1\n    TYPE = STRING(32)\n  END ATTRIBUTE\n"
    "  START ATTRIBUTE\n    NAME = \"Version\"\n    ID = 2\n    TYPE = STRING(16)\n  END ATTRIBUTE\n"
    "  START ATTRIBUTE\n    NAME = \"Vendor\"\n    ID = 3\n    TYPE = STRING(16)\n  END ATTRIBUTE\n"
    "END GROUP\n"
    "START TABLE\n"
    "  NAME = \"Package Table\"\n"
    "  CLASS = \"Acme|Packages|1.0\"\n"
    "  ID = 2\n"
    "  {\"Editor\",\"1.0\",\"Acme, Inc.\"}\n"
    "  {\"Mailer\", \"2.5\" , Acme}   // comment, with a comma {\n"
    "  {\"Lonely\"}\n"
    "END TABLE\n"
    "START GROUP\n  NAME = \"After\"\n  CLASS = \"Acme|After|1.0\"\n"
    "  START ATTRIBUTE\n    NAME = \"Flag\"\n    VALUE = \"on\"\n  END ATTRIBUTE\nEND GROUP\n"
    "END COMPONENT\n";

TEST(MifImport, ThreeRowTableGivesAColumnPerAttribute) {
    Imported r = Import(kTable);
    EXPECT_EQ(r.items, (Items{
                           {"MIF-Acme Inven-Installed P-Package1 =", "Editor"},
                           {"MIF-Acme Inven-Installed P-Package2 =", "Mailer"},
                           {"MIF-Acme Inven-Installed P-Package3 =", "Lonely"},
                           {"MIF-Acme Inven-Installed P-Version1 =", "1.0"},
                           {"MIF-Acme Inven-Installed P-Version2 =", "2.5"},
                           // A row with fewer values gives an empty one, not the next row's.
                           {"MIF-Acme Inven-Installed P-Version3 =", ""},
                           {"MIF-Acme Inven-Installed P-Vendor1 =", "Acme, Inc."},
                           {"MIF-Acme Inven-Installed P-Vendor2 =", "Acme"},
                           {"MIF-Acme Inven-Installed P-Vendor3 =", ""},
                           {"MIF-Acme Inven-After-Flag =", "on"},
                       }));

    Imported short_keys = Import("// NO_MIF_HEADER\n" + kTable);
    ASSERT_EQ(short_keys.items.size(), 10u);
    EXPECT_EQ(short_keys.items[0], (std::pair<std::string, std::string>{"Package1 =", "Editor"}));
    EXPECT_EQ(short_keys.items[5].first, "Version3 =");
}

// Tables of real-world size import whole, in any column, and tables found by
// a class longer than the names' limit still find their rows.
TEST(MifImport, WellFormedTablesImportWhole) {
    const struct {
        int rows, columns;
        std::size_t pad, class_length;
    } cases[] = {
        {5000, 20, 4, 0},     // about 2.4 MB: every column and row
        {3, 2, 0, 81},        // a class one character over the limit
        {3, 2, 0, 200},
        {2, 300, 0, 0},       // wider than any row kept before
    };
    for (const auto& c : cases) {
        const std::string text = TableFile(c.rows, c.columns, c.pad, c.class_length);
        Imported r = Import(text);
        EXPECT_FALSE(r.cut) << c.rows << "x" << c.columns;
        ASSERT_EQ(r.items.size(), static_cast<std::size_t>(c.rows) * c.columns) << c.rows << "x" << c.columns << " " << c.class_length;
        for (int col = 1; col <= c.columns; col += c.columns - 1) {
            for (int row = 1; row <= c.rows; row += c.rows - 1) {
                const auto& item = r.items[static_cast<std::size_t>(col - 1) * c.rows + row - 1];
                EXPECT_EQ(item.first, "MIF-Big-G-A" + std::to_string(col) + std::to_string(row) + " =");
                EXPECT_EQ(item.second, "r" + std::to_string(row) + "c" + std::to_string(col) + std::string(c.pad, ' '));
            }
            if (c.columns == 1) break;
        }
    }
}

// A file that hits a limit keeps the items read up to it and is reported as
// cut; well-formed files never are.
TEST(MifImport, LimitsCutAndSaySo) {
    std::string many_lines = "Start Table\n";
    for (std::size_t i = 0; i <= kMifTableListMax; ++i) many_lines += "Class = \"c" + std::to_string(i) + "\"\n";
    many_lines += "End Table\n";
    // Groups that take turns between two long tables, each reading its
    // table again.
    std::string rereads;
    for (const char* name : {"G1", "G2"}) {
        rereads += "Start Table\nGroupName = \"" + std::string(name) + "\"\n";
        for (int r = 0; r < 500; ++r) rereads += "{\"" + std::string(200, 'v') + "\"}\n";
        rereads += "End Table\n";
    }
    for (int g = 0; g < 80; ++g)
        rereads += std::string("Start Component\nName = \"Again\"\nStart Group\nName = \"G") + (g % 2 ? "2" : "1") +
                   "\"\nStart Attribute\nName = \"A\"\nID = 1\nEnd Attribute\nEnd Group\nEnd Component\n";
    std::string wide = "Start Component\nName = \"W\"\nStart Group\nName = \"G\"\nStart Attribute\nName = \"A\"\nID = 1\n"
                       "End Attribute\nEnd Group\nStart Table\nGroupName = \"G\"\n{" +
                       std::string(kMifTableValuesMax + 10, ',') + "}\n{\"last\"}\nEnd Table\nEnd Component\n";
    const struct {
        const char* name;
        std::string text;
        bool cut;
        std::size_t at_least;
    } cases[] = {
        {"well-formed", kTable, false, 10},
        {"table lines beyond the list, then a group", many_lines + kScalars, true, 2},
        {"tables read again past the budget", rereads, true, 10000},
        {"a table of too many values", wide, true, 1},
        {"longer than the file limit", kScalars + std::string(kMifImportFileMax, ' '), true, 2},
    };
    for (const auto& c : cases) {
        Imported r = Import(c.text);
        EXPECT_EQ(r.cut, c.cut) << c.name;
        EXPECT_TRUE(r.read) << c.name;
        EXPECT_GE(r.items.size(), c.at_least) << c.name;
    }
}

TEST(MifImport, TableFoundByGroupName) {
    const std::string text =
        "Start Component\nName = \"Disks Inc\"\n"
        "Start Group\nName = \"disks\"\nStart Attribute\nName = \"Size\"\nID = 4\nEnd Attribute\nEnd Group\n"
        "Start Table\nGroupName = \"DISKS\"\n{\"10 MB\"}\n{\"20 MB\"}\nEnd Table\nEnd Component\n";
    EXPECT_EQ(Import(text).items, (Items{{"MIF-Disks Inc-disks-Size1 =", "10 MB"}, {"MIF-Disks Inc-disks-Size2 =", "20 MB"}}));

    // "end" inside a row (an unquoted "Vendor") is a value, not the table's end.
    const std::string words =
        "Start Component\nName = \"C\"\nStart Group\nName = \"g\"\nStart Attribute\nName = \"N\"\nID = 1\n"
        "End Attribute\nEnd Group\nStart Table\nGroupName = \"g\"\n{1, Vendor}\n{2, Pending}\nEnd Table\nEnd Component\n";
    EXPECT_EQ(Import(words).items, (Items{{"MIF-C-g-N1 =", "1"}, {"MIF-C-g-N2 =", "2"}}));
}

TEST(MifImport, TokenizerCommentsEnumsAndQuotes) {
    const std::string text =
        "// a comment: Start Group\n"
        "Start Enum\n Name = \"Ignored\"\n Component\nEnd Enum\n"
        "Start Component  // Start\n"
        "Name = \"Quote \\\" Co\"\n"
        "Start Group\nName=\"G/1\"\nClass=\"x|y|1\"\n"
        "Start Attribute\nName = Plain/Name\nValue = \"a = b // c\"\nEnd Attribute\n"
        "Start Attribute\nName = \"" + std::string(100, 'n') + "\"\nValue = \"" + std::string(100, 'v') + "\"\n"
        "End Attribute\nEnd Group\nEnd Component\n";
    Imported r = Import(text);
    ASSERT_EQ(r.items.size(), 2u);
    EXPECT_EQ(r.items[0], (std::pair<std::string, std::string>{"MIF-Quote \\\" C-G/1-PlainName =", "a = b // c"}));
    EXPECT_EQ(r.items[1], (std::pair<std::string, std::string>{"MIF-Quote \\\" C-G/1-nnnnnnnnnnn =", std::string(80, 'v')}));
}

TEST(MifImport, EmptyAndBrokenFilesGiveWhatTheRulesYield) {
    EXPECT_TRUE(Import("").items.empty());
    EXPECT_TRUE(Import("End End End Start").items.empty());
    // A table whose rows never end, an attribute whose ID never comes.
    EXPECT_TRUE(Import("Start Table\nClass = \"c\"\n{\"a").items.empty());
    Imported r = Import("Start Table\nClass = \"c\"\n{\"a\"}\nEnd Table\nStart Component\nName = \"\"\nStart Group\n"
                        "Name = \"g\"\nClass = \"c\"\nStart Attribute\nName = \"n\"\nID = 1\nEnd");
    EXPECT_EQ(r.items, (Items{{"MIF--g-n1 =", "a"}}));
}

}  // namespace
}  // namespace qv::scanner
