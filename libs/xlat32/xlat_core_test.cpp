#include "libs/xlat32/xlat_core.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace qv::xlat;

const LeadBytes kSjis = ShiftJisLeadBytes();
const LeadBytes kSingle;

// "\x95\x5C" is a Shift-JIS character whose second byte is a backslash: the
// walks must treat it as one character and never report a backslash inside it.
TEST(CharWalk, DoubleByteCharactersCountAsOne) {
    struct Case { const char* text; const LeadBytes* lead; std::vector<int> vals; };
    const Case cases[] = {
        {"a\\b", &kSjis, {'a', '\\', 'b'}},
        {"\x95\x5C\\", &kSjis, {0x955C, '\\'}},
        {"\x95\x5C\\", &kSingle, {0x95, '\\', '\\'}},
        {" \x82\xA0\r", &kSjis, {' ', 0x82A0, '\r'}},
        {"x\x81", &kSjis, {'x', 0x81}},  // lead byte cut off by the terminator
        {"\xE0\x40\xFC\xFC", &kSjis, {0xE040, 0xFCFC}},
    };
    for (const Case& c : cases) {
        std::vector<int> got;
        std::vector<const char*> starts;
        for (const char* p = c.text; *p; p = NextChar(p, *c.lead)) {
            got.push_back(CharVal(p, *c.lead));
            starts.push_back(p);
            ASSERT_LE(got.size(), std::strlen(c.text)) << c.text;
        }
        EXPECT_EQ(got, c.vals) << c.text;
        // Walking back from the terminator visits the same starts in reverse.
        const char* end = c.text + std::strlen(c.text);
        for (std::size_t i = starts.size(); i-- > 0;) {
            end = PrevChar(c.text, end, *c.lead);
            EXPECT_EQ(end, starts[i]) << c.text << " index " << i;
        }
        EXPECT_EQ(PrevChar(c.text, c.text, *c.lead), c.text);
    }
}

TEST(CharWalk, StaysOnTheTerminator) {
    const char text[] = "";
    EXPECT_EQ(NextChar(text, kSjis), text);
    EXPECT_EQ(CharVal(text, kSjis), 0);
}

TEST(CharWalk, CharLengthReadsThePackedBytes) {
    struct Case { std::uint32_t bytes; const LeadBytes* lead; int want; };
    const Case cases[] = {
        {0x00005C95, &kSjis, 2}, {0x00005C95, &kSingle, 1}, {0x00000095, &kSjis, 1},
        {0x00004161, &kSjis, 1}, {0x00000000, &kSjis, 1},   {0x414181E0, &kSjis, 2},
    };
    for (const Case& c : cases) EXPECT_EQ(CharLength(c.bytes, *c.lead), c.want) << std::hex << c.bytes;
}

TEST(Numbers, AtoiReadsLikeTheRuntimeAndSaturates) {
    struct Case { const char* text; int want; };
    const Case cases[] = {
        {"42", 42},          {"  -17xyz", -17},   {"\t+8", 8},  {"", 0},
        {"abc", 0},          {"-", 0},            {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN}, {"99999999999999999999", INT_MAX},
        {"-99999999999999999999", INT_MIN},       {"007", 7},
    };
    for (const Case& c : cases) EXPECT_EQ(Atoi(c.text), c.want) << c.text;
}

TEST(Numbers, ItoaWritesEveryInt) {
    struct Case { int value; const char* want; };
    const Case cases[] = {{0, "0"}, {7, "7"}, {-7, "-7"}, {INT_MAX, "2147483647"}, {INT_MIN, "-2147483648"}};
    for (const Case& c : cases) {
        char buf[kItoaBufferMin];
        EXPECT_EQ(Itoa(c.value, buf), buf);
        EXPECT_STREQ(buf, c.want);
    }
}

TEST(Strncpy, CopiesWholeCharactersOnly) {
    struct Case { const char* src; std::size_t count; const LeadBytes* lead; std::string want; };
    const Case cases[] = {
        {"abcdef", 3, &kSjis, "abc"},
        {"ab", 5, &kSjis, std::string("ab\0\0\0", 5)},
        {"a\x95\x5C", 2, &kSjis, std::string("a\0", 2)},  // no half character at the end
        {"a\x95\x5C", 2, &kSingle, "a\x95"},
        {"a\x95\x5C", 3, &kSjis, "a\x95\x5C"},
        {"", 2, &kSjis, std::string("\0\0", 2)},
        {"abc", 0, &kSjis, ""},
    };
    for (const Case& c : cases) {
        char buf[8];
        std::memset(buf, 'X', sizeof buf);
        Strncpy(buf, c.src, c.count, *c.lead);
        EXPECT_EQ(std::string(buf, c.count), c.want) << c.src << " " << c.count;
        EXPECT_EQ(buf[c.count], 'X') << "wrote past count";
    }
}

TEST(FormatNumbers, FillsIntegerPlaceholders) {
    struct Case { const char* tmpl; std::vector<int> values; std::size_t count; const char* want; };
    const Case cases[] = {
        {"Video - Adapter %d - String =", {0}, 1, "Video - Adapter 0 - String ="},
        {"%4d KB", {640}, 1, " 640 KB"},
        {"%d x %d", {800, 600}, 2, "800 x 600"},
        {"%6u|%-4d|%05ld|%X|%o", {12, 3, 42, 255, 8}, 5, "    12|3   |00042|FF|10"},
        {"%u", {-1}, 1, "4294967295"},
        {"%hd %hu", {70000, -1}, 2, "4464 65535"},
        {"%c%c", {'O', 'K'}, 2, "OK"},
        {"100%% of %d", {3}, 1, "100% of 3"},
        {"no placeholder", {0}, 0, "no placeholder"},
        // Conversions that would read a pointer or a double are not filled.
        {"%s and %d and %n %p %f %*d", {5}, 1, "%s and 5 and %n %p %f %*d"},
        {"%1000d", {1}, 0, "%1000d"},  // absurd widths are not honoured
        {"tail %", {}, 0, "tail %"},
        {"%d %d", {1}, 2, "1 0"},      // a missing value is 0
    };
    for (const Case& c : cases) {
        char out[64];
        EXPECT_EQ(CountNumberPlaceholders(c.tmpl), c.count) << c.tmpl;
        std::size_t n = FormatNumbers(c.tmpl, c.values.data(), c.values.size(), out, sizeof out, kSjis);
        EXPECT_STREQ(out, c.want) << c.tmpl;
        EXPECT_EQ(n, std::strlen(c.want));
    }
}

TEST(FormatNumbers, NeverWritesPastCapacityNorSplitsACharacter) {
    struct Case { const char* tmpl; int value; std::size_t cap; const char* want; };
    const Case cases[] = {
        {"abcdef", 0, 4, "abc"},
        {"ab%d", 12345, 5, "ab12"},
        {"%100d", 7, 6, "     "},
        {"a\x95\x5C", 0, 3, "a"},
        {"\x95\x5C%d", 9, 3, "\x95\x5C"},
        {"%c\x40", 0x95, 2, ""},  // a %c lead byte left alone at the cut is removed
        {"xyz", 0, 1, ""},
    };
    for (const Case& c : cases) {
        char out[16];
        std::memset(out, 'X', sizeof out);
        std::size_t n = FormatNumbers(c.tmpl, &c.value, 1, out, c.cap, kSjis);
        EXPECT_STREQ(out, c.want) << c.tmpl << " cap " << c.cap;
        EXPECT_EQ(n, std::strlen(c.want));
        for (std::size_t i = c.cap; i < sizeof out; ++i) ASSERT_EQ(out[i], 'X') << c.tmpl << " byte " << i;
    }
    char untouched = 'X';
    EXPECT_EQ(FormatNumbers("abc", nullptr, 0, &untouched, 0, kSjis), 0u);
    EXPECT_EQ(untouched, 'X');
}

std::vector<unsigned char> Block(const std::vector<std::u16string>& texts) {
    std::vector<unsigned char> b;
    for (const auto& t : texts) {
        b.push_back(t.size() & 0xFF);
        b.push_back(t.size() >> 8);
        for (char16_t u : t) {
            b.push_back(u & 0xFF);
            b.push_back(u >> 8);
        }
    }
    return b;
}

TEST(StringBlock, FindsTextsAndRejectsDamagedBlocks) {
    std::vector<std::u16string> texts(16);
    texts[0] = u"zero";
    texts[3] = u"three";
    texts[15] = u"last";
    auto b = Block(texts);
    struct Case { unsigned index; std::size_t size; bool found; std::size_t offset; std::size_t units; };
    const Case cases[] = {
        {0, b.size(), true, 2, 4},
        {3, b.size(), true, 2 + 8 + 2 + 2 + 2, 5},
        {15, b.size(), true, b.size() - 8, 4},
        {1, b.size(), false, 0, 0},       // absent text
        {16, b.size(), false, 0, 0},      // not in a block
        {15, b.size() - 1, false, 0, 0},  // last text cut short
        {3, 12, false, 0, 0},             // block ends inside the lengths
        {0, 0, false, 0, 0},
        {0, 1, false, 0, 0},
    };
    for (const Case& c : cases) {
        std::size_t offset = 0, units = 0;
        EXPECT_EQ(FindInStringBlock(b.data(), c.size, c.index, &offset, &units), c.found)
            << c.index << " size " << c.size;
        if (c.found) {
            EXPECT_EQ(offset, c.offset);
            EXPECT_EQ(units, c.units);
        }
    }
}

TEST(LanguageLibrary, PathIsProgramDirectoryCodeAbbrevDll) {
    struct Case { const char* module; const char* code; const char* abbrev; std::size_t cap; const char* want; };
    const Case cases[] = {
        {"C:\\QV\\qviscnnt.exe", "scnnt", "ENU", 260, "C:\\QV\\scnntENU.DLL"},
        {"P:\\rchost32.exe", "RCH32", "deu", 260, "P:\\RCH32DEU.DLL"},
        {"C:/x/y/KSLAVE.EXE", "XSL32", "Fra", 260, "C:/x/y/XSL32FRA.DLL"},
        {"KSLAVE.EXE", "XSL32", "ENU", 260, "XSL32ENU.DLL"},
        {"C:\\QV\\a.exe", "scnnt", "ENU", 19, "C:\\QV\\scnntENU.DLL"},  // exactly fits
        {"C:\\QV\\a.exe", "scnnt", "ENU", 18, ""},
        {"C:\\QV\\a.exe", "..\\x", "ENU", 260, ""},  // codes are plain names
        {"C:\\QV\\a.exe", "", "ENU", 260, ""},
        {"C:\\QV\\a.exe", "toolongcode", "ENU", 260, ""},
        {"C:\\QV\\a.exe", "scnnt", "EN", 260, ""},
        {"C:\\QV\\a.exe", "scnnt", "E.U", 260, ""},
        {"C:\\QV\\a.exe", "scnnt", "ENUS", 260, ""},
    };
    for (const Case& c : cases) {
        char out[260];
        std::memset(out, 'X', sizeof out);
        bool ok = LanguageLibraryPath(c.module, c.code, c.abbrev, out, c.cap);
        EXPECT_EQ(ok, *c.want != '\0') << c.module << " " << c.code << " " << c.abbrev;
        EXPECT_STREQ(out, c.want);
    }
}

}  // namespace
