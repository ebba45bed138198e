// What the console reads from its user and shows to its user: command lines
// split into words, texts from the slave made safe for a terminal, the
// progress bar, connection failures in words.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv::ftc {

// Splits a command line into words at blanks. Double or single quotes keep
// blanks (and ';') inside a word and are removed; a backslash is an ordinary
// character, as in Windows paths. False (and *error) for an unclosed quote.
bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error);

// Splits a script given with -c into commands at each ';' outside quotes.
std::vector<std::string> SplitScript(const std::string& script);

// A text from the slave as it may be printed: control characters (0x00 to
// 0x1F, 0x7F and 0x80 to 0x9F, which some terminals take as commands) are
// shown as \xNN; everything else is kept.
std::string Printable(const std::string& text);

// One line of the progress bar (without "\r"): name, bar, percentage and the
// byte count. The percentage never exceeds 100 and the line never exceeds
// kProgressWidth characters, whatever done and total are; total 0 means the
// size is unknown.
constexpr std::size_t kProgressWidth = 79;
std::string ProgressLine(const std::string& name, uint64_t done, uint64_t total);

// Decides when the progress bar is drawn again: when the shown percentage
// changed, or (size unknown) after every kProgressStep bytes. So a transfer
// draws at most about a hundred lines, whatever its size.
class ProgressThrottle {
public:
    static constexpr uint64_t kProgressStep = 1u << 20;
    bool Due(uint64_t done, uint64_t total);

private:
    uint64_t last_ = 0;
    bool drawn_ = false;
};

// A failed connection in words, from the system's error number:
// "connection refused by 127.0.0.1:1764".
std::string ConnectErrorText(int error_number, const std::string& host, unsigned port, int timeout_ms);

}  // namespace qv::ftc
