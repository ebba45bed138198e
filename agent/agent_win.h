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

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/agent_events.h"
#include "agent/data_endpoint.h"
#include "agent/input_core.h"
#include "agent/options.h"
#include "agent/screen_codec.h"
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

// What the changes thread needs of the endpoints: the colour bits the
// viewer asked for, and freeing the send slots when it ends.
unsigned ViewerColourBits();
void FreeAllSendSlots();

// --- screen capture (screen_win.cpp) ---
// The display as analysed once at start-up.
struct DisplayInfo {
    int width = 0, height = 0;
    unsigned planes = 1, bits_per_pixel = 8;
    uint32_t palette_size = 0;         // SIZEPALETTE, 0 without a palette
    uint32_t display_colours = 0;      // palette size, or 2^(planes x bits) up to 2^24; 16 for a 16-colour display
    bool palette_device = false;       // RC_PALETTE
    std::array<PaletteEntry, 256> agent_palette{};
    std::array<RgbQuad, 16> viewer16{};  // the viewer's 16-colour table
};
extern DisplayInfo g_display;
// Reads the display's properties through dc (the status dialog's; the
// screen's when null) and runs the 16-colour probe.
void AnalyseDisplay(HWND dialog);
bool DisplayHas16Colours();

// The changes thread's palettised copy of the screen (one per thread).
struct CaptureContext {
    HDC screen = nullptr;               // GetDC(nullptr), released at free
    HDC memory = nullptr;
    HBITMAP section = nullptr;
    HGDIOBJ old_bitmap = nullptr;
    std::vector<uint8_t> info;          // bitmap header and colour table
    std::vector<uint8_t> previous;      // what the viewer has
    CaptureFrame frame;
    unsigned colours = 0;
    bool palette_managed = false;
    std::array<PALETTEENTRY, 256> saved_palette{};
};
// Null when the section or the memory device context cannot be made.
CaptureContext* CreateCaptureContext(unsigned viewer_colour_bits);
void FreeCaptureContext(CaptureContext* ctx);
// Copies rect (null: the whole screen, after normalising and widening)
// from the screen and sends its changed rows (SendChanges' results).
int SendScreenRect(CaptureContext* ctx, const ScreenRect* rect, RecordQueue& queue, StopCheck& stop);
// Record 172 (0 queued, 2 no context, 7 refused).
int QueueCaptureColourTable(const CaptureContext* ctx, RecordQueue& queue);
// When palette-managed and the system palette changed: record 121. True when queued.
bool CheckPalette(CaptureContext& ctx, RecordQueue& queue);
// readyToSend = SEND_GDI, then the palette, 16-colour and display records.
void SendGdiRecords(RecordQueue& queue, unsigned viewer_colour_bits);
// The capture's width and height for scaling mouse commands; 0 without a capture.
void CaptureExtent(uint32_t* width, uint32_t* height);

// The screen records go to screenq; the stop check is "viewing terminated
// or terminate signalled".
RecordQueue& ScreenRecords();
StopCheck& ViewingStop();

// --- the changes threads (screen_win.cpp) ---
// Set by DesktopChangeThread when the input desktop switched; cleared by
// GetCorrectDesktop.
extern std::atomic<uint32_t> g_desktop_changed;
void ActivateChangesThread();
DWORD WINAPI DesktopChangeThread(LPVOID desktop_changed_flag);
// Attaches the calling thread to the input desktop when it is new; 1 when
// the thread moved to another desktop.
int GetCorrectDesktop();
// The desktop the changes thread is attached to, and its name.
HDESK CurrentDesktop();
const char* CurrentDesktopName();
void ForgetCurrentDesktop();   // closes it (end of a changes thread)
// The display-change library, used only before Windows NT 4. Seams, so a
// test can stand in for the version and the library.
struct ScrwatchCalls {
    DWORD (*windows_major)();
    HMODULE (*load)(const char* name);
    FARPROC (*find)(HMODULE module, const char* name);
    void (*release)(HMODULE module);
};
extern ScrwatchCalls g_scrwatch;

// --- input (input_win.cpp) ---
// The viewer's key, mouse and secure attention commands.
InputSink& AgentInput();
// The keyboard relay device: opened on a desktop other than "Default".
bool OpenKeyRelay();
void CloseKeyRelay();
bool KeyRelayOpen();
// One pass of cursor tracking (record 113 to queue).
void TrackCursor(RecordQueue& queue);
// The relay device's system calls, so a test can record them (Wine has no
// such device).
struct RelayCalls {
    HANDLE (*open)();                                        // INVALID_HANDLE_VALUE when absent
    BOOL (*control)(HANDLE device, const uint8_t* input, DWORD size);
    void (*close)(HANDLE device);
};
extern RelayCalls g_relay;

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
