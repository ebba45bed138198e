// Encoding and decoding of the inventory server datagrams (see protocol.h).
#include "scanner/serverlink/protocol.h"

#include <cstdio>
#include <cstring>

#include "common/text.h"

namespace qv::serverlink {

std::vector<std::uint8_t> EncodeDeviceRequest(std::string_view device_id) {
    std::string_view id = device_id.substr(0, kDeviceIdMax);
    std::vector<std::uint8_t> out(4 + id.size() + 1, 0);
    PutU16(&out[0], 0);
    PutU16(&out[2], id.empty() ? 1 : 0);
    std::memcpy(&out[4], id.data(), id.size());
    return out;
}

bool DecodeDeviceRequest(const std::uint8_t* data, std::size_t len, DeviceRequest* out) {
    // A request ends exactly at its text's terminator; a data packet whose
    // header word is 0 (packet 256, 512, ...) always has its end zero after it.
    if (len < 5 || GetU16(data) != 0 || GetU16(data + 2) > 1) return false;
    const std::uint8_t* text = data + 4;
    const void* end = std::memchr(text, 0, len - 4);
    if (!end) return false;
    std::size_t n = static_cast<const std::uint8_t*>(end) - text;
    if (n > kDeviceIdMax || 4 + n + 1 != len) return false;
    out->wants_id = GetU16(data + 2) != 0;
    out->device_id.assign(reinterpret_cast<const char*>(text), n);
    return true;
}

std::uint16_t DataHeaderWord(unsigned number, bool last) {
    unsigned n = number & 0xFF;
    return static_cast<std::uint16_t>((n << 8) | (last ? n : 0));
}

std::size_t PayloadLength(const std::uint8_t* payload) {
    for (std::size_t i = 0; i + 1 < kChecksumSpan; ++i)
        if (payload[i] == 0 && payload[i + 1] == 0) return i + 2;
    return kPayloadSize;
}

std::uint16_t Checksum(const std::uint8_t* payload, std::size_t len) {
    std::size_t n = len < kChecksumSpan ? len : kChecksumSpan;
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum = static_cast<std::uint16_t>(sum + payload[i]);
    return sum;
}

ReplyHead DecodeReplyHead(const std::uint8_t* p) {
    ReplyHead h;
    h.count = GetU16(p);
    h.major = p[2];
    h.minor = p[3];
    h.count_copy = GetU16(p + 4);
    h.major_copy = p[6];
    h.minor_copy = p[7];
    h.device_low = GetU32(p + 8);
    h.device_high = GetU16(p + 12);
    return h;
}

void EncodeReplyHead(const ReplyHead& h, std::uint8_t* p) {
    PutU16(p, h.count);
    p[2] = h.major;
    p[3] = h.minor;
    PutU16(p + 4, h.count_copy);
    p[6] = h.major_copy;
    p[7] = h.minor_copy;
    PutU32(p + 8, h.device_low);
    PutU16(p + 12, h.device_high);
}

std::string AssignedDeviceId(std::string_view server_name, std::uint16_t high, std::uint32_t low) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04X%08lX", static_cast<unsigned>(high),
                  static_cast<unsigned long>(low));
    std::string id(server_name);
    id += digits;
    if (id.size() > kDeviceIdMax) id.resize(kDeviceIdMax);
    return id;
}

// Reads a zero-terminated text at data[*pos, len); false when no terminator.
static bool ReadText(const std::uint8_t* data, std::size_t len, std::size_t* pos, std::string* out) {
    if (*pos >= len) return false;
    const void* end = std::memchr(data + *pos, 0, len - *pos);
    if (!end) return false;
    std::size_t n = static_cast<const std::uint8_t*>(end) - (data + *pos);
    out->assign(reinterpret_cast<const char*>(data + *pos), n);
    *pos += n + 1;
    return true;
}

std::vector<ConfigEntry> DecodeConfigList(const std::uint8_t* data, std::size_t len) {
    std::vector<ConfigEntry> out;
    std::size_t pos = 0;
    while (pos < len && data[pos] != 0) {
        ConfigEntry e;
        if (!ReadText(data, len, &pos, &e.directory)) break;
        if (!ReadText(data, len, &pos, &e.file)) break;
        if (pos > len || len - pos < 8) break;
        e.time = GetU32(data + pos);
        e.size = GetU32(data + pos + 4);
        pos += 8;
        out.push_back(std::move(e));
    }
    return out;
}

std::size_t EncodeConfigList(const std::vector<ConfigEntry>& entries, std::size_t first,
                             std::uint8_t* out, std::size_t cap, std::size_t* used) {
    std::size_t pos = 0, done = 0;
    for (std::size_t i = first; i < entries.size(); ++i) {
        const ConfigEntry& e = entries[i];
        std::size_t need = e.directory.size() + 1 + e.file.size() + 1 + 8;
        // An empty directory would read as the list's end and a zero byte
        // inside a text as the text's end, cutting off every later entry;
        // an entry longer than a packet never fits. Such entries (only a
        // damaged index holds them) are passed over.
        if (e.directory.empty() || e.directory.find('\0') != std::string::npos ||
            e.file.find('\0') != std::string::npos || need + 1 > kPayloadSize) {
            ++done;
            continue;
        }
        if (pos + need + 1 > cap) break;     // keep room for the ending zero
        std::memcpy(out + pos, e.directory.data(), e.directory.size());
        pos += e.directory.size();
        out[pos++] = 0;
        std::memcpy(out + pos, e.file.data(), e.file.size());
        pos += e.file.size();
        out[pos++] = 0;
        PutU32(out + pos, e.time);
        PutU32(out + pos + 4, e.size);
        pos += 8;
        ++done;
    }
    if (cap > pos) out[pos++] = 0;
    *used = pos;
    return done;
}

bool MergeConfigEntry(scanner::ConfigFileList& list, const ConfigEntry& entry) {
    std::string full = entry.directory + entry.file;
    if (full.empty() || full.size() > scanner::kConfigNameMax) return false;
    int at = list.Find(full);
    if (at < 0 && full.size() > 2 && list.Find(std::string_view(full).substr(2)) >= 0) {
        for (std::size_t i = list.count; i < list.entries.size(); ++i) {
            if (list.entries[i].name.empty()) {
                list.entries[i].name = UpperAscii(full);
                list.entries[i].configured = false;
                at = static_cast<int>(i);
                break;
            }
        }
    }
    if (at < 0) return false;
    list.entries[at].time = entry.time;
    list.entries[at].size = entry.size;
    return true;
}

static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes exactly 2*n hexadecimal digits into out[0, n); leaves out alone
// (zero) when the text is not exactly that.
static bool ParseHexBytes(std::string_view text, std::uint8_t* out, std::size_t n) {
    if (text.size() != 2 * n) return false;
    std::uint8_t tmp[8] = {};
    for (std::size_t i = 0; i < n; ++i) {
        int hi = HexValue(text[2 * i]), lo = HexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        tmp[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    std::memcpy(out, tmp, n);
    return true;
}

IpxAddress ParseIpxAddress(std::string_view text) {
    IpxAddress a;
    if (text.size() >= 8) ParseHexBytes(text.substr(0, 8), a.net, 4);
    if (text.size() >= 21) ParseHexBytes(text.substr(9, 12), a.node, 6);
    if (text.size() >= 22) {
        a.has_socket = true;
        ParseHexBytes(text.substr(22, 4), a.socket, 2);
    }
    return a;
}

std::string FormatIpxAddress(const IpxAddress& a) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X:%02X%02X%02X%02X%02X%02X", a.net[0], a.net[1],
                  a.net[2], a.net[3], a.node[0], a.node[1], a.node[2], a.node[3], a.node[4],
                  a.node[5]);
    return buf;
}

IpHost ParseIpHost(std::string_view text) {
    IpHost h;
    std::size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        std::string_view port = text.substr(colon + 1);
        unsigned long v = 0;
        bool ok = !port.empty() && port.size() <= 5;
        for (char c : port) {
            if (c < '0' || c > '9') { ok = false; break; }
            v = v * 10 + static_cast<unsigned>(c - '0');
        }
        h.port_ok = ok && v >= 1 && v <= 65535;
        h.port = h.port_ok ? static_cast<std::uint16_t>(v) : 0;
        text = text.substr(0, colon);
    }
    h.host.assign(text);
    h.dotted = text.find('.') != std::string_view::npos;
    return h;
}

bool QueryAnswerA1Valid(const std::uint8_t* d, std::size_t len) {
    return len >= 10 && std::memcmp(d + 4, "USER", 4) == 0 && GetU16(d + 8) >= 0x0500;
}

bool QueryAnswerA2Valid(const std::uint8_t* d, std::size_t len, std::uint8_t socket[2]) {
    if (len < 8 || GetU16(d + 4) != 1) return false;
    std::uint16_t v = GetU16(d + 6);
    if (v == 0 || v == 0xFFFF) return false;
    socket[0] = d[6];
    socket[1] = d[7];
    return true;
}

bool QueryAnswerB2Valid(const std::uint8_t* d, std::size_t len, std::uint8_t socket[2]) {
    if (len < 6 || GetU16(d) != 0x0017 || GetU16(d + 2) != 1 || GetU16(d + 4) == 0xFFFF)
        return false;
    socket[0] = d[4];
    socket[1] = d[5];
    return true;
}

}  // namespace qv::serverlink
