// Runs the datagram fuzz target over a few thousand mutated exchanges, so
// that every build exercises the decoders and the server under the
// sanitizers even without libFuzzer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/fuzz_mutate.h"
#include "scanner/serverlink/protocol.h"
#include "tools/invserver/test_packets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using namespace qv;
using fuzz::Input;

// One datagram of the fuzz input: its 2-byte length, then its bytes.
void Append(Input& in, const Input& datagram) {
    in.push_back(static_cast<std::uint8_t>(datagram.size()));
    in.push_back(static_cast<std::uint8_t>(datagram.size() >> 8));
    in.insert(in.end(), datagram.begin(), datagram.end());
}

using invserver::test::DataPacket;
using invserver::test::Item;

TEST(DatagramFuzz, MutatedExchanges) {
    Input exchange;
    Append(exchange, serverlink::EncodeDeviceRequest(""));
    Append(exchange, DataPacket(1, false, Item("Device ID =SRV000000000001") + Item("A =1")));
    Append(exchange, DataPacket(2, false, Item("_BeginContents") + Item("12") + Item("900000000") +
                                              Item("CONFIG.SYS") + Item("C:\\") + "FILES=30\r\n"));
    Append(exchange, DataPacket(3, true, Item("_EndContents") + Item("Number of Files =    42")));

    Input reply(serverlink::kReplyHeadSize, 0);
    reply[2] = 3;
    reply[3] = 1;
    const char list[] = "C:\\\0CONFIG.SYS\0\x10\x20\x30\x40\x0c\0\0\0\0";
    reply.insert(reply.end(), list, list + sizeof list);

    const std::string ipx = "0000ABCD:00A0C9123456:4000";
    const std::string host = "inventory.example:5100";
    fuzz::RunMutated({exchange, reply, Input(ipx.begin(), ipx.end()), Input(host.begin(), host.end()), {}},
                     4000, 5007, [](const std::uint8_t* d, std::size_t n) { LLVMFuzzerTestOneInput(d, n); });
}

}  // namespace
