// Wine test of the reboot: the shutdown privilege is really enabled before
// the restart is asked for, which a recorder stands in for (a real one ends
// every process of the prefix).
#include <gtest/gtest.h>

#include <windows.h>

#include "agent/agent_win.h"

namespace {

bool ShutdownPrivilegeEnabled() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    PRIVILEGE_SET set{};
    set.PrivilegeCount = 1;
    BOOL enabled = FALSE;
    const bool ok = ::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &set.Privilege[0].Luid) &&
                    ::PrivilegeCheck(token, &set, &enabled);
    ::CloseHandle(token);
    return ok && enabled;
}

void SetShutdownPrivilege(DWORD attributes) {
    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = attributes;
    ASSERT_TRUE(::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &tp.Privileges[0].Luid));
    ASSERT_TRUE(::AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    ::CloseHandle(token);
}

int g_calls = 0;
UINT g_flags = 0;
bool g_enabled_at_call = false;
BOOL WINAPI RecordExit(UINT flags, DWORD) {
    ++g_calls;
    g_flags = flags;
    g_enabled_at_call = ShutdownPrivilegeEnabled();
    return TRUE;
}

TEST(AgentReboot, EnablesTheShutdownPrivilegeThenAsksForAForcedReboot) {
    SetShutdownPrivilege(0);
    ASSERT_FALSE(ShutdownPrivilegeEnabled());
    qv::agent::RestartMachine(RecordExit);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(g_flags, 6u);  // EWX_REBOOT | EWX_FORCE
    EXPECT_TRUE(g_enabled_at_call);
}

}  // namespace
