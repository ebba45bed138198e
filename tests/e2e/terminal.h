// A terminal for the end-to-end tests that must press keys.
//
// Console programs read single key presses only from a real console; under
// Wine that needs a terminal. A Terminal runs a shell command in a detached
// tmux session, reads the screen and types keys into it. Tests check effects
// (files written, exit codes, whether a program waits) rather than the exact
// screen bytes, which Wine's console decorates.
#pragma once

#include <string>
#include <vector>

namespace qv::e2e {

class Terminal {
public:
    // Starts `command` under /bin/sh in a 200x50 tmux session; the harness
    // variables (QV_WINE_DIR, QV_WIN32_BIN) are passed on to it.
    explicit Terminal(const std::string& command);
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    static bool Available();
    std::string Screen();
    // Polls the screen until `text` shows (true) or `ms` have passed (false).
    bool WaitFor(const std::string& text, int ms = 30000);
    // tmux key names ("Enter", "x", "7.0", ...).
    void Keys(const std::vector<std::string>& keys);

private:
    std::string name_;
};

}  // namespace qv::e2e
