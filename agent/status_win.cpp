// rchost32's windows on the main thread: the hidden status dialog (its
// texts, titles and show states follow the status), the "rchost repaint"
// window, the "Check out!" boxes, and the pass that makes the windows again
// on a new input desktop.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>

#include "agent/agent_win.h"
#include "common/win/localize_win.h"

namespace qv::agent {

namespace {

constexpr int kIdDialog = 15;
constexpr int kIdVersion = 105;
constexpr int kIdStatusLabel = 106;
constexpr int kIdViewerName = 107;
constexpr int kIdTerminateViewer = 108;
constexpr int kIdStatusIcon = 109;

// --- the status dialog ---

void RefreshTexts() {
    HWND dlg = g_agent.dialog;
    if (!dlg) return;
    const int status = g_agent.status;
    if (status != 0) {
        std::memcpy(g_agent.last_viewer_name, g_agent.viewer_name, sizeof g_agent.viewer_name);
        g_agent.never_viewed = false;
        ::EnableWindow(::GetDlgItem(dlg, kIdStatusLabel), TRUE);
        ::EnableWindow(::GetDlgItem(dlg, kIdTerminateViewer), TRUE);
        ::SetDlgItemTextA(dlg, kIdStatusLabel, LoadTextOr(kIdsBeingViewedBy, "Being Viewed By").c_str());
        ::SetDlgItemTextA(dlg, kIdViewerName, g_agent.viewer_name);
    } else {
        ::EnableWindow(::GetDlgItem(dlg, kIdTerminateViewer), FALSE);
        if (g_agent.never_viewed) {
            ::SetDlgItemTextA(dlg, kIdStatusLabel, LoadTextOr(kIdsBeingViewedBy, "Being Viewed By").c_str());
            ::SetDlgItemTextA(dlg, kIdViewerName, "");
        } else {
            ::EnableWindow(::GetDlgItem(dlg, kIdStatusLabel), TRUE);
            ::SetDlgItemTextA(dlg, kIdStatusLabel, LoadTextOr(kIdsLastViewedBy, "Last Viewed By").c_str());
            ::SetDlgItemTextA(dlg, kIdViewerName, g_agent.last_viewer_name);
        }
    }
    ::SendDlgItemMessageA(dlg, kIdStatusIcon, STM_SETICON,
                          reinterpret_cast<WPARAM>(g_agent.icons[status >= 0 && status <= 2 ? status : 0]), 0);
}

// Show-state changes are made with the dialog disabled around the call.
void ShowDialog(int show) {
    HWND dlg = g_agent.dialog;
    ::EnableWindow(dlg, FALSE);
    ::ShowWindow(dlg, show);
    ::EnableWindow(dlg, TRUE);
}

void ApplyStatus(int status) {
    g_agent.status = status;
    if (!(g_agent.security.signals & rc::kSignalVisible) || !g_agent.dialog) return;
    RefreshTexts();
    if (status == 1) {
        ::SetWindowTextA(g_agent.dialog, LoadTextOr(kIdsBeingAccessed, "Being Accessed...").c_str());
        ShowDialog(SW_SHOWMINNOACTIVE);
    } else if (status == 2) {
        ::SetWindowTextA(g_agent.dialog, LoadTextOr(kIdsSessionActive, "Session Active...").c_str());
    } else {
        ::SetWindowTextA(g_agent.dialog, g_agent.caption);
        ShowDialog(SW_HIDE);
    }
}

// "Check out!" boxes: shown by a thread of their own, one at a time, so
// that no console request can stop the thread that sent it.
std::atomic<bool> g_check_out_open{false};

DWORD WINAPI CheckOutBoxThread(LPVOID text) {
    ::MessageBoxA(nullptr, static_cast<const char*>(text), "Check out!",
                  MB_OK | MB_ICONHAND);
    g_check_out_open = false;
    return 0;
}

INT_PTR CALLBACK DialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG:
        g_agent.dialog = dlg;
        ::SetDlgItemTextA(dlg, kIdViewerName, g_agent.viewer_name);
        ::EnableWindow(::GetDlgItem(dlg, kIdTerminateViewer), g_agent.view.connectionAlive ? TRUE : FALSE);
        ::SendDlgItemMessageA(dlg, kIdViewerName, WM_SETFONT,
                              reinterpret_cast<WPARAM>(::GetStockObject(ANSI_VAR_FONT)), FALSE);
        if (g_agent.security.signals & rc::kSignalVisible) {
            RECT rc;
            ::GetWindowRect(dlg, &rc);
            const int w = rc.right - rc.left, h = rc.bottom - rc.top;
            ::SetWindowPos(dlg, nullptr, (::GetSystemMetrics(SM_CXSCREEN) - w) / 2,
                           (::GetSystemMetrics(SM_CYSCREEN) - h) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
            ::ShowWindow(dlg, SW_MINIMIZE);
        }
        return TRUE;
    case WM_PAINT:
        if (::IsIconic(dlg)) {
            PAINTSTRUCT ps;
            HDC dc = ::BeginPaint(dlg, &ps);
            const int s = g_agent.status;
            ::DrawIcon(dc, 0, 0, g_agent.icons[s >= 0 && s <= 2 ? s : 0]);
            ::EndPaint(dlg, &ps);
            return TRUE;
        }
        RefreshTexts();
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wp) == kIdTerminateViewer) {
            DropViewer();
            Log("Calling ResstablishListen()");
            ResstablishListen();
            return TRUE;
        }
        return FALSE;
    case WM_INITMENU: {
        HMENU menu = reinterpret_cast<HMENU>(wp);
        ::EnableMenuItem(menu, SC_SIZE, MF_BYCOMMAND | MF_GRAYED);
        ::EnableMenuItem(menu, SC_MAXIMIZE, MF_BYCOMMAND | MF_GRAYED);
        if (g_agent.running_as_service) ::EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
        return TRUE;
    }
    case WM_QUERYENDSESSION:
        ::SetWindowLongPtrA(dlg, DWLP_MSGRESULT, 1);
        return TRUE;
    case WM_QUERYDRAGICON: {
        const int s = g_agent.status;
        return reinterpret_cast<INT_PTR>(g_agent.icons[s >= 0 && s <= 2 ? s : 0]);
    }
    case WM_CLOSE:
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return TRUE;
    case kMsgNewDesktop:
        g_agent.new_desktop = reinterpret_cast<HDESK>(wp);
        g_agent.desktop_switch_pending = true;
        ::PostMessageA(dlg, WM_CLOSE, 0, 0);
        return TRUE;
    case kMsgResetSecurity:
        Log("Resetting security");
        ShowCheckOutBox("WM_RESET_SECURITY posted");
        return TRUE;
    case kMsgSetStatus:
        ApplyStatus(static_cast<int>(wp));
        return TRUE;
    default:
        (void)lp;
        return FALSE;
    }
}

LRESULT CALLBACK RepaintProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        ::BeginPaint(wnd, &ps);
        ::EndPaint(wnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    default:
        return ::DefWindowProcA(wnd, msg, wp, lp);
    }
}

}  // namespace

void CreateWindows() {
    WNDCLASSA wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = ::DefDlgProcA;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = g_agent.instance;
    wc.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = g_agent.caption;
    ::RegisterClassA(&wc);
    for (int i = 0; i < 3; ++i) g_agent.icons[i] = ::LoadIconA(g_agent.instance, MAKEINTRESOURCEA(10 + i));
    HWND dlg = ::CreateDialogParamA(g_agent.texts, MAKEINTRESOURCEA(kIdDialog), nullptr, DialogProc, 0);
    if (!dlg && g_agent.texts != g_agent.instance)
        dlg = ::CreateDialogParamA(g_agent.instance, MAKEINTRESOURCEA(kIdDialog), nullptr, DialogProc, 0);
    if (!dlg) Log("Unable to create main dialog: %d", static_cast<int>(::GetLastError()));
    g_agent.dialog = dlg;

    WNDCLASSA rc{};
    rc.lpfnWndProc = RepaintProc;
    rc.hInstance = g_agent.instance;
    rc.hCursor = ::LoadCursorA(nullptr, IDC_WAIT);
    rc.lpszClassName = "rchost repaint";
    ::RegisterClassA(&rc);
    g_agent.repaint = ::CreateWindowExA(0, "rchost repaint", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                        g_agent.instance, nullptr);
    if (dlg && g_agent.running_as_service) ::ShowWindow(dlg, SW_HIDE);
}

void DestroyWindows() {
    if (g_agent.dialog) ::DestroyWindow(g_agent.dialog);
    if (g_agent.repaint) ::DestroyWindow(g_agent.repaint);
    g_agent.dialog = nullptr;
    g_agent.repaint = nullptr;
}

void DrainMessages() {
    MSG m;
    while (::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
}

void NewDesktopPass(ThreadDesktop& desktop) {
    DestroyWindows();
    ::UnregisterClassA(g_agent.caption, g_agent.instance);
    DrainMessages();
    if (g_agent.new_desktop) desktop.Set(g_agent.new_desktop);
    CreateWindows();
    SetStatus(1);
    g_agent.desktop_switch_pending = false;
}

ThreadDesktop& ThreadDesktopOfWindows() {
    struct Windows final : ThreadDesktop {
        void Set(HDESK desktop) override { ::SetThreadDesktop(desktop); }
    };
    static Windows desktop;
    return desktop;
}

std::string LoadTextOr(UINT id, const char* fallback) {
    std::string s;
    if (g_agent.texts && win::LoadText(g_agent.texts, id, &s)) return s;
    if (g_agent.instance && g_agent.texts != g_agent.instance && win::LoadText(g_agent.instance, id, &s)) return s;
    return fallback;
}

void ShowBox(const char* text, UINT flags) {
    ::MessageBoxA(nullptr, text, g_agent.caption, flags);
}

void SetStatus(int status) {
    if (g_agent.dialog) ::PostMessageA(g_agent.dialog, kMsgSetStatus, static_cast<WPARAM>(status), 0);
    else g_agent.status = status;
}

void ShowCheckOutBox(const char* text) {
    bool expected = false;
    if (!g_check_out_open.compare_exchange_strong(expected, true)) return;  // one at a time
    HANDLE t = ::CreateThread(nullptr, 0, CheckOutBoxThread, const_cast<char*>(text), 0, nullptr);
    if (t) ::CloseHandle(t);
    else g_check_out_open = false;
}

}  // namespace qv::agent
