// The console program against a scripted agent on native linkcore: what it
// sends, what it prints and how it ends, for a whole session, a busy or
// silent agent, the reply statuses, Ctrl-C, watching and snapshots.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <png.h>

#include "agent/screen_codec.h"
#include "contracts/transport.h"
#include "tests/e2e/wine_run.h"
#include "tools/rcconsole/rcproto.h"
#include "tools/rcconsole/scripted_agent.h"

namespace qv::rcc {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<e2e::Process> Start(const Endpoint& v, const std::string& script,
                                    std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {RCCONSOLE_BIN, "--port", v.port(), "--timeout", "1000"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), {"-c", script, "127.0.0.1"});
    e2e::RunOptions o;
    o.env = {"LINKCORE_PORT_OFFSET=0"};
    return e2e::Spawn(argv, o);
}

TEST(RcConsole, AWholeSessionInformationExecuteAndConsent) {
    Endpoint v;
    auto p = Start(v, "info 3; establish; exec -k SLAVE.EXE /q; ask Admin transfer; quit");
    {
        Bytes info(176, 0);  // level 1: P = 34, E = 76
        const uint8_t head[] = {0, 0, 1, 0, 'U', 'S', 'E', 'R', 1, 0, 1, 0, 8, 0, 0x01, 0x06, 8, 0, 0x01, 0x06, 1, 1};
        std::memcpy(info.data(), head, sizeof head);
        info[22] = 34, info[24] = 71, info[26] = 3, info[28] = 76, info[30] = 0xFF, info[31] = 0xFF;
        std::memcpy(&info[34], "Fieldhaven Workgroup Manager ver 1.1", 37);
        v.Expect({0, 0, 3, 0}, info);
    }
    v.Expect(kEstablish, EstablishOk(0x20F1, 0x04));
    {
        v.Expect(kValidate);
        const Bytes exec = v.Next();
        const Bytes want = {0, 7, 0, 0, 0, 0, 0, 0, 6, 0, 0xB6, 0xCB, 'S', 'L', 'A', 'V', 'E', '.', 'E', 'X', 'E',
                            0, '/', 'q', 0, 0, 0, rc::kExecOptionKPrefix};
        EXPECT_EQ(exec, want);
        v.Send(CommandReplyBytes(0, 0));
        Command(v, kPoll, CommandReplyBytes(0, rc::kResultStarted));
    }
    {
        v.Expect(kValidate);
        const Bytes ask = v.Next();
        const std::string text(ask.begin() + 12, ask.end());
        EXPECT_EQ(text, std::string("ckallow.exe\0Admin transfer\0\0\0\0", 30));
        v.Send(CommandReplyBytes(0, 0));
        Command(v, kPoll, CommandReplyBytes(0, rc::kResultPromptOpen));
        Command(v, kPoll, CommandReplyBytes(0, rc::kResultAllowed));
    }
    v.Expect(kEnd, {0, 3, 0, 0});
    const e2e::RunResult r = p->Wait(10000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    for (const char* line : {"product: Fieldhaven Workgroup Manager ver 1.1\ntransport: TCP/IP\nsession: none\n",
                             "permissions: takeover reboot file-transfer chat remote-execute ping-test\n"
                             "signals: visible\n",
                             "started KSLAVE.EXE\n", "asking the user: may Admin transfer?\nallowed\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n--- in ---\n" << r.out;
}

// Each case: the script, what the agent answers, the exit status and a
// text the console must print; and whether it ends the session.
TEST(RcConsole, BusySilentAndFailingAgentsAreToldApart) {
    struct Case {
        const char* name;
        const char* script;
        std::function<void(Endpoint&)> agent;
        int exit_code;
        const char* says;
        bool ends_session;
        std::vector<std::string> options = {};
    };
    // As long as a level 0 information reply; the owner's port (225) puts 0
    // where that reply has its level.
    const Bytes busy = {0, 0, 0xFE, 0xFF, 200, 0, 127, 0, 0, 1, 0x00, 0xE1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const Case cases[] = {
        {"busy", "info 0; establish", [&](Endpoint& v) { v.Expect({0, 0, 0, 0}, busy); }, 3,
         "is busy with another console (owner 127.0.0.1:225, session age 11 s)", false},
        {"silent", "info", [](Endpoint& v) { for (int i = 0; i < 4; ++i) v.Expect({0, 0, 3, 0}); }, 2,
         "no reply from the agent at 127.0.0.1:", false},
        {"unknown request", "info 0", [](Endpoint& v) { v.Expect({0, 0, 0, 0}, {0, 0, 0xFB, 0xFF}); }, 1,
         "info: the agent did not accept the request (unknown or malformed) (status -5)", false},
        {"session timed out", "exec notepad",
         [](Endpoint& v) {
             v.Expect(kEstablish, EstablishOk(0x20F1, 0));
             v.Expect(kValidate, {0, 1, 0xFC, 0xFF});
             v.Expect(kExec, CommandReplyBytes(8, 0));
         },
         1, "exec notepad: the session timed out (status -4)", false},
        {"program not started", "exec nothere.exe",
         [](Endpoint& v) {
             v.Expect(kEstablish, EstablishOk(0x20F1, 0));
             Command(v, kExec, CommandReplyBytes(0, 0xFFFF));
             Command(v, kPoll, CommandReplyBytes(0, 2));
         },
         1, "not started: The system cannot find the file specified. (Windows error 2)", true},
        {"not allowed", "exec notepad; reboot",
         [](Endpoint& v) { v.Expect(kEstablish, EstablishOk(rc::kAllowTakeover, 0)); }, 1,
         "exec: the user of this machine does not allow it", true},
        {"reboot needs confirming", "reboot",
         [](Endpoint& v) { v.Expect(kEstablish, EstablishOk(0x20F1, 0)); }, 1,
         "reboot: not confirmed; give --yes", true},
        {"reboot confirmed", "reboot",
         [](Endpoint& v) {
             v.Expect(kEstablish, EstablishOk(0x20F1, 0));
             Command(v, {0, 7, 0, 0, 0, 0, 0, 0, 6, 1}, {0, 7, 0, 0, 0, 0, 4, 0, 6, 1, 0, 0});
         },
         0, "the machine is rebooting", false, {"--yes"}},
        {"refused", "ask Admin remote",
         [](Endpoint& v) {
             v.Expect(kEstablish, EstablishOk(0x20F1, 0));
             Command(v, kExec, CommandReplyBytes(0, 0));
             Command(v, kPoll, CommandReplyBytes(0, rc::kResultRefused));
         },
         1, "refused", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Endpoint v;
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--timeout", "300"});
        auto p = Start(v, c.script, options);
        c.agent(v);
        const Bytes last = v.Next(c.ends_session ? 5000ms : 1500ms);
        // Nothing more than the end of the session, if that.
        EXPECT_EQ(c.ends_session ? !last.empty() && last[1] == rc::kEndSession : last.empty(), true)
            << (last.empty() ? -1 : last[1]);
        const e2e::RunResult r = p->Wait(10000);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    }
}

// Ctrl-C while waiting for the user's answer still ends the session;
// --no-end leaves it.
TEST(RcConsole, CtrlCEndsTheSessionAndNoEndKeepsIt) {
    for (bool no_end : {false, true}) {
        Endpoint v;
        auto p = Start(v, "ask Admin chat", no_end ? std::vector<std::string>{"--no-end"} : std::vector<std::string>{});
        v.Expect(kEstablish, EstablishOk(0x20F1, 0));
        Command(v, kExec, CommandReplyBytes(0, 0));
        Command(v, kPoll, CommandReplyBytes(0, rc::kResultPromptOpen));
        Command(v, kPoll, CommandReplyBytes(0, rc::kResultPromptOpen));
        kill(p->pid(), SIGINT);
        Bytes got;
        bool ended = false;
        while (!(got = v.Next(1500ms)).empty()) {
            if (got[1] == rc::kEndSession) ended = true;
            if (got[1] == rc::kCommand) v.Send(CommandReplyBytes(0, rc::kResultPromptOpen));
        }
        EXPECT_EQ(ended, !no_end);
        const e2e::RunResult r = p->Wait(10000);
        EXPECT_EQ(r.exit_code, 130) << r.out << r.err;
    }
}

// The IPX form: datagrams to the UDP port of the verify socket.
TEST(RcConsole, TheIpxFormTalksInDatagrams) {
    std::unique_ptr<Endpoint> v;
    for (uint32_t socket = 0x1000 + static_cast<uint32_t>(getpid() % 0x2000); !v || !v->ok(); socket += 7) {
        v = std::make_unique<Endpoint>(socket);
        ASSERT_LT(socket, 0x3FFFu);
    }
    auto p = Start(*v, "info 0; establish", {"--ipx"});
    v->Expect({0, 0, 0, 0}, {0, 0, 1, 0, 'U', 'S', 'E', 'R', 1, 0, 0, 0, 8, 0, 1, 6, 8, 0, 1, 6, 1, 1});
    v->Expect(kEstablish, EstablishOk(0x20F1, 0));
    v->Expect(kEnd, {0, 3, 0, 0});
    const e2e::RunResult r = p->Wait(10000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("windows version: 6.1\nsession established\n"), std::string::npos) << r.out;
}

// Watching: connect, start viewing at 4 bits, every packet acknowledged
// (a copy again, a gap asks for the missing one), records counted across
// packets, and the viewer's disconnect at the end.
TEST(RcConsole, WatchAcknowledgesCountsAndDisconnects) {
    Endpoint v, d;
    auto p = Start(v, "watch 4 2", {"--data-port", d.port(), "--name", "tester"});
    v.Expect(kEstablish, EstablishOk(0x20F1, 0));
    d.Expect({rc::PT_CONNECT, 0, 0, 0}, {rc::PT_CONNECT_ACK, 0, 0, 0});
    Bytes start = d.Next();
    ASSERT_EQ(start.size(), 67u);
    EXPECT_EQ(Bytes(start.begin(), start.begin() + 7), (Bytes{6, 0, 255, 0, 4, 4, 1}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&start[7])), "tester");
    const Bytes p0 = {6, 0, 0, rc::kFlagQueueStart | rc::kFlagMoreFollows, 130, 0, 4, 0, 3, 4, 177, 0, 0};
    const Bytes p1 = {6, 1, 0, 0, 0, 0, 8, 0, 8, 0, 113, 1, 0, 1, 0};
    const Bytes p3 = {6, 3, 0, 0, 177};
    for (const Bytes* b : {&p0, &p1, &p1, &p3}) d.Send(*b);
    std::vector<Bytes> replies;
    for (int i = 0; i < 4; ++i) replies.push_back(d.Next());
    EXPECT_EQ(replies, (std::vector<Bytes>{{7, 0, 0, 0}, {7, 0, 1, 0}, {7, 0, 1, 0}, {8, 0, 1, 0}}));
    d.Expect({rc::PT_DISCONNECT, 0, 0, 0}, {rc::PT_DISCONNECT_ACK, 0, 0, 0});
    v.Expect(kEnd);
    const e2e::RunResult r = p->Wait(10000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("viewing at 4 bits per pixel\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("records/s "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": 3 records, 2 packets, 20 bytes, 1 resend requests\n"), std::string::npos) << r.out;
}


// The agent's screen stream as the agent's own encoder writes it.
struct MemoryQueue : agent::RecordQueue {
    Bytes b;
    std::size_t at = 0;
    uint8_t* Begin(uint32_t n) override {
        at = b.size();
        b.resize(at + n);
        return &b[at];
    }
    void End(uint32_t n) override { b.resize(at + n); }
};
struct Quiet : agent::StopCheck, agent::AgentEvents {
    bool Stopped() override { return false; }
    void Line(const char*) override {}
    void Audit(int, bool, const char*) override {}
};

// snapshot against a scripted agent, whose stream the agent's encoder
// wrote and which arrives in packets of 542 bytes: the picture is that
// screen; a black screen (a colour table and no rows) is written once the
// stream stays quiet; a screen that never comes is an error.
TEST(RcConsole, SnapshotWritesTheScreenThatArrived) {
    constexpr int32_t kW = 700, kH = 3;  // rows longer than one packet
    const auto table = agent::DefaultColourTable();
    for (int scene = 0; scene < 3; ++scene) {
        MemoryQueue q;
        agent::QueueDisplayDimensions(q, kW, kH, 24);
        agent::QueueColourTable(q, agent::BuildBitmapInfo(kW, kH, 8, false));
        std::vector<uint8_t> bits(agent::CaptureStride(kW, 8) * kH), previous(bits.size());
        for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<uint8_t>(i * 7 % 256);
        agent::CaptureFrame frame{bits.data(), previous.data(), kW, kH, agent::CaptureStride(kW, 8), 8};
        Quiet quiet;
        if (scene == 0) {
            ASSERT_EQ(agent::SendChanges(&frame, nullptr, q, quiet, quiet), agent::kSendSent);
        }
        const std::string png = ::testing::TempDir() + "/snap.png";
        std::remove(png.c_str());
        Endpoint v, d;
        auto p = Start(v, "snapshot " + png, {"--data-port", d.port(), "--screen-wait", "4"});
        v.Expect(kEstablish, EstablishOk(0x20F1, 0));
        d.Expect({rc::PT_CONNECT, 0, 0, 0}, {rc::PT_CONNECT_ACK, 0, 0, 0});
        EXPECT_EQ(Bytes(d.Next()).at(5), 8);  // start viewing at 8 bits
        for (std::size_t at = 0, seq = 0; scene < 2 && at < q.b.size(); at += rc::kMaxPayload, ++seq) {
            const std::size_t n = std::min(rc::kMaxPayload, q.b.size() - at);
            Bytes packet{rc::PT_DATA, static_cast<uint8_t>(seq), 255,
                         static_cast<uint8_t>((at == 0 ? rc::kFlagQueueStart : 0) | (at + n < q.b.size() ? 1 : 0))};
            packet.insert(packet.end(), q.b.begin() + at, q.b.begin() + at + n);
            d.Send(packet);
        }
        for (Bytes b = d.Next(); !b.empty() && b[0] != rc::PT_DISCONNECT; b = d.Next()) {
        }
        v.Expect(kEnd);
        const e2e::RunResult r = p->Wait(10000);
        if (scene == 2) {
            EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
            EXPECT_NE(r.err.find("snapshot: no screen arrived within 4 s"), std::string::npos) << r.err;
            continue;
        }
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("wrote " + png + ": 700 x 3, 8 bits per pixel"), std::string::npos) << r.out;
        png_image img{};
        img.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&img, png.c_str())) << scene;
        img.format = PNG_FORMAT_RGB;
        Bytes rgb(PNG_IMAGE_SIZE(img));
        ASSERT_TRUE(png_image_finish_read(&img, nullptr, rgb.data(), 0, nullptr));
        ASSERT_EQ(rgb.size(), std::size_t{kW * kH * 3});
        int wrong = 0;
        for (int32_t y = 0; y < kH; ++y)
            for (int32_t x = 0; x < kW; ++x) {
                const agent::RgbQuad c = scene ? table[0] : table[bits[(kH - 1 - y) * frame.stride + x]];
                const uint8_t* got = &rgb[(y * kW + x) * 3];
                wrong += got[0] != c.red || got[1] != c.green || got[2] != c.blue;
            }
        EXPECT_EQ(wrong, 0) << "scene " << scene;
    }
}

}  // namespace
}  // namespace qv::rcc
