// ftconsole: a command-line file transfer console for Linux.
//
//   ftconsole [--ipx] [--port N] [--timeout MS] [--key-file FILE] [-c "cmd; cmd"] HOST
//   ftconsole keygen FILE
//
// Connects to the file transfer slave on HOST (TCP port 1764, or with --ipx
// the IPX endpoint carried over UDP, port 16449), checks that it is a slave
// (the existence request, which also keeps it from closing after 20
// seconds), then runs commands from -c or, line by line, from standard
// input. `ftconsole --help` and the command `help` list the commands.
//
// With --key-file the console runs keyed sessions with the site key in
// FILE (a slave with a site key answers nothing else); `keygen FILE` makes
// a new key file.
//
// LINKCORE_PORT_OFFSET in the environment shifts every port as it does for
// the slave (libs/linkcore/WIRE.md).
//
// Exit status: 0 when every command succeeded, 1 when one failed, 2 for a
// usage error or when the slave could not be reached.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "libs/linkcore/client.h"
#include "libs/linkcore/internal.h"
#include "tools/ftconsole/client_link.h"
#include "tools/ftconsole/console_commands.h"
#include "tools/ftconsole/console_key.h"
#include "tools/ftconsole/console_text.h"
#include "tools/ftconsole/ftclient.h"
#include "tools/ftconsole/remote_files.h"

namespace {

using namespace qv;

constexpr int kDefaultTcpPort = 1764;
constexpr uint32_t kSlaveIpxSocket = 0x0041;  // IPX socket 0x4100 with its bytes swapped
// IPX endpoints live on UDP ports 0x4000 + (socket & 0x3FFF).
constexpr int kIpxUdpFirst = 0x4000;
constexpr int kIpxUdpLast = 0x7FFF;
constexpr int kMaxTimeoutMs = 600000;


const ftc::CommandHelp kCommands[] = {
    {"drives", "", 0, 0, "the slave's drives", "drives"},
    {"ls", "[DIR|PATTERN]", 0, 1, "directories, then files (default: the current directory)", "ls \"C:\\Program Files\""},
    {"get", "REMOTE [LOCAL]", 1, 2, "download a file, keeping its time stamp", "get C:\\CONFIG.SYS config.sys"},
    {"put", "LOCAL [REMOTE]", 1, 2, "upload a file, keeping its time stamp", "put notes.txt C:\\TEMP\\NOTES.TXT"},
    {"putnew", "LOCAL [REMOTE]", 1, 2, "upload only when REMOTE does not exist yet", "putnew notes.txt C:\\NOTES.TXT"},
    {"mkdir", "DIR", 1, 1, "create one directory", "mkdir C:\\TEMP\\NEW"},
    {"rm", "FILE", 1, 1, "delete a file (never a directory)", "rm C:\\TEMP\\OLD.TXT"},
    {"pwd", "", 0, 0, "the slave's current directory", "pwd"},
    {"size", "FILE", 1, 1, "the size of a file in bytes", "size C:\\CONFIG.SYS"},
    {"verify", "DIR", 1, 1, "does the directory exist", "verify D:\\"},
    {"drive", "X:", 1, 1, "is the drive ready (has a removable drive a medium)", "drive A:"},
    {"help", "", 0, 0, "this list", "help"},
    {"quit", "", 0, 0, "end the slave and the console", "quit"},
    {"exit", "", 0, 0, "leave the console; the slave keeps running", "exit"},
};

void PrintCommands(std::ostream& out) {
    ftc::PrintCommands(out, "Commands (quote paths with blanks: ls \"D:\\Program Files\"):", kCommands, 24);
}

void PrintHelp() {
    std::cout << "usage: ftconsole [--ipx] [--port N] [--timeout MS] [--key-file FILE] [-c \"cmd; cmd\"] HOST\n"
                 "       ftconsole keygen FILE\n"
                 "\n"
                 "Connects to the file transfer slave on HOST and runs the commands given\n"
                 "with -c (separated by ';') or read from standard input.\n"
                 "\n"
                 "  --ipx         use the IPX form, carried over UDP (default port 16449)\n"
                 "  --port N      the slave's TCP port (default 1764), or with --ipx its\n"
                 "                UDP port (16384 to 32767)\n"
                 "  --timeout MS  wait for each reply and for the connection (default 2000)\n"
                 "  --key-file FILE  the site key: needed when the slave has one (its\n"
                 "                sessions are then keyed and encrypted)\n"
                 "  -c SCRIPT     run these commands instead of reading standard input\n"
                 "  --help        this text\n"
                 "\n"
                 "Example: ftconsole -c \"ls C:\\; get C:\\CONFIG.SYS\" 127.0.0.1\n"
                 "\n"
                 "keygen FILE writes a new site key to FILE (readable by its owner only;\n"
                 "never over an existing file).\n"
                 "\n";
    PrintCommands(std::cout);
    std::cout << "\nExit status: 0 all commands succeeded, 1 a command failed, 2 usage error\n"
                 "or the slave not reached.\n";
}

bool Report(const std::string& what, const ftc::Result& r) {
    if (r.ok) return true;
    if (r.no_reply)
        std::cerr << what << ": no reply from the slave; it is busy with another console or not answering\n";
    else if (!r.error.empty())
        std::cerr << what << ": " << r.error << "\n";
    else
        std::cerr << what << ": " << ftc::SystemErrorText(r.status) << " (status " << r.status << ")\n";
    return false;
}

std::string BaseName(const std::string& p) {
    std::size_t s = p.find_last_of("\\/:");
    return s == std::string::npos ? p : p.substr(s + 1);
}

// Draws the progress bar on standard error when it is a terminal.
class Bar {
public:
    explicit Bar(const std::string& name) : name_(name), on_(isatty(2)) {}
    void operator()(uint64_t done, uint64_t total) {
        if (!on_ || !throttle_.Due(done, total)) return;
        std::fprintf(stderr, "\r%s", ftc::ProgressLine(name_, done, total).c_str());
        drawn_ = true;
    }
    ~Bar() {
        if (drawn_) std::fprintf(stderr, "\n");
    }

private:
    std::string name_;
    bool on_;
    bool drawn_ = false;
    ftc::ProgressThrottle throttle_;
};

// Ctrl-C during a transfer stops it (and its partial file is removed)
// instead of ending the console on the spot.
volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

class InterruptScope {
public:
    InterruptScope() {
        g_interrupted = 0;
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_);
    }
    ~InterruptScope() { sigaction(SIGINT, &old_, nullptr); }

private:
    struct sigaction old_ {};
};

// Does directory dir exist on the slave? False when that could not be asked.
bool DirectoryExists(ftc::FtClient& c, const std::string& dir, const std::string& what, bool* exists) {
    return Report(what, ftc::DirectoryExists(c, dir, exists));
}

bool List(ftc::FtClient& c, const std::string& arg) {
    std::string dir = arg;
    if (dir.empty() && !Report("ls", c.CurrentDirectory(&dir))) return false;
    const std::string what = "ls " + dir;
    std::vector<std::string> dirs, files;
    ftc::ListProblem problem;
    if (!Report(what, ftc::ListDirectory(c, dir, &dirs, &files, &problem))) return false;
    // The current directory is listed as it is, even when the slave says
    // no more than an empty listing.
    if (!arg.empty() && problem != ftc::ListProblem::kNone) {
        if (problem == ftc::ListProblem::kIsAFile)
            std::cerr << what << ": " << dir << " is a file, not a directory\n";
        else
            std::cerr << what << ": no such " << (problem == ftc::ListProblem::kNoSuchDrive ? "drive" : "directory")
                      << "\n";
        return false;
    }
    for (const auto& d : dirs) std::cout << ftc::Printable(d) << "\n";
    for (const auto& f : files) std::cout << ftc::Printable(f) << "\n";
    return true;
}

bool Get(ftc::FtClient& c, const std::string& remote, std::string local) {
    const std::string what = "get " + remote;
    if (local.empty()) local = BaseName(remote);
    struct stat st {};
    if (!local.empty() && stat(local.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) local += "/" + BaseName(remote);
    if (local.empty() || local.back() == '/') {
        std::cerr << what << ": name the local file: get REMOTE LOCAL\n";
        return false;
    }
    // The download goes to a hidden file beside the target, which takes its
    // name only when the whole file arrived: a failed download leaves no
    // partial file and an older file of that name untouched.
    const std::size_t slash = local.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : local.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? local : local.substr(slash + 1);
    std::string temp = dir + (dir.back() == '/' ? "" : "/") + "." + base + ".ftpart-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        std::cerr << what << ": cannot write in " << dir << ": " << std::strerror(errno) << "\n";
        return false;
    }
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    int write_errno = 0;
    uint16_t date = 0, time = 0;
    uint64_t got = 0;
    ftc::Result r;
    {
        InterruptScope interrupt;
        Bar bar(BaseName(remote));
        r = c.Download(
            remote,
            [&](const uint8_t* d, std::size_t n) {
                if (g_interrupted) return false;
                while (n > 0) {
                    ssize_t w = write(fd, d, n);
                    if (w < 0 && errno == EINTR && !g_interrupted) continue;
                    if (w <= 0) {
                        write_errno = w < 0 ? errno : EIO;
                        return false;
                    }
                    d += w;
                    n -= static_cast<std::size_t>(w);
                    got += static_cast<uint64_t>(w);
                }
                return true;
            },
            &date, &time, [&](uint64_t done, uint64_t total) { bar(done, total); });
        if (g_interrupted && r.ok) r = ftc::Result{false, 0, "interrupted", false};
        if (g_interrupted && !r.ok) r.error = "interrupted", r.no_reply = false;
    }
    if (close(fd) != 0 && r.ok) write_errno = errno, r.ok = false;
    if (!r.ok) {
        unlink(temp.c_str());
        if (write_errno) {
            std::cerr << what << ": cannot write " << local << ": " << std::strerror(write_errno) << "\n";
            return false;
        }
        return Report(what, r);
    }
    if (ft::ValidDos(date, time)) {
        time_t t = ftc::DosToTime(date, time);
        struct timespec ts[2] = {{t, 0}, {t, 0}};
        utimensat(AT_FDCWD, temp.c_str(), ts, 0);
    } else {
        std::cerr << what << ": the slave sent no valid file date (date " << date << ", time " << time
                  << "); the file keeps the time of the download\n";
    }
    if (rename(temp.c_str(), local.c_str()) != 0) {
        std::cerr << what << ": cannot write " << local << ": " << std::strerror(errno) << "\n";
        unlink(temp.c_str());
        return false;
    }
    std::cout << "got " << remote << " (" << got << " bytes)\n";
    return true;
}

bool Put(ftc::FtClient& c, const std::string& local, std::string remote, bool only_new) {
    if (remote.empty()) remote = BaseName(local);
    const std::string what = "put " + local;
    const int fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::cerr << what << ": " << std::strerror(errno) << "\n";
        if (fd >= 0) close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        std::cerr << what << ": " << (S_ISDIR(st.st_mode) ? "is a directory" : "is not a regular file")
                  << "; only files can be uploaded\n";
        close(fd);
        return false;
    }
    uint16_t date, time;
    ftc::TimeToDos(st.st_mtime, &date, &time);
    int read_errno = 0;
    ftc::Result r;
    {
        Bar bar(BaseName(local));
        r = c.Upload(
            remote,
            [&](uint8_t* buf, std::size_t cap) -> long {
                std::size_t have = 0;
                while (have < cap) {
                    ssize_t n = read(fd, buf + have, cap - have);
                    if (n < 0 && errno == EINTR) continue;
                    if (n < 0) {
                        read_errno = errno;
                        return -1;
                    }
                    if (n == 0) break;
                    have += static_cast<std::size_t>(n);
                }
                return static_cast<long>(have);
            },
            static_cast<uint64_t>(st.st_size), date, time, only_new,
            [&](uint64_t done, uint64_t total) { bar(done, total); });
    }
    close(fd);
    if (read_errno) {
        std::cerr << what << ": cannot read it: " << std::strerror(read_errno) << "; " << remote
                  << " on the slave is incomplete\n";
        return false;
    }
    if (!Report("put " + remote, r)) return false;
    std::cout << "put " << remote << " (" << st.st_size << " bytes)\n";
    return true;
}

bool Remove(ftc::FtClient& c, const std::string& path) {
    const std::string what = "rm " + path;
    if (!ftc::HasWildcard(path)) {
        bool is_dir = false;
        if (!DirectoryExists(c, path, what, &is_dir)) return false;
        if (is_dir) {
            std::cerr << what << ": is a directory; not removed (rm deletes files only)\n";
            return false;
        }
    }
    if (!Report(what, c.Delete(path))) return false;
    // An older slave answers 0 even when the delete failed: check.
    uint32_t size;
    if (c.Size(path, &size).ok) {
        std::cerr << what << ": the file could not be deleted\n";
        return false;
    }
    return true;
}

// Runs one command; false when it failed. *stop on quit/exit.
bool RunCommand(ftc::FtClient& c, const std::vector<std::string>& w, bool* stop) {
    const std::string& cmd = w[0];
    if (!ftc::CheckCommand(kCommands, w, std::cerr)) return false;
    auto arg = [&](std::size_t i) { return i < w.size() ? w[i] : std::string(); };
    if (cmd == "help") {
        PrintCommands(std::cout);
        return true;
    }
    if (cmd == "drives") {
        std::vector<int> d;
        if (!Report("drives", c.Drives(&d))) return false;
        std::string line;
        for (int x : d) {
            if (!line.empty()) line += ' ';
            line += x >= 0 && x < 26 ? std::string(1, static_cast<char>('A' + x)) + ":" : "?" + std::to_string(x);
        }
        std::cout << line << "\n";
        return true;
    }
    if (cmd == "ls") return List(c, arg(1));
    if (cmd == "get") return Get(c, w[1], arg(2));
    if (cmd == "put" || cmd == "putnew") return Put(c, w[1], arg(2), cmd == "putnew");
    if (cmd == "mkdir") return Report("mkdir " + w[1], c.MakeDirectory(w[1]));
    if (cmd == "rm") return Remove(c, w[1]);
    if (cmd == "pwd") {
        std::string d;
        if (!Report("pwd", c.CurrentDirectory(&d))) return false;
        std::cout << ftc::Printable(d) << "\n";
        return true;
    }
    if (cmd == "size") {
        uint32_t size = 0;
        if (!Report("size " + w[1], c.Size(w[1], &size))) return false;
        std::cout << size << "\n";
        return true;
    }
    if (cmd == "verify") {
        bool exists = false;
        if (!DirectoryExists(c, w[1], "verify " + w[1], &exists)) return false;
        std::cout << w[1] << (exists ? " exists\n" : " does not exist\n");
        return exists;
    }
    if (cmd == "drive") {
        ftc::Result r = c.VerifyDrive(w[1]);
        if (r.error.empty()) {
            std::cout << w[1] << (r.status == 0 ? " ready\n" : " has no medium\n");
            return r.status == 0;
        }
        return Report("drive", r);
    }
    if (cmd == "quit") {
        *stop = true;
        return Report("quit", c.Terminate());
    }
    *stop = true;  // exit
    return true;
}

int Usage(const std::string& problem) {
    std::cerr << "ftconsole: " << problem << "\n"
              << "usage: ftconsole [--ipx] [--port N] [--timeout MS] [--key-file FILE] [-c \"cmd; cmd\"] HOST\n"
              << "       ftconsole keygen FILE\n"
              << "see ftconsole --help for the options and commands\n";
    return 2;
}

// A whole decimal number from lo to hi.
bool Number(const char* text, int lo, int hi, int* out) {
    long v = 0;
    if (!ftc::Number(text, lo, hi, &v)) return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool ipx = false;
    int port = 0;  // 0: the slave's own
    int timeout = 2000;
    std::string script, host, key_file;
    bool have_script = false;
    if (argc >= 2 && std::string(argv[1]) == "keygen") {
        if (argc != 3) return Usage("keygen needs one file name");
        return ftc::RunKeygen("ftconsole", argv[2], std::cout, std::cerr);
    }
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return 0;
        } else if (a == "--ipx") {
            ipx = true;
        } else if (a == "--port") {
            if (!has_value || !Number(argv[++i], 1, 65535, &port))
                return Usage("--port needs a port number from 1 to 65535");
        } else if (a == "--timeout") {
            if (!has_value || !Number(argv[++i], 1, kMaxTimeoutMs, &timeout))
                return Usage("--timeout needs milliseconds from 1 to " + std::to_string(kMaxTimeoutMs));
        } else if (a == "--key-file") {
            if (!has_value) return Usage("--key-file needs the key file");
            key_file = argv[++i];
        } else if (a == "-c") {
            if (!has_value) return Usage("-c needs the commands to run");
            script = argv[++i];
            have_script = true;
        } else if (!a.empty() && a[0] != '-' && host.empty()) {
            host = a;
        } else {
            return Usage(a.empty() || a[0] == '-' ? "unknown option " + a : "more than one host: " + a);
        }
    }
    if (host.empty()) return Usage("no host given");
    if (ipx && port && (port < kIpxUdpFirst || port > kIpxUdpLast))
        return Usage("with --ipx, --port is a UDP port from " + std::to_string(kIpxUdpFirst) + " to " +
                     std::to_string(kIpxUdpLast));

    std::string err;
    if (!key_file.empty() && !ftc::UseKeyFile(key_file, &err)) {
        std::cerr << "ftconsole: " << err << "\n";
        return 2;
    }
    std::unique_ptr<link::Client> client;
    const int given = port ? port : ipx ? kIpxUdpFirst + static_cast<int>(kSlaveIpxSocket) : kDefaultTcpPort;
    uint16_t real = 0;
    const std::string at = host + ":" + (link::OffsetPort(static_cast<uint32_t>(given), &real)
                                             ? std::to_string(real)
                                             : std::to_string(given));
    if (ipx)
        client = link::Client::OpenIpx(host, static_cast<uint32_t>(given - kIpxUdpFirst), &err);
    else
        client = link::Client::ConnectTcp(host, static_cast<uint16_t>(given), timeout, &err);
    if (!client) {
        if (err.rfind("connect failed", 0) == 0)
            err = ftc::ConnectErrorText(link::net::LastError(), host, real, timeout);
        else if (err.find("out of range") != std::string::npos)
            err = "port " + std::to_string(given) + " plus LINKCORE_PORT_OFFSET is out of range";
        std::cerr << "ftconsole: " << err << "\n";
        return 2;
    }
    ftc::ClientLink link(*client);
    ftc::FtClient c(link, timeout);
    ftc::Result hello = c.Existence();
    if (!hello.ok) {
        // A slave with a site key closes a connection whose first packet
        // does not prove the key.
        if (hello.error.find("connection to the slave broke") != std::string::npos)
            std::cerr << "ftconsole: the slave at " << at << " closed the connection without a reply; "
                      << ftc::NoAnswerHint(!key_file.empty()) << "\n";
        else if (hello.no_reply)
            std::cerr << "ftconsole: no reply from the slave at " << at << (ipx ? " (UDP)" : "") << "; "
                      << ftc::NoAnswerHint(!key_file.empty()) << "\n";
        else
            Report("ftconsole: " + at, hello);
        return 2;
    }

    bool all_ok = true, stop = false;
    auto run = [&](const std::string& line) {
        if (!ftc::RunLine(line, std::cerr, [&](const auto& w) { return RunCommand(c, w, &stop); })) all_ok = false;
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
            if (tty) std::cout << "ft> " << std::flush;
            if (!std::getline(std::cin, line)) break;
            run(line);
        }
    }
    if (c.resends() > 0) std::cerr << "ftconsole: " << c.resends() << " request(s) sent again after a time-out\n";
    return all_ok ? 0 : 1;
}
