// The verify endpoint: session owner state and the handling of one request.
//
// Win32 side (VerifyThread): for each packet received on the verify
// endpoint, set the caller address length to 32, GetRemoteName(), then
//   VerifyOutcome out = verify.Handle(packet, n, caller, caller_len, GetTickCount());
//   if (out.reply_len) SendPacket(verify, out.reply, out.reply_len);
//   if (out.reboot) Reboot();            // after the reply went out
//   if (out.accept_any_caller) AcceptAnyCaller(verify);
// Handle() calls the VerifyHost for what needs the platform. VerifyThread
// alone calls Handle(); the Security object is shared with other threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "agent/agent_events.h"
#include "agent/rc_wire.h"
#include "agent/security.h"

namespace qv::agent {

// Inputs of the information reply, read by the Win32 side per request.
struct SystemInfo {
    bool os_version_known = false;
    uint16_t os_version = 0;      // major in the high byte, minor in the low byte
    uint16_t keyboard_type = 0;   // GetKeyboardType(0)
    uint16_t keyboard_subtype = 0;  // GetKeyboardType(1)
    uint16_t ansi_code_page = 0;  // GetACP()
    int protocol = 1;             // 1 IPX, 2 TCP/IP (the agent's protocol state)
    bool viewer_active = false;   // IsSessionActive on the data endpoint
};

class VerifyHost : public ProgramHost {
public:
    virtual SystemInfo Info() = 0;
    // Shows a "Check out!" box (error icon) with `text` without blocking
    // the caller; at most one such box at a time (a request while one is
    // shown is dropped).
    virtual void ShowCheckOut(const char* text) = 0;
};

constexpr std::size_t kVerifyReplyMax = 256;
constexpr uint32_t kNoEstablishTime = 0;

struct VerifyOutcome {
    std::array<uint8_t, kVerifyReplyMax> reply{};
    std::size_t reply_len = 0;     // 0: nothing to send
    bool reboot = false;           // reboot once the reply is sent
    bool accept_any_caller = false;
};

// Information reply for level L into out (at least kVerifyReplyMax bytes);
// returns its length: 22 for L = 0, else E + 100.
std::size_t BuildInfoReply(uint8_t level, const SystemInfo& info, uint16_t session_age, uint8_t* out);

class VerifyEndpoint {
public:
    VerifyEndpoint(Security& security, VerifyHost& host, AgentEvents& events)
        : security_(security), host_(host), ev_(events) {}

    // One request; now_ms is the tick count in milliseconds.
    VerifyOutcome Handle(const uint8_t* packet, std::size_t len, const uint8_t* caller,
                         std::size_t caller_len, uint32_t now_ms);

    bool Established() const { return (state_ & rc::kSessionEstablished) != 0; }
    // Age of the session in 55 ms ticks at now_ms (0xFFFF-capped 16-bit in replies).
    uint32_t AgeTicks(uint32_t now_ms) const { return (now_ms - establish_time_) / rc::kTickMs; }
    bool Expired(uint32_t now_ms) const { return AgeTicks(now_ms) > rc::kMaxSessionAgeTicks; }

private:
    bool Busy(const uint8_t* req, std::size_t len, uint32_t now, VerifyOutcome* out);
    uint16_t Validate(uint32_t now);  // 0 = valid, else the error status
    bool SameAsOwner() const;
    void ErrorReply(const uint8_t* req, std::size_t len, uint16_t status, VerifyOutcome* out);
    void Command(const uint8_t* req, std::size_t len, uint32_t now, VerifyOutcome* out);

    Security& security_;
    VerifyHost& host_;
    AgentEvents& ev_;
    uint8_t state_ = 0;
    std::array<uint8_t, rc::kAddressMax> owner_{};
    std::size_t owner_len_ = 0;
    uint32_t establish_time_ = kNoEstablishTime;
    std::array<uint8_t, rc::kAddressMax> caller_{};
    std::size_t caller_len_ = 0;
};

}  // namespace qv::agent
