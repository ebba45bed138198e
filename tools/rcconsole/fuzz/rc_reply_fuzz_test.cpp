// Runs the console's reply fuzz target over a few thousand mutated runs of
// agent packets, so that every build exercises it under the sanitizers.
#include <gtest/gtest.h>

#include <cstring>

#include "common/fuzz_mutate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Add(qv::fuzz::Input* run, const std::vector<uint8_t>& packet) {
    run->push_back(static_cast<uint8_t>(packet.size()));
    run->push_back(static_cast<uint8_t>(packet.size() >> 8));
    run->insert(run->end(), packet.begin(), packet.end());
}

// What a well-behaved agent answers to the target's session, with a data
// packet stream after it.
qv::fuzz::Input Session() {
    qv::fuzz::Input run;
    std::vector<uint8_t> info(202, 0);
    const uint8_t head[] = {0, 0, 1, 0, 'U', 'S', 'E', 'R', 1, 0, 3, 0, 8, 0, 1, 6, 8, 0, 1, 6, 1, 1,
                            60, 0, 97, 0, 3, 0, 102, 0, 0xFF, 0xFF, 0, 8};
    std::memcpy(info.data(), head, sizeof head);
    std::memcpy(&info[54], "ENU", 4);
    std::memcpy(&info[60], "Fieldhaven Workgroup Manager ver 1.1", 37);
    Add(&run, info);
    Add(&run, {0, 2, 0, 0, 0xF1, 0x20, 0, 0, 4, 0, 0, 0, 0, 0});
    Add(&run, {0, 1, 0xFC, 0xFF});
    Add(&run, {0, 7, 0, 0, 0, 0, 4, 0, 6, 0, 33, 0});
    Add(&run, {0, 3, 0, 0});
    Add(&run, {6, 0, 0, 3, 130, 0, 4, 0, 3, 4, 172, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4});
    Add(&run, {6, 1, 0, 0, 175, 0, 0, 0, 0, 3, 0, 1, 2, 3, 177, 0, 0, 0, 0, 0, 0, 0, 0});
    return run;
}

TEST(RcReplyFuzz, MutatedAgentRuns) {
    const std::vector<uint8_t> busy = {22, 0, 0, 2, 0xFE, 0xFF, 200, 0, 127, 0, 0, 1, 0x10, 0xE1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    qv::fuzz::RunMutated({Session(), busy, {}}, 3000, 1761,
                         [](const uint8_t* d, std::size_t n) { LLVMFuzzerTestOneInput(d, n); });
}

}  // namespace
