// The picture the page draws, kept in step with the console's picture of the
// remote screen: only the rectangles that changed since the page was last
// brought up to date are sent, each as one binary WebSocket message (a small
// header and the rectangle as a PNG with the decoder's colours).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/rcconsole/screen_decoder.h"

namespace qv::web {

// The binary message of one rectangle: kind, 0, x, y, width, height (little-
// endian 16-bit), then the PNG.
constexpr uint8_t kRectMessageKind = 1;
constexpr std::size_t kRectHeaderBytes = 10;

struct RectUpdate {
    uint16_t x = 0, y = 0, w = 0, h = 0;
    std::vector<uint8_t> message;  // the whole binary WS message
};

class FrameEncoder {
public:
    // The rectangles where the decoder's picture differs from what the page holds, each encoded as one
    // binary message; afterwards the page is taken to hold the decoder's picture. Nothing when equal.
    std::vector<RectUpdate> Changes(const rcc::ScreenDecoder& screen);
    void Forget();  // the page holds nothing (new page): the next Changes sends the whole picture

private:
    // What the page holds: the decoder's bitmap as it was sent, and the
    // colour of each pixel index then.
    int32_t width_ = 0, height_ = 0;
    unsigned bits_ = 0;
    std::vector<uint8_t> held_;
    std::vector<rcc::Rgb> colours_;
    bool valid_ = false;
};

}  // namespace qv::web
