// The scanner's command line.
//
// Each argument is one option: an optional "/" or "-", the option letter (any
// case), then the option's value. ParseCommandLine fills the run settings
// left to right, checks the combinations that only make sense together, and
// answers with one of the parser results below. The two messages the parser
// can show (server name too long, server name missing) are handed to a
// callback only when the quiet rules allow them to be printed, so the caller
// just prints what it is given.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "scanner/driver/settings.h"

namespace qv::scanner {

enum ParseResult {
    kParseAccepted = 0,
    kParseNameTooLong = 10,   // message 11 shown
    kParseNoServerName = 11,  // message 12 shown
    kParseUsage = 12,         // print the usage
};

// Message IDs of the string table shown by the parser.
constexpr int kMsgServerNameTooLong = 11;  // "\n%s: Server name '%s' too long.\n"
constexpr int kMsgServerNameInvalid = 12;  // "\n%s: Server name '%s' is not currently valid.\n"

// Called with the message ID and its second "%s" argument (the first is the
// program name, which the caller knows).
using ParserMessage = std::function<void(int id, const std::string& arg)>;

ParseResult ParseCommandLine(const std::vector<std::string>& args, RunSettings& settings,
                             const ParserMessage& message);

// Fills the defaults that do not depend on the machine: program name,
// directory, help file and applications database paths from the program's
// own path ("P:\DIR\QVISCNNT.EXE").
void SetProgramPaths(const std::string& module_path, RunSettings& settings);

}  // namespace qv::scanner
