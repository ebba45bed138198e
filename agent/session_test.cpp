// The session protocol as a console sees it: verify requests byte for byte,
// the session's life, command records, the data endpoint's sequence and
// acknowledgement window, payload commands and the send path.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "agent/test/fakes.h"

namespace qv::agent {
namespace {

using test::Bytes;

const uint8_t kOwner[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kOther[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};

struct VerifyRig {
    test::Events ev;
    test::Host host;
    Security security;
    VerifyEndpoint verify{security, host, ev};
    Bytes Send(const Bytes& req, const uint8_t* who, uint32_t now, VerifyOutcome* out = nullptr) {
        VerifyOutcome o = verify.Handle(req.data(), req.size(), who, 16, now);
        if (out) *out = o;
        return Bytes(o.reply.begin(), o.reply.begin() + static_cast<std::ptrdiff_t>(o.reply_len));
    }
};

Bytes Head(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size()))); }

TEST(Verify, InformationRepliesByteForByte) {
    VerifyRig r;
    r.host.info = {true, 0x0601, 4, 0, 1252, 2, true};
    const Bytes level0 = r.Send({0, 0, 0}, kOwner, 100);
    EXPECT_EQ(level0, (Bytes{0, 0, 1, 0, 'U', 'S', 'E', 'R', 1, 0, 0, 0, 8, 0, 1, 6, 8, 0, 1, 6, 1, 1}));

    const Bytes level5 = r.Send({0, 0, 5}, kOwner, 100);
    ASSERT_EQ(level5.size(), 202u);
    Bytes want = {0, 0, 1, 0, 'U', 'S', 'E', 'R', 1, 0, 3, 0, 8, 0, 1, 6, 8, 0, 1, 6, 1, 1,
                  60, 0, 97, 0, 3, 0, 102, 0, 0xFF, 0xFF, 0, 8,             // P, marker, TCP/IP, E, no session, viewer
                  0, 0xFD, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0,                    // level 2 block
                  0, 1, 4, 0, 0, 0, 0, 0, 'E', 'N', 'U', 0, 0xE4, 0x04};    // level 3 block, ACP 1252
    const std::string product = "Fieldhaven Workgroup Manager ver 1.1";
    want.insert(want.end(), product.begin(), product.end());
    want.insert(want.end(), {0, 2, 4, 1, 2, 1});
    want.resize(202, 0);
    EXPECT_EQ(level5, want);

    // Level 1 over IPX with a session: age in ticks, product at 34.
    r.host.info = {false, 0, 0, 0, 0, 1, false};
    r.Send({0, 2}, kOwner, 1000);
    const Bytes level1 = r.Send({0, 0, 1}, kOwner, 1000 + 55 * 7);
    ASSERT_EQ(level1.size(), 176u);
    EXPECT_EQ(Bytes(level1.begin() + 22, level1.begin() + 34), (Bytes{34, 0, 71, 0, 1, 0, 76, 0, 7, 0, 0, 0}));
    EXPECT_EQ(level1[2], 0);
    EXPECT_EQ(level1[34], 'F');
}

// One session from establishing to its end, with a second console knocking.
TEST(Verify, SessionLife) {
    VerifyRig r;
    r.security.signals = 0x05;
    VerifyOutcome out;
    EXPECT_EQ(r.Send({0, 2}, kOwner, 1000, &out), (Bytes{0, 2, 0, 0, 0xF1, 0x20, 0, 0, 5, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(out.accept_any_caller);
    EXPECT_EQ(r.ev.audits, (std::vector<std::string>{"9:S:"}));
    EXPECT_EQ(r.Send({0, 2}, kOwner, 1100), (Bytes{0, 2, 1, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0}));

    // A second console gets the busy reply with the owner's age and address.
    Bytes busy = {0, 2, 0xFE, 0xFF, 18, 0};
    busy.insert(busy.end(), kOwner, kOwner + 16);
    EXPECT_EQ(r.Send({0, 2}, kOther, 1000 + 55 * 18 + 3), busy);
    EXPECT_EQ(Head(r.Send({0, 0, 0}, kOther, 1000 + 55 * 18), 4), (Bytes{0, 0, 0xFE, 0xFF}));
    EXPECT_EQ(r.Send({0, 1}, kOther, 2000), (Bytes{0, 1, 0xFE, 0xFF}));
    // A caller whose address could not be read is nobody's owner.
    const Bytes validate = {0, 1};
    const VerifyOutcome anon = r.verify.Handle(validate.data(), 2, kOwner, 0, 2000);
    EXPECT_EQ(Head(Bytes(anon.reply.begin(), anon.reply.end()), anon.reply_len), (Bytes{0, 1, 0xFE, 0xFF}));

    // Validations less than 136 s apart keep the session alive; information
    // queries do not refresh it.
    uint32_t t = 1000;
    for (int i = 0; i < 20; ++i) {
        t += 2475 * 55 + 54;
        EXPECT_TRUE(r.Send({0, 1}, kOwner, t).empty()) << i;
    }
    r.Send({0, 0, 1}, kOwner, t + 100000);
    EXPECT_EQ(r.Send({0, 1}, kOwner, t + 2476 * 55), (Bytes{0, 1, 0xFC, 0xFF}));
    EXPECT_TRUE(r.ev.Logged("Session timed Out"));
    EXPECT_EQ(r.Send({0, 1}, kOwner, t + 2476 * 55 + 1), (Bytes{0, 1, 0xFD, 0xFF}));

    // The tick count wraps around without ending the session early.
    EXPECT_EQ(r.Send({0, 2}, kOther, 0xFFFFFF00u, &out)[2], 0);
    EXPECT_TRUE(r.Send({0, 1}, kOther, 0x00001000u).empty());

    // End: a reply, then anyone may establish.
    EXPECT_EQ(r.Send({0, 3}, kOther, 0x2000, &out), (Bytes{0, 3, 0, 0}));
    EXPECT_TRUE(out.accept_any_caller);
    EXPECT_FALSE(r.verify.Established());
    EXPECT_EQ(r.Send({0, 1}, kOther, 0x2100), (Bytes{0, 1, 0xFD, 0xFF}));
    EXPECT_EQ(r.Send({0, 4}, kOther, 0x2100), (Bytes{0, 4, 0xFB, 0xFF}));
    EXPECT_EQ(r.Send({1, 0}, kOther, 0x2100), (Bytes{1, 0, 0xFB, 0xFF}));
    EXPECT_EQ(r.Send({0}, kOther, 0x2100), (Bytes{0, 0, 0xFB, 0xFF}));

    // "Check out!" requests are handed on without a reply.
    EXPECT_TRUE(r.Send({0, 5}, kOther, 0x2200).empty());
    EXPECT_TRUE(r.Send({0, 6}, kOther, 0x2200).empty());
    EXPECT_EQ(r.host.calls, (std::vector<std::string>{"checkout:Console sent a request to set the token",
                                                      "checkout:Console sent a request to get the token"}));
}

Bytes Command(uint16_t n, const Bytes& record) {
    Bytes b = {0, 7, 0, 0, static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8), 0, 0};
    b.resize(8 + (n < 300 ? n : 0), 0xEE);
    b.insert(b.end(), record.begin(), record.end());
    return b;
}

Bytes Exec(const std::string& prog, const std::string& args, uint8_t options) {
    Bytes r = {6, 0, 0xB6, 0xCB};
    r.insert(r.end(), prog.begin(), prog.end());
    r.push_back(0);
    r.insert(r.end(), args.begin(), args.end());
    r.insert(r.end(), {0, 0, 0, options});
    return r;
}

Bytes CommandReply(uint16_t status, uint8_t d0, uint8_t d1, uint16_t code) {
    return {0, 7, static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8), 0, 0, 4, 0, d0, d1,
            static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)};
}

TEST(Verify, CommandRecords) {
    const Bytes bad = {0, 7, 0xFB, 0xFF};
    const Bytes good_exec = Exec("notepad.exe", "c:\\a.txt", 0);
    struct Case {
        const char* what;
        Bytes request;
        Bytes reply;
        std::vector<std::string> host_calls;
        bool reboot;
    } cases[] = {
        {"exec", Command(3, good_exec), CommandReply(0, 6, 0, 0), {"close", "start:notepad.exe|c:\\a.txt"}, false},
        {"K prefix", Command(0, Exec("SLAVE.EXE", "", 0x20)), CommandReply(0, 6, 0, 0), {"close", "start:KSLAVE.EXE|"}, false},
        {"poll", Command(0, {6, 0, 0xB7, 0xCB}), CommandReply(0, 6, 0, 0), {}, false},
        {"other code", Command(0, {6, 0, 1, 0}), CommandReply(0, 6, 0, 0), {}, false},
        {"reboot", Command(0, {6, 1, 0, 0}), CommandReply(0, 6, 1, 0), {}, true},
        {"other sub", Command(0, {6, 4, 0, 0}), CommandReply(0, 6, 4, 0xFFFB), {}, false},
        {"other class", Command(0, {9, 2, 0, 0}), CommandReply(0, 9, 2, 0xFFFB), {}, false},
        // Records that do not lie within the bytes received: nothing runs.
        {"N past the end", Command(0xFFFF, good_exec), bad, {}, false},
        {"N leaves 3 bytes", Command(0, {6, 0, 0xB7}), bad, {}, false},
        {"no N", {0, 7, 0, 0, 0}, bad, {}, false},
        {"program text unterminated", Command(0, {6, 0, 0xB6, 0xCB, 'c', 'm', 'd'}), bad, {}, false},
        {"argument text unterminated", Command(0, {6, 0, 0xB6, 0xCB, 'c', 0, 'x', 'y'}), bad, {}, false},
        {"options byte missing", Head(Command(0, good_exec), 8 + good_exec.size() - 1), bad, {}, false},
    };
    for (const Case& c : cases) {
        VerifyRig r;
        r.Send({0, 2}, kOwner, 1000);
        VerifyOutcome out;
        EXPECT_EQ(r.Send(c.request, kOwner, 2000, &out), c.reply) << c.what;
        EXPECT_EQ(r.host.calls, c.host_calls) << c.what;
        EXPECT_EQ(out.reboot, c.reboot) << c.what;
    }

    // From a console without a session: status 8, nothing runs.
    VerifyRig r;
    EXPECT_EQ(r.Send(Command(0, good_exec), kOwner, 1000), CommandReply(8, 8, 0, 0));
    EXPECT_TRUE(r.host.calls.empty());
}

TEST(Verify, ExecuteAndConsentResults) {
    VerifyRig r;
    r.Send({0, 2}, kOwner, 1000);
    auto poll = [&] { return r.Send(Command(0, {6, 0, 0xB7, 0xCB}), kOwner, 1000)[10]; };

    r.Send(Command(0, Exec("Kslave.exe", "/x", 0)), kOwner, 1000);
    EXPECT_EQ(poll(), 32);
    r.host.start_error = 0x102;  // a failed start: 0xFFFF, then the error's low byte
    EXPECT_EQ(r.Send(Command(0, Exec("kchat.exe", "", 0)), kOwner, 1000), CommandReply(0, 6, 0, 0xFFFF));
    EXPECT_EQ(poll(), 2);
    EXPECT_EQ(r.ev.audits, (std::vector<std::string>{"9:S:", "3:S:Kslave.exe", "2:S:kchat.exe"}));

    // The consent prompt: one at a time, 0 while open, the answer afterwards.
    EXPECT_EQ(r.Send(Command(0, Exec("CKALLOW.EXE", "Admin transfer", 0)), kOwner, 1000), CommandReply(0, 6, 0, 0));
    r.Send(Command(0, Exec("ckallow.exe", "Other chat", 0)), kOwner, 1000);
    ASSERT_EQ(r.host.prompts.size(), 1u);
    EXPECT_EQ(r.host.prompts[0].template_id, 1119);
    EXPECT_EQ(r.host.prompts[0].text, "Will you allow Admin to transfer files?");
    EXPECT_EQ(poll(), 0);
    r.security.AnswerPrompt(true, r.ev);
    EXPECT_EQ(poll(), 33);
    r.Send(Command(0, Exec("ckallow.exe", "", 0)), kOwner, 1000);
    ASSERT_EQ(r.host.prompts.size(), 2u);
    EXPECT_EQ(r.host.prompts[1].text, "Will you allow Unknown to access your machine?");
    r.security.AnswerPrompt(false, r.ev);
    EXPECT_EQ(poll(), 34);
    EXPECT_EQ(std::vector<std::string>(r.ev.audits.begin() + 3, r.ev.audits.end()),
              (std::vector<std::string>{"7:S:transfer", "8:F:transfer", "8:F:"}));
}

// With a site key the agent refuses what the user's flags forbid: status 8
// naming the command, a log line, nothing run. Without a key it is as before.
TEST(Verify, KeyedAgentHoldsCommandsToTheUserFlags) {
    const uint32_t all = rc::kDefaultPermissions;
    struct Case {
        const char* what;
        bool enforce;
        uint32_t permissions;
        Bytes record;
        Bytes reply;
        bool runs;
    } cases[] = {
        {"reboot refused", true, all & ~rc::kAllowReboot, {6, 1, 0, 0}, CommandReply(8, 6, 1, 0), false},
        {"reboot allowed", true, rc::kAllowReboot, {6, 1, 0, 0}, CommandReply(0, 6, 1, 0), true},
        {"no key: console's business", false, 0, {6, 1, 0, 0}, CommandReply(0, 6, 1, 0), true},
        {"program refused", true, all & ~rc::kAllowRemoteExecute, Exec("notepad.exe", "", 0), CommandReply(8, 6, 0, 0), false},
        {"program allowed", true, rc::kAllowRemoteExecute, Exec("notepad.exe", "", 0), CommandReply(0, 6, 0, 0), true},
        {"slave needs file transfer", true, all & ~rc::kAllowFileTransfer, Exec("SLAVE.EXE", "", 0x20), CommandReply(8, 6, 0, 0), false},
        {"slave without remote execute", true, rc::kAllowFileTransfer, Exec("kslave.exe", "TCPIP", 0), CommandReply(0, 6, 0, 0), true},
        {"chat needs chat", true, all & ~rc::kAllowChat, Exec("KCHAT.EXE", "", 0), CommandReply(8, 6, 0, 0), false},
        {"consent prompt always", true, 0, Exec("ckallow.exe", "Admin reboot", 0), CommandReply(0, 6, 0, 0), true},
        {"poll always", true, 0, {6, 0, 0xB7, 0xCB}, CommandReply(0, 6, 0, 0), false},
    };
    for (const Case& c : cases) {
        VerifyRig r;
        r.security.enforce = c.enforce;
        r.security.permissions = c.permissions;
        r.Send({0, 2}, kOwner, 1000);
        VerifyOutcome out;
        EXPECT_EQ(r.Send(Command(0, c.record), kOwner, 2000, &out), c.reply) << c.what;
        const bool ran = out.reboot || !r.host.calls.empty() || !r.host.prompts.empty();
        EXPECT_EQ(ran, c.runs) << c.what;
        const bool logged = std::any_of(r.ev.lines.begin(), r.ev.lines.end(), [](const std::string& l) {
            return l.rfind("Command refused: \"Allow ", 0) == 0;
        });
        EXPECT_EQ(logged, c.reply[2] == 8) << c.what;
    }
    EXPECT_STREQ(PermissionKey(rc::kAllowReboot), "Allow Reboot");
}

TEST(DataEndpoint, KeyedAgentDropsInputWithoutTakeover) {
    test::DataRig d;
    Security security;
    security.enforce = true;
    security.permissions = rc::kDefaultPermissions & ~rc::kAllowTakeover;
    uint32_t now = 5000;
    d.data.GuardInput(&security, [&] { return now; });
    const Bytes input = {1, 0x41, 0, 0x1E, 2, 1, 10, 0, 20, 0, 9, 5, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 100; ++i) d.data.ExecutePayload(input.data(), input.size());
    EXPECT_TRUE(d.input.calls.empty());
    EXPECT_EQ(d.viewing.calls.size(), 100u);  // the other commands still run
    // One line for the burst; the next one counts what was held back.
    auto lines = [&] {
        return std::count_if(d.ev.lines.begin(), d.ev.lines.end(),
                             [](const std::string& l) { return l.find("Input refused") != std::string::npos; });
    };
    EXPECT_EQ(lines(), 1);
    now += kRefusedInputLogMs;
    d.data.ExecutePayload(input.data(), 4);
    EXPECT_EQ(lines(), 2);
    EXPECT_NE(d.ev.lines.back().find("(300 command(s) dropped)"), std::string::npos) << d.ev.lines.back();

    security.permissions = rc::kAllowTakeover;
    d.data.ExecutePayload(input.data(), input.size());
    EXPECT_EQ(d.input.calls, (std::vector<std::string>{"key:65:30", "mouse:1:10:20", "sas"}));
}

TEST(DataEndpoint, SequenceAndAcknowledgementWindow) {
    test::DataRig d;
    EXPECT_EQ(d.data.HandlePacket(Bytes{1, 0, 0, 0}.data(), 4), DataEndpoint::Result::kOk);
    EXPECT_EQ(d.link.sent, (std::vector<Bytes>{{2, 0, 0, 0}}));
    d.link.sent.clear();

    auto data = [&](uint8_t seq, uint8_t ack) { d.data.HandlePacket(Bytes{6, seq, ack, 0}.data(), 4); };
    data(0, 255);   // the first after a connect
    data(0, 255);   // repeated: dropped, not acknowledged again
    data(2, 255);   // out of sequence: dropped
    data(1, 255);
    EXPECT_EQ(d.link.sent, (std::vector<Bytes>{{7, 0, 0, 0}, {7, 0, 1, 0}}));
    EXPECT_EQ(d.send.lastReceived.load(), 1);

    // A slot in flight with sequence 198 while the next sequence is 200.
    d.send.nextSendSequence = 200;
    SendSlot& s = d.send.slot(2);
    s.sequence = 198;
    s.buffer = {};
    s.buffer[0] = 6;
    s.buffer[1] = 197;  // a stale sequence byte, corrected on resend
    s.length = 10;
    s.state = kSlotSent;
    d.data.HandlePacket(Bytes{7, 0, 3, 0}.data(), 4);  // outside 195..200: ignored
    EXPECT_EQ(s.state.load(), kSlotSent);
    // A slot SendThread is filling is not freed by an acknowledgement.
    d.send.slot(4).sequence = 196;
    d.send.slot(4).state = kSlotFilling;
    d.data.HandlePacket(Bytes{7, 0, 196, 0}.data(), 4);
    EXPECT_EQ(d.send.slot(4).state.load(), kSlotFilling);
    d.send.slot(4).state = kSlotFree;
    d.link.sent.clear();
    d.data.HandlePacket(Bytes{8, 0, 197, 0}.data(), 4);  // resend 198
    ASSERT_EQ(d.link.sent.size(), 1u);
    EXPECT_EQ(Head(d.link.sent[0], 4), (Bytes{6, 198, 0, 0}));
    EXPECT_EQ(d.link.sent[0].size(), 10u);
    EXPECT_TRUE(d.ev.Logged("i = 2, seq 197 should be 198"));
    d.data.HandlePacket(Bytes{8, 0, 198, 0}.data(), 4);  // acknowledges 198; nothing left for 199
    EXPECT_EQ(s.state.load(), kSlotFree);
    EXPECT_TRUE(d.ev.Logged("Unable to resend packet c7"));

    // Status request and status.
    d.link.sent.clear();
    d.data.HandlePacket(Bytes{9, 0, 0, 0}.data(), 4);
    EXPECT_EQ(d.link.sent, (std::vector<Bytes>{{10, 0, 1, 0}}));

    // Circular ranges across the wrap.
    EXPECT_TRUE(InCircularRange(1, 252, 2));
    EXPECT_TRUE(InCircularRange(253, 252, 2));
    EXPECT_FALSE(InCircularRange(3, 252, 2));
    EXPECT_FALSE(InCircularRange(200, 252, 2));

    // Unknown types and the viewer's disconnect end the packet loop.
    EXPECT_EQ(d.data.HandlePacket(Bytes{4, 0, 0, 0}.data(), 4), DataEndpoint::Result::kError);
    EXPECT_EQ(d.data.HandlePacket(Bytes{11}.data(), 1), DataEndpoint::Result::kError);
}

TEST(DataEndpoint, PayloadCommands) {
    test::DataRig d;
    d.viewing.sixteen = true;
    Bytes start = {4, 2, 4};
    const std::string name = "Operator at console 3";
    start.insert(start.end(), name.begin(), name.end());
    start.resize(63, 0);
    d.data.ExecutePayload(start.data(), start.size());
    EXPECT_EQ(d.view.readyToSend.load(), SEND_GDI);
    EXPECT_EQ(d.data.viewerColourBits(), 4);  // 2 x 4 limited by the 16-colour display
    EXPECT_EQ(d.viewing.calls, (std::vector<std::string>{"name:" + name, "status:1", "activate"}));

    // A key command, then byte 3: the rest of the payload is not run.
    const Bytes keys = {1, 0x41, 0x00, 0x1E, 3, 2, 1, 10, 0, 20, 0};
    d.data.ExecutePayload(keys.data(), keys.size());
    // Mouse, invalidate, secure attention, then a command cut short.
    const Bytes more = {2, 1, 10, 0, 20, 0, 5, 0xFF, 0xFF, 2, 0, 3, 0, 4, 0, 9, 2, 1, 2};
    d.data.ExecutePayload(more.data(), more.size());
    EXPECT_EQ(d.input.calls, (std::vector<std::string>{"key:65:30", "mouse:1:10:20", "sas"}));
    EXPECT_EQ(d.viewing.calls.back(), "inval:-1,2,3,4");

    // Pause, then any payload does not restart while paused; resume does.
    d.viewing.calls.clear();
    const Bytes pause = {6};
    d.data.ExecutePayload(pause.data(), 1);
    EXPECT_EQ(d.view.readyToSend.load(), SEND_NOTREADY);
    d.data.ExecutePayload(keys.data(), 4);
    EXPECT_EQ(d.view.readyToSend.load(), SEND_NOTREADY);
    const Bytes factors = {8, 1, 0, 8, 0};
    d.data.ExecutePayload(factors.data(), factors.size());
    EXPECT_EQ(d.view.readyToSend.load(), SEND_GDI);
    EXPECT_FALSE(d.view.paused.load());
    EXPECT_EQ(d.viewing.calls, (std::vector<std::string>{"stopchanges", "status:1", "activate"}));
    d.data.ExecutePayload(nullptr, 0);
    EXPECT_TRUE(d.ev.Logged("Size is 0"));
}

TEST(DataEndpoint, DisconnectAndErrors) {
    test::DataRig d;
    d.link.inbox = {{1, 0, 0, 0}, {6, 0, 255, 0, 1, 0x0D, 0, 0x1C}, {3, 0, 0, 0}};
    EXPECT_EQ(d.data.WaitForPackets(), 1);
    EXPECT_FALSE(d.link.open);
    // The acknowledgement reaches the viewer before the reset drops it.
    EXPECT_EQ(d.link.sent, (std::vector<Bytes>{{2, 0, 0, 0}, {7, 0, 0, 0}, {5, 0, 0, 0}}));
    // The connected viewer's reset releases Enter and Alt.
    EXPECT_EQ(d.input.calls, (std::vector<std::string>{"cursor", "key:13:28", "key:32781:156", "key:32786:184"}));
    EXPECT_EQ(d.viewing.locked, 0);
    EXPECT_EQ(d.ev.audits, (std::vector<std::string>{"6:S:"}));
    for (const char* line : {"Received DISCONNECT 0", "AD1: ** readyToSend = FALSE **", "AD: ** readyToSend = FALSE **",
                             "**************** Viewing threads terminated", "Viewee Thread received error 8196",
                             "WFP: Session closed - resetting"})
        EXPECT_TRUE(d.ev.Logged(line)) << line;

    // A receive failure while the agent stops: 0.
    test::DataRig s;
    s.viewing.terminate = true;
    EXPECT_EQ(s.data.WaitForPackets(), 0);
    EXPECT_TRUE(s.ev.Logged("VieweeThread should terminate by terminate event"));
}

TEST(SendPath, CutsQueueIntoPackets) {
    test::DataRig d;
    d.view.readyToSend = SEND_GDI;
    Bytes queued(1200);
    for (std::size_t i = 0; i < queued.size(); ++i) queued[i] = static_cast<uint8_t>(i * 7);
    d.queue.Put(queued);
    d.send.lastAcknowledged = 9;
    // The viewer acknowledges each packet as it arrives.
    d.link.on_send = [&](const Bytes& p) { d.send.Acknowledge(p[1], d.waits); };
    ASSERT_TRUE(d.send.IPXSendBuffer(d.waits, d.queue, d.link));
    ASSERT_EQ(d.link.sent.size(), 3u);
    Bytes joined;
    const uint8_t flags[] = {3, 1, 0};
    const std::size_t sizes[] = {546, 546, 120};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Head(d.link.sent[i], 4), (Bytes{6, static_cast<uint8_t>(i), 9, flags[i]})) << i;
        EXPECT_EQ(d.link.sent[i].size(), sizes[i]);
        joined.insert(joined.end(), d.link.sent[i].begin() + 4, d.link.sent[i].end());
    }
    EXPECT_EQ(joined, queued);
    EXPECT_EQ(d.queue.GetBufferPos(), 0u);
    EXPECT_EQ(d.queue.held, 0);
    EXPECT_EQ(d.waits.slot_waits, 0);
}

TEST(SendPath, FourPacketsInFlightWaitForAnAcknowledgement) {
    test::DataRig d;
    d.view.readyToSend = SEND_GDI;
    d.queue.Put(Bytes(542 * 5, 0x55));
    // No acknowledgements until the sender waits; then the first packet's.
    d.waits.on_slot_wait = [&] {
        EXPECT_EQ(d.send.SlotsInFlight(), 4);
        EXPECT_EQ(d.data.HandlePacket(Bytes{7, 0, 0, 0}.data(), 4), DataEndpoint::Result::kOk);
        return SlotWake::kSlotEvent;
    };
    ASSERT_TRUE(d.send.IPXSendBuffer(d.waits, d.queue, d.link));
    EXPECT_EQ(d.link.sent.size(), 5u);
    EXPECT_EQ(d.waits.slot_waits, 1);
    EXPECT_GE(d.waits.slot_signals, 1);

    // Nobody acknowledges: the wait times out and the send fails.
    d.queue.Put(Bytes(542 * 3, 0x66));
    d.waits.on_slot_wait = [] { return SlotWake::kTimeout; };
    EXPECT_FALSE(d.send.IPXSendBuffer(d.waits, d.queue, d.link));
    EXPECT_TRUE(d.ev.Logged("FASS: Timed out"));
    EXPECT_TRUE(d.ev.Logged("IPXSendBuffer: Unable to get a send slot"));
    EXPECT_EQ(d.queue.held, 0);
}

TEST(SendPath, SendFailureStopsSendingUntilTheNextCycle) {
    test::DataRig d;
    d.view.readyToSend = SEND_GDI;
    d.queue.Put(Bytes(100, 1));
    d.link.fail_sends = true;
    d.waits.data_wakes = {DataWake::kDataReady};
    d.send.RunSendThread(d.waits, d.queue, d.link);
    EXPECT_EQ(d.send.sendErrors.load(), 1u);
    EXPECT_EQ(d.queue.GetBufferPos(), 0u);
    EXPECT_TRUE(d.ev.Logged("Send error 2006"));
    EXPECT_TRUE(d.ev.Logged("Send thread exiting"));

    // A new send thread of the same cycle only discards the signals.
    d.link.fail_sends = false;
    d.queue.Put(Bytes(100, 1));
    d.waits.data_wakes = {DataWake::kDataReady, DataWake::kDataReady, DataWake::kTerminate};
    d.send.RunSendThread(d.waits, d.queue, d.link);
    EXPECT_EQ(d.waits.data_resets, 2);
    EXPECT_EQ(d.queue.GetBufferPos(), 100u);
    d.data.BeginCycle();
    EXPECT_EQ(d.send.sendErrors.load(), 0u);
}

}  // namespace
}  // namespace qv::agent
