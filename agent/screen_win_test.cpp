// Wine tests of the agent's screen and input sides, run on a 24-bit Xvfb
// screen: a topmost popup painted with known colours is captured at 8 and
// 4 bits, a poll after a change carries only the changed rows, injected
// keys and mouse commands reach the window, keys go to the relay device
// while it is open (recorded: Wine has no such device), the desktop and
// desktop-switch paths Wine offers, and both changes threads end to end.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "agent/agent_win.h"
#include "common/le_bytes.h"
#include "libs/screenq/screenq.h"

namespace qv::agent {
Agent g_agent;
std::mutex g_log_lock;
std::string g_log;
void Log(const char* format, ...) {
    char line[kLogLineBytes];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(g_log_lock);
    g_log += line;
    g_log += '\n';
}
void CloseMainWindow() {}
unsigned ViewerColourBits() { return 8; }
void FreeAllSendSlots() {}
}  // namespace qv::agent

namespace {

using namespace qv::agent;

constexpr int kLeft = 200, kTop = 150, kWidth = 16, kHeight = 8;
// Colours exact in both the default 8-bit table and the standard 16-colour table.
constexpr COLORREF kColours[8] = {RGB(0, 0, 0),   RGB(255, 0, 0),   RGB(0, 255, 0),   RGB(255, 255, 0),
                                  RGB(0, 0, 255), RGB(255, 0, 255), RGB(0, 255, 255), RGB(255, 255, 255)};
COLORREF g_band = RGB(255, 255, 255);  // rows 2..4 when set
bool g_band_on = false;
std::string g_chars;
POINT g_click{-1, -1};

LRESULT CALLBACK TestProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_PAINT: {  // columns of two pixels, and the band over rows 2..4
        PAINTSTRUCT ps;
        HDC dc = ::BeginPaint(w, &ps);
        for (int i = 0; i < 9; ++i) {
            if (i == 8 && !g_band_on) break;
            const RECT r = i < 8 ? RECT{i * 2, 0, i * 2 + 2, kHeight} : RECT{0, 2, kWidth, 5};
            HBRUSH b = ::CreateSolidBrush(i < 8 ? kColours[i] : g_band);
            ::FillRect(dc, &r, b);
            ::DeleteObject(b);
        }
        ::EndPaint(w, &ps);
        return 0;
    }
    case WM_CHAR:
        g_chars += static_cast<char>(wp);
        return 0;
    case WM_LBUTTONDOWN:
        g_click = POINT{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
        return 0;
    default:
        return ::DefWindowProcA(w, msg, wp, lp);
    }
}

void Pump(DWORD ms) {
    for (const DWORD until = ::GetTickCount() + ms; static_cast<int>(until - ::GetTickCount()) > 0; ::Sleep(10))
        for (MSG m; ::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);) {
            ::TranslateMessage(&m);
            ::DispatchMessageA(&m);
        }
}

HWND TestWindow() {
    static HWND w = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = TestProc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "screen test";
        ::RegisterClassA(&wc);
        HWND h = ::CreateWindowExA(WS_EX_TOPMOST, "screen test", "", WS_POPUP | WS_VISIBLE, kLeft, kTop, kWidth,
                                   kHeight, nullptr, nullptr, wc.hInstance, nullptr);
        ::SetForegroundWindow(h);
        return h;
    }();
    return w;
}

void Repaint() {
    ::InvalidateRect(TestWindow(), nullptr, FALSE);
    ::UpdateWindow(TestWindow());
    Pump(300);
}

struct NeverStop final : StopCheck {
    bool Stopped() override { return false; }
};

// The records of a stream: code, and for 175 the byte offset, for 177 the rectangle.
struct Rec {
    uint8_t code;
    uint32_t offset;
    ScreenRect rect;
};
int16_t I16(const uint8_t* p) { return static_cast<int16_t>(qv::le::Get16(p)); }
std::vector<Rec> Parse(const uint8_t* p, std::size_t n) {
    std::vector<Rec> out;
    for (std::size_t at = 0; at < n;) {
        const uint8_t* r = p + at;
        Rec rec{r[0], 0, {}};
        std::size_t len = 0;
        switch (r[0]) {
        case kRecCursor: len = kCursorRecordSize; break;
        case kRecPalette: len = 4 + 3u * qv::le::Get16(r + 2); break;
        case kRecPaletteFlags: len = 4 + 4u * qv::le::Get16(r + 2); break;
        case kRecDisplayDimensions: len = kDisplayDimensionsSize; break;
        case kRecPalette16: len = kPalette16RecordSize; break;
        case kRecColourTable: len = kColourTableRecordHead + 4u * (1u << qv::le::Get16(r + 15)); break;
        case kRecRowDelta: rec.offset = qv::le::Get32(r + 1); len = kRowDeltaHead + qv::le::Get16(r + 5); break;
        case kRecRectDone:
            rec.rect = {I16(r + 1), I16(r + 3), I16(r + 5), I16(r + 7)};
            len = kRectDoneSize;
            break;
        default: ADD_FAILURE() << "record " << int(r[0]) << " at " << at; return out;
        }
        out.push_back(rec);
        at += len;
    }
    return out;
}

// Screen rows (top-down) of the row-delta records.
std::vector<int> Rows(const std::vector<Rec>& recs, const CaptureFrame& f) {
    std::vector<int> rows;
    for (const Rec& r : recs)
        if (r.code == kRecRowDelta) rows.push_back(f.height - 1 - static_cast<int>(r.offset / f.stride));
    return rows;
}

COLORREF PixelColour(const CaptureContext& ctx, int x, int y) {
    const CaptureFrame& f = ctx.frame;
    const uint8_t* row = f.bits + static_cast<std::size_t>(f.height - 1 - y) * f.stride;
    const unsigned index = f.bit_count == 8 ? row[x] : (x % 2 ? row[x / 2] & 0x0F : row[x / 2] >> 4);
    if (ctx.palette_managed) {  // pixels are system palette indices
        const PaletteEntry& p = g_display.agent_palette[index];
        return RGB(p.red, p.green, p.blue);
    }
    const uint8_t* e = ctx.info.data() + kBitmapHeaderSize + 4 * index;  // blue, green, red
    return RGB(e[2], e[1], e[0]);
}

TEST(AgentScreen, CapturesKnownColoursAndSendsOnlyChangedRows) {
    TestWindow();
    g_band_on = false;
    Repaint();
    AnalyseDisplay(nullptr);
    // Xvfb at 24 bits is a 32-bit display without palette; at 8 bits a
    // 256-entry palette device.
    const bool palette = g_display.palette_size == 256;
    EXPECT_EQ(g_display.planes * g_display.bits_per_pixel, palette ? 8u : 32u);
    EXPECT_EQ(g_display.palette_device, palette);
    EXPECT_FALSE(DisplayHas16Colours());

    for (unsigned bits : {8u, 4u}) {
        CaptureContext* ctx = CreateCaptureContext(bits);
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(ctx->frame.bit_count, bits);
        MemoryRecordQueue q;
        NeverStop stop;
        EXPECT_EQ(SendScreenRect(ctx, nullptr, q, stop), kSendSent);
        for (int i = 0; i < 8; ++i)
            for (int y : {0, kHeight - 1})
                EXPECT_EQ(PixelColour(*ctx, kLeft + i * 2 + 1, kTop + y), kColours[i]) << bits << " bits, colour " << i;

        // A band of rows changes: one poll carries those rows and one
        // rectangle-done record; the next poll finds nothing.
        g_band_on = true;
        Repaint();
        q.bytes.clear();
        EXPECT_EQ(SendScreenRect(ctx, nullptr, q, stop), kSendSent);
        const std::vector<Rec> recs = Parse(q.bytes.data(), q.bytes.size());
        EXPECT_EQ(Rows(recs, ctx->frame), (std::vector<int>{kTop + 2, kTop + 3, kTop + 4})) << bits;
        ASSERT_FALSE(recs.empty());
        EXPECT_EQ(recs.back().code, kRecRectDone);
        q.bytes.clear();
        EXPECT_EQ(SendScreenRect(ctx, nullptr, q, stop), kSendNothing);
        EXPECT_TRUE(q.bytes.empty());
        g_band_on = false;
        Repaint();
        FreeCaptureContext(ctx);
    }
    MemoryRecordQueue q;
    NeverStop stop;
    EXPECT_EQ(SendScreenRect(nullptr, nullptr, q, stop), kSendBadArgument);
}

// What the relay device was asked to do.
std::vector<std::vector<uint8_t>> g_relayed;
int g_relay_opens = 0;
HANDLE FakeOpen() {
    ++g_relay_opens;
    return reinterpret_cast<HANDLE>(0x7777);
}
BOOL FakeControl(HANDLE, const uint8_t* in, DWORD n) {
    g_relayed.emplace_back(in, in + n);
    return TRUE;
}
void FakeClose(HANDLE) {}

TEST(AgentInput, KeysAndMouseReachTheWindowAndKeysTheRelayWhileItIsOpen) {
    HWND w = TestWindow();
    ::SetForegroundWindow(w);
    ::SetFocus(w);
    Pump(100);
    InputSink& in = AgentInput();

    // No capture: mouse commands are ignored.
    POINT before{}, after{};
    ::GetCursorPos(&before);
    in.Mouse(MOUSEEVENTF_MOVE, 10, 10);
    Pump(50);
    ::GetCursorPos(&after);
    EXPECT_EQ(after.x, before.x);

    CaptureContext* ctx = CreateCaptureContext(8);
    ASSERT_NE(ctx, nullptr);
    for (POINT m : {POINT{0, 0}, POINT{300, 200}, POINT{1023, 767}}) {
        in.Mouse(MOUSEEVENTF_MOVE, static_cast<uint16_t>(m.x), static_cast<uint16_t>(m.y));
        Pump(50);
        ::GetCursorPos(&after);
        EXPECT_TRUE(after.x == m.x && after.y == m.y) << after.x << "," << after.y;
    }
    in.Mouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_LEFTDOWN, kLeft + 5, kTop + 3);
    in.Mouse(MOUSEEVENTF_LEFTUP, kLeft + 5, kTop + 3);
    Pump(100);
    EXPECT_TRUE(g_click.x == 5 && g_click.y == 3);
    FreeCaptureContext(ctx);

    // Without the relay device keys go through keybd_event and the secure
    // attention sequence is lost.
    g_chars.clear();
    EXPECT_FALSE(OpenKeyRelay());
    in.Key('A', 0x1E);
    in.Key(0x8000 | 'A', 0x1E);
    in.SecureAttention();
    Pump(100);
    EXPECT_EQ(g_chars, "a");

    // With the device open keys go to it as scan codes, and the sequence
    // is Control, Alt, Delete down and up.
    const RelayCalls real = g_relay;
    g_relay = RelayCalls{FakeOpen, FakeControl, FakeClose};
    g_chars.clear();
    ASSERT_TRUE(OpenKeyRelay());
    in.Key('B', 0x30);
    in.SecureAttention();
    CloseKeyRelay();
    in.SecureAttention();  // opened for the sequence, closed again
    Pump(100);
    EXPECT_EQ(g_chars, "");
    EXPECT_FALSE(KeyRelayOpen());
    EXPECT_EQ(g_relay_opens, 2);
    std::vector<uint8_t> scans;  // each input is u16 1, the scan code, two zero bytes
    for (const auto& in5 : g_relayed) {
        EXPECT_EQ(in5, (std::vector<uint8_t>{1, 0, in5[2], 0, 0}));
        scans.push_back(in5[2]);
    }
    EXPECT_EQ(scans, (std::vector<uint8_t>{0x30, 0x1D, 0x38, 0x53, 0x9D, 0xB8, 0xD3, 0x1D, 0x38, 0x53, 0x9D, 0xB8, 0xD3}));
    g_relay = real;
}

DWORD WINAPI TwoDesktopChecks(LPVOID out) {
    auto* results = static_cast<int*>(out);
    results[0] = GetCorrectDesktop();
    results[1] = GetCorrectDesktop();
    ForgetCurrentDesktop();
    return 0;
}

TEST(AgentDesktop, FollowsDefaultAndLivesWithoutTheSwitchEvent) {
    g_relay = RelayCalls{FakeOpen, FakeControl, FakeClose};
    ASSERT_TRUE(OpenKeyRelay());
    g_log.clear();
    g_desktop_changed = 1;
    int results[2] = {-1, -1};
    HANDLE t = ::CreateThread(nullptr, 0, TwoDesktopChecks, results, 0, nullptr);  // a thread without windows
    ::WaitForSingleObject(t, 10000);
    ::CloseHandle(t);
    EXPECT_EQ(results[0], 1);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(g_desktop_changed.load(), 0u);
    EXPECT_FALSE(KeyRelayOpen());  // "Default": keys through keybd_event
    EXPECT_NE(g_log.find("Desktop is different\nDesktop is the same\n"), std::string::npos) << g_log;

    // Wine has no "WinSta0_DesktopSwitch": the thread says so and ends.
    g_log.clear();
    g_desktop_changed = 0;
    EXPECT_EQ(DesktopChangeThread(&g_desktop_changed), 0u);
    EXPECT_EQ(g_log, "Unable to open desktop change event: 2\n");
    EXPECT_EQ(g_desktop_changed.load(), 0u);
}

// The display-change library stands in: a version below 4 uses it, 4 and
// later never load it and poll instead.
HANDLE g_lib_event = nullptr;
int g_loads = 0, g_stops = 0;
HANDLE WINAPI FakeStart(const char*) { return g_lib_event; }
BOOL WINAPI FakeRect(LONG* r) {
    const LONG rect[4] = {kLeft + kWidth, kTop + 2, kLeft, kTop + 5};  // reversed edges
    std::memcpy(r, rect, sizeof rect);
    return TRUE;
}
void WINAPI FakeStop() { ++g_stops; }
DWORD g_major = 3;
FARPROC FakeFind(HMODULE, const char* name) {
    void* fn = !std::strcmp(name, "ScrwatchStartViewing")     ? reinterpret_cast<void*>(FakeStart)
               : !std::strcmp(name, "ScrwatchGetChangesRect") ? reinterpret_cast<void*>(FakeRect)
               : !std::strcmp(name, "ScrwatchStopViewing")    ? reinterpret_cast<void*>(FakeStop)
                                                              : nullptr;
    return reinterpret_cast<FARPROC>(fn);
}

std::vector<Rec> Queued() {
    if (!::GetQueueingBufferMutex()) return {};
    std::vector<Rec> recs = Parse(::GetSendBuffer(), ::GetBufferPos());
    ::ReleaseQueueingBufferMutex();
    return recs;
}

void WaitForRectangles(std::size_t n) {
    for (int i = 0; i < 500; ++i) {
        std::size_t done = 0;
        for (const Rec& r : Queued()) done += r.code == kRecRectDone;
        if (done >= n) return;
        Pump(20);
    }
}

TEST(AgentChanges, EitherThreadSendsTheWholeScreenThenTheChanges) {
    g_agent.terminate_event = ::CreateEventA(nullptr, TRUE, FALSE, "RCHOST32 Terminate Event");
    g_agent.viewing_terminated_event = ::CreateEventA(nullptr, TRUE, FALSE, "RCHOST32 Viewing Terminated Event");
    g_agent.data_ready_event = ::CreateEventA(nullptr, TRUE, FALSE, "RCHOST32 Data Ready Event");
    g_agent.zero_bufferpos_event = ::CreateEventA(nullptr, TRUE, FALSE, "RCHOST32 Zero BufferPos Event");
    g_agent.queue_mutex = ::CreateMutexA(nullptr, FALSE, "RCHOST32 Queueing Buffer Mutex");
    ::InitializeCriticalSection(&g_agent.viewing_lock);
    g_lib_event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_scrwatch = ScrwatchCalls{[] { return g_major; },
                               [](const char*) { ++g_loads; return reinterpret_cast<HMODULE>(0x1000); }, FakeFind,
                               [](HMODULE) {}};
    g_agent.running_as_service = true;
    g_relay = RelayCalls{FakeOpen, FakeControl, FakeClose};
    TestWindow();
    AnalyseDisplay(nullptr);

    for (DWORD major : {3u, 4u}) {
        SCOPED_TRACE(major);
        g_major = major;
        g_loads = g_stops = 0;
        g_band_on = false;
        Repaint();
        g_log.clear();
        g_agent.view.connectionAlive = true;
        ActivateChangesThread();
        WaitForRectangles(1);
        if (major == 4) {
            // Started again while it runs (new colour factors): the old
            // thread ends, the viewer's session stays, the new one starts over.
            ::ClearSendBuffer();
            ActivateChangesThread();
            EXPECT_TRUE(g_agent.view.connectionAlive);
            WaitForRectangles(1);
        }
        g_band_on = true;
        g_band = major == 3 ? RGB(0, 0, 255) : RGB(255, 0, 0);
        Repaint();
        ::SetEvent(g_lib_event);
        WaitForRectangles(2);
        ::SetEvent(g_agent.viewing_terminated_event);
        ASSERT_EQ(::WaitForSingleObject(g_agent.changes_thread, 10000), WAIT_OBJECT_0);
        const std::vector<Rec> recs = Queued();
        ::ClearSendBuffer();
        ASSERT_GE(recs.size(), 4u);
        EXPECT_EQ(recs[0].code, kRecPalette);  // the 256 colours of a display without palette
        EXPECT_EQ(recs[1].code, kRecDisplayDimensions);
        EXPECT_EQ(recs[2].code, kRecColourTable);
        std::vector<ScreenRect> done;
        for (const Rec& r : recs)
            if (r.code == kRecRectDone) done.push_back(r.rect);
        const ScreenRect all{0, 0, 1024, 768};
        const ScreenRect band = major == 3 ? ScreenRect{kLeft, kTop + 2, kLeft + kWidth, kTop + 5} : all;
        EXPECT_EQ(done, (std::vector<ScreenRect>{all, band})) << g_log;
        EXPECT_EQ(g_loads, major == 3 ? 1 : 0);
        EXPECT_EQ(g_stops, major == 3 ? 1 : 0);
        EXPECT_NE(g_log.find(major == 3 ? "*** SCRWChangesThread started" : "Changes thread started"),
                  std::string::npos);
        EXPECT_EQ(g_log.find("*** Sending entire screen : iMaxX 1024 iMaxY 768 ***") != std::string::npos, major == 3);
        EXPECT_EQ(g_log.find("Changes thread was already running.") != std::string::npos, major == 4);
        EXPECT_NE(g_log.find(major == 3 ? "*** Leaving ScrwChanges thread" : "LookForChangesThread terminating ("),
                  std::string::npos)
            << g_log;
        ::CloseHandle(g_agent.changes_thread);
        g_agent.changes_thread = nullptr;
    }
}

}  // namespace
