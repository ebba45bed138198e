// Wine test of the status dialog under the visible signal: texts, titles and
// show states follow the status, message 1040 shows its "Check out!" box,
// and message 1039 ends the loop for a pass that makes the windows again on
// the new desktop (a recording desktop: Wine has no desktop switches).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "agent/agent_win.h"

namespace qv::agent {
Agent g_agent;
// The button's targets live in the endpoints module.
void DropViewer() {}
void ResstablishListen() {}
}  // namespace qv::agent

namespace {

using qv::agent::g_agent;

void Pump() {
    MSG m;
    while (::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&m);
}

std::string Text(HWND w) {
    char buf[128] = {};
    ::GetWindowTextA(w, buf, sizeof buf);
    return buf;
}

struct Desktop : qv::agent::ThreadDesktop {
    std::vector<HDESK> set;
    void Set(HDESK d) override { set.push_back(d); }
};

TEST(AgentStatusDialog, FollowsTheStatusAndItsMessages) {
    g_agent.instance = g_agent.texts = ::GetModuleHandleA(nullptr);
    g_agent.running_as_service = true;
    g_agent.security.signals = qv::rc::kSignalVisible;
    std::strcpy(g_agent.viewer_name, "alice");
    qv::agent::CreateWindows();
    ASSERT_NE(g_agent.dialog, nullptr);

    struct Case {
        int status;
        const char* title;
        const char* label;
        bool button, visible;
    };
    const Case cases[] = {
        {1, "Being Accessed...", "Being Viewed By", true, true},
        {2, "Session Active...", "Being Viewed By", true, true},
        {0, "Remote Control Agent", "Last Viewed By", false, false},
    };
    for (const Case& c : cases) {
        qv::agent::SetStatus(c.status);
        Pump();
        HWND dlg = g_agent.dialog;
        EXPECT_EQ(Text(dlg), c.title) << c.status;
        EXPECT_EQ(Text(::GetDlgItem(dlg, 106)), c.label) << c.status;
        EXPECT_EQ(Text(::GetDlgItem(dlg, 107)), "alice") << c.status;
        EXPECT_EQ(::IsWindowEnabled(::GetDlgItem(dlg, 108)) != FALSE, c.button) << c.status;
        EXPECT_EQ(::IsWindowVisible(dlg) != FALSE, c.visible) << c.status;
    }

    // 1040: the "Check out!" box, shown without holding up the dialog.
    ::PostMessageA(g_agent.dialog, qv::agent::kMsgResetSecurity, 0, 0);
    HWND box = nullptr;
    for (int i = 0; i < 250 && !box; ++i) {
        Pump();
        box = ::FindWindowA(nullptr, "Check out!");
        if (!box) ::Sleep(20);
    }
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(Text(::GetDlgItem(box, 0xFFFF)), "WM_RESET_SECURITY posted");
    ::PostMessageA(box, WM_COMMAND, IDOK, 0);

    // 1039: the loop ends with the new desktop kept; the pass makes the
    // windows again there with status 1 and leaves the threads alone.
    const HANDLE send_thread = reinterpret_cast<HANDLE>(0x4321);
    g_agent.send_thread = send_thread;
    const HDESK fresh = reinterpret_cast<HDESK>(0x5678);
    ::PostMessageA(g_agent.dialog, qv::agent::kMsgNewDesktop, reinterpret_cast<WPARAM>(fresh), 0);
    MSG m;
    while (::GetMessageA(&m, nullptr, 0, 0) > 0) ::DispatchMessageA(&m);
    EXPECT_TRUE(g_agent.desktop_switch_pending);
    const HWND old = g_agent.dialog;
    Desktop desktop;
    qv::agent::NewDesktopPass(desktop);
    Pump();
    EXPECT_EQ(desktop.set, (std::vector<HDESK>{fresh}));
    EXPECT_FALSE(::IsWindow(old));
    ASSERT_NE(g_agent.dialog, nullptr);
    EXPECT_FALSE(g_agent.desktop_switch_pending);
    EXPECT_EQ(g_agent.status.load(), 1);
    EXPECT_EQ(Text(g_agent.dialog), "Being Accessed...");
    EXPECT_EQ(g_agent.send_thread, send_thread);
    g_agent.send_thread = nullptr;
    qv::agent::DestroyWindows();
}

}  // namespace
