// rchost32.exe, the remote control agent: the state its Windows modules
// share, and the operations they offer one another.
//
// The service shell (service_win.cpp) starts the main thread, which owns
// every window (the hidden status dialog) and runs WinMainSetup; the network
// threads (endpoints_win.cpp), the local links (local_win.cpp: pipe,
// registry watch, consent prompt, remote execute, reboot) and the logs
// (log_win.cpp) run beside it. Other threads never touch the windows
// directly: they post messages to the dialog, so a thread the main thread
// waits for at shutdown can never be stuck waiting for the main thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "agent/agent_events.h"
#include "agent/options.h"
#include "agent/security.h"
#include "agent/send_path.h"
#include "agent/verify.h"
#include "contracts/transport.h"

namespace qv::agent {

constexpr DWORD kThreadStopWaitMs = 10000;   // per thread at shutdown
constexpr DWORD kTerminateCheckMs = 50;      // "is the terminate event set?" after a receive failure
constexpr std::size_t kCommandLineMax = 256;
constexpr std::size_t kCaptionMax = 64;
constexpr std::size_t kViewerNameMax = 61;   // 60 bytes from the start-viewing command and a zero

// Private messages of the status dialog.
constexpr UINT kMsgNewDesktop = 1039;        // wParam: the new input desktop
constexpr UINT kMsgResetSecurity = 1040;
constexpr UINT kMsgSetStatus = WM_APP + 1;   // wParam: 0 idle, 1 being accessed, 2 session active

// String-table texts.
constexpr UINT kIdsCaption = 1001;
constexpr UINT kIdsBeingAccessed = 1003;
constexpr UINT kIdsSessionActive = 1004;
constexpr UINT kIdsBeingViewedBy = 1009;
constexpr UINT kIdsLastViewedBy = 1010;
constexpr UINT kIdsBadParameter = 1101;

// The agent's one instance of global state.
struct Agent {
    HINSTANCE instance = nullptr;
    HINSTANCE texts = nullptr;          // language library or the program itself
    std::atomic<bool> running_as_service{false};
    std::atomic<int> protocol{kProtocolIpx};
    std::atomic<bool> desktop_switch_pending{false};
    HDESK new_desktop = nullptr;
    std::atomic<bool> settings_changed{false};
    ViewState view;                     // readyToSend, bConnectionAlive, paused, shutting down
    std::atomic<int> status{0};
    char viewer_name[kViewerNameMax] = {};
    char last_viewer_name[kViewerNameMax] = {};
    bool never_viewed = true;
    char caption[kCaptionMax] = "Remote Control Agent";
    CRITICAL_SECTION viewing_lock;      // starting and stopping of viewing

    // Permission and signal flags and the last result, shared by
    // VerifyThread, the pipe and the prompt thread.
    Security security;
    std::string client_ini;             // QVCLIENT.INI, empty when no place was found
    bool fix16_colour_bitmaps = false;  // RCHOST.INI [Misc] Fix16ColorBitmaps

    // Windows (main thread only).
    HWND dialog = nullptr;
    HWND repaint = nullptr;
    HICON icons[3] = {};

    // Named and unnamed kernel objects.
    HANDLE terminate_event = nullptr;
    HANDLE viewing_terminated_event = nullptr;
    HANDLE data_ready_event = nullptr;
    HANDLE zero_bufferpos_event = nullptr;
    HANDLE queue_mutex = nullptr;
    HANDLE send_slot_event = nullptr;

    // Threads; the handles are owned here and closed at cleanup.
    HANDLE verify_thread = nullptr;
    HANDLE send_thread = nullptr;
    HANDLE viewee_thread = nullptr;
    HANDLE changes_thread = nullptr;
    HANDLE pipe_thread = nullptr;
    HANDLE parm_thread = nullptr;

    // Transport endpoints (0 when closed).
    std::atomic<LinkHandle> verify_endpoint{0};
    std::atomic<LinkHandle> data_endpoint{0};
};

extern Agent g_agent;

// --- logs (log_win.cpp) ---
// A debug line: formatted into 256 bytes, a newline appended, sent to the
// debugger output, standard output and the log file beside the program.
void Log(const char* format, ...);
// Opens the log file "rchost32.log" in `dir` (capped, one rollover).
void OpenLogFile(const std::string& dir);
void CloseLogFile();

// Debug lines and audit events of the portable core (AgentEvents) and the
// service messages of the shell go through this one interface, so the logic
// can be checked against a recording fake.
class AgentLog : public AgentEvents {
public:
    // An information message in the application log (source "Rchost32").
    virtual void ServiceMessage(const char* text) = 0;
};
AgentLog& Events();
// The call every event goes through: ::ReportEventA. Wine's event log keeps
// nothing, so its tests put a recorder here.
using ReportEventFn = BOOL(WINAPI*)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID);
extern ReportEventFn g_report_event;
// Registers the audit event source with its message file (first set-up).
void RegisterAuditSource(const std::string& program_dir);

// --- service shell (service_win.cpp) ---
void SetStatus(int status);   // any thread: posted to the dialog
// Ends the main thread's message loop (WM_CLOSE to the dialog, or WM_QUIT
// to the thread when there is no dialog).
void CloseMainWindow();
void ShowCheckOutBox(const char* text);  // any thread; never blocks the caller
std::string LoadTextOr(UINT id, const char* fallback);
void ShowBox(const char* text, UINT flags);  // blocking box with the agent's caption

// --- windows of the main thread (status_win.cpp) ---
// The status dialog (template 15, hidden while the status is 0) and the
// "rchost repaint" window, made on the main thread's desktop.
void CreateWindows();
void DestroyWindows();
void DrainMessages();   // drops the thread's queued messages
// The thread's desktop, behind an interface: Wine has no desktop switches.
class ThreadDesktop {
public:
    virtual ~ThreadDesktop() = default;
    virtual void Set(HDESK desktop) = 0;   // SetThreadDesktop
};
ThreadDesktop& ThreadDesktopOfWindows();
// After message 1039 ended the message loop: the windows are made again on
// the new desktop and the status set to 1; the agent's threads go on.
void NewDesktopPass(ThreadDesktop& desktop);

// --- endpoints and viewing (endpoints_win.cpp) ---
// Opens the endpoints; `first` also opens the verify endpoint, creates the
// send-slot event and starts VieweeThread. -1 when an endpoint failed.
int OpenEndpoints(bool first);
bool StartVerifyThread();
// "&Terminate viewer": three disconnect packets to a connected viewer.
void DropViewer();
void ResstablishListen();
// IsSessionActive on the data endpoint.
bool ViewerActive();

// --- local links (local_win.cpp) ---
void ReadSecuritySettings();
void LocateClientIni();
void ReadAgentIni();
bool StartPipeThread();
bool StartParmThread();
// Reads "CommandLine" into buffer (kCommandLineMax bytes, zeroed); false when absent.
bool ReadCommandLine(char* buffer);
// What the verify endpoint needs of the platform: system information,
// "Check out!" boxes, the consent prompt and program starts.
VerifyHost& Host();
// Closes the last started program's handle and the prompt thread's.
void ReleasePrograms();

// The reboot, behind an interface: a real one ends every process.
class SystemReboot {
public:
    virtual ~SystemReboot() = default;
    // Enables the shutdown privilege and restarts the machine (forced).
    virtual void Reboot() = 0;
};
SystemReboot& Rebooter();
// What the Windows reboot does (reboot_win.cpp): enables the shutdown
// privilege, then calls exit_windows (::ExitWindowsEx) with reboot and force.
using ExitWindowsFn = BOOL(WINAPI*)(UINT, DWORD);
void RestartMachine(ExitWindowsFn exit_windows);

}  // namespace qv::agent
