// Fuzz target for the localization library's handling of texts from
// language libraries we do not control: the number formatter behind the
// string-table formatter, the character walks, the whole-character copy,
// the string-table block lookup and the language library's path.
//
// Input: a byte choosing the lead-byte set (none, code page 932, or every
// byte from 0x80), a byte giving the output buffer's size, four 32-bit
// values, then zero-separated texts: the template, the text to copy, the
// module path, the program code, the language abbreviation; the remaining
// bytes are also read as a string-table block. Every buffer is exactly the
// size the routine is given, so any write past it is caught. The formatted
// text must be terminated within its buffer, never end inside a
// double-byte character, and be no longer than the template allows.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "libs/xlat32/xlat_core.h"

namespace {

using namespace qv::xlat;

[[noreturn]] void Fail() { std::abort(); }

LeadBytes Lead(std::uint8_t which) {
    LeadBytes lead;
    if (which % 3 == 1) lead = ShiftJisLeadBytes();
    if (which % 3 == 2) lead.set_range(0x80, 0xFF);
    return lead;
}

// The text ends on a character boundary: no lead byte is left without its
// second byte.
bool Whole(const char* s, std::size_t len, const LeadBytes& lead) { return WholeCharLength(s, len, lead) == len; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 18) return 0;
    const LeadBytes lead = Lead(data[0]);
    const std::size_t cap = data[1] % 64 == 0 ? 1025 : data[1] % 64;
    int values[4];
    for (int i = 0; i < 4; ++i)
        values[i] = static_cast<int>(data[2 + 4 * i] | data[3 + 4 * i] << 8 | data[4 + 4 * i] << 16 |
                                     static_cast<std::uint32_t>(data[5 + 4 * i]) << 24);
    std::vector<std::string> f(1);
    for (std::size_t i = 18; i < size; ++i) {
        if (data[i] == 0) f.emplace_back();
        else f.back() += static_cast<char>(data[i]);
    }
    f.resize(5);
    const std::string& tmpl = f[0];

    // The formatter, as QVGETFORMATTEDSTRING calls it.
    const std::size_t placeholders = CountNumberPlaceholders(tmpl.c_str());
    auto out = std::make_unique<char[]>(cap);
    const std::size_t n = FormatNumbers(tmpl.c_str(), values, placeholders < 4 ? placeholders : 4, out.get(),
                                        cap, lead);
    // (A lone lead byte can only come from a %c value or the template's
    // last byte, which is a single character there.)
    const bool lone_lead = tmpl.find('c') != std::string::npos ||
                           (!tmpl.empty() && lead.is_lead(static_cast<unsigned char>(tmpl.back())));
    if (n >= cap || out[n] != '\0' || std::strlen(out.get()) != n || (!lone_lead && !Whole(out.get(), n, lead)))
        Fail();
    // Without placeholders the text is the template (%% as %), cut to fit.
    if (placeholders == 0 && tmpl.find('%') == std::string::npos && tmpl.compare(0, n, out.get(), n) != 0) Fail();

    // Walks over the template never leave it.
    const char* start = tmpl.c_str();
    const char* end = start + tmpl.size();
    std::size_t steps = 0;
    for (const char* p = start; *p; p = NextChar(p, lead)) {
        if (p > end || ++steps > tmpl.size()) Fail();
        CharVal(p, lead);
    }
    for (const char* p = end; p > start;) {
        const char* q = PrevChar(start, p, lead);
        if (q < start || q >= p) Fail();
        p = q;
    }

    // The whole-character copy fills exactly its count.
    const std::size_t count = cap - 1;
    auto dst = std::make_unique<char[]>(count + 1);
    Strncpy(dst.get(), f[1].c_str(), count, lead);
    dst[count] = '\0';
    const std::size_t copied = std::strlen(dst.get());
    if (f[1].compare(0, copied, dst.get(), copied) != 0 || (copied < f[1].size() && !Whole(dst.get(), copied, lead)))
        Fail();

    Atoi(f[1].c_str());
    char digits[kItoaBufferMin];
    Itoa(values[0], digits);
    if (Atoi(digits) != values[0]) Fail();

    for (unsigned index = 0; index < 17; ++index) {
        std::size_t offset = 0, units = 0;
        if (FindInStringBlock(data + 18, size - 18, index, &offset, &units) &&
            (index > 15 || units == 0 || offset + 2 * units > size - 18))
            Fail();
    }

    auto path = std::make_unique<char[]>(cap);
    if (LanguageLibraryPath(f[2], f[3], f[4], path.get(), cap)) {
        const std::size_t len = std::strlen(path.get());
        if (len + 1 > cap || len < 4 || std::strcmp(path.get() + len - 4, ".DLL") != 0) Fail();
        if (!IsValidProgramCode(f[3]) || !IsValidLanguageAbbrev(f[4])) Fail();
    }
    return 0;
}
