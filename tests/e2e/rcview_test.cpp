// End-to-end test of remote viewing: the agent runs as a service of the
// prefix on an Xvfb screen (the test runs under `wine.sh xvfb 24`), the
// test window colorwin.exe shows known colours, and the Linux console
// rcconsole views the screen and drives the pointer and keyboard.
//
// One service run, many rules: the console's snapshot at 8 and at 4 bits is
// the X server's own copy of the screen (Xvfb_screen0, independent of Wine
// and the agent) mapped to the same colour table; after the window repaints
// a band, only the band's rows travel; a pointer move lands where the
// scaling says, both in the window and in the cursor record the agent sends
// back; typed text and a key reach the focused window.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <iostream>
#include <map>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "agent/rc_wire.h"
#include "agent/screen_codec.h"
#include "tests/e2e/agent_service.h"

namespace {

using namespace qv;
using namespace std::chrono_literals;
using Rgb = std::array<int, 3>;

// colorwin's place and its band, in screen pixels.
constexpr int kWinX = e2e::kColorWinX, kWinY = e2e::kColorWinY, kBandTop = kWinY + 40, kBandBottom = kWinY + 59;
Rgb Stripe(int i) { return {e2e::kColorWinStripes[i][0], e2e::kColorWinStripes[i][1], e2e::kColorWinStripes[i][2]}; }

struct Picture {
    int width = 0, height = 0;
    std::vector<Rgb> px;
    Rgb At(int x, int y) const { return px[static_cast<std::size_t>(y) * width + x]; }
};

Picture ReadPng(const std::string& path) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    Picture p;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return p;
    img.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> buf(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, buf.data(), 0, nullptr)) return p;
    p.width = static_cast<int>(img.width), p.height = static_cast<int>(img.height);
    for (std::size_t i = 0; i + 2 < buf.size(); i += 3) p.px.push_back({buf[i], buf[i + 1], buf[i + 2]});
    return p;
}

// The X server's screen: an XWD file (big-endian header; 32-bit pixels
// B G R X, least significant byte first).
Picture ReadXvfbScreen() {
    const std::string d = e2e::ReadFile(std::string(std::getenv("QV_XVFB_FBDIR")) + "/Xvfb_screen0");
    auto u32 = [&](std::size_t field) {
        const auto* b = reinterpret_cast<const uint8_t*>(d.data()) + field * 4;
        return static_cast<std::size_t>(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
    };
    Picture p;
    if (d.size() < 100 || u32(11) != 32) return p;
    const std::size_t at = u32(0) + u32(19) * 12, line = u32(12);
    p.width = static_cast<int>(u32(4)), p.height = static_cast<int>(u32(5));
    if (d.size() < at + line * p.height) return {};
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const auto* q = reinterpret_cast<const uint8_t*>(d.data()) + at + y * line + x * 4;
            p.px.push_back({q[2], q[1], q[0]});
        }
    return p;
}

// The capture's colour tables: the 16 standard colours, or 256 (3-3-2
// with the fixed entries).
std::vector<Rgb> Table(int bits) {
    const auto table256 = agent::DefaultColourTable();
    std::vector<Rgb> t;
    auto add = [&](const auto& quads) {
        for (const agent::RgbQuad& q : quads) t.push_back({q.red, q.green, q.blue});
    };
    if (bits == 4)
        add(agent::kStandard16);
    else
        add(table256);
    return t;
}

int Distance(const Rgb& a, const Rgb& b) {
    int d = 0;
    for (int i = 0; i < 3; ++i) d += (a[i] - b[i]) * (a[i] - b[i]);
    return d;
}

// Compares a snapshot with the reference mapped to the table: a reference
// colour the table holds must come out exactly; any other must come out as
// a table colour about as near as the nearest one (the capture rounds
// before it picks). Returns the differences found, described.
std::string Compare(const Picture& shot, const Picture& ref, int bits) {
    if (shot.width != ref.width || shot.height != ref.height || ref.px.empty())
        return "size " + std::to_string(shot.width) + "x" + std::to_string(shot.height) + " vs " +
               std::to_string(ref.width) + "x" + std::to_string(ref.height);
    const std::vector<Rgb> table = Table(bits);
    std::map<Rgb, int> nearest_of;  // the distance to the nearest table colour
    std::string diffs;
    int count = 0;
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x) {
            const Rgb r = ref.At(x, y), s = shot.At(x, y);
            auto [at, added] = nearest_of.try_emplace(r, 1 << 30);
            if (added)
                for (const Rgb& t : table) at->second = std::min(at->second, Distance(t, r));
            const int nearest = at->second;
            const bool in_table = std::find(table.begin(), table.end(), s) != table.end();
            if (nearest == 0 ? s == r : in_table && Distance(s, r) <= nearest + 3 * 16 * 16) continue;
            if (++count <= 5)
                diffs += "(" + std::to_string(x) + "," + std::to_string(y) + ") ref " + std::to_string(r[0]) + "/" +
                         std::to_string(r[1]) + "/" + std::to_string(r[2]) + " got " + std::to_string(s[0]) + "/" +
                         std::to_string(s[1]) + "/" + std::to_string(s[2]) + "; ";
        }
    return count ? std::to_string(count) + " pixels differ: " + diffs : "";
}

std::string Dir() { return e2e::DriveDir('C'); }

std::vector<std::string> Console(const std::vector<std::string>& args) {
    std::vector<std::string> argv{e2e::HostBinDir() + "/rcconsole", "--timeout", "5000", "--screen-wait", "30"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

class Viewing : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(std::getenv("DISPLAY") && std::getenv("QV_XVFB_FBDIR")) << "run me under wine.sh xvfb 24";
        std::string problem;
        ASSERT_NE(e2e::StartInteractiveAgent(&problem), 0u) << problem;
        for (const char* f : {"/colorwin.log", "/colorwin.go"}) std::remove((Dir() + f).c_str());
        e2e::RunOptions o;
        o.env = {std::string("DISPLAY=") + std::getenv("DISPLAY")};
        window_ = e2e::StartWine("P:\\colorwin.exe", {"--log", "C:\\colorwin.log", "--change", "C:\\colorwin.go",
                                                      "--at", std::to_string(kWinX), std::to_string(kWinY)},
                                 o)
                      .release();
        ASSERT_TRUE(e2e::WaitFor([] { return WindowLog().find("ready") != std::string::npos; }, 20s));
        std::this_thread::sleep_for(500ms);  // painted on the X screen
    }
    static void TearDownTestSuite() {
        delete window_;
        e2e::RemoveAgent();
    }
    static std::string WindowLog() { return e2e::ReadFile(Dir() + "/colorwin.log"); }
    static e2e::Process* window_;
};
e2e::Process* Viewing::window_ = nullptr;

TEST_F(Viewing, SnapshotsMatchTheScreenAndTheViewerDrivesTheWindow) {
    // Snapshots at both depths against the X server's copy of the screen.
    for (int bits : {8, 4}) {
        const std::string png = Dir() + "/shot" + std::to_string(bits) + ".png";
        e2e::RunOptions o;
        o.timeout_ms = 60000;
        const e2e::RunResult r =
            e2e::Run(Console({"--bits", std::to_string(bits), "snapshot", "127.0.0.1", png}), o);
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err << e2e::AgentLog();
        EXPECT_NE(r.out.find("wrote " + png + ": 1024 x 768, " + std::to_string(bits) + " bits"), std::string::npos)
            << r.out;
        const Picture shot = ReadPng(png), ref = ReadXvfbScreen();
        EXPECT_EQ(Compare(shot, ref, bits), "") << bits << " bits";
        for (int i = 0; i < 8 && shot.width; ++i)
            EXPECT_EQ(shot.At(kWinX + 20 * i + 10, kWinY + 10), Stripe(i)) << "stripe " << i << " at " << bits;
    }

    // A viewer right behind another: the agent reopens its data endpoint
    // after a view, and the watch must wait for it, not fail.
    {
        e2e::RunOptions o;
        o.timeout_ms = 60000;
        const std::string png = Dir() + "/again.png";
        const e2e::RunResult r = e2e::Run(Console({"-c", "view " + png + " 1; watch 8 1", "127.0.0.1"}), o);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("watched "), std::string::npos) << r.out << r.err << e2e::AgentLog();
    }

    // A live view, fed commands through a pipe, its output into a file.
    const std::string fifo = Dir() + "/view.in", out = Dir() + "/view.out", png = Dir() + "/view.png";
    for (const std::string& f : {fifo, out, png}) std::remove(f.c_str());  // nothing of an earlier run
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> argv = Console({"view", "127.0.0.1", png});
    std::string cmd = "exec";
    for (const std::string& a : argv) cmd += " '" + a + "'";
    auto view = e2e::Spawn({"sh", "-c", cmd + " <'" + fifo + "' >'" + out + "' 2>&1"});
    const int in = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(in, 0);
    auto type = [&](const std::string& line) { EXPECT_EQ(write(in, line.data(), line.size()), (ssize_t)line.size()); };
    auto printed = [&](const std::string& what, std::size_t from = 0) {
        return e2e::WaitFor([&] { return e2e::ReadFile(out).find(what, from) != std::string::npos; }, 20s);
    };
    ASSERT_TRUE(printed("screen 1024 x 768, 8 bits per pixel; wrote")) << e2e::ReadFile(out);

    // The band changes: the rectangles that follow carry its rows and no others.
    std::size_t mark = e2e::ReadFile(out).size();
    e2e::WriteFile(Dir() + "/colorwin.go", "");
    ASSERT_TRUE(e2e::WaitFor([] { return WindowLog().find("changed") != std::string::npos; }, 10s));
    ASSERT_TRUE(printed("rows ", mark)) << e2e::ReadFile(out) << e2e::AgentLog();
    std::this_thread::sleep_for(1s);
    int first = 10000, last = -1;
    for (std::size_t at = e2e::ReadFile(out).find("rect ", mark); at != std::string::npos;
         at = e2e::ReadFile(out).find("rect ", at + 1)) {
        const std::string line = e2e::ReadFile(out).substr(at, e2e::ReadFile(out).find('\n', at) - at);
        int records = 0, a = 0, b = 0;
        const std::size_t colon = line.find(": ");
        ASSERT_EQ(std::sscanf(line.c_str() + colon, ": %d row records, rows %d-%d", &records, &a, &b), 3) << line;
        EXPECT_LE(records, kBandBottom - kBandTop + 1) << line;
        first = std::min(first, a), last = std::max(last, b);
    }
    EXPECT_EQ(first, kBandTop);
    EXPECT_EQ(last, kBandBottom);
    mark = e2e::ReadFile(out).size();
    type("png\n");
    ASSERT_TRUE(printed("wrote " + png, mark));
    EXPECT_EQ(Compare(ReadPng(png), ReadXvfbScreen(), 8), "") << "after the change";

    // The pointer goes where the scaling says: in the window and in the
    // cursor record (sent once 500 ms have passed since the move).
    const int mx = kWinX + 37, my = kWinY + 81;
    type("move " + std::to_string(mx) + " " + std::to_string(my) + "\n");
    const std::string at = std::to_string(mx) + " " + std::to_string(my);
    EXPECT_TRUE(e2e::WaitFor([&] { return WindowLog().find("mouse " + at) != std::string::npos; }, 10s)) << WindowLog();
    EXPECT_TRUE(printed("cursor " + at)) << e2e::ReadFile(out);

    // Keys reach the focused window (a click into it first, as a user
    // would, in case the agent's own windows took the focus).
    type("click " + at + "\ntext Hi\nkey 0x0D\n");
    EXPECT_TRUE(e2e::WaitFor([] { return WindowLog().find("char 0x48\nchar 0x69\nchar 0x0d\n") != std::string::npos; },
                        10s))
        << WindowLog();

    type("quit\n");
    close(in);
    const e2e::RunResult r = view->Wait(20000);
    EXPECT_EQ(r.exit_code, 0) << e2e::ReadFile(out);
    std::cout << "the console's view:\n" << e2e::ReadFile(out);
    EXPECT_NE(e2e::ReadFile(out).find("viewed: "), std::string::npos);
    std::remove(fifo.c_str());
}

}  // namespace
