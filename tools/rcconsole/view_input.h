// The viewer's input commands: what `view` sends to the agent for the
// commands typed while it runs (key, text, move, click), as the payload
// commands of the data endpoint (key: code 1, mouse: code 2).
//
// Keys are Windows virtual-key codes; bit 15 of a key code means "released".
// The agent injects a key with the virtual key (it finds the scan code
// itself) unless its input desktop is not the default one: then only the
// scan code reaches the machine, so each key carries the US-layout scan code
// of its virtual key as well. Pointer positions are pixels of the remote
// screen; the agent scales them for the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/rcconsole/rcproto.h"

namespace qv::rcc {

// A viewer packet carries at most this many payload bytes (the agent reads
// 512 bytes a packet, 4 of them the header).
constexpr std::size_t kMaxViewerPayload = rc::kRecvCapacity - rc::kPacketHeader;

// mouse_event's flags as the mouse command carries them (the agent adds
// "absolute").
constexpr uint8_t kMouseMove = 0x01, kMouseLeftDown = 0x02, kMouseLeftUp = 0x04, kMouseRightDown = 0x08,
                  kMouseRightUp = 0x10;
constexpr uint16_t kKeyReleased = 0x8000;

void AppendKey(Bytes* payload, uint16_t key_code, uint8_t scan);
void AppendMouse(Bytes* payload, uint8_t flags, uint16_t x, uint16_t y);

// The US-layout scan code of a virtual key, 0 when it has none here.
uint8_t ScanCodeOf(uint8_t vk);

// Appends one command (a key or mouse command's bytes) to the last payload,
// or starts a new one when it would pass kMaxViewerPayload: payloads are cut
// between commands.
void AddCommand(std::vector<Bytes>* payloads, const Bytes& command);

// Turns one typed view command into payloads of at most kMaxViewerPayload
// bytes each, cut between commands:
//   key CODE [SCAN]           CODE pressed and released (only the one event
//                             when CODE has bit 15 set); hexadecimal 0x..
//                             or decimal
//   text TEXT                 each character typed (printable ASCII, shift
//                             pressed around capitals and symbols)
//   move X Y                  the pointer to pixel X, Y
//   click X Y [left|right]    moved there and the button pressed and released
// Positions must lie inside the screen when its size is known (width and
// height non-zero). False, with the reason in *error, for anything else.
bool ViewCommandPayloads(const std::vector<std::string>& words, unsigned width, unsigned height,
                         std::vector<Bytes>* payloads, std::string* error);

}  // namespace qv::rcc
