// The typed view commands as the agent receives them.
#include <gtest/gtest.h>

#include "tools/rcconsole/view_input.h"

namespace qv::rcc {
namespace {

TEST(ViewInput, TypedCommandsBecomeKeyAndMouseCommands) {
    struct Case {
        std::vector<std::string> words;
        Bytes want;  // all payloads joined; empty: refused
    };
    const Case cases[] = {
        // Pressed and released, with the US scan code (bit 7 on release).
        {{"key", "0x41"}, {1, 0x41, 0, 0x1E, 1, 0x41, 0x80, 0x9E}},
        {{"key", "13", "0x1c"}, {1, 13, 0, 0x1C, 1, 13, 0x80, 0x9C}},
        {{"key", "0x800D"}, {1, 0x0D, 0x80, 0x9C}},
        // Capitals and symbols with shift around them.
        {{"text", "a!"}, {1, 'A', 0, 0x1E, 1, 'A', 0x80, 0x9E, 1, 0x10, 0, 0x2A, 1, '1', 0, 0x02, 1, '1', 0x80, 0x82, 1,
                          0x10, 0x80, 0xAA}},
        {{"move", "1023", "767"}, {2, 1, 0xFF, 3, 0xFF, 2}},
        {{"click", "5", "6", "right"}, {2, 0x09, 5, 0, 6, 0, 2, 0x11, 5, 0, 6, 0}},
        {{"click", "5", "6"}, {2, 0x03, 5, 0, 6, 0, 2, 0x05, 5, 0, 6, 0}},
        // Outside the 1024 x 768 screen, bad numbers and characters.
        {{"move", "1024", "0"}, {}},
        {{"move", "-1", "0"}, {}},
        {{"click", "1", "1", "middle"}, {}},
        {{"key", "0x141"}, {}},
        {{"text", "\xC3\xA9"}, {}},
        {{"type", "x"}, {}},
    };
    for (const Case& c : cases) {
        std::vector<Bytes> payloads;
        std::string error;
        const bool ok = ViewCommandPayloads(c.words, 1024, 768, &payloads, &error);
        Bytes joined;
        for (const Bytes& p : payloads) joined.insert(joined.end(), p.begin(), p.end());
        EXPECT_EQ(ok, !c.want.empty()) << c.words[0] << " " << c.words[1] << ": " << error;
        EXPECT_EQ(joined, c.want) << c.words[0] << " " << c.words[1];
    }
    // Long text is cut between commands into packets the agent can read.
    std::vector<Bytes> payloads;
    std::string error;
    ASSERT_TRUE(ViewCommandPayloads({"text", std::string(200, 'q')}, 0, 0, &payloads, &error));
    EXPECT_EQ(payloads.size(), 4u);  // 400 key commands of 4 bytes, 127 of them a packet
    for (const Bytes& p : payloads) EXPECT_TRUE(p.size() <= kMaxViewerPayload && p.size() % 4 == 0);
}

}  // namespace
}  // namespace qv::rcc
