#include "tests/pgserver/pg_server.h"

#include "tests/loopback_port.h"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace qv::pgtest {

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;     // Debian's "nobody" and "nogroup"
constexpr int kStartAttempts = 3;    // ports may be taken between asking and binding

std::string FindBinaries() {
    if (const char* env = std::getenv("QV_PG_BIN"); env && *env) return env;
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/usr/lib/postgresql", ec))
        if (fs::exists(e.path() / "bin" / "initdb")) found.push_back((e.path() / "bin").string());
    // The newest version: folders are version numbers.
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
        return std::atoi(fs::path(a).parent_path().filename().c_str()) <
               std::atoi(fs::path(b).parent_path().filename().c_str());
    });
    return found.empty() ? std::string() : found.back();
}

int FreeTcpPort() { return testing_support::FreeLoopbackPort(SOCK_STREAM); }

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

PostgresServer::PostgresServer(bool durable) : durable_(durable) {
    bin_ = FindBinaries();
    if (bin_.empty()) {
        error_ = "PostgreSQL server binaries not found (install postgresql, or set QV_PG_BIN)";
        return;
    }
    char tmpl[] = "/tmp/qv-pg-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        error_ = "cannot make a temporary folder";
        return;
    }
    dir_ = tmpl;
    as_nobody_ = ::geteuid() == 0;
    if (as_nobody_ && ::chown(dir_.c_str(), kNobody, kNobody) != 0) {
        error_ = "cannot hand " + dir_ + " to nobody";
        return;
    }
    if (!Run("initdb", {"-D", dir_ + "/data", "-U", "inv", "--auth=trust", "-E", "SQL_ASCII", "--locale=C",
                        "--no-sync"})) {
        error_ = "initdb failed: " + ReadText(dir_ + "/command.log");
        return;
    }
    ok_ = Start();
}

PostgresServer::~PostgresServer() {
    if (running_) Stop();
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

bool PostgresServer::Run(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (as_nobody_) {
        argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(kNobody), "--regid=" + std::to_string(kNobody),
                "--clear-groups", "--"};
    }
    argv.push_back(bin_ + "/" + program);
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string log = dir_ + "/command.log";
    pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, 0);
        ::chdir(dir_.c_str());
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool PostgresServer::Start() {
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        if (port_ == 0 || attempt > 0) port_ = FreeTcpPort();
        std::string options = "-p " + std::to_string(port_) + " -k " + dir_ +
                              " -c listen_addresses=127.0.0.1 -c max_connections=300";
        if (!durable_) options += " -c fsync=off -c synchronous_commit=off -c full_page_writes=off";
        if (Run("pg_ctl", {"-D", dir_ + "/data", "-l", dir_ + "/server.log", "-o", options, "-w", "-t", "60",
                           "start"})) {
            running_ = true;
            return true;
        }
        error_ = "pg_ctl start failed: " + ReadText(dir_ + "/command.log") + Log();
        // A failed start can leave a half-started server behind.
        Run("pg_ctl", {"-D", dir_ + "/data", "-m", "immediate", "-w", "stop"});
    }
    return false;
}

bool PostgresServer::Stop() {
    if (!running_) return true;
    running_ = !Run("pg_ctl", {"-D", dir_ + "/data", "-m", "fast", "-w", "-t", "60", "stop"});
    return !running_;
}

bool PostgresServer::CreateDatabase(const std::string& name, const std::string& encoding) {
    std::vector<std::string> args = {"-h", "127.0.0.1", "-p", std::to_string(port_), "-U", "inv"};
    if (!encoding.empty()) args.insert(args.end(), {"-E", encoding, "-T", "template0", "--locale=C"});
    args.push_back(name);
    return Run("createdb", args);
}

std::string PostgresServer::Uri(const std::string& database) const {
    return "postgresql://inv@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string PostgresServer::Log() const { return ReadText(dir_ + "/server.log"); }

}  // namespace qv::pgtest
