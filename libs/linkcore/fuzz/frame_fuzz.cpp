// Fuzz target for the frame reader of TCP/IP sessions.
//
// The input is what a peer sends, cut into reads: each step takes one byte
// that says how many of the following bytes arrive in the next read (1 to
// 256, never more than the reader has room for), as a socket would hand
// them over. Every packet handed out must be 1 to kMaxPacket bytes and must
// be exactly the bytes of its frame in the stream; a malformed frame ends
// the session as the endpoint would end it; after the reader has handed out
// what it holds it must always have room for one whole frame, so a peer can
// never wedge it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "libs/linkcore/framing.h"

namespace {

using qv::link::FrameReader;
using qv::link::kFrameHeader;
using qv::link::kMaxPacket;

[[noreturn]] void Fail() { std::abort(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FrameReader r;
    // The stream as sent (bytes only, without the read sizes), to check
    // each packet against the frame it came from.
    uint8_t stream[1 << 16];
    size_t sent = 0, parsed = 0;
    size_t i = 0;
    while (i < size) {
        size_t want = static_cast<size_t>(data[i++]) + 1;
        if (want > size - i) want = size - i;
        if (want == 0) break;
        if (r.RoomSize() == 0) Fail();  // a drained reader must have room
        if (want > r.RoomSize()) want = r.RoomSize();
        if (sent + want > sizeof stream) break;
        std::memcpy(r.Room(), data + i, want);
        std::memcpy(stream + sent, data + i, want);
        r.Commit(want);
        sent += want;
        i += want;
        for (;;) {
            const uint8_t* p = nullptr;
            size_t n = 0;
            FrameReader::Result res = r.Next(&p, &n);
            if (res == FrameReader::Result::kNeedMore) break;
            if (res == FrameReader::Result::kMalformed) {
                size_t len = stream[parsed] | (static_cast<size_t>(stream[parsed + 1]) << 8);
                if (len != 0 && len <= kMaxPacket) Fail();
                return 0;  // the endpoint drops this peer
            }
            if (n == 0 || n > kMaxPacket) Fail();
            size_t len = stream[parsed] | (static_cast<size_t>(stream[parsed + 1]) << 8);
            if (len != n || parsed + kFrameHeader + n > sent) Fail();
            if (std::memcmp(p, stream + parsed + kFrameHeader, n) != 0) Fail();
            parsed += kFrameHeader + n;
        }
        if (r.RoomSize() < kFrameHeader + kMaxPacket) Fail();
        if (r.Partial() != (parsed < sent)) Fail();
    }
    return 0;
}
