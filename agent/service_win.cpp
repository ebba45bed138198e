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
    AnalyseDisplay(g_agent.dialog);
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
            NewDesktopPass(ThreadDesktopOfWindows());
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

void CloseMainWindow() {
    if (HWND dlg = g_agent.dialog) ::PostMessageA(dlg, WM_CLOSE, 0, 0);
    else if (const DWORD tid = g_service.main_thread_id) ::PostThreadMessageA(tid, WM_QUIT, 0, 0);
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
