#include "scanner/records/itemstream.h"

#include <algorithm>
#include <cstring>

namespace qv::scanner {

namespace {

// Keys and values are C texts: they end at their first zero byte.
std::string_view UpToZero(std::string_view text) {
    std::size_t z = text.find('\0');
    return z == std::string_view::npos ? text : text.substr(0, z);
}

// A field of a fixed area: up to its terminator, never past the area.
std::string_view AreaText(const char* area, std::size_t size) {
    const void* z = std::memchr(area, '\0', size);
    return std::string_view(area, z ? static_cast<const char*>(z) - area : size);
}

// Text-mode output of one piece of a line: LF becomes CR LF.
void AppendTextMode(std::string& out, std::string_view text) {
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
}

}  // namespace

void FileFlatSink::Write(const char* data, std::size_t size) {
    if (file_ && size) std::fwrite(data, 1, size, file_);
}

std::size_t FileByteSource::Read(std::uint8_t* buffer, std::size_t size) {
    return file_ ? std::fread(buffer, 1, size, file_) : 0;
}

std::size_t MemoryByteSource::Read(std::uint8_t* buffer, std::size_t size) {
    std::size_t n = std::min(size, bytes_.size() - pos_);
    std::memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    return n;
}

int SingleByteCharLength(unsigned long) { return 1; }

static std::size_t FitChars(std::string_view text, std::size_t max, CharLengthFn fn) {
    if (text.size() <= max) return text.size();
    std::size_t pos = 0;
    while (pos < text.size()) {
        unsigned long bytes = 0;
        for (std::size_t k = 0; k < 4 && pos + k < text.size(); ++k)
            bytes |= static_cast<unsigned long>(static_cast<std::uint8_t>(text[pos + k])) << (8 * k);
        int len = fn(bytes) >= 2 ? 2 : 1;
        if (pos + len > max) break;
        pos += len;
    }
    return std::min(pos, max);
}

static bool SetArea(char* area, std::size_t size, std::string_view text, CharLengthFn fn) {
    std::size_t n = FitChars(text, size - 1, fn);
    std::memcpy(area, text.data(), n);
    std::memset(area + n, 0, size - n);
    return n == text.size();
}

bool SetContentsRecord(ContentsRecord& r, std::string_view size, std::string_view time,
                       std::string_view name, std::string_view directory, CharLengthFn fn) {
    if (!fn) fn = SingleByteCharLength;
    bool whole = SetArea(r.size, sizeof r.size, UpToZero(size), fn);
    whole &= SetArea(r.time, sizeof r.time, UpToZero(time), fn);
    whole &= SetArea(r.name, sizeof r.name, UpToZero(name), fn);
    whole &= SetArea(r.directory, sizeof r.directory, UpToZero(directory), fn);
    return whole;
}

ItemStream::ItemStream() { Reset(); }

void ItemStream::Reset() {
    std::memset(buf_, 0, sizeof buf_);
    used_ = 0;
    counter_ = 0;
}

int ItemStream::CharLength(const std::uint8_t* p, std::size_t avail) const {
    unsigned long bytes = 0;
    for (std::size_t k = 0; k < 4 && k < avail; ++k) bytes |= static_cast<unsigned long>(p[k]) << (8 * k);
    int len = char_length_(bytes) >= 2 ? 2 : 1;
    return avail && static_cast<std::size_t>(len) > avail ? static_cast<int>(avail) : len;
}

std::size_t ItemStream::FitLength(std::string_view text, std::size_t max) const {
    return FitChars(text, max, char_length_);
}

void ItemStream::Append(const void* data, std::size_t size) {
    // The last byte always stays free for the end zero. The fitting tests
    // guarantee this already; the clamp keeps a mistake from overflowing.
    std::size_t room = kItemPacketSize - 1 - used_;
    if (size > room) size = room;
    if (size == 0) return;
    std::memcpy(buf_ + used_, data, size);
    used_ += size;
}

void ItemStream::MakeRoom(std::size_t need, bool terminate) {
    if (!packets_ || used_ + need + 2 <= kItemPacketSize) return;
    if (terminate) AppendByte(0);
    if (SendPacket(false) != 0 && on_failure_) on_failure_();
}

void ItemStream::WriteFlatLine(std::string_view text, std::string_view more) {
    std::string line;
    line.reserve(text.size() + more.size() + 3);
    AppendTextMode(line, text);
    if (!more.empty()) {
        line += ' ';
        AppendTextMode(line, more);
    }
    line += "\r\n";
    flat_->Write(line.data(), line.size());
}

void ItemStream::AddItem(std::string_view key, std::string_view value) {
    key = UpToZero(key);
    value = UpToZero(value);
    if (flat_) WriteFlatLine(key, value);
    if (!packets_) return;
    if (key.size() + value.size() > kItemMax) {
        if (key.size() >= kItemMax) {
            key = key.substr(0, FitLength(key, kItemMax));
            value = {};
        } else {
            value = value.substr(0, FitLength(value, kItemMax - key.size()));
        }
    }
    MakeRoom(key.size() + value.size(), false);
    Append(key.data(), key.size());
    Append(value.data(), value.size());
    AppendByte(0);
}

void ItemStream::AddRecord(const ContentsRecord& r) {
    const std::string_view size = AreaText(r.size, sizeof r.size);
    const std::string_view time = AreaText(r.time, sizeof r.time);
    const std::string_view name = AreaText(r.name, sizeof r.name);
    const std::string_view dir = AreaText(r.directory, sizeof r.directory);
    if (flat_) {
        WriteFlatLine(name);
        WriteFlatLine(dir);
        WriteFlatLine(time);
        WriteFlatLine(size);
    }
    if (!packets_) return;
    // Four fields and their zeros, plus the end zero: the areas are small
    // enough that a record always fits an empty packet.
    MakeRoom(size.size() + time.size() + name.size() + dir.size() + 3, false);
    for (std::string_view f : {size, time, name, dir}) {
        Append(f.data(), f.size());
        AppendByte(0);
    }
}

void ItemStream::AddText(ByteSource& source, std::string_view end_label) {
    std::uint8_t chunk[4096];
    std::string out;
    char last_flat = '\n';
    bool any = false;
    for (;;) {
        std::size_t n = source.Read(chunk, sizeof chunk);
        if (n == 0) break;
        out.clear();
        for (std::size_t i = 0; i < n; ++i) {
            std::uint8_t b = chunk[i];
            if (b == kEofMark || b == 0) b = ' ';
            if (flat_ && b != '\r') {
                if (b == '\n') out += '\r';
                out += static_cast<char>(b);
                last_flat = static_cast<char>(b);
                any = true;
            }
            if (packets_) {
                // Only the byte itself is known here; a lead byte reserves
                // room for its trail byte so a character is never split.
                MakeRoom(char_length_(b) >= 2 ? 2 : 1, true);
                AppendByte(b);
            }
        }
        if (flat_ && !out.empty()) flat_->Write(out.data(), out.size());
    }
    if (flat_ && flat_text_break_ && any && last_flat != '\n') flat_->Write("\r\n", 2);
    EndText(end_label);
}

void ItemStream::PackTextLine(std::string_view line) {
    if (!packets_) return;
    const auto* p = reinterpret_cast<const std::uint8_t*>(line.data());
    std::size_t i = 0;
    while (i < line.size()) {
        if (p[i] == '\n') {
            MakeRoom(2, true);
            Append("\r\n", 2);
            ++i;
            continue;
        }
        std::size_t len = static_cast<std::size_t>(CharLength(p + i, line.size() - i));
        MakeRoom(len, true);
        for (std::size_t k = 0; k < len; ++k) AppendByte(p[i + k] == 0 ? ' ' : p[i + k]);
        i += len;
    }
}

void ItemStream::EndText(std::string_view end_label) {
    if (packets_ && used_ + end_label.size() + 1 > kItemPacketSize) AppendByte(0);
}

int ItemStream::SendPacket(bool last) {
    ++counter_;
    buf_[used_] = 0;
    int rc = packets_ ? packets_->SendPacket(buf_, counter_, last) : 0;
    std::memset(buf_, 0, sizeof buf_);
    used_ = 0;
    return rc == 0 ? 0 : -1;
}

}  // namespace qv::scanner
