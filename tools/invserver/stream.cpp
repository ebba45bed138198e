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

static void Line(std::string* flat, const std::string& s) {
    *flat += FileText(s);
    *flat += "\r\n";
}

bool SplitItem(const std::string& item, std::string* key, std::string* value) {
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) {
        *key = item;
        value->clear();
        return false;
    }
    *key = item.substr(0, eq + 1);
    *value = item.substr(eq + 1);
    return true;
}

void AppendItemLines(std::string* flat, const std::string& item) {
    std::string key, value;
    if (!SplitItem(item, &key, &value) || value.empty()) Line(flat, key);
    else Line(flat, key + " " + value);
}

// The record as four lines (name, directory, time, size), then the text
// without carriage returns and with every line feed written as CR LF (the
// scanner's text mode does the same), and "_EndContents" on a line of its
// own even when the text does not end with a line break.
void AppendContentsLines(std::string* flat, const CapturedFile& f) {
    Line(flat, f.name);
    Line(flat, f.directory);
    Line(flat, f.time_text);
    Line(flat, f.size_text);
    bool open_line = false;
    for (char c : f.contents) {
        if (c == '\r') continue;
        if (c == '\n') *flat += '\r';
        *flat += c;
        open_line = c != '\n';
    }
    if (!f.closed) return;
    if (open_line) *flat += "\r\n";
    Line(flat, std::string(kEndContentsLabel));
}

std::string StreamDecoder::flat() const {
    std::string out;
    for (const StreamEntry& e : entries_) {
        if (!e.contents) AppendItemLines(&out, e.item);
        else if (e.file < files_.size()) AppendContentsLines(&out, files_[e.file]);
        else if (state_ == State::Text) AppendContentsLines(&out, current_);
    }
    return out;
}

void StreamDecoder::Text(const std::string& s) {
    current_.contents += s;
    extra_ += s.size();
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
                ++items_;
                current_.closed = true;
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
                // Packed as size, time, name, directory.
                current_ = CapturedFile{};
                current_.size_text = record_[0];
                current_.time_text = record_[1];
                current_.size = static_cast<std::uint32_t>(std::strtoll(record_[0].c_str(), nullptr, 10));
                current_.time = static_cast<std::uint32_t>(std::strtoull(record_[1].c_str(), nullptr, 10));
                current_.name = record_[2];
                current_.directory = record_[3];
                current_.closed = false;
                extra_ += current_.name.size() + current_.directory.size() + record_[0].size() +
                          record_[1].size() + sizeof(StreamEntry);
                entries_.push_back({{}, files_.size(), true});
                state_ = State::Text;
            }
            continue;
        }
        ++items_;
        extra_ += s.size() + sizeof(StreamEntry);
        entries_.push_back({s, 0, false});
        if (s == kBeginContentsLabel) {
            state_ = State::Record;
            record_field_ = 0;
            continue;
        }
        std::string key, value;
        if (!SplitItem(s, &key, &value)) continue;
        for (Remembered& r : remembered_)
            if (!r.seen && r.key == key) {
                r.seen = true;
                r.value = value;
                extra_ += value.size();
            }
    }
}

std::string StreamDecoder::Value(const std::string& key) const {
    for (const Remembered& r : remembered_)
        if (r.key == key) return r.value;
    return "";
}

}  // namespace qv::invserver
