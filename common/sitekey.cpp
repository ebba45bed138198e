#include "common/sitekey.h"

#include <cstdio>

namespace qv::sitekey {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool Parse(std::string_view text, Key* key, std::string* why) {
    if (text.ends_with("\r\n")) text.remove_suffix(2);
    else if (text.ends_with('\n')) text.remove_suffix(1);
    if (text.size() != kKeyHexDigits) {
        char text_out[96];
        std::snprintf(text_out, sizeof text_out, "expected one line of %zu hexadecimal digits, found %zu characters",
                      kKeyHexDigits, text.size());
        *why = text_out;
        return false;
    }
    Key k{};
    uint8_t any = 0;
    for (std::size_t i = 0; i < kKeyBytes; ++i) {
        const int hi = HexValue(text[2 * i]), lo = HexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            char text_out[64];
            std::snprintf(text_out, sizeof text_out, "character %zu is not a hexadecimal digit",
                          2 * i + (hi < 0 ? 1 : 2));
            *why = text_out;
            return false;
        }
        k[i] = static_cast<uint8_t>(hi << 4 | lo);
        any |= k[i];
    }
    if (!any) {
        *why = "the key is all zeros";
        return false;
    }
    *key = k;
    return true;
}

std::string Format(const Key& key) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(kKeyHexDigits + 1);
    for (uint8_t b : key) {
        s.push_back(kDigits[b >> 4]);
        s.push_back(kDigits[b & 15]);
    }
    s.push_back('\n');
    return s;
}

LoadResult Load(const std::string& path, KeyFileAccess& access) {
    LoadResult r;
    const std::string name = "site key file " + path + ": ";
    std::string data, error, who;
    if (!access.Read(path, kMaxFileBytes, &data, &error)) {
        r.message = name + "cannot be read: " + error;
        return r;
    }
    error.clear();
    if (access.OpenToOthers(path, &who, &error)) {
        r.message = name + "refused: other users (" + who +
                    ") may read or change it; make it readable by its owner (and the administrators) only";
        return r;
    }
    if (!error.empty()) {
        r.message = name + "refused: its access list cannot be checked: " + error;
        return r;
    }
    if (data.size() > kMaxFileBytes) {
        r.message = name + "not a site key: longer than " + std::to_string(kMaxFileBytes) + " bytes";
        return r;
    }
    std::string why;
    if (!Parse(data, &r.key, &why)) {
        r.message = name + "not a site key: " + why;
        return r;
    }
    r.ok = true;
    return r;
}

}  // namespace qv::sitekey
