// Knobs of the linkcore core that only its tests turn.
#pragma once

#include <cstdint>

namespace qv::link {

// A connection that has not sent one whole packet within silent_ms of
// connecting, or that leaves a frame incomplete for stall_ms, is dropped.
void SetPeerTimeouts(uint32_t silent_ms, uint32_t stall_ms);
// How long a TCP send may block before the connection is given up (it
// applies to connections accepted afterwards).
void SetSendTimeout(uint32_t send_ms);
// How long the current peer of a datagram endpoint may stay silent before
// a datagram of another caller makes that caller the current peer.
void SetDatagramPeerIdle(uint32_t idle_ms);
constexpr uint32_t kDatagramPeerIdleMs = 30000;
// Connections one TCP/IP endpoint keeps at once; the oldest other than the
// current peer is dropped to make room for a new one.
constexpr int kMaxConnections = 32;

// The port offset: the decimal value of the environment variable
// LINKCORE_PORT_OFFSET (0 when unset or not a number from 0 to 49151),
// added to every TCP and UDP port an endpoint listens on or a Client calls.
// It lets several complete installations (parallel test runs, say) share
// one machine without hearing each other; both sides must use the same.
uint32_t PortOffset();
// port + PortOffset() when that is a valid port (1 to 65535); port 0 (any
// free port) stays 0. False when the result is out of range.
bool OffsetPort(uint32_t port, uint16_t* out);

}  // namespace qv::link
