// The agent's command line: the "CommandLine" registry value split into
// tokens and applied as options.
//
// Win32 side: the service main reads "CommandLine" into a zeroed 256-byte
// buffer and calls PrepareCommandLine(); it keeps the returned protocol in
// the global state and passes `text` to the main thread. WinMainSetup then
// calls ApplyCommandLine(text, &protocol) and shows string 1101 ("Bad
// command-line parameter %s\n", the token in its placeholder) in a message
// box for every entry of `bad`, in order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv::agent {

enum Protocol : int { kProtocolNone = 0, kProtocolIpx = 1, kProtocolTcpip = 2 };

constexpr int kMaxTokens = 10;
constexpr std::size_t kCommandLineBytes = 256;  // the registry value, terminator included

// Splits text into at most kMaxTokens tokens. With `option_separators`,
// blank, tab, newline, "-", "/" and "\" end a token; without, only blank,
// tab and newline do (the permission prompt's argument text). A double
// quote ends a token and toggles an inside-quotes state in which
// separators are part of the token; the quotes themselves are dropped.
// Empty tokens are never produced.
std::vector<std::string> Tokenize(std::string_view text, bool option_separators = true);

struct OptionResult {
    std::vector<std::string> bad;  // tokens that are no option, for the message box
};

// Applies the options of `tokens` to *protocol: "IPX" (first 3 letters) ->
// IPX, "TCPIP" (first 5) or "IP" (first 2) -> TCP/IP, L..., N... and "S"
// alone accepted; a token may start with "/" or "-"; case is ignored.
OptionResult ApplyOptions(const std::vector<std::string>& tokens, Protocol* protocol);

// Tokenize + ApplyOptions.
OptionResult ApplyCommandLine(std::string_view text, Protocol* protocol);

struct PreparedCommandLine {
    std::string text;        // the tokens joined for the main thread
    OptionResult options;    // what applying them gave
};

// The service main's handling of the value read from the registry: the
// tokens applied to *protocol, then joined with one blank between tokens
// (a token holding a separator is put in double quotes) so that the main
// thread's set-up splits them into the same tokens again.
PreparedCommandLine PrepareCommandLine(std::string_view value, Protocol* protocol);

}  // namespace qv::agent
