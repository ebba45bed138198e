// The remote control agent as a service of the test prefix, for the
// end-to-end tests that need one running: its files copied to C:\rchost,
// the run's port offset put into the prefix's system environment (a service
// does not inherit the environment of the command that starts it), installed
// and started with its own install.cmd, and removed again.
#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/wine_run.h"

namespace qv::e2e {

// The test window colorwin.exe: where the tests place it and its eight
// stripes of 20 pixels, left to right, as red, green, blue.
constexpr int kColorWinX = 200, kColorWinY = 150;
constexpr int kColorWinStripes[8][3] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255},     {255, 255, 0},
                                        {255, 0, 255}, {0, 255, 255}, {255, 255, 255}, {0, 0, 0}};

extern const char* const kAgentService;    // the service's name
extern const char* const kAgentInstallDir;  // C:\rchost

// Runs a Windows program of the prefix (with this run's X display, if any);
// its output with Unix line ends.
RunResult WineTool(const std::string& program, const std::vector<std::string>& args);
// reg.exe of the prefix.
RunResult Reg(const std::vector<std::string>& args);

// An offset under which the agent's TCP ports, the slave's and the IPX
// form's UDP port are free; 0 when none is found.
uint32_t TakeAgentPortOffset();
// Whether something listens on this TCP port within the time.
bool WaitBound(uint16_t port, std::chrono::milliseconds timeout);

// The state word of `sc query` ("RUNNING", "STOPPED", ...), "" when unknown.
std::string AgentServiceState();
// Polls until the state is `want`, recording every state seen on the way.
bool WaitAgentState(const std::string& want, std::set<std::string>* seen,
                    std::chrono::seconds timeout = std::chrono::seconds(20));

// Restarts the wineserver through the harness (so that the service manager
// reads the system environment again).
void RestartWineserver();

// Copies the agent's files into C:\rchost (removing an earlier install)
// and puts LINKCORE_PORT_OFFSET = offset into this process's and the
// prefix's system environment, then restarts the wineserver.
void PrepareAgent(uint32_t offset);
// Prepares the agent under a free port offset, installs it with
// install.cmd /INTERACTIVE TCPIP (on the window station whose screen the
// run's Xvfb shows) and waits until it runs and its data endpoint listens.
// The offset, or 0 with *problem saying what failed.
uint32_t StartInteractiveAgent(std::string* problem);
// Uninstalls the service and takes the offset out of the system
// environment again.
void RemoveAgent();

// The agent's log file.
std::string AgentLog();

}  // namespace qv::e2e
