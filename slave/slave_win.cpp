// KSLAVE.exe: the file transfer slave's window program.
//
// Two threads. The window thread owns a small modeless dialog, normally
// minimised, whose list box shows what the slave is doing, and whose icon
// animates while it works; it also runs the 20-second contact timer and the
// shutdown sequence. The protocol thread opens the transport endpoint, then
// receives one request at a time, hands it to FtSession (the portable
// protocol logic) and sends the reply just before the next receive. The two
// threads share no locks: the protocol thread reaches the window only through
// window messages, and the window thread ends a receive blocked on the
// protocol thread by closing the endpoint (DeinitProtocol), which the
// transport library turns into a failed receive.
//
// The protocol thread never waits for the window thread: a status line is
// written to standard output at once and queued for the list box, which
// the window thread fills from the queue on a 100 ms timer; the icon
// animation is posted. A cross-thread SendMessage per line (or even one
// posted message per line) costs every request several trips through the
// Wine server and a wait for the window thread to be scheduled, which is
// what bounds a stop-and-wait transfer. Only the last 15 queued lines can
// still be visible, so no more are kept.
//
// With a site key (found as the agent finds its own, see
// common/win/sitekey_win.h) the endpoint serves keyed sessions only; a key
// that is configured but cannot be used keeps the endpoint closed, with a
// status line and a message box saying why, rather than serving files on
// the unkeyed wire.
//
// The program ends when the console sends FT_TERMINATE, when a receive fails,
// when no console makes contact (FT_EXISTENCE) within 20 seconds, when the
// user closes the window, or when the user's session ends.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "common/win/handles.h"
#include "common/win/localize_win.h"
#include "common/win/sitekey_win.h"
#include "contracts/transport.h"
#include "slave/fs_win.h"
#include "slave/ft_session.h"
#include "slave/settings.h"
#include "slave/texts.h"

namespace qv::slave {
namespace {

constexpr int kIdList = 201;
constexpr int kIdGroup = 203;
constexpr UINT kCmdShutdown = 101;
constexpr UINT kMsgStart = WM_USER + 10;     // start the protocol thread
constexpr UINT kMsgContact = WM_USER + 11;   // the console made contact: stop timer 1
constexpr UINT kMsgAnimate = WM_USER + 13;   // repaint the animated icon
constexpr UINT_PTR kContactTimer = 1;
constexpr UINT_PTR kListTimer = 2;           // takes queued status lines into the list
constexpr UINT kListTimerMs = 100;
constexpr UINT kContactTimeoutMs = 20000;
constexpr int kMaxLines = 15;
constexpr uint32_t kTcpPort = 1764;
constexpr uint32_t kIpxSocketSwapped = 0x0041;  // IPX socket 0x4100, bytes swapped
constexpr DWORD kAnimationMs = 75;
constexpr DWORD kListeningAfterMs = 1000;
constexpr DWORD kThreadWaitMs = 10000;
constexpr int kTextMax = 128;

struct Slave {
    HINSTANCE instance = nullptr;
    HINSTANCE texts = nullptr;  // language library, or the program itself
    bool own_texts = true;
    Transport transport = kTransportNone;
    std::string name;           // blank-padded computer name
    std::string settings_path;  // QVCLIENT.INI, empty when no place was found
    uint8_t lana = 0;
    std::atomic<LinkHandle> endpoint{0};
    std::atomic<bool> terminate{false};
    bool shutdown_done = false;
    bool listening_shown = false;
    HICON icons[8] = {};
    std::atomic<HICON> current_icon{nullptr};
    int animation = 0;
    DWORD last_animation = 0;
    HANDLE thread = nullptr;
    HWND dialog = nullptr;
    HWND list = nullptr;
    int item_height = 0;
    int visible_lines = 0;
    DWORD window_thread = 0;
    std::mutex lines_mu;              // guards pending_lines
    std::deque<std::string> pending_lines;
} g;

std::string Text(int id) {
    std::string s;
    if (g.texts && win::LoadText(g.texts, static_cast<UINT>(id), &s)) return s;
    return DefaultTextFor(id);
}

// Status lines also go to standard output when the program has one (a
// console that started it, or a test), so the slave's work can be followed.
void Echo(const std::string& line) {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    std::string l = line + "\r\n";
    DWORD written = 0;
    ::WriteFile(out, l.data(), static_cast<DWORD>(l.size()), &written, nullptr);
}

// Appends a line to the status list (window thread): at most 15 lines
// stand, the newest scrolled into view.
void ListAppend(const std::string& text) {
    HWND list = g.list;
    if (!list || !::IsWindow(list)) return;
    ::SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    LRESULT count = ::SendMessageA(list, LB_GETCOUNT, 0, 0);
    if (count > kMaxLines - 1) {
        ::SendMessageA(list, LB_DELETESTRING, 0, 0);
        --count;
    }
    LRESULT index = ::SendMessageA(list, LB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text.c_str()));
    if (g.item_height == 0) {
        g.item_height = static_cast<int>(::SendMessageA(list, LB_GETITEMHEIGHT, 0, 0));
        RECT rc;
        ::GetClientRect(list, &rc);
        g.visible_lines = g.item_height > 0 ? (rc.bottom - rc.top) / g.item_height : 1;
    }
    if (count > g.visible_lines && index >= 0)
        ::SendMessageA(list, LB_SETTOPINDEX, static_cast<WPARAM>(index - g.visible_lines + 1), 0);
    ::SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(list, nullptr, FALSE);
}

// Takes the queued lines into the list (window thread, on timer 2).
void TakeQueuedLines() {
    std::deque<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(g.lines_mu);
        lines.swap(g.pending_lines);
    }
    for (const std::string& l : lines) ListAppend(l);
}

// Adds a status line from either thread.
void AddLine(const std::string& text) {
    Echo(text);
    if (::GetCurrentThreadId() == g.window_thread) {
        TakeQueuedLines();  // keep the order
        ListAppend(text);
        return;
    }
    std::lock_guard<std::mutex> lock(g.lines_mu);
    g.pending_lines.push_back(text);
    if (g.pending_lines.size() > static_cast<std::size_t>(kMaxLines)) g.pending_lines.pop_front();
}

// One step of the icon animation (protocol thread); the window thread
// repaints it.
void AnimationStep() {
    HICON icon = g.icons[g.animation];
    g.current_icon = icon;
    g.animation = g.animation == 7 ? 1 : g.animation + 1;
    ::PostMessageA(g.dialog, kMsgAnimate, 0, 0);
}

class WindowUi final : public SlaveUi {
public:
    std::string Text(int id) override { return slave::Text(id); }
    void AddLine(const std::string& line) override { slave::AddLine(line); }
};

// The receive step: send the pending reply, then wait for the next request.
// False when the slave is to stop.
bool ReceiveStep(FtSession& session, bool* reply_pending) {
    uint8_t out[ft::kReplyMax];
    if (*reply_pending) {
        AddLine(Text(kTextSendPacket));
        SendPacket(g.endpoint, out, static_cast<int>(session.EncodeReply(out)));
        *reply_pending = false;
    }
    const DWORD began = ::GetTickCount();
    AddLine(Text(kTextReceivePacket));
    uint8_t in[ft::kRequestMax];
    ::SetLastError(0);
    int n = RecvPacket(g.endpoint, in, sizeof in);
    if (n == 0 && ::GetLastError() != 0) g.terminate = true;
    if (g.terminate) {
        ::SendMessageA(g.dialog, WM_COMMAND, kCmdShutdown, 0);
        return false;
    }
    if (n > 0) session.Receive(in, static_cast<std::size_t>(n));
    // (0 with no error: the previous request is processed again)
    const DWORD now = ::GetTickCount();
    if (now != began && now - began > kListeningAfterMs && !g.listening_shown) {
        AddLine(Text(kTextListening));
        if (::IsIconic(g.dialog)) {
            g.animation = 0;
            AnimationStep();
        }
        g.listening_shown = true;
    }
    return true;
}

// linkcore's own lines (dropped packets and the like) on standard output.
void LinkLogLine(const char* line) { Echo(std::string("linkcore: ") + line); }

std::string ProgramDir() {
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return ".";
    if (char* slash = std::strrchr(path, '\\')) *slash = 0;
    return path;
}

// The site key, before the endpoint opens; false when one is configured
// but cannot be used (the user is told why).
bool SetUpSiteKey() {
    LinkSetLogFunction(LinkLogLine);
    sitekey::WinKeyFileAccess access;
    const sitekey::ProgramKey k = sitekey::FindProgramKey(g.settings_path, ProgramDir(), access);
    if (k.state == sitekey::KeyState::kNone) return true;
    std::string problem = k.message;
    if (k.state == sitekey::KeyState::kLoaded &&
        !LinkSetSiteKey(k.key.data(), static_cast<uint32_t>(k.key.size())))
        problem = "site key file " + k.path + ": the transport library cannot use it";
    if (problem.empty()) {
        AddLine("Keyed sessions (site key " + k.path + ")");
        return true;
    }
    AddLine(problem);
    ::MessageBoxA(::GetActiveWindow(), ("Not listening for a console: " + problem).c_str(), "File Transfer Slave",
                  MB_OK | MB_ICONERROR);
    return false;
}

DWORD WINAPI ProtocolThread(LPVOID) {
    if (!SetUpSiteKey()) return 0;  // the window stays until timer 1 closes it
    LinkHandle h = g.transport == kTransportTcp ? InitTCPIPSession(0, kTcpPort, 0, 0)
                                                : InitIPXSession(0, kIpxSocketSwapped, 0);
    if (h == 0) {
        char text[kTextMax + 64];
        std::snprintf(text, sizeof text, "Unable to listen for session: gSlaveName: %s gLanaNum: %d", g.name.c_str(),
                      g.lana);
        Echo(text);
        ::MessageBoxA(::GetActiveWindow(), text, "TRACE", MB_OK);
        return 0;  // the window stays until timer 1 closes it
    }
    g.endpoint = h;
    SetBlocking(h, 1);

    WindowUi ui;
    FtSession session(WindowsFileSystem(), ui);
    bool reply_pending = false;
    if (ReceiveStep(session, &reply_pending)) {
        g.last_animation = ::GetTickCount();
        for (;;) {
            if (::IsIconic(g.dialog) && ::GetTickCount() - g.last_animation > kAnimationMs) {
                AnimationStep();
                g.last_animation = ::GetTickCount();
            }
            g.listening_shown = false;
            FtSession::Outcome o = session.Handle();
            reply_pending = o.reply;
            if (o.contact) ::PostMessageA(g.dialog, kMsgContact, 0, 0);
            if (o.terminate) {
                uint8_t out[ft::kReplyMax];
                SendPacket(h, out, static_cast<int>(session.EncodeReply(out)));
                g.terminate = true;
            }
            if (g.terminate || !ReceiveStep(session, &reply_pending)) break;
        }
    }
    session.CloseOpenFile();
    ::PostMessageA(g.dialog, WM_COMMAND, kCmdShutdown, 0);
    return 0;
}

// Runs at most once: closes the endpoint (which releases a blocked receive)
// and ends the message loop.
void ShutdownSequence() {
    if (g.shutdown_done) return;
    g.shutdown_done = true;
    AddLine(Text(kTextShuttingDown));
    LinkHandle h = g.endpoint.exchange(0);
    if (h) DeinitProtocol(h);
    ::PostQuitMessage(0);
}

void ReadSettings() {
    char name[21] = {};
    DWORD size = sizeof name;
    if (!::GetComputerNameA(name, &size)) name[0] = 0;
    g.name = MakeSlaveName(name);
    char dir[kSettingsPathMax + 1];
    DWORD n = ::GetEnvironmentVariableA("SMS_LOCAL_DIR", dir, sizeof dir);
    std::string path;
    LocateSettings(n > 0 && n < sizeof dir ? dir : nullptr,
                   [](char letter) {
                       const char root[] = {letter, ':', '\\', 0};
                       return ::GetDriveTypeA(root) == DRIVE_FIXED;
                   },
                   &path);
    g.settings_path = path;
    char lana[51] = {};
    if (!path.empty()) ::GetPrivateProfileStringA("Sight", "LanaNum", "", lana, sizeof lana, path.c_str());
    g.lana = ParseLanaNum(lana);
}

INT_PTR CALLBACK DialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG: {
        g.dialog = dlg;
        g.list = ::GetDlgItem(dlg, kIdList);
        HDC dc = ::GetDC(dlg);
        TEXTMETRICA tm;
        ::GetTextMetricsA(dc, &tm);
        ::ReleaseDC(dlg, dc);
        ::PostMessageA(dlg, kMsgStart, 0, 0);
        ::SetTimer(dlg, kContactTimer, kContactTimeoutMs, nullptr);
        ::SetTimer(dlg, kListTimer, kListTimerMs, nullptr);
        return TRUE;
    }
    case kMsgStart: {
        ReadSettings();
        g.listening_shown = false;
        DWORD id = 0;
        g.thread = ::CreateThread(nullptr, 0, ProtocolThread, dlg, CREATE_SUSPENDED, &id);
        if (g.thread) ::ResumeThread(g.thread);
        return TRUE;
    }
    case kMsgContact:
        ::KillTimer(dlg, kContactTimer);
        return TRUE;
    case kMsgAnimate: {
        RECT rc{1, 14, 13, 29};
        ::InvalidateRect(dlg, &rc, TRUE);
        ::UpdateWindow(dlg);
        return TRUE;
    }
    case WM_TIMER:
        if (wp == kListTimer) {
            TakeQueuedLines();
            return TRUE;
        }
        ::KillTimer(dlg, kContactTimer);
        ::PostMessageA(dlg, WM_COMMAND, kCmdShutdown, 0);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wp) == kCmdShutdown) {
            g.terminate = true;
            ::DestroyWindow(dlg);
            ShutdownSequence();
            return TRUE;
        }
        return FALSE;
    case WM_SYSCOMMAND:
        if ((wp & 0xFFF0) == SC_CLOSE) ::PostMessageA(dlg, WM_COMMAND, kCmdShutdown, 0);
        return FALSE;
    case WM_ENDSESSION:
        if (wp) {
            g.terminate = true;
            ::DestroyWindow(dlg);
            ShutdownSequence();
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        g.list = nullptr;
        ShutdownSequence();
        return TRUE;
    case WM_PAINT:
        if (::IsIconic(dlg)) {
            PAINTSTRUCT ps;
            HDC dc = ::BeginPaint(dlg, &ps);
            ::DrawIcon(dc, 0, 0, g.current_icon);
            ::EndPaint(dlg, &ps);
            return TRUE;
        }
        return FALSE;
    case WM_ERASEBKGND:
        if (::IsIconic(dlg)) {
            ::DefWindowProcA(dlg, WM_ICONERASEBKGND, wp, lp);
            return TRUE;
        }
        return FALSE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(static_cast<HICON>(g.current_icon));
    default:
        return FALSE;
    }
}

// Sets a window text from the string table when the text exists.
void SetTextFromTable(HWND wnd, int id) {
    std::string s;
    if (wnd && g.texts && win::LoadText(g.texts, static_cast<UINT>(id), &s)) {
        if (s.size() >= kTextMax) s.resize(kTextMax - 1);
        ::SetWindowTextA(wnd, s.c_str());
    }
}

int Run(HINSTANCE instance, const char* command_line) {
    g.instance = instance;
    g.window_thread = ::GetCurrentThreadId();
    win::Localization loc =
        win::LocalizeStartup(instance, "XSL32", "File Transfer Slave for Win32", win::Refuse32::yes);
    g.texts = loc.texts ? loc.texts : instance;
    g.own_texts = !loc.language_library;
    g.transport = ParseTransport(command_line ? command_line : "");

    static const char* const kIconNames[8] = {"SLAVE1", "SLAVE2", "SLAVE3", "SLAVE4",
                                              "SLAVE5", "SLAVE6", "SLAVE7", "SLAVE8"};
    for (int i = 0; i < 8; ++i) g.icons[i] = ::LoadIconA(instance, kIconNames[i]);
    g.current_icon = g.icons[1];

    HWND dlg = ::CreateDialogParamA(g.texts, "SLAVE_MAIN_DLG", nullptr, DialogProc, 0);
    if (!dlg && g.texts != instance) dlg = ::CreateDialogParamA(instance, "SLAVE_MAIN_DLG", nullptr, DialogProc, 0);
    if (!dlg) {
        ::MessageBoxA(nullptr, "Unable to display main dialog", "System Error", MB_OK);
        return 0;
    }
    SetTextFromTable(dlg, kTextCaption);
    SetTextFromTable(::FindWindowExA(dlg, nullptr, "Static", nullptr), kTextStatusHeading);
    ::ShowWindow(dlg, SW_SHOWMINNOACTIVE);
    ::UpdateWindow(dlg);

    MSG msg{};
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (g.dialog && ::IsWindow(g.dialog) && ::IsDialogMessageA(g.dialog, &msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    if (g.thread) {
        ::WaitForSingleObject(g.thread, kThreadWaitMs);
        ::CloseHandle(g.thread);
    }
    if (!g.own_texts) ::FreeLibrary(g.texts);
    return static_cast<int>(msg.wParam);
}

}  // namespace
}  // namespace qv::slave

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int) {
    return qv::slave::Run(instance, command_line);
}
