// Runs the frame reader's fuzz target over a few thousand mutated streams,
// so that every build exercises it under the sanitizers even without
// libFuzzer.
#include <gtest/gtest.h>

#include <vector>

#include "common/fuzz_mutate.h"
#include "libs/linkcore/framing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace qv::link {
namespace {

// A stream of well-formed frames of the given sizes, cut into reads of
// `chunk` bytes (the read-size byte before each read).
std::vector<uint8_t> Stream(const std::vector<std::size_t>& sizes, uint8_t chunk) {
    std::vector<uint8_t> wire;
    for (std::size_t n : sizes) {
        std::vector<uint8_t> p(n, static_cast<uint8_t>(n));
        EncodeFrame(p.data(), n, &wire);
    }
    std::vector<uint8_t> in;
    for (std::size_t i = 0; i < wire.size(); i += chunk + 1u) {
        in.push_back(chunk);
        for (std::size_t j = i; j < wire.size() && j < i + chunk + 1u; ++j) in.push_back(wire[j]);
    }
    return in;
}

TEST(FrameFuzz, MutatedStreams) {
    std::vector<std::vector<uint8_t>> seeds = {
        Stream({1, 2, 3}, 0),
        Stream({kMaxPacket, kMaxPacket, kMaxPacket, kMaxPacket, 5}, 255),
        Stream({504, 14, 510, 1}, 37),
        Stream({kMaxPacket - 1, 1, kMaxPacket}, 200),
        {},
        {0, 0},                       // a zero length: malformed
        {1, 0xDD, 0x05},              // 1501: malformed
        {255, 0xFF, 0xFF, 1, 2, 3},   // 65535: malformed
    };
    fuzz::RunMutated(seeds, 4000, 1764, [](const uint8_t* d, size_t n) { LLVMFuzzerTestOneInput(d, n); });
}

}  // namespace
}  // namespace qv::link
