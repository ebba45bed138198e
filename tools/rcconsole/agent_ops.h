// What the consoles ask of a remote control agent over an RcClient: start a
// program, ask the user's consent, reboot; and how a failed exchange is told
// to the operator. Shared by rcconsole and webconsole.
#pragma once

#include <cstdint>
#include <string>

#include "tools/rcconsole/rcclient.h"

namespace qv::rcc {

// Why an exchange with the agent failed, as the operator needs to know it.
enum class Trouble {
    kNoReply,  // nothing came back, or the agent closed the connection (another site key)
    kBusy,     // another console holds the machine
    kRefused,  // the user's permission flags forbid the command
    kExpired,  // this console's session timed out or is gone
    kFailed,   // anything else
};
Trouble TroubleOf(const Outcome& o);
// "no_reply", "busy", "refused", "expired", "failed".
const char* TroubleName(Trouble t);

// The owner of a busy agent, "10.0.0.7, for 42 s", or "" when the reply did not name it.
std::string BusyOwnerText(const Outcome& o);

// A whole sentence for the operator about a failed exchange: what was being
// done (e.g. "starting NOTEPAD.EXE"), with the machine's address and the
// reply wait used. keyed: the console uses a site key (changes the hint).
std::string FailureSentence(const std::string& what, const std::string& address, const Outcome& o, int timeout_ms,
                            bool keyed);

// A word quoted when it holds blanks: the agent takes the first word of
// "program arguments" as the program.
std::string QuotedWord(const std::string& w);

// The permission flag a program start needs: KSLAVE (file transfer) and
// KCHAT (chat) have their own, any other program remote execute. shown is
// the name as the agent runs it (with the K of the -k option).
uint32_t ExecPermission(const std::string& shown);

// One remote execute record (or, with rc::kCodePollResult, a poll of the
// last result); *reply_code is the code of the agent's command reply.
Outcome ExecRecord(RcClient& c, uint16_t code, const std::string& program, const std::string& args, uint8_t options,
                   uint16_t* reply_code);

// Starts a program and polls its result once. The outcome is the exchange's;
// with it ok, *started says whether the program started and *why, when not,
// says why in words ("The system cannot find the file specified. (Windows
// error 2)", or the agent's answer and last result).
Outcome StartProgram(RcClient& c, const std::string& program, const std::string& args, uint8_t options,
                     bool* started, std::string* why);

// Consent: puts the prompt on the user's screen (AskStart), then
// AskResult until *result is no longer rc::kResultPromptOpen; the answer is
// rc::kResultAllowed or rc::kResultRefused.
Outcome AskStart(RcClient& c, const std::string& requester, const std::string& operation);
Outcome AskResult(RcClient& c, uint16_t* result);

// Reboots the machine. With the outcome ok, *accepted says whether the agent
// took the command; *why names its answer when not.
Outcome Reboot(RcClient& c, bool* accepted, std::string* why);

}  // namespace qv::rcc
