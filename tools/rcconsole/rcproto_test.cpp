// The console's reading of the agent's replies and its stream bookkeeping.
#include "tools/rcconsole/rcproto.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qv::rcc {
namespace {

// An information reply of level L as the agent builds it (P = 34, 46, 60).
Bytes Info(uint8_t level) {
    if (level == 0) return {0, 0, 1, 0, 'U', 'S', 'E', 'R', 1, 0, 0, 0, 8, 0, 0x01, 0x06, 8, 0, 0x01, 0x06, 1, 1};
    const std::size_t p = level == 1 ? 34 : level == 2 ? 46 : 60, e = p + 42;
    Bytes b(e + 100, 0);
    const uint8_t head[] = {0, 0, 1, 0, 'U', 'S', 'E', 'R', 1, 0, level, 0, 8, 0, 0x01, 0x06, 8, 0, 0x01, 0x06, 1, 1};
    std::memcpy(b.data(), head, sizeof head);
    b[22] = static_cast<uint8_t>(p), b[24] = static_cast<uint8_t>(p + 37), b[26] = 3, b[28] = static_cast<uint8_t>(e);
    b[30] = 0xB4, b[31] = 0x00;  // age 180 ticks
    b[33] = 0x08;
    if (level >= 3) {
        b[46] = 0, b[47] = 1, b[48] = 4, b[50] = 0;
        std::memcpy(&b[54], "ENU", 4);
        b[58] = 0xE4, b[59] = 0x04;  // 1252
    }
    std::memcpy(&b[p], "Fieldhaven Workgroup Manager ver 1.1", 37);
    b[p + 37] = 2;
    return b;
}

TEST(RcProto, RepliesAreReadOnlyWhenTheyFitTheirForm) {
    InfoReply i;
    Bytes l0 = Info(0);
    ASSERT_TRUE(DecodeInfo(l0.data(), l0.size(), &i));
    EXPECT_EQ(i.os_version, 0x0601);
    EXPECT_EQ(i.product, "");
    Bytes l3 = Info(3);
    ASSERT_TRUE(DecodeInfo(l3.data(), l3.size(), &i));
    EXPECT_EQ(i.product, "Fieldhaven Workgroup Manager ver 1.1");
    EXPECT_EQ(i.session_age, 180);
    EXPECT_TRUE(i.viewer_active);
    EXPECT_EQ(i.transport, 3);
    EXPECT_EQ(i.keyboard_type, 4);
    EXPECT_EQ(i.language, "ENU");
    EXPECT_EQ(i.code_page, 1252);
    for (uint8_t level : {1, 2}) {
        Bytes b = Info(level);
        EXPECT_TRUE(DecodeInfo(b.data(), b.size(), &i)) << int(level);
    }
    // Garbled information replies: cut, product offset past the end, no
    // terminator, a level 3 with the product where the level 3 fields are.
    Bytes cut = Info(2);
    cut.pop_back();
    Bytes far = Info(1);
    far[22] = 0xF0;
    Bytes unterminated = Info(1);
    unterminated[34 + 36] = 'x';
    Bytes l3_short = Info(1);
    l3_short[10] = 3;
    for (const Bytes* b : {&cut, &far, &unterminated, &l3_short})
        EXPECT_FALSE(DecodeInfo(b->data(), b->size(), &i));

    const Bytes busy = {0, 2, 0xFE, 0xFF, 200, 0, 127, 0, 0, 1, 0x10, 0xE1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    BusyReply br;
    ASSERT_TRUE(DecodeBusy(busy.data(), busy.size(), &br));
    EXPECT_EQ(AgeSeconds(br.age_ticks), 11u);
    EXPECT_EQ(AddressText(br.owner, sizeof br.owner), "127.0.0.1:4321");
    EXPECT_FALSE(DecodeBusy(busy.data(), 4, &br));  // a 4-byte -2 error reply carries no owner

    EstablishReply er;
    const Bytes est = {0, 2, 0, 0, 0xF1, 0x20, 0, 0, 0x05, 0, 0, 0, 0, 0};
    ASSERT_TRUE(DecodeEstablish(est.data(), est.size(), &er));
    EXPECT_EQ(PermissionWords(er.permissions), "takeover reboot file-transfer chat remote-execute ping-test");
    EXPECT_EQ(SignalWords(er.signals), "visible permission-required");
    EXPECT_EQ(PermissionWords(0x10000), "0x10000");
    EXPECT_FALSE(DecodeEstablish(est.data(), 13, &er));

    CommandReply cr;
    const Bytes cmd = {0, 7, 0, 0, 0, 0, 4, 0, 6, 0, 0xFF, 0xFF};
    ASSERT_TRUE(DecodeCommand(cmd.data(), cmd.size(), &cr));
    EXPECT_EQ(cr.code(), 0xFFFF);
    EXPECT_FALSE(DecodeCommand(cmd.data(), 4, &cr));

    // Pipe replies.
    const Bytes settings = {2, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(DescribePipeReply(settings.data(), settings.size()),
              (std::vector<std::string>{"signals 0x04 visible", "permissions 0x00000001 takeover"}));
    Bytes addr(68, 0);
    addr[0] = 4, addr[4] = 1;
    std::memcpy(&addr[8], "PC1", 3);
    const uint8_t local[] = {127, 0, 0, 1, 0x06, 0xE1};
    std::memcpy(&addr[48], local, sizeof local);
    EXPECT_EQ(DescribePipeReply(addr.data(), addr.size())[0], "address tcp/ip computer PC1 local 127.0.0.1:1761");
    const Bytes unknown = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(DescribePipeReply(unknown.data(), unknown.size())[0], "error 0");
    EXPECT_EQ(DescribePipeReply(unknown.data(), 3)[0], "raw ffffff");
}

TEST(RcProto, CommandRecordsStayWithinWhatTheAgentCopies) {
    CommandRecord rec;
    rec.code = rc::kCodeRemoteExec;
    rec.program = "SLAVE.EXE";
    rec.arguments = "/x";
    rec.options = rc::kExecOptionKPrefix;
    Bytes b;
    ASSERT_TRUE(CommandRequest(rec, &b));
    const Bytes want = {0,   7,   0,   0,   0,   0,   0, 0, 6, 0, 0xB6, 0xCB, 'S', 'L', 'A', 'V', 'E',
                        '.', 'E', 'X', 'E', 0, '/', 'x', 0, 0, 0, 0x20};
    EXPECT_EQ(b, want);
    rec.arguments = std::string(kMaxCommandText - 5 - rec.program.size(), 'a');
    EXPECT_TRUE(CommandRequest(rec, &b));
    rec.arguments += 'a';
    EXPECT_FALSE(CommandRequest(rec, &b));
    rec.arguments = std::string("a\0b", 3);
    EXPECT_FALSE(CommandRequest(rec, &b));

    const Bytes start = StartViewingPacket(0, 255, 4, 1, std::string(80, 'n'));
    ASSERT_EQ(start.size(), 4u + 63u);
    EXPECT_EQ(start[4], rc::kCmdStartViewing);
    EXPECT_EQ(start[5], 4);
    EXPECT_EQ(start.back(), 0);  // the name keeps its zero byte
}

TEST(RcProto, RecordsAreCountedAcrossPacketsAndSequencesKeptInOrder) {
    // A stream: dimensions (6), a colour table of 4 bits (41 + 64), a row
    // delta with 3 encoded bytes (10), a rectangle done (9), cut into
    // packets at awkward places.
    Bytes stream = {130, 0, 4, 0, 3, 4};
    Bytes table(41 + 64, 0);
    table[0] = 172, table[15] = 4;
    stream.insert(stream.end(), table.begin(), table.end());
    stream.insert(stream.end(), {175, 0, 0, 0, 0, 3, 0, 1, 2, 3});
    stream.insert(stream.end(), {177, 0, 0, 0, 0, 8, 0, 8, 0});
    for (std::size_t cut : {std::size_t{1}, std::size_t{7}, std::size_t{16}, std::size_t{112}}) {
        RecordCounter c;
        for (std::size_t at = 0; at < stream.size(); at += cut)
            c.Feed(stream.data() + at, std::min(cut, stream.size() - at), at == 0);
        EXPECT_EQ(c.records(), 4u) << cut;
        EXPECT_EQ(c.unknown_bytes(), 0u) << cut;
    }
    // An unknown code: the rest is skipped until the queue starts again.
    RecordCounter c;
    const Bytes junk = {200, 1, 2, 3};
    c.Feed(junk.data(), junk.size(), true);
    c.Feed(stream.data(), stream.size(), false);
    EXPECT_EQ(c.records(), 0u);
    c.Feed(stream.data(), stream.size(), true);
    EXPECT_EQ(c.records(), 4u);

    // Sequences: 0 first, wrap-around, a copy acknowledged again, a gap
    // asks for the missing packet.
    DataReceiver rx;
    Bytes reply;
    struct Step {
        uint8_t seq;
        DataReceiver::Action action;
        Bytes reply;
    };
    const Step steps[] = {
        {0, DataReceiver::Action::kTake, {7, 0, 0, 0}},    {1, DataReceiver::Action::kTake, {7, 0, 1, 0}},
        {1, DataReceiver::Action::kRepeat, {7, 0, 1, 0}},  {3, DataReceiver::Action::kGap, {8, 0, 1, 0}},
        {2, DataReceiver::Action::kTake, {7, 0, 2, 0}},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(rx.OnData(s.seq, &reply), s.action) << int(s.seq);
        EXPECT_EQ(reply, s.reply) << int(s.seq);
    }
    for (int i = 3; i <= 255; ++i) rx.OnData(static_cast<uint8_t>(i), &reply);
    EXPECT_EQ(rx.OnData(0, &reply), DataReceiver::Action::kTake);
    EXPECT_EQ(rx.OnData(254, &reply), DataReceiver::Action::kRepeat);
}

}  // namespace
}  // namespace qv::rcc
