// The console's picture of the agent's screen: the records of the data
// packets' payloads (agent/screen_codec.h) applied to a framebuffer.
//
// Feed it the payloads of the data packets in sequence order with their
// "queue start" flag (rc::kFlagQueueStart); records may span packets.
// Nothing here trusts the agent: every field is checked before it is used
// (sizes, palette ranges, a row delta's offset plus decoded length within
// the image, runs within the output). A bad record is counted and the rest
// of the stream is skipped up to the next queue-start packet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv::rcc {

// The largest image the decoder accepts (bytes of the bottom-up bitmap, and
// pixels, which bounds ToRgb()).
constexpr std::size_t kMaxScreenImageBytes = 64u << 20;
constexpr int32_t kMaxScreenSide = 16384;

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

struct DecodedRect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
};

class ScreenDecoder {
public:
    explicit ScreenDecoder(std::size_t max_image_bytes = kMaxScreenImageBytes) : max_image_(max_image_bytes) {}

    void Feed(const uint8_t* payload, std::size_t n, bool queue_start);

    // The image (after a colour table record 172).
    bool has_image() const { return has_image_; }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    unsigned bit_count() const { return bits_; }
    uint32_t stride() const { return stride_; }
    const std::vector<uint8_t>& bits() const { return image_; }  // bottom-up rows
    // The pixel index at (x, y), y counted from the top; 0 outside.
    uint8_t PixelIndex(int32_t x, int32_t y) const;
    // The colour shown for a pixel index.
    Rgb Colour(uint8_t index) const;
    // The whole image top-down, 3 bytes (red, green, blue) per pixel.
    std::vector<uint8_t> ToRgb() const;

    // Record 130.
    bool has_dimensions() const { return has_dims_; }
    int32_t display_width() const { return disp_w_; }
    int32_t display_height() const { return disp_h_; }
    unsigned display_colour_bits() const { return disp_bits_; }

    // Records 177: how many, the last one, and whether a full screen is
    // complete (a rectangle covering the whole image, or every row received
    // since the colour table).
    uint64_t rects_done() const { return rects_; }
    DecodedRect last_rect() const { return last_rect_; }
    bool screen_complete() const { return complete_; }

    // Record 113.
    bool has_cursor() const { return has_cursor_; }
    int32_t cursor_x() const { return cursor_x_; }
    int32_t cursor_y() const { return cursor_y_; }

    uint64_t records() const { return records_; }
    uint64_t row_deltas() const { return row_deltas_; }
    uint64_t bad_records() const { return bad_; }

private:
    bool Apply(const uint8_t* rec, std::size_t n);
    bool ApplyColourTable(const uint8_t* rec, std::size_t n);
    bool ApplyRowDelta(const uint8_t* rec, std::size_t n);
    void Bad();

    std::size_t max_image_;
    std::vector<uint8_t> pending_;  // the record being collected
    bool lost_ = false;             // skipping to the next queue start

    bool has_image_ = false;
    int32_t width_ = 0, height_ = 0;
    unsigned bits_ = 0;
    uint32_t stride_ = 0;
    std::vector<uint8_t> image_;
    std::array<Rgb, 256> table_{};       // the colour table of record 172
    bool table_is_indices_ = false;      // palette-managed: the table holds palette indices
    std::array<Rgb, 256> palette_{};     // records 121 and 153
    std::array<bool, 256> palette_set_{};
    std::array<Rgb, 16> viewer16_{};     // record 149
    bool has_viewer16_ = false;
    std::vector<bool> rows_seen_;
    std::size_t rows_seen_count_ = 0;

    bool has_dims_ = false;
    int32_t disp_w_ = 0, disp_h_ = 0;
    unsigned disp_bits_ = 0;
    uint64_t rects_ = 0;
    DecodedRect last_rect_{};
    bool complete_ = false;
    bool has_cursor_ = false;
    int32_t cursor_x_ = 0, cursor_y_ = 0;
    uint64_t records_ = 0, row_deltas_ = 0, bad_ = 0;
};

}  // namespace qv::rcc
