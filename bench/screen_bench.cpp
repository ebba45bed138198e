// screen_bench: the agent's screen encoding at 1920 x 1080, 8 bits.
//
//   screen_bench [--polls N]
//
// 1. The cost of one poll's row comparison (SendChanges over the whole
//    frame): unchanged, and with a few changed rows, beside a plain memcpy
//    + memcmp of the same frame in the same run.
// 2. Bytes on the wire for three scripted scenes: text typed into a window
//    (100 keystrokes), a 400 x 300 window dragged across the screen (60
//    steps) and a static screen polled for 10 s (400 polls at 25 ms). For
//    each: the raw frame bytes of the frames that changed, the records the
//    encoder queued, and zlib level 6 over the same row deltas (each poll's
//    changed rows XORed with what the viewer had, compressed as one block).
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/screen_codec.h"
#include "bench/screen_scenes.h"

namespace {

using namespace qv::agent;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
namespace bench = qv::bench;

constexpr int32_t kW = bench::kSceneW, kH = bench::kSceneH;
constexpr uint32_t kStride = CaptureStride(kW, 8);
using bench::Screen;

struct Quiet : AgentEvents {
    void Line(const char*) override {}
    void Audit(int, bool, const char*) override {}
};
struct NeverStop : StopCheck {
    bool Stopped() override { return false; }
};

struct Tally {
    uint64_t polls = 0, changed = 0, raw = 0, encoded = 0, zlib = 0;
    double seconds = 0;
};

// One poll of the whole screen: the row deltas for zlib first, then the encoder.
void Poll(Screen& s, Tally& t) {
    Bytes deltas;
    for (int32_t r = 0; r < kH; ++r) {
        const std::size_t o = static_cast<std::size_t>(r) * kStride;
        if (std::memcmp(&s.bits[o], &s.prev[o], kStride) == 0) continue;
        for (uint32_t i = 0; i < kStride; ++i) deltas.push_back(static_cast<uint8_t>(s.bits[o + i] ^ s.prev[o + i]));
    }
    MemoryRecordQueue q;
    NeverStop go;
    Quiet ev;
    const CaptureFrame f = s.frame();
    const auto t0 = Clock::now();
    const int res = SendChanges(&f, nullptr, q, go, ev);
    t.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    ++t.polls;
    if (res != kSendSent) return;
    ++t.changed;
    t.raw += s.bits.size();
    t.encoded += q.bytes.size();
    uLongf zlen = compressBound(deltas.size());
    Bytes z(zlen);
    if (compress2(z.data(), &zlen, deltas.data(), deltas.size(), 6) == Z_OK) t.zlib += zlen;
}

void PrintScene(const char* name, const Tally& t) {
    std::printf("%-28s %6llu %8llu %14llu %12llu %12llu %9.3f\n", name, static_cast<unsigned long long>(t.polls),
                static_cast<unsigned long long>(t.changed), static_cast<unsigned long long>(t.raw),
                static_cast<unsigned long long>(t.encoded), static_cast<unsigned long long>(t.zlib),
                t.polls ? t.seconds * 1000 / static_cast<double>(t.polls) : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    int polls = 200;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--polls" && i + 1 < argc) {
            polls = std::max(1, std::atoi(argv[++i]));
        } else {
            std::printf("usage: screen_bench [--polls N]\n"
                        "Cost of the row comparison and bytes on the wire of the screen encoder, 1920x1080 8 bits.\n");
            return a == "--help" || a == "-h" ? 0 : 2;
        }
    }

    // 1. Comparison cost.
    Screen s;
    bench::DrawDesk(s);
    s.prev = s.bits;
    MemoryRecordQueue q;
    NeverStop go;
    Quiet ev;
    const CaptureFrame f = s.frame();
    auto per_poll_ms = [&](auto&& body) {
        const auto t0 = Clock::now();
        for (int i = 0; i < polls; ++i) body(i);
        return std::chrono::duration<double>(Clock::now() - t0).count() * 1000 / polls;
    };
    const double unchanged = per_poll_ms([&](int) { (void)SendChanges(&f, nullptr, q, go, ev); });
    const double few_rows = per_poll_ms([&](int i) {
        for (int r = 0; r < 8; ++r) s.bits[s.RowOffset(300 + r * 37) + 500 + (i % 50)] ^= 0x55;  // a caret-sized change on 8 rows
        q.bytes.clear();
        (void)SendChanges(&f, nullptr, q, go, ev);
    });
    Bytes copy(s.bits.size());
    volatile int sink = 0;
    const double plain = per_poll_ms([&](int) {
        std::memcpy(copy.data(), s.bits.data(), copy.size());
        sink = sink + std::memcmp(copy.data(), s.prev.data(), copy.size());
    });
    std::printf("Row comparison, 1920x1080 8 bits (%d polls each), ms per poll:\n", polls);
    std::printf("  SendChanges, unchanged frame        %8.3f\n", unchanged);
    std::printf("  SendChanges, 8 changed rows         %8.3f\n", few_rows);
    std::printf("  memcpy + memcmp of the same frame   %8.3f\n\n", plain);

    // 2. Scenes. Each starts with the viewer holding the screen already.
    std::printf("%-28s %6s %8s %14s %12s %12s %9s\n", "scene", "polls", "changed", "raw bytes", "encoded", "zlib -6",
                "ms/poll");
    Tally first;
    Screen desk;
    bench::DrawDesk(desk);
    Poll(desk, first);
    PrintScene("first full screen", first);
    for (const bench::SceneScript& scene : bench::Scenes()) {
        Tally t;
        Screen sc = desk;
        scene.setup(sc);
        sc.prev = sc.bits;  // the viewer holds the scene's first picture
        for (int i = 0; i < scene.polls; ++i) {
            scene.step(sc, desk, i);
            Poll(sc, t);
        }
        PrintScene(scene.name, t);
    }
    std::printf("\nraw bytes: whole frames of the polls that changed something; encoded: the records queued\n"
                "(row deltas and rectangle-done); zlib -6: each poll's changed rows XORed with the viewer's copy.\n");
    return 0;
}
