// Runs a fuzz target over its committed seeds and over inputs mutated from
// them, so that every host build exercises it under the sanitizers even
// without libFuzzer. The build names the seed folder (QV_FUZZ_SEEDS) and
// the number of mutated inputs (QV_FUZZ_ROUNDS).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "common/fuzz_mutate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(FuzzSeeds, SeedsAndMutatedSeeds) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(QV_FUZZ_SEEDS))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());  // the same mutations on every machine
    std::vector<qv::fuzz::Input> seeds;
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ASSERT_FALSE(seeds.empty()) << QV_FUZZ_SEEDS;
    qv::fuzz::RunMutated(seeds, QV_FUZZ_ROUNDS, 1764,
                         [](const std::uint8_t* d, std::size_t n) { LLVMFuzzerTestOneInput(d, n); });
}
