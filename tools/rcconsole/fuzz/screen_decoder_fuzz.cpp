// Fuzz target for the console's screen decoder.
//
// The input is a run of data packet payloads: each a flags byte (bit 1 =
// starts the agent's queue), a 2-byte little-endian length (modulo 600) and
// that many bytes. The decoder must never read or write outside its
// buffers, whatever the agent sends; what it reports stays within the image.
#include <cstdint>
#include <cstdlib>

#include "agent/rc_wire.h"
#include "tools/rcconsole/screen_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* d, size_t n) {
    qv::rcc::ScreenDecoder dec(1u << 20);  // small images keep each run quick
    std::size_t i = 0;
    while (i + 3 <= n) {
        const bool start = (d[i] & qv::rc::kFlagQueueStart) != 0;
        std::size_t len = (d[i + 1] | d[i + 2] << 8) % 600u;
        i += 3;
        if (len > n - i) len = n - i;
        dec.Feed(d + i, len, start);
        i += len;
    }
    if (dec.has_image()) {
        if (dec.bits().size() != static_cast<std::size_t>(dec.stride()) * static_cast<std::size_t>(dec.height()))
            std::abort();
        const auto rgb = dec.ToRgb();
        if (rgb.size() != static_cast<std::size_t>(dec.width()) * static_cast<std::size_t>(dec.height()) * 3)
            std::abort();
    }
    return 0;
}
