#include "agent/security.h"

#include <cstring>

#include "agent/options.h"
#include "common/text.h"

namespace qv::agent {

namespace {

struct SightKey {
    const char* key;
    bool permission;  // else a signal flag
    uint32_t bit;
};

constexpr SightKey kSightKeys[] = {
    {"Allow Takeover", true, rc::kAllowTakeover},
    {"Allow Reboot", true, rc::kAllowReboot},
    {"Allow File Transfer", true, rc::kAllowFileTransfer},
    {"Allow Chat", true, rc::kAllowChat},
    {"Allow Remote Execute", true, rc::kAllowRemoteExecute},
    {"Allow Ping Test", true, rc::kAllowPingTest},
    {"Visible Signal", false, rc::kSignalVisible},
    {"Audible Signal", false, rc::kSignalAudible},
    {"Permission Required", false, rc::kSignalPermissionRequired},
};

constexpr char kNotFound[] = "Not found";

struct PromptTemplate {
    const char* word;
    std::size_t compared;
    int id;
    const char* text;
};

constexpr PromptTemplate kTemplates[] = {
    {"access", 4, 1121, "Will you allow %s to access your machine?"},
    {"perform DOS", 9, 1113, "Will you allow %s to perform DOS diagnostics on your machine?"},
    {"test", 4, 1114, "Will you allow %s to test your network card's response time?"},
    {"perform Windows", 9, 1115, "Will you allow %s to perform Windows diagnostics on your machine?"},
    {"remote", 4, 1116, "Will you allow %s to remote control your machine?"},
    {"Reboot", 4, 1117, "Will you allow %s to reboot your machine?"},
    {"execute", 4, 1118, "Will you allow %s to execute a program?"},
    {"transfer", 4, 1119, "Will you allow %s to transfer files?"},
    {"chat", 4, 1120, "Will you allow %s to chat with you?"},
};

constexpr char kPromptProgram[] = "ckallow.exe";
constexpr std::size_t kExecCopyBytes = 255;

}  // namespace

SightFlags ReadSightSettings(const SightLookup& lookup) {
    SightFlags f;
    for (const SightKey& k : kSightKeys) {
        const std::string v = lookup(k.key, k.permission ? kNotFound : "");
        const bool yes = EqualNoCase(v, "Yes");
        uint32_t& word = k.permission ? f.permissions : f.signals;
        if (yes)
            word |= k.bit;
        else if (!k.permission || v != kNotFound)
            word &= ~k.bit;
    }
    return f;
}

int ChoosePromptTemplate(std::string_view operation) {
    for (const PromptTemplate& t : kTemplates) {
        const std::string_view word(t.word);
        // strnicmp over the character count: both texts must agree on
        // their first `compared` characters (a shorter text ends early).
        const std::size_t n = t.compared;
        const std::string_view a = operation.substr(0, n), b = word.substr(0, n);
        if (EqualNoCase(a, b)) return t.id;
    }
    return kPromptAccessTemplate;
}

const char* DefaultPromptTemplate(int id) {
    for (const PromptTemplate& t : kTemplates)
        if (t.id == id) return t.text;
    return "";
}

std::string FormatPrompt(std::string_view tmpl, std::string_view requester) {
    std::string out;
    const std::size_t at = tmpl.find("%s");
    if (at == std::string_view::npos) {
        out.assign(tmpl);
    } else {
        out.assign(tmpl.substr(0, at));
        out.append(requester);
        out.append(tmpl.substr(at + 2));
    }
    if (out.size() > kPromptTextBytes - 1) out.resize(kPromptTextBytes - 1);
    return out;
}

std::string BuildExecCommandLine(const ExecRecord& rec) {
    std::string line = rec.program + " " + rec.arguments;
    if (line.size() > kExecCopyBytes) line.resize(kExecCopyBytes);
    if (rec.options & rc::kExecOptionKPrefix) line.insert(line.begin(), 'K');
    return line;
}

SplitLine SplitCommandLine(std::string_view line) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    SplitLine s;
    bool quoted = false;
    std::size_t i = 0;
    for (; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        else if (line[i] == ' ' && !quoted) break;
    }
    s.word.assign(line.substr(0, i));
    if (i < line.size()) s.rest.assign(line.substr(i + 1));
    return s;
}

int ProgramAuditId(std::string_view word) {
    if (StartsWithNoCase(word, "KCHAT")) return kAuditStartChat;
    if (StartsWithNoCase(word, "KSLAV")) return kAuditStartSlave;
    return kAuditStartProgram;
}

uint32_t ExecPermission(const ExecRecord& rec) {
    if (StartsWithNoCase(rec.program, kPromptProgram)) return 0;
    switch (ProgramAuditId(SplitCommandLine(BuildExecCommandLine(rec)).word)) {
    case kAuditStartSlave: return rc::kAllowFileTransfer;
    case kAuditStartChat: return rc::kAllowChat;
    default: return rc::kAllowRemoteExecute;
    }
}

const char* PermissionKey(uint32_t bit) {
    for (const SightKey& k : kSightKeys)
        if (k.permission && k.bit == bit) return k.key;
    return "";
}

bool LogLimiter::Due(uint32_t now_ms, uint32_t* events) {
    ++held_;
    if (logged_ && now_ms - last_ms_ < interval_ms_) return false;
    logged_ = true;
    last_ms_ = now_ms;
    *events = held_;
    held_ = 0;
    return true;
}

int Security::RemoteExecute(const ExecRecord& rec, ProgramHost& host, AgentEvents& ev) {
    if (StartsWithNoCase(rec.program, kPromptProgram)) {
        BeginPrompt(rec.arguments, host);
        return -2;
    }
    const SplitLine split = SplitCommandLine(BuildExecCommandLine(rec));
    const uint32_t err = host.StartProgram(split.word, split.rest);
    ev.Audit(ProgramAuditId(split.word), true, split.word.c_str());
    if (err == 0) {
        last_result = rc::kResultStarted;
        return 0;
    }
    last_result = static_cast<uint16_t>(err & 0xFF);
    return -1;
}

bool Security::BeginPrompt(std::string_view arguments, ProgramHost& host) {
    bool expected = false;
    if (!prompt_open_.compare_exchange_strong(expected, true)) return false;
    last_result = rc::kResultPromptOpen;
    const std::vector<std::string> tokens = Tokenize(arguments, false);
    PromptRequest req;
    req.requester = tokens.empty() ? "Unknown" : tokens[0];
    if (tokens.size() >= 2) {
        req.operation = tokens[1];
        req.template_id = ChoosePromptTemplate(req.operation);
    }
    std::string tmpl = host.PromptTemplate(req.template_id);
    if (tmpl.empty()) tmpl = DefaultPromptTemplate(req.template_id);
    req.text = FormatPrompt(tmpl, req.requester);
    {
        std::lock_guard<std::mutex> lock(operation_mu_);
        operation_ = req.operation;
    }
    host.StartPromptThread(req);
    return true;
}

void Security::AnswerPrompt(bool yes, AgentEvents& ev) {
    std::string op;
    {
        std::lock_guard<std::mutex> lock(operation_mu_);
        op = operation_;
    }
    last_result = yes ? rc::kResultAllowed : rc::kResultRefused;
    if (yes) ev.Audit(kAuditUserAllowed, true, op.c_str());
    ev.Audit(kAuditPromptAnswered, false, op.c_str());
    prompt_open_ = false;
}

}  // namespace qv::agent
