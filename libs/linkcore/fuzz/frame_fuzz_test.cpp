// Runs the frame reader's fuzz target over a few thousand mutated streams,
// so that every build exercises it under the sanitizers even without
// libFuzzer.
#include <gtest/gtest.h>

#include <random>
#include <vector>

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
    for (const auto& s : seeds) LLVMFuzzerTestOneInput(s.data(), s.size());
    std::mt19937 rng(1764);
    for (int round = 0; round < 4000; ++round) {
        std::vector<uint8_t> in = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = in.empty() ? 0 : rng() % in.size();
            switch (rng() % 5) {
            case 0:
                if (!in.empty()) in[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
                break;
            case 1:
                if (!in.empty()) in[at] = static_cast<uint8_t>(rng());
                break;
            case 2:
                in.insert(in.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(rng()));
                break;
            case 3:
                if (!in.empty()) in.erase(in.begin() + static_cast<std::ptrdiff_t>(at));
                break;
            default:
                if (!in.empty()) in.resize(at);  // the peer went away mid-stream
                break;
            }
        }
        LLVMFuzzerTestOneInput(in.data(), in.size());
    }
}

}  // namespace
}  // namespace qv::link
