#include "scanner/mif/mifimport_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scanner/mif/mifimport.h"
#include "scanner/records/inventory.h"

namespace qv::scanner {
namespace {

const char kDir[] = "C:\\QvMifImportTest";

void Write(const std::string& name, const std::string& text) {
    const std::string path = std::string(kDir) + "\\" + name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
    DWORD put = 0;
    EXPECT_TRUE(WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &put, nullptr));
    CloseHandle(h);
}

std::string Component(const std::string& name, const std::string& value) {
    return "Start Component\nName = \"" + name + "\"\nStart Group\nName = \"G\"\nClass = \"x|G|1\"\n"
           "Start Attribute\nName = \"A\"\nValue = \"" + value + "\"\nEnd Attribute\nEnd Group\nEnd Component\n";
}

class MifImportWalk : public ::testing::Test {
protected:
    void SetUp() override {
        Clean();
        ASSERT_TRUE(CreateDirectoryA(kDir, nullptr));
        ASSERT_TRUE(CreateDirectoryA((std::string(kDir) + "\\sub.mif").c_str(), nullptr));
        ResetInventoryStream();
        SetInventoryFlatSink(&flat_);
    }
    void TearDown() override {
        SetInventoryFlatSink(nullptr);
        Clean();
    }
    static void Clean() {
        for (const char* name : {"b.mif", "A.MIF", "QVISCAN.MIF", "c.txt", "locked.mif", "cut.mif"})
            DeleteFileA((std::string(kDir) + "\\" + name).c_str());
        RemoveDirectoryA((std::string(kDir) + "\\sub.mif").c_str());
        RemoveDirectoryA(kDir);
    }
    StringFlatSink flat_;
};

TEST_F(MifImportWalk, EveryMifFileInListingOrderButOurOwn) {
    Write("b.mif", Component("Second", "2"));
    Write("A.MIF", Component("First", "1"));
    Write("QVISCAN.MIF", "// DONT_SCAN\r\n\r\n" + Component("Own", "0"));
    Write("c.txt", Component("Text", "3"));
    // A lower-case directory without its trailing backslash.
    ImportCustomMifs("c:\\qvmifimporttest");
    EXPECT_EQ(flat_.text, "MIF-First-G-A = 1\r\nMIF-Second-G-A = 2\r\n");
}

TEST_F(MifImportWalk, MissingOrEmptyDirectoryAndUnreadableFile) {
    ImportCustomMifs("");
    ImportCustomMifs("C:\\NoSuchMifDirectory\\");
    ImportMifFile(std::string(kDir) + "\\none.mif");
    EXPECT_EQ(flat_.text, "");
    Write("A.MIF", Component("First", "1"));
    ImportCustomMifs(std::string(kDir) + "\\");
    EXPECT_EQ(flat_.text, "MIF-First-G-A = 1\r\n");
}

// A file whose import a limit cut short adds an item naming it, after its
// own items, and the caller hears of it; a whole one does neither.
TEST_F(MifImportWalk, CutImportIsReportedNeverSilent) {
    std::string lines = "Start Table\n";
    for (std::size_t i = 0; i <= kMifTableListMax; ++i) lines += "Class = \"c\"\n";
    Write("cut.mif", lines + "End Table\n" + Component("Big", "1"));
    std::vector<std::string> told;
    ImportCustomMifs(kDir, [&told](const std::string& path) { told.push_back(path); });
    EXPECT_EQ(flat_.text, "MIF-Big-G-A = 1\r\nMIF Import - Cut = C:\\QVMIFIMPORTTEST\\cut.mif\r\n");
    EXPECT_EQ(told, std::vector<std::string>{"C:\\QVMIFIMPORTTEST\\cut.mif"});

    flat_.text.clear();
    told.clear();
    Write("cut.mif", Component("Whole", "2"));
    ImportCustomMifs(kDir, [&told](const std::string& path) { told.push_back(path); });
    EXPECT_EQ(flat_.text, "MIF-Whole-G-A = 2\r\n");
    EXPECT_TRUE(told.empty());
}

}  // namespace
}  // namespace qv::scanner
