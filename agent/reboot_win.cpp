// The machine's restart: the shutdown privilege enabled in the process
// token, then a forced reboot.
#include <windows.h>

#include "agent/agent_win.h"

namespace qv::agent {

void RestartMachine(ExitWindowsFn exit_windows) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, &token)) {
        Log("OpenProcessToken failed");
        return;
    }
    TOKEN_PRIVILEGES tp{};
    if (!::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &tp.Privileges[0].Luid)) {
        Log("LookupPrivilegeValue failed");
        ::CloseHandle(token);
        return;
    }
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ::AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
    ::CloseHandle(token);
    exit_windows(EWX_REBOOT | EWX_FORCE, 0);
}

}  // namespace qv::agent
