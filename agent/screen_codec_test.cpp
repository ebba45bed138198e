// The screen encoder's run-length encoding, rectangles, colour tables and
// long rows; mouse scaling, cursor tracking and key injection.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "agent/input_core.h"
#include "agent/screen_codec.h"
#include "agent/test/fakes.h"
#include "common/le_bytes.h"

namespace qv::agent {
namespace {

using Bytes = std::vector<uint8_t>;

using test::NeverStop;

TEST(ScreenCodec, RunLengthEncoding) {
    const Bytes zeros100(100, 0), same300(300, 7);
    const Bytes mixed = {1, 2, 3, 3, 3, 3};
    const Bytes two_then_run = {5, 5, 6, 6, 6};  // a pair stays literal, three make a run
    struct Case {
        Bytes in, out;
    } cases[] = {
        {zeros100, {0xE4, 0x00}},
        {mixed, {0x02, 0x01, 0x02, 0x84, 0x03}},
        {same300, {0xFF, 7, 0xFF, 7, 0xAE, 7}},
        {two_then_run, {0x02, 5, 5, 0x83, 6}},
    };
    for (const Case& c : cases) {
        Bytes out(RleBound(c.in.size()));
        out.resize(RleEncode(c.in.data(), c.in.size(), out.data()));
        EXPECT_EQ(out, c.out) << c.in.size();
    }
    // No runs at all: the worst case stays within the bound.
    Bytes ramp(kMaxDeltaRow);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i);
    Bytes out(RleBound(ramp.size()));
    EXPECT_LE(RleEncode(ramp.data(), ramp.size(), out.data()), RleBound(ramp.size()));

    // An unchanged row reports no change and leaves the previous copy alone.
    Bytes now(64, 9), prev(64, 9);
    std::size_t len = now.size();
    EXPECT_FALSE(DeltaCompressData(out.data(), now.data(), prev.data(), &len));
    now[10] = 1;
    EXPECT_TRUE(DeltaCompressData(out.data(), now.data(), prev.data(), &len));
    EXPECT_EQ(prev, now);
}

TEST(ScreenCodec, RectangleNormalisation) {
    struct Case {
        unsigned bits;
        ScreenRect in;
        bool nonempty;
        ScreenRect out;
    } cases[] = {
        {4, {3, 0, 7, 2}, true, {2, 0, 8, 2}},
        {4, {7, 5, 3, 1}, true, {2, 1, 8, 5}},      // reversed edges swapped
        {4, {3, 0, 3, 5}, false, {}},               // zero width
        {1, {3, 0, 9, 1}, true, {0, 0, 16, 1}},     // whole bytes at 1 bit
        {8, {3, 0, 7, 1}, true, {3, 0, 7, 1}},
        {4, {-5, -5, 500, 500}, true, {0, 0, 34, 20}},  // kept inside, right edge widened
        {8, {40, 0, 50, 5}, false, {}},             // wholly outside
    };
    for (const Case& c : cases) {
        CaptureFrame f;
        f.width = 33;
        f.height = 20;
        f.bit_count = c.bits;
        ScreenRect r;
        ASSERT_EQ(NormaliseRect(f, c.in, &r), c.nonempty) << c.in.left << " " << c.bits;
        if (c.nonempty) {
            EXPECT_EQ(r, c.out) << c.in.left << " " << c.bits;
        }
    }
    // SendChanges on an empty rectangle queues nothing; the rectangle-done
    // record carries the widened rectangle.
    Bytes bits(CaptureStride(33, 4) * 20, 0x11), prev(bits.size(), 0);
    CaptureFrame f{bits.data(), prev.data(), 33, 20, CaptureStride(33, 4), 4};
    MemoryRecordQueue q;
    NeverStop go;
    test::Events ev;
    const ScreenRect empty{3, 0, 3, 5}, odd{3, 0, 7, 1};
    EXPECT_EQ(SendChanges(&f, &empty, q, go, ev), kSendNothing);
    EXPECT_TRUE(q.bytes.empty());
    EXPECT_EQ(SendChanges(&f, &odd, q, go, ev), kSendSent);
    ASSERT_EQ(q.bytes.size(), 7 + 2 + 9u);  // one row of 3 equal bytes, then 177
    EXPECT_EQ(Bytes(q.bytes.end() - 9, q.bytes.end()), (Bytes{177, 2, 0, 0, 0, 8, 0, 1, 0}));
    EXPECT_EQ(SendChanges(&f, &odd, q, go, ev), kSendNothing);  // already sent
    EXPECT_EQ(SendChanges(nullptr, nullptr, q, go, ev), kSendBadArgument);
}

TEST(ScreenCodec, ColourTablesAndHeader) {
    const auto t = DefaultColourTable();
    EXPECT_EQ(t[1], (RgbQuad{0x80, 0x00, 0x00, 0}));
    EXPECT_EQ(t[9], (RgbQuad{0xA6, 0xCA, 0xF0, 0}));
    EXPECT_EQ(t[246], (RgbQuad{0xFF, 0xFB, 0xF0, 0}));
    EXPECT_EQ(t[255], (RgbQuad{0xFF, 0xFF, 0xFF, 0}));
    EXPECT_EQ(t[100], (RgbQuad{64, 128, 128, 0}));  // the colour cube between
    EXPECT_EQ(kStandard16[1], (RgbQuad{0x00, 0x00, 0x80, 0}));

    // Odd widths keep whole 32-bit words per row, as the system's bitmaps do.
    EXPECT_EQ(CaptureStride(1025, 4), 516u);
    EXPECT_EQ(CaptureStride(33, 1), 8u);
    EXPECT_EQ(CaptureStride(1600, 8), 1600u);
    const Bytes info = BuildBitmapInfo(1025, 768, 8, true);
    ASSERT_EQ(info.size(), 40 + 1024u);
    EXPECT_EQ(le::Get32(&info[4]), 1025u);
    EXPECT_EQ(le::Get32(&info[8]), 768u);
    EXPECT_EQ(le::Get16(&info[14]), 8u);
    EXPECT_EQ(le::Get16(&info[40 + 2 * 200]), 200u);  // palette indices
}

TEST(ScreenCodec, SixteenColourProbe) {
    using RB = std::array<uint8_t, 9>;
    const RB identity = kProbePixels;
    const RB swapped = {0x10, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xF0};  // 0 and 1 exchanged
    const RB lost = {0x00, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xF0};     // index 1 missing
    struct Case {
        RB rb;
        bool forced, fix16, broken, table_set;
    } cases[] = {
        {identity, false, false, false, true}, {identity, false, true, true, false},
        {identity, true, true, true, true},    {swapped, false, false, false, true},
        {lost, false, false, true, false},     {lost, true, false, true, true},
    };
    for (const Case& c : cases) {
        const ProbeDecision d = Decide16ColourProbe(c.rb, c.forced, c.fix16);
        EXPECT_EQ(d.broken, c.broken) << int(c.rb[0]) << c.forced << c.fix16;
        EXPECT_EQ(d.table_set, c.table_set) << int(c.rb[0]) << c.forced << c.fix16;
    }
    // The viewer table follows the read-back.
    EXPECT_EQ(Decide16ColourProbe(swapped, false, false).viewer16[0], kStandard16[1]);
    EXPECT_EQ(Decide16ColourProbe(lost, true, false).viewer16[1], kStandard16[0]);
    EXPECT_TRUE(Fix16SettingOn("yes") && Fix16SettingOn("On"));
    EXPECT_FALSE(Fix16SettingOn("1") || Fix16SettingOn("ONE") || Fix16SettingOn(nullptr));
}

TEST(ScreenCodec, LongRowGoesOutInPieces) {
    constexpr int32_t kWide = 5000;
    Bytes bits(CaptureStride(kWide, 8) * 2, 0), prev(bits.size(), 0);
    std::mt19937 rng(5);
    for (int32_t x = 0; x < kWide; ++x) bits[static_cast<std::size_t>(x)] = static_cast<uint8_t>(rng());
    CaptureFrame f{bits.data(), prev.data(), kWide, 2, CaptureStride(kWide, 8), 8};
    MemoryRecordQueue q;
    NeverStop go;
    test::Events ev;
    ASSERT_EQ(SendChanges(&f, nullptr, q, go, ev), kSendSent);
    // Bottom row of the bitmap = screen row 1: two records, 4096 + 904 bytes.
    std::vector<std::pair<uint32_t, std::size_t>> pieces;
    std::size_t p = 0;
    while (q.bytes[p] == kRecRowDelta) {
        const std::size_t len = le::Get16(&q.bytes[p + 5]);
        EXPECT_LE(len, RleBound(kMaxDeltaRow));
        pieces.emplace_back(le::Get32(&q.bytes[p + 1]), len);
        p += 7 + len;
    }
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].first, 0u);
    EXPECT_EQ(pieces[1].first, 4096u);
    EXPECT_EQ(q.bytes[p], kRecRectDone);
    EXPECT_EQ(prev, bits);
}

TEST(InputCore, MouseScaling) {
    struct Case {
        uint16_t v;
        uint32_t extent, want;
    } cases[] = {{0, 1024, 63}, {1023, 1024, 65534}, {767, 768, 65535 - 1}, {5, 0, 0}};
    for (const Case& c : cases) EXPECT_EQ(ScaleMouse(c.v, c.extent), c.want) << c.v << "/" << c.extent;
    MouseInjection m;
    EXPECT_FALSE(ScaleMouseCommand(1, 10, 10, 0, 0, &m));  // no capture: ignored
    ASSERT_TRUE(ScaleMouseCommand(2, 0, 1023, 1024, 1024, &m));
    EXPECT_EQ(m.flags, 0x8002u);
    EXPECT_EQ(m.y, 65534u);
}

struct FakeCursor : CursorEnv {
    uint32_t now = 1000;
    int32_t x = 10, y = 20;
    std::vector<uint32_t> sleeps;
    std::function<void()> during_sleep;
    uint32_t NowMs() override { return now; }
    void Sleep(uint32_t ms) override {
        sleeps.push_back(ms);
        now += ms;
        if (during_sleep) during_sleep();
    }
    bool CursorPos(int32_t* px, int32_t* py) override {
        *px = x;
        *py = y;
        return true;
    }
};

TEST(InputCore, CursorTrackingTiming) {
    CursorTracker t;
    FakeCursor env;
    MemoryRecordQueue q;
    t.Reset();
    EXPECT_TRUE(t.Track(env, q));  // first pass after a reset reports
    EXPECT_EQ(q.bytes, (Bytes{113, 10, 0, 20, 0}));
    EXPECT_FALSE(t.Track(env, q));  // not moved
    EXPECT_EQ(env.sleeps.size(), 1u);

    // A mouse command: nothing for 500 ms, then one 50 ms pause and a report.
    t.OnMouseCommand(env.now = 2000, true);
    env.x = 30;
    env.now = 2500;
    EXPECT_FALSE(t.Track(env, q));
    env.now = 2501;
    env.sleeps.clear();
    EXPECT_TRUE(t.Track(env, q));
    EXPECT_EQ(env.sleeps, (std::vector<uint32_t>{50}));
    EXPECT_EQ(t.last_x(), 30u);

    // Another command during the pause keeps the position unreported.
    t.OnMouseCommand(env.now = 3000, true);
    env.x = 40;
    env.now = 3600;
    env.during_sleep = [&] { t.OnMouseCommand(env.now, true); };
    EXPECT_FALSE(t.Track(env, q));
    env.during_sleep = nullptr;

    // A refused record is not remembered: the next pass tries again.
    env.now = 5000;
    q.limit = q.bytes.size();
    EXPECT_FALSE(t.Track(env, q));
    q.limit = SIZE_MAX;
    EXPECT_TRUE(t.Track(env, q));
    EXPECT_EQ(t.last_x(), 40u);
}

struct FakeKeys : KeyOutput {
    bool open = false, can_open = true;
    std::vector<std::string> calls;
    bool RelayOpen() override { return open; }
    bool OpenRelay() override {
        calls.push_back("open");
        return open = can_open;
    }
    void CloseRelay() override {
        calls.push_back("close");
        open = false;
    }
    void RelayScan(uint8_t s) override { calls.push_back("relay " + std::to_string(s)); }
    uint8_t MapVirtualKey(uint16_t vk) override { return static_cast<uint8_t>((vk >> 8) + (vk & 0xFF)); }
    void KeybdEvent(uint8_t vk, uint8_t scan, bool up) override {
        calls.push_back("keybd " + std::to_string(vk) + " " + std::to_string(scan) + (up ? " up" : ""));
    }
    void Sleep(uint32_t ms) override { calls.push_back("sleep " + std::to_string(ms)); }
};

TEST(InputCore, KeysAndSecureAttention) {
    using Calls = std::vector<std::string>;
    FakeKeys k;
    InjectKey(k, 0x8041, 0x1E);  // 'A' up, no relay: keybd_event with the mapped scan code
    InjectKey(k, 0x0141, 0x1E);
    EXPECT_EQ(k.calls, (Calls{"keybd 65 65 up", "keybd 65 66"}));
    k.calls.clear();
    EXPECT_TRUE(InjectSecureAttention(k));  // the relay is opened for the sequence only
    EXPECT_EQ(k.calls, (Calls{"open", "relay 17", "relay 18", "relay 46", "sleep 50", "relay 145", "relay 146",
                              "relay 174", "close"}));
    k.calls.clear();
    k.open = true;
    InjectKey(k, 0x41, 0x1E);
    EXPECT_EQ(k.calls, (Calls{"relay 30"}));
    k.open = false;
    k.can_open = false;
    EXPECT_FALSE(InjectSecureAttention(k));
    EXPECT_EQ(RelayInput(0x1E), (std::array<uint8_t, 5>{1, 0, 0x1E, 0, 0}));
}

}  // namespace
}  // namespace qv::agent
