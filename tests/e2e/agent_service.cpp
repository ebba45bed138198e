#include "tests/e2e/agent_service.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "agent/rc_wire.h"
#include "contracts/transport.h"

namespace qv::e2e {

const char* const kAgentService = "Brekon RCHOST Agent";
const char* const kAgentInstallDir = "C:\\rchost";

namespace {
const char* const kEnvKey = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment";
}

RunResult WineTool(const std::string& program, const std::vector<std::string>& args) {
    RunOptions o;
    o.timeout_ms = 60000;
    if (const char* d = std::getenv("DISPLAY")) o.env.push_back(std::string("DISPLAY=") + d);
    RunResult r = RunWine(program, args, o);
    std::erase(r.out, '\r');
    return r;
}

RunResult Reg(const std::vector<std::string>& args) { return WineTool("C:\\windows\\system32\\reg.exe", args); }

uint32_t TakeAgentPortOffset() {
    uint32_t off = 20000 + static_cast<uint32_t>(getpid() % 500) * 20;
    for (int tries = 0; tries < 500; ++tries, off = off + 20 > 30000 ? 20000 : off + 20) {
        if (PortFree(SOCK_STREAM, static_cast<uint16_t>(rc::kVerifyTcpPort + off)) &&
            PortFree(SOCK_STREAM, static_cast<uint16_t>(rc::kDataTcpPort + off)) &&
            PortFree(SOCK_STREAM, static_cast<uint16_t>(1764 + off)) &&
            PortFree(SOCK_DGRAM, static_cast<uint16_t>(LinkIpxSocketToUdpPort(rc::kVerifyIpxSocket) + off)))
            return off;
    }
    return 0;
}

bool WaitBound(uint16_t port, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        if (!PortFree(SOCK_STREAM, port)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

uint32_t StartInteractiveAgent(std::string* problem) {
    const uint32_t offset = TakeAgentPortOffset();
    if (offset == 0) {
        *problem = "no free port offset for the agent";
        return 0;
    }
    PrepareAgent(offset);
    const RunResult r = WineTool("C:\\windows\\system32\\cmd.exe",
                                 {"/c", std::string(kAgentInstallDir) + "\\install.cmd", "/INTERACTIVE", "TCPIP"});
    if (r.exit_code != 0) {
        *problem = "install.cmd failed: " + r.out + r.err;
        return 0;
    }
    if (!WaitAgentState("RUNNING", nullptr)) {
        *problem = "the service did not start: " + AgentLog();
        return 0;
    }
    if (!WaitBound(static_cast<uint16_t>(rc::kDataTcpPort + offset), std::chrono::seconds(10))) {
        *problem = "the data endpoint does not listen: " + AgentLog();
        return 0;
    }
    return offset;
}

std::string AgentServiceState() {
    const RunResult r = WineTool("C:\\windows\\system32\\sc.exe", {"query", kAgentService});
    const std::size_t at = r.out.find("STATE");
    if (at == std::string::npos) return "";
    const std::size_t b = r.out.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ", r.out.find(':', at));
    const std::size_t e = r.out.find_first_of(" \r\n", b);
    return b == std::string::npos ? "" : r.out.substr(b, e - b);
}

bool WaitAgentState(const std::string& want, std::set<std::string>* seen, std::chrono::seconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        const std::string s = AgentServiceState();
        if (seen && !s.empty()) seen->insert(s);
        if (s == want) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void RestartWineserver() {
    if (const char* harness = std::getenv("QV_HARNESS")) Run({harness, "up"});
}

void PrepareAgent(uint32_t offset) {
    // A run that failed half-way may have left the service behind.
    WineTool("C:\\windows\\system32\\cmd.exe", {"/c", "P:\\uninstall.cmd"});
    setenv("LINKCORE_PORT_OFFSET", std::to_string(offset).c_str(), 1);
    const std::string dir = DriveDir('C') + "/rchost";
    RemoveTree(dir);
    MakeDirs(dir);
    const std::string bin = std::getenv("QV_WIN32_BIN") ? std::getenv("QV_WIN32_BIN") : "";
    for (const char* f : {"rchost32.exe", "linkcore.dll", "xlat32.dll", "install.cmd", "uninstall.cmd", "KSLAVE.exe",
                          "rchostmsg.dll"}) {
        if (FileExists(bin + "/" + f)) WriteFile(dir + "/" + f, ReadFile(bin + "/" + f));
    }
    Reg({"add", kEnvKey, "/v", "LINKCORE_PORT_OFFSET", "/d", std::to_string(offset), "/f"});
    RestartWineserver();
}

void RemoveAgent() {
    WineTool("C:\\windows\\system32\\cmd.exe", {"/c", std::string(kAgentInstallDir) + "\\uninstall.cmd"});
    Reg({"delete", kEnvKey, "/v", "LINKCORE_PORT_OFFSET", "/f"});
    RestartWineserver();
}

std::string AgentLog() { return ReadFile(DriveDir('C') + "/rchost/rchost32.log"); }

}  // namespace qv::e2e
