// The remote control wire: what the agent (rchost32) and a console put in
// the packets they exchange over linkcore.
//
// Two endpoints. The verify endpoint carries short request/reply exchanges
// (information, establishing and ending a session, validation, commands);
// every request starts with byte 0 = 0 and byte 1 = the request type, and
// every reply repeats those two bytes followed by a 16-bit status. The data
// endpoint carries the remote control stream: a 4-byte header (type,
// sequence, acknowledgement, flags) and a payload. All multi-byte fields are
// little-endian and are encoded byte by byte.
//
// This header holds only the numbers both sides must agree on; the agent's
// handling lives in its own modules and the console's in tools/.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::rc {

// Endpoints: TCP ports and IPX sockets.
constexpr uint32_t kVerifyTcpPort = 1761;
constexpr uint32_t kDataTcpPort = 1762;
constexpr uint32_t kVerifyIpxSocket = 0x8138;
constexpr uint32_t kDataIpxSocket = 0x8238;

// The agent receives into 512 bytes on both endpoints.
constexpr std::size_t kRecvCapacity = 512;

// Verify requests (byte 1).
enum VerifyType : uint8_t {
    kInfoQuery = 0,
    kValidateViewer = 1,
    kEstablishSession = 2,
    kEndSession = 3,
    kSetTokenData = 5,
    kGetTokenData = 6,
    kCommand = 7,
};

// Verify reply statuses (bytes 2-3).
enum VerifyStatus : uint16_t {
    kStatusDone = 0,
    kStatusAlreadyEstablished = 1,
    kStatusInvalidViewer = 8,
    // The same value in a command reply whose data names the command
    // ({class, sub, 0, 0}): the user's flags forbid it (agents with a site
    // key enforce them).
    kStatusNotPermitted = 8,
    kStatusBusy = 0xFFFE,        // -2: busy with another client
    kStatusNoSession = 0xFFFD,   // -3: no session established
    kStatusTimedOut = 0xFFFC,    // -4: session timed out
    kStatusBadRequest = 0xFFFB,  // -5: unknown request or malformed record
};

constexpr std::size_t kErrorReplySize = 4;
constexpr std::size_t kBusyReplySize = 22;
constexpr std::size_t kBusyOwnerAddressBytes = 16;
constexpr std::size_t kEstablishReplySize = 14;
constexpr std::size_t kInfoLevel0ReplySize = 22;
constexpr std::size_t kInfoTrailingZeros = 100;
constexpr std::size_t kCommandReplySize = 12;
constexpr std::size_t kCommandRecordOffset = 8;  // record starts at 8 + N (u16 N at bytes 4-5)
constexpr std::size_t kAddressMax = 32;          // GetRemoteName capacity

// Session owner state: bit 0x80 = established. Age is counted in 55 ms
// ticks; a session whose age exceeds 2475 ticks has expired.
constexpr uint8_t kSessionEstablished = 0x80;
constexpr uint32_t kTickMs = 55;
constexpr uint32_t kMaxSessionAgeTicks = 2475;
constexpr uint16_t kNoSessionAge = 0xFFFF;

// Command records (request type 7): class, sub-command, u16 code, texts.
constexpr uint8_t kCommandClassSystem = 6;
constexpr uint8_t kSubRemoteExec = 0;
constexpr uint8_t kSubReboot = 1;
constexpr uint16_t kCodeRemoteExec = 0xCBB6;
constexpr uint16_t kCodePollResult = 0xCBB7;
constexpr uint16_t kExecFailedCode = 0xFFFF;
constexpr uint8_t kExecOptionKPrefix = 0x20;

// Last result of a remote execute or permission request.
constexpr uint16_t kResultPromptOpen = 0;
constexpr uint16_t kResultStarted = 32;
constexpr uint16_t kResultAllowed = 33;
constexpr uint16_t kResultRefused = 34;

// Data endpoint packet types (byte 0).
enum PacketType : uint8_t {
    PT_CONNECT = 1,
    PT_CONNECT_ACK = 2,
    PT_DISCONNECT = 3,
    PT_DISCONNECT_ACK = 5,
    PT_DATA = 6,
    PT_ACK = 7,
    PT_RESEND = 8,
    PT_STATUS_REQUEST = 9,
    PT_STATUS = 10,
};

constexpr std::size_t kPacketHeader = 4;
constexpr std::size_t kMaxPayload = 542;
constexpr std::size_t kMaxPacket = kPacketHeader + kMaxPayload;  // 546
constexpr int kSendSlots = 5;

// Flags of an agent data packet (byte 3).
constexpr uint8_t kFlagMoreFollows = 0x01;   // cut at 542 bytes, more queued bytes follow
constexpr uint8_t kFlagQueueStart = 0x02;    // starts at queue offset 0

// Commands in the payload of a viewer's packets: code, total length.
enum PayloadCommand : uint8_t {
    kCmdKey = 1,           // 4: u16 key code, u8 scan code
    kCmdMouse = 2,         // 6: u8 buttons, u16 x, u16 y
    kCmdStartViewing = 4,  // 63: u8 factor 1, u8 factor 2, 60-byte viewer name
    kCmdInvalidate = 5,    // 9: s16 left, top, right, bottom
    kCmdPause = 6,         // 1
    kCmdResume = 7,        // 1
    kCmdColourFactors = 8, // 5: u16 factor 1, u16 factor 2
    kCmdSecureAttention = 9,  // 1
};
constexpr std::size_t kViewerNameBytes = 60;

// Permission flags (u32) and signal flags (low byte), as reported to the
// console at establish and through the settings pipe.
constexpr uint32_t kAllowTakeover = 0x0001;
constexpr uint32_t kAllowChat = 0x0010;
constexpr uint32_t kAllowFileTransfer = 0x0020;
constexpr uint32_t kAllowReboot = 0x0040;
constexpr uint32_t kAllowRemoteExecute = 0x0080;
constexpr uint32_t kAllowPingTest = 0x2000;
constexpr uint32_t kDefaultPermissions = 0x20F1;
constexpr uint32_t kSignalPermissionRequired = 0x01;
constexpr uint32_t kSignalAudible = 0x02;
constexpr uint32_t kSignalVisible = 0x04;

}  // namespace qv::rc
