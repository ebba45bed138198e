// Fuzz target for the settings pipe: one message of up to 68 bytes. The
// reply has one of the protocol's sizes, and the flags change only by a
// whole set request.
#include <cstdlib>
#include <cstring>

#include "agent/test/fakes.h"

namespace {

using namespace qv::agent;

[[noreturn]] void Fail() { std::abort(); }

}  // namespace

int FuzzPipeMessage(const uint8_t* data, std::size_t size) {
    if (size > kPipeMessageBytes) size = kPipeMessageBytes;
    Security sec;
    test::Pipe host;
    host.protocol = size > 0 ? data[0] % 4 : 1;
    const uint32_t before = sec.permissions.load();
    const test::Bytes msg(data, data + size);  // reading past it is caught
    const PipeReply r = BuildPipeReply(msg.data(), size, sec, host);
    if (r.len != 8 && r.len != 12 && r.len != 48 && r.len != 68) Fail();
    const bool set = size >= 12 && data[0] == 1 && data[1] == 0 && data[2] == 0 && data[3] == 0;
    if (!set && sec.permissions.load() != before) Fail();
    if (set && (sec.signals.load() != msg[4] || r.len != 12)) Fail();
    return 0;
}

#ifdef QV_FUZZ_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzPipeMessage(data, size); }
#endif
