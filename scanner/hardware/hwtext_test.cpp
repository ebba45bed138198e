#include "scanner/hardware/hwtext.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qv::scanner {
namespace {

TEST(MifEscaping, CopyDoublesEveryBackslash) {
    EXPECT_EQ(MifEscape("C:\\WINNT"), "C:\\\\WINNT");
    EXPECT_EQ(MifEscape("\\\\srv\\x\\"), "\\\\\\\\srv\\\\x\\\\");
    EXPECT_EQ(MifEscape("plain"), "plain");
    EXPECT_EQ(MifEscape(""), "");
}

TEST(MifEscaping, InPlaceRespectsTheBufferLimit) {
    char buf[kMifEscapeBufferSize];
    std::strcpy(buf, "C:\\WINNT;C:\\BIN");
    EXPECT_TRUE(MifEscapeInPlace(buf, sizeof buf));
    EXPECT_STREQ(buf, "C:\\\\WINNT;C:\\\\BIN");

    // Length plus twice the backslashes exactly 1024: escaped, and it fits.
    std::string fits(1020, 'a');
    fits[0] = '\\';
    fits[500] = '\\';
    std::strcpy(buf, fits.c_str());
    EXPECT_TRUE(MifEscapeInPlace(buf, sizeof buf));
    EXPECT_EQ(std::strlen(buf), 1022u);
    EXPECT_EQ(std::string(buf, 3), "\\\\a");

    // One more character and the text is left as it was.
    std::string over(1021, 'a');
    over[0] = '\\';
    over[500] = '\\';
    std::strcpy(buf, over.c_str());
    EXPECT_FALSE(MifEscapeInPlace(buf, sizeof buf));
    EXPECT_EQ(std::string(buf), over);

    // A full buffer of backslash-free text has nothing to escape.
    std::string full(1023, 'b');
    std::strcpy(buf, full.c_str());
    EXPECT_TRUE(MifEscapeInPlace(buf, sizeof buf));
    EXPECT_EQ(std::string(buf), full);
}

TEST(ValueTexts, SerialNumbers) {
    const struct { std::uint32_t serial; const char* text; } cases[] = {
        {0x1A2B3C4D, "1A2B-3C4D"}, {0x00A10003, "A1-3"}, {0, "0-0"}, {0xFFFFFFFF, "FFFF-FFFF"},
    };
    for (const auto& c : cases) EXPECT_EQ(SerialNumberText(c.serial), c.text);
}

TEST(ValueTexts, SizesInMegabytesIncludingFourGigabytesAndMore) {
    EXPECT_EQ(SizeText(1024ull * 64 * 63 * 512), "  2016.0 MB");
    EXPECT_EQ(SizeText(0), "     0.0 MB");
    EXPECT_EQ(SizeText(1474560), "     1.4 MB");
    EXPECT_EQ(SizeText(5ull << 30), "  5120.0 MB");           // would wrap in 32 bits
    EXPECT_EQ(SizeText(2000ull << 30), "2048000.0 MB");       // wider than the field
}

TEST(ValueTexts, FloppyMediaAndTheInchMark) {
    const struct { int media; unsigned id; } cases[] = {
        {1, 23}, {2, 25}, {3, 27}, {5, 24}, {6, 22}, {11, 0}, {12, 0}, {0, 145}, {4, 145}, {20, 145},
    };
    for (const auto& c : cases) EXPECT_EQ(FloppyMediaTextId(c.media), c.id) << c.media;
    EXPECT_EQ(FloppyRowMediaText("3.5\" 1.44 MB"), "3.5  1.44 MB");
    EXPECT_EQ(FloppyRowMediaText("a\"b\"c"), "a b\"c");
    EXPECT_EQ(FloppyRowMediaText("Unknown"), "Unknown");
}

TEST(ValueTexts, EnvironmentEntries) {
    const struct { const char* entry; bool ok; const char* name; const char* value; } cases[] = {
        {"path=C:\\WINNT;C:\\BIN", true, "path", "C:\\WINNT;C:\\BIN"},
        {"X=a=b", true, "X", "a"},
        {"EMPTY=", false, "", ""},
        {"=C:=C:\\", false, "", ""},
        {"NOEQUALS", false, "", ""},
        {"X==b", false, "", ""},
    };
    for (const auto& c : cases) {
        std::string name, value;
        EXPECT_EQ(SplitEnvironmentEntry(c.entry, name, value), c.ok) << c.entry;
        if (c.ok) {
            EXPECT_EQ(name, c.name);
            EXPECT_EQ(value, c.value);
        }
    }
}

TEST(ValueTexts, ServicePackBlanksAndAttributeNames) {
    EXPECT_EQ(ServicePackText(true, "Service Pack 3"), "3");
    EXPECT_EQ(ServicePackText(true, "Service Pack 6a"), "6a");
    EXPECT_EQ(ServicePackText(false, ""), "0");
    EXPECT_EQ(ServicePackText(true, "SP3"), "");
    EXPECT_FALSE(NotBlank("   "));
    EXPECT_FALSE(NotBlank(""));
    EXPECT_TRUE(NotBlank("  x "));
    EXPECT_EQ(AttributeNameFromLabel("Memory - Physical - Bytes Total ="), "Memory - Physical - Bytes Total");
    EXPECT_EQ(AttributeNameFromLabel("A = B ="), "A = B");
    EXPECT_EQ(AttributeNameFromLabel("No label"), "No label");
}

}  // namespace
}  // namespace qv::scanner
