// Runs the reply fuzz target over a few thousand mutated reply runs, so that
// every build exercises it under the sanitizers even without libFuzzer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/fuzz_mutate.h"
#include "slave/ft_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace qv::ft {
namespace {

void Add(fuzz::Input* run, uint16_t cmd, uint16_t seq, uint16_t last, const std::string& data, uint16_t status = 0) {
    Reply r;
    r.command = cmd;
    r.status = status;
    r.sequence = seq;
    r.file_time = 0x6000;
    r.file_date = 0x2521;
    r.last = last;
    r.length = static_cast<uint16_t>(data.size());
    std::copy(data.begin(), data.end(), r.data.begin());
    uint8_t wire[kReplyMax];
    const std::size_t n = r.Encode(wire);
    run->push_back(static_cast<uint8_t>(n & 0xFF));
    run->push_back(static_cast<uint8_t>(n >> 8));
    run->insert(run->end(), wire, wire + n);
}

// What a well-behaved slave answers to the target's commands in order.
fuzz::Input Session(std::size_t file_size) {
    fuzz::Input run;
    const std::string z(1, '\0');
    Add(&run, FT_EXISTENCE, 0, 1, std::string(kExistenceReply) + z);
    Add(&run, FT_DRIVE_INFO, 0, 1, std::string{0, 2, 3});
    Add(&run, FT_FILE_INFO, 0, 0, "A.TXT" + z + "B\x1b[2J" + z + z);
    Add(&run, FT_MORE_FILE_INFO, 1, 1, "C.TXT" + z + z);
    Add(&run, FT_CURRENT_DIRECTORY, 0, 1, "C:\\" + z);
    const std::string size{char(file_size), char(file_size >> 8), 0, 0};
    Add(&run, FT_FILE_SIZE, 0, 1, size);
    Add(&run, FT_FILE_SIZE, 0, 1, size);
    std::size_t left = file_size;
    for (uint16_t seq = 0;; ++seq) {
        const std::size_t n = std::min(left, kBlockSize);
        Add(&run, seq ? FT_SEND_NEXT_BLOCK : FT_SEND_FILE, seq, n < kBlockSize, std::string(n, 'd'));
        left -= n;
        if (n < kBlockSize) break;
    }
    Add(&run, FT_CREATE_FILE, 0, 1, "");
    for (uint16_t seq = 1; seq <= 4; ++seq) Add(&run, FT_WRITE_BLOCK, seq, 1, "");
    Add(&run, FT_DELETE_FILE, 0, 1, "", 5);
    Add(&run, FT_DRIVE_INFO, 0, 1, std::string{2});
    Add(&run, FT_TERMINATE, 0, 1, "");
    return run;
}

TEST(ReplyFuzz, MutatedReplyRuns) {
    fuzz::RunMutated({Session(1000), Session(496), Session(0), {}}, 3000, 1764,
                     [](const uint8_t* d, std::size_t n) { LLVMFuzzerTestOneInput(d, n); });
}

}  // namespace
}  // namespace qv::ft
