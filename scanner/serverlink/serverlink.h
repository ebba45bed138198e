// The scanner's inventory server link, as the main flow uses it.
//
// The run has at most one link, over IPX or UDP/IP, chosen by the command
// line. The main flow calls, in this order:
//
//   ServerLinkOpen(text)      after the configuration file lists are read:
//                             opens the link when a server name and a
//                             transport are set, reports a failure (message
//                             and exit code 1, nothing at all when quiet) and
//                             connects the item stream's packets to the link
//   ServerExchange()          unless replaying: sends the device request and
//                             collects the reply into the run state (expected
//                             file count, a newly assigned device ID) and the
//                             configuration file list; a version mismatch ends
//                             the run with message 77 and exit code 1
//   ... the items are streamed (SendItemPacket sends each full packet) ...
//   ServerLinkFinish()        after the last packet was sent: waits for the
//                             outstanding acknowledgements and closes the link;
//                             false when a packet was never acknowledged (or a
//                             send gave up before): the delivery failed
//
// Windows only (WinSock); the protocol itself is in link.h.
#pragma once

#include <functional>
#include <string>

namespace qv::scanner {

// Loads a console text of the language resource library by its ID.
using ServerLinkTextFn = std::function<std::string(unsigned id)>;

void ServerLinkOpen(const ServerLinkTextFn& text);
void ServerExchange();
bool ServerLinkFinish();

// True while a server link was opened for this run.
bool ServerLinkActive();
// The IPX-in-use flag and the local IPX address learned when the IPX link
// was opened ("NNNNNNNN:XXXXXXXXXXXX"; empty without an IPX link).
bool ServerLinkIpxInUse();
const std::string& ServerLinkLocalIpxAddress();

}  // namespace qv::scanner
