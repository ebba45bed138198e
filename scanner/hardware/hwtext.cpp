// Text forms shared by the hardware scanners (see hwtext.h).
#include "scanner/hardware/hwtext.h"

#include "common/dataformat.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace qv::scanner {

std::string MifEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        out.push_back(c);
        if (c == '\\') out.push_back('\\');
    }
    return out;
}

bool MifEscapeInPlace(char* buffer, std::size_t size) {
    if (!buffer || size == 0) return false;
    const std::size_t len = strnlen(buffer, size);
    if (len == size) return false;  // not terminated inside the buffer
    std::size_t backslashes = 0;
    for (std::size_t i = 0; i < len; ++i)
        if (buffer[i] == '\\') ++backslashes;
    if (backslashes == 0) return true;
    if (len + 2 * backslashes > size) return false;
    // Walk from the end so every byte is moved before it is overwritten.
    std::size_t dst = len + backslashes;
    buffer[dst] = '\0';
    for (std::size_t src = len; src-- > 0;) {
        buffer[--dst] = buffer[src];
        if (buffer[src] == '\\') buffer[--dst] = '\\';
    }
    return true;
}

bool NotBlank(std::string_view text) {
    for (char c : text) {
        if (c == '\0') break;
        if (c != ' ') return true;
    }
    return false;
}

std::string AttributeNameFromLabel(std::string_view label) {
    std::size_t eq = label.rfind('=');
    if (eq == std::string_view::npos) return std::string(label);
    if (eq > 0 && label[eq - 1] == ' ') --eq;
    return std::string(label.substr(0, eq));
}

std::string SerialNumberText(std::uint32_t serial) {
    return Format("%X-%X", static_cast<unsigned>(serial >> 16), static_cast<unsigned>(serial & 0xFFFF));
}

std::string SizeText(std::uint64_t bytes) {
    // In the "C" conventions whatever the user's locale: "2016.0 MB".
    return FixedC(static_cast<double>(bytes) * 9.5367431640625e-7, 8, 1) + " MB";
}

unsigned FloppyMediaTextId(int media_type) {
    switch (media_type) {
        case 1: return 23;   // F5_1Pt2_512
        case 2: return 25;   // F3_1Pt44_512
        case 3: return 27;   // F3_2Pt88_512
        case 5: return 24;   // F3_720_512
        case 6: return 22;   // F5_360_512
        case 11:             // RemovableMedia
        case 12: return 0;   // FixedMedia
        default: return 145;
    }
}

std::string FloppyRowMediaText(std::string_view media_text) {
    std::string out(media_text);
    std::size_t q = out.find('"');
    if (q != std::string::npos) out[q] = ' ';
    return out;
}

bool SplitEnvironmentEntry(std::string_view entry, std::string& name, std::string& value) {
    if (entry.empty() || entry[0] == '=') return false;
    std::size_t eq = entry.find('=');
    if (eq == std::string_view::npos) return false;
    std::string_view rest = entry.substr(eq + 1);
    std::size_t eq2 = rest.find('=');
    if (eq2 != std::string_view::npos) rest = rest.substr(0, eq2);
    if (rest.empty()) return false;
    name.assign(entry.substr(0, eq));
    value.assign(rest);
    return true;
}

std::string ServicePackText(bool readable, std::string_view csd_version) {
    constexpr std::size_t kPrefix = 13;  // "Service Pack "
    if (!readable) return "0";
    if (csd_version.size() <= kPrefix) return std::string();
    return std::string(csd_version.substr(kPrefix));
}

std::string Format(const char* format, ...) {
    char small[256];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    va_start(ap, format);
    std::vsnprintf(out.data(), out.size(), format, ap);
    va_end(ap);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace qv::scanner
