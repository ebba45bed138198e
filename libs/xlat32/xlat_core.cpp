#include "libs/xlat32/xlat_core.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "common/text.h"

namespace qv::xlat {

LeadBytes ShiftJisLeadBytes() {
    LeadBytes lb;
    lb.set_range(0x81, 0x9F);
    lb.set_range(0xE0, 0xFC);
    return lb;
}

static unsigned char Byte(const char* p) { return static_cast<unsigned char>(*p); }

int CharVal(const char* p, const LeadBytes& lead) {
    unsigned char b = Byte(p);
    if (b != 0 && lead.is_lead(b) && p[1] != '\0') return b * 256 + Byte(p + 1);
    return b;
}

int CharLength(std::uint32_t bytes, const LeadBytes& lead) {
    unsigned char first = bytes & 0xFF;
    unsigned char second = (bytes >> 8) & 0xFF;
    return (lead.is_lead(first) && second != 0) ? 2 : 1;
}

const char* NextChar(const char* p, const LeadBytes& lead) {
    if (*p == '\0') return p;
    if (lead.is_lead(Byte(p)) && p[1] != '\0') return p + 2;
    return p + 1;
}

const char* PrevChar(const char* start, const char* p, const LeadBytes& lead) {
    if (p <= start) return start;
    const char* prev = start;
    const char* q = start;
    while (q < p) {
        prev = q;
        const char* next = NextChar(q, lead);
        if (next == q) break;  // terminator before p
        q = next;
    }
    return prev;
}

int Atoi(const char* s) {
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\v' || *s == '\f') ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = (*s++ == '-');
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) break;  // saturated; stop early
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

char* Itoa(int value, char* buffer) {
    char digits[kItoaBufferMin];
    std::size_t n = 0;
    // Work in unsigned so INT_MIN has a magnitude.
    unsigned int mag = value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
    do {
        digits[n++] = static_cast<char>('0' + mag % 10);
        mag /= 10;
    } while (mag != 0);
    char* out = buffer;
    if (value < 0) *out++ = '-';
    while (n > 0) *out++ = digits[--n];
    *out = '\0';
    return buffer;
}

void Strncpy(char* dst, const char* src, std::size_t count, const LeadBytes& lead) {
    std::size_t pos = 0;
    while (pos < count && src[pos] != '\0') {
        std::size_t len = (lead.is_lead(Byte(src + pos)) && src[pos + 1] != '\0') ? 2 : 1;
        if (pos + len > count) break;
        std::memcpy(dst + pos, src + pos, len);
        pos += len;
    }
    if (pos < count) std::memset(dst + pos, 0, count - pos);
}

std::size_t WholeCharLength(const char* s, std::size_t len, const LeadBytes& lead) {
    std::size_t pos = 0;
    while (pos < len) {
        std::size_t step = lead.is_lead(Byte(s + pos)) ? 2 : 1;
        if (pos + step > len) break;
        pos += step;
    }
    return pos;
}

namespace {

// One parsed placeholder: the printf conversion text to hand to snprintf (without the
// length modifier), its conversion and whether it was 'h'.
struct Conversion {
    char text[16];
    char letter;
    bool half;
    std::size_t length;  // bytes of the template it spans
};

constexpr int kMaxDigits = 3;  // width and precision up to 999

bool ParseConversion(const char* p, Conversion* conv) {
    // p points at the '%'.
    std::size_t i = 1;
    std::size_t t = 0;
    conv->text[t++] = '%';
    while (p[i] != '\0' && std::strchr("-+ #0", p[i])) {
        if (t < 6) conv->text[t++] = p[i];
        ++i;
    }
    int digits = 0;
    while (p[i] >= '0' && p[i] <= '9') {
        if (++digits > kMaxDigits) return false;
        conv->text[t++] = p[i++];
    }
    if (p[i] == '.') {
        conv->text[t++] = p[i++];
        digits = 0;
        while (p[i] >= '0' && p[i] <= '9') {
            if (++digits > kMaxDigits) return false;
            conv->text[t++] = p[i++];
        }
    }
    conv->half = false;
    if (p[i] == 'h') {
        conv->half = true;
        ++i;
    } else if (p[i] == 'l') {
        ++i;
    }
    if (p[i] == '\0' || !std::strchr("diuxXoc", p[i])) return false;
    conv->letter = p[i++];
    conv->text[t++] = conv->letter;
    conv->text[t] = '\0';
    conv->length = i;
    return true;
}

}  // namespace

std::size_t CountNumberPlaceholders(const char* tmpl) {
    std::size_t n = 0;
    for (const char* p = tmpl; *p != '\0';) {
        if (*p != '%') {
            ++p;
        } else if (p[1] == '%') {
            p += 2;
        } else {
            Conversion conv;
            if (ParseConversion(p, &conv)) {
                ++n;
                p += conv.length;
            } else {
                ++p;
            }
        }
    }
    return n;
}

std::size_t FormatNumbers(const char* tmpl, const int* values, std::size_t nvalues, char* out,
                          std::size_t cap, const LeadBytes& lead) {
    if (cap == 0) return 0;
    std::size_t pos = 0;
    std::size_t next_value = 0;
    bool cut = false;
    const char* p = tmpl;
    while (*p != '\0' && !cut) {
        Conversion conv;
        if (*p == '%' && p[1] == '%') {
            if (pos + 1 >= cap) break;
            out[pos++] = '%';
            p += 2;
        } else if (*p == '%' && ParseConversion(p, &conv)) {
            int v = next_value < nvalues ? values[next_value] : 0;
            ++next_value;
            p += conv.length;
            bool is_signed = conv.letter == 'd' || conv.letter == 'i';
            if (conv.half) v = is_signed ? static_cast<short>(v) : static_cast<unsigned short>(v);
            if (conv.letter == 'c') {
                v = static_cast<unsigned char>(v);
                if (v == 0) continue;  // a zero character would end the text
            }
            std::size_t room = cap - pos;
            int n = is_signed || conv.letter == 'c'
                        ? std::snprintf(out + pos, room, conv.text, v)
                        : std::snprintf(out + pos, room, conv.text, static_cast<unsigned int>(v));
            if (n < 0) break;
            if (static_cast<std::size_t>(n) >= room) {
                pos = cap - 1;
                cut = true;
            } else {
                pos += static_cast<std::size_t>(n);
            }
        } else {
            std::size_t len = (lead.is_lead(Byte(p)) && p[1] != '\0') ? 2 : 1;
            if (pos + len >= cap) break;
            std::memcpy(out + pos, p, len);
            pos += len;
            p += len;
        }
    }
    out[pos] = '\0';
    if (*p != '\0' || cut) {
        // Cut short: make sure the text does not end in half a character.
        pos = WholeCharLength(out, pos, lead);
        out[pos] = '\0';
    }
    return pos;
}

bool FindInStringBlock(const unsigned char* block, std::size_t size, unsigned index,
                       std::size_t* offset, std::size_t* units) {
    if (index > 15) return false;
    std::size_t o = 0;
    for (unsigned i = 0;; ++i) {
        if (size < 2 || o > size - 2) return false;
        std::size_t len = block[o] | (static_cast<std::size_t>(block[o + 1]) << 8);
        o += 2;
        if (len * 2 > size - o) return false;
        if (i == index) {
            if (len == 0) return false;
            *offset = o;
            *units = len;
            return true;
        }
        o += len * 2;
    }
}

static bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool IsValidProgramCode(std::string_view code) {
    if (code.empty() || code.size() > 8) return false;
    for (char c : code)
        if (!IsAsciiLetter(c) && !(c >= '0' && c <= '9') && c != '_' && c != '-') return false;
    return true;
}

bool IsValidLanguageAbbrev(std::string_view abbrev) {
    if (abbrev.size() != 3) return false;
    for (char c : abbrev)
        if (!IsAsciiLetter(c)) return false;
    return true;
}

bool LanguageLibraryPath(std::string_view module_path, std::string_view code,
                         std::string_view abbrev, char* out, std::size_t cap) {
    if (cap > 0) out[0] = '\0';
    if (!IsValidProgramCode(code) || !IsValidLanguageAbbrev(abbrev)) return false;
    std::size_t cut = module_path.find_last_of("\\/");
    std::string_view dir = cut == std::string_view::npos ? std::string_view() : module_path.substr(0, cut + 1);
    static constexpr std::string_view kExt = ".DLL";
    std::size_t need = dir.size() + code.size() + abbrev.size() + kExt.size() + 1;
    if (need > cap) return false;
    char* w = out;
    if (!dir.empty()) std::memcpy(w, dir.data(), dir.size());
    w += dir.size();
    std::memcpy(w, code.data(), code.size());
    w += code.size();
    for (char c : abbrev) *w++ = UpperChar(c);
    std::memcpy(w, kExt.data(), kExt.size());
    w += kExt.size();
    *w = '\0';
    return true;
}

}  // namespace qv::xlat
