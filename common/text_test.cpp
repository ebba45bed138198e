#include "common/text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(CopyBounded, NeverWritesPastTheField) {
    struct Case { const char* src; std::size_t cap; const char* want; bool fitted; };
    const Case cases[] = {
        {"", 4, "", true},
        {"abc", 4, "abc", true},
        {"abcd", 4, "abc", false},
        {"abcdefgh", 1, "", false},
    };
    for (const Case& c : cases) {
        char buf[8];
        std::memset(buf, 'X', sizeof buf);
        EXPECT_EQ(qv::CopyBounded(buf, c.cap, c.src), c.fitted) << c.src;
        EXPECT_STREQ(buf, c.want);
        for (std::size_t i = c.cap; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 'X') << "byte " << i;
    }
}

TEST(StripLineBreak, RemovesOnlyALineBreak) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"Device ID = X\n", "Device ID = X"},
        {"Device ID = X\r\n", "Device ID = X"},
        {"Device ID = X", "Device ID = X"},  // last line without a break keeps its last character
        {"", ""},
        {"\n", ""},
    };
    for (const Case& c : cases) {
        std::string s = c.in;
        qv::StripLineBreak(s);
        EXPECT_EQ(s, c.out);
    }
}

TEST(StartsWithNoCase, ComparesOverThePrefixOnly) {
    EXPECT_TRUE(qv::StartsWithNoCase("device id = 1", "Device ID ="));
    EXPECT_TRUE(qv::StartsWithNoCase("_BEGINCONTENTSxyz", "_BeginContents"));
    EXPECT_FALSE(qv::StartsWithNoCase("Device I", "Device ID ="));
    EXPECT_FALSE(qv::StartsWithNoCase("Device-ID =", "Device ID ="));
    EXPECT_EQ(qv::UpperAscii("srv-1.a\x81z"), "SRV-1.A\x81Z");
}

}  // namespace
