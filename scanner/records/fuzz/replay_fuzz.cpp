// Fuzz target for the replay of flat inventory files.
//
// The input is the file's content. The first byte chooses whether the stream
// treats Shift-JIS lead bytes as double-byte characters and whether the link
// rejects packets. Every packet handed over must hold a pair of zero bytes
// (the receiver's end of payload), numbers must run from 1 without gaps, and
// the result must be one of the replay's codes.
#include "scanner/records/replay.h"

#include <cstdlib>

namespace {

using namespace qv;
using namespace qv::scanner;

int ShiftJisLength(unsigned long bytes) {
    unsigned b = bytes & 0xFF;
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC) ? 2 : 1;
}

class CheckingSink : public PacketSink {
public:
    explicit CheckingSink(bool reject) : reject_(reject) {}
    int SendPacket(const std::uint8_t* p, unsigned number, bool last) override {
        if (number != ++expected_ || done_) std::abort();
        done_ = last;
        bool pair = false;
        for (std::size_t i = 0; i + 1 < kItemPacketSize && !pair; ++i) pair = p[i] == 0 && p[i + 1] == 0;
        if (!pair) std::abort();
        return reject_ && number % 3 == 0 ? -1 : 0;
    }
private:
    bool reject_;
    unsigned expected_ = 0;
    bool done_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t mode = size ? data[0] : 0;
    if (size) ++data, --size;
    CheckingSink sink(mode & 2);
    ItemStream stream;
    StringFlatSink flat;
    stream.SetPacketSink(&sink);
    if (mode & 4) stream.SetFlatSink(&flat);
    if (mode & 1) stream.SetCharLength(ShiftJisLength);
    stream.SetSendFailureHandler([] {});
    ReplayOptions options;
    options.invalid_data = [](std::string_view, std::string_view) {};
    MemoryByteSource in(std::string_view(reinterpret_cast<const char*>(data), size));
    int rc = ReplayInventory(in, "fuzz", options, stream);
    if (rc != kReplayOk && rc != kReplayInvalidData && rc != kReplaySendFailed) std::abort();
    if (stream.used() >= kItemPacketSize) std::abort();
    return 0;
}
