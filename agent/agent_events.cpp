#include "agent/agent_events.h"

#include <cstdarg>
#include <cstdio>

namespace qv::agent {

void Logf(AgentEvents& ev, const char* fmt, ...) {
    char line[kLogLineBytes];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0) line[0] = '\0';
    ev.Line(line);
}

}  // namespace qv::agent
