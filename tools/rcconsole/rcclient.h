// The console's conversation with the agent's verify endpoint.
//
// RcClient sends one request at a time over a PacketLink (a linkcore Client
// in the tool, a scripted peer in the tests) and waits for the reply that
// belongs to it: bytes 0-1 equal to the request's. Other packets (a late
// reply to an earlier request) are dropped without extending the wait.
// Requests that are safe to repeat (information, polling) are sent again
// when no reply comes in time; those with effects (establish, remote
// execute, reboot) are sent once.
//
// The agent answers a validation only when it fails. So a command is sent
// right behind a validation, and a validation failure, arriving first,
// names why the command was refused.
#pragma once

#include <cstdint>
#include <string>

#include "tools/ftconsole/ftclient.h"
#include "tools/rcconsole/rcproto.h"

namespace qv::rcc {

struct Outcome {
    bool ok = false;          // the reply came and reported success
    bool no_reply = false;    // nothing came in time, after every resend
    bool busy = false;        // busy with another console
    bool owner_known = false; // the busy reply named the owner and its age
    BusyReply owner;
    bool refused = false;     // a command the user's flags forbid (an agent with a site key)
    uint16_t status = 0;      // the reply's status when one came
    std::string error;        // what went wrong, in words, when !ok
};

class RcClient {
public:
    RcClient(ftc::PacketLink& link, int timeout_ms, int retries = 3)
        : link_(link), timeout_ms_(timeout_ms), retries_(retries) {}

    Outcome Info(uint8_t level, InfoReply* info);
    // Establishes the session; the user's flags come back in *flags.
    Outcome Establish(EstablishReply* flags);
    // Ends the session. The agent answers only when this console owned a
    // valid session, so the missing answer is not a failure.
    Outcome End();
    // Validates without a command: the session stays alive. A failure comes
    // back within the wait; silence means valid.
    Outcome Validate(int quiet_ms);
    // Validates, then sends the command record; *reply is the command reply.
    Outcome Command(const CommandRecord& rec, bool repeatable, CommandReply* reply);

    int resends() const { return resends_; }

private:
    // Sends req until a packet starting {0, type} arrives; *got holds it.
    Outcome Exchange(const Bytes& req, bool repeatable, Bytes* got);
    // Reads packets until one starting {0, type} arrives or wait_ms pass.
    enum class Wait { kReply, kTimeOut, kBroken };
    Wait AwaitReply(uint8_t type, int wait_ms, Bytes* got);
    Outcome StatusExchange(uint8_t type, int wait_ms, const char* what, bool mark_no_reply);
    Outcome FromStatus(const uint8_t* p, std::size_t n, const char* what);

    ftc::PacketLink& link_;
    int timeout_ms_;
    int retries_;
    int resends_ = 0;
};

}  // namespace qv::rcc
