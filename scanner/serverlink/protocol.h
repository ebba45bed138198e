// Wire formats of the inventory server exchange.
//
// The scanner talks to the inventory server with small datagrams:
//
//   device request   u16 0, u16 "no ID yet" flag, device ID text, NUL
//   reply packet     u16 0xFFFF, u16 header (seq << 8 | total), payload;
//                    1 to 5 packets; packet 1 starts with the count, the
//                    version bytes, their copies and the device number,
//                    every packet then carries a configuration file list
//   data packet      u16 header (number << 8, | number on the last packet),
//                    u16 checksum, payload (the item packet up to and
//                    including its first pair of zero bytes)
//   acknowledgement  u16 header word of the data packet acknowledged
//
// Every number is little-endian. The functions here only encode and decode
// bytes; they never trust a length they were given, so a short or hostile
// datagram can at worst yield "invalid". Both the scanner and our Linux
// inventory server use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/inventory_limits.h"
#include "scanner/software/configfiles.h"

namespace qv::serverlink {

constexpr std::size_t kPayloadSize = kItemPacketSize;   // one item packet
constexpr std::size_t kChecksumSpan = kItemMax;         // bytes the checksum and pair search cover
constexpr std::size_t kHeaderSize = 4;            // header word + checksum / 0xFFFF + header
constexpr std::size_t kDatagramMax = kHeaderSize + kPayloadSize;   // 546
constexpr std::size_t kReplySlotSize = 544;
constexpr std::size_t kSlots = 5;                 // send slots and reply slots
constexpr std::size_t kReplyHeadSize = 14;        // packet-1 fields before its list
constexpr std::uint16_t kDefaultPort = 5007;
constexpr std::uint8_t kVersionMajor = 3;
constexpr std::uint8_t kVersionMinor = 1;
constexpr std::uint16_t kReplyMark = 0xFFFF;

inline std::uint16_t GetU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void PutU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Device request for `device_id` (empty: the scanner has none yet). The ID is
// cut to kDeviceIdMax characters.
std::vector<std::uint8_t> EncodeDeviceRequest(std::string_view device_id);

struct DeviceRequest {
    bool wants_id = false;
    std::string device_id;
};
// Decodes a device request; false when the datagram is not one (data packets
// whose header word is 0 are told apart by their length).
bool DecodeDeviceRequest(const std::uint8_t* data, std::size_t len, DeviceRequest* out);

// Header word of data packet `number` (taken modulo 256).
std::uint16_t DataHeaderWord(unsigned number, bool last);

// Payload length of an item packet: position of its first pair of zero bytes
// within the first 540 bytes plus 2, or 542 when there is none.
std::size_t PayloadLength(const std::uint8_t* payload);

// 16-bit wrapping sum of the first min(len, 540) payload bytes.
std::uint16_t Checksum(const std::uint8_t* payload, std::size_t len);

// Fields of reply packet 1.
struct ReplyHead {
    std::uint16_t count = 0;
    std::uint8_t major = 0, minor = 0;
    std::uint16_t count_copy = 0;
    std::uint8_t major_copy = 0, minor_copy = 0;
    std::uint32_t device_low = 0;
    std::uint16_t device_high = 0;

    bool VersionOk() const { return major == kVersionMajor && minor == kVersionMinor; }
    bool CopiesAgree() const {
        return count == count_copy && major == major_copy && minor == minor_copy;
    }
};
ReplyHead DecodeReplyHead(const std::uint8_t* payload);   // needs kReplyHeadSize bytes
void EncodeReplyHead(const ReplyHead& head, std::uint8_t* payload);

// The device ID a reply assigns: server name, high part as 4 and low part as
// 8 upper-case hexadecimal digits.
std::string AssignedDeviceId(std::string_view server_name, std::uint16_t high, std::uint32_t low);

// One entry of a configuration file list.
struct ConfigEntry {
    std::string directory;
    std::string file;
    std::uint32_t time = 0;
    std::uint32_t size = 0;
};

// Decodes the configuration file list in data[0, len). Stops at the ending
// zero byte or at the first entry that does not fit; returns the entries
// decoded.
std::vector<ConfigEntry> DecodeConfigList(const std::uint8_t* data, std::size_t len);

// Encodes as many of `entries` (from `first` on) as fit in `cap` bytes
// together with the ending zero byte; returns the number taken (encoded, or
// passed over as impossible to send: an empty directory, a zero byte in a
// text, longer than a packet) and sets *used to the bytes written (at least
// 1 when cap >= 1).
std::size_t EncodeConfigList(const std::vector<ConfigEntry>& entries, std::size_t first,
                             std::uint8_t* out, std::size_t cap, std::size_t* used);

// Stores one server entry into `list`: found by its full name (directory and
// file), or by the full name without its drive prefix, in which case an entry
// for the full name is added at the first free position from the list's count
// on. Returns true when an entry was updated or added.
bool MergeConfigEntry(scanner::ConfigFileList& list, const ConfigEntry& entry);

// Destinations parsed from the command-line address texts.
struct IpxAddress {
    std::uint8_t net[4] = {};
    std::uint8_t node[6] = {};
    std::uint8_t socket[2] = {};   // network order, as written
    bool has_socket = false;
};
// "NNNNNNNN:XXXXXXXXXXXX" or "...:SSSS"; a part that is not exactly that many
// hexadecimal digits stays zero.
IpxAddress ParseIpxAddress(std::string_view text);
// Local IPX address as "NNNNNNNN:XXXXXXXXXXXX" (upper case).
std::string FormatIpxAddress(const IpxAddress& a);

struct IpHost {
    std::string host;
    std::uint16_t port = kDefaultPort;
    bool port_ok = true;           // false: the text after ":" is no port number
    bool dotted = false;           // the host text contains a "."
};
IpHost ParseIpHost(std::string_view text);

// Checks of the IPX socket query answers (see link.cpp for the sequence).
bool QueryAnswerA1Valid(const std::uint8_t* data, std::size_t len);
bool QueryAnswerA2Valid(const std::uint8_t* data, std::size_t len, std::uint8_t socket[2]);
bool QueryAnswerB2Valid(const std::uint8_t* data, std::size_t len, std::uint8_t socket[2]);

}  // namespace qv::serverlink
