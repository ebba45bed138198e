#include "agent/screen_codec.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/le_bytes.h"

namespace qv::agent {

const std::array<RgbQuad, 16> kStandard16 = {{
    {0x00, 0x00, 0x00, 0}, {0x00, 0x00, 0x80, 0}, {0x00, 0x80, 0x00, 0}, {0x00, 0x80, 0x80, 0},
    {0x80, 0x00, 0x00, 0}, {0x80, 0x00, 0x80, 0}, {0x80, 0x80, 0x00, 0}, {0x80, 0x80, 0x80, 0},
    {0xC0, 0xC0, 0xC0, 0}, {0x00, 0x00, 0xFF, 0}, {0x00, 0xFF, 0x00, 0}, {0x00, 0xFF, 0xFF, 0},
    {0xFF, 0x00, 0x00, 0}, {0xFF, 0x00, 0xFF, 0}, {0xFF, 0xFF, 0x00, 0}, {0xFF, 0xFF, 0xFF, 0},
}};

namespace {

// The fixed entries of the 8-bit default table, as the bytes blue, green, red.
constexpr uint8_t kFixedLow[10][3] = {
    {0x00, 0x00, 0x00}, {0x80, 0x00, 0x00}, {0x00, 0x80, 0x00}, {0x80, 0x80, 0x00}, {0x00, 0x00, 0x80},
    {0x80, 0x00, 0x80}, {0x00, 0x80, 0x80}, {0xC0, 0xC0, 0xC0}, {0xC0, 0xDC, 0xC0}, {0xA6, 0xCA, 0xF0},
};
constexpr uint8_t kFixedHigh[10][3] = {
    {0xFF, 0xFB, 0xF0}, {0xA0, 0xA0, 0xA4}, {0x80, 0x80, 0x80}, {0xFF, 0x00, 0x00}, {0x00, 0xFF, 0x00},
    {0xFF, 0xFF, 0x00}, {0x00, 0x00, 0xFF}, {0xFF, 0x00, 0xFF}, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF},
};

bool ThreeEqual(const uint8_t* in, std::size_t n, std::size_t p) {
    return p + 2 < n && in[p] == in[p + 1] && in[p] == in[p + 2];
}

void PutRgb(uint8_t* p, const RgbQuad& c) {
    p[0] = c.blue;
    p[1] = c.green;
    p[2] = c.red;
}

}  // namespace

std::size_t RleEncode(const uint8_t* in, std::size_t n, uint8_t* out) {
    std::size_t p = 0, o = 0;
    while (p < n) {
        std::size_t k;
        if (ThreeEqual(in, n, p)) {
            k = 3;
            while (p + k < n && k < kMaxRleBlock && in[p + k] == in[p]) ++k;
            out[o++] = static_cast<uint8_t>(128 + k);
            out[o++] = in[p];
        } else {
            k = 1;
            while (p + k < n && !ThreeEqual(in, n, p + k) && k < kMaxRleBlock) ++k;
            out[o++] = static_cast<uint8_t>(k);
            std::memcpy(out + o, in + p, k);
            o += k;
        }
        p += k;
    }
    return o;
}

bool DeltaCompressData(uint8_t* out, const uint8_t* now, uint8_t* previous, std::size_t* length,
                       AgentEvents* ev) {
    const std::size_t n = *length;
    if (n > kMaxDeltaRow) {
        if (ev) {
            Logf(*ev, "Passed %d bytes to DeltaCompressData, which only handles %d", static_cast<int>(n),
                 static_cast<int>(kMaxDeltaRow));
        }
        return false;
    }
    // Most rows are unchanged: one comparison decides before any XOR work.
    if (n == 0 || std::memcmp(now, previous, n) == 0) return false;
    uint8_t work[kMaxDeltaRow];
    for (std::size_t i = 0; i < n; ++i) work[i] = static_cast<uint8_t>(now[i] ^ previous[i]);
    *length = RleEncode(work, n, out);
    std::memcpy(previous, now, n);
    return true;
}

std::array<RgbQuad, 256> DefaultColourTable() {
    std::array<RgbQuad, 256> t{};
    for (unsigned n = 0; n < 256; ++n) {
        t[n].red = static_cast<uint8_t>(32 * (n % 8));
        t[n].green = static_cast<uint8_t>(32 * ((n / 8) % 8));
        t[n].blue = static_cast<uint8_t>(64 * (n / 64));
    }
    for (unsigned i = 0; i < 10; ++i) {
        t[i] = {kFixedLow[i][0], kFixedLow[i][1], kFixedLow[i][2], 0};
        t[246 + i] = {kFixedHigh[i][0], kFixedHigh[i][1], kFixedHigh[i][2], 0};
    }
    return t;
}

unsigned CaptureBits(unsigned screen_bits, unsigned viewer_colour_bits) {
    if (screen_bits >= 8 && viewer_colour_bits >= 8) return 8;
    return screen_bits < 4 ? 1 : 4;
}

bool PaletteManaged(bool palette_device, unsigned viewer_colour_bits) {
    return palette_device && viewer_colour_bits >= 8;
}

std::vector<uint8_t> BuildBitmapInfo(int32_t width, int32_t height, unsigned bit_count, bool palette_managed) {
    const unsigned colours = 1u << bit_count;
    std::vector<uint8_t> info(kBitmapHeaderSize + 4u * colours, 0);
    uint8_t* h = info.data();
    le::Put32(h + 0, kBitmapHeaderSize);
    le::Put32(h + 4, static_cast<uint32_t>(width));
    le::Put32(h + 8, static_cast<uint32_t>(height));
    le::Put16(h + 12, 1);
    le::Put16(h + 14, static_cast<uint16_t>(bit_count));
    uint8_t* table = h + kBitmapHeaderSize;
    auto put = [&](unsigned i, const RgbQuad& c) {
        PutRgb(table + 4 * i, c);
        table[4 * i + 3] = 0;
    };
    if (bit_count == 1) {
        // Two colours: black and white, so that a monochrome screen keeps both.
        put(0, kStandard16[0]);
        put(1, kStandard16[15]);
    } else if (bit_count == 4) {
        for (unsigned i = 0; i < 16; ++i) put(i, kStandard16[i]);
    } else if (palette_managed) {
        for (unsigned i = 0; i < 256; ++i) le::Put16(table + 2 * i, static_cast<uint16_t>(i));
    } else {
        const auto t = DefaultColourTable();
        for (unsigned i = 0; i < 256; ++i) put(i, t[i]);
    }
    return info;
}

bool NormaliseRect(const CaptureFrame& f, const ScreenRect& in, ScreenRect* out) {
    ScreenRect r = in;
    if (r.right < r.left) std::swap(r.left, r.right);
    if (r.top > r.bottom) std::swap(r.top, r.bottom);
    // A rectangle reaching outside the capture would address memory outside it.
    r.left = std::max(r.left, 0);
    r.top = std::max(r.top, 0);
    r.right = std::min(r.right, f.width);
    r.bottom = std::min(r.bottom, f.height);
    if (r.left >= r.right || r.top >= r.bottom) return false;
    if (f.bit_count < 8) {
        // Whole bytes: the row delta works on bytes; the stride leaves room
        // for the widened right edge.
        const int32_t per_byte = static_cast<int32_t>(8 / f.bit_count);
        r.left -= r.left % per_byte;
        r.right += (per_byte - r.right % per_byte) % per_byte;
    }
    *out = r;
    return true;
}

int SendChanges(const CaptureFrame* frame, const ScreenRect* rect, RecordQueue& queue, StopCheck& stop,
                AgentEvents& ev) {
    if (!frame || (frame->bit_count != 1 && frame->bit_count != 4 && frame->bit_count != 8) ||
        frame->width <= 0 || frame->height <= 0 ||
        frame->stride < CaptureStride(static_cast<uint32_t>(frame->width), frame->bit_count)) {
        Logf(ev, "SC: BAD_PARAM - lpvd %d lpRC %d", frame ? 1 : 0, rect ? 1 : 0);
        return kSendBadArgument;
    }
    if (!frame->bits || !frame->previous) {
        Logf(ev, "SC: No memory");
        return kSendNoMemory;
    }
    const ScreenRect whole{0, 0, frame->width, frame->height};
    ScreenRect r;
    if (!NormaliseRect(*frame, rect ? *rect : whole, &r)) return kSendNothing;

    const unsigned c = frame->bit_count;
    const std::size_t row_bytes = static_cast<std::size_t>(r.right - r.left) * c / 8;
    const std::size_t left_byte = static_cast<std::size_t>(r.left) * c / 8;
    bool sent = false;
    for (int32_t y = r.top; y < r.bottom; ++y) {
        const std::size_t row_start =
            left_byte + static_cast<std::size_t>(frame->height - y - 1) * frame->stride;
        // A row longer than one record allows goes out in several pieces.
        for (std::size_t done = 0; done < row_bytes; done += kMaxDeltaRow) {
            const std::size_t seg = std::min(kMaxDeltaRow, row_bytes - done);
            const std::size_t off = row_start + done;
            if (stop.Stopped()) {
                Logf(ev, "SendChanges returning");
                return kSendStopped;
            }
            uint8_t* rec = queue.Begin(static_cast<uint32_t>(kRowDeltaHead + RleBound(seg)));
            if (!rec) {
                Logf(ev, "Unable to send the changes");
                return kSendStopped;
            }
            std::size_t len = seg;
            if (DeltaCompressData(rec + kRowDeltaHead, frame->bits + off, frame->previous + off, &len, &ev)) {
                rec[0] = kRecRowDelta;
                le::Put32(rec + 1, static_cast<uint32_t>(off));
                le::Put16(rec + 5, static_cast<uint16_t>(len));
                queue.End(static_cast<uint32_t>(kRowDeltaHead + len));
                sent = true;
            } else {
                queue.End(0);
            }
        }
    }
    if (!sent) return kSendNothing;
    if (stop.Stopped()) {
        Logf(ev, "SendChanges terminating");
        return kSendStopped;
    }
    uint8_t* rec = queue.Begin(kRectDoneSize);
    if (!rec) {
        Logf(ev, "Unable to send the changes");
        return kSendStopped;
    }
    rec[0] = kRecRectDone;
    le::Put16(rec + 1, static_cast<uint16_t>(r.left));
    le::Put16(rec + 3, static_cast<uint16_t>(r.top));
    le::Put16(rec + 5, static_cast<uint16_t>(r.right));
    le::Put16(rec + 7, static_cast<uint16_t>(r.bottom));
    queue.End(kRectDoneSize);
    return kSendSent;
}

bool QueueCursor(RecordQueue& q, int16_t x, int16_t y) {
    uint8_t* p = q.Begin(kCursorRecordSize);
    if (!p) return false;
    p[0] = kRecCursor;
    le::Put16(p + 1, static_cast<uint16_t>(x));
    le::Put16(p + 3, static_cast<uint16_t>(y));
    q.End(kCursorRecordSize);
    return true;
}

bool QueueDisplayDimensions(RecordQueue& q, int16_t width, int16_t height, uint8_t colour_bits) {
    uint8_t* p = q.Begin(kDisplayDimensionsSize);
    if (!p) return false;
    p[0] = kRecDisplayDimensions;
    le::Put16(p + 1, static_cast<uint16_t>(width));
    le::Put16(p + 3, static_cast<uint16_t>(height));
    p[5] = colour_bits;
    q.End(kDisplayDimensionsSize);
    return true;
}

uint8_t DisplayColourBits(unsigned planes, unsigned bits_per_pixel, uint32_t display_colours) {
    return static_cast<uint8_t>(display_colours == 16 ? 4 : planes * bits_per_pixel);
}

bool QueuePalette16(RecordQueue& q, const std::array<RgbQuad, 16>& viewer16) {
    uint8_t* p = q.Begin(kPalette16RecordSize);
    if (!p) return false;
    p[0] = kRecPalette16;
    for (std::size_t i = 0; i < 16; ++i) PutRgb(p + 1 + 3 * i, viewer16[i]);
    q.End(kPalette16RecordSize);
    return true;
}

bool QueuePaletteEntries(RecordQueue& q, uint8_t first, const PaletteEntry* e, uint16_t count) {
    if (static_cast<unsigned>(first) + count > 256) return false;
    bool flagged = false;
    for (unsigned i = 0; i < count; ++i) flagged |= (e[i].flags & kPaletteFlagReserved) != 0;
    const std::size_t size = kPaletteRecordHead + (flagged ? 4u : 3u) * count;
    uint8_t* p = q.Begin(static_cast<uint32_t>(size));
    if (!p) return false;
    p[0] = flagged ? kRecPaletteFlags : kRecPalette;
    p[1] = first;
    le::Put16(p + 2, count);
    uint8_t* o = p + kPaletteRecordHead;
    for (unsigned i = 0; i < count; ++i) {
        if (flagged) {
            *o++ = e[i].red;
            *o++ = e[i].green;
            *o++ = e[i].blue;
            *o++ = e[i].flags;
        } else {
            *o++ = e[i].blue;
            *o++ = e[i].green;
            *o++ = e[i].red;
        }
    }
    q.End(static_cast<uint32_t>(size));
    return true;
}

bool QueuePaletteFromTable(RecordQueue& q, uint8_t first, const RgbQuad* table, uint16_t count) {
    if (static_cast<unsigned>(first) + count > 256) return false;
    const std::size_t size = kPaletteRecordHead + 3u * count;
    uint8_t* p = q.Begin(static_cast<uint32_t>(size));
    if (!p) return false;
    p[0] = kRecPalette;
    p[1] = first;
    le::Put16(p + 2, count);
    for (unsigned i = 0; i < count; ++i) PutRgb(p + kPaletteRecordHead + 3 * i, table[i]);
    q.End(static_cast<uint32_t>(size));
    return true;
}

bool QueueColourTable(RecordQueue& q, const std::vector<uint8_t>& info) {
    if (info.size() < kBitmapHeaderSize) return false;
    const std::size_t size = 1 + info.size();
    uint8_t* p = q.Begin(static_cast<uint32_t>(size));
    if (!p) return false;
    p[0] = kRecColourTable;
    std::memcpy(p + 1, info.data(), info.size());
    q.End(static_cast<uint32_t>(size));
    return true;
}

ProbeDecision Decide16ColourProbe(const std::array<uint8_t, 9>& rb, bool forced, bool fix16) {
    auto pixel = [&](unsigned i) -> uint8_t { return (i % 2 == 0) ? rb[i / 2] >> 4 : rb[i / 2] & 0x0F; };
    ProbeDecision d;
    for (unsigned s = 0; s < 16 && !d.broken; ++s) {
        bool found = false;
        for (unsigned i = 0; i < 16; ++i) found |= pixel(i) == s;
        d.broken = !found;
    }
    if (!d.broken && fix16) d.broken = true;
    if (!d.broken || forced) {
        if (rb[0] != 0 || forced) {
            d.table_set = true;
            for (unsigned i = 0; i < 16; ++i) d.viewer16[i] = kStandard16[pixel(i)];
        } else {
            d.broken = true;
        }
    }
    return d;
}

bool Fix16SettingOn(const char* value) {
    if (!value) return false;
    auto same = [](const char* a, const char* b) {
        for (; *a && *b; ++a, ++b)
            if (std::toupper(static_cast<unsigned char>(*a)) != *b) return false;
        return *a == 0 && *b == 0;
    };
    return same(value, "ON") || same(value, "YES");
}

void Apply16ColourProbeTo8Bit(const std::array<uint8_t, 16>& readback8, std::array<PaletteEntry, 256>& table) {
    for (unsigned i = 0; i < 16; ++i) {
        const RgbQuad& c = kStandard16[i];
        table[readback8[i]] = {c.red, c.green, c.blue, 0};
    }
}

}  // namespace qv::agent
