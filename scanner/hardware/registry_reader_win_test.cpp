#include "scanner/hardware/registry_reader_win.h"

#include <gtest/gtest.h>

#include <cstring>

#include "scanner/hardware/registry_fixture_win.h"

namespace qv::scanner {
namespace {

using testing::FakeMachineRegistry;

TEST(RegistryReader, OpensRelativeKeysAndKeepsItsPlaceOnFailure) {
    FakeMachineRegistry reg;
    reg.Dword("A\\B\\C", "Number", 0x12345678);
    RegistryReader r;
    EXPECT_EQ(r.key(), nullptr);
    DWORD unused = 0;
    EXPECT_FALSE(r.ReadDword("Number", unused));  // no key open: reads fail
    ASSERT_TRUE(r.Open("A"));
    EXPECT_EQ(r.path(), "A");
    ASSERT_TRUE(r.Open("B"));  // relative to A
    EXPECT_EQ(r.path(), "A\\B");
    HKEY before = r.key();
    EXPECT_FALSE(r.Open("Missing"));
    EXPECT_EQ(r.key(), before);
    EXPECT_EQ(r.path(), "A\\B");
    ASSERT_TRUE(r.Open("C"));
    DWORD n = 0;
    EXPECT_TRUE(r.ReadDword("Number", n));
    EXPECT_EQ(n, 0x12345678u);
    EXPECT_FALSE(r.ReadDword("NoSuchValue", n));
    r.Close();
    EXPECT_EQ(r.key(), nullptr);
    EXPECT_EQ(r.path(), "");
    EXPECT_FALSE(r.ReadDword("Number", n));
    EXPECT_TRUE(r.Open("A\\B\\C"));  // after closing, relative to the root again
    EXPECT_TRUE(r.Open("New\\Sub", true));
    EXPECT_EQ(r.path(), "A\\B\\C\\New\\Sub");
}

TEST(RegistryReader, FixedBufferReadsAreAlwaysTerminated) {
    FakeMachineRegistry reg;
    reg.Text("K", "Short", "abc");
    reg.Set("K", "Unterminated", REG_SZ, "wxyz", 4);
    reg.Text("K", "Long", std::string(300, 'L'));
    RegistryReader r;
    char buf[8];
    EXPECT_TRUE(r.OpenAndRead("K", "Short", buf, sizeof buf));
    EXPECT_STREQ(buf, "abc");
    std::memset(buf, 'x', sizeof buf);
    EXPECT_TRUE(r.Read("Unterminated", buf, sizeof buf));
    EXPECT_STREQ(buf, "wxyz");
    char four[4] = {'x', 'x', 'x', 'x'};
    EXPECT_FALSE(r.Read("Unterminated", four, sizeof four));  // no room for the terminator
    EXPECT_STREQ(four, "");
    char big[256];
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(r.Read("Long", big, sizeof big));  // ERROR_MORE_DATA
    EXPECT_STREQ(big, "");
    EXPECT_FALSE(r.Read("Missing", buf, sizeof buf));

    RegistryReader fresh;
    EXPECT_FALSE(fresh.OpenAndRead("NoKey", "Short", buf, sizeof buf));
}

TEST(RegistryReader, GrowingReadFollowsTheSizeTheRegistryReports) {
    FakeMachineRegistry reg;
    reg.Text("K", "Small", "tiny");
    std::string large(5000, 'g');
    large[4999] = 'Z';
    reg.Text("K", "Large", large);
    reg.Set("K", "Multi", REG_MULTI_SZ, "a\0b\0\0", 5);
    RegistryReader r;
    ASSERT_TRUE(r.Open("K"));
    std::vector<char> data;
    EXPECT_TRUE(r.ReadGrowing("Small", data));
    EXPECT_STREQ(data.data(), "tiny");
    EXPECT_TRUE(r.ReadGrowing("Large", data));
    EXPECT_EQ(std::string(data.data()), large);
    EXPECT_TRUE(r.ReadGrowing("Multi", data));
    ASSERT_EQ(data.size(), 6u);
    EXPECT_EQ(std::string(data.data(), 5), std::string("a\0b\0\0", 5));
    EXPECT_FALSE(r.ReadGrowing("Missing", data));
    EXPECT_TRUE(data.empty());
}

}  // namespace
}  // namespace qv::scanner
