// rchost32's screen side: the display analysis made once at start-up, the
// capture context (a palettised device-independent copy of the screen),
// the records that describe the display to a viewer, and the threads that
// run while a viewer views: the changes thread (polling the whole screen,
// or on systems before Windows NT 4 the display-change library reporting
// changed rectangles) and DesktopChangeThread, which notices switches of
// the input desktop so that capturing follows the desktop that is shown.
//
// The row comparison and the records themselves are portable
// (screen_codec.h); this file does the GDI work and the threads.
#include <windows.h>

#include <cstring>
#include <new>

#include "agent/agent_win.h"
#include "libs/screenq/screenq.h"

namespace qv::agent {

DisplayInfo g_display;
std::atomic<uint32_t> g_desktop_changed{0};

namespace {

constexpr DWORD kPaletteCheckMs = 2000;
constexpr DWORD kPollAfterSendMs = 25;
constexpr DWORD kPollAfterNothingMs = 100;
constexpr DWORD kLoopCheckMs = 10;
constexpr DWORD kScrwatchWaitMs = 250;
constexpr DWORD kOldThreadCheckMs = 10;
constexpr DWORD kOldThreadWaitMs = 10000;
constexpr DWORD kAfterOldThreadMs = 200;
constexpr std::size_t kDesktopNameMax = 256;
constexpr int kThreadEndedBadContext = 3;
constexpr const char* kScrwatchLibrary = "SCRW_NT.DLL";
constexpr const char* kScrwatchEventName = "RCHOST32 changes event";

// Debug lines of the portable encoder go to the agent's log.
class LogEvents final : public AgentEvents {
public:
    void Line(const char* text) override { Log("%s", text); }
    void Audit(int, bool, const char*) override {}
};
LogEvents g_log_events;

class ScreenqRecords final : public RecordQueue {
public:
    uint8_t* Begin(uint32_t size) override { return ::BeginQueueing(size); }
    void End(uint32_t size) override { ::EndQueueing(size); }
};

class EventStop final : public StopCheck {
public:
    bool Stopped() override {
        HANDLE events[2] = {g_agent.viewing_terminated_event, g_agent.terminate_event};
        if (!events[0] || !events[1]) return false;
        return ::WaitForMultipleObjects(2, events, FALSE, 0) < WAIT_OBJECT_0 + 2;
    }
};

// The capture's extent, read by VieweeThread to scale mouse commands.
std::atomic<uint32_t> g_capture_width{0}, g_capture_height{0};

// The changes thread's desktop (only that thread uses it).
HDESK g_current_desktop = nullptr;
char g_current_desktop_name[kDesktopNameMax] = {};

// Each ActivateChangesThread starts a new generation; the threads of an
// older one end at their next check. (A viewer that changes its colour
// factors while viewing keeps its session: only the old threads end.)
std::atomic<uint32_t> g_generation{0};

// --- display analysis ---

struct ProbeBitmapInfo {
    BITMAPINFOHEADER header;
    RGBQUAD colours[256];
};

void FillHeader(BITMAPINFOHEADER* h, LONG width, WORD bits) {
    std::memset(h, 0, sizeof *h);
    h->biSize = sizeof *h;
    h->biWidth = width;
    h->biHeight = 1;
    h->biPlanes = 1;
    h->biBitCount = bits;
    h->biCompression = BI_RGB;
}

void StandardTable(RGBQUAD* out) {
    for (int i = 0; i < 16; ++i)
        out[i] = RGBQUAD{kStandard16[i].blue, kStandard16[i].green, kStandard16[i].red, 0};
}

// The 16-colour probe: the indices 0..15, 15, 0 with the standard table
// written into a bitmap compatible with the display and read back.
void Probe16Colours(HDC dc, bool force) {
    constexpr LONG kProbeWidth = 17;
    HBITMAP bm = ::CreateCompatibleBitmap(dc, kProbeWidth, 1);
    if (!bm) return;
    ProbeBitmapInfo bi{};
    FillHeader(&bi.header, kProbeWidth, 4);
    StandardTable(bi.colours);
    uint8_t source[12] = {};
    std::memcpy(source, kProbePixels.data(), kProbePixels.size());
    ::SetDIBits(dc, bm, 0, 1, source, reinterpret_cast<BITMAPINFO*>(&bi), DIB_RGB_COLORS);

    ProbeBitmapInfo back{};
    FillHeader(&back.header, kProbeWidth, 4);
    uint8_t read4[12] = {};
    ::GetDIBits(dc, bm, 0, 1, read4, reinterpret_cast<BITMAPINFO*>(&back), DIB_RGB_COLORS);
    std::array<uint8_t, 9> readback{};
    std::memcpy(readback.data(), read4, readback.size());
    const ProbeDecision d = Decide16ColourProbe(readback, force, g_agent.fix16_colour_bitmaps);
    if (d.table_set) g_display.viewer16 = d.viewer16;

    if (!force && g_display.palette_size == 0) {
        ProbeBitmapInfo eight{};
        FillHeader(&eight.header, kProbeWidth, 8);
        uint8_t read8[20] = {};
        ::GetDIBits(dc, bm, 0, 1, read8, reinterpret_cast<BITMAPINFO*>(&eight), DIB_RGB_COLORS);
        for (int i = 0; i < 256; ++i)
            g_display.agent_palette[i] = PaletteEntry{eight.colours[i].rgbRed, eight.colours[i].rgbGreen,
                                                      eight.colours[i].rgbBlue, 0};
        std::array<uint8_t, 16> first16{};
        std::memcpy(first16.data(), read8, first16.size());
        Apply16ColourProbeTo8Bit(first16, g_display.agent_palette);
    }
    ::DeleteObject(bm);
}

uint32_t ReadSystemPalette(HDC dc, PALETTEENTRY* out) {
    return ::GetSystemPaletteEntries(dc, 0, 256, out);
}

// --- capture ---

RGBQUAD* TableOf(CaptureContext& ctx) {
    return reinterpret_cast<RGBQUAD*>(ctx.info.data() + kBitmapHeaderSize);
}

void CopyScreen(CaptureContext& ctx, const ScreenRect& r) {
    ::BitBlt(ctx.memory, r.left, r.top, r.right - r.left, r.bottom - r.top, ctx.screen, r.left, r.top, SRCCOPY);
}

void SendWholeScreen(CaptureContext* ctx, RecordQueue& queue, StopCheck& stop) {
    const int w = ::GetSystemMetrics(SM_CXSCREEN), h = ::GetSystemMetrics(SM_CYSCREEN);
    Log("*** Sending entire screen : iMaxX %d iMaxY %d ***", w, h);
    const ScreenRect all{0, 0, w, h};
    SendScreenRect(ctx, &all, queue, stop);
}

// --- threads ---

bool ViewingGoesOn(uint32_t generation) {
    return g_agent.view.connectionAlive && g_agent.view.readyToSend != SEND_NOTREADY &&
           g_generation == generation;
}

// Waits for the viewing terminated or terminate event; true when one is set.
bool ViewingEndsWithin(DWORD ms) {
    HANDLE events[2] = {g_agent.viewing_terminated_event, g_agent.terminate_event};
    return ::WaitForMultipleObjects(2, events, FALSE, ms) != WAIT_TIMEOUT;
}

void NewDesktopToDialog() {
    if (g_current_desktop && g_agent.dialog)
        ::PostMessageA(g_agent.dialog, kMsgNewDesktop, reinterpret_cast<WPARAM>(g_current_desktop), 0);
}

// The end of a changes thread; a settings change that waited for the end of
// viewing restarts the agent now.
void EndOfChanges(CaptureContext* ctx) {
    FreeCaptureContext(ctx);
    ForgetCurrentDesktop();
    if (g_agent.settings_changed) CloseMainWindow();
}

DWORD WINAPI LookForChangesThread(LPVOID param) {
    const uint32_t generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(param));
    RecordQueue& queue = ScreenRecords();
    StopCheck& stop = ViewingStop();
    Log("Changes thread started");
    ::ClearSendBuffer();
    SendGdiRecords(queue, ViewerColourBits());
    CaptureContext* ctx = CreateCaptureContext(ViewerColourBits());
    if (!ctx) return kThreadEndedBadContext;
    if (QueueCaptureColourTable(ctx, queue) == kSendSent) {
        g_current_desktop_name[0] = 0;
        GetCorrectDesktop();
        NewDesktopToDialog();
        ::ClearChangesBuffer();
        int result = kSendNothing;
        DWORD last_palette_check = ::GetTickCount();
        while (result == kSendSent || result == kSendNothing) {
            if (!g_agent.view.connectionAlive || g_generation != generation) {
                Log("LookForChangesThread terminating (1)");
                break;
            }
            if (g_agent.view.readyToSend == SEND_NOTREADY) {
                Log("LookForChangesThread terminating (2)");
                break;
            }
            if (ViewingEndsWithin(kLoopCheckMs)) {
                Log("LookForChangesThread terminating (3)");
                break;
            }
            if (g_desktop_changed && GetCorrectDesktop() == 1) NewDesktopToDialog();
            if (ctx->palette_managed && ::GetTickCount() - last_palette_check >= kPaletteCheckMs) {
                CheckPalette(*ctx, queue);
                last_palette_check = ::GetTickCount();
            }
            TrackCursor(queue);
            if (ViewingEndsWithin(result == kSendNothing ? kPollAfterNothingMs : kPollAfterSendMs)) {
                Log("LookForChangesThread terminating (5)");
                break;
            }
            result = SendScreenRect(ctx, nullptr, queue, stop);
            if (result != kSendSent && result != kSendNothing) Log("LookForChangesThread terminating (6)");
        }
    }
    FreeAllSendSlots();
    EndOfChanges(ctx);
    return 0;
}

using ScrwatchStartFn = HANDLE(WINAPI*)(const char*);
using ScrwatchRectFn = BOOL(WINAPI*)(LONG*);
using ScrwatchStopFn = void(WINAPI*)();

template <class Fn>
Fn ProcAs(FARPROC p) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
}

// Handed to ScrwatchChangesThread, which frees it.
struct ScrwatchParam {
    HMODULE library;
    HANDLE changes;
    uint32_t generation;
};

DWORD WINAPI ScrwatchChangesThread(LPVOID param) {
    auto* p = static_cast<ScrwatchParam*>(param);
    RecordQueue& queue = ScreenRecords();
    StopCheck& stop = ViewingStop();
    Log("*** SCRWChangesThread started");
    ::ClearSendBuffer();
    SendGdiRecords(queue, ViewerColourBits());
    if (!p) {
        Log("No thread data in ScrwatchChangesThread!");
        return 0;
    }
    auto get_rect = ProcAs<ScrwatchRectFn>(g_scrwatch.find(p->library, "ScrwatchGetChangesRect"));
    if (!get_rect) {
        Log("Unable to get the changes rect function pointer");
        return static_cast<DWORD>(-1);
    }
    CaptureContext* ctx = CreateCaptureContext(ViewerColourBits());
    if (!ctx) return kThreadEndedBadContext;
    if (QueueCaptureColourTable(ctx, queue) == kSendSent) {
        g_current_desktop_name[0] = 0;
        GetCorrectDesktop();
        // Prime the library: a window over the whole screen that goes away
        // again makes every window below repaint.
        if (HWND w = g_agent.repaint) {
            ::ShowWindow(w, SW_SHOWNA);
            ::MoveWindow(w, 0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN), FALSE);
        }
        SendWholeScreen(ctx, queue, stop);
        if (HWND w = g_agent.repaint) {
            ::MoveWindow(w, 0, 0, 0, 0, FALSE);
            ::ShowWindow(w, SW_HIDE);
        }
        NewDesktopToDialog();
        DWORD last_palette_check = ::GetTickCount();
        bool palette_due = false;
        while (ViewingGoesOn(p->generation)) {
            HANDLE events[3] = {p->changes, g_agent.viewing_terminated_event, g_agent.terminate_event};
            const DWORD r = ::WaitForMultipleObjects(3, events, FALSE, kScrwatchWaitMs);
            if (r == WAIT_OBJECT_0) {
                LONG rc[4] = {};
                if (get_rect(rc)) {
                    const ScreenRect rect{rc[0], rc[1], rc[2], rc[3]};
                    const int result = SendScreenRect(ctx, &rect, queue, stop);
                    if (result != kSendSent && result != kSendNothing) {
                        Log("ScrwChangesThread terminating (unable to send changes)");
                        break;
                    }
                } else {
                    Log("GetChangesRect returned ERROR");
                }
            } else if (r != WAIT_TIMEOUT) {
                Log("ScrwatchChangesThread terminating");
                break;
            }
            TrackCursor(queue);
            if (g_desktop_changed && GetCorrectDesktop() == 1) {
                NewDesktopToDialog();
                SendWholeScreen(ctx, queue, stop);
                palette_due = true;
            }
            if (ctx->palette_managed && (palette_due || ::GetTickCount() - last_palette_check >= kPaletteCheckMs)) {
                CheckPalette(*ctx, queue);
                last_palette_check = ::GetTickCount();
                palette_due = false;
            }
        }
    }
    FreeCaptureContext(ctx);
    ForgetCurrentDesktop();
    if (auto stop_viewing = ProcAs<ScrwatchStopFn>(g_scrwatch.find(p->library, "ScrwatchStopViewing")))
        stop_viewing();
    else
        Log("Unable to find ScrwatchStopViewing func");
    g_scrwatch.release(p->library);
    ::HeapFree(::GetProcessHeap(), 0, p);
    if (g_agent.settings_changed) CloseMainWindow();
    Log("*** Leaving ScrwChanges thread");
    return 0;
}

DWORD RealWindowsMajor() {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExA(&v)) return 0;
#pragma GCC diagnostic pop
    Log("Running on version %d.%d", static_cast<int>(v.dwMajorVersion), static_cast<int>(v.dwMinorVersion));
    return v.dwMajorVersion;
}
HMODULE RealLoad(const char* name) { return ::LoadLibraryA(name); }
FARPROC RealFind(HMODULE m, const char* name) { return m ? ::GetProcAddress(m, name) : nullptr; }
void RealRelease(HMODULE m) {
    if (m) ::FreeLibrary(m);
}

}  // namespace

ScrwatchCalls g_scrwatch = {RealWindowsMajor, RealLoad, RealFind, RealRelease};

RecordQueue& ScreenRecords() {
    static ScreenqRecords q;
    return q;
}

StopCheck& ViewingStop() {
    static EventStop s;
    return s;
}

// --- display analysis ---

void AnalyseDisplay(HWND dialog) {
    DisplayInfo& d = g_display;
    d.viewer16 = kStandard16;
    HDC dc = ::GetDC(dialog);
    if (!dc) return;
    d.width = ::GetSystemMetrics(SM_CXSCREEN);
    d.height = ::GetSystemMetrics(SM_CYSCREEN);
    if (HBITMAP bm = ::CreateCompatibleBitmap(dc, 10, 10)) {
        BITMAP info{};
        if (::GetObjectA(bm, sizeof info, &info)) {
            d.planes = info.bmPlanes;
            d.bits_per_pixel = info.bmBitsPixel;
        }
        ::DeleteObject(bm);
    }
    d.palette_device = (::GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) != 0;
    d.palette_size = static_cast<uint32_t>(::GetDeviceCaps(dc, SIZEPALETTE));
    const unsigned depth = d.planes * d.bits_per_pixel;
    d.display_colours = d.palette_size ? d.palette_size : (depth >= 24 ? (1u << 24) : (1u << depth));

    PALETTEENTRY system[256] = {};
    if (d.palette_size == 256) {
        Probe16Colours(dc, false);
        ReadSystemPalette(dc, system);
        for (int i = 0; i < 256; ++i)
            d.agent_palette[i] = PaletteEntry{system[i].peRed, system[i].peGreen, system[i].peBlue, system[i].peFlags};
    } else if (d.display_colours < 256 || ReadSystemPalette(dc, system) == 16) {
        d.display_colours = 16;
        Probe16Colours(dc, true);
        for (int i = 0; i < 16; ++i)
            d.agent_palette[i] = PaletteEntry{d.viewer16[i].red, d.viewer16[i].green, d.viewer16[i].blue, 0};
    } else {
        Probe16Colours(dc, false);
    }
    ::ReleaseDC(dialog, dc);
}

bool DisplayHas16Colours() { return g_display.display_colours == 16; }

// --- capture context ---

CaptureContext* CreateCaptureContext(unsigned viewer_colour_bits) {
    auto* ctx = new (std::nothrow) CaptureContext;
    if (!ctx) return nullptr;
    ctx->screen = ::GetDC(nullptr);
    if (!ctx->screen) {
        delete ctx;
        return nullptr;
    }
    HDC dc = ctx->screen;
    const int width = ::GetSystemMetrics(SM_CXSCREEN), height = ::GetSystemMetrics(SM_CYSCREEN);
    const unsigned screen_bits = static_cast<unsigned>(::GetDeviceCaps(dc, PLANES) * ::GetDeviceCaps(dc, BITSPIXEL));
    const unsigned c = CaptureBits(screen_bits, viewer_colour_bits);
    ctx->colours = 1u << c;
    ctx->palette_managed = PaletteManaged((::GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) != 0, viewer_colour_bits);
    const bool system_indices = ctx->colours > 16 && ctx->palette_managed;

    ctx->info = BuildBitmapInfo(width, height, c, ctx->palette_managed);
    if (system_indices) {
        // The section's colour table is the system palette itself, so that
        // every screen pixel lands at its system palette index, as the
        // viewer's palette records expect. (A logical palette of explicit
        // indices would do the same on Windows, but Wine takes explicit
        // entries for colours, and the pixels came out as shades of red.)
        ReadSystemPalette(dc, ctx->saved_palette.data());
        RGBQUAD* table = TableOf(*ctx);
        for (int i = 0; i < 256; ++i)
            table[i] = RGBQUAD{ctx->saved_palette[i].peBlue, ctx->saved_palette[i].peGreen,
                               ctx->saved_palette[i].peRed, 0};
    }
    void* bits = nullptr;
    ctx->section = ::CreateDIBSection(dc, reinterpret_cast<BITMAPINFO*>(ctx->info.data()), DIB_RGB_COLORS, &bits,
                                      nullptr, 0);
    ctx->memory = ::CreateCompatibleDC(dc);
    if (ctx->section && ctx->memory) ctx->old_bitmap = ::SelectObject(ctx->memory, ctx->section);
    if (ctx->colours > 16 && ctx->memory) ::GetDIBColorTable(ctx->memory, 0, ctx->colours, TableOf(*ctx));
    if (ctx->palette_managed && !system_indices) ReadSystemPalette(dc, ctx->saved_palette.data());
    const uint32_t stride = CaptureStride(static_cast<uint32_t>(width), c);
    if (!ctx->section || !ctx->memory || !bits) {
        FreeCaptureContext(ctx);
        return nullptr;
    }
    ctx->previous.assign(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height), 0);
    ctx->frame = CaptureFrame{static_cast<uint8_t*>(bits), ctx->previous.data(), width, height, stride, c};
    g_capture_width = static_cast<uint32_t>(width);
    g_capture_height = static_cast<uint32_t>(height);
    return ctx;
}

void FreeCaptureContext(CaptureContext* ctx) {
    if (!ctx) return;
    g_capture_width = 0;
    g_capture_height = 0;
    if (ctx->memory) {
        if (ctx->old_bitmap) ::SelectObject(ctx->memory, ctx->old_bitmap);
        ::DeleteDC(ctx->memory);
    }
    if (ctx->section) ::DeleteObject(ctx->section);
    if (ctx->screen) ::ReleaseDC(nullptr, ctx->screen);
    delete ctx;
}

void CaptureExtent(uint32_t* width, uint32_t* height) {
    *width = g_capture_width;
    *height = g_capture_height;
}

int SendScreenRect(CaptureContext* ctx, const ScreenRect* rect, RecordQueue& queue, StopCheck& stop) {
    if (!ctx) {
        Log("SSU: No lpvd");
        return kSendBadArgument;
    }
    ScreenRect r{0, 0, ctx->frame.width, ctx->frame.height};
    if (rect && !NormaliseRect(ctx->frame, *rect, &r)) return kSendNothing;
    CopyScreen(*ctx, r);
    ::GdiFlush();
    return SendChanges(&ctx->frame, &r, queue, stop, g_log_events);
}

int QueueCaptureColourTable(const CaptureContext* ctx, RecordQueue& queue) {
    if (!ctx) return kSendBadArgument;
    return QueueColourTable(queue, ctx->info) ? kSendSent : kSendStopped;
}

bool CheckPalette(CaptureContext& ctx, RecordQueue& queue) {
    if (!ctx.palette_managed) return false;
    std::array<PALETTEENTRY, 256> now{};
    const UINT n = ctx.colours < 256 ? ctx.colours : 256;
    ::GetSystemPaletteEntries(ctx.screen, 0, n, now.data());
    if (std::memcmp(now.data(), ctx.saved_palette.data(), n * sizeof(PALETTEENTRY)) == 0) return false;
    ctx.saved_palette = now;
    RGBQUAD* table = TableOf(ctx);
    for (UINT i = 0; i < n; ++i) table[i] = RGBQUAD{now[i].peBlue, now[i].peGreen, now[i].peRed, 0};
    ::SetDIBColorTable(ctx.memory, 0, n, table);
    std::array<RgbQuad, 256> quads{};
    for (UINT i = 0; i < n; ++i) quads[i] = RgbQuad{table[i].rgbBlue, table[i].rgbGreen, table[i].rgbRed, 0};
    return QueuePaletteFromTable(queue, 0, quads.data(), 256);
}

void SendGdiRecords(RecordQueue& queue, unsigned viewer_colour_bits) {
    g_agent.view.readyToSend = SEND_GDI;
    Log("SIDI: ** SEND_GDI **");
    const DisplayInfo& d = g_display;
    // Palette records are only queued while readyToSend is SEND_GDI.
    if (d.palette_size != 0) {
        if (g_agent.view.readyToSend == SEND_GDI) QueuePaletteEntries(queue, 10, &d.agent_palette[10], 236);
    } else if (d.display_colours >= 256) {
        if (g_agent.view.readyToSend == SEND_GDI) QueuePaletteEntries(queue, 0, d.agent_palette.data(), 256);
    }
    if (viewer_colour_bits == 4) QueuePalette16(queue, d.viewer16);
    if (!QueueDisplayDimensions(queue, static_cast<int16_t>(d.width), static_cast<int16_t>(d.height),
                                DisplayColourBits(d.planes, d.bits_per_pixel, d.display_colours)))
        Log("Unable to queue DisplayDimensions");
}

// --- desktops ---

HDESK CurrentDesktop() { return g_current_desktop; }
const char* CurrentDesktopName() { return g_current_desktop_name; }

void ForgetCurrentDesktop() {
    if (g_current_desktop) ::CloseDesktop(g_current_desktop);
    g_current_desktop = nullptr;
    g_current_desktop_name[0] = 0;
}

int GetCorrectDesktop() {
    HDESK input = ::OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED);
    if (!input) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_BUSY) {
            Log("GetCorrectDesktop: ERROR_BUSY.  Will try later");
            return 0;  // the flag stays set: the next check tries again
        }
        Log("OpenDesktop() returned %d", static_cast<int>(error));
        g_desktop_changed = 0;
        return 0;
    }
    char name[kDesktopNameMax] = {};
    DWORD needed = 0;
    ::GetUserObjectInformationA(input, UOI_NAME, name, sizeof name - 1, &needed);
    if (std::strcmp(name, g_current_desktop_name) == 0) {
        Log("Desktop is the same");
        ::CloseDesktop(input);
        g_desktop_changed = 0;
        return 0;
    }
    Log("Desktop is different");
    if (g_current_desktop) ::CloseDesktop(g_current_desktop);
    g_current_desktop = input;
    std::memcpy(g_current_desktop_name, name, sizeof name);
    // Keys reach other desktops (the log-on screen) only through the relay device.
    if (::lstrcmpiA(name, "Default") == 0) CloseKeyRelay();
    else OpenKeyRelay();
    const BOOL moved = ::SetThreadDesktop(g_current_desktop);
    if (!moved) Log("SetThreadDesktop() returned %d", static_cast<int>(::GetLastError()));
    g_desktop_changed = 0;
    return moved ? 1 : 0;
}

DWORD WINAPI DesktopChangeThread(LPVOID flag_param) {
    auto* flag = static_cast<std::atomic<uint32_t>*>(flag_param);
    HANDLE sw = ::OpenEventA(SYNCHRONIZE, FALSE, "WinSta0_DesktopSwitch");
    if (!sw) {
        Log("Unable to open desktop change event: %d", static_cast<int>(::GetLastError()));
        return 0;
    }
    const uint32_t generation = g_generation;
    for (;;) {
        if (!g_agent.view.connectionAlive || g_generation != generation) {
            Log("Not bConnectionAlive");
            break;
        }
        if (g_agent.view.readyToSend == SEND_NOTREADY) {
            Log("Not readyToSend");
            break;
        }
        HANDLE events[3] = {sw, g_agent.viewing_terminated_event, g_agent.terminate_event};
        const DWORD r = ::WaitForMultipleObjects(3, events, FALSE, INFINITE);
        if (r == WAIT_OBJECT_0) {
            Log("**** Desktop change observed");
            if (flag) *flag = 1;
            continue;
        }
        if (r == WAIT_OBJECT_0 + 1 || r == WAIT_OBJECT_0 + 2) Log("Desktop change Thread terminating");
        else Log("Wait for Multiple Objects in DesktopChangeThread: error %d", static_cast<int>(::GetLastError()));
        ::CloseHandle(sw);
        return 0;
    }
    Log("Desktop change thread terminating (not viewing)");
    ::CloseHandle(sw);
    return 0;
}

// --- starting the changes thread ---

void ActivateChangesThread() {
    Log("ActivateChangesThread");
    if (g_agent.changes_thread && ::WaitForSingleObject(g_agent.changes_thread, kOldThreadCheckMs) == WAIT_TIMEOUT) {
        Log("Changes thread was already running.");
        ++g_generation;  // the old thread ends at its next check
        const DWORD r = ::WaitForSingleObject(g_agent.changes_thread, kOldThreadWaitMs);
        if (r == WAIT_TIMEOUT) {
            Log("Changes thread won't quit.");
            return;
        }
        if (r != WAIT_OBJECT_0) {
            Log("Wait for changes thread: error %d", static_cast<int>(::GetLastError()));
            return;
        }
        ::Sleep(kAfterOldThreadMs);
    }
    ::EnterCriticalSection(&g_agent.viewing_lock);
    if (g_agent.changes_thread) {
        ::CloseHandle(g_agent.changes_thread);
        g_agent.changes_thread = nullptr;
    }
    ::ResetEvent(g_agent.viewing_terminated_event);
    g_agent.view.paused = false;
    const uint32_t generation = ++g_generation;

    HMODULE library = nullptr;
    HANDLE changes = nullptr;
    if (g_agent.running_as_service && g_scrwatch.windows_major() < 4) {
        library = g_scrwatch.load(kScrwatchLibrary);
        if (auto start = ProcAs<ScrwatchStartFn>(g_scrwatch.find(library, "ScrwatchStartViewing")))
            changes = start(kScrwatchEventName);
    }
    if (HANDLE t = ::CreateThread(nullptr, 0, DesktopChangeThread, &g_desktop_changed, 0, nullptr))
        ::CloseHandle(t);
    if (changes) {
        auto* p = static_cast<ScrwatchParam*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(ScrwatchParam)));
        if (!p) {
            Log("Unable to allocate memory for Scrwatch thread");
        } else {
            *p = ScrwatchParam{library, changes, generation};
            g_agent.changes_thread = ::CreateThread(nullptr, 0, ScrwatchChangesThread, p, 0, nullptr);
        }
    } else {
        g_scrwatch.release(library);
        g_agent.changes_thread = ::CreateThread(nullptr, 0, LookForChangesThread,
                                                reinterpret_cast<LPVOID>(static_cast<uintptr_t>(generation)), 0,
                                                nullptr);
    }
    ::LeaveCriticalSection(&g_agent.viewing_lock);
}

}  // namespace qv::agent
