#include "common/text.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace qv {

bool CopyBounded(char* dst, std::size_t cap, std::string_view src) {
    if (cap == 0) return src.empty();
    std::size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
    return n == src.size();
}

void StripLineBreak(std::string& line) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpperChar(a[i]) != UpperChar(b[i])) return false;
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::string UpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = UpperChar(c);
    return out;
}

namespace {

// Characters 0x80-0x9F of Windows-1252 (0 where it has none).
const char16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The length of the valid UTF-8 sequence at s[i] and its code point; 0 when
// there is none (a stray byte, an overlong form, a surrogate, past U+10FFFF).
std::size_t DecodeUtf8(std::string_view s, std::size_t i, unsigned* cp) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    const std::size_t more = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 0;
    if (more == 0 || i + more >= s.size()) return 0;
    unsigned v = c & (0x3F >> more);
    for (std::size_t k = 1; k <= more; ++k) {
        const unsigned char b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        v = v << 6 | (b & 0x3F);
    }
    const unsigned char next = static_cast<unsigned char>(s[i + 1]);
    if ((c == 0xE0 && next < 0xA0) || (c == 0xED && next > 0x9F) || (c == 0xF0 && next < 0x90) ||
        (c == 0xF4 && next > 0x8F))
        return 0;
    *cp = v;
    return more + 1;
}

}  // namespace

bool ValidUtf8(std::string_view s) {
    unsigned cp;
    for (std::size_t i = 0, n; i < s.size(); i += n)
        if ((n = DecodeUtf8(s, i, &cp)) == 0) return false;
    return true;
}

std::string Cp1252ToUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        unsigned cp = c;
        if (c >= 0x80 && c < 0xA0) cp = kCp1252High[c - 0x80] ? kCp1252High[c - 0x80] : 0xFFFD;
        AppendUtf8(out, cp);
    }
    return out;
}

bool Utf8ToCp1252(std::string_view s, std::string* out) {
    out->clear();
    unsigned cp = 0;
    for (std::size_t i = 0, n; i < s.size(); i += n) {
        if ((n = DecodeUtf8(s, i, &cp)) == 0) return false;
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
            *out += static_cast<char>(cp);
            continue;
        }
        const char16_t* hit = std::find(std::begin(kCp1252High), std::end(kCp1252High), static_cast<char16_t>(cp));
        if (cp > 0xFFFF || hit == std::end(kCp1252High)) return false;
        *out += static_cast<char>(0x80 + (hit - std::begin(kCp1252High)));
    }
    return true;
}

}  // namespace qv
