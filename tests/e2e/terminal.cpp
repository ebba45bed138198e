#include "tests/e2e/terminal.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/e2e/wine_run.h"

namespace qv::e2e {

namespace {

std::string Quoted(const char* name) {
    const char* v = std::getenv(name);
    return std::string(name) + "='" + (v ? v : "") + "'";
}

}  // namespace

Terminal::Terminal(const std::string& command) {
    static std::atomic<int> serial{0};
    name_ = "qv" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    std::string env = Quoted("QV_WINE_DIR") + " " + Quoted("QV_WIN32_BIN") + " " + Quoted("QV_WINE_ARCH");
    Run({"tmux", "new-session", "-d", "-s", name_, "-x", "200", "-y", "50", env + " " + command});
}

Terminal::~Terminal() {
    Run({"tmux", "kill-session", "-t", name_});
}

bool Terminal::Available() {
    return Run({"tmux", "-V"}).exit_code == 0;
}

std::string Terminal::Screen() {
    return Run({"tmux", "capture-pane", "-p", "-t", name_, "-S", "-200"}).out;
}

bool Terminal::WaitFor(const std::string& text, int ms) {
    for (int waited = 0; waited < ms; waited += 100) {
        if (Screen().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void Terminal::Keys(const std::vector<std::string>& keys) {
    std::vector<std::string> argv = {"tmux", "send-keys", "-t", name_};
    argv.insert(argv.end(), keys.begin(), keys.end());
    Run(argv);
}

}  // namespace qv::e2e
