// Runs the replay fuzz target over a few thousand generated inputs, so that
// every build exercises it under the sanitizers even without libFuzzer.
#include "scanner/records/itemstream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace qv::scanner {
namespace {

// Flat files as a run writes them, as the seeds for mutation.
std::vector<std::string> Seeds() {
    std::vector<std::string> seeds;
    for (int n : {1, 5, 40}) {
        StringFlatSink flat;
        ItemStream s;
        s.SetFlatSink(&flat);
        for (int i = 0; i < n; ++i) s.AddItem("Item " + std::to_string(i) + " =", std::string(i * 7 % 90, 'a' + i % 26));
        s.AddItem("_BeginContents", "");
        ContentsRecord r;
        SetContentsRecord(r, "99", "852076800", "WIN.INI", "C:\\WINDOWS\\");
        s.AddRecord(r);
        std::string text;
        for (int i = 0; i < n * 20; ++i) text += "key" + std::to_string(i) + "=\x82\xA0value\r\n";
        MemoryByteSource src(text);
        s.AddText(src);
        s.AddItem("_EndContents", "");
        s.AddItem("Number of Files = ", "    42");
        seeds.push_back(flat.text);
    }
    return seeds;
}

void Feed(const std::string& mode_and_input) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(mode_and_input.data()), mode_and_input.size());
}

TEST(ReplayFuzz, MutatedFlatFiles) {
    std::mt19937 rng(20240607);
    const std::vector<std::string> seeds = Seeds();
    const char interesting[] = {'\r', '\n', '=', ' ', '\0', '\x1a', '\x82', '_'};
    for (int iter = 0; iter < 3000; ++iter) {
        std::string input = seeds[rng() % seeds.size()];
        int edits = 1 + rng() % 8;
        for (int e = 0; e < edits && !input.empty(); ++e) {
            std::size_t at = rng() % input.size();
            switch (rng() % 5) {
            case 0: input[at] = static_cast<char>(rng()); break;
            case 1: input[at] = interesting[rng() % sizeof interesting]; break;
            case 2: input.erase(at, rng() % 64); break;
            case 3: input.insert(at, std::string(rng() % 700, interesting[rng() % sizeof interesting])); break;
            case 4: input.resize(at); break;
            }
        }
        Feed(std::string(1, static_cast<char>(rng() % 8)) + input);
    }
}

TEST(ReplayFuzz, RandomBytes) {
    std::mt19937 rng(7);
    for (int iter = 0; iter < 1000; ++iter) {
        std::string input(rng() % 3000, '\0');
        for (char& c : input) c = static_cast<char>(rng() % 4 ? 'a' + rng() % 4 : rng());
        Feed(input);
    }
}

}  // namespace
}  // namespace qv::scanner
