// Mutation driver for the fuzz targets' GoogleTest runs.
//
// Every parser has a libFuzzer entry point (built with clang by `make fuzz`).
// So that every build exercises the same code under the sanitizers without
// libFuzzer, its GoogleTest driver feeds it the seeds and a few thousand
// inputs made from them by random edits: bit flips, byte changes, inserted
// and removed bytes, and cuts (a peer or a file that ends early).
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace qv::fuzz {

using Input = std::vector<std::uint8_t>;

template <typename Fn>
void RunMutated(const std::vector<Input>& seeds, int rounds, unsigned seed, Fn&& run) {
    for (const Input& s : seeds) run(s.data(), s.size());
    if (seeds.empty()) return;
    std::mt19937 rng(seed);
    for (int round = 0; round < rounds; ++round) {
        Input in = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = in.empty() ? 0 : rng() % in.size();
            switch (rng() % 5) {
            case 0:
                if (!in.empty()) in[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
                break;
            case 1:
                if (!in.empty()) in[at] = static_cast<std::uint8_t>(rng());
                break;
            case 2:
                in.insert(in.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(rng()));
                break;
            case 3:
                if (!in.empty()) in.erase(in.begin() + static_cast<std::ptrdiff_t>(at));
                break;
            default:
                if (!in.empty()) in.resize(at);
                break;
            }
        }
        run(in.data(), in.size());
    }
}

}  // namespace qv::fuzz
