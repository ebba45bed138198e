// Wine tests of xlat32.dll and of the programs' localization start-up.
//
// The character routines are checked against the system's own walkers
// (CharNextA/CharPrevA for the ANSI code page, CharNextExA/CharPrevExA for
// code page 932 with the core's walkers fed by IsDBCSLeadByteEx). The
// language-library lookup is checked with a resource-only DLL built for the
// test, copied beside the test program under the name the lookup wants.
#include "common/win/localize_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/win/handles.h"
#include "contracts/localization.h"
#include "libs/xlat32/xlat_core.h"

namespace {

const char* const kWalkTexts[] = {
    "plain text",
    "\x95\x5C\\dir\\",        // Shift-JIS character with a backslash trail byte
    "a\x82\xA0 b\x81\x40 ",
    "\xE0\x40\xFC\xFC\x81",   // ends in a lone lead byte
    "\xC4\xD6\xDC trail  ",
    "",
};

std::vector<const char*> Starts(const char* text, const char* (*next)(const char*)) {
    std::vector<const char*> v;
    for (const char* p = text; *p; p = next(p)) v.push_back(p);
    return v;
}

// With the ANSI code page, the exports walk exactly as CharNextA and CharPrevA.
TEST(CharacterRoutines, WalkLikeTheSystemInTheAnsiCodePage) {
    for (const char* text : kWalkTexts) {
        auto ours = Starts(text, [](const char* p) -> const char* { return QVCharIncrement(p); });
        auto system = Starts(text, [](const char* p) -> const char* { return CharNextA(p); });
        EXPECT_EQ(ours, system) << text;
        const char* end = text + std::strlen(text);
        for (const char* p = end; p != text;) {
            const char* prev = QVstrrev(text, p);
            EXPECT_EQ(prev, CharPrevA(text, p)) << text;
            p = prev;
        }
        for (const char* p : ours) {
            std::uint32_t packed = 0;
            std::memcpy(&packed, p, std::min<std::size_t>(4, std::strlen(p) + 1));
            EXPECT_EQ(QVCharType(packed), QVCharIncrement(p) - p) << text;
            int val = QVCharVal(p);
            EXPECT_EQ(val, QVCharIncrement(p) - p == 2
                               ? static_cast<unsigned char>(p[0]) * 256 + static_cast<unsigned char>(p[1])
                               : static_cast<unsigned char>(p[0]));
        }
    }
    EXPECT_EQ(QVCharVal(""), 0);
}

TEST(CharacterRoutines, DoubleByteWalksAgreeWithCodePage932) {
    if (!IsValidCodePage(932)) GTEST_SKIP() << "code page 932 not available";
    qv::xlat::LeadBytes lead;
    for (unsigned b = 0x80; b <= 0xFF; ++b)
        if (IsDBCSLeadByteEx(932, static_cast<BYTE>(b))) lead.set(static_cast<unsigned char>(b));
    // The system's table is the one the host tests assume.
    qv::xlat::LeadBytes sjis = qv::xlat::ShiftJisLeadBytes();
    for (unsigned b = 0; b <= 0xFF; ++b) EXPECT_EQ(lead.is_lead(b), sjis.is_lead(b)) << b;

    for (const char* text : kWalkTexts) {
        std::vector<const char*> ours, system;
        for (const char* p = text; *p; p = qv::xlat::NextChar(p, lead)) ours.push_back(p);
        for (const char* p = text; *p; p = CharNextExA(932, p, 0)) system.push_back(p);
        EXPECT_EQ(ours, system) << text;
        const char* end = text + std::strlen(text);
        for (const char* p = end; p != text;) {
            const char* prev = qv::xlat::PrevChar(text, p, lead);
            EXPECT_EQ(prev, CharPrevExA(932, text, p, 0)) << text;
            p = prev;
        }
    }
}

TEST(NumberRoutines, ExportsConvertAndCopy) {
    char buf[kQvItoaBufferMin];
    EXPECT_EQ(QVitoa(-2147483647 - 1, buf), buf);
    EXPECT_STREQ(buf, "-2147483648");
    EXPECT_EQ(QVatoi(" 1764 "), 1764);
    EXPECT_EQ(QVatoi("x"), 0);
    char dst[8];
    std::memset(dst, 'X', sizeof dst);
    EXPECT_EQ(QVstrncpy(dst, "abcdefgh", 5), dst);
    EXPECT_EQ(std::string(dst, 6), "abcdeX");
}

// A buffer of the formatters' maximum with a guard zone behind it.
struct GuardedBuffer {
    char bytes[kQvFormattedStringMax + 64];
    GuardedBuffer() { std::memset(bytes, 'X', sizeof bytes); }
    bool guard_intact() const {
        for (std::size_t i = kQvFormattedStringMax; i < sizeof bytes; ++i)
            if (bytes[i] != 'X') return false;
        return true;
    }
};

TEST(Formatters, SprintfUsesTheStandardConversions) {
    GuardedBuffer b;
    EXPECT_EQ(QVSPRINTF(b.bytes, "\"%c:\",\"%s\",\"%lu\"|%8.1f MB|%XH", 'C', "NTFS", 4000000000ul, 12.34, 0x3F8), 41);
    EXPECT_STREQ(b.bytes, "\"C:\",\"NTFS\",\"4000000000\"|    12.3 MB|3F8H");
}

TEST(Formatters, WsprintfUsesTheWindowsConversions) {
    GuardedBuffer b;
    EXPECT_EQ(QVWSPRINTF(b.bytes, "%s: %d|%lu|%04X|%c", "seq", -5, 4000000000ul, 0xAB, 'z'), 25);
    EXPECT_STREQ(b.bytes, "seq: -5|4000000000|00AB|z");
}

TEST(Formatters, NeverWritePastTheMaximum) {
    std::string long_text(3000, 'a');
    {
        GuardedBuffer b;
        EXPECT_EQ(QVSPRINTF(b.bytes, "%s", long_text.c_str()), kQvFormattedStringMax - 1);
        EXPECT_EQ(std::strlen(b.bytes), static_cast<std::size_t>(kQvFormattedStringMax - 1));
        EXPECT_TRUE(b.guard_intact());
    }
    {
        GuardedBuffer b;
        int n = QVWSPRINTF(b.bytes, "%s", long_text.c_str());
        EXPECT_EQ(n, static_cast<int>(std::strlen(b.bytes)));
        EXPECT_LT(n, kQvFormattedStringMax);
        EXPECT_GT(n, 0);
        EXPECT_TRUE(b.guard_intact());
    }
    {
        GuardedBuffer b;  // text 103 is 1100 characters and a placeholder
        EXPECT_EQ(QVGETFORMATTEDSTRING(GetModuleHandleA(nullptr), b.bytes, 103, 7), kQvFormattedStringMax - 1);
        EXPECT_TRUE(b.guard_intact());
    }
}

// A caller's buffer may be smaller than the maximum: nothing past the text
// and its terminator is touched.
TEST(Formatters, WriteOnlyWhatTheTextNeeds) {
    GuardedBuffer a, w, g;
    EXPECT_EQ(QVSPRINTF(a.bytes, "%s %d", "seq", 12), 6);
    EXPECT_EQ(QVWSPRINTF(w.bytes, "%s %d", "seq", 12), 6);
    EXPECT_EQ(QVGETFORMATTEDSTRING(GetModuleHandleA(nullptr), g.bytes, 104, 800, 600), 9);
    for (const GuardedBuffer* b : {&a, &w, &g}) {
        const std::size_t used = std::strlen(b->bytes) + 1;
        EXPECT_EQ(std::string(b->bytes + used, sizeof b->bytes - used), std::string(sizeof b->bytes - used, 'X'))
            << b->bytes;
    }
}

TEST(Formatters, FormattedStringFillsNumbersOnly) {
    struct Case { UINT id; std::vector<int> args; const char* want; };
    const Case cases[] = {
        {101, {0}, "Video - Adapter 0 - String ="},
        {104, {800, 600}, "800 x 600"},
        {100, {0}, "own text"},
        // A %s in a text is left alone: the arguments are numbers.
        {102, {5, 7, 255}, "%s held 5 of    7, % done, ff"},
        {999, {0}, ""},  // no such text
    };
    HINSTANCE self = GetModuleHandleA(nullptr);
    for (const Case& c : cases) {
        GuardedBuffer b;
        int a0 = c.args.size() > 0 ? c.args[0] : 0, a1 = c.args.size() > 1 ? c.args[1] : 0,
            a2 = c.args.size() > 2 ? c.args[2] : 0;
        int n = QVGETFORMATTEDSTRING(self, b.bytes, c.id, a0, a1, a2);
        EXPECT_STREQ(b.bytes, c.want) << c.id;
        EXPECT_EQ(n, static_cast<int>(std::strlen(c.want)));
    }
}

TEST(Locale, StartUpCallsSucceed) {
    EXPECT_NE(QVsetlocale(0, " "), nullptr);
    QVLCONV conv;
    std::memset(&conv, 'X', sizeof conv);
    QVlocaleconv(&conv);
    EXPECT_NE(conv.decimal_point[0], 'X');
    EXPECT_LT(std::strlen(conv.decimal_point), sizeof conv.decimal_point);
    EXPECT_LT(std::strlen(conv.currency_symbol), sizeof conv.currency_symbol);
    QVlocaleconv(nullptr);
    EXPECT_EQ(QVsetlocale(99, "C"), nullptr);  // unknown category
    EXPECT_STREQ(QVsetlocale(0, "C"), "C");
}

TEST(Localize, AnswerBelow32OrExactly32) {
    struct Case { std::uintptr_t answer; qv::win::Refuse32 refuse; bool usable; };
    const Case cases[] = {
        {0, qv::win::Refuse32::no, false},    {31, qv::win::Refuse32::no, false},
        {32, qv::win::Refuse32::no, true},    {32, qv::win::Refuse32::yes, false},
        {33, qv::win::Refuse32::yes, true},   {0x10000001, qv::win::Refuse32::yes, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qv::win::IsLanguageLibrary(reinterpret_cast<HINSTANCE>(c.answer), c.refuse), c.usable)
            << c.answer;
    }
}

HINSTANCE __cdecl Answer32(HINSTANCE, const char*, const char*) { return reinterpret_cast<HINSTANCE>(32); }

TEST(Localize, ExactlyThirtyTwoIsOwnModuleForCallersThatRefuseIt) {
    HINSTANCE self = GetModuleHandleA(nullptr);
    auto agent = qv::win::LocalizeStartup(self, "RCH32", "Rchost for Win32", qv::win::Refuse32::yes, &Answer32);
    EXPECT_EQ(agent.texts, self);
    EXPECT_FALSE(agent.language_library);
    auto scanner = qv::win::LocalizeStartup(self, "scnnt", "qviscnnt.exe", qv::win::Refuse32::no, &Answer32);
    EXPECT_EQ(scanner.texts, reinterpret_cast<HINSTANCE>(32));
    EXPECT_TRUE(scanner.language_library);
}

class LanguageLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableA("XLAT32_LANG", nullptr);
        self_ = GetModuleHandleA(nullptr);
        char exe[MAX_PATH];
        DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
        ASSERT_GT(n, 0u);
        dir_.assign(exe, n);
        dir_.erase(dir_.find_last_of('\\') + 1);
        char abbrev[16];
        ASSERT_GT(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, abbrev, sizeof abbrev), 0);
        user_abbrev_ = abbrev;
    }
    void TearDown() override {
        SetEnvironmentVariableA("XLAT32_LANG", nullptr);
        for (const std::string& f : copies_) DeleteFileA(f.c_str());
    }
    // Places the test language library where the lookup looks for code + abbrev.
    void Install(const std::string& abbrev) {
        std::string target = dir_ + "xltst" + abbrev + ".DLL";
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(CopyFileA((dir_ + "xltstres.dll").c_str(), target.c_str(), FALSE)) << GetLastError();
        copies_.push_back(target);
    }
    static std::string Text(HINSTANCE module, UINT id) {
        std::string s;
        qv::win::LoadText(module, id, &s);
        return s;
    }

    HINSTANCE self_ = nullptr;
    std::string dir_, user_abbrev_;
    std::vector<std::string> copies_;
};

TEST_F(LanguageLibrary, FoundBesideTheProgramItsTextsAreUsed) {
    Install(user_abbrev_);
    qv::win::Module lib(QVLoadLanguageLibrary(self_, "xltst", "xlat32 test"));
    ASSERT_TRUE(lib.valid());
    EXPECT_GE(reinterpret_cast<std::uintptr_t>(lib.get()), 32u);
    char buf[64];
    EXPECT_GT(LoadStringA(lib.get(), 100, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "Sprachtext");
    EXPECT_EQ(Text(lib.get(), 100), "Sprachtext");
    GuardedBuffer b;
    QVGETFORMATTEDSTRING(lib.get(), b.bytes, 101, 2);
    EXPECT_STREQ(b.bytes, "Videoadapter 2 - Text =");

    auto loc = qv::win::LocalizeStartup(self_, "xltst", "xlat32 test", qv::win::Refuse32::yes);
    qv::win::Module second(loc.texts);  // the start-up's own reference
    EXPECT_TRUE(loc.language_library);
    EXPECT_NE(loc.texts, self_);
    EXPECT_EQ(Text(loc.texts, 100), "Sprachtext");
    EXPECT_NE(loc.conv.decimal_point[0], '\0');
}

TEST_F(LanguageLibrary, AbsentTheProgramUsesItsOwnTexts) {
    SetEnvironmentVariableA("XLAT32_LANG", "ZZZ");  // a language nobody translated to
    SetLastError(0xdeadbeef);
    EXPECT_EQ(QVLoadLanguageLibrary(self_, "xltst", "xlat32 test"), nullptr);
    auto loc = qv::win::LocalizeStartup(self_, "xltst", "xlat32 test");
    EXPECT_FALSE(loc.language_library);
    EXPECT_EQ(loc.texts, self_);
    EXPECT_EQ(Text(loc.texts, 100), "own text");
}

TEST_F(LanguageLibrary, OverrideAndNamesThatCannotLeaveTheDirectory) {
    Install("DEU");
    SetEnvironmentVariableA("XLAT32_LANG", "deu");
    {
        qv::win::Module lib(QVLoadLanguageLibrary(self_, "xltst", "xlat32 test"));
        EXPECT_TRUE(lib.valid());
        EXPECT_EQ(Text(lib.get(), 100), "Sprachtext");
    }
    // Codes that are not plain names are refused outright.
    for (const char* code : {"..\\xltst", "", "x:", "toolongcode"})
        EXPECT_EQ(QVLoadLanguageLibrary(self_, code, "t"), nullptr) << code;
    EXPECT_EQ(QVLoadLanguageLibrary(self_, nullptr, "t"), nullptr);
    // A malformed override is ignored: the user's language decides.
    SetEnvironmentVariableA("XLAT32_LANG", "..\\..\\DEU");
    qv::win::Module lib(QVLoadLanguageLibrary(self_, "xltst", "xlat32 test"));
    EXPECT_EQ(lib.valid(), user_abbrev_ == "DEU");
}

TEST(LoadText, TellsMissingTextsApartAndReadsLongOnesWhole) {
    HINSTANCE self = GetModuleHandleA(nullptr);
    struct Case { UINT id; bool found; std::size_t length; };
    const Case cases[] = {
        {100, true, 8},
        {103, true, 1102},  // longer than any fixed buffer
        {105, false, 0},    // block exists, text does not
        {5000, false, 0},   // no such block
    };
    for (const Case& c : cases) {
        std::string s = "stale";
        EXPECT_EQ(qv::win::LoadText(self, c.id, &s), c.found) << c.id;
        EXPECT_EQ(s.size(), c.length) << c.id;
    }
    std::string s;
    ASSERT_TRUE(qv::win::LoadText(self, 103, &s));
    EXPECT_EQ(s.substr(1098), "89%d");
}

}  // namespace
