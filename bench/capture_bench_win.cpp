// Benchmark of one full-screen poll of the agent's changes thread: the copy
// of the screen into the 8-bit capture bitmap (BitBlt) and the row
// comparison of SendChanges over an unchanged frame, beside a plain memcpy
// + memcmp of a frame of the same size, in the same run.
//
//   bench_capture.exe [ROUNDS]
//
// Prints figures only; run it through bench/run_capture_bench.sh, which
// gives it a 1920x1080x24 Xvfb screen.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "agent/agent_win.h"

namespace qv::agent {
Agent g_agent;
void Log(const char*, ...) {}
void CloseMainWindow() {}
unsigned ViewerColourBits() { return 8; }
void FreeAllSendSlots() {}
}  // namespace qv::agent

namespace {

using namespace qv::agent;

double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct NeverStop final : StopCheck {
    bool Stopped() override { return false; }
};

struct Quiet final : AgentEvents {
    void Line(const char*) override {}
    void Audit(int, bool, const char*) override {}
};

struct Figures {
    std::vector<double> ms;
    void Print(const char* what) {
        std::sort(ms.begin(), ms.end());
        std::printf("%-44s median %7.3f ms  min %7.3f ms  max %7.3f ms\n", what, ms[ms.size() / 2], ms.front(),
                    ms.back());
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    CaptureContext* ctx = CreateCaptureContext(8);
    if (!ctx) {
        std::fprintf(stderr, "no capture context (is there an X screen?)\n");
        return 1;
    }
    const CaptureFrame& f = ctx->frame;
    const std::size_t image = static_cast<std::size_t>(f.stride) * static_cast<std::size_t>(f.height);
    std::printf("screen %dx%d, capture %u bits, frame %zu bytes, %d rounds\n", f.width, f.height, f.bit_count, image,
                rounds);
    MemoryRecordQueue q;
    NeverStop stop;
    SendScreenRect(ctx, nullptr, q, stop);  // the first poll sends the screen
    std::printf("first poll queued %zu bytes\n", q.bytes.size());

    // The same copy into a 32-bit section: the X server's transfer without
    // the conversion to palette indices.
    BITMAPINFO bi32{};
    bi32.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), f.width, f.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits32 = nullptr;
    HBITMAP section32 = ::CreateDIBSection(ctx->screen, &bi32, DIB_RGB_COLORS, &bits32, nullptr, 0);
    HDC dc32 = ::CreateCompatibleDC(ctx->screen);
    HGDIOBJ old32 = ::SelectObject(dc32, section32);

    Figures poll, blit, blit32, compare, plain;
    Quiet quiet;
    // The plain comparison runs over equal frames, as the poll's does.
    std::vector<uint8_t> copy(image), other(f.bits, f.bits + image);
    for (int i = 0; i < rounds; ++i) {
        q.bytes.clear();
        double t = NowMs();
        const int r = SendScreenRect(ctx, nullptr, q, stop);
        poll.ms.push_back(NowMs() - t);
        if (r != kSendNothing) std::printf("round %d: the screen changed (%zu bytes)\n", i, q.bytes.size());

        t = NowMs();
        ::BitBlt(ctx->memory, 0, 0, f.width, f.height, ctx->screen, 0, 0, SRCCOPY);
        ::GdiFlush();
        blit.ms.push_back(NowMs() - t);

        t = NowMs();
        ::BitBlt(dc32, 0, 0, f.width, f.height, ctx->screen, 0, 0, SRCCOPY);
        ::GdiFlush();
        blit32.ms.push_back(NowMs() - t);

        t = NowMs();
        SendChanges(&f, nullptr, q, stop, quiet);
        compare.ms.push_back(NowMs() - t);

        t = NowMs();
        std::memcpy(copy.data(), f.bits, image);
        volatile int diff = std::memcmp(copy.data(), other.data(), image);
        (void)diff;
        plain.ms.push_back(NowMs() - t);
    }
    poll.Print("full-screen poll (BitBlt + SendChanges)");
    blit.Print("  BitBlt into the 8-bit capture bitmap");
    compare.Print("  SendChanges over the unchanged frame");
    blit32.Print("BitBlt into a 32-bit section (for comparison)");
    plain.Print("plain memcpy + memcmp of the frame");
    ::SelectObject(dc32, old32);
    ::DeleteDC(dc32);
    ::DeleteObject(section32);
    FreeCaptureContext(ctx);
    return 0;
}
