#include "tools/webconsole/frame_encoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "common/le_bytes.h"
#include "tools/rcconsole/png_file.h"

namespace qv::web {

namespace {

// The screen is compared in tiles; changed tiles are merged into
// rectangles of at most kMaxRectWidth x kMaxRectHeight pixels (a page draws
// a large change piece by piece while the rest is still being encoded and
// sent), each then shrunk to the pixels that really changed. Tile and
// rectangle edges are multiples of 8 pixels, so that at 1, 4 and 8 bits a
// pixel they fall on whole bytes of the bitmap's rows.
constexpr int32_t kTileWidth = 32, kTileHeight = 16;
constexpr int32_t kMaxRectWidth = 512, kMaxRectHeight = 256;
// Clean tiles between two changed ones in a row that are sent along rather
// than starting another rectangle (a message and a PNG cost ~100 bytes).
constexpr int32_t kJoinGapTiles = 1;

struct Rect {
    int32_t x0, y0, x1, y1;  // pixels, [x0, x1) x [y0, y1)
};

// The colour of every pixel index of the decoder's depth.
std::vector<rcc::Rgb> ColoursOf(const rcc::ScreenDecoder& s) {
    std::vector<rcc::Rgb> c(std::size_t{1} << s.bit_count());
    for (std::size_t i = 0; i < c.size(); ++i) c[i] = s.Colour(static_cast<uint8_t>(i));
    return c;
}

// The bytes of bitmap row data[] that hold pixels [x0, x1).
std::size_t ByteOf(int32_t x, unsigned bits) { return static_cast<std::size_t>(x) * bits / 8; }
std::size_t ByteEnd(int32_t x, unsigned bits) { return (static_cast<std::size_t>(x) * bits + 7) / 8; }

// Shrinks r to the rows and 8-pixel columns where now differs from was.
bool Shrink(const std::vector<uint8_t>& was, const std::vector<uint8_t>& now, int32_t height, uint32_t stride,
            unsigned bits, int32_t width, Rect* r) {
    int32_t top = -1, bottom = -1;
    std::size_t first = SIZE_MAX, last = 0;
    const std::size_t b0 = ByteOf(r->x0, bits), b1 = ByteEnd(r->x1, bits);
    for (int32_t y = r->y0; y < r->y1; ++y) {
        const std::size_t row = static_cast<std::size_t>(height - 1 - y) * stride;
        const uint8_t* a = was.data() + row;
        const uint8_t* b = now.data() + row;
        if (std::memcmp(a + b0, b + b0, b1 - b0) == 0) continue;
        if (top < 0) top = y;
        bottom = y + 1;
        std::size_t i = b0;
        while (a[i] == b[i]) ++i;
        std::size_t j = b1 - 1;
        while (a[j] == b[j]) --j;
        first = std::min(first, i);
        last = std::max(last, j);
    }
    if (top < 0) return false;
    // Bytes back to pixels, out to multiples of 8.
    const int32_t px0 = static_cast<int32_t>(first * 8 / bits), px1 = static_cast<int32_t>((last + 1) * 8 / bits);
    r->x0 = std::max(r->x0, px0 / 8 * 8);
    r->x1 = std::min({r->x1, (px1 + 7) / 8 * 8, width});
    r->y0 = top;
    r->y1 = bottom;
    return true;
}

// The rectangle's binary message: the header and the PNG of its pixels,
// with a palette of only the colours it uses at the fewest bits that hold
// them.
bool Encode(const rcc::ScreenDecoder& s, const std::vector<rcc::Rgb>& colours, const Rect& r, RectUpdate* u) {
    const int32_t w = r.x1 - r.x0, h = r.y1 - r.y0;
    const unsigned bits = s.bit_count();
    const std::vector<uint8_t>& image = s.bits();
    std::vector<uint8_t> pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    std::array<int16_t, 256> slot;
    slot.fill(-1);
    std::vector<uint8_t> palette;
    std::size_t used = 0;
    const unsigned mask = (1u << bits) - 1;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = image.data() + static_cast<std::size_t>(s.height() - 1 - (r.y0 + y)) * s.stride();
        uint8_t* out = pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
        for (int32_t x = 0; x < w; ++x) {
            const std::size_t bit = static_cast<std::size_t>(r.x0 + x) * bits;
            const uint8_t index =
                bits == 8 ? row[bit / 8]
                          : static_cast<uint8_t>((row[bit / 8] >> (8 - bits - bit % 8)) & mask);  // leftmost high
            if (slot[index] < 0) {
                slot[index] = static_cast<int16_t>(used++);
                const rcc::Rgb c = colours[index];
                palette.insert(palette.end(), {c.r, c.g, c.b});
            }
            out[x] = static_cast<uint8_t>(slot[index]);
        }
    }
    rcc::PngPicture p;
    p.width = static_cast<std::size_t>(w);
    p.height = static_cast<std::size_t>(h);
    p.pixels = pixels.data();
    p.pixels_size = pixels.size();
    p.palette_rgb = palette.data();
    p.palette_size = used;
    p.palette_bits = used <= 2 ? 1 : used <= 4 ? 2 : used <= 16 ? 4 : 8;
    u->x = static_cast<uint16_t>(r.x0);
    u->y = static_cast<uint16_t>(r.y0);
    u->w = static_cast<uint16_t>(w);
    u->h = static_cast<uint16_t>(h);
    u->message.assign(kRectHeaderBytes, 0);
    u->message[0] = kRectMessageKind;
    le::Put16(&u->message[2], u->x);
    le::Put16(&u->message[4], u->y);
    le::Put16(&u->message[6], u->w);
    le::Put16(&u->message[8], u->h);
    std::string error;
    return rcc::EncodePng(p, &u->message, &error);
}

}  // namespace

void FrameEncoder::Forget() {
    valid_ = false;
    held_.clear();
    colours_.clear();
}

std::vector<RectUpdate> FrameEncoder::Changes(const rcc::ScreenDecoder& s) {
    std::vector<RectUpdate> updates;
    // The page draws 16-bit positions; the decoder's sides are far below.
    if (!s.has_image() || s.width() > 0xFFFF || s.height() > 0xFFFF) return updates;
    const int32_t width = s.width(), height = s.height();
    const unsigned bits = s.bit_count();
    const uint32_t stride = s.stride();
    const std::vector<uint8_t>& now = s.bits();
    std::vector<rcc::Rgb> colours = ColoursOf(s);
    // A new page, another screen size or depth, or other colours: the page
    // gets everything again.
    const bool all = !valid_ || width != width_ || height != height_ || bits != bits_ || colours != colours_ ||
                     held_.size() != now.size();

    // The changed tiles, row by row of tiles.
    const int32_t cols = (width + kTileWidth - 1) / kTileWidth, tile_rows = (height + kTileHeight - 1) / kTileHeight;
    std::vector<uint8_t> dirty(static_cast<std::size_t>(cols) * static_cast<std::size_t>(tile_rows), all ? 1 : 0);
    if (!all) {
        const std::size_t used_bytes = ByteEnd(width, bits);
        for (int32_t y = 0; y < height; ++y) {
            const std::size_t row = static_cast<std::size_t>(height - 1 - y) * stride;
            if (std::memcmp(held_.data() + row, now.data() + row, used_bytes) == 0) continue;
            uint8_t* d = &dirty[static_cast<std::size_t>(y / kTileHeight) * static_cast<std::size_t>(cols)];
            for (int32_t c = 0; c < cols; ++c) {
                if (d[c]) continue;
                const std::size_t b0 = ByteOf(c * kTileWidth, bits),
                                  b1 = ByteEnd(std::min(width, (c + 1) * kTileWidth), bits);
                if (std::memcmp(held_.data() + row + b0, now.data() + row + b0, b1 - b0) != 0) d[c] = 1;
            }
        }
    }

    // Runs of changed tiles in each tile row (joined over small gaps, cut
    // at the widest rectangle), stacked onto the rectangle above when it has
    // the same columns and room.
    std::vector<Rect> rects;
    std::vector<std::size_t> open, next_open;  // rectangles ending on the previous tile row
    const int32_t max_run = kMaxRectWidth / kTileWidth;
    for (int32_t tr = 0; tr < tile_rows; ++tr) {
        const uint8_t* d = &dirty[static_cast<std::size_t>(tr) * static_cast<std::size_t>(cols)];
        const int32_t y0 = tr * kTileHeight, y1 = std::min(height, y0 + kTileHeight);
        next_open.clear();
        for (int32_t c = 0; c < cols;) {
            if (!d[c]) {
                ++c;
                continue;
            }
            int32_t end = c + 1;  // one past the last changed tile of the run
            for (int32_t k = end; k < cols && k - c < max_run; ++k) {
                if (d[k]) end = k + 1;
                else if (k - end >= kJoinGapTiles) break;
            }
            const Rect run{c * kTileWidth, y0, std::min(width, end * kTileWidth), y1};
            bool stacked = false;
            for (std::size_t i : open) {
                Rect& r = rects[i];
                if (r.x0 == run.x0 && r.x1 == run.x1 && y1 - r.y0 <= kMaxRectHeight) {
                    r.y1 = y1;
                    next_open.push_back(i);
                    stacked = true;
                    break;
                }
            }
            if (!stacked) {
                next_open.push_back(rects.size());
                rects.push_back(run);
            }
            c = end;
        }
        open.swap(next_open);
    }

    bool failed = false;
    for (Rect r : rects) {
        if (!all && !Shrink(held_, now, height, stride, bits, width, &r)) continue;
        RectUpdate u;
        if (Encode(s, colours, r, &u))
            updates.push_back(std::move(u));
        else
            failed = true;
    }
    // A rectangle that could not be encoded (out of memory) did not reach
    // the page: forgetting makes the next call send the whole picture.
    if (failed) {
        Forget();
        return updates;
    }
    width_ = width;
    height_ = height;
    bits_ = bits;
    colours_ = std::move(colours);
    held_ = now;
    valid_ = true;
    return updates;
}

}  // namespace qv::web
