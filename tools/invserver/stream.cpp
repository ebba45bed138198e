// Item packet decoding (see stream.h).
#include "tools/invserver/stream.h"

#include <cstdlib>
#include <cstring>

#include "common/inventory_limits.h"
#include "tools/invserver/escape.h"

namespace qv::invserver {


StreamDecoder::StreamDecoder(std::vector<std::string> remember) {
    for (std::string& key : remember) remembered_.push_back({std::move(key), {}, false});
}

void StreamDecoder::Line(const std::string& s) {
    flat_ += FileText(s);
    flat_ += "\r\n";
}

// Appends captured text to the flat file: carriage returns dropped, line
// feeds written as CR LF (the scanner's text mode does the same).
void StreamDecoder::Text(const std::string& s) {
    current_.contents += s;
    extra_ += s.size();
    for (char c : s) {
        if (c == '\r') continue;
        if (c == '\n') flat_ += '\r';
        flat_ += c;
        text_open_line_ = c != '\n';
    }
}

void StreamDecoder::Feed(const std::uint8_t* p, std::size_t len) {
    // Texts lie in [0, len-1): the last byte is the packet's end zero.
    std::size_t limit = len == 0 ? 0 : len - 1;
    std::size_t pos = 0;
    while (pos < limit) {
        const void* z = std::memchr(p + pos, 0, limit - pos);
        std::size_t end = z ? static_cast<const std::uint8_t*>(z) - p : limit;
        std::string s(reinterpret_cast<const char*>(p + pos), end - pos);
        pos = end + 1;

        if (state_ == State::Text) {
            const std::size_t n = kEndContentsLabel.size();
            if (s.size() >= n && s.compare(s.size() - n, n, kEndContentsLabel) == 0) {
                Text(s.substr(0, s.size() - n));
                // As in the scanner's flat file, "_EndContents" starts a line
                // even when the captured text does not end with a break.
                if (text_open_line_) flat_ += "\r\n";
                text_open_line_ = false;
                Line(std::string(kEndContentsLabel));
                ++items_;
                files_.push_back(std::move(current_));
                current_ = CapturedFile{};
                state_ = State::Items;
            } else {
                Text(s);   // the text continues in the next packet
            }
            continue;
        }
        if (s.empty()) continue;      // keys and record fields are never empty
        if (state_ == State::Record) {
            record_[record_field_++] = s;
            if (record_field_ == 4) {
                // Packed as size, time, name, directory; listed as name,
                // directory, time, size.
                Line(record_[2]);
                Line(record_[3]);
                Line(record_[1]);
                Line(record_[0]);
                current_ = CapturedFile{};
                current_.size = static_cast<std::uint32_t>(std::strtoll(record_[0].c_str(), nullptr, 10));
                current_.time = static_cast<std::uint32_t>(std::strtoull(record_[1].c_str(), nullptr, 10));
                current_.name = record_[2];
                current_.directory = record_[3];
                extra_ += current_.name.size() + current_.directory.size();
                state_ = State::Text;
            }
            continue;
        }
        ++items_;
        if (s == kBeginContentsLabel) {
            Line(s);
            state_ = State::Record;
            record_field_ = 0;
            continue;
        }
        std::size_t eq = s.find('=');
        if (eq == std::string::npos) {
            Line(s);
            continue;
        }
        std::string key = s.substr(0, eq + 1), value = s.substr(eq + 1);
        for (Remembered& r : remembered_)
            if (!r.seen && r.key == key) {
                r.seen = true;
                r.value = value;
                extra_ += value.size();
            }
        Line(value.empty() ? key : key + " " + value);
    }
}

std::string StreamDecoder::Value(const std::string& key) const {
    for (const Remembered& r : remembered_)
        if (r.key == key) return r.value;
    return "";
}

}  // namespace qv::invserver
