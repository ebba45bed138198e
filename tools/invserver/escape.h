// Peer-supplied texts made harmless before they reach a log line or a
// stored file.
//
// Anything a scanner sends (device IDs, item keys and values, file names) is
// untrusted: a line break in it would forge a log line or split a line of a
// stored file, and an escape character would reach the terminal of whoever
// reads the log or runs 'invserver show'. Such bytes are written as \xNN.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace qv::invserver {

namespace detail {
inline void AppendHex(std::string& out, unsigned char c) {
    char esc[5];
    std::snprintf(esc, sizeof esc, "\\x%02X", c);
    out += esc;
}
}  // namespace detail

// For log lines: plain ASCII only. Control characters and bytes above 126
// become \xNN and a backslash is doubled, so a logged text is unambiguous.
inline std::string LogText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c < 0x20 || c > 0x7E) detail::AppendHex(out, c);
        else out += static_cast<char>(c);
    }
    return out;
}

// For one line of a stored text file: control characters other than a tab
// become \xNN; everything else (double-byte and accented characters, the
// backslashes of paths) stays as it is, so normal texts are stored
// unchanged.
inline std::string FileText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\t') || c == 0x7F) detail::AppendHex(out, c);
        else out += static_cast<char>(c);
    }
    return out;
}

}  // namespace qv::invserver
