// The live view against a scripted agent: the page's canvas follows the
// agent's screen, the page's input reaches the agent, pause and resume,
// one page a machine, the snapshot, the agent dropping the viewer, stop
// and a closed page.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "agent/screen_codec.h"
#include "agent/test/fakes.h"
#include "tests/loopback_port.h"
#include "tools/rcconsole/scripted_agent.h"
#include "tools/webconsole/test_page.h"
#include "tools/webconsole/view_feature.h"

namespace qv::web {
namespace {

namespace ag = qv::agent;
using Bytes = rcc::Bytes;
using namespace std::chrono_literals;

using qv::agent::test::NeverStop;

// The agent's side of the data endpoint: the screen and what the viewer sends.
class ScriptedScreen {
public:
    static constexpr int32_t kW = 300, kH = 40;
    ScriptedScreen() : d_(std::make_unique<rcc::Endpoint>(0, rc::kDataTcpPort)), screen_(stride_ * kH), prev_(screen_.size(), 0) {}
    bool ok() const { return d_->ok(); }

    // Accepts the viewer; the start packet's colour bits.
    int Accept() {
        seq_ = 0;
        Bytes p = d_->Next();
        while (!p.empty() && p[0] != rc::PT_CONNECT) p = d_->Next();  // what the last viewer left
        if (p.empty()) return -1;
        d_->Send({rc::PT_CONNECT_ACK, 0, 0, 0});
        const Bytes start = d_->Next();
        return start.size() > 5 && start[0] == rc::PT_DATA ? start[5] : -1;
    }
    // Sends a new whole screen (a colour table, every row).
    void Whole(uint8_t seed) {
        std::fill(prev_.begin(), prev_.end(), 0);
        for (std::size_t i = 0; i < screen_.size(); ++i) screen_[i] = static_cast<uint8_t>(i * seed % 251);
        EXPECT_TRUE(ag::QueueColourTable(q_, ag::BuildBitmapInfo(kW, kH, 8, false)));
        EXPECT_EQ(ag::SendChanges(&frame_, nullptr, q_, go_, ev_), ag::kSendSent);
        Flush();
    }
    // Changes a small rectangle.
    void Change(int32_t x, int32_t y, uint8_t v) {
        for (int32_t r = y; r < y + 5; ++r)
            for (int32_t c = x; c < x + 7; ++c) screen_[(kH - 1 - r) * stride_ + c] = v;
        ag::ScreenRect rect{x, y, x + 7, y + 5};
        EXPECT_EQ(ag::SendChanges(&frame_, &rect, q_, go_, ev_), ag::kSendSent);
        Flush();
    }
    std::vector<uint8_t> Rgb() const {
        const auto table = ag::DefaultColourTable();
        std::vector<uint8_t> out;
        for (int32_t y = 0; y < kH; ++y)
            for (int32_t x = 0; x < kW; ++x) {
                const ag::RgbQuad c = table[screen_[(kH - 1 - y) * stride_ + x]];
                out.insert(out.end(), {c.red, c.green, c.blue});
            }
        return out;
    }
    // The payloads of the viewer's next data packets (acknowledgements skipped).
    Bytes Input(std::size_t bytes) {
        Bytes got;
        for (Bytes p = d_->Next(); !p.empty(); p = got.size() < bytes ? d_->Next() : Bytes()) {
            if (p[0] == rc::PT_DATA) got.insert(got.end(), p.begin() + rc::kPacketHeader, p.end());
            if (got.size() >= bytes) break;
        }
        return got;
    }
    // Waits for the viewer's disconnect and acknowledges it; the payloads
    // of the data packets before it ("none" when it does not come).
    Bytes Disconnected() {
        Bytes sent;
        for (Bytes p = d_->Next(); !p.empty(); p = d_->Next()) {
            if (p[0] == rc::PT_DATA) sent.insert(sent.end(), p.begin() + rc::kPacketHeader, p.end());
            if (p[0] == rc::PT_DISCONNECT) {
                d_->Send({rc::PT_DISCONNECT_ACK, 0, 0, 0});
                return sent;
            }
        }
        return {'n', 'o', 'n', 'e'};
    }
    void Drop() {
        d_->Send({rc::PT_DISCONNECT, 0, 0, 0});
    }

private:
    void Flush() {
        for (std::size_t at = 0; at < q_.bytes.size(); at += rc::kMaxPayload) {
            const std::size_t n = std::min(rc::kMaxPayload, q_.bytes.size() - at);
            Bytes packet{rc::PT_DATA, seq_++, 255, static_cast<uint8_t>(at == 0 ? rc::kFlagQueueStart : 0)};
            packet.insert(packet.end(), q_.bytes.begin() + at, q_.bytes.begin() + at + n);
            d_->Send(packet);
        }
        q_.bytes.clear();
    }

    std::unique_ptr<rcc::Endpoint> d_;
    const uint32_t stride_ = ag::CaptureStride(kW, 8);
    std::vector<uint8_t> screen_, prev_;
    ag::CaptureFrame frame_{screen_.data(), prev_.data(), kW, kH, stride_, 8};
    ag::MemoryRecordQueue q_;
    NeverStop go_;
    ag::test::Events ev_;
    uint8_t seq_ = 0;
};

TEST(ViewFeature, PageFollowsTheScriptedAgentsScreen) {
    // The console calls the agent's own ports; the offset moves them to free ones.
    int free_port = 0;
    for (int i = 0; i < 20 && (free_port <= int(rc::kVerifyTcpPort) || free_port > 49151); ++i)
        free_port = testing_support::FreeLoopbackPort(SOCK_STREAM);
    ASSERT_GT(free_port, int(rc::kVerifyTcpPort));
    setenv("LINKCORE_PORT_OFFSET", std::to_string(free_port - rc::kVerifyTcpPort).c_str(), 1);
    rcc::Endpoint agent(0, rc::kVerifyTcpPort);
    ScriptedScreen screen;
    ASSERT_TRUE(agent.ok() && screen.ok());

    ConsoleSettings settings;
    settings.timeout_ms = 300;
    settings.name = "help desk";
    MachineList list(settings);
    std::string error;
    ASSERT_TRUE(list.Add("127.0.0.1", "", &error));
    auto view = MakeViewFeature(list, settings);
    auto page = std::make_shared<test::FakePage>(1), other = std::make_shared<test::FakePage>(2);
    int req = 0;
    auto send = [&](const PagePtr& p, nlohmann::json msg) {
        msg["req"] = ++req;
        if (!msg.contains("address")) msg["address"] = "127.0.0.1";
        EXPECT_TRUE(view->OnMessage(p, msg));
        return req;
    };
    std::vector<uint8_t> canvas(ScriptedScreen::kW * ScriptedScreen::kH * 3, 0);
    auto draw = [&](const std::vector<test::FakePage::Message>& got) {
        nlohmann::json last;
        for (const auto& m : got) {
            if (m.text.is_null())
                test::Draw(m.binary, ScriptedScreen::kW, &canvas);
            else
                last = m.text;
        }
        return last;
    };

    // Start: the session, the data endpoint, the colour bits and the name;
    // then the screen, the whole picture and done.
    const int start = send(page, {{"op", "view.start"}, {"bits", 4}});
    agent.Expect(rcc::kEstablish, rcc::EstablishOk(rc::kAllowTakeover, 0));
    EXPECT_EQ(screen.Accept(), 4);
    screen.Whole(7);
    auto got = page->Answer(start);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front().text, nlohmann::json({{"ev", "view.screen"}, {"address", "127.0.0.1"}, {"width", 300},
                                                {"height", 40}, {"bits", 8}}));
    EXPECT_EQ(draw(got)["ev"], "done");
    EXPECT_EQ(canvas, screen.Rgb());

    // Another page cannot view the same machine; this one gets a snapshot.
    EXPECT_EQ(other->Answer(send(other, {{"op", "view.start"}, {"bits", 8}})).back().text["kind"], "busy");
    HttpRequest snap{"GET", "/api/snapshot", {{"address", "127.0.0.1"}}, ""};
    HttpResponse resp;
    ASSERT_TRUE(view->OnHttp(snap, &resp));
    EXPECT_EQ(resp.status, 200);
    EXPECT_EQ(resp.content_type, "image/png");
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&img, resp.body.data(), resp.body.size()));
    img.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> shot(PNG_IMAGE_SIZE(img));
    ASSERT_TRUE(png_image_finish_read(&img, nullptr, shot.data(), 0, nullptr));
    EXPECT_EQ(shot, screen.Rgb());

    // Input: a key and a click, clamped to the screen, as the agent's commands.
    const int input = send(page, {{"op", "view.input"},
                                  {"events", {{{"t", "key"}, {"code", "KeyA"}, {"down", true}},
                                              {{"t", "down"}, {"button", 0}, {"x", 500}, {"y", 3}}}}});
    EXPECT_EQ(screen.Input(10), (Bytes{1, 0x41, 0, 0x1E, 2, 0x03, 43, 1, 3, 0}));
    EXPECT_EQ(page->Answer(input).back().text["ev"], "done");

    // Paused, the page gets nothing; resumed, what changed meanwhile.
    EXPECT_EQ(page->Answer(send(page, {{"op", "view.pause"}})).back().text["ev"], "done");
    screen.Change(10, 10, 3);
    screen.Change(200, 30, 4);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(page->pending(), 0u);
    EXPECT_EQ(draw(page->Answer(send(page, {{"op", "view.resume"}})))["ev"], "done");
    draw(page->Drain(500ms));
    EXPECT_EQ(canvas, screen.Rgb());

    // The agent drops the viewer and the session is gone: the page hears why.
    screen.Drop();
    agent.Expect(rcc::kValidate, {0, 1, 0xFC, 0xFF});
    got = page->Until([](const nlohmann::json& m) { return m["ev"] == "view.stopped"; });
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().text["kind"], "expired") << got.back().text;

    // Started again: stopped by the page, and by the page closing, each
    // time with Ctrl and the right button still down, which the console
    // releases before it leaves.
    for (bool close : {false, true}) {
        const int again = send(page, {{"op", "view.start"}, {"bits", 8}});
        if (!close) agent.Expect(rcc::kEstablish, rcc::EstablishOk(rc::kAllowTakeover, 0));  // the session held
        EXPECT_EQ(screen.Accept(), 8);
        screen.Whole(3);
        std::fill(canvas.begin(), canvas.end(), 0);
        const nlohmann::json answer = draw(page->Answer(again));
        EXPECT_EQ(answer["ev"], "done") << answer;
        EXPECT_EQ(canvas, screen.Rgb());
        send(page, {{"op", "view.input"},
                    {"events", {{{"t", "key"}, {"code", "ControlLeft"}, {"down", true}},
                                {{"t", "down"}, {"button", 2}, {"x", 5}, {"y", 6}}}}});
        if (close) {
            page->Close();
            view->OnPageClosed(page);
        } else {
            send(page, {{"op", "view.stop"}});
        }
        EXPECT_EQ(screen.Disconnected(), (Bytes{1, 0x11, 0, 0x1D, 2, 0x09, 5, 0, 6, 0,     // pressed
                                                2, 0x11, 5, 0, 6, 0, 1, 0x11, 0x80, 0x9D}));  // released
        if (!close) {
            EXPECT_EQ(page->Answer(req).back().text["ev"], "done");
        }
    }

    std::thread end([&] { view.reset(); list.Clear(); });
    for (Bytes b = agent.Next(1s); !b.empty() && b[1] != rcc::kEnd[1]; b = agent.Next(1s)) {
    }
    end.join();
    unsetenv("LINKCORE_PORT_OFFSET");
}

}  // namespace
}  // namespace qv::web
