// The agent's screen encoding: the records that tell a viewer what the
// screen looks like, the capture format (bitmap header, colour tables,
// stride) and SendChanges, which compares a captured rectangle row by row
// with the copy the viewer already has and queues the exclusive-or
// difference of every changed row, run-length encoded.
//
// Win32 side:
// - The capture bitmap is a device-independent section built from
//   BuildBitmapInfo(); the changes thread copies (BitBlt) the changed
//   rectangle into it, then calls SendChanges with a CaptureFrame over the
//   section's bits and the previous copy.
// - RecordQueue forwards to screenq: Begin = BeginQueueing, End = EndQueueing.
// - StopCheck::Stopped() = the viewing terminated or the terminate event is
//   signalled (a zero-time wait).
// - The 16-colour probe does the GDI work and hands the read-back pixels to
//   Decide16ColourProbe / Apply16ColourProbeTo8Bit.
//
// Every record is written field by field, little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "agent/agent_events.h"

namespace qv::agent {

// Record codes (the first byte of each record in the screen stream).
enum ScreenRecordCode : uint8_t {
    kRecCursor = 113,             // 5: i16 x, i16 y
    kRecPalette = 121,            // 4 + 3n: u8 first, u16 n, n x (blue, green, red)
    kRecDisplayDimensions = 130,  // 6: i16 width, i16 height, u8 colour bits
    kRecPalette16 = 149,          // 49: 16 x (blue, green, red)
    kRecPaletteFlags = 153,       // 4 + 4n: u8 first, u16 n, n x (red, green, blue, flags)
    kRecColourTable = 172,        // 41 + 4 x colours: bitmap header and colour table
    kRecRowDelta = 175,           // 7 + len: u32 byte offset, u16 len, encoded bytes
    kRecRectDone = 177,           // 9: i16 left, top, right, bottom
};

constexpr std::size_t kCursorRecordSize = 5;
constexpr std::size_t kDisplayDimensionsSize = 6;
constexpr std::size_t kPalette16RecordSize = 49;
constexpr std::size_t kPaletteRecordHead = 4;
constexpr std::size_t kRowDeltaHead = 7;
constexpr std::size_t kRectDoneSize = 9;
constexpr std::size_t kBitmapHeaderSize = 40;
constexpr std::size_t kColourTableRecordHead = 1 + kBitmapHeaderSize;  // 41
constexpr uint8_t kPaletteFlagReserved = 0x01;  // flag bit 0 of a palette entry

// The longest row segment one row-delta record carries; a longer segment
// goes out as several records, each with its own byte offset.
constexpr std::size_t kMaxDeltaRow = 4096;
// Runs and literal blocks are at most this long (one control byte each).
constexpr std::size_t kMaxRleBlock = 127;

// Worst-case length of the run-length encoding of n bytes.
constexpr std::size_t RleBound(std::size_t n) { return n + n / kMaxRleBlock + 1; }

// Encodes n bytes into out (room for RleBound(n) bytes); returns the
// encoded length. Control byte b >= 128: the next byte repeated b - 128
// times (runs of 3..127); b < 128: the next b bytes copied (1..127).
std::size_t RleEncode(const uint8_t* in, std::size_t n, uint8_t* out);

// XORs now[0..*length) with previous into a work buffer. When something
// changed: encodes it into out (room for RleBound(*length)), copies now over
// previous, sets *length to the encoded length and returns true. When
// nothing changed, or *length exceeds kMaxDeltaRow (logged through ev when
// given), returns false and leaves previous alone.
bool DeltaCompressData(uint8_t* out, const uint8_t* now, uint8_t* previous, std::size_t* length,
                       AgentEvents* ev = nullptr);

// A colour table entry as in a device-independent bitmap: blue, green, red, 0.
struct RgbQuad {
    uint8_t blue = 0, green = 0, red = 0, reserved = 0;
    friend bool operator==(const RgbQuad&, const RgbQuad&) = default;
};
// A palette entry: red, green, blue, flags.
struct PaletteEntry {
    uint8_t red = 0, green = 0, blue = 0, flags = 0;
    friend bool operator==(const PaletteEntry&, const PaletteEntry&) = default;
};

// The standard 16-colour table (black, dark red, dark green, ..., white).
extern const std::array<RgbQuad, 16> kStandard16;
// The 256-entry table of an 8-bit capture without palette management: a
// 3-3-2 colour cube with the twenty fixed system colours at 0..9 and 246..255.
std::array<RgbQuad, 256> DefaultColourTable();

// Bytes per row of the capture bitmap: whole 32-bit words, as the system
// lays out a device-independent bitmap of that width.
constexpr uint32_t CaptureStride(uint32_t width, unsigned bit_count) {
    return ((width * bit_count + 31u) / 32u) * 4u;
}

// The capture's bits per pixel: 8 when the screen has at least 8 bits and
// the viewer asked for at least 8, else 1 below 4 screen bits, else 4.
unsigned CaptureBits(unsigned screen_bits, unsigned viewer_colour_bits);
// Palette-managed: the display is a palette device and the viewer wants at least 8 bits.
bool PaletteManaged(bool palette_device, unsigned viewer_colour_bits);

// The bitmap info of the capture: the 40-byte header (width, positive height
// = bottom-up, 1 plane, bit_count, no compression) followed by the colour
// table of 2^bit_count entries: the standard table for 1 and 4 bits (black
// and white for 1 bit), the default table for 8 bits, or for a
// palette-managed 8-bit capture the 16-bit palette indices 0..255 (the rest
// of the table zero). The Win32 side passes it to CreateDIBSection as is.
std::vector<uint8_t> BuildBitmapInfo(int32_t width, int32_t height, unsigned bit_count,
                                     bool palette_managed);

// Where the records go (screenq on Win32, a memory buffer in tests).
class RecordQueue {
public:
    virtual ~RecordQueue() = default;
    // size contiguous bytes at the end of the queue, or null when refused.
    virtual uint8_t* Begin(uint32_t size) = 0;
    // Commits size bytes of the reservation; 0 withdraws it.
    virtual void End(uint32_t size) = 0;
};

// A queue in memory (tests and benchmarks): committed records are appended
// to bytes; a reservation that would take bytes past limit is refused.
class MemoryRecordQueue : public RecordQueue {
public:
    std::vector<uint8_t> bytes;
    std::size_t limit = SIZE_MAX;

    uint8_t* Begin(uint32_t size) override {
        if (size > limit || bytes.size() > limit - size) return nullptr;
        scratch_.resize(size);
        return scratch_.data();
    }
    void End(uint32_t size) override {
        if (size > scratch_.size()) size = static_cast<uint32_t>(scratch_.size());
        bytes.insert(bytes.end(), scratch_.begin(), scratch_.begin() + size);
        scratch_.clear();
    }

private:
    std::vector<uint8_t> scratch_;
};

// Whether sending should stop (viewing terminated or terminate signalled).
class StopCheck {
public:
    virtual ~StopCheck() = default;
    virtual bool Stopped() = 0;
};

// One capture: the bottom-up pixel memory the screen was copied into, and
// the previous copy (what the viewer has; the same size, zero at creation).
struct CaptureFrame {
    uint8_t* bits = nullptr;
    uint8_t* previous = nullptr;
    int32_t width = 0, height = 0;
    uint32_t stride = 0;      // CaptureStride(width, bit_count)
    unsigned bit_count = 0;   // 1, 4 or 8
};

struct ScreenRect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    friend bool operator==(const ScreenRect&, const ScreenRect&) = default;
};

enum SendResult : int {
    kSendSent = 0,
    kSendNothing = 1,
    kSendBadArgument = 2,
    kSendNoMemory = 3,
    kSendStopped = 7,  // stopped, or the queue refused a record
};

// The rectangle SendChanges works on: edges swapped when reversed, kept
// inside the frame, and below 8 bits widened outwards to whole bytes (at
// 4 bits an odd left goes down by 1 and an odd right up by 1). False when
// it is empty.
bool NormaliseRect(const CaptureFrame& frame, const ScreenRect& in, ScreenRect* out);

// Sends the changed rows of rect (null: the whole frame): normalised
// (swapped edges), kept inside the frame, widened to whole bytes below
// 8 bits; every changed row segment as row-delta records (at most
// kMaxDeltaRow bytes each), then one rectangle-done record.
int SendChanges(const CaptureFrame* frame, const ScreenRect* rect, RecordQueue& queue, StopCheck& stop,
                AgentEvents& events);

// ---- Records (true when queued) ----
bool QueueCursor(RecordQueue& q, int16_t x, int16_t y);
bool QueueDisplayDimensions(RecordQueue& q, int16_t width, int16_t height, uint8_t colour_bits);
// The colour bits record 130 carries: 4 for a 16-colour display, else planes x bits.
uint8_t DisplayColourBits(unsigned planes, unsigned bits_per_pixel, uint32_t display_colours);
bool QueuePalette16(RecordQueue& q, const std::array<RgbQuad, 16>& viewer16);
// Palette entries first..first+count-1: record 153 when any entry has flag
// bit 0, else 121. False also when first + count exceeds 256.
bool QueuePaletteEntries(RecordQueue& q, uint8_t first, const PaletteEntry* entries, uint16_t count);
// Record 121 from colour table entries (the palette check's 256 entries).
bool QueuePaletteFromTable(RecordQueue& q, uint8_t first, const RgbQuad* table, uint16_t count);
// Record 172: the bitmap info as built by BuildBitmapInfo (41 + 4 x colours bytes).
bool QueueColourTable(RecordQueue& q, const std::vector<uint8_t>& bitmap_info);

// ---- The 16-colour probe ----
// The probe image: 17 pixels at 4 bits, indices 0..15, 15, 0.
constexpr std::array<uint8_t, 9> kProbePixels = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xF0};

struct ProbeDecision {
    bool broken = false;
    bool table_set = false;              // viewer16 was filled from the read-back
    std::array<RgbQuad, 16> viewer16{};  // valid when table_set
};
// readback4: the probe bitmap read back as a 4-bit image (9 bytes).
// fix16: the "Fix16ColorBitmaps" setting is "ON" or "YES".
ProbeDecision Decide16ColourProbe(const std::array<uint8_t, 9>& readback4, bool forced, bool fix16);
// True for "ON" or "YES" in any case.
bool Fix16SettingOn(const char* value);
// For a display without palette: the first 16 pixels read back as 8-bit
// indices; the agent palette table gets the standard colour of each pixel's
// source index at that index.
void Apply16ColourProbeTo8Bit(const std::array<uint8_t, 16>& readback8, std::array<PaletteEntry, 256>& table);

}  // namespace qv::agent
