#include "agent/verify.h"

#include <algorithm>
#include <cstring>

#include "common/le_bytes.h"

namespace qv::agent {

namespace {

using le::Put16;
using le::Put32;
using le::Get16;

// Request byte i, or 0 past the end of a short packet.
uint8_t At(const uint8_t* req, std::size_t len, std::size_t i) { return i < len ? req[i] : 0; }

constexpr char kProduct[] = "Fieldhaven Workgroup Manager ver 1.1";  // 36 letters + zero = 37 bytes
static_assert(sizeof kProduct == 37);

// Finds the zero byte that ends a text starting at `from`; len when none.
std::size_t TextEnd(const uint8_t* p, std::size_t from, std::size_t len) {
    const void* z = from < len ? std::memchr(p + from, 0, len - from) : nullptr;
    return z ? static_cast<std::size_t>(static_cast<const uint8_t*>(z) - p) : len;
}

}  // namespace

std::size_t BuildInfoReply(uint8_t level, const SystemInfo& info, uint16_t session_age, uint8_t* out) {
    const uint8_t l = level >= 3 ? 3 : level;
    std::memset(out, 0, kVerifyReplyMax);
    Put16(out + 2, info.os_version_known ? 1 : 0);
    std::memcpy(out + 4, "USER", 4);
    Put16(out + 8, 1);
    out[10] = l;
    Put16(out + 12, 8);
    Put16(out + 14, info.os_version);
    Put16(out + 16, 8);
    Put16(out + 18, info.os_version);
    Put16(out + 20, 0x0101);
    if (l == 0) return rc::kInfoLevel0ReplySize;
    const uint16_t p = l == 1 ? 34 : l == 2 ? 46 : 60;
    const uint16_t e = static_cast<uint16_t>(p + 42);
    Put16(out + 22, p);
    Put16(out + 24, static_cast<uint16_t>(p + 37));
    Put16(out + 26, info.protocol == 2 ? 3 : 1);
    Put16(out + 28, e);
    Put16(out + 30, session_age);
    out[33] = info.viewer_active ? 0x08 : 0;
    if (l >= 2) {
        static const uint8_t kLevel2[12] = {0, 0xFD, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0};
        std::memcpy(out + 34, kLevel2, sizeof kLevel2);
    }
    if (l >= 3) {
        Put16(out + 46, 0x0100);
        Put16(out + 48, info.keyboard_type);
        Put16(out + 50, info.keyboard_subtype);
        std::memcpy(out + 54, "ENU", 4);
        Put16(out + 58, info.ansi_code_page);
    }
    std::memcpy(out + p, kProduct, sizeof kProduct);
    out[p + 37] = 2;
    static const uint8_t kTail[4] = {4, 1, 2, 1};
    std::memcpy(out + p + 38, kTail, sizeof kTail);
    return static_cast<std::size_t>(e) + rc::kInfoTrailingZeros;
}

bool VerifyEndpoint::SameAsOwner() const {
    // Byte for byte; a caller whose address could not be read (length 0)
    // is nobody's owner.
    return caller_len_ != 0 && caller_len_ == owner_len_ &&
           std::memcmp(owner_.data(), caller_.data(), caller_len_) == 0;
}

void VerifyEndpoint::ErrorReply(const uint8_t* req, std::size_t len, uint16_t status, VerifyOutcome* out) {
    out->reply[0] = At(req, len, 0);
    out->reply[1] = At(req, len, 1);
    Put16(out->reply.data() + 2, status);
    out->reply_len = rc::kErrorReplySize;
}

bool VerifyEndpoint::Busy(const uint8_t* req, std::size_t len, uint32_t now, VerifyOutcome* out) {
    if (establish_time_ == kNoEstablishTime) return false;
    if (Expired(now)) {
        establish_time_ = kNoEstablishTime;
        state_ = static_cast<uint8_t>(state_ & ~rc::kSessionEstablished);
        return false;
    }
    if (SameAsOwner()) return false;
    Logf(ev_, "BUSY -- sending busy packet");
    uint8_t* r = out->reply.data();
    r[0] = At(req, len, 0);
    r[1] = At(req, len, 1);
    Put16(r + 2, rc::kStatusBusy);
    Put16(r + 4, static_cast<uint16_t>(std::min<uint32_t>(AgeTicks(now), 0xFFFF)));
    std::memcpy(r + 6, owner_.data(), rc::kBusyOwnerAddressBytes);
    out->reply_len = rc::kBusyReplySize;
    return true;
}

uint16_t VerifyEndpoint::Validate(uint32_t now) {
    if (!(state_ & rc::kSessionEstablished) || establish_time_ == kNoEstablishTime) {
        Logf(ev_, "No session established");
        return rc::kStatusNoSession;
    }
    if (Expired(now)) {
        state_ = static_cast<uint8_t>(state_ & ~rc::kSessionEstablished);
        establish_time_ = kNoEstablishTime;
        Logf(ev_, "Session timed Out");
        return rc::kStatusTimedOut;
    }
    if (!SameAsOwner()) {
        Logf(ev_, "Busy with another client");
        return rc::kStatusBusy;
    }
    establish_time_ = now ? now : 1;  // 0 means "no session"
    return 0;
}

VerifyOutcome VerifyEndpoint::Handle(const uint8_t* req, std::size_t len, const uint8_t* caller,
                                     std::size_t caller_len, uint32_t now) {
    VerifyOutcome out;
    caller_len_ = std::min(caller_len, caller_.size());
    caller_.fill(0);
    if (caller_len_) std::memcpy(caller_.data(), caller, caller_len_);

    if (len < 2 || req[0] != 0) {
        ErrorReply(req, len, rc::kStatusBadRequest, &out);
    } else {
        switch (req[1]) {
        case rc::kInfoQuery:
            if (!Busy(req, len, now, &out)) {
                const uint16_t age = Established() && establish_time_ != kNoEstablishTime
                                         ? static_cast<uint16_t>(std::min<uint32_t>(AgeTicks(now), 0xFFFE))
                                         : rc::kNoSessionAge;
                out.reply_len = BuildInfoReply(At(req, len, 2), host_.Info(), age, out.reply.data());
            }
            break;
        case rc::kValidateViewer: {
            const uint16_t st = Validate(now);
            if (st) {
                Logf(ev_, "INVALID VIEWER -- sending error packet");
                ErrorReply(req, len, st, &out);
            }
            break;
        }
        case rc::kEstablishSession:
            Logf(ev_, "Got an ESTABLISH_SESSION packet");
            if (Busy(req, len, now, &out)) break;
            out.reply[1] = rc::kEstablishSession;
            out.reply_len = rc::kEstablishReplySize;
            if (state_ & rc::kSessionEstablished) {
                Put16(out.reply.data() + 2, rc::kStatusAlreadyEstablished);
                out.reply[8] = state_;
            } else {
                state_ |= rc::kSessionEstablished;
                ev_.Audit(kAuditSessionEstablished, true, nullptr);
                owner_ = caller_;
                owner_len_ = caller_len_;
                establish_time_ = now ? now : 1;
                Put32(out.reply.data() + 4, security_.permissions.load());
                out.reply[8] = static_cast<uint8_t>(security_.signals.load() & 0xFF);
            }
            break;
        case rc::kEndSession: {
            const uint16_t st = Validate(now);
            if (st == 0) {
                establish_time_ = kNoEstablishTime;
                out.reply[1] = rc::kEndSession;
                out.reply_len = rc::kErrorReplySize;
                caller_len_ = 0;
            } else {
                Logf(ev_, "INVALID VIEWER -- sending error packet");
                ErrorReply(req, len, st, &out);
            }
            state_ = 0;
            out.accept_any_caller = true;
            break;
        }
        case rc::kSetTokenData:
            Logf(ev_, "Got an QTMP_SET_TOKEN_DATA packet");
            host_.ShowCheckOut("Console sent a request to set the token");
            break;
        case rc::kGetTokenData:
            Logf(ev_, "Got an QTMP_GET_TOKEN_DATA packet");
            host_.ShowCheckOut("Console sent a request to get the token");
            break;
        case rc::kCommand:
            Command(req, len, now, &out);
            break;
        default:
            ErrorReply(req, len, rc::kStatusBadRequest, &out);
            break;
        }
    }
    if (!(state_ & rc::kSessionEstablished)) out.accept_any_caller = true;
    return out;
}

void VerifyEndpoint::Command(const uint8_t* req, std::size_t len, uint32_t now, VerifyOutcome* out) {
    Logf(ev_, "Have we got this far?");
    uint8_t* r = out->reply.data();
    auto reply = [&](uint16_t status, uint8_t d0, uint8_t d1, uint16_t code) {
        r[0] = 0;
        r[1] = rc::kCommand;
        Put16(r + 2, status);
        Put16(r + 4, 0);
        Put16(r + 6, 4);
        r[8] = d0;
        r[9] = d1;
        Put16(r + 10, code);
        out->reply_len = rc::kCommandReplySize;
    };
    if (Validate(now) != 0) {
        Logf(ev_, "Viewer is not valid - Check out!");
        reply(rc::kStatusInvalidViewer, rc::kStatusInvalidViewer, 0, 0);
        return;
    }
    // The record starts at 8 + N and must lie within the bytes received.
    if (len < 6) return ErrorReply(req, len, rc::kStatusBadRequest, out);
    const std::size_t at = rc::kCommandRecordOffset + Get16(req + 4);
    if (at + 4 > len) return ErrorReply(req, len, rc::kStatusBadRequest, out);
    const uint8_t cls = req[at], sub = req[at + 1];
    const uint16_t code = Get16(req + at + 2);
    if (cls != rc::kCommandClassSystem) {
        Logf(ev_, "Bad Command %d %d", cls, sub);
        return reply(0, cls, sub, rc::kStatusBadRequest);
    }
    // Refused by the user's flags: status 8 with the command in the data
    // (a failed validation has {8, 0, 0, 0}), so a console can tell them apart.
    auto refused = [&](uint32_t bit) {
        if (security_.Permits(bit)) return false;
        Logf(ev_, "Command refused: \"%s\" is not allowed by the user", PermissionKey(bit));
        reply(rc::kStatusNotPermitted, cls, sub, 0);
        return true;
    };
    if (sub == rc::kSubReboot) {
        if (refused(rc::kAllowReboot)) return;
        reply(0, cls, sub, 0);
        ev_.Audit(kAuditReboot, true, nullptr);
        out->reboot = true;
        return;
    }
    if (sub != rc::kSubRemoteExec) return reply(0, cls, sub, rc::kStatusBadRequest);
    Logf(ev_, "Remote Exec of some kind");
    if (code == rc::kCodePollResult) return reply(0, cls, sub, security_.last_result.load());
    if (code != rc::kCodeRemoteExec) return reply(0, cls, sub, 0);
    // Program text, argument text (each with its zero byte), two bytes, options.
    const std::size_t prog = at + 4;
    const std::size_t prog_end = TextEnd(req, prog, len);
    const std::size_t args = prog_end + 1;
    const std::size_t args_end = TextEnd(req, args, len);
    const std::size_t options = args_end + 3;
    if (prog_end >= len || args_end >= len || options >= len)
        return ErrorReply(req, len, rc::kStatusBadRequest, out);
    ExecRecord rec;
    rec.program.assign(reinterpret_cast<const char*>(req + prog), prog_end - prog);
    rec.arguments.assign(reinterpret_cast<const char*>(req + args), args_end - args);
    rec.options = req[options];
    if (refused(ExecPermission(rec))) return;
    host_.CloseLastProgram();
    const int rc = security_.RemoteExecute(rec, host_, ev_);
    reply(0, cls, sub, rc == -1 ? rc::kExecFailedCode : 0);
}

}  // namespace qv::agent
