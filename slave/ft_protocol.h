// The file transfer protocol between the console and the slave: command
// codes, the request and reply layouts, and MS-DOS date and time words.
//
// Requests are at most 504 bytes: command, sequence, parameter 1 and
// parameter 2 (16-bit little-endian each) and up to 496 bytes of data, a
// zero-terminated path for most commands or raw file bytes for a written
// block. A reply is a 14-byte header (command, status, sequence, file time,
// file date, last, length) followed by `length` data bytes, at most 496.
// Both are encoded and decoded byte by byte; nothing is cast onto a buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qv::ft {

constexpr std::size_t kRequestMax = 504;
constexpr std::size_t kRequestHeader = 8;
constexpr std::size_t kBlockSize = 496;
constexpr std::size_t kReplyHeader = 14;
constexpr std::size_t kReplyMax = kReplyHeader + kBlockSize;
constexpr std::size_t kPathMax = 260;        // saved write target, with its zero
constexpr std::size_t kCurrentDirMax = 250;  // current directory in a reply, with its zero

enum Command : uint16_t {
    FT_NONE = 0,
    FT_SERVER_INFO = 1,
    FT_DRIVE_INFO = 2,
    FT_VOLUME_INFO = 3,
    FT_SECONDARY_VOLUME_INFO = 4,
    FT_FILE_INFO = 5,
    FT_MORE_FILE_INFO = 6,
    FT_EXISTENCE = 7,
    FT_SEND_FILE = 8,
    FT_SEND_NEXT_BLOCK = 9,
    FT_CREATE_NEW_FILE = 10,
    FT_CREATE_FILE = 11,
    FT_WRITE_BLOCK = 12,
    FT_CREATE_DIRECTORY = 13,
    FT_CURRENT_DIRECTORY = 14,
    FT_VERIFY_DIRECTORY = 15,
    FT_VERIFY_DRIVE = 16,
    FT_VERIFY_VOLUME = 17,
    FT_FILE_SIZE = 18,
    FT_DELETE_FILE = 19,
    FT_TERMINATE = 99,
};

// Status codes of our own; every other non-zero status is a Windows system
// error code.
enum : uint16_t {
    kStatusOk = 0,
    kStatusNotFound = 1,        // verify commands: no such object
    kStatusShortWrite = 29,     // ERROR_WRITE_FAULT: fewer bytes written, no system code
    kStatusFileExists = 80,     // ERROR_FILE_EXISTS: FT_CREATE_NEW_FILE on an existing file
    kStatusBadPath = 161,       // ERROR_BAD_PATHNAME: no zero byte ends the path in the data received
    kStatusFileTooLarge = 223,  // ERROR_FILE_TOO_LARGE: FT_FILE_SIZE of a file of 4 GiB or more
};

inline constexpr char kExistenceReply[] = "HEY BUB";  // sent with its zero: 8 bytes

struct Request {
    uint16_t command = 0;
    uint16_t sequence = 0;
    uint16_t param1 = 0;
    uint16_t param2 = 0;
    std::array<uint8_t, kBlockSize> data{};

    // Encodes the header and the first data_len data bytes; returns the size.
    std::size_t Encode(uint8_t* out, std::size_t data_len) const;
    // Decodes len bytes (a shorter packet leaves the rest as it was: only
    // the bytes received belong to this request).
    void Decode(const uint8_t* in, std::size_t len);
    void SetPath(const std::string& path);  // path and its zero, cut to fit
};

struct Reply {
    uint16_t command = 0;
    uint16_t status = 0;
    uint16_t sequence = 0;
    uint16_t file_time = 0;
    uint16_t file_date = 0;
    uint16_t last = 0;
    uint16_t length = 0;
    std::array<uint8_t, kBlockSize> data{};

    // Encodes header and data into out (kReplyMax bytes); returns 14 + length.
    std::size_t Encode(uint8_t* out) const;
    // Decodes a received reply; false when it is shorter than its header or
    // its length field disagrees with the packet.
    bool Decode(const uint8_t* in, std::size_t len);
};

// MS-DOS date and time words: date = (year - 1980) << 9 | month << 5 | day,
// time = hour << 11 | minute << 5 | second / 2.
struct DosStamp {
    int year, month, day, hour, minute, second;
};
DosStamp DecodeDos(uint16_t date, uint16_t time);
// Encodes a calendar time; false (and words of 0) outside 1980..2107 or for
// fields out of range.
bool EncodeDos(const DosStamp& s, uint16_t* date, uint16_t* time);
// True when date and time are a real stamp: month 1..12, a day that the month
// has, hour, minute and second in range (a peer's words are not trusted).
bool ValidDos(uint16_t date, uint16_t time);

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace qv::ft
