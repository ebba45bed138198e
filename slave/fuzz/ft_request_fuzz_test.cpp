// Runs the request fuzz target over a few thousand mutated request runs, so
// that every build exercises it under the sanitizers even without libFuzzer.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "slave/ft_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace qv::ft {
namespace {

void Add(std::vector<uint8_t>* run, uint16_t cmd, uint16_t seq, uint16_t p1, uint16_t p2, const std::string& data) {
    Request r;
    r.command = cmd;
    r.sequence = seq;
    r.param1 = p1;
    r.param2 = p2;
    std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), kBlockSize)),
              r.data.begin());
    uint8_t wire[kRequestMax];
    std::size_t n = r.Encode(wire, std::min(data.size(), kBlockSize));
    run->push_back(static_cast<uint8_t>(n & 0xFF));
    run->push_back(static_cast<uint8_t>(n >> 8));
    run->insert(run->end(), wire, wire + n);
}

// Request runs a console would send: a listing, a download, an upload, the
// small commands.
std::vector<std::vector<uint8_t>> Seeds() {
    std::vector<std::vector<uint8_t>> seeds(4);
    auto z = [](const std::string& s) { return s + std::string(1, '\0'); };
    Add(&seeds[0], FT_EXISTENCE, 0, 0, 0, "");
    Add(&seeds[0], FT_FILE_INFO, 0, 1, 0, z("C:\\*.*"));
    for (uint16_t k = 0; k < 12; ++k) Add(&seeds[0], FT_MORE_FILE_INFO, k, 1, 0, z("C:\\*.*"));
    Add(&seeds[0], FT_FILE_INFO, 0, 0, 0, z("N:\\*.*"));
    Add(&seeds[1], FT_SEND_FILE, 0, 0, 0, z("C:\\A.TXT"));
    for (uint16_t k = 0; k < 3; ++k) Add(&seeds[1], FT_SEND_NEXT_BLOCK, k, 0, 0, "");
    Add(&seeds[1], FT_SEND_NEXT_BLOCK, 1, 0, 0, "");
    Add(&seeds[1], FT_FILE_SIZE, 0, 0, 0, z("C:\\E.BIN"));
    Add(&seeds[1], FT_SERVER_INFO, 0, 0, 0, "");
    Add(&seeds[2], FT_CREATE_FILE, 0, 0x6000, 0x2521, z("C:\\UP.BIN"));
    for (uint16_t k = 1; k < 11; ++k) Add(&seeds[2], FT_WRITE_BLOCK, k, 496, 0, std::string(496, 'u'));
    Add(&seeds[2], FT_WRITE_BLOCK, 11, 0, 0, "");
    Add(&seeds[2], FT_CREATE_NEW_FILE, 0, 0, 0, z("C:\\UP.BIN"));
    Add(&seeds[3], FT_DRIVE_INFO, 0, 0, 0, "");
    Add(&seeds[3], FT_CURRENT_DIRECTORY, 0, 0, 0, "");
    Add(&seeds[3], FT_CREATE_DIRECTORY, 0, 0, 0, z("C:\\NEW"));
    Add(&seeds[3], FT_VERIFY_DIRECTORY, 0, 0, 0, z("C:\\NEW"));
    Add(&seeds[3], FT_VERIFY_DRIVE, 0, 0, 0, z("A:"));
    Add(&seeds[3], FT_VERIFY_VOLUME, 0, 0, 0, z("C:"));
    Add(&seeds[3], FT_DELETE_FILE, 0, 0, 0, z("C:\\Z"));
    Add(&seeds[3], 50, 0, 0, 0, "");
    Add(&seeds[3], FT_TERMINATE, 0, 0, 0, "");
    return seeds;
}

TEST(FtRequestFuzz, MutatedRequestRuns) {
    const auto seeds = Seeds();
    for (const auto& s : seeds) LLVMFuzzerTestOneInput(s.data(), s.size());
    std::mt19937 rng(4100);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> in = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = in.empty() ? 0 : rng() % in.size();
            switch (rng() % 5) {
            case 0:
                if (!in.empty()) in[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
                break;
            case 1:
                if (!in.empty()) in[at] = static_cast<uint8_t>(rng() % 3 ? rng() % 20 : rng());
                break;
            case 2:
                in.insert(in.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(rng()));
                break;
            case 3:
                if (!in.empty()) in.erase(in.begin() + static_cast<std::ptrdiff_t>(at));
                break;
            default: {  // a request repeated, as a console's resend
                std::vector<uint8_t> tail(in.begin() + static_cast<std::ptrdiff_t>(at), in.end());
                in.insert(in.end(), tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(tail.size(), 600)));
                break;
            }
            }
        }
        LLVMFuzzerTestOneInput(in.data(), in.size());
    }
}

}  // namespace
}  // namespace qv::ft
