// rchost32.exe: the service shell, the main thread and its windows.
//
// The program always runs as the service "Brekon RCHOST Agent" in a process
// of its own. The service main routine reports its start-up checkpoints,
// reads the options from the registry value "CommandLine" and starts the
// main thread, which runs the agent in passes: set-up (WinMainSetup),
// message loop for the hidden status dialog, then a desktop switch (the
// windows are made again on the new desktop and the loop goes on), a
// restart after a settings change (everything is cleaned up and set up
// again), or the end. A stop request sets the stop event; the service main
// routine then marks the agent as shutting down and closes the dialog, which
// ends the message loop, and the main thread's final cleanup stops every
// thread in a fixed order.
//
// When the set-up fails, nothing serves the console, so the service reports
// STOPPED with an error exit code (and writes a service message) instead of
// RUNNING.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "agent/agent_win.h"
#include "agent/options.h"
#include "common/win/localize_win.h"

namespace qv::agent {

Agent g_agent;

namespace {

constexpr const char* kServiceName = "Brekon RCHOST Agent";
constexpr int kIdDialog = 15;
constexpr int kIdVersion = 105;
constexpr int kIdStatusLabel = 106;
constexpr int kIdViewerName = 107;
constexpr int kIdTerminateViewer = 108;
constexpr int kIdStatusIcon = 109;
constexpr DWORD kSetupFailedExitCode = 1;  // service-specific exit code: set-up failed

struct Service {
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    CRITICAL_SECTION status_lock;
    HANDLE stop_event = nullptr;
    HANDLE setup_done_event = nullptr;
    HANDLE main_thread = nullptr;
    std::atomic<DWORD> checkpoint{0};
    std::atomic<bool> setup_failed{false};
    std::atomic<DWORD> main_thread_id{0};
    char command_text[kCommandLineMax + 1] = {};
} g_service;

bool Report(DWORD state, DWORD checkpoint, DWORD wait_hint, DWORD exit_code = NO_ERROR, DWORD specific = 0) {
    if (!g_service.handle) return false;
    ::EnterCriticalSection(&g_service.status_lock);
    SERVICE_STATUS& s = g_service.status;
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    s.dwWin32ExitCode = exit_code;
    s.dwServiceSpecificExitCode = specific;
    s.dwCheckPoint = checkpoint;
    s.dwWaitHint = wait_hint;
    const BOOL ok = ::SetServiceStatus(g_service.handle, &s);
    ::LeaveCriticalSection(&g_service.status_lock);
    if (!ok && g_service.stop_event) ::SetEvent(g_service.stop_event);
    return ok != FALSE;
}

// Applies the options of a command text to the global state; a bad token
// gets the bad-parameter box and parsing goes on.
void ApplyCommandText(const char* text) {
    Protocol protocol = static_cast<Protocol>(g_agent.protocol.load());
    OptionResult r = ApplyCommandLine(text, &protocol);
    g_agent.protocol = protocol;
    for (const std::string& bad : r.bad) {
        const std::string format = LoadTextOr(kIdsBadParameter, "Bad command-line parameter %s\n");
        char text_out[kCommandLineMax + 128];
        std::snprintf(text_out, sizeof text_out, format.c_str(), bad.c_str());
        ShowBox(text_out, MB_OK);
    }
}

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

HANDLE MakeEvent(const char* name) {
    return ::CreateEventA(nullptr, TRUE, FALSE, name);
}

bool CreateNamedObjects() {
    if (!g_agent.terminate_event) g_agent.terminate_event = MakeEvent("RCHOST32 Terminate Event");
    if (!g_agent.viewing_terminated_event)
        g_agent.viewing_terminated_event = MakeEvent("RCHOST32 Viewing Terminated Event");
    if (!g_agent.data_ready_event) g_agent.data_ready_event = MakeEvent("RCHOST32 Data Ready Event");
    if (!g_agent.zero_bufferpos_event) g_agent.zero_bufferpos_event = MakeEvent("RCHOST32 Zero BufferPos Event");
    return g_agent.terminate_event && g_agent.viewing_terminated_event && g_agent.data_ready_event &&
           g_agent.zero_bufferpos_event;
}

// SeTcbPrivilege and the LocalSystem group in the process token, as the
// agent's first set-up asks; failures are logged and set-up goes on.
void AdjustToken() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_QUERY,
                            &token)) {
        Log("OpenProcessToken failed: %d", static_cast<int>(::GetLastError()));
        return;
    }
    TOKEN_PRIVILEGES tp{};
    if (!::LookupPrivilegeValueA(nullptr, "SeTcbPrivilege", &tp.Privileges[0].Luid)) {
        Log("LookupPrivilegeValue failed: %d", static_cast<int>(::GetLastError()));
    } else {
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!::AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr))
            Log("AdjustTokenPrivileges failed: %d", static_cast<int>(::GetLastError()));
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID system = nullptr;
    if (::AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system)) {
        TOKEN_GROUPS groups{};
        groups.GroupCount = 1;
        groups.Groups[0].Sid = system;
        groups.Groups[0].Attributes = SE_GROUP_ENABLED;
        ::AdjustTokenGroups(token, FALSE, &groups, 0, nullptr, nullptr);
        ::FreeSid(system);
    }
    ::CloseHandle(token);
}

std::string ProgramDir() {
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return ".";
    char* slash = std::strrchr(path, '\\');
    if (slash) *slash = 0;
    return path;
}

// Tells the service main routine that the set-up ended, and how; a failure
// is recorded first, so the service never reports RUNNING for it.
void SetupDone(bool ok) {
    if (!ok) g_service.setup_failed = true;
    if (g_service.setup_done_event) ::SetEvent(g_service.setup_done_event);
}

bool WinMainSetup(const char* text, bool first) {
    ::InitializeCriticalSection(&g_agent.viewing_lock);
    if (first) {
        const std::string dir = ProgramDir();
        ::SetCurrentDirectoryA(dir.c_str());
        OpenLogFile(dir);
        AdjustToken();
        RegisterAuditSource(dir);
        LocateClientIni();
        win::Localization loc =
            win::LocalizeStartup(g_agent.instance, "RCH32", "Rchost for Win32", win::Refuse32::yes);
        g_agent.texts = loc.language_library ? loc.texts : g_agent.instance;
        ReadSecuritySettings();
        ReadAgentIni();
        const std::string caption = LoadTextOr(kIdsCaption, "Remote Control Agent");
        std::snprintf(g_agent.caption, sizeof g_agent.caption, "%s", caption.c_str());
    }
    ApplyCommandText(text);
    // (Plain controls: no 3-D controls library is registered.)
    Log("Creating Main Windows");
    CreateWindows();
    if (!CreateNamedObjects()) {
        ShowBox("Unable to create an Event Semaphore.", MB_OK | MB_ICONEXCLAMATION);
        SetupDone(false);
        return false;
    }
    ::ResetEvent(g_agent.viewing_terminated_event);  // nothing is being viewed yet
    OpenEndpoints(true);
    bool ok = true;
    if (!g_agent.queue_mutex) g_agent.queue_mutex = ::CreateMutexA(nullptr, FALSE, "RCHOST32 Queueing Buffer Mutex");
    if (!g_agent.verify_endpoint) {
        ShowBox("Failed to initialize the network.", MB_OK);
        ok = false;
    } else if (!StartVerifyThread()) {
        ShowBox("Failed to create verify thread.", MB_OK);
        ok = false;
    } else if (!g_agent.viewee_thread) {
        ShowBox("Failed to create viewee thread.", MB_OK | MB_ICONEXCLAMATION);
        ok = false;
    } else {
        StartPipeThread();
        StartParmThread();
    }
    SetupDone(ok);
    return ok;
}

void WaitThread(HANDLE* thread, const char* timeout_line, bool with_error = false) {
    if (!*thread) return;
    if (::WaitForSingleObject(*thread, kThreadStopWaitMs) != WAIT_OBJECT_0) {
        if (with_error) Log(timeout_line, static_cast<int>(::GetLastError()));
        else Log("%s", timeout_line);
    }
    ::CloseHandle(*thread);
    *thread = nullptr;
}

void Cleanup(bool final_cleanup) {
    if (final_cleanup) Log("REALLY cleaning up!");
    else g_agent.view.shuttingDown = true;
    DropViewer();
    if (g_agent.terminate_event) ::SetEvent(g_agent.terminate_event);
    if (LinkHandle h = g_agent.verify_endpoint.exchange(0)) DeinitProtocol(h);
    if (LinkHandle h = g_agent.data_endpoint.exchange(0)) DeinitProtocol(h);
    Log("** Deinit Threads **");
    WaitThread(&g_agent.verify_thread, "Verify thread not responding to terminate request.");
    // The send thread's handle is also taken by a disconnect or a reconnect
    // on VieweeThread; the viewing lock keeps them from closing it twice.
    ::EnterCriticalSection(&g_agent.viewing_lock);
    WaitThread(&g_agent.send_thread, "Send thread not responding to terminate request.");
    ::LeaveCriticalSection(&g_agent.viewing_lock);
    WaitThread(&g_agent.viewee_thread, "Viewee thread not responding to terminate request.");
    WaitThread(&g_agent.changes_thread, "Changes thread not responding to terminate request: %d", true);
    WaitThread(&g_agent.pipe_thread, "Pipe thread not responding to terminate request.");
    WaitThread(&g_agent.parm_thread, "Parameters thread not responding to terminate request.");
    Log("** Threads gone**");
    if (final_cleanup) ReleasePrograms();
    if (final_cleanup && g_agent.texts && g_agent.texts != g_agent.instance) {
        ::FreeLibrary(g_agent.texts);
        g_agent.texts = g_agent.instance;
    }
    DestroyWindows();
    ::DeleteCriticalSection(&g_agent.viewing_lock);
}

void DrainMessages() {
    MSG m;
    while (::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// One agent run: set-up, then the message loop with its desktop switches;
// a restart sets up again in the same run. False when a set-up failed.
bool AgentRun(const char* text) {
    bool first = true;
    for (;;) {
        if (!WinMainSetup(text, first)) {
            Cleanup(true);
            return false;
        }
        first = false;
        for (;;) {
            MSG msg;
            while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
                if (g_agent.dialog && ::IsDialogMessageA(g_agent.dialog, &msg)) continue;
                ::TranslateMessage(&msg);
                ::DispatchMessageA(&msg);
            }
            if (g_agent.settings_changed) break;
            if (!g_agent.desktop_switch_pending && (!g_agent.running_as_service || g_agent.view.shuttingDown)) {
                Cleanup(true);
                return true;
            }
            // A desktop switch, or a quit nobody asked for: the windows again.
            DestroyWindows();
            ::UnregisterClassA(g_agent.caption, g_agent.instance);
            DrainMessages();
            if (g_agent.new_desktop) ::SetThreadDesktop(g_agent.new_desktop);
            CreateWindows();
            SetStatus(1);
            g_agent.desktop_switch_pending = false;
        }
        // Restart after a settings change.
        g_agent.view.connectionAlive = false;
        Cleanup(false);
        DrainMessages();
        ::ResetEvent(g_agent.terminate_event);
        g_agent.settings_changed = false;
        g_agent.view.shuttingDown = false;
        static char again[kCommandLineMax + 1];
        std::memset(again, 0, sizeof again);
        ReadCommandLine(again);
        g_agent.protocol = kProtocolIpx;
        Log("Doing WinMainSetup");
        text = again;
    }
}

DWORD WINAPI MainThread(LPVOID param) {
    g_service.main_thread_id = ::GetCurrentThreadId();
    const bool ok = AgentRun(static_cast<const char*>(param));
    if (!ok) {
        // A set-up failed (also one of a restart, after RUNNING was
        // reported): the service main routine ends the service with an error.
        SetupDone(false);
        if (g_service.stop_event) ::SetEvent(g_service.stop_event);
        return 1;
    }
    Report(SERVICE_STOPPED, 0, 0);
    return 0;
}

void WINAPI ControlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) {
        g_service.checkpoint = 1;
        Report(SERVICE_STOP_PENDING, 0, 3000);
        if (g_service.stop_event) ::SetEvent(g_service.stop_event);
        return;
    }
    ::EnterCriticalSection(&g_service.status_lock);
    const DWORD state = g_service.status.dwCurrentState;
    ::LeaveCriticalSection(&g_service.status_lock);
    if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) Report(SERVICE_RUNNING, 0, 0);
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_service.handle = ::RegisterServiceCtrlHandlerA(kServiceName, ControlHandler);
    bool failed = true;
    if (g_service.handle && Report(SERVICE_START_PENDING, 1, 3000) &&
        (g_service.stop_event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr)) != nullptr &&
        Report(SERVICE_START_PENDING, 2, 6000)) {
        g_service.setup_done_event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        char* buffer = g_service.command_text;
        std::memset(buffer, 0, sizeof g_service.command_text);
        if (ReadCommandLine(buffer)) {
            // The options take effect here; set-up applies them again (and
            // shows the bad-parameter boxes) from the joined tokens.
            Protocol protocol = static_cast<Protocol>(g_agent.protocol.load());
            const PreparedCommandLine prepared = PrepareCommandLine(buffer, &protocol);
            g_agent.protocol = protocol;
            std::snprintf(g_service.command_text, sizeof g_service.command_text, "%s", prepared.text.c_str());
        }
        DWORD id = 0;
        g_service.main_thread = ::CreateThread(nullptr, 0, MainThread, g_service.command_text, 0, &id);
        if (!g_service.main_thread) {
            ::SetEvent(g_service.stop_event);
        } else {
            ::WaitForSingleObject(g_service.setup_done_event, INFINITE);
            ::CloseHandle(g_service.setup_done_event);
            g_service.setup_done_event = nullptr;
            if (!g_service.setup_failed && Report(SERVICE_RUNNING, 0, 0)) {
                ::WaitForSingleObject(g_service.stop_event, INFINITE);
                failed = g_service.setup_failed;
            }
        }
    }
    if (failed) Events().ServiceMessage("Unable to load RCHOST");
    if (g_service.stop_event) ::CloseHandle(g_service.stop_event);
    g_service.stop_event = nullptr;
    Report(SERVICE_STOP_PENDING, g_service.checkpoint, 10000);
    g_agent.view.shuttingDown = true;
    CloseMainWindow();
    if (g_service.main_thread) {
        ::WaitForSingleObject(g_service.main_thread, kThreadStopWaitMs);
        ::CloseHandle(g_service.main_thread);
    }
    if (failed) Report(SERVICE_STOPPED, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, kSetupFailedExitCode);
    CloseLogFile();
}

}  // namespace

std::string LoadTextOr(UINT id, const char* fallback) {
    std::string s;
    if (g_agent.texts && win::LoadText(g_agent.texts, id, &s)) return s;
    if (g_agent.instance && g_agent.texts != g_agent.instance && win::LoadText(g_agent.instance, id, &s)) return s;
    return fallback;
}

void ShowBox(const char* text, UINT flags) {
    ::MessageBoxA(nullptr, text, g_agent.caption, flags);
}

void CloseMainWindow() {
    if (HWND dlg = g_agent.dialog) ::PostMessageA(dlg, WM_CLOSE, 0, 0);
    else if (const DWORD tid = g_service.main_thread_id) ::PostThreadMessageA(tid, WM_QUIT, 0, 0);
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

int main() {
    using namespace qv::agent;
    g_agent.instance = ::GetModuleHandleA(nullptr);
    g_agent.texts = g_agent.instance;
    ::InitializeCriticalSection(&g_service.status_lock);
    g_agent.running_as_service = true;
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), ServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherA(table)) {
        if (::GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            std::fputs("rchost32 runs only as the service \"Brekon RCHOST Agent\"; install it with install.cmd "
                       "(in the folder of rchost32.exe) and start it with: net start \"Brekon RCHOST Agent\"\n",
                       stderr);
        return 1;
    }
    return 0;
}
