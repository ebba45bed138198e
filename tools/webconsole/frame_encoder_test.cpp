// The frame encoder against the agent's own encoder: the page's copy, built
// only from the encoder's messages, must equal the console's picture.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "agent/screen_codec.h"
#include "agent/test/fakes.h"
#include "tools/webconsole/frame_encoder.h"
#include "tools/webconsole/test_page.h"

namespace qv::web {
namespace {

namespace ag = qv::agent;
using Bytes = std::vector<uint8_t>;

using qv::agent::test::NeverStop;

TEST(FrameEncoder, PageCopyFollowsTheScreen) {
    std::mt19937 rng(16);
    for (const unsigned bits : {4u, 8u}) {
        SCOPED_TRACE(testing::Message() << bits << " bits");
        // Wider and taller than the largest rectangle, with sides that are
        // not multiples of the tiles.
        const int32_t w = 1203, h = 301;
        const uint32_t stride = ag::CaptureStride(w, bits);
        Bytes screen(stride * h), prev(screen.size(), 0);
        ag::CaptureFrame f{screen.data(), prev.data(), w, h, stride, bits};
        ag::MemoryRecordQueue q;
        NeverStop go;
        ag::test::Events ev;
        rcc::ScreenDecoder dec;
        auto deliver = [&] {
            for (std::size_t i = 0; i < q.bytes.size(); i += rc::kMaxPayload)
                dec.Feed(q.bytes.data() + i, std::min(rc::kMaxPayload, q.bytes.size() - i), i == 0);
            q.bytes.clear();
            ASSERT_EQ(dec.bad_records(), 0u);
        };
        ASSERT_TRUE(ag::QueueColourTable(q, ag::BuildBitmapInfo(w, h, bits, bits == 8)));
        for (auto& b : screen) b = static_cast<uint8_t>(rng());
        ASSERT_EQ(ag::SendChanges(&f, nullptr, q, go, ev), ag::kSendSent);
        deliver();

        FrameEncoder enc;
        Bytes page(static_cast<std::size_t>(w) * h * 3, 0);
        // Each step changes the screen (or not) and says how much of it the
        // updates may cover at most.
        struct Step {
            const char* what;
            int rects;          // random small rectangles changed
            bool palette;       // colours changed (8 bits)
            bool forget;        // a new page
            double max_share;   // of the screen's area sent
        } steps[] = {
            {"first picture", 0, false, false, 1.0}, {"static", 0, false, false, 0.0},
            {"typing", 1, false, false, 0.02},       {"scattered", 12, false, false, 0.3},
            {"static again", 0, false, false, 0.0},  {"colours", 0, true, false, 1.0},
            {"new page", 0, false, true, 1.0},       {"after that", 3, false, false, 0.1},
        };
        for (const Step& s : steps) {
            SCOPED_TRACE(s.what);
            for (int k = 0; k < s.rects; ++k) {
                ag::ScreenRect r{static_cast<int32_t>(rng() % (w - 20)), static_cast<int32_t>(rng() % (h - 20)), 0, 0};
                r.right = r.left + 1 + static_cast<int32_t>(rng() % 12);
                r.bottom = r.top + 1 + static_cast<int32_t>(rng() % 16);
                for (int32_t y = r.top; y < r.bottom; ++y)
                    for (std::size_t i = r.left * bits / 8; i <= (r.right - 1) * bits / 8; ++i)
                        screen[(h - 1 - y) * stride + i] ^= static_cast<uint8_t>(1 + rng() % 255);
                ASSERT_EQ(ag::SendChanges(&f, &r, q, go, ev), ag::kSendSent);
            }
            if (s.palette && bits == 8) {
                const ag::RgbQuad c{9, 8, 7, 0};
                ASSERT_TRUE(ag::QueuePaletteFromTable(q, 5, &c, 1));
            }
            deliver();
            if (s.forget) {
                enc.Forget();
                std::fill(page.begin(), page.end(), 0x55);
            }
            std::size_t area = 0;
            for (const RectUpdate& u : enc.Changes(dec)) {
                EXPECT_LE(u.w, 512);
                EXPECT_LE(u.h, 256);
                area += static_cast<std::size_t>(u.w) * u.h;
                test::Draw(u.message, w, &page);
            }
            ASSERT_EQ(page, dec.ToRgb());
            EXPECT_LE(area, s.max_share * w * h);
            if (s.rects) {
                EXPECT_GT(area, 0u);
            }
        }
    }
}

}  // namespace
}  // namespace qv::web
