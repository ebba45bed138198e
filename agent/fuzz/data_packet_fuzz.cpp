// Fuzz target for the data endpoint: packets with payloads as a viewer
// sends them, interleaved with queued screen data going out.
//
// The input is a run of packets (a length byte, then that many bytes). After
// each packet the first byte of the next chunk, when odd, queues that many
// bytes and runs the send path, whose slot waits time out. The agent must
// never send a packet above 546 bytes, leave a slot being filled, keep the
// queue's lock or the viewing lock, or send data packets whose sequences
// do not follow one another.
#include <cstdlib>

#include "agent/test/fakes.h"

namespace {

using namespace qv::agent;

[[noreturn]] void Fail() { std::abort(); }

}  // namespace

int FuzzDataPackets(const uint8_t* data, std::size_t size) {
    test::DataRig d;
    d.ev.keep = false;
    d.waits.on_slot_wait = [] { return SlotWake::kTimeout; };
    bool sending = false;
    uint8_t expected_seq = 0;
    d.link.on_send = [&](const test::Bytes& p) {
        if (p.size() > qv::rc::kMaxPacket || p.size() < 4) Fail();
        // New data packets go out with consecutive sequences.
        if (sending && (p[0] != qv::rc::PT_DATA || p[1] != expected_seq++)) Fail();
    };
    std::size_t i = 0;
    while (i < size) {
        std::size_t n = data[i++];
        if (n > size - i) n = size - i;
        const test::Bytes packet(data + i, data + i + n);  // reading past it is caught
        d.data.HandlePacket(packet.data(), n);
        i += n;
        if (d.viewing.locked != 0) Fail();
        if (i < size && (data[i] & 1)) {
            d.queue.Put(test::Bytes(static_cast<std::size_t>(data[i]) * 9, data[i]));
            sending = true;
            expected_seq = d.send.nextSendSequence.load();
            d.send.IPXSendBuffer(d.waits, d.queue, d.link);
            sending = false;
            for (int s = 0; s < qv::rc::kSendSlots; ++s)
                if (d.send.slot(s).state.load() == kSlotFilling) Fail();
            if (d.queue.held != 0) Fail();
            ++i;
        }
        if (!d.link.open) {  // the viewer disconnected: the endpoint is reopened
            d.link.open = true;
            d.data.BeginCycle();
            d.data.ResstablishListen();
        }
    }
    return 0;
}

#ifdef QV_FUZZ_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzDataPackets(data, size); }
#endif
