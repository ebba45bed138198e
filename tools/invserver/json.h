// A small JSON writer for the query commands' --json answers.
//
// Strings are the scanner's bytes: valid UTF-8 passes as it is; any other
// byte (the Windows code page's accented letters, say) is written as the
// character of the same number (\u00NN), so the output is always valid JSON
// and nothing is dropped. Quotes, backslashes and control characters are
// escaped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qv::invserver {

class JsonWriter {
public:
    explicit JsonWriter(std::string* out) : out_(out) {}

    JsonWriter& BeginArray() { return Open('['); }
    JsonWriter& EndArray() { return Close(']'); }
    JsonWriter& BeginObject() { return Open('{'); }
    JsonWriter& EndObject() { return Close('}'); }
    // An object's member name; the value follows.
    JsonWriter& Key(const std::string& key) {
        Separate();
        Quoted(key);
        *out_ += ':';
        after_key_ = true;
        return *this;
    }
    JsonWriter& String(const std::string& s) {
        Separate();
        Quoted(s);
        return *this;
    }
    JsonWriter& Int(std::int64_t v) {
        Separate();
        *out_ += std::to_string(v);
        return *this;
    }
    JsonWriter& Null() {
        Separate();
        *out_ += "null";
        return *this;
    }

private:
    JsonWriter& Open(char c) {
        Separate();
        *out_ += c;
        first_.push_back(true);
        return *this;
    }
    JsonWriter& Close(char c) {
        *out_ += c;
        if (!first_.empty()) first_.pop_back();
        return *this;
    }
    void Separate() {
        if (after_key_) {
            after_key_ = false;
            return;
        }
        if (!first_.empty()) {
            if (!first_.back()) *out_ += ',';
            first_.back() = false;
        }
    }
    // Length of the valid UTF-8 sequence at s[i], or 0.
    static std::size_t Utf8Length(const std::string& s, std::size_t i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        if (n == 0 || i + n > s.size()) return 0;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
        const unsigned char c1 = static_cast<unsigned char>(s[i + 1]);
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) ||
            (c == 0xF4 && c1 >= 0x90))
            return 0;   // overlong forms, surrogates, beyond U+10FFFF
        return n;
    }
    void Quoted(const std::string& s) {
        *out_ += '"';
        for (std::size_t i = 0; i < s.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (c == '"' || c == '\\') {
                *out_ += '\\';
                *out_ += static_cast<char>(c);
            } else if (c >= 0x20 && c < 0x7F) {
                *out_ += static_cast<char>(c);
            } else if (std::size_t n = c >= 0x80 ? Utf8Length(s, i) : 0) {
                out_->append(s, i, n);
                i += n - 1;
            } else {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04X", c);
                *out_ += esc;
            }
        }
        *out_ += '"';
    }

    std::string* out_;
    std::vector<bool> first_;   // per open array or object: nothing written in it yet
    bool after_key_ = false;
};

}  // namespace qv::invserver
