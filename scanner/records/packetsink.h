// The hand-over point between the item stream and the inventory server link.
//
// The item stream packs items into one 542-byte packet; when the packet is
// full (or at the end of the run) it hands the whole buffer to a PacketSink.
// In a real run the sink is the server link, which copies the packet into a
// send slot; tests use a sink that records every packet.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/inventory_limits.h"

namespace qv::scanner {

class PacketSink {
public:
    virtual ~PacketSink() = default;
    // Takes one packet. `number` counts the run's packets from 1; `last` marks
    // the final packet. Returns 0 when the packet was accepted, -1 when the
    // link gave up on it (no free send slot in time).
    virtual int SendPacket(const std::uint8_t* packet, unsigned number, bool last) = 0;
};

}  // namespace qv::scanner
