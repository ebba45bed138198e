// The console's texts: command words, terminal-safe slave texts, stamps,
// the progress bar and connection failures.
#include "tools/ftconsole/console_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

namespace qv::ftc {
namespace {

TEST(ConsoleText, WordsAndScripts) {
    const struct {
        const char* line;
        std::vector<std::string> words;  // empty with ok false: an error
        bool ok;
    } kCases[] = {
        {"ls  D:\\UP ", {"ls", "D:\\UP"}, true},
        {"ls \"D:\\Program Files\"", {"ls", "D:\\Program Files"}, true},
        {"get 'C:\\A B\\x y.txt' \"my copy\"", {"get", "C:\\A B\\x y.txt", "my copy"}, true},
        {"ls D:\\\"Program Files\"\\Sub", {"ls", "D:\\Program Files\\Sub"}, true},
        {"put \"\" X", {"put", "", "X"}, true},
        {"ls \"D:\\Program Files", {}, false},
        {"", {}, true},
    };
    for (const auto& c : kCases) {
        std::vector<std::string> w;
        std::string error;
        EXPECT_EQ(SplitWords(c.line, &w, &error), c.ok) << c.line;
        if (c.ok) EXPECT_EQ(w, c.words) << c.line;
        else EXPECT_NE(error.find("unclosed"), std::string::npos);
    }
    EXPECT_EQ(SplitScript("ls \"C:\\a;b\"; pwd;quit"),
              (std::vector<std::string>{"ls \"C:\\a;b\"", " pwd", "quit"}));
}

TEST(ConsoleText, ControlCharactersFromTheSlaveAreShownEscaped) {
    const struct {
        std::string in, out;
    } kCases[] = {
        {"A.TXT", "A.TXT"},
        {"\x1b]0;owned\x07.TXT", "\\x1B]0;owned\\x07.TXT"},
        {"two\r\nlines", "two\\x0D\\x0Alines"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"\x7f\x9b" "2J\xe9t\xe9", "\\x7F\\x9B2J\xe9t\xe9"},  // DEL and the 8-bit CSI; Latin letters stay
    };
    for (const auto& c : kCases) EXPECT_EQ(Printable(c.in), c.out);
}

TEST(ConsoleText, ProgressStaysBoundedWhateverTheCounts) {
    const struct {
        uint64_t done, total;
        const char* pct;
    } kCases[] = {
        {0, 1000, "  0%"},
        {500, 1000, " 50%"},
        {999, 1000, " 99%"},
        {1000, 1000, "100%"},
        {800000, 1000, "100%"},                     // more than announced
        {UINT64_MAX, UINT64_MAX - 1, "100%"},
        {UINT64_MAX - 1, UINT64_MAX, " 99%"},
        {0xFFFFFFFFull, 0x100000000ull, " 99%"},
    };
    for (const auto& c : kCases) {
        const std::string line = ProgressLine(std::string(300, 'N'), c.done, c.total);
        EXPECT_LE(line.size(), kProgressWidth);
        EXPECT_NE(line.find(c.pct), std::string::npos) << line;
        EXPECT_LE(std::count(line.begin(), line.end(), '#'), 30);
    }
    EXPECT_EQ(ProgressLine("\x1b[2J", 5, 0).find('\x1b'), std::string::npos);

    // A bar is drawn about once a percent, not once a block.
    for (uint64_t total : {uint64_t{1000}, uint64_t{1} << 32, uint64_t{0}}) {
        ProgressThrottle throttle;
        int draws = 0;
        for (uint64_t done = 0; done <= (total ? 2 * total : 200u << 20); done += total ? total / 2000 + 1 : 496)
            draws += throttle.Due(done, total);
        EXPECT_LE(draws, 201) << total;
        EXPECT_GE(draws, 2) << total;
    }
}

TEST(ConsoleText, ConnectionErrorsInWords) {
    EXPECT_EQ(ConnectErrorText(ECONNREFUSED, "127.0.0.1", 1764, 2000).rfind("connection refused by 127.0.0.1:1764", 0),
              0u);
    EXPECT_EQ(ConnectErrorText(ETIMEDOUT, "127.0.0.1", 1764, 2000), "no answer from 127.0.0.1:1764 within 2000 ms");
    EXPECT_EQ(ConnectErrorText(EACCES, "10.0.0.1", 80, 1).find("socket"), std::string::npos);
}

}  // namespace
}  // namespace qv::ftc
