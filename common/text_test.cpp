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

TEST(NoCase, FoldsTheAsciiLettersOnly) {
    struct Case { const char* a; const char* b; bool equal; bool starts; };
    const Case cases[] = {
        {"device id = 1", "Device ID =", false, true},
        {"_BEGINCONTENTSxyz", "_BeginContents", false, true},
        {"Device I", "Device ID =", false, false},      // shorter than the prefix
        {"Device-ID =", "Device ID =", false, false},
        {"GenuineIntel", "GENUINEINTEL", true, true},
        {"", "", true, true},
        {"abc", "", false, true},
        {"[", "{", false, false},                         // 0x5B and 0x7B are not a letter pair
        {"@", "`", false, false},                         // nor are 0x40 and 0x60
        {"\xe4\x81", "\xc4\x81", false, false},           // bytes above 127 compare exactly
        {"x\x81z", "X\x81Z", true, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qv::EqualNoCase(c.a, c.b), c.equal) << c.a << " | " << c.b;
        EXPECT_EQ(qv::EqualNoCase(c.b, c.a), c.equal) << c.b << " | " << c.a;
        EXPECT_EQ(qv::StartsWithNoCase(c.a, c.b), c.starts) << c.a << " | " << c.b;
    }
    EXPECT_EQ(qv::UpperAscii("srv-1.a\x81z[{`~"), "SRV-1.A\x81Z[{`~");
}

}  // namespace
