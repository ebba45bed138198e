#include "tools/rcconsole/agent_ops.h"

#include <cctype>

#include "tools/ftconsole/console_key.h"
#include "tools/rcconsole/rcproto.h"

namespace qv::rcc {
namespace {

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    for (std::size_t i = 0; prefix[i]; ++i)
        if (i >= s.size() || std::toupper(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

std::string Capitalized(std::string s) {
    if (!s.empty()) s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    return s;
}

}  // namespace

Trouble TroubleOf(const Outcome& o) {
    if (o.busy) return Trouble::kBusy;
    if (o.no_reply || o.error.find("connection to the agent broke") != std::string::npos ||
        o.error.find("cannot send") != std::string::npos)
        return Trouble::kNoReply;
    if (o.refused || (o.status == rc::kStatusNotPermitted && !o.ok)) return Trouble::kRefused;
    if (o.status == rc::kStatusTimedOut || o.status == rc::kStatusNoSession) return Trouble::kExpired;
    return Trouble::kFailed;
}

const char* TroubleName(Trouble t) {
    switch (t) {
    case Trouble::kNoReply: return "no_reply";
    case Trouble::kBusy: return "busy";
    case Trouble::kRefused: return "refused";
    case Trouble::kExpired: return "expired";
    case Trouble::kFailed: break;
    }
    return "failed";
}

std::string BusyOwnerText(const Outcome& o) {
    if (!o.busy || !o.owner_known) return "";
    std::string owner = AddressText(o.owner.owner, sizeof o.owner.owner);
    // The owner's port is that of its connection, of no use to an operator.
    const std::size_t colon = owner.find(':');
    if (colon != std::string::npos) owner.erase(colon);
    return owner + ", for " + std::to_string(AgeSeconds(o.owner.age_ticks)) + " s";
}

std::string FailureSentence(const std::string& what, const std::string& address, const Outcome& o, int timeout_ms,
                            bool keyed) {
    const std::string at = "the machine at " + address;
    switch (TroubleOf(o)) {
    case Trouble::kBusy: {
        const std::string owner = BusyOwnerText(o);
        return "The machine at " + address + " is busy with another console" +
               (owner.empty() ? std::string() : " (" + owner + ")") + "; " + what + " was not done.";
    }
    case Trouble::kNoReply:
        return Capitalized(what) + " failed: " + at + " does not answer" +
               (o.no_reply ? " (no reply within " + std::to_string(timeout_ms) + " ms)" : " (" + o.error + ")") +
               "; " + ftc::NoAnswerHint(keyed) + ".";
    case Trouble::kRefused: return Capitalized(what) + " was refused: the user of " + at + " does not allow it.";
    case Trouble::kExpired:
        return Capitalized(what) + " failed: the session with " + at + " has expired; the next request establishes a new one.";
    case Trouble::kFailed: break;
    }
    return Capitalized(what) + " failed on " + at + ": " + o.error +
           (o.status ? " (status " + std::to_string(static_cast<int16_t>(o.status)) + ")" : "") + ".";
}

std::string QuotedWord(const std::string& w) {
    return w.find_first_of(" \t") == std::string::npos ? w : "\"" + w + "\"";
}

uint32_t ExecPermission(const std::string& shown) {
    if (StartsWithNoCase(shown, "KSLAV")) return rc::kAllowFileTransfer;
    if (StartsWithNoCase(shown, "KCHAT")) return rc::kAllowChat;
    return rc::kAllowRemoteExecute;
}

Outcome ExecRecord(RcClient& c, uint16_t code, const std::string& program, const std::string& args, uint8_t options,
                   uint16_t* reply_code) {
    CommandRecord rec;
    rec.code = code;
    rec.program = program;
    rec.arguments = args;
    rec.options = options;
    CommandReply reply;
    Outcome o = c.Command(rec, code == rc::kCodePollResult, &reply);
    if (o.ok) *reply_code = reply.code();
    return o;
}

Outcome StartProgram(RcClient& c, const std::string& program, const std::string& args, uint8_t options,
                     bool* started, std::string* why) {
    uint16_t code = 0, result = 0;
    *started = false;
    Outcome o = ExecRecord(c, rc::kCodeRemoteExec, program, args, options, &code);
    if (!o.ok) return o;
    o = ExecRecord(c, rc::kCodePollResult, "", "", 0, &result);
    if (!o.ok) return o;
    if (code == 0 && result == rc::kResultStarted) {
        *started = true;
        return o;
    }
    // The last result of a failed start is the low byte of the Windows error.
    const bool windows_error = result != rc::kResultPromptOpen && result != rc::kResultStarted &&
                               result != rc::kResultAllowed && result != rc::kResultRefused;
    *why = windows_error ? ftc::SystemErrorText(result) + " (Windows error " + std::to_string(result) + ")"
                         : "the agent answered " + std::to_string(code) + ", last result " + ResultText(result);
    return o;
}

Outcome AskStart(RcClient& c, const std::string& requester, const std::string& operation) {
    uint16_t code = 0;
    return ExecRecord(c, rc::kCodeRemoteExec, "ckallow.exe", QuotedWord(requester) + " " + QuotedWord(operation), 0,
                      &code);
}

Outcome AskResult(RcClient& c, uint16_t* result) {
    return ExecRecord(c, rc::kCodePollResult, "", "", 0, result);
}

Outcome Reboot(RcClient& c, bool* accepted, std::string* why) {
    CommandRecord rec;
    rec.sub = rc::kSubReboot;
    CommandReply reply;
    Outcome o = c.Command(rec, false, &reply);
    *accepted = o.ok && reply.data[0] == rc::kCommandClassSystem && reply.data[1] == rc::kSubReboot &&
                reply.code() == 0;
    if (o.ok && !*accepted)
        *why = "the agent refused (data " + std::to_string(reply.data[0]) + " " + std::to_string(reply.data[1]) +
               " " + std::to_string(reply.code()) + ")";
    return o;
}

}  // namespace qv::rcc
