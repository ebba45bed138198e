// The scripted screens of the screen benchmarks: a 1920 x 1080 desktop with
// a window on it, and three scenes played poll by poll on top of it: text
// typed into the window (100 keystrokes), a 400 x 300 window dragged across
// the screen (60 steps) and a static screen (400 polls, 10 s at 25 ms).
//
// A Screen is the agent's capture bitmap (bottom-up rows) at 8 or 4 bits,
// with the previous copy SendChanges compares against. The scenes draw with
// indices of the 8-bit default colour table; at 4 bits each becomes the
// nearest of the 16 standard colours, as the system does when it copies the
// screen into a 16-colour bitmap.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "agent/screen_codec.h"

namespace qv::bench {

constexpr int32_t kSceneW = 1920, kSceneH = 1080;

// The 16-colour index shown for each 8-bit default-table index.
inline const std::array<uint8_t, 256>& Nearest16() {
    static const std::array<uint8_t, 256> map = [] {
        std::array<uint8_t, 256> m{};
        const auto table = agent::DefaultColourTable();
        for (int i = 0; i < 256; ++i) {
            int best = 0, best_d = 1 << 30;
            for (int k = 0; k < 16; ++k) {
                const auto& a = table[static_cast<std::size_t>(i)];
                const auto& b = agent::kStandard16[static_cast<std::size_t>(k)];
                const int dr = a.red - b.red, dg = a.green - b.green, db = a.blue - b.blue;
                const int d = dr * dr + dg * dg + db * db;
                if (d < best_d) best_d = d, best = k;
            }
            m[static_cast<std::size_t>(i)] = static_cast<uint8_t>(best);
        }
        return m;
    }();
    return map;
}

// A screen in screen coordinates (top-down) over the bottom-up bitmap.
struct Screen {
    explicit Screen(unsigned bit_count = 8)
        : bits_per_pixel(bit_count), stride(agent::CaptureStride(kSceneW, bit_count)),
          bits(static_cast<std::size_t>(stride) * kSceneH), prev(bits.size()) {}

    unsigned bits_per_pixel;
    uint32_t stride;
    std::vector<uint8_t> bits, prev;

    std::size_t RowOffset(int32_t y) const { return static_cast<std::size_t>(kSceneH - 1 - y) * stride; }
    // Paints (x, y) with an 8-bit default-table colour.
    void Set(int32_t x, int32_t y, uint8_t colour) {
        if (bits_per_pixel == 8) {
            bits[RowOffset(y) + static_cast<std::size_t>(x)] = colour;
            return;
        }
        uint8_t& b = bits[RowOffset(y) + static_cast<std::size_t>(x / 2)];
        const uint8_t c = Nearest16()[colour];
        b = (x & 1) ? static_cast<uint8_t>((b & 0xF0) | c) : static_cast<uint8_t>((b & 0x0F) | (c << 4));
    }
    // Copies pixel (x, y) of another screen of the same depth.
    void CopyPixel(const Screen& from, int32_t x, int32_t y) {
        if (bits_per_pixel == 8) {
            bits[RowOffset(y) + static_cast<std::size_t>(x)] = from.bits[RowOffset(y) + static_cast<std::size_t>(x)];
            return;
        }
        const std::size_t o = RowOffset(y) + static_cast<std::size_t>(x / 2);
        const uint8_t mask = (x & 1) ? 0x0F : 0xF0;
        bits[o] = static_cast<uint8_t>((bits[o] & ~mask) | (from.bits[o] & mask));
    }
    agent::CaptureFrame frame() { return {bits.data(), prev.data(), kSceneW, kSceneH, stride, bits_per_pixel}; }
};

// A desktop: a gently patterned background with a few icons.
inline uint8_t Background(int32_t x, int32_t y) {
    if (x % 120 < 32 && y % 100 < 32 && x < 240) return static_cast<uint8_t>(20 + (x / 120) * 3 + (y / 100));
    return static_cast<uint8_t>(6 + ((x / 64 + y / 64) & 1));
}
// A window: title bar, border, white client area with lines of "text".
inline uint8_t WindowPixel(int32_t x, int32_t y, int32_t w, int32_t h) {
    if (y < 20) return 252;
    if (x < 2 || y >= h - 2 || x >= w - 2) return 248;
    const int32_t cy = (y - 20) % 18, cx = x % 9;
    if (y > 30 && cy > 3 && cy < 14 && cx < 7 && ((x / 9 * 7 + y / 18 * 13) % 11) > 2 && ((x * 31 + y * 17) % 5) < 2)
        return 0;
    return 255;
}

inline void DrawWindow(Screen& s, int32_t left, int32_t top, int32_t w, int32_t h) {
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            if (left + x >= 0 && left + x < kSceneW && top + y >= 0 && top + y < kSceneH)
                s.Set(left + x, top + y, WindowPixel(x, y, w, h));
}
// The desktop every scene starts from: the background and a 900 x 600 window.
inline void DrawDesk(Screen& s) {
    for (int32_t y = 0; y < kSceneH; ++y)
        for (int32_t x = 0; x < kSceneW; ++x) s.Set(x, y, Background(x, y));
    DrawWindow(s, 300, 200, 900, 600);
}

// A scene: from the desk, the picture the viewer already holds (setup), then
// before poll i (0-based) the change step(i) draws.
struct SceneScript {
    const char* name;
    int polls;
    void (*setup)(Screen& s);
    void (*step)(Screen& s, const Screen& desk, int i);
};

namespace scene_detail {
constexpr int32_t kDragW = 400, kDragH = 300;
inline int32_t DragX(int step) { return 100 + step * 20; }
inline int32_t DragY(int step) { return 100 + step * 8; }

inline void NoSetup(Screen&) {}
inline void TypeKey(Screen& s, const Screen&, int k) {
    const int32_t gx = 310 + (k % 90) * 9, gy = 240 + (k / 90) * 18;
    for (int32_t y = 0; y < 14; ++y)
        for (int32_t x = 0; x < 7; ++x)
            if (((x * 7 + y * 3 + k) % 5) < 2) s.Set(gx + x, gy + y, 0);
}
inline void DragSetup(Screen& s) { DrawWindow(s, DragX(0), DragY(0), kDragW, kDragH); }
// Step i moves the window from position i to i + 1: the desk comes back
// where it was, and it is drawn at the new place.
inline void DragStep(Screen& s, const Screen& desk, int i) {
    const int32_t ox = DragX(i), oy = DragY(i);
    for (int32_t y = oy; y < oy + kDragH; ++y)
        for (int32_t x = ox; x < ox + kDragW; ++x) s.CopyPixel(desk, x, y);
    DrawWindow(s, DragX(i + 1), DragY(i + 1), kDragW, kDragH);
}
inline void Still(Screen&, const Screen&, int) {}
}  // namespace scene_detail

inline const std::array<SceneScript, 3>& Scenes() {
    using namespace scene_detail;
    static const std::array<SceneScript, 3> scenes = {{
        {"typing, 100 keystrokes", 100, NoSetup, TypeKey},
        {"window drag, 60 steps", 60, DragSetup, DragStep},
        {"static screen, 400 polls", 400, NoSetup, Still},
    }};
    return scenes;
}

}  // namespace qv::bench
