// The console's texts; see console_text.h.
#include "tools/ftconsole/console_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "slave/ft_protocol.h"

namespace qv::ftc {
namespace {

uint64_t Percent(uint64_t done, uint64_t total) {
    if (total == 0 || done >= total) return 100;
    // done < total here, and the product cannot overflow: the result is 0..99.
    const uint64_t pct = done <= UINT64_MAX / 100 ? done * 100 / total : done / (total / 100);
    return pct > 99 ? 99 : pct;
}

}  // namespace

bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
    words->clear();
    std::string word;
    bool in_word = false;
    char quote = 0;
    for (char ch : line) {
        if (quote) {
            if (ch == quote) quote = 0;
            else word += ch;
        } else if (ch == '"' || ch == '\'') {
            quote = ch;
            in_word = true;
        } else if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n') {
            if (in_word) words->push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += ch;
            in_word = true;
        }
    }
    if (quote) {
        *error = std::string("unclosed ") + quote + " in: " + line;
        return false;
    }
    if (in_word) words->push_back(word);
    return true;
}

std::vector<std::string> SplitScript(const std::string& script) {
    std::vector<std::string> parts(1);
    char quote = 0;
    for (char ch : script) {
        if (quote) {
            if (ch == quote) quote = 0;
        } else if (ch == '"' || ch == '\'') {
            quote = ch;
        } else if (ch == ';') {
            parts.emplace_back();
            continue;
        }
        parts.back() += ch;
    }
    return parts;
}

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char ch : text) {
        if (ch < 0x20 || ch == 0x7F || (ch >= 0x80 && ch <= 0x9F)) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02X", ch);
            out += esc;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

std::string ProgressLine(const std::string& name, uint64_t done, uint64_t total) {
    constexpr int kBar = 30;
    const uint64_t pct = Percent(done, total);
    const std::string fill(static_cast<std::size_t>(pct * kBar / 100), '#');
    char line[kProgressWidth + 1];
    if (total)
        std::snprintf(line, sizeof line, "%-20.20s [%-30s] %3u%% %llu", Printable(name).c_str(), fill.c_str(),
                      static_cast<unsigned>(pct), static_cast<unsigned long long>(done));
    else
        std::snprintf(line, sizeof line, "%-20.20s %llu bytes", Printable(name).c_str(),
                      static_cast<unsigned long long>(done));
    return line;
}

bool ProgressThrottle::Due(uint64_t done, uint64_t total) {
    const uint64_t key = total ? Percent(done, total) : done / kProgressStep;
    if (drawn_ && key == last_) return false;
    drawn_ = true;
    last_ = key;
    return true;
}

std::string ConnectErrorText(int error_number, const std::string& host, unsigned port, int timeout_ms) {
    const std::string at = host + ":" + std::to_string(port);
    switch (error_number) {
    case ECONNREFUSED: return "connection refused by " + at + " (is the slave running, with the same port?)";
    case ETIMEDOUT: return "no answer from " + at + " within " + std::to_string(timeout_ms) + " ms";
    case EHOSTUNREACH: return "host " + host + " unreachable";
    case ENETUNREACH: return "network unreachable for " + host;
    case ECONNRESET: return "connection reset by " + at;
    default: return "cannot connect to " + at + ": " + std::strerror(error_number);
    }
}

}  // namespace qv::ftc
