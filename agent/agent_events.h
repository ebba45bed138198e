// What the agent's portable core tells the outside world: debug log lines
// and audit events.
//
// Win32 side: implement AgentEvents once. Line() receives a finished debug
// line (at most 255 bytes, no newline): append the newline and write it to
// the debugger output, standard output and the log file. Audit() writes an
// event of the source "Brekon Rchost Agent" (category 0, strings
// "[Unknown]", "[Unknown]" and then `insertion` when it is not null).
// Tests use a recording fake.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::agent {

// Audit event ids.
enum AuditId : int {
    kAuditReboot = 1,
    kAuditStartChat = 2,
    kAuditStartSlave = 3,
    kAuditStartProgram = 4,
    kAuditViewerError = 6,
    kAuditUserAllowed = 7,
    kAuditPromptAnswered = 8,
    kAuditSessionEstablished = 9,
};

// A debug line is formatted into this many bytes (terminator included).
constexpr std::size_t kLogLineBytes = 256;

class AgentEvents {
public:
    virtual ~AgentEvents() = default;
    virtual void Line(const char* text) = 0;
    // success: audit success, else audit failure.
    virtual void Audit(int id, bool success, const char* insertion) = 0;
};

// printf-style debug line, cut to kLogLineBytes - 1 bytes.
void Logf(AgentEvents& ev, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace qv::agent
