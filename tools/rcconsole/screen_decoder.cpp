#include "tools/rcconsole/screen_decoder.h"

#include <algorithm>

#include "agent/screen_codec.h"
#include "common/le_bytes.h"

namespace qv::rcc {

namespace ag = qv::agent;

namespace {

int32_t S16(const uint8_t* p) { return static_cast<int16_t>(le::Get16(p)); }
int32_t S32(const uint8_t* p) { return static_cast<int32_t>(le::Get32(p)); }

// Bytes of a record's head that say its length.
constexpr std::size_t kColourTableHeadForLength = 17;  // code + header up to the bit count

// The whole length of the record starting at b (have bytes known): 0 while
// more head bytes are needed, -1 for a code or bit count that cannot be.
long long LengthOf(const uint8_t* b, std::size_t have) {
    switch (b[0]) {
    case ag::kRecCursor: return ag::kCursorRecordSize;
    case ag::kRecDisplayDimensions: return ag::kDisplayDimensionsSize;
    case ag::kRecPalette16: return ag::kPalette16RecordSize;
    case ag::kRecRectDone: return ag::kRectDoneSize;
    case ag::kRecPalette:
    case ag::kRecPaletteFlags:
        if (have < ag::kPaletteRecordHead) return 0;
        if (b[1] + le::Get16(b + 2) > 256) return -1;  // no need to collect it first
        return static_cast<long long>(ag::kPaletteRecordHead) +
               (b[0] == ag::kRecPalette ? 3 : 4) * static_cast<long long>(le::Get16(b + 2));
    case ag::kRecRowDelta:
        if (have < ag::kRowDeltaHead) return 0;
        return static_cast<long long>(ag::kRowDeltaHead) + le::Get16(b + 5);
    case ag::kRecColourTable: {
        if (have < kColourTableHeadForLength) return 0;
        const unsigned bits = le::Get16(b + 15);
        if (bits != 1 && bits != 4 && bits != 8) return -1;
        return static_cast<long long>(ag::kColourTableRecordHead) + 4 * (1ll << bits);
    }
    default: return -1;
    }
}

}  // namespace

void ScreenDecoder::Bad() {
    ++bad_;
    lost_ = true;
    pending_.clear();
}

void ScreenDecoder::Feed(const uint8_t* p, std::size_t n, bool queue_start) {
    if (queue_start) {
        // The agent only empties its queue after whole records: a record
        // still open here was cut short.
        if (!pending_.empty() && !lost_) ++bad_;
        pending_.clear();
        lost_ = false;
    }
    std::size_t i = 0;
    while (i < n && !lost_) {
        if (pending_.empty()) {
            // The usual case: the whole record lies in this payload.
            const long long len = LengthOf(p + i, n - i);
            if (len < 0) {
                Bad();
                return;
            }
            if (len > 0 && static_cast<unsigned long long>(len) <= n - i) {
                if (!Apply(p + i, static_cast<std::size_t>(len))) {
                    Bad();
                    return;
                }
                i += static_cast<std::size_t>(len);
                continue;
            }
        }
        pending_.push_back(p[i++]);
        const long long len = LengthOf(pending_.data(), pending_.size());
        if (len < 0) {
            Bad();
            return;
        }
        if (len == 0) continue;
        const std::size_t want = static_cast<std::size_t>(len);
        const std::size_t take = std::min(want - pending_.size(), n - i);
        pending_.insert(pending_.end(), p + i, p + i + take);
        i += take;
        if (pending_.size() == want) {
            const bool ok = Apply(pending_.data(), want);
            pending_.clear();
            if (!ok) {
                Bad();
                return;
            }
        }
    }
}

bool ScreenDecoder::Apply(const uint8_t* rec, std::size_t n) {
    switch (rec[0]) {
    case ag::kRecCursor:
        has_cursor_ = true;
        cursor_x_ = S16(rec + 1);
        cursor_y_ = S16(rec + 3);
        break;
    case ag::kRecDisplayDimensions:
        has_dims_ = true;
        disp_w_ = S16(rec + 1);
        disp_h_ = S16(rec + 3);
        disp_bits_ = rec[5];
        break;
    case ag::kRecPalette16:
        for (std::size_t i = 0; i < 16; ++i) viewer16_[i] = {rec[3 + 3 * i], rec[2 + 3 * i], rec[1 + 3 * i]};
        has_viewer16_ = true;
        break;
    case ag::kRecPalette:
    case ag::kRecPaletteFlags: {
        const unsigned first = rec[1], count = le::Get16(rec + 2);
        if (first + count > 256) return false;
        const uint8_t* e = rec + ag::kPaletteRecordHead;
        for (unsigned i = 0; i < count; ++i) {
            Rgb c = rec[0] == ag::kRecPalette ? Rgb{e[3 * i + 2], e[3 * i + 1], e[3 * i]}
                                              : Rgb{e[4 * i], e[4 * i + 1], e[4 * i + 2]};
            palette_[first + i] = c;
            palette_set_[first + i] = true;
            // The palette check's update of an 8-bit capture's colour table
            // (when the table came as colours rather than indices).
            if (has_image_ && bits_ == 8 && !table_is_indices_) table_[first + i] = c;
        }
        break;
    }
    case ag::kRecColourTable:
        if (!ApplyColourTable(rec, n)) return false;
        break;
    case ag::kRecRowDelta:
        if (!ApplyRowDelta(rec, n)) return false;
        ++row_deltas_;
        break;
    case ag::kRecRectDone:
        ++rects_;
        last_rect_ = {S16(rec + 1), S16(rec + 3), S16(rec + 5), S16(rec + 7)};
        if (has_image_ && last_rect_.left <= 0 && last_rect_.top <= 0 && last_rect_.right >= width_ &&
            last_rect_.bottom >= height_)
            complete_ = true;
        break;
    default:
        return false;
    }
    ++records_;
    return true;
}

bool ScreenDecoder::ApplyColourTable(const uint8_t* rec, std::size_t n) {
    const uint8_t* h = rec + 1;
    const int32_t w = S32(h + 4), ht = S32(h + 8);
    const unsigned bits = le::Get16(h + 14);
    if (le::Get32(h) != ag::kBitmapHeaderSize || le::Get16(h + 12) != 1 || le::Get32(h + 16) != 0) return false;
    if (w <= 0 || ht <= 0 || w > kMaxScreenSide || ht > kMaxScreenSide) return false;
    const uint32_t stride = ag::CaptureStride(static_cast<uint32_t>(w), bits);
    const std::size_t size = static_cast<std::size_t>(stride) * static_cast<std::size_t>(ht);
    if (size > max_image_ || static_cast<std::size_t>(w) * static_cast<std::size_t>(ht) > max_image_) return false;
    const std::size_t colours = (n - ag::kColourTableRecordHead) / 4;
    const uint8_t* t = rec + ag::kColourTableRecordHead;
    table_ = {};
    for (std::size_t i = 0; i < colours; ++i) table_[i] = {t[4 * i + 2], t[4 * i + 1], t[4 * i]};
    // A palette-managed capture's table holds the palette indices 0..255;
    // its pixel colours then come from the palette records.
    table_is_indices_ = bits == 8;
    for (unsigned i = 0; i < 256 && table_is_indices_; ++i) table_is_indices_ = le::Get16(t + 2 * i) == i;
    width_ = w;
    height_ = ht;
    bits_ = bits;
    stride_ = stride;
    // The agent's copy of what the viewer has starts at zero with each table.
    image_.assign(size, 0);
    rows_seen_.assign(static_cast<std::size_t>(ht), false);
    rows_seen_count_ = 0;
    complete_ = false;
    has_image_ = true;
    return true;
}

bool ScreenDecoder::ApplyRowDelta(const uint8_t* rec, std::size_t n) {
    if (!has_image_) return false;
    const std::size_t offset = le::Get32(rec + 1);
    const uint8_t* enc = rec + ag::kRowDeltaHead;
    const std::size_t len = n - ag::kRowDeltaHead;
    // First pass: the decoded length, and every block complete.
    std::size_t decoded = 0;
    for (std::size_t i = 0; i < len;) {
        const uint8_t b = enc[i++];
        const std::size_t count = b & 0x7F;
        const std::size_t body = b >= 128 ? 1 : count;
        if (body > len - i) return false;
        i += body;
        decoded += count;
    }
    if (offset > image_.size() || decoded > image_.size() - offset) return false;
    uint8_t* out = image_.data() + offset;
    for (std::size_t i = 0; i < len;) {
        const uint8_t b = enc[i++];
        const std::size_t count = b & 0x7F;
        if (b >= 128) {
            const uint8_t v = enc[i++];
            for (std::size_t k = 0; k < count; ++k) *out++ ^= v;
        } else {
            for (std::size_t k = 0; k < count; ++k) *out++ ^= enc[i++];
        }
    }
    if (decoded > 0) {
        for (std::size_t r = offset / stride_; r <= (offset + decoded - 1) / stride_; ++r) {
            if (!rows_seen_[r]) {
                rows_seen_[r] = true;
                ++rows_seen_count_;
            }
        }
        if (rows_seen_count_ == rows_seen_.size()) complete_ = true;
    }
    return true;
}

uint8_t ScreenDecoder::PixelIndex(int32_t x, int32_t y) const {
    if (!has_image_ || x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
    const std::size_t row = static_cast<std::size_t>(height_ - 1 - y) * stride_;
    const std::size_t bit = static_cast<std::size_t>(x) * bits_;
    const uint8_t byte = image_[row + bit / 8];
    if (bits_ == 8) return byte;
    const unsigned shift = 8 - bits_ - static_cast<unsigned>(bit % 8);  // leftmost pixel in the high bits
    return static_cast<uint8_t>((byte >> shift) & ((1u << bits_) - 1));
}

Rgb ScreenDecoder::Colour(uint8_t index) const {
    if (bits_ == 8 && table_is_indices_) {
        if (palette_set_[index]) return palette_[index];
        // Entries the agent never sent are the display's fixed colours.
        static const std::array<ag::RgbQuad, 256> fallback = ag::DefaultColourTable();
        const ag::RgbQuad& q = fallback[index];
        return {q.red, q.green, q.blue};
    }
    if (bits_ == 4 && has_viewer16_) return viewer16_[index & 0x0F];
    return table_[index];
}

std::vector<uint8_t> ScreenDecoder::ToRgb() const {
    std::vector<uint8_t> out;
    if (!has_image_) return out;
    out.reserve(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 3);
    for (int32_t y = 0; y < height_; ++y) {
        for (int32_t x = 0; x < width_; ++x) {
            const Rgb c = Colour(PixelIndex(x, y));
            out.push_back(c.r);
            out.push_back(c.g);
            out.push_back(c.b);
        }
    }
    return out;
}

}  // namespace qv::rcc
