// The command table both consoles (ftconsole, rcconsole) read their typed
// commands against: the help list, the check of a command line's words, and
// whole numbers in a range.
#pragma once

#include <cstddef>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace qv::ftc {

struct CommandHelp {
    const char* name;
    const char* args;
    std::size_t min_args, max_args;
    const char* what;
    const char* example;
};
using CommandTable = std::span<const CommandHelp>;

// The help list under `heading`: each command with its arguments, padded to
// `column`, its description and an example.
void PrintCommands(std::ostream& out, const char* heading, CommandTable table, std::size_t column);

// The table's entry for the first word when the command exists and gets as
// many arguments as it takes; otherwise null, with the reason and the
// command's usage written to `err`.
const CommandHelp* CheckCommand(CommandTable table, const std::vector<std::string>& words, std::ostream& err);

// Splits a typed line into words and runs them through `run` (a line that
// is only blanks runs nothing). A line that cannot be split (an unclosed
// quote) is reported on `err`. False when the line failed.
bool RunLine(const std::string& line, std::ostream& err,
             const std::function<bool(const std::vector<std::string>&)>& run);

// A whole decimal number from lo to hi (no sign, no blanks).
bool Number(const std::string& text, long lo, long hi, long* out);

}  // namespace qv::ftc
