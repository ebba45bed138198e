// colorwin: a window of known content for the end-to-end test of remote
// viewing and input.
//
//   colorwin --log FILE [--at X Y] [--change FILE] [--seconds S]
//
// A topmost popup of 160 x 120 pixels at screen position X, Y (default 200,
// 150), painted in eight vertical stripes of 20 pixels in the pure colours
// red, green, blue, yellow, magenta, cyan, white and black: colours that
// every capture table holds exactly (the 16-colour table and the 256-colour
// default table alike). Once the --change file exists (checked every 100
// ms) the band of rows 40 to 59 is painted with the stripes in reverse
// order; nothing else changes. Its cursor is invisible, so that no pointer
// image lands in a screenshot over it.
//
// It takes the focus and appends to the log, one line each:
//   "ready"         shown, painted and focused
//   "char 0xNN"     each WM_CHAR it receives
//   "mouse X Y"     the pointer's screen position on each WM_MOUSEMOVE
//   "changed"       the band was repainted
// The window closes itself after S seconds (default 600).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kWidth = 160, kHeight = 120, kStripe = 20;
constexpr int kBandTop = 40, kBandBottom = 60;
constexpr UINT_PTR kCheckTimer = 1, kEndTimer = 2;
constexpr UINT kCheckMs = 100;

const COLORREF kStripes[8] = {RGB(255, 0, 0),   RGB(0, 255, 0),   RGB(0, 0, 255),     RGB(255, 255, 0),
                              RGB(255, 0, 255), RGB(0, 255, 255), RGB(255, 255, 255), RGB(0, 0, 0)};

const char* g_log = nullptr;
const char* g_change = nullptr;
bool g_changed = false;

void Log(const char* fmt, int a = 0, int b = 0) {
    if (std::FILE* f = std::fopen(g_log, "ab")) {
        std::fprintf(f, fmt, a, b);
        std::fputc('\n', f);
        std::fclose(f);
    }
}

void Paint(HDC dc) {
    for (int i = 0; i < 8; ++i) {
        for (int part = 0; part < 3; ++part) {
            const int top = part == 0 ? 0 : part == 1 ? kBandTop : kBandBottom;
            const int bottom = part == 0 ? kBandTop : part == 1 ? kBandBottom : kHeight;
            const bool reversed = part == 1 && g_changed;
            HBRUSH brush = ::CreateSolidBrush(kStripes[reversed ? 7 - i : i]);
            RECT r{i * kStripe, top, (i + 1) * kStripe, bottom};
            ::FillRect(dc, &r, brush);
            ::DeleteObject(brush);
        }
    }
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = ::BeginPaint(hwnd, &ps);
        Paint(dc);
        ::EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_CHAR:
        Log("char 0x%02x", static_cast<int>(wp & 0xFFFF));
        return 0;
    case WM_MOUSEMOVE: {
        POINT p{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
        ::ClientToScreen(hwnd, &p);
        Log("mouse %d %d", p.x, p.y);
        return 0;
    }
    case WM_TIMER:
        if (wp == kEndTimer) {
            ::DestroyWindow(hwnd);
        } else if (g_change && !g_changed && ::GetFileAttributesA(g_change) != INVALID_FILE_ATTRIBUTES) {
            g_changed = true;
            RECT band{0, kBandTop, kWidth, kBandBottom};
            ::InvalidateRect(hwnd, &band, FALSE);
            ::UpdateWindow(hwnd);
            ::GdiFlush();
            Log("changed");
        }
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcA(hwnd, msg, wp, lp);
}

int Usage(const char* problem) {
    std::fprintf(stderr, "colorwin: %s\nusage: colorwin --log FILE [--at X Y] [--change FILE] [--seconds S]\n",
                 problem);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int x = 200, y = 150, seconds = 600;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--log") && i + 1 < argc) {
            g_log = argv[++i];
        } else if (!std::strcmp(argv[i], "--change") && i + 1 < argc) {
            g_change = argv[++i];
        } else if (!std::strcmp(argv[i], "--at") && i + 2 < argc) {
            x = std::atoi(argv[++i]);
            y = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else {
            return Usage("unknown or incomplete option");
        }
    }
    if (!g_log) return Usage("--log is required");

    HINSTANCE inst = ::GetModuleHandleA(nullptr);
    // An invisible pointer: all AND bits set, all XOR bits clear.
    BYTE and_mask[32 * 4], xor_mask[32 * 4];
    std::memset(and_mask, 0xFF, sizeof and_mask);
    std::memset(xor_mask, 0, sizeof xor_mask);
    WNDCLASSA wc{};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = inst;
    wc.hCursor = ::CreateCursor(inst, 0, 0, 32, 32, and_mask, xor_mask);
    wc.lpszClassName = "QvColorWin";
    if (!::RegisterClassA(&wc)) return 1;
    HWND hwnd = ::CreateWindowExA(WS_EX_TOPMOST, wc.lpszClassName, "colorwin", WS_POPUP, x, y, kWidth, kHeight,
                                  nullptr, nullptr, inst, nullptr);
    if (!hwnd) {
        std::fprintf(stderr, "colorwin: no window (error %lu; is there a display?)\n", ::GetLastError());
        return 1;
    }
    ::ShowWindow(hwnd, SW_SHOW);
    ::UpdateWindow(hwnd);
    ::SetForegroundWindow(hwnd);
    ::SetFocus(hwnd);
    ::GdiFlush();
    ::SetTimer(hwnd, kCheckTimer, kCheckMs, nullptr);
    ::SetTimer(hwnd, kEndTimer, static_cast<UINT>(seconds) * 1000u, nullptr);
    Log("ready");
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return 0;
}
