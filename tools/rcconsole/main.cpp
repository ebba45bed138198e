// rcconsole: a command-line remote control console for Linux.
//
//   rcconsole [--ipx] [--port N] [--data-port N] [--timeout MS] [--yes]
//             [--no-end] [--name NAME] [--wait S] [--key-file FILE] [-c "cmd; cmd"] HOST
//   rcconsole keygen FILE
//
// Talks to the remote control agent on HOST: the verify endpoint (TCP 1761,
// or with --ipx the IPX endpoint carried over UDP, port 16696) for
// information, the session and commands; the data endpoint (TCP 1762 / UDP
// 16952) for watching. Commands come from -c or, line by line, from
// standard input; `rcconsole --help` and the command `help` list them.
// The first command that needs a session establishes one; the console ends
// it when it leaves (also on Ctrl-C), unless --no-end is given.
//
// With --key-file the console runs keyed sessions with the site key in
// FILE (an agent with a site key answers nothing else, and enforces the
// user's permissions itself); `keygen FILE` makes a new key file.
//
// LINKCORE_PORT_OFFSET in the environment shifts every port as it does for
// the agent (libs/linkcore/WIRE.md).
//
// Exit status: 0 every command succeeded (for ask: the user allowed),
// 1 a command failed (or the user refused), 2 usage error or the agent not
// reached, 3 the agent is busy with another console, 130 interrupted.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "libs/linkcore/client.h"
#include "libs/linkcore/internal.h"
#include "tools/ftconsole/client_link.h"
#include "tools/ftconsole/console_commands.h"
#include "tools/ftconsole/console_key.h"
#include "tools/ftconsole/console_text.h"
#include "tools/ftconsole/ftclient.h"
#include "tools/rcconsole/agent_ops.h"
#include "tools/rcconsole/data_session.h"
#include "tools/rcconsole/rcclient.h"
#include "tools/rcconsole/png_file.h"
#include "tools/rcconsole/rcproto.h"
#include "tools/rcconsole/screen_decoder.h"
#include "tools/rcconsole/view_input.h"

namespace {

using namespace qv;
using Clock = std::chrono::steady_clock;

constexpr int kIpxUdpFirst = 0x4000;
constexpr int kIpxUdpLast = 0x7FFF;
constexpr int kMaxTimeoutMs = 600000;
// A session expires after 2476 ticks of 55 ms (about 136 s) without a
// validation; long runs validate well within that.
constexpr int kValidateEveryMs = 60000;
constexpr int kPollEveryMs = 500;
// The agent opens its data endpoint anew after each viewer: for a moment
// the old endpoint still takes a connection (and drops it when it closes),
// then none is taken until the new one listens. A viewer started right
// after another (view, then watch) tries again this long.
constexpr int kDataReopenMs = 3000;
constexpr int kExitFailed = 1, kExitUsage = 2, kExitBusy = 3, kExitInterrupted = 130;

volatile sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }


const ftc::CommandHelp kCommands[] = {
    {"info", "[LEVEL]", 0, 1, "the agent's information, level 0 to 3 (default 3); needs no session", "info 3"},
    {"establish", "", 0, 0, "establish the session and show the user's permissions and signals", "establish"},
    {"exec", "[-k] PROGRAM [ARGS]", 1, 64, "run a program on the machine (-k: the agent puts K before its name)",
     "exec -k SLAVE.EXE"},
    {"ask", "REQUESTER OPERATION", 2, 2, "ask the user's consent and wait for the answer (allowed/refused)",
     "ask Admin transfer"},
    {"reboot", "", 0, 0, "reboot the machine (asks first unless --yes)", "reboot"},
    {"watch", "[BITS [SECONDS]]", 0, 2,
     "view the screen at 1, 4 or 8 bits (default 8) and count what arrives, until Ctrl-C or SECONDS",
     "watch 4 10"},
    {"snapshot", "FILE.png", 1, 1,
     "view until the whole screen has arrived (--bits colours), write it as a PNG picture, disconnect",
     "snapshot screen.png"},
    {"view", "[FILE.png [SECONDS]]", 0, 2,
     "view into FILE.png (default screen.png), rewritten after each change; reads view commands (below)",
     "view screen.png"},
    {"help", "", 0, 0, "this list", "help"},
    {"quit", "", 0, 0, "end the session and leave", "quit"},
};

// Lines typed while viewing: what std::cin already holds, then standard
// input as it comes, without ever blocking.
class LineInput {
public:
    // Appends the lines completed so far to *lines.
    void Poll(std::vector<std::string>* lines) {
        if (!eof_) {
            std::streambuf* b = std::cin.rdbuf();
            for (std::streamsize k = b->in_avail(); k > 0; --k) buf_ += static_cast<char>(b->sbumpc());
            pollfd p{0, POLLIN, 0};
            while (!eof_ && poll(&p, 1, 0) > 0) {
                char chunk[4096];
                const ssize_t n = read(0, chunk, sizeof chunk);
                if (n <= 0) {
                    eof_ = !(n < 0 && errno == EINTR);
                    break;
                }
                buf_.append(chunk, static_cast<std::size_t>(n));
            }
            if (eof_ && !buf_.empty()) buf_ += '\n';
        }
        for (std::size_t nl = buf_.find('\n'); nl != std::string::npos; nl = buf_.find('\n')) {
            std::string line = buf_.substr(0, nl);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines->push_back(line);
            buf_.erase(0, nl + 1);
        }
    }
    bool ended() const { return eof_; }

private:
    std::string buf_;
    bool eof_ = false;
};

void PrintCommands(std::ostream& out) {
    ftc::PrintCommands(out, "Commands (quote words with blanks: exec notepad \"C:\\My Notes.txt\"):", kCommands, 26);
}

const char kUsage[] =
    "usage: rcconsole [--ipx] [--port N] [--data-port N] [--timeout MS] [--yes] [--no-end]\n"
    "                 [--name NAME] [--wait S] [--key-file FILE] [--bits 4|8] [--screen-wait S]\n"
    "                 [-c \"cmd; cmd\"] HOST\n"
    "       rcconsole [OPTIONS] snapshot HOST FILE.png\n"
    "       rcconsole [OPTIONS] view HOST [FILE.png]\n"
    "       rcconsole keygen FILE\n";

void PrintHelp() {
    std::cout << kUsage
              << "\n"
                 "Talks to the remote control agent on HOST and runs the commands given with\n"
                 "-c (separated by ';') or read from standard input. The first command that\n"
                 "needs a session establishes one; it is ended when the console leaves, also\n"
                 "on Ctrl-C.\n"
                 "\n"
                 "  --ipx          use the IPX form, carried over UDP (ports 16696 and 16952)\n"
                 "  --port N       the verify endpoint's port (default TCP 1761; with --ipx a\n"
                 "                 UDP port from 16384 to 32767)\n"
                 "  --data-port N  the data endpoint's port (default TCP 1762 / UDP 16952)\n"
                 "  --timeout MS   wait for each reply and for the connection (default 2000)\n"
                 "  --yes          reboot without asking\n"
                 "  --no-end       leave the session established on exit (its owner is then\n"
                 "                 this console's address until it expires, about 136 s);\n"
                 "                 for tests of what a second console sees\n"
                 "  --name NAME    the viewer name shown on the machine (default rcconsole)\n"
                 "  --wait S       how long ask waits for the user's answer (default 600)\n"
                 "  --key-file FILE  the site key: needed when the agent has one (its\n"
                 "                 sessions are then keyed and encrypted)\n"
                 "  --bits 4|8     colours of snapshot and view: 8 bits (256 colours, the\n"
                 "                 default) or 4 bits (the 16 standard colours)\n"
                 "  --screen-wait S  how long snapshot and view wait for the first whole\n"
                 "                 screen (default 30)\n"
                 "  -c SCRIPT      run these commands instead of reading standard input\n"
                 "  --help         this text\n"
                 "\n"
                 "Example: rcconsole -c \"info; establish; exec -k SLAVE.EXE\" 127.0.0.1\n"
                 "\n"
                 "rcconsole snapshot HOST FILE.png is rcconsole -c \"snapshot FILE.png\" HOST: it\n"
                 "writes the remote screen as a PNG picture and leaves. rcconsole view HOST\n"
                 "[FILE.png] is rcconsole -c \"view FILE.png\" HOST: the picture (default\n"
                 "screen.png) is written again after each change of the screen, and these\n"
                 "commands, typed one a line, go to the remote machine (positions are pixels of\n"
                 "the remote screen, keys Windows virtual-key codes):\n"
                 "  key CODE [SCAN]          press and release a key (0x8000 added: release only)\n"
                 "  text TEXT                type printable ASCII text (quote it for blanks)\n"
                 "  move X Y                 move the pointer\n"
                 "  click X Y [left|right]   move the pointer and click\n"
                 "  png                      write the picture now\n"
                 "  quit                     leave the view (also the end of the input)\n"
                 "view prints a line per completed rectangle (its row records and the rows\n"
                 "that changed) and the pointer's position when the agent reports it.\n"
                 "\n"
                 "keygen FILE writes a new site key to FILE (readable by its owner only;\n"
                 "never over an existing file).\n"
                 "\n";
    PrintCommands(std::cout);
    std::cout << "\nExit status: 0 all commands succeeded (ask: allowed), 1 a command failed\n"
                 "(ask: refused), 2 usage error or the agent not reached, 3 the agent is busy\n"
                 "with another console, 130 interrupted.\n";
}

struct Options {
    bool ipx = false;
    long port = 0, data_port = 0;  // 0: the agent's own
    long timeout = 2000;
    bool yes = false, no_end = false;
    std::string name = "rcconsole";
    long bits = 8;           // snapshot and view
    long screen_wait_s = 30; // snapshot and view: the first whole screen
    long wait_s = 600;
    std::string host;
    std::string key_file;
};

class Console {
public:
    explicit Console(const Options& o) : opt_(o) {}

    // Connects to the verify endpoint; false (message printed) when it fails.
    bool Open() {
        verify_ = Connect(opt_.port, opt_.ipx ? rc::kVerifyIpxSocket : rc::kVerifyTcpPort, &verify_at_);
        if (!verify_) return false;
        vlink_ = std::make_unique<ftc::ClientLink>(*verify_);
        client_ = std::make_unique<rcc::RcClient>(*vlink_, static_cast<int>(opt_.timeout));
        return true;
    }

    // Ends the session this run established (unless told to keep it).
    void Close() {
        if (!established_ || opt_.no_end || !client_) return;
        rcc::Outcome o = client_->End();
        established_ = false;
        if (!o.ok) std::cerr << "rcconsole: ending the session: " << o.error << "\n";
    }

    int exit_code() const { return exit_code_; }

    // While the user thinks at the prompt, the session is validated now
    // and then so that it does not expire.
    void KeepAlive() {
        if (!established_) return;
        rcc::Outcome o = client_->Validate(static_cast<int>(opt_.timeout < 500 ? opt_.timeout : 500));
        if (o.ok) return;
        established_ = false;
        std::cerr << "rcconsole: the session was lost: " << o.error << "; the next command establishes a new one\n";
    }

    // Runs one command line's words; false when it failed.
    bool Run(const std::vector<std::string>& w, bool* stop) {
        const std::string& cmd = w[0];
        if (!ftc::CheckCommand(kCommands, w, std::cerr)) return false;
        if (cmd == "help") {
            PrintCommands(std::cout);
            return true;
        }
        if (cmd == "quit") {
            *stop = true;
            return true;
        }
        const bool ok = RunOnAgent(w);
        // A busy agent, or one that does not answer, ends the run.
        if (exit_code_ != 0) *stop = true;
        return ok;
    }

private:
    bool RunOnAgent(const std::vector<std::string>& w) {
        const std::string& cmd = w[0];
        const std::size_t n = w.size() - 1;
        if (cmd == "info") return Info(n ? w[1] : "3");
        if (!EnsureSession()) return false;
        if (cmd == "establish") return true;
        if (cmd == "exec") return Exec(std::vector<std::string>(w.begin() + 1, w.end()));
        if (cmd == "ask") return Ask(w[1], w[2]);
        if (cmd == "reboot") return Reboot();
        if (cmd == "snapshot") return Snapshot(w[1]);
        if (cmd == "view") return View(n > 0 ? w[1] : "screen.png", n > 1 ? w[2] : "0");
        return Watch(n > 0 ? w[1] : "8", n > 1 ? w[2] : "0");
    }

    // refused_wait_ms: how long a refused TCP connection is tried again.
    std::unique_ptr<link::Client> Connect(long port, uint32_t agent_value, std::string* at, int refused_wait_ms = 0) {
        std::string err;
        std::unique_ptr<link::Client> c;
        const long given = port ? port : opt_.ipx ? kIpxUdpFirst + (agent_value & 0x3FFF) : agent_value;
        uint16_t real = 0;
        const bool in_range = link::OffsetPort(static_cast<uint32_t>(given), &real);
        *at = opt_.host + ":" + std::to_string(in_range ? real : given) + (opt_.ipx ? " (UDP)" : "");
        if (!in_range) {
            std::cerr << "rcconsole: port " << given << " plus LINKCORE_PORT_OFFSET is out of range\n";
            return nullptr;
        }
        const Clock::time_point give_up = Clock::now() + std::chrono::milliseconds(refused_wait_ms);
        for (;;) {
            err.clear();
            if (opt_.ipx)
                c = link::Client::OpenIpx(opt_.host, static_cast<uint32_t>(given - kIpxUdpFirst), &err);
            else
                c = link::Client::ConnectTcp(opt_.host, static_cast<uint16_t>(given), static_cast<int>(opt_.timeout),
                                             &err);
            if (c || opt_.ipx || link::net::LastError() != ECONNREFUSED || Clock::now() >= give_up || g_interrupted)
                break;
            usleep(200 * 1000);
        }
        if (!c) {
            const int e = link::net::LastError();
            if (err.rfind("connect failed", 0) == 0)
                err = "cannot connect to " + *at + ": " +
                      (e == ECONNREFUSED ? std::string("connection refused (is the agent running, with the same port?)")
                                         : std::string(std::strerror(e)));
            std::cerr << "rcconsole: " << err << "\n";
        }
        return c;
    }

    // Reports a failed exchange; a busy agent or one that does not answer
    // ends the run.
    bool Fail(const std::string& what, const rcc::Outcome& o) {
        if (g_interrupted) return false;
        if (o.busy) {
            std::cerr << "rcconsole: the agent at " << verify_at_ << " is busy with another console";
            if (o.owner_known)
                std::cerr << " (owner " << rcc::AddressText(o.owner.owner, sizeof o.owner.owner) << ", session age "
                          << rcc::AgeSeconds(o.owner.age_ticks) << " s)";
            std::cerr << "\n";
            exit_code_ = kExitBusy;
        } else if (o.no_reply) {
            std::cerr << "rcconsole: " << what << ": no reply from the agent at " << verify_at_ << " within "
                      << opt_.timeout << " ms; " << ftc::NoAnswerHint(!opt_.key_file.empty()) << "\n";
            exit_code_ = kExitUsage;
        } else if (o.error.find("connection to the agent broke") != std::string::npos) {
            // An agent with a site key closes a connection whose first
            // packet does not prove the key.
            std::cerr << what << ": " << o.error << "; " << ftc::NoAnswerHint(!opt_.key_file.empty()) << "\n";
            exit_code_ = kExitUsage;
        } else {
            std::cerr << what << ": " << o.error << (o.status ? " (status " + std::to_string(static_cast<int16_t>(o.status)) + ")" : "")
                      << "\n";
            if (o.error.find("connection") != std::string::npos) exit_code_ = kExitUsage;
            if (o.status == rc::kStatusTimedOut || o.status == rc::kStatusNoSession) established_ = false;
        }
        return false;
    }

    bool Info(const std::string& level_text) {
        long level = 0;
        if (!ftc::Number(level_text, 0, 3, &level)) {
            std::cerr << "info: the level is a number from 0 to 3\n";
            return false;
        }
        rcc::InfoReply r;
        rcc::Outcome o = client_->Info(static_cast<uint8_t>(level), &r);
        if (!o.ok) return Fail("info", o);
        std::cout << "level: " << int(r.level) << "\n"
                  << "windows version: " << (r.os_version >> 8) << "." << (r.os_version & 0xFF)
                  << (r.version_known ? "" : " (not known)") << "\n";
        if (r.level >= 1) {
            std::cout << "product: " << ftc::Printable(r.product) << "\n"
                      << "transport: "
                      << (r.transport == 1 ? "IPX" : r.transport == 3 ? "TCP/IP" : std::to_string(r.transport))
                      << "\n"
                      << "session: ";
            if (r.session_age == rc::kNoSessionAge)
                std::cout << "none\n";
            else
                std::cout << "established, age " << rcc::AgeSeconds(r.session_age) << " s (" << r.session_age
                          << " ticks)\n";
            std::cout << "viewer: " << (r.viewer_active ? "connected" : "none") << "\n";
        }
        if (r.level >= 3)
            std::cout << "keyboard: type " << r.keyboard_type << ", subtype " << r.keyboard_subtype << "\n"
                      << "language: " << ftc::Printable(r.language) << ", code page " << r.code_page << "\n";
        return true;
    }

    bool EnsureSession() {
        if (established_) return true;
        rcc::EstablishReply flags;
        rcc::Outcome o = client_->Establish(&flags);
        if (!o.ok) return Fail("establish", o);
        established_ = true;
        if (flags.status == rc::kStatusAlreadyEstablished) {
            std::cout << "session: already established by this console\n";
            return true;
        }
        have_flags_ = true;
        permissions_ = flags.permissions;
        std::cout << "session established\n"
                  << "permissions: " << rcc::PermissionWords(flags.permissions) << "\n"
                  << "signals: " << rcc::SignalWords(flags.signals) << "\n";
        return true;
    }

    // The console honours what the user allows.
    bool Allowed(uint32_t bit, const char* what) {
        if (!have_flags_ || (permissions_ & bit)) return true;
        std::cerr << what << ": the user of this machine does not allow it\n";
        return false;
    }

    bool Poll(const std::string& what, uint16_t* result) {
        rcc::Outcome o = rcc::AskResult(*client_, result);
        return o.ok || Fail(what, o);
    }

    bool Exec(std::vector<std::string> w) {
        uint8_t options = 0;
        if (w[0] == "-k" || w[0] == "-K") {
            options = rc::kExecOptionKPrefix;
            w.erase(w.begin());
            if (w.empty()) {
                std::cerr << "exec: missing program after -k\n";
                return false;
            }
        }
        // The agent takes the first word of "program arguments" as the
        // program: a path with blanks goes in quotes.
        const std::string program = rcc::QuotedWord(w[0]);
        std::string args;
        for (std::size_t i = 1; i < w.size(); ++i) args += (i > 1 ? " " : "") + rcc::QuotedWord(w[i]);
        const std::string shown = (options ? "K" : "") + program;
        if (!Allowed(rcc::ExecPermission(shown), "exec")) return false;
        bool started = false;
        std::string why;
        rcc::Outcome o = rcc::StartProgram(*client_, program, args, options, &started, &why);
        if (!o.ok) return Fail("exec " + shown, o);
        if (started) {
            std::cout << "started " << shown << "\n";
            return true;
        }
        std::cerr << "exec " << shown << ": not started: " << why << "\n";
        return false;
    }

    bool Ask(const std::string& requester, const std::string& operation) {
        uint16_t result = 0;
        rcc::Outcome started = rcc::AskStart(*client_, requester, operation);
        if (!started.ok) return Fail("ask", started);
        std::cout << "asking the user: may " << requester << " " << operation << "?\n" << std::flush;
        const Clock::time_point until = Clock::now() + std::chrono::seconds(opt_.wait_s);
        for (;;) {
            if (!Poll("ask", &result)) return false;
            if (result != rc::kResultPromptOpen) break;
            if (Clock::now() >= until) {
                std::cerr << "ask: no answer from the user within " << opt_.wait_s << " s\n";
                return false;
            }
            for (int slept = 0; slept < kPollEveryMs && !g_interrupted; slept += 50) usleep(50 * 1000);
            if (g_interrupted) return false;
        }
        std::cout << rcc::ResultText(result) << "\n";
        return result == rc::kResultAllowed;
    }

    bool Reboot() {
        if (!Allowed(rc::kAllowReboot, "reboot")) return false;
        if (!opt_.yes) {
            if (!isatty(0)) {
                std::cerr << "reboot: not confirmed; give --yes to reboot without being asked\n";
                return false;
            }
            std::cout << "Reboot the machine at " << opt_.host << " now? Type yes to confirm: " << std::flush;
            std::string answer;
            if (!std::getline(std::cin, answer) || answer != "yes") {
                std::cout << "not rebooted\n";
                return false;
            }
        }
        bool accepted = false;
        std::string why;
        rcc::Outcome o = rcc::Reboot(*client_, &accepted, &why);
        if (!o.ok) return Fail("reboot", o);
        if (!accepted) {
            std::cerr << "reboot: " << why << "\n";
            return false;
        }
        std::cout << "the machine is rebooting\n";
        established_ = false;  // the session goes with the machine
        return true;
    }

    // ---- Viewing on the data endpoint: watch, snapshot and view ----

    // Validates the session now and then while viewing; false (message
    // printed) when the agent says the session is gone. A validation is
    // answered only when it fails.
    bool SessionHolds(const char* what, Clock::time_point now, Clock::time_point* next_validate) {
        if (now >= *next_validate) {
            const rcc::Bytes validate = rcc::SimpleRequest(rc::kValidateViewer);
            verify_->Send(validate.data(), validate.size());
            *next_validate = now + std::chrono::milliseconds(kValidateEveryMs);
        }
        uint8_t v[rc::kMaxPacket + 16];
        const int vn = verify_->Recv(v, sizeof v, 0);
        rcc::ReplyHead head;
        if (vn > 0 && rcc::DecodeHead(v, static_cast<std::size_t>(vn), &head) && head.type == rc::kValidateViewer &&
            head.status != rc::kStatusDone) {
            std::cerr << what << ": the session was lost: " << rcc::StatusText(head.status) << "\n";
            established_ = false;
            return false;
        }
        return true;
    }

    // Connects to the data endpoint and starts viewing; null (message
    // printed) when the user does not allow it or the agent does not answer.
    std::unique_ptr<rcc::DataSession> StartViewing(const char* what, long bits) {
        if (!Allowed(rc::kAllowTakeover, what)) return nullptr;
        std::string data_at;
        std::unique_ptr<rcc::DataSession> session;
        const Clock::time_point give_up = Clock::now() + std::chrono::milliseconds(kDataReopenMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - Clock::now()).count();
            std::unique_ptr<link::Client> link = Connect(opt_.data_port, opt_.ipx ? rc::kDataIpxSocket : rc::kDataTcpPort,
                                                         &data_at, static_cast<int>(left > 0 ? left : 0));
            if (!link) return nullptr;
            session = std::make_unique<rcc::DataSession>(std::move(link), [] { return g_interrupted != 0; });
            if (session->Connect(static_cast<int>(opt_.timeout))) break;
            if (g_interrupted) return nullptr;
            // Taken by the endpoint the agent was about to close: again.
            if (!session->broken() || Clock::now() >= give_up) {
                std::cerr << what << ": no answer on the data endpoint at " << data_at
                          << "; another viewer is connected or the agent is not running\n";
                return nullptr;
            }
            usleep(200 * 1000);
        }
        session->StartViewing(static_cast<unsigned>(bits), opt_.name);
        return session;
    }

    bool Watch(const std::string& bits_text, const std::string& seconds_text) {
        long bits = 0, seconds = 0;
        if (!ftc::Number(bits_text, 1, 8, &bits) || (bits != 1 && bits != 4 && bits != 8)) {
            std::cerr << "watch: the colour depth is 1, 4 or 8 bits\n";
            return false;
        }
        if (!ftc::Number(seconds_text, 0, 86400, &seconds)) {
            std::cerr << "watch: SECONDS is a number from 0 (until Ctrl-C) to 86400\n";
            return false;
        }
        std::unique_ptr<rcc::DataSession> data = StartViewing("watch", bits);
        if (!data) return false;
        rcc::RecordCounter records;
        std::cout << "viewing at " << bits << " bits per pixel" << (seconds ? "" : "; Ctrl-C ends") << "\n"
                  << std::flush;

        uint64_t sec_packets = 0, sec_bytes = 0, sec_records = 0;
        const Clock::time_point start = Clock::now();
        Clock::time_point next_line = start + std::chrono::seconds(1),
                          next_validate = start + std::chrono::milliseconds(kValidateEveryMs);
        bool ok = true;
        while (!g_interrupted) {
            const Clock::time_point now = Clock::now();
            if (seconds && now - start >= std::chrono::seconds(seconds)) break;
            if (now >= next_line) {
                const uint64_t rec_total = records.records();
                std::cout << "records/s " << rec_total - sec_records << "  packets/s " << data->packets - sec_packets
                          << "  bytes/s " << data->bytes - sec_bytes << "\n"
                          << std::flush;
                sec_records = rec_total, sec_packets = data->packets, sec_bytes = data->bytes;
                next_line += std::chrono::seconds(1);
            }
            if (!SessionHolds("watch", now, &next_validate)) {
                ok = false;
                break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_line - Clock::now()).count();
            const rcc::DataSession::Got got = data->Next(static_cast<int>(left < 1 ? 1 : left > 200 ? 200 : left));
            if (got == rcc::DataSession::Got::kBroken || got == rcc::DataSession::Got::kDropped) {
                if (!g_interrupted) {
                    std::cerr << "watch: " << data->Why() << "\n";
                    ok = false;
                }
                break;
            }
            if (got == rcc::DataSession::Got::kPayload) records.Feed(data->payload(), data->payload_size(), data->queue_start());
        }
        data->Disconnect();
        const double secs = std::chrono::duration<double>(Clock::now() - start).count();
        char secs_text[32];
        std::snprintf(secs_text, sizeof secs_text, "%.1f", secs);
        std::cout << "watched " << secs_text << " s: " << records.records() << " records, " << data->packets
                  << " packets, " << data->bytes << " bytes";
        if (data->gaps) std::cout << ", " << data->gaps << " resend requests";
        if (records.unknown_bytes()) std::cout << ", " << records.unknown_bytes() << " bytes of unknown records";
        std::cout << std::endl;
        return ok;
    }

    // Writes the decoder's picture; false (message printed) when it fails.
    static bool WritePicture(const char* what, const rcc::ScreenDecoder& screen, const std::string& path) {
        std::string error;
        if (rcc::WritePng(path, static_cast<std::size_t>(screen.width()), static_cast<std::size_t>(screen.height()),
                          screen.ToRgb(), &error))
            return true;
        std::cerr << what << ": cannot write the picture: " << error << "\n";
        return false;
    }

    // Waits until the first whole screen has arrived; false (message
    // printed) on a broken link, the session lost or the time-out.
    bool AwaitScreen(const char* what, rcc::DataSession& data, rcc::ScreenPicture* pic, Clock::time_point* next_validate) {
        const Clock::time_point until = Clock::now() + std::chrono::seconds(opt_.screen_wait_s);
        while (!g_interrupted) {
            if (pic->Complete()) return true;
            const Clock::time_point now = Clock::now();
            if (now >= until) {
                std::cerr << what << ": no " << (pic->screen.has_image() ? "complete " : "")
                          << "screen arrived within " << opt_.screen_wait_s << " s ("
                          << data.packets << " packets, " << pic->screen.records() << " records)\n";
                return false;
            }
            if (!SessionHolds(what, now, next_validate)) return false;
            const rcc::DataSession::Got got = data.Next(50);
            if (got == rcc::DataSession::Got::kBroken || got == rcc::DataSession::Got::kDropped) {
                std::cerr << what << ": " << data.Why() << "\n";
                return false;
            }
            if (got == rcc::DataSession::Got::kPayload) pic->Feed(data);
        }
        return false;
    }

    bool Snapshot(const std::string& path) {
        std::unique_ptr<rcc::DataSession> data = StartViewing("snapshot", opt_.bits);
        if (!data) return false;
        rcc::ScreenPicture pic;
        Clock::time_point next_validate = Clock::now() + std::chrono::milliseconds(kValidateEveryMs);
        const bool got = AwaitScreen("snapshot", *data, &pic, &next_validate);
        data->Disconnect();
        if (!got || !WritePicture("snapshot", pic.screen, path)) return false;
        std::cout << "wrote " << path << ": " << pic.screen.width() << " x " << pic.screen.height() << ", "
                  << pic.screen.bit_count() << " bits per pixel (" << data->packets << " packets, " << data->bytes
                  << " bytes, " << pic.screen.records() << " records)" << std::endl;
        if (pic.screen.bad_records())
            std::cerr << "snapshot: " << pic.screen.bad_records()
                      << " malformed records were skipped; parts of the picture may be missing\n";
        return true;
    }

    bool View(const std::string& path, const std::string& seconds_text) {
        long seconds = 0;
        if (!ftc::Number(seconds_text, 0, 86400, &seconds)) {
            std::cerr << "view: SECONDS is a number from 0 (until quit or Ctrl-C) to 86400\n";
            return false;
        }
        std::unique_ptr<rcc::DataSession> data = StartViewing("view", opt_.bits);
        if (!data) return false;
        std::cout << "viewing at " << opt_.bits << " bits per pixel into " << path
                  << "; commands: key CODE [SCAN], text TEXT, move X Y, click X Y [left|right], png, quit"
                  << std::endl;
        const Clock::time_point start = Clock::now();
        Clock::time_point next_validate = start + std::chrono::milliseconds(kValidateEveryMs);
        rcc::ScreenPicture pic;
        bool ok = AwaitScreen("view", *data, &pic, &next_validate) && WritePicture("view", pic.screen, path);
        if (ok)
            std::cout << "screen " << pic.screen.width() << " x " << pic.screen.height() << ", "
                      << pic.screen.bit_count() << " bits per pixel; wrote " << path << std::endl;
        // What the viewer had after the last rectangle, to tell which rows
        // the next one changed.
        std::vector<uint8_t> before = pic.screen.bits();
        uint64_t rects = pic.screen.rects_done(), rows = pic.screen.row_deltas();
        int32_t cx = pic.screen.cursor_x(), cy = pic.screen.cursor_y();
        bool had_cursor = pic.screen.has_cursor();
        LineInput input;
        while (ok && !g_interrupted) {
            const Clock::time_point now = Clock::now();
            if (seconds && now - start >= std::chrono::seconds(seconds)) break;
            if (!SessionHolds("view", now, &next_validate)) {
                ok = false;
                break;
            }
            // Typed commands.
            std::vector<std::string> lines;
            input.Poll(&lines);
            bool quit = false;
            for (const std::string& line : lines) {
                ftc::RunLine(line, std::cerr, [&](const std::vector<std::string>& w) {
                    if (w[0] == "quit" || w[0] == "end") {
                        quit = true;
                        return true;
                    }
                    if (w[0] == "png" && w.size() == 1) {
                        if (!WritePicture("view", pic.screen, path)) return false;
                        std::cout << "wrote " << path << std::endl;
                        return true;
                    }
                    std::vector<rcc::Bytes> payloads;
                    std::string error;
                    if (!rcc::ViewCommandPayloads(w, static_cast<unsigned>(pic.screen.width()),
                                                  static_cast<unsigned>(pic.screen.height()), &payloads, &error)) {
                        std::cerr << error << "\n";
                        return false;
                    }
                    for (const rcc::Bytes& p : payloads)
                        if (!data->Send(p)) return false;
                    std::cout << "sent " << w[0] << std::endl;
                    return true;
                });
                if (quit) break;
            }
            // The end of the input ends the view, unless it runs for a time.
            if (quit || (input.ended() && !seconds)) break;
            const rcc::DataSession::Got got = data->Next(50);
            if (got == rcc::DataSession::Got::kBroken || got == rcc::DataSession::Got::kDropped) {
                if (!g_interrupted) {
                    std::cerr << "view: " << data->Why() << "\n";
                    ok = false;
                }
                break;
            }
            if (got != rcc::DataSession::Got::kPayload) continue;
            pic.Feed(*data);
            if (pic.screen.has_cursor() && (!had_cursor || pic.screen.cursor_x() != cx || pic.screen.cursor_y() != cy)) {
                had_cursor = true;
                cx = pic.screen.cursor_x(), cy = pic.screen.cursor_y();
                std::cout << "cursor " << cx << " " << cy << std::endl;
            }
            if (pic.screen.rects_done() == rects) continue;
            // A rectangle (or more) completed: which rows changed, and the
            // picture again.
            const std::vector<uint8_t>& now_bits = pic.screen.bits();
            const std::size_t stride = pic.screen.stride();
            long first = -1, last = -1;
            if (stride && before.size() == now_bits.size()) {
                for (std::size_t r = 0; r * stride < now_bits.size(); ++r) {
                    if (std::memcmp(&before[r * stride], &now_bits[r * stride], stride) == 0) continue;
                    const long y = static_cast<long>(pic.screen.height()) - 1 - static_cast<long>(r);  // bottom-up
                    if (first < 0 || y < first) first = y;
                    if (y > last) last = y;
                }
            }
            if (!WritePicture("view", pic.screen, path)) {
                ok = false;
                break;
            }
            const rcc::DecodedRect r = pic.screen.last_rect();
            std::cout << "rect " << r.left << "," << r.top << "-" << r.right << "," << r.bottom << ": "
                      << pic.screen.row_deltas() - rows << " row records";
            if (pic.screen.rects_done() - rects > 1) std::cout << " in " << pic.screen.rects_done() - rects << " rects";
            if (first >= 0) std::cout << ", rows " << first << "-" << last << " changed";
            std::cout << std::endl;
            rects = pic.screen.rects_done();
            rows = pic.screen.row_deltas();
            before = now_bits;
        }
        data->Disconnect();
        std::cout << "viewed: " << pic.screen.records() << " records, " << pic.screen.row_deltas()
                  << " row records, " << pic.screen.rects_done() << " rects, " << data->packets << " packets, "
                  << data->bytes << " bytes";
        if (data->gaps) std::cout << ", " << data->gaps << " resend requests";
        if (pic.screen.bad_records()) std::cout << ", " << pic.screen.bad_records() << " bad records";
        std::cout << std::endl;
        return ok;
    }

    Options opt_;
    std::unique_ptr<link::Client> verify_;
    std::unique_ptr<ftc::ClientLink> vlink_;
    std::unique_ptr<rcc::RcClient> client_;
    std::string verify_at_;
    bool established_ = false, have_flags_ = false;
    uint32_t permissions_ = 0;
    int exit_code_ = 0;
};

int Usage(const std::string& problem) {
    std::cerr << "rcconsole: " << problem << "\n" << kUsage << "see rcconsole --help for the options and commands\n";
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    std::string script;
    bool have_script = false;
    if (argc >= 2 && std::string(argv[1]) == "keygen") {
        if (argc != 3) return Usage("keygen needs one file name");
        return ftc::RunKeygen("rcconsole", argv[2], std::cout, std::cerr);
    }
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return 0;
        } else if (a == "--ipx") {
            opt.ipx = true;
        } else if (a == "--yes") {
            opt.yes = true;
        } else if (a == "--no-end") {
            opt.no_end = true;
        } else if (a == "--port" || a == "--data-port") {
            if (!has_value || !ftc::Number(argv[++i], 1, 65535, a == "--port" ? &opt.port : &opt.data_port))
                return Usage(a + " needs a port number from 1 to 65535");
        } else if (a == "--timeout") {
            if (!has_value || !ftc::Number(argv[++i], 1, kMaxTimeoutMs, &opt.timeout))
                return Usage("--timeout needs milliseconds from 1 to " + std::to_string(kMaxTimeoutMs));
        } else if (a == "--wait") {
            if (!has_value || !ftc::Number(argv[++i], 1, 86400, &opt.wait_s))
                return Usage("--wait needs seconds from 1 to 86400");
        } else if (a == "--bits") {
            if (!has_value || !ftc::Number(argv[++i], 4, 8, &opt.bits) || (opt.bits != 4 && opt.bits != 8))
                return Usage("--bits needs 4 or 8");
        } else if (a == "--screen-wait") {
            if (!has_value || !ftc::Number(argv[++i], 1, 3600, &opt.screen_wait_s))
                return Usage("--screen-wait needs seconds from 1 to 3600");
        } else if (a == "--name") {
            if (!has_value) return Usage("--name needs the viewer name");
            opt.name = argv[++i];
        } else if (a == "--key-file") {
            if (!has_value) return Usage("--key-file needs the key file");
            opt.key_file = argv[++i];
        } else if (a == "-c") {
            if (!has_value) return Usage("-c needs the commands to run");
            script = argv[++i];
            have_script = true;
        } else if ((a == "snapshot" || a == "view") && opt.host.empty() && !have_script && has_value) {
            // The short forms: snapshot HOST FILE.png, view HOST [FILE.png].
            opt.host = argv[++i];
            script = a;
            if (i + 1 < argc && argv[i + 1][0] != '-') script += " " + rcc::QuotedWord(argv[++i]);
            else if (a == "snapshot") return Usage("snapshot HOST FILE.png: no file given");
            have_script = true;
        } else if (!a.empty() && a[0] != '-' && opt.host.empty()) {
            opt.host = a;
        } else {
            return Usage(a.empty() || a[0] == '-' ? "unknown option " + a : "more than one host: " + a);
        }
    }
    if (opt.host.empty()) return Usage("no host given");
    for (long p : {opt.port, opt.data_port})
        if (opt.ipx && p && (p < kIpxUdpFirst || p > kIpxUdpLast))
            return Usage("with --ipx, --port and --data-port are UDP ports from " + std::to_string(kIpxUdpFirst) +
                         " to " + std::to_string(kIpxUdpLast));

    // Ctrl-C (and a polite kill) stop the running command; the session is
    // then ended as on a normal exit.
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The console reads standard input through std::cin only, and knows
    // from it whether a typed line is waiting (the prompt validates the
    // session while the user is idle).
    std::ios_base::sync_with_stdio(false);
    std::string key_error;
    if (!opt.key_file.empty() && !ftc::UseKeyFile(opt.key_file, &key_error)) {
        std::cerr << "rcconsole: " << key_error << "\n";
        return kExitUsage;
    }
    Console console(opt);
    if (!console.Open()) return kExitUsage;
    bool all_ok = true, stop = false;
    auto run = [&](const std::string& line) {
        if (!ftc::RunLine(line, std::cerr, [&](const auto& w) { return console.Run(w, &stop); })) all_ok = false;
        if (g_interrupted) stop = true;
    };
    if (have_script) {
        for (const std::string& part : ftc::SplitScript(script)) {
            if (stop) break;
            run(part);
        }
    } else {
        const bool tty = isatty(0);
        std::string line;
        while (!stop) {
            if (tty) std::cout << "rc> " << std::flush;
            while (tty && std::cin.rdbuf()->in_avail() <= 0 && !g_interrupted) {
                pollfd in{0, POLLIN, 0};
                if (poll(&in, 1, kValidateEveryMs) != 0) break;
                console.KeepAlive();
            }
            if (g_interrupted || !std::getline(std::cin, line)) break;
            run(line);
        }
    }
    console.Close();
    if (g_interrupted) {
        std::cerr << "rcconsole: interrupted\n";
        return kExitInterrupted;
    }
    if (console.exit_code()) return console.exit_code();
    return all_ok ? 0 : kExitFailed;
}
