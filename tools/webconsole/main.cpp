// webconsole: the operators' web console.
//
//   webconsole [--listen ADDR:PORT] [--token-file FILE] [--machines FILE]
//              [--web-root DIR] [--key-file FILE] [--timeout MS] [--name NAME]
//
// Serves one page (tools/webconsole/web) to the operator's browser and talks
// to the machines' remote control agents, and to their file transfer slaves,
// over linkcore. The page and its WebSocket need the access token printed at
// start. PAGE_PROTOCOL.md describes the page's side.
//
// Exit status: 0 stopped by SIGINT or SIGTERM, 2 usage error or cannot start.
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/ftconsole/console_commands.h"
#include "tools/ftconsole/console_key.h"
#include "tools/webconsole/files_feature.h"
#include "tools/webconsole/machines_feature.h"
#include "tools/webconsole/view_feature.h"
#include "tools/webconsole/web_server.h"

namespace {

using namespace qv;

constexpr int kExitUsage = 2;
constexpr long kMaxTimeoutMs = 600000;
constexpr std::size_t kTokenBytes = 16;   // 32 hexadecimal digits
constexpr std::size_t kMinTokenChars = 16;
constexpr std::size_t kMaxTokenChars = 200;
constexpr std::size_t kMaxNameChars = 59;  // what an agent shows of a viewer's name

const char kUsage[] =
    "usage: webconsole [--listen ADDR:PORT] [--token-file FILE] [--machines FILE]\n"
    "                  [--web-root DIR] [--key-file FILE] [--timeout MS] [--name NAME]\n";

void PrintHelp() {
    std::cout << kUsage
              << "\n"
                 "Serves the operators' web console: a page listing the machines, their\n"
                 "agents' information, consent, remote execute, reboot, live remote control\n"
                 "and file transfer. Open the address it prints (it carries the access token)\n"
                 "in a browser. SIGINT or SIGTERM stop it; the sessions it holds are ended.\n"
                 "\n"
                 "  --listen ADDR:PORT  where to listen (default 127.0.0.1:8470; port 0 takes a\n"
                 "                      free port; IPv6 as [::1]:8470)\n"
                 "  --token-file FILE   the access token: the first line of FILE (at least 16\n"
                 "                      characters: letters, digits, '.', '_', '~', '-');\n"
                 "                      default a new random token\n"
                 "  --machines FILE     machines listed at start: `ADDRESS [LABEL...]` a line,\n"
                 "                      '#' starts a comment\n"
                 "  --web-root DIR      the page's files (default the source's web folder)\n"
                 "  --key-file FILE     the site key, for agents and slaves that have one\n"
                 "  --timeout MS        wait for each reply of an agent (default 2000)\n"
                 "  --name NAME         this console's name, shown as the viewer (default\n"
                 "                      webconsole)\n"
                 "  --help              this text\n"
                 "\n"
                 "LINKCORE_PORT_OFFSET in the environment shifts the agents' ports.\n";
}

int Usage(const std::string& message) {
    std::cerr << "webconsole: " << message << "\n" << kUsage << "Try 'webconsole --help'.\n";
    return kExitUsage;
}

// ADDR:PORT, with an IPv6 address in brackets.
bool ParseListen(const std::string& text, std::string* host, uint16_t* port) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string h = text.substr(0, colon);
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']') return false;
        h = h.substr(1, h.size() - 2);
    } else if (h.find(':') != std::string::npos) {
        return false;  // an IPv6 address needs its brackets
    }
    long p = 0;
    if (!ftc::Number(text.substr(colon + 1), 0, 65535, &p)) return false;
    *host = h;
    *port = static_cast<uint16_t>(p);
    return true;
}

bool TokenChar(char ch) {
    return std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '_' || ch == '~' || ch == '-';
}

bool TokenFromFile(const std::string& path, std::string* token, std::string* error) {
    std::string text;
    if (!web::ReadWholeFile(path, &text)) {
        *error = "cannot read the token file " + path;
        return false;
    }
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < kMinTokenChars || line.size() > kMaxTokenChars) {
        *error = "the token file " + path + " must hold a token of " + std::to_string(kMinTokenChars) + " to " +
                 std::to_string(kMaxTokenChars) + " characters on its first line";
        return false;
    }
    for (const char ch : line)
        if (!TokenChar(ch)) {
            *error = "the token in " + path + " may hold only letters, digits, '.', '_', '~' and '-'";
            return false;
        }
    *token = line;
    return true;
}

bool RandomToken(std::string* token, std::string* error) {
    std::ifstream in("/dev/urandom", std::ios::binary);
    unsigned char b[kTokenBytes];
    if (!in.read(reinterpret_cast<char*>(b), sizeof b)) {
        *error = "cannot read /dev/urandom for the access token";
        return false;
    }
    static const char kHex[] = "0123456789abcdef";
    token->clear();
    for (const unsigned char c : b) {
        *token += kHex[c >> 4];
        *token += kHex[c & 15];
    }
    return true;
}

void OnStopSignal(int) {}  // never runs: the signals are blocked and taken by sigwait

struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 8470;
    std::string token_file, machines_file, web_root = QV_WEBCONSOLE_WEB_ROOT;
    web::ConsoleSettings settings;
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return 0;
        }
        const bool has_value = i + 1 < argc;
        if (a == "--listen" || a == "--token-file" || a == "--machines" || a == "--web-root" || a == "--key-file" ||
            a == "--timeout" || a == "--name") {
            if (!has_value) return Usage(a + " needs a value");
            const std::string v = argv[++i];
            if (a == "--listen") {
                if (!ParseListen(v, &opt.host, &opt.port))
                    return Usage("--listen takes ADDR:PORT (IPv6 as [ADDR]:PORT), not \"" + v + "\"");
            } else if (a == "--token-file") {
                opt.token_file = v;
            } else if (a == "--machines") {
                opt.machines_file = v;
            } else if (a == "--web-root") {
                opt.web_root = v;
            } else if (a == "--key-file") {
                opt.settings.key_file = v;
            } else if (a == "--timeout") {
                long ms = 0;
                if (!ftc::Number(v, 1, kMaxTimeoutMs, &ms))
                    return Usage("--timeout takes milliseconds from 1 to " + std::to_string(kMaxTimeoutMs));
                opt.settings.timeout_ms = static_cast<int>(ms);
            } else {
                if (v.empty() || v.size() > kMaxNameChars)
                    return Usage("--name takes 1 to " + std::to_string(kMaxNameChars) + " characters");
                opt.settings.name = v;
            }
            continue;
        }
        return Usage("unknown argument \"" + a + "\"");
    }

    std::string error, token;
    if (!(opt.token_file.empty() ? RandomToken(&token, &error) : TokenFromFile(opt.token_file, &token, &error)))
        return Usage(error);
    {
        std::string probe;
        if (!web::ReadWholeFile(opt.web_root + "/index.html", &probe))
            return Usage("the web root " + opt.web_root + " holds no index.html");
    }
    if (!opt.settings.key_file.empty() && !ftc::UseKeyFile(opt.settings.key_file, &error))
        return Usage("--key-file " + opt.settings.key_file + ": " + error);

    std::vector<web::MachineEntry> entries;
    if (!opt.machines_file.empty()) {
        std::string text;
        if (!web::ReadWholeFile(opt.machines_file, &text)) return Usage("cannot read the machines file " + opt.machines_file);
        if (!web::ParseMachinesFile(text, opt.machines_file, &entries, &error)) return Usage(error);
    }

    // SIGINT and SIGTERM are taken by this thread alone (sigwait below): every
    // thread started from here on inherits the blocked mask. A handler is set
    // first because a signal ignored on entry (a shell's background job
    // ignores SIGINT) would be discarded instead of waiting for sigwait.
    signal(SIGINT, OnStopSignal);
    signal(SIGTERM, OnStopSignal);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    web::MachineList list(opt.settings);
    for (const web::MachineEntry& e : entries) list.Add(e.address, e.label, &error);
    auto machines = web::MakeMachinesFeature(list, opt.settings);
    auto view = web::MakeViewFeature(list, opt.settings);
    auto files = web::MakeFilesFeature(list, opt.settings);
    web::ServerOptions so;
    so.host = opt.host;
    so.port = opt.port;
    so.token = token;
    so.web_root = opt.web_root;
    web::WebServer server(so, {machines.get(), view.get(), files.get()});
    if (!server.Start(&error)) {
        std::cerr << "webconsole: " << error << "\n";
        return kExitUsage;
    }
    const std::string host = opt.host.find(':') != std::string::npos ? "[" + opt.host + "]" : opt.host;
    const std::string base = "http://" + host + ":" + std::to_string(server.port()) + "/";
    std::cout << "webconsole: listening on " << base << "\n"
              << "webconsole: open " << base << "?token=" << token << "\n"
              << std::flush;

    int sig = 0;
    sigwait(&stop_signals, &sig);
    std::cout << "webconsole: stopping (" << (sig == SIGINT ? "SIGINT" : "SIGTERM") << ")\n" << std::flush;
    // Pages first (no new requests), then the machines' workers (their jobs may
    // use the features), then the features themselves.
    server.Stop();
    list.Clear();
    return 0;
}
