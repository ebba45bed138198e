// The link platform over WinSock 1.1 and Win32 threads, events and a
// critical section (for the scanner and for the Wine tests of the link).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "scanner/serverlink/link.h"
#include "scanner/serverlink/serverlink.h"

namespace qv::serverlink {

// Looks a host name up: its first IPv4 address, false when it has none.
using HostResolver = std::function<bool(const std::string& name, std::uint8_t ip[4])>;

// `text` loads string-table messages; `program` is the "%s" of each message.
// Host names go to `resolver`, or to the system's resolver when it is empty
// (tests answer names themselves, so that no query leaves the machine).
std::unique_ptr<LinkPlatform> MakeWinSockPlatform(scanner::ServerLinkTextFn text, std::string program,
                                                  HostResolver resolver = {});

}  // namespace qv::serverlink
