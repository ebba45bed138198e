// The console's verify-endpoint conversation; see rcclient.h.
#include "tools/rcconsole/rcclient.h"

#include <chrono>

namespace qv::rcc {

RcClient::Wait RcClient::AwaitReply(uint8_t type, int wait_ms, Bytes* got) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Wait::kTimeOut;
        uint8_t in[rc::kMaxPacket + 16];
        const int n = link_.Recv(in, sizeof in, static_cast<int>(left));
        if (n < 0) return Wait::kBroken;
        if (n == 0) return Wait::kTimeOut;
        if (n >= 4 && in[0] == 0 && in[1] == type) {
            got->assign(in, in + n);
            return Wait::kReply;
        }
    }
}

Outcome RcClient::Exchange(const Bytes& req, bool repeatable, Bytes* got) {
    Outcome o;
    const int attempts = repeatable ? retries_ + 1 : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) ++resends_;
        if (!link_.Send(req.data(), req.size())) {
            o.error = "cannot send to the agent";
            return o;
        }
        switch (AwaitReply(req[1], timeout_ms_, got)) {
        case Wait::kReply: o.ok = true; return o;
        case Wait::kBroken: o.error = "the connection to the agent broke"; return o;
        case Wait::kTimeOut: break;
        }
    }
    o.no_reply = true;
    o.error = "no reply from the agent";
    return o;
}

// A reply's status as an outcome; a busy reply also carries the owner.
Outcome RcClient::FromStatus(const uint8_t* p, std::size_t n, const char* what) {
    Outcome o;
    ReplyHead head;
    if (!DecodeHead(p, n, &head)) {
        o.error = std::string("the agent's reply to ") + what + " is malformed";
        return o;
    }
    o.status = head.status;
    o.ok = head.status == rc::kStatusDone;
    if (head.status == rc::kStatusBusy) {
        o.busy = true;
        o.owner_known = DecodeBusy(p, n, &o.owner);  // a 4-byte error reply names no owner
    }
    if (!o.ok) o.error = StatusText(head.status);
    return o;
}

Outcome RcClient::Info(uint8_t level, InfoReply* info) {
    Bytes got;
    Outcome o = Exchange(InfoRequest(level), true, &got);
    if (!o.ok) return o;
    if (DecodeInfo(got.data(), got.size(), info)) return o;
    o = FromStatus(got.data(), got.size(), "the information query");
    // Bytes 2-3 of an information reply are no status: only the error
    // statuses (-2 to -5) make an error reply of it.
    if (o.status < rc::kStatusBadRequest) {
        o.ok = o.busy = false;
        o.error = "the agent's information reply is malformed (" + std::to_string(got.size()) + " bytes)";
    }
    return o;
}

Outcome RcClient::Establish(EstablishReply* flags) {
    Bytes got;
    Outcome o = Exchange(SimpleRequest(rc::kEstablishSession), false, &got);
    if (!o.ok) return o;
    if (DecodeEstablish(got.data(), got.size(), flags)) {
        o.status = flags->status;
        o.ok = flags->status == rc::kStatusDone || flags->status == rc::kStatusAlreadyEstablished;
        if (!o.ok) o.error = StatusText(flags->status);
        return o;
    }
    o = FromStatus(got.data(), got.size(), "establishing");
    if (o.ok) {
        o.ok = false;
        o.error = "the agent's establish reply is malformed (" + std::to_string(got.size()) + " bytes)";
    }
    return o;
}

// A request with no data whose reply is only a status (end, validation). No
// reply within wait_ms is not a failure; mark_no_reply says so in the outcome.
Outcome RcClient::StatusExchange(uint8_t type, int wait_ms, const char* what, bool mark_no_reply) {
    Outcome o;
    const Bytes req = SimpleRequest(type);
    if (!link_.Send(req.data(), req.size())) {
        o.error = "cannot send to the agent";
        return o;
    }
    Bytes got;
    switch (AwaitReply(type, wait_ms, &got)) {
    case Wait::kReply: return FromStatus(got.data(), got.size(), what);
    case Wait::kTimeOut: o.ok = true; o.no_reply = mark_no_reply; return o;
    case Wait::kBroken: o.error = "the connection to the agent broke"; return o;
    }
    return o;
}

Outcome RcClient::End() { return StatusExchange(rc::kEndSession, timeout_ms_, "ending the session", true); }

Outcome RcClient::Validate(int quiet_ms) {
    return StatusExchange(rc::kValidateViewer, quiet_ms, "the validation", false);
}

Outcome RcClient::Command(const CommandRecord& rec, bool repeatable, CommandReply* reply) {
    Outcome o;
    Bytes req;
    if (!CommandRequest(rec, &req)) {
        o.error = "the program and its arguments are too long (at most " + std::to_string(kMaxCommandText - 5) +
                  " characters together)";
        return o;
    }
    const Bytes validate = SimpleRequest(rc::kValidateViewer);
    const int attempts = repeatable ? retries_ + 1 : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) ++resends_;
        if (!link_.Send(validate.data(), validate.size()) || !link_.Send(req.data(), req.size())) {
            o.error = "cannot send to the agent";
            return o;
        }
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
        Outcome invalid;  // a validation failure seen before the command's reply
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            uint8_t in[rc::kMaxPacket + 16];
            const int n = link_.Recv(in, sizeof in, static_cast<int>(left));
            if (n < 0) {
                o.error = "the connection to the agent broke";
                return o;
            }
            if (n == 0) break;
            const std::size_t len = static_cast<std::size_t>(n);
            if (len >= 4 && in[0] == 0 && in[1] == rc::kValidateViewer) {
                invalid = FromStatus(in, len, "the validation");
                continue;
            }
            if (len < 4 || in[0] != 0 || in[1] != rc::kCommand) continue;
            if (!invalid.error.empty() && !invalid.ok) return invalid;
            if (DecodeCommand(in, len, reply)) {
                o.status = reply->status;
                o.ok = reply->status == rc::kStatusDone;
                if (!o.ok) o.error = StatusText(reply->status);
                // Status 8 naming the command (a failed validation names none).
                if (reply->status == rc::kStatusNotPermitted && reply->data[0] == rec.cls) {
                    o.refused = true;
                    o.error = "refused by the agent: the user of this machine does not allow it";
                }
                return o;
            }
            o = FromStatus(in, len, "the command");
            if (o.ok) {
                o.ok = false;
                o.error = "the agent's command reply is malformed (" + std::to_string(len) + " bytes)";
            }
            return o;
        }
        if (!invalid.error.empty() && !invalid.ok) return invalid;
    }
    o.no_reply = true;
    o.error = "no reply from the agent";
    return o;
}

}  // namespace qv::rcc
