// Running programs for the end-to-end tests.
//
// The end-to-end tests are native programs that start the real Windows
// programs under Wine (in the prefix the harness brought up, see
// tests/harness/wine.sh) and native peers such as the inventory server, feed
// them standard input, collect standard output and error through pipes (so
// Wine's console never rewrites the bytes), and enforce a time limit so a
// hung program fails its test instead of the whole run.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qv::e2e {

struct RunOptions {
    std::string stdin_data;            // written to the program's standard input, then closed
    int timeout_ms = 120000;           // killed (with its process group) after this
    std::vector<std::string> env;      // extra "NAME=value" entries
    bool inherit_env = true;           // start from this process's environment
};

struct RunResult {
    int exit_code = -1;                // 0-255 as the process ended; -1 when killed by a signal
    std::string out;                   // standard output, byte for byte
    std::string err;                   // standard error, Wine's own noise removed
    bool timed_out = false;
};

// A program running in the background.
class Process {
public:
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    // Waits for the end (killing it after timeout_ms) and collects its output.
    RunResult Wait(int timeout_ms);
    // Ends it at once (SIGTERM, then SIGKILL) and collects its output.
    RunResult Stop();
    pid_t pid() const { return pid_; }
    bool Running();

private:
    friend std::unique_ptr<Process> Spawn(const std::vector<std::string>&, const RunOptions&);
    Process() = default;
    void Pump(int wait_ms);
    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    std::string out_, err_;
};

// Starts argv[0] (searched on PATH) with the given arguments.
std::unique_ptr<Process> Spawn(const std::vector<std::string>& argv, const RunOptions& options = {});
// Runs a native program to its end.
RunResult Run(const std::vector<std::string>& argv, const RunOptions& options = {});

// Starts a Windows program of the prefix, named by its DOS path (for example
// "P:\\qviscnnt.exe"), with the harness's Wine environment. Wine hands the
// Unix environment to Windows programs, so only a small fixed environment is
// passed (plus options.env): what the programs see does not depend on the
// machine the tests run on.
std::unique_ptr<Process> StartWine(const std::string& program, const std::vector<std::string>& args,
                                   const RunOptions& options = {});
RunResult RunWine(const std::string& program, const std::vector<std::string>& args,
                  const RunOptions& options = {});

// The unix folder behind a drive letter of the test prefix ('C' is drive_c).
std::string DriveDir(char letter);
// A folder of the build tree holding native tools (QV_HOST_BIN), for peers.
std::string HostBinDir();

// Polls done every 50 ms until it holds or the time is up; whether it held.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& data);
bool FileExists(const std::string& path);
void RemoveTree(const std::string& path);
void MakeDirs(const std::string& path);

// A loopback UDP port that nobody uses at the moment (for servers the tests start).
int FreeUdpPort();
// Whether a port of this socket type (SOCK_STREAM, SOCK_DGRAM) can be bound
// on every address at the moment.
bool PortFree(int type, uint16_t port);

// Removes the lines Wine prints on standard error even with WINEDEBUG=-all.
std::string CleanWineNoise(const std::string& err);

}  // namespace qv::e2e
