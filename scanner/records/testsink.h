// Test helpers: a packet sink that records every packet, and views of a
// packet's payload as the receiver sees it.
#pragma once

#include "scanner/records/packetsink.h"

#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace qv::scanner::test {

struct SentPacket {
    std::string bytes;  // all kItemPacketSize bytes
    unsigned number;
    bool last;
    bool operator==(const SentPacket&) const = default;
};

class RecordingSink : public PacketSink {
public:
    int SendPacket(const std::uint8_t* packet, unsigned number, bool last) override {
        packets.push_back({std::string(reinterpret_cast<const char*>(packet), kItemPacketSize), number, last});
        return failing.count(number) ? -1 : 0;
    }
    std::vector<SentPacket> packets;
    std::set<unsigned> failing;  // packet numbers the link gives up on
};

inline void PrintTo(const SentPacket& p, std::ostream* os) {
    *os << "#" << p.number << (p.last ? " last " : " ") << "\"";
    std::size_t end = p.bytes.find_last_not_of('\0');
    for (std::size_t i = 0; end != std::string::npos && i <= end; ++i) {
        unsigned char c = static_cast<unsigned char>(p.bytes[i]);
        if (c >= 32 && c < 127) *os << c;
        else *os << "\\x" << "0123456789ABCDEF"[c >> 4] << "0123456789ABCDEF"[c & 15];
    }
    *os << "\"";
}

// The payload as the receiver measures it: up to the first pair of zero
// bytes, both included. Empty when the packet has no such pair.
inline std::string Payload(const std::string& packet) {
    for (std::size_t i = 0; i + 1 < packet.size(); ++i)
        if (packet[i] == '\0' && packet[i + 1] == '\0') return packet.substr(0, i + 2);
    return {};
}

// The payload without the end zero byte (an empty packet has no data).
inline std::string Data(const SentPacket& p) {
    std::string s = Payload(p.bytes);
    return s.size() <= 2 ? std::string() : s.substr(0, s.size() - 1);
}

}  // namespace qv::scanner::test
