#include "tools/ftconsole/console_commands.h"

#include "tools/ftconsole/console_text.h"

namespace qv::ftc {

void PrintCommands(std::ostream& out, const char* heading, CommandTable table, std::size_t column) {
    out << heading << "\n";
    for (const auto& c : table) {
        std::string head = std::string(c.name) + (*c.args ? " " : "") + c.args;
        out << "  " << head << std::string(head.size() < column ? column - head.size() : 1, ' ') << c.what
            << "\n      e.g. " << c.example << "\n";
    }
}

const CommandHelp* CheckCommand(CommandTable table, const std::vector<std::string>& words, std::ostream& err) {
    const std::string& cmd = words[0];
    const CommandHelp* help = nullptr;
    for (const auto& c : table)
        if (cmd == c.name) help = &c;
    if (!help) {
        err << "unknown command: " << cmd << " (type help for the list)\n";
        return nullptr;
    }
    const std::size_t n = words.size() - 1;
    if (n < help->min_args || n > help->max_args) {
        err << cmd << ": " << (n < help->min_args ? "missing argument" : "too many arguments") << "; usage: " << cmd
            << (*help->args ? " " : "") << help->args << ", e.g. " << help->example << " (type help for the list)\n";
        return nullptr;
    }
    return help;
}

bool Number(const std::string& text, long lo, long hi, long* out) {
    long v = 0;
    if (text.empty()) return false;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + (ch - '0');
        if (v > hi) return false;
    }
    if (v < lo) return false;
    *out = v;
    return true;
}

bool RunLine(const std::string& line, std::ostream& err,
             const std::function<bool(const std::vector<std::string>&)>& run) {
    std::vector<std::string> words;
    std::string problem;
    if (!SplitWords(line, &words, &problem)) {
        err << problem << "\n";
        return false;
    }
    return words.empty() || run(words);
}

}  // namespace qv::ftc
