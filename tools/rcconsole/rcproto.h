// The console's side of the remote control wire (agent/rc_wire.h): the
// requests it builds and the replies it reads, as plain values and texts.
//
// Nothing here trusts the agent: every decoder checks the length it was
// given before it reads a field and says false for a reply that does not
// fit its form, so a short, long or garbled packet is reported, never read
// past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/rc_wire.h"

namespace qv::rcc {

using Bytes = std::vector<uint8_t>;

// ---- Verify endpoint requests ----
Bytes InfoRequest(uint8_t level);
Bytes SimpleRequest(uint8_t type);  // validate, establish, end session

// A command request (type 7) with the record right after the 8-byte head
// (offset N = 0): class, sub-command, code, the program text and the
// argument text each with its zero byte, two zero bytes, the options byte.
struct CommandRecord {
    uint8_t cls = rc::kCommandClassSystem;
    uint8_t sub = rc::kSubRemoteExec;
    uint16_t code = 0;
    std::string program;
    std::string arguments;
    uint8_t options = 0;
};
// The agent copies at most this many bytes of a record's texts (program,
// arguments, their zero bytes, two bytes and the options byte).
constexpr std::size_t kMaxCommandText = 255;
// False (and nothing built) when the texts do not fit or hold a zero byte.
bool CommandRequest(const CommandRecord& rec, Bytes* out);

// ---- Verify endpoint replies ----
// What every reply starts with: the request's two bytes and a status.
struct ReplyHead {
    uint8_t zero = 0, type = 0;
    uint16_t status = 0;
};
bool DecodeHead(const uint8_t* p, std::size_t n, ReplyHead* out);

// A busy reply: 22 bytes, status -2, the owner's age and address.
struct BusyReply {
    uint16_t age_ticks = 0;
    uint8_t owner[rc::kBusyOwnerAddressBytes] = {};
};
bool DecodeBusy(const uint8_t* p, std::size_t n, BusyReply* out);

// An establish reply: status 0 with the flags, or 1 (already established).
struct EstablishReply {
    uint16_t status = 0;
    uint32_t permissions = 0;
    uint8_t signals = 0;
};
bool DecodeEstablish(const uint8_t* p, std::size_t n, EstablishReply* out);

// An information reply of any level.
struct InfoReply {
    bool version_known = false;
    uint16_t os_version = 0;  // major in the high byte
    uint8_t level = 0;
    // Level 1 and above.
    std::string product;
    uint16_t transport = 0;  // 1 IPX, 3 TCP/IP
    uint16_t session_age = rc::kNoSessionAge;
    bool viewer_active = false;
    // Level 3 and above.
    uint16_t keyboard_type = 0, keyboard_subtype = 0, code_page = 0;
    std::string language;
};
bool DecodeInfo(const uint8_t* p, std::size_t n, InfoReply* out);

// A command reply: 12 bytes, the status and four data bytes.
struct CommandReply {
    uint16_t status = 0;
    uint8_t data[4] = {};
    uint16_t code() const { return static_cast<uint16_t>(data[2] | data[3] << 8); }
};
bool DecodeCommand(const uint8_t* p, std::size_t n, CommandReply* out);

// ---- Texts ----
// A reply status in words: "done", "busy with another console", ...
std::string StatusText(uint16_t status);
// The permission flags and signal flags as words: "takeover file-transfer
// ...; signals: none".
std::string PermissionWords(uint32_t permissions);
std::string SignalWords(uint32_t signals);
// linkcore address bytes (IPv4 and port, network order) as "1.2.3.4:5";
// anything else as hexadecimal bytes.
std::string AddressText(const uint8_t* p, std::size_t n);
// The last result of a remote execute: "started", "allowed", "refused",
// "prompt still open" or "Windows error N".
std::string ResultText(uint16_t result);
// A session age of 55 ms ticks in whole seconds.
inline unsigned AgeSeconds(uint16_t ticks) { return static_cast<unsigned>(ticks) * rc::kTickMs / 1000; }

// ---- The settings pipe of the agent ("\\.\pipe\RCHOST Agent") ----
constexpr std::size_t kPipeMessage = 68;
constexpr uint32_t kPipeGet = 0, kPipeSet = 1, kPipeAddress = 3;
// A request message of 68 bytes: the type, and for a set the signal flags
// in byte 4 and the permission flags in bytes 8-11.
Bytes PipeRequest(uint32_t type, uint8_t signals = 0, uint32_t permissions = 0);
// A reply in words, one line per fact: "signals 0x04 visible",
// "permissions 0x00000001 takeover", "address tcp/ip computer NAME local
// 127.0.0.1:1761", "error 0", or "raw HEX" for a reply of no known form.
std::vector<std::string> DescribePipeReply(const uint8_t* p, std::size_t n);

// ---- Data endpoint ----
Bytes ControlPacket(uint8_t type, uint8_t ack = 0);  // {type, 0, ack, 0}
// A viewer data packet starting viewing: command 4 with the two colour
// factors and the viewer name (cut to 59 characters).
Bytes StartViewingPacket(uint8_t sequence, uint8_t ack, uint8_t factor1, uint8_t factor2, const std::string& name);

// Counts the screen records in the agent's byte stream (records may span
// packets). A packet flagged as the start of the queue starts a fresh
// stream; after a record code it does not know, the counter skips to the
// next such packet and counts the bytes as unknown.
class RecordCounter {
public:
    void Feed(const uint8_t* payload, std::size_t n, bool queue_start);
    uint64_t records() const { return records_; }
    uint64_t unknown_bytes() const { return unknown_; }

private:
    Bytes pending_;  // the start of a record not yet complete (at most its fixed head)
    uint64_t need_ = 0;  // bytes still to skip of the current record's body
    bool lost_ = false;
    uint64_t records_ = 0, unknown_ = 0;
};

// The viewer's receive side of the data packets: in-sequence packets are
// taken and acknowledged, a repeated one is acknowledged again (the first
// acknowledgement may have been lost) but not taken, one that skips ahead
// asks for the missing one to be sent again.
class DataReceiver {
public:
    enum class Action { kTake, kRepeat, kGap };
    // What to do with a data packet of this sequence; *reply is the packet
    // to send back (an acknowledgement or a resend request).
    Action OnData(uint8_t sequence, Bytes* reply);
    uint8_t last() const { return last_; }

private:
    uint8_t last_ = 255;  // the last in-order sequence taken
};

}  // namespace qv::rcc
