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

TEST(Cp1252, RoundTripsAndRefusesWhatItCannotHold) {
    // Windows-1252 bytes, their UTF-8, and whether UTF-8 goes back.
    struct Case { const char* cp1252; const char* utf8; bool back; };
    const Case cases[] = {
        {"C:\\TEMP\\A.TXT", "C:\\TEMP\\A.TXT", true},
        {"Gr\xfc\xdf" "e \x80 \x9f", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xc5\xb8", true},
        {"\x81", "\xef\xbf\xbd", false},  // undefined in 1252: U+FFFD, which 1252 lacks
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qv::Cp1252ToUtf8(c.cp1252), c.utf8);
        EXPECT_TRUE(qv::ValidUtf8(c.utf8));
        std::string back;
        EXPECT_EQ(qv::Utf8ToCp1252(c.utf8, &back), c.back) << c.utf8;
        if (c.back) {
            EXPECT_EQ(back, c.cp1252);
        }
    }
    // Not UTF-8 (a stray byte, cut, overlong, a surrogate) or not in 1252.
    for (const char* bad : {"\xfc", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xe4\xb8\xad", "\xf0\x9f\x98\x80"}) {
        std::string out;
        EXPECT_FALSE(qv::Utf8ToCp1252(bad, &out)) << bad;
    }
    EXPECT_FALSE(qv::ValidUtf8("\xe4\xb8"));
}

}  // namespace
