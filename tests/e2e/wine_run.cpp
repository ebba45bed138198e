#include "tests/e2e/wine_run.h"

#include "tests/loopback_port.h"
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace qv::e2e {
namespace fs = std::filesystem;

namespace {

long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v && *v) ? v : fallback;
}

std::string WineDir() {
    return EnvOr("QV_WINE_DIR", "build/wine");
}

// The loader of the build the tests run: wine64 for the x86_64 build on a
// machine without 32-bit support, the 32-bit loader otherwise.
std::string WineBinary() {
    if (EnvOr("QV_WINE_ARCH", "win32") == "win64") {
        for (const char* p : {"/usr/bin/wine64", "/usr/lib/wine/wine64"})
            if (access(p, X_OK) == 0) return p;
        return "wine64";
    }
    for (const char* p : {"/usr/bin/wine", "/usr/lib/wine/wine"})
        if (access(p, X_OK) == 0) return p;
    return "wine";
}

std::vector<std::string> WineEnv() {
    return {"WINEPREFIX=" + WineDir() + "/prefix", "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=",
            "HOME=" + EnvOr("HOME", "/root"), "USER=" + EnvOr("USER", "root"), "PATH=/usr/bin:/bin",
            "LANG=C.UTF-8", "TZ=" + EnvOr("TZ", "UTC")};
}

}  // namespace

Process::~Process() {
    if (pid_ > 0 && !reaped_) Stop();
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
}

void Process::Pump(int wait_ms) {
    pollfd fds[2];
    int n = 0;
    if (out_fd_ >= 0) fds[n++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0) fds[n++] = {err_fd_, POLLIN, 0};
    if (n == 0) {
        if (wait_ms > 0) usleep(wait_ms * 1000);
        return;
    }
    if (poll(fds, n, wait_ms) <= 0) return;
    for (int i = 0; i < n; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[8192];
        ssize_t got = read(fds[i].fd, buf, sizeof buf);
        bool is_out = fds[i].fd == out_fd_;
        if (got > 0) {
            (is_out ? out_ : err_).append(buf, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            close(fds[i].fd);
            (is_out ? out_fd_ : err_fd_) = -1;
        }
    }
}

bool Process::Running() {
    if (reaped_) return false;
    Pump(0);
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) reaped_ = true;
    return !reaped_;
}

RunResult Process::Wait(int timeout_ms) {
    RunResult res;
    long long deadline = NowMs() + timeout_ms;
    while (!reaped_) {
        Pump(50);
        if (waitpid(pid_, &status_, WNOHANG) == pid_) {
            reaped_ = true;
            break;
        }
        if (NowMs() > deadline) {
            res.timed_out = true;
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
            reaped_ = true;
        }
    }
    // Collect what is still in the pipes (children of the program may hold
    // them open; give them a moment, not forever).
    long long drain_until = NowMs() + 2000;
    while ((out_fd_ >= 0 || err_fd_ >= 0) && NowMs() < drain_until) Pump(50);
    res.exit_code = WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    res.out = out_;
    res.err = CleanWineNoise(err_);
    return res;
}

RunResult Process::Stop() {
    if (!reaped_) {
        kill(-pid_, SIGTERM);
        kill(pid_, SIGTERM);
        RunResult r = Wait(3000);
        return r;
    }
    return Wait(0);
}

std::unique_ptr<Process> Spawn(const std::vector<std::string>& argv, const RunOptions& options) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) return nullptr;
    std::vector<std::string> env_store;
    for (char** e = environ; options.inherit_env && *e; ++e) {
        if (std::strncmp(*e, "DISPLAY=", 8) == 0) continue;
        env_store.emplace_back(*e);
    }
    for (const std::string& e : options.env) env_store.push_back(e);
    std::vector<char*> envp, args;
    for (std::string& e : env_store) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (std::string& a : argv_copy) args.push_back(a.data());
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) return nullptr;
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        environ = envp.data();
        execvp(args[0], args.data());
        _exit(127);
    }
    setpgid(pid, pid);
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    // Small inputs fit the pipe buffer; the program reads them at its pace.
    const char* p = options.stdin_data.data();
    size_t left = options.stdin_data.size();
    signal(SIGPIPE, SIG_IGN);
    while (left > 0) {
        ssize_t w = write(in_pipe[1], p, left);
        if (w <= 0) break;
        p += w;
        left -= static_cast<size_t>(w);
    }
    close(in_pipe[1]);
    std::unique_ptr<Process> proc(new Process());
    proc->pid_ = pid;
    proc->out_fd_ = out_pipe[0];
    proc->err_fd_ = err_pipe[0];
    return proc;
}

RunResult Run(const std::vector<std::string>& argv, const RunOptions& options) {
    auto p = Spawn(argv, options);
    if (!p) return {};
    return p->Wait(options.timeout_ms);
}

std::unique_ptr<Process> StartWine(const std::string& program, const std::vector<std::string>& args,
                                   const RunOptions& options) {
    std::vector<std::string> argv = {WineBinary(), program};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o = options;
    std::vector<std::string> env = WineEnv();
    env.insert(env.end(), options.env.begin(), options.env.end());
    o.env = env;
    o.inherit_env = false;
    return Spawn(argv, o);
}

RunResult RunWine(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
    auto p = StartWine(program, args, options);
    if (!p) return {};
    return p->Wait(options.timeout_ms);
}

std::string DriveDir(char letter) {
    char l = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    std::string prefix = WineDir() + "/prefix";
    if (l == 'c') return prefix + "/drive_c";
    std::error_code ec;
    fs::path target = fs::read_symlink(prefix + "/dosdevices/" + std::string(1, l) + ":", ec);
    if (ec) return {};
    return target.string();
}

std::string HostBinDir() {
    return EnvOr("QV_HOST_BIN", ".");
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        usleep(50 * 1000);
    }
    return true;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WriteFile(const std::string& path, const std::string& data) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

void MakeDirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
}

bool PortFree(int type, uint16_t port) {
    int fd = ::socket(AF_INET, type, 0);
    if (fd < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

int FreeUdpPort() { return testing_support::FreeLoopbackPort(SOCK_DGRAM); }

std::string CleanWineNoise(const std::string& err) {
    std::istringstream in(err);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.find("Read access denied for device") != std::string::npos) continue;
        if (line.find("wine: configuration in") != std::string::npos) continue;
        out += line;
        out += '\n';
    }
    return out;
}

}  // namespace qv::e2e
