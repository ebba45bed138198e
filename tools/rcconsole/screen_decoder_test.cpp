// The console's screen decoder against the agent's encoder, and against
// records no agent should send.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "agent/screen_codec.h"
#include "agent/test/fakes.h"
#include "tools/rcconsole/screen_decoder.h"

namespace qv::rcc {
namespace {

namespace ag = qv::agent;
using Bytes = std::vector<uint8_t>;

using qv::agent::test::NeverStop;

// The agent's queue handed over as the send path does: 542-byte payloads,
// the first flagged as the queue's start; the queue is then empty.
void Deliver(ag::MemoryRecordQueue& q, ScreenDecoder& dec) {
    for (std::size_t i = 0; i < q.bytes.size(); i += rc::kMaxPayload)
        dec.Feed(q.bytes.data() + i, std::min(rc::kMaxPayload, q.bytes.size() - i), i == 0);
    q.bytes.clear();
}

uint8_t GetPixel(const Bytes& bits, uint32_t stride, int32_t h, unsigned c, int32_t x, int32_t y) {
    const std::size_t bit = static_cast<std::size_t>(x) * c;
    const uint8_t b = bits[static_cast<std::size_t>(h - 1 - y) * stride + bit / 8];
    return static_cast<uint8_t>((b >> (8 - c - bit % 8)) & ((1u << c) - 1));
}

TEST(ScreenDecoder, RoundTripOfRandomFrames) {
    std::mt19937 rng(14);
    struct Case {
        unsigned bits;
        int32_t width;
        bool palette_managed;
    } cases[] = {{1, 37, false}, {4, 61, false}, {8, 45, false}, {8, 4103, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, width " << c.width);
        const int32_t h = 9;
        const uint32_t stride = ag::CaptureStride(static_cast<uint32_t>(c.width), c.bits);
        Bytes bits(stride * h), prev(bits.size(), 0);
        ag::CaptureFrame f{bits.data(), prev.data(), c.width, h, stride, c.bits};
        ag::MemoryRecordQueue q;
        NeverStop go;
        ag::test::Events ev;
        ScreenDecoder dec;

        // Colours: the palette records of a palette-managed capture, the
        // viewer 16-colour table at 4 bits, else the colour table itself.
        std::array<ag::PaletteEntry, 256> pal{};
        for (auto& e : pal) e = {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), 0};
        std::array<ag::RgbQuad, 16> v16 = ag::kStandard16;
        std::reverse(v16.begin(), v16.end());
        ASSERT_TRUE(ag::QueuePaletteEntries(q, 0, pal.data(), 256));
        if (c.bits == 4) {
            ASSERT_TRUE(ag::QueuePalette16(q, v16));
        }
        const Bytes info = ag::BuildBitmapInfo(c.width, h, c.bits, c.palette_managed);
        ASSERT_TRUE(ag::QueueColourTable(q, info));

        for (int round = 0; round < 6; ++round) {
            // Change a random rectangle (or, every other round, random bytes
            // anywhere and poll the whole frame).
            ag::ScreenRect r{static_cast<int32_t>(rng() % c.width), static_cast<int32_t>(rng() % h),
                             static_cast<int32_t>(rng() % c.width), static_cast<int32_t>(rng() % h)};
            const bool whole = round % 2 == 0;
            if (whole) {
                for (auto& b : bits)
                    if (rng() % 4 == 0) b = static_cast<uint8_t>(rng());
            } else {
                ag::ScreenRect n;
                if (ag::NormaliseRect(f, r, &n)) {
                    for (int32_t y = n.top; y < n.bottom; ++y)
                        for (std::size_t i = n.left * c.bits / 8; i < n.right * c.bits / 8; ++i)
                            bits[(h - 1 - y) * stride + i] = static_cast<uint8_t>(rng());
                }
            }
            const int res = ag::SendChanges(&f, whole ? nullptr : &r, q, go, ev);
            ASSERT_TRUE(res == ag::kSendSent || res == ag::kSendNothing) << res;
            Deliver(q, dec);
            ASSERT_EQ(dec.bad_records(), 0u);
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < c.width; ++x)
                    ASSERT_EQ(dec.PixelIndex(x, y), GetPixel(bits, stride, h, c.bits, x, y)) << x << "," << y;
        }
        EXPECT_TRUE(dec.screen_complete());
        const Bytes rgb = dec.ToRgb();
        ASSERT_EQ(rgb.size(), static_cast<std::size_t>(c.width) * h * 3);
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < c.width; ++x) {
                const uint8_t i = GetPixel(bits, stride, h, c.bits, x, y);
                const uint8_t* got = &rgb[(static_cast<std::size_t>(y) * c.width + x) * 3];
                uint8_t want[3];
                if (c.palette_managed) {
                    want[0] = pal[i].red, want[1] = pal[i].green, want[2] = pal[i].blue;
                } else {
                    const ag::RgbQuad q4 = c.bits == 4 ? v16[i] : c.bits == 1 ? ag::kStandard16[i * 15]
                                                                                : ag::DefaultColourTable()[i];
                    want[0] = q4.red, want[1] = q4.green, want[2] = q4.blue;
                }
                ASSERT_EQ(Bytes(got, got + 3), Bytes(want, want + 3)) << x << "," << y;
            }
        }
        // A later palette change updates an 8-bit colour table in place.
        const ag::RgbQuad changed{1, 2, 3, 0};
        ASSERT_TRUE(ag::QueuePaletteFromTable(q, 7, &changed, 1));
        Deliver(q, dec);
        if (c.bits == 8) {
            EXPECT_EQ(dec.Colour(7), (Rgb{3, 2, 1}));
        }
    }
}

TEST(ScreenDecoder, HostileRecordsAreCountedAndSkipped) {
    // A 16 x 4 8-bit image: 64 bytes.
    ag::MemoryRecordQueue setup;
    ASSERT_TRUE(ag::QueueColourTable(setup, ag::BuildBitmapInfo(16, 4, 8, false)));
    Bytes bad_bits = setup.bytes;
    bad_bits[15] = 3;  // 3 bits per pixel
    Bytes zero_width = setup.bytes;
    zero_width[5] = 0;
    Bytes palette_overrun = {121, 250, 10, 0};
    palette_overrun.resize(4 + 30);
    const Bytes cases[] = {
        {175, 64, 0, 0, 0, 2, 0, 1, 0xAA},               // starts past the image
        {175, 60, 0, 0, 0, 2, 0, 0x8A, 0xAA},            // run past the image
        {175, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 1, 0xAA},    // offset wraps
        {175, 0, 0, 0, 0, 2, 0, 5, 1},                   // literal longer than the record
        {0x42, 1, 2, 3},                                 // unknown code
        palette_overrun,
        bad_bits,
        zero_width,
    };
    for (const Bytes& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << int(c[0]) << " size " << c.size());
        ScreenDecoder dec;
        dec.Feed(setup.bytes.data(), setup.bytes.size(), true);
        ASSERT_TRUE(dec.has_image());
        Bytes stream = c;
        stream.insert(stream.end(), {177, 0, 0, 0, 0, 16, 0, 4, 0});  // skipped with the bad record
        dec.Feed(stream.data(), stream.size(), false);
        EXPECT_EQ(dec.bad_records(), 1u);
        EXPECT_EQ(dec.rects_done(), 0u);
        EXPECT_EQ(dec.bits(), Bytes(64, 0));
        EXPECT_EQ(dec.width(), 16);
        const Bytes next = {177, 0, 0, 0, 0, 16, 0, 4, 0};  // the next queue start is read again
        dec.Feed(next.data(), next.size(), true);
        EXPECT_EQ(dec.rects_done(), 1u);
        EXPECT_TRUE(dec.screen_complete());
    }
    // A row delta before any colour table, and a record cut short by a new queue.
    ScreenDecoder dec;
    const Bytes early = {175, 0, 0, 0, 0, 2, 0, 0x83, 1}, cut = {113, 1};
    dec.Feed(early.data(), early.size(), true);
    dec.Feed(cut.data(), cut.size(), true);
    dec.Feed(cut.data(), cut.size(), true);
    EXPECT_EQ(dec.bad_records(), 2u);
    EXPECT_FALSE(dec.has_cursor());
}

}  // namespace
}  // namespace qv::rcc
