// The link platform over WinSock 1.1 and Win32 threads, events and a
// critical section (for the scanner and for the Wine tests of the link).
#pragma once

#include <memory>
#include <string>

#include "scanner/serverlink/link.h"
#include "scanner/serverlink/serverlink.h"

namespace qv::serverlink {

// `text` loads string-table messages; `program` is the "%s" of each message.
std::unique_ptr<LinkPlatform> MakeWinSockPlatform(scanner::ServerLinkTextFn text, std::string program);

}  // namespace qv::serverlink
