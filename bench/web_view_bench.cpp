// web_view_bench: what the web console's live view sends to the browser for
// the scenes of the screen benchmark (bench/screen_scenes.h) at 1920 x 1080,
// 8 and 4 bits.
//
//   web_view_bench [--bits 8|4]
//
// The whole path in one process, without sockets: the agent's encoder
// (SendChanges) queues the records of each poll; they are cut into data
// packet payloads as the agent's send path cuts them (542 bytes, the first
// flagged queue start) and fed to the console's ScreenDecoder; after each
// poll FrameEncoder::Changes, on a copy of the picture as the console's
// sending thread takes it, gives the binary messages the page receives.
// Every scene starts from a fresh console that has received the scene's
// first picture (not counted). Per scene: the polls, the frames to the
// browser (polls that sent anything, and messages), frames per second at the
// agent's poll rate (one poll per 25 ms) and at the console's own maximum
// (its encoding time alone; the console decodes on another thread), the
// decoding and encoding time per poll, and bytes per second to the browser
// beside what the agent sent. The rectangles are also drawn into a picture
// as the page would draw them, and at the end of each scene it is compared
// with the console's own (column "same"), so that the figures are those of a
// page that shows the screen.
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/rc_wire.h"
#include "agent/screen_codec.h"
#include "bench/screen_scenes.h"
#include "tools/rcconsole/screen_decoder.h"
#include "tools/webconsole/frame_encoder.h"

namespace {

using namespace qv;
using Clock = std::chrono::steady_clock;

constexpr double kPollSeconds = 0.025;  // the agent's poll interval

struct Quiet : agent::AgentEvents {
    void Line(const char*) override {}
    void Audit(int, bool, const char*) override {}
};
struct NeverStop : agent::StopCheck {
    bool Stopped() override { return false; }
};

struct Tally {
    uint64_t polls = 0, frames = 0, messages = 0, page_bytes = 0;
    uint64_t packets = 0, agent_bytes = 0;  // data packets, with their 4-byte headers
    double decode_s = 0, encode_s = 0;
};

// The page's canvas: each rectangle's PNG drawn at its place (3 bytes a pixel).
class PagePicture {
public:
    void Apply(const std::vector<uint8_t>& msg, int32_t width, int32_t height) {
        if (width != width_ || height != height_) {
            width_ = width;
            height_ = height;
            rgb_.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3, 0);
        }
        if (msg.size() <= web::kRectHeaderBytes || msg[0] != web::kRectMessageKind) return Broken();
        auto u16 = [&](std::size_t at) { return static_cast<int32_t>(msg[at] | (msg[at + 1] << 8)); };
        const int32_t x = u16(2), y = u16(4), w = u16(6), h = u16(8);
        png_image img{};
        img.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_memory(&img, msg.data() + web::kRectHeaderBytes,
                                              msg.size() - web::kRectHeaderBytes))
            return Broken();
        img.format = PNG_FORMAT_RGB;
        if (static_cast<int32_t>(img.width) != w || static_cast<int32_t>(img.height) != h || x + w > width_ ||
            y + h > height_) {
            png_image_free(&img);
            return Broken();
        }
        std::vector<uint8_t> px(PNG_IMAGE_SIZE(img));
        if (!png_image_finish_read(&img, nullptr, px.data(), 0, nullptr)) return Broken();
        for (int32_t r = 0; r < h; ++r)
            std::copy_n(&px[static_cast<std::size_t>(r) * static_cast<std::size_t>(w) * 3],
                        static_cast<std::size_t>(w) * 3,
                        &rgb_[(static_cast<std::size_t>(y + r) * static_cast<std::size_t>(width_) +
                               static_cast<std::size_t>(x)) * 3]);
    }
    bool Equals(const rcc::ScreenDecoder& screen) const { return !broken_ && rgb_ == screen.ToRgb(); }

private:
    void Broken() { broken_ = true; }
    int32_t width_ = 0, height_ = 0;
    std::vector<uint8_t> rgb_;
    bool broken_ = false;
};

// One viewing: the agent's capture, the console's decoder and the page's encoder.
class Viewing {
public:
    explicit Viewing(unsigned bits) : bits_(bits) {}

    // What the agent queues when viewing starts: the 16 colours (at 4 bits),
    // the display's dimensions and the capture's colour table.
    void Start(Tally& t) {
        agent::MemoryRecordQueue q;
        if (bits_ == 4) agent::QueuePalette16(q, agent::kStandard16);
        agent::QueueDisplayDimensions(q, bench::kSceneW, bench::kSceneH, static_cast<uint8_t>(bits_));
        agent::QueueColourTable(q, agent::BuildBitmapInfo(bench::kSceneW, bench::kSceneH, bits_, false));
        Deliver(q.bytes, t);
    }

    // One poll of the whole screen, through to the page.
    void Poll(bench::Screen& s, Tally& t) {
        agent::MemoryRecordQueue q;
        NeverStop go;
        Quiet ev;
        const agent::CaptureFrame f = s.frame();
        (void)agent::SendChanges(&f, nullptr, q, go, ev);
        ++t.polls;
        Deliver(q.bytes, t);
        const auto t0 = Clock::now();
        // The console's sending thread encodes a copy of the picture, so that
        // the data link goes on meanwhile: the copy is part of its cost.
        const rcc::ScreenDecoder picture = screen_;
        const std::vector<web::RectUpdate> out = page_.Changes(picture);
        t.encode_s += std::chrono::duration<double>(Clock::now() - t0).count();
        if (out.empty()) return;
        ++t.frames;
        t.messages += out.size();
        for (const web::RectUpdate& r : out) {
            t.page_bytes += r.message.size();
            canvas_.Apply(r.message, screen_.width(), screen_.height());
        }
    }

    const rcc::ScreenDecoder& screen() const { return screen_; }
    bool PageShowsScreen() const { return canvas_.Equals(screen_); }

private:
    // The queued bytes as the agent's send path cuts them into data packets.
    void Deliver(const std::vector<uint8_t>& queued, Tally& t) {
        const auto t0 = Clock::now();
        for (std::size_t at = 0; at < queued.size(); at += rc::kMaxPayload) {
            const std::size_t n = std::min(rc::kMaxPayload, queued.size() - at);
            screen_.Feed(queued.data() + at, n, at == 0);
            ++t.packets;
            t.agent_bytes += rc::kPacketHeader + n;
        }
        t.decode_s += std::chrono::duration<double>(Clock::now() - t0).count();
    }

    unsigned bits_;
    rcc::ScreenDecoder screen_;
    web::FrameEncoder page_;
    PagePicture canvas_;
};

void Header() {
    std::printf("%-26s %5s %6s %6s %11s %11s %8s %8s %7s %7s %12s %12s %4s\n", "scene", "polls", "frames", "msgs",
                "to browser", "agent sent", "fps@25ms", "max fps", "dec ms", "enc ms", "browser B/s", "agent B/s",
                "same");
}

// rates: per second over the scene's polls (not for the first screen, a single poll).
void Print(const char* name, const Tally& t, bool same, bool rates = true) {
    const double span = static_cast<double>(t.polls) * kPollSeconds;
    char fps[16] = "-", max_fps[16] = "-", page_rate[24] = "-", agent_rate[24] = "-";
    if (t.frames) {
        if (rates) std::snprintf(fps, sizeof fps, "%.1f", static_cast<double>(t.frames) / span);
        std::snprintf(max_fps, sizeof max_fps, "%.0f", t.encode_s > 0 ? static_cast<double>(t.frames) / t.encode_s : 0.0);
    }
    if (rates) {
        std::snprintf(page_rate, sizeof page_rate, "%.0f", static_cast<double>(t.page_bytes) / span);
        std::snprintf(agent_rate, sizeof agent_rate, "%.0f", static_cast<double>(t.agent_bytes) / span);
    }
    const double polls = t.polls ? static_cast<double>(t.polls) : 1.0;
    std::printf("%-26s %5llu %6llu %6llu %11llu %11llu %8s %8s %7.3f %7.3f %12s %12s %4s\n", name,
                static_cast<unsigned long long>(t.polls), static_cast<unsigned long long>(t.frames),
                static_cast<unsigned long long>(t.messages), static_cast<unsigned long long>(t.page_bytes),
                static_cast<unsigned long long>(t.agent_bytes), fps, max_fps,
                t.decode_s * 1000 / polls, t.encode_s * 1000 / polls, page_rate, agent_rate,
                same ? "yes" : "NO");
}

void Run(unsigned bits) {
    std::printf("\n1920x1080, %u bits:\n", bits);
    Header();
    bench::Screen desk(bits);
    bench::DrawDesk(desk);

    // The first full screen: viewing starts and the whole desk arrives.
    {
        bench::Screen s = desk;
        Viewing v(bits);
        Tally t;
        v.Start(t);
        v.Poll(s, t);
        Print("first full screen", t, v.PageShowsScreen(), false);
    }
    for (const bench::SceneScript& scene : bench::Scenes()) {
        bench::Screen s = desk;
        scene.setup(s);
        Viewing v(bits);
        Tally setup, t;
        v.Start(setup);
        v.Poll(s, setup);
        for (int i = 0; i < scene.polls; ++i) {
            scene.step(s, desk, i);
            v.Poll(s, t);
        }
        Print(scene.name, t, v.PageShowsScreen());
        if (v.screen().bad_records()) std::printf("  (the decoder refused %llu records)\n",
                                                  static_cast<unsigned long long>(v.screen().bad_records()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<unsigned> depths = {8, 4};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--bits" && i + 1 < argc && (std::string(argv[i + 1]) == "8" || std::string(argv[i + 1]) == "4")) {
            depths = {static_cast<unsigned>(std::atoi(argv[++i]))};
        } else {
            std::printf("usage: web_view_bench [--bits 8|4]\n"
                        "Frames and bytes the web console's live view sends to the browser for the screen\n"
                        "benchmark's scenes at 1920x1080 (both depths unless --bits is given).\n");
            return a == "--help" || a == "-h" ? 0 : 2;
        }
    }
    std::printf("Web console live view: agent records -> data packets -> ScreenDecoder -> FrameEncoder\n"
                "(one agent poll per 25 ms; each scene starts from a console that holds its first picture)\n");
    for (unsigned bits : depths) Run(bits);
    std::printf("\nframes: polls after which the browser got anything; msgs: binary rectangle messages;\n"
                "to browser: their bytes; agent sent: data packets (4-byte header and payload);\n"
                "fps@25ms: frames per second at the agent's poll rate; max fps: frames per second the console's\n"
                "encoding alone allows (its own thread); dec ms, enc ms: decoding and encoding time per poll;\n"
                "same: the page's picture, drawn from the messages, equals the console's at the scene's end.\n");
    return 0;
}
