// Settings the agent reads and serves: the pipe's request -> reply, the
// location of QVCLIENT.INI and RCHOST.INI's "Fix16ColorBitmaps".
//
// Win32 side:
// - PipeThread reads one message of up to 68 bytes and writes the reply of
//   BuildPipeReply(); PipeHost answers with the agent's protocol,
//   GetComputerNameA (capacity 40) and GetLocalName of the verify endpoint.
// - At the first set-up: LocateClientIni(getenv("SMS_LOCAL_DIR") or null,
//   the letter of the first fixed drive from A: to Z:, or 0).
// - Fix16ColorBitmaps(value of [Misc] "Fix16ColorBitmaps" in RCHOST.INI).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "agent/security.h"

namespace qv::agent {

constexpr std::size_t kPipeMessageBytes = 68;
constexpr std::size_t kPathBytes = 256;  // settings path buffer, terminator included
constexpr char kClientIniName[] = "QVCLIENT.INI";

enum PipeRequestType : uint32_t {
    kPipeGetSettings = 0,
    kPipeSetSettings = 1,
    kPipeType2 = 2,
    kPipeGetAddress = 3,
};

class PipeHost {
public:
    virtual ~PipeHost() = default;
    virtual int Protocol() = 0;  // 1 IPX, 2 TCP/IP, else neither
    virtual std::string ComputerName() = 0;
    // GetLocalName of the verify endpoint with this capacity; bytes stored.
    virtual std::size_t LocalName(uint8_t* buffer, std::size_t capacity) = 0;
};

struct PipeReply {
    std::array<uint8_t, kPipeMessageBytes> bytes{};
    std::size_t len = 0;
};

// The reply to one pipe message of n bytes (types 0-3 and others). A set
// request (type 1) shorter than 12 bytes changes nothing and gets the reply
// of an unknown request, as does a message shorter than 4 bytes.
PipeReply BuildPipeReply(const uint8_t* msg, std::size_t n, Security& security, PipeHost& host);

// Joins dir and name into *out (at most kPathBytes - 1 bytes): one
// backslash between them unless dir is empty, a bare drive ("C:") or ends
// with "\" or "/"; a separator at the start of name is dropped when dir
// ends with one. False (and *out empty) when the result does not fit.
bool JoinPath(std::string_view dir, std::string_view name, std::string* out);

// QVCLIENT.INI: SMS_LOCAL_DIR when set and shorter than 256 bytes, else the
// root of the first fixed drive ("%c:\"), else "" (no fixed drive).
std::string LocateClientIni(const char* sms_local_dir, char first_fixed_drive);

// "ON" or "YES", case ignored.
bool Fix16ColorBitmaps(std::string_view value);

}  // namespace qv::agent
