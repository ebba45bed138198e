// Test support: the datagrams a scanner sends, built the way its link builds
// them, for the inventory server's tests and fuzz drivers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "scanner/serverlink/protocol.h"

namespace qv::invserver::test {

// A data packet: header word, checksum and the payload's texts (cut so that
// the payload keeps its two-zero end).
inline std::vector<std::uint8_t> DataPacket(unsigned number, bool last, const std::string& texts) {
    std::uint8_t payload[serverlink::kPayloadSize] = {};
    std::memcpy(payload, texts.data(), std::min(texts.size(), sizeof payload - 2));
    const std::size_t n = serverlink::PayloadLength(payload);
    std::vector<std::uint8_t> b(4 + n);
    serverlink::PutU16(b.data(), serverlink::DataHeaderWord(number, last));
    serverlink::PutU16(b.data() + 2, serverlink::Checksum(payload, n));
    std::memcpy(b.data() + 4, payload, n);
    return b;
}

// One text of a payload, with its terminating zero.
inline std::string Item(const std::string& text) { return text + std::string(1, '\0'); }

}  // namespace qv::invserver::test
