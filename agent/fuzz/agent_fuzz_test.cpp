// Runs the agent's fuzz targets over mutated seeds, so that every build
// exercises them under the sanitizers even without libFuzzer.
#include <gtest/gtest.h>

#include <string>

#include "common/fuzz_mutate.h"

int FuzzVerifyRequests(const uint8_t* data, std::size_t size);
int FuzzDataPackets(const uint8_t* data, std::size_t size);
int FuzzPipeMessage(const uint8_t* data, std::size_t size);

namespace {

using qv::fuzz::Input;

void Add(Input* run, std::initializer_list<uint8_t> head, const Input& body) {
    run->insert(run->end(), head);
    run->push_back(static_cast<uint8_t>(body.size()));
    run->insert(run->end(), body.begin(), body.end());
}

Input Exec(const std::string& prog, const std::string& args, uint8_t n) {
    Input r = {0, 7, 0, 0, n, 0, 0, 0};
    r.resize(8 + n, 0);
    r.insert(r.end(), {6, 0, 0xB6, 0xCB});
    r.insert(r.end(), prog.begin(), prog.end());
    r.push_back(0);
    r.insert(r.end(), args.begin(), args.end());
    r.insert(r.end(), {0, 0, 0, 0x20});
    return r;
}

TEST(AgentFuzz, VerifyRequests) {
    std::vector<Input> seeds(2);
    Add(&seeds[0], {0, 0}, {0, 0, 3});
    Add(&seeds[0], {0, 1}, {0, 2});
    Add(&seeds[0], {1, 1}, {0, 2});
    Add(&seeds[0], {0, 100}, {0, 1});
    Add(&seeds[0], {0, 130}, {0, 1});
    Add(&seeds[0], {0, 1}, Exec("SLAVE.EXE", "/a b", 2));
    Add(&seeds[0], {0, 1}, Exec("ckallow.exe", "Admin transfer", 0));
    Add(&seeds[0], {0x80, 1}, {0, 7, 0, 0, 0, 0, 0, 0, 6, 0, 0xB7, 0xCB});
    Add(&seeds[0], {0, 1}, {0, 7, 0, 0, 0, 0, 0, 0, 6, 1, 0, 0});
    Add(&seeds[0], {0, 1}, {0, 3});
    Add(&seeds[1], {2, 0}, {0, 2});
    Add(&seeds[1], {2, 0}, {0, 5});
    Add(&seeds[1], {1, 0}, {0, 0, 1});
    Add(&seeds[1], {1, 0}, {0, 7, 0, 0, 0xF0, 0xFF, 0, 0, 6, 0});
    qv::fuzz::RunMutated(seeds, 4000, 1761, FuzzVerifyRequests);
}

TEST(AgentFuzz, DataPackets) {
    Input s;
    auto pkt = [&](const Input& p, uint8_t queue) {
        s.push_back(static_cast<uint8_t>(p.size()));
        s.insert(s.end(), p.begin(), p.end());
        s.push_back(queue);
    };
    Input start = {6, 0, 255, 0, 4, 2, 4};
    start.resize(4 + 63, 0);
    pkt({1, 0, 0, 0}, 0);
    pkt(start, 121);
    pkt({7, 0, 0, 0}, 61);
    pkt({6, 1, 1, 0, 1, 0x41, 0, 0x1E, 2, 1, 5, 0, 6, 0, 6}, 0);
    pkt({8, 0, 1, 0}, 0);
    pkt({6, 2, 2, 0, 7, 8, 2, 0, 2, 0, 5, 0, 0, 1, 0, 2, 0, 3, 0, 9}, 201);
    pkt({9, 0, 0, 0}, 0);
    pkt({10, 0, 4, 0}, 255);
    pkt({3, 0, 0, 0}, 0);
    pkt({1, 0, 0, 0}, 0);
    qv::fuzz::RunMutated({s}, 3000, 1762, FuzzDataPackets);
}

TEST(AgentFuzz, PipeMessages) {
    std::vector<Input> seeds = {{0, 0, 0, 0}, {1, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0}, {2, 0, 0, 0}, {3, 0, 0, 0},
                                Input(68, 1)};
    qv::fuzz::RunMutated(seeds, 3000, 68, FuzzPipeMessage);
}

}  // namespace
