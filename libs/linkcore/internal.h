// Knobs of the linkcore core that only its tests turn.
#pragma once

#include <cstdint>

namespace qv::link {

// A connection that has not sent one whole packet within silent_ms of
// connecting, or that leaves a frame incomplete for stall_ms, is dropped.
void SetPeerTimeouts(uint32_t silent_ms, uint32_t stall_ms);
// Connections one TCP/IP endpoint keeps at once; the oldest other than the
// current peer is dropped to make room for a new one.
constexpr int kMaxConnections = 32;

}  // namespace qv::link
