#include "scanner/mif/mifimport_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

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
        for (const char* name : {"b.mif", "A.MIF", "QVISCAN.MIF", "c.txt", "locked.mif"})
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

}  // namespace
}  // namespace qv::scanner
