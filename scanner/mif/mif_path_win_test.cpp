#include "scanner/mif/mif_path.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "scanner/mif/mif.h"

namespace qv::scanner {
namespace {

const char* const kIni = "C:\\qvmiftest\\QVAPPL.INI";

void WriteIni(const char* value) {
    CreateDirectoryChain("C:\\qvmiftest");
    ASSERT_TRUE(WritePrivateProfileStringA("Corvane Inventory", "MifPath", value, kIni));
}

bool IsDirectory(const char* path) {
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

class MifPathTest : public ::testing::Test {
protected:
    void TearDown() override {
        MifFree();
        DeleteFileA(kIni);
        WritePrivateProfileStringA(nullptr, nullptr, nullptr, kIni);  // drop the cached file
    }
};

TEST_F(MifPathTest, MissingDatabaseGivesTheDefaultDirectory) {
    MifLocation loc = ResolveMifPath("C:\\qvmiftest\\none.ini", 2, false);
    EXPECT_EQ(loc.directory, "C:\\DMI\\DOS\\MIFS");
    EXPECT_EQ(loc.output_path, "");
    EXPECT_FALSE(MifActive());
}

TEST_F(MifPathTest, BackslashValueGetsTheFirstFixedDriveAndTheChainIsCreated) {
    WriteIni("\\qvmiftest\\deep\\mifs");
    char cwd_before[MAX_PATH], cwd_after[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd_before);
    MifLocation loc = ResolveMifPath(kIni, 2, true);
    GetCurrentDirectoryA(MAX_PATH, cwd_after);
    EXPECT_EQ(loc.directory, "C:\\qvmiftest\\deep\\mifs");
    EXPECT_EQ(loc.output_path, "C:\\QVMIFTEST\\DEEP\\MIFS\\QVISCAN.MIF");
    EXPECT_TRUE(IsDirectory("C:\\qvmiftest\\deep\\mifs"));
    EXPECT_STREQ(cwd_before, cwd_after);
    EXPECT_TRUE(MifActive());
    EXPECT_TRUE(MifWrite(loc.output_path.c_str()));
    EXPECT_TRUE(DeleteFileA(loc.output_path.c_str()));
    RemoveDirectoryA("C:\\qvmiftest\\deep\\mifs");
    RemoveDirectoryA("C:\\qvmiftest\\deep");

    // Asked for a different first fixed drive, the prefix follows it.
    EXPECT_EQ(ResolveMifPath(kIni, 3, false).directory, "D:\\qvmiftest\\deep\\mifs");
}

TEST_F(MifPathTest, ChainOverAFileFails) {
    CreateDirectoryChain("C:\\qvmiftest");
    HANDLE h = CreateFileA("C:\\qvmiftest\\plain", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_FALSE(CreateDirectoryChain("C:\\qvmiftest\\plain\\sub"));
    EXPECT_TRUE(CreateDirectoryChain("C:\\qvmiftest\\"));  // trailing backslash, existing
    DeleteFileA("C:\\qvmiftest\\plain");
}

}  // namespace
}  // namespace qv::scanner
