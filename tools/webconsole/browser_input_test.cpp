// The page's input events as the agent receives them.
#include <gtest/gtest.h>

#include "tools/rcconsole/view_input.h"
#include "tools/webconsole/browser_input.h"

namespace qv::web {
namespace {

using Bytes = rcc::Bytes;

TEST(BrowserInput, PageEventsBecomeKeyAndMouseCommands) {
    struct Case {
        const char* events;  // JSON
        Bytes want;          // all payloads joined
    };
    const Case cases[] = {
        // Keys: virtual key and US scan code, bit 15 and scan bit 7 on release.
        {R"([{"t":"key","code":"KeyA","key":"a","down":true},{"t":"key","code":"KeyA","down":false}])",
         {1, 0x41, 0, 0x1E, 1, 0x41, 0x80, 0x9E}},
        {R"([{"t":"key","code":"Digit0","down":true},{"t":"key","code":"F12","down":true},
             {"t":"key","code":"Tab","down":true},{"t":"key","code":"Backspace","down":true}])",
         {1, '0', 0, 0x0B, 1, 0x7B, 0, 0x58, 1, 0x09, 0, 0x0F, 1, 0x08, 0, 0x0E}},
        {R"([{"t":"key","code":"ArrowLeft","down":true},{"t":"key","code":"PageDown","down":true},
             {"t":"key","code":"Numpad7","down":true},{"t":"key","code":"NumpadEnter","down":true}])",
         {1, 0x25, 0, 0x4B, 1, 0x22, 0, 0x51, 1, 0x67, 0, 0x47, 1, 0x0D, 0, 0x1C}},
        {R"([{"t":"key","code":"ShiftRight","down":true},{"t":"key","code":"ControlLeft","down":true},
             {"t":"key","code":"MetaLeft","down":true},{"t":"key","code":"Slash","down":true},
             {"t":"key","code":"Quote","down":true}])",
         {1, 0x10, 0, 0x36, 1, 0x11, 0, 0x1D, 1, 0x5B, 0, 0x5B, 1, 0xBF, 0, 0x35, 1, 0xDE, 0, 0x28}},
        // Unknown keys and malformed events are skipped, the rest goes.
        {R"([{"t":"key","code":"Lang1","down":true},{"t":"key","code":"F25","down":true},
             {"t":"key","code":"KeyAB","down":true},{"t":"key","code":"KeyB"},{"t":"key","code":7,"down":true},
             7,{"t":"wheel"},{"t":"down","button":1,"x":1,"y":1},{"t":"key","code":"KeyB","down":true}])",
         {1, 0x42, 0, 0x30}},
        // Mouse: clamped to the 1024 x 768 screen, fractions dropped.
        {R"([{"t":"move","x":2000.7,"y":-5},{"t":"move","x":10.6,"y":767.9},{"t":"move"},{"t":"move","x":"1","y":1}])",
         {2, 1, 0xFF, 3, 0, 0, 2, 1, 10, 0, 0xFF, 2}},
        {R"([{"t":"down","button":2,"x":5,"y":6},{"t":"up","button":2,"x":5,"y":6},
             {"t":"down","button":0,"x":5,"y":6},{"t":"up","button":0,"x":5,"y":6},{"t":"sas"}])",
         {2, 0x09, 5, 0, 6, 0, 2, 0x11, 5, 0, 6, 0, 2, 0x03, 5, 0, 6, 0, 2, 0x05, 5, 0, 6, 0, 9}},
    };
    for (const Case& c : cases) {
        std::vector<Bytes> payloads;
        std::string error;
        ASSERT_TRUE(InputPayloads(nlohmann::json::parse(c.events), 1024, 768, &payloads, &error)) << c.events;
        Bytes joined;
        for (const Bytes& p : payloads) joined.insert(joined.end(), p.begin(), p.end());
        EXPECT_EQ(joined, c.want) << c.events;
    }

    // Many events are cut between commands into packets the agent can read;
    // a request that is not a list, or too long, is refused whole.
    nlohmann::json many = nlohmann::json::array();
    for (int i = 0; i < 300; ++i) many.push_back({{"t", "move"}, {"x", i}, {"y", i}});
    std::vector<Bytes> payloads;
    std::string error;
    ASSERT_TRUE(InputPayloads(many, 1024, 768, &payloads, &error));
    std::size_t total = 0;
    for (const Bytes& p : payloads) {
        EXPECT_TRUE(p.size() <= rcc::kMaxViewerPayload && p.size() % 6 == 0);
        total += p.size();
    }
    EXPECT_EQ(total, 300u * 6);
    for (int i = 0; i < 800; ++i) many.push_back({{"t", "move"}, {"x", i}, {"y", i}});
    EXPECT_FALSE(InputPayloads(many, 1024, 768, &payloads, &error));
    EXPECT_FALSE(InputPayloads(nlohmann::json::object(), 1024, 768, &payloads, &error));
}

}  // namespace
}  // namespace qv::web
