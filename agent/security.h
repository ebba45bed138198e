// The user's permission settings, the consent prompt and remote execute.
//
// Win32 side:
// - At the first set-up call ReadSightSettings() with a lookup that reads
//   section "Sight" of QVCLIENT.INI (GetPrivateProfileStringA with the given
//   default into a 20-byte buffer) and keep one Security object for the
//   whole process (VerifyThread, the pipe and the prompt thread share it).
// - Implement ProgramHost: StartPromptThread() waits for the previous
//   PermissionPromptThread, closes its handle and starts a new one that
//   shows request.text (caption "Brekon Remote Control Agent", Yes/No,
//   question icon, foreground, topmost) and then calls
//   Security::AnswerPrompt(yes, events). StartProgram() looks up `word`
//   with FindExecutableA in the current directory, appends a blank and
//   `rest` when rest is not empty, runs CreateProcessA (normal priority, no
//   inherited handles), keeps the process handle and returns 0, or the
//   error code. CloseLastProgram() closes that kept handle.
//   PromptTemplate() loads the string-table text of the id (empty when it
//   is missing: the built-in English text is used).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "agent/agent_events.h"
#include "agent/rc_wire.h"

namespace qv::agent {

// Reads one key of section "Sight" with a default; returns the value (the
// Win32 side cuts it to 19 bytes like its 20-byte buffer).
using SightLookup = std::function<std::string(const char* key, const char* default_value)>;

struct SightFlags {
    uint32_t permissions = rc::kDefaultPermissions;
    uint32_t signals = 0;
};

// Permission keys: "Yes" sets the bit, "Not found" (the key is missing)
// keeps the default, anything else clears it. Signal keys: "Yes" sets the
// bit, anything else clears it. Case is ignored.
SightFlags ReadSightSettings(const SightLookup& lookup);

// Prompt templates (string-table ids).
constexpr int kPromptFirstTemplate = 1113;
constexpr int kPromptAccessTemplate = 1121;
constexpr std::size_t kPromptTextBytes = 256;

// The template for an operation word: the first entry of the table whose
// word matches over its character count (case ignored); 1121 otherwise.
int ChoosePromptTemplate(std::string_view operation);
// The built-in English text of a template id (1113-1121), else "".
const char* DefaultPromptTemplate(int id);
// The template with `requester` put in place of its first "%s", cut to
// kPromptTextBytes - 1 bytes. Any other '%' is copied as it is.
std::string FormatPrompt(std::string_view tmpl, std::string_view requester);

struct PromptRequest {
    int template_id = kPromptAccessTemplate;
    std::string requester;  // "Unknown" when the text has no token
    std::string operation;  // empty with fewer than two tokens
    std::string text;       // the message box text
};

// A remote execute record as received (texts without their zero bytes).
struct ExecRecord {
    std::string program;
    std::string arguments;
    uint8_t options = 0;
};

// The command line of a remote execute: K in front when option 0x20 is
// set, the program text, a blank, the argument text; at most 255 bytes of
// the request are taken (so the line is cut at 255 bytes, 256 with K).
std::string BuildExecCommandLine(const ExecRecord& rec);

struct SplitLine {
    std::string word;  // the first word (double quotes kept, a blank inside them kept)
    std::string rest;  // what follows the blank that ended the word; may be empty
};
// Trailing blanks and tabs removed, then the first word split off.
SplitLine SplitCommandLine(std::string_view line);

// The audit event of a started program: 2 for KCHAT..., 3 for KSLAV..., 4 else.
int ProgramAuditId(std::string_view word);

// While a site key is in use, the agent itself holds operators to the
// user's permission flags (without a key only the console honours them, as
// it always did): a remote execute needs the flag of ExecPermission(), a
// reboot "Allow Reboot", key and mouse input "Allow Takeover".

// The flag a remote execute needs: none (0) for the consent prompt, which
// is how a console asks for more; "Allow File Transfer" for a program
// whose first word begins with KSLAV and "Allow Chat" for KCHAT (the words
// of the audit events, K prefix included); "Allow Remote Execute" else.
uint32_t ExecPermission(const ExecRecord& rec);
// The settings key of a permission bit ("Allow Reboot"), "" for others.
const char* PermissionKey(uint32_t bit);

// Lets a repeated log line through at most once per interval, and counts
// what it held back meanwhile, so that a peer cannot flood the log.
class LogLimiter {
public:
    explicit LogLimiter(uint32_t interval_ms) : interval_ms_(interval_ms) {}
    // True when a line is due now; *events is then the number of events
    // since the last line, this one included.
    bool Due(uint32_t now_ms, uint32_t* events);

private:
    uint32_t interval_ms_;
    bool logged_ = false;
    uint32_t last_ms_ = 0;
    uint32_t held_ = 0;
};

class ProgramHost {
public:
    virtual ~ProgramHost() = default;
    virtual void StartPromptThread(const PromptRequest& request) = 0;
    virtual uint32_t StartProgram(const std::string& word, const std::string& rest) = 0;
    virtual void CloseLastProgram() = 0;
    virtual std::string PromptTemplate(int id) = 0;
};

class Security {
public:
    // Permission flags and signal flags: written by the pipe, read by the
    // establish reply and the status dialog.
    std::atomic<uint32_t> permissions{rc::kDefaultPermissions};
    std::atomic<uint32_t> signals{0};
    // Result of the last remote execute or prompt (0/32/33/34/low byte of an error).
    std::atomic<uint16_t> last_result{0};

    // Set once at set-up when the agent runs with a site key.
    std::atomic<bool> enforce{false};
    // Whether the user's flags allow what needs `bit` (always, without a
    // key, and for bit 0).
    bool Permits(uint32_t bit) const { return !enforce || bit == 0 || (permissions & bit) != 0; }

    void SetFlags(const SightFlags& f) {
        permissions = f.permissions;
        signals = f.signals;
    }

    // Remote execute: "ckallow.exe" begins a prompt (returns -2), other
    // programs are started (0, or -1 when the start failed). Audit events
    // 2/3/4 carry the program's first word.
    int RemoteExecute(const ExecRecord& rec, ProgramHost& host, AgentEvents& ev);

    // The consent prompt for an argument text: ignored (false) while one is
    // open; else marks it open, sets last result 0 and hands the request to
    // host.StartPromptThread().
    bool BeginPrompt(std::string_view arguments, ProgramHost& host);
    // The user's answer: last result 33 (yes) or 34; audit 7 on yes, audit
    // 8 (failure) always, both with the operation word; the prompt closes.
    void AnswerPrompt(bool yes, AgentEvents& ev);
    bool PromptOpen() const { return prompt_open_; }

private:
    std::atomic<bool> prompt_open_{false};
    std::mutex operation_mu_;
    std::string operation_;
};

}  // namespace qv::agent
