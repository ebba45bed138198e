// Fuzz target for everything that reads inventory-server datagrams: the
// scanner's decoders of requests, replies, configuration-file lists and
// socket-query answers, and the server's handling of a sequence of
// datagrams from its peers (requests, data packets, reassembly, storage).
//
// Input: the first bytes go to the decoders as one datagram. Then the whole
// input is read as steps, each a kind byte, a 2-byte little-endian length
// and that many bytes:
//   kind & 3 == 0  the bytes as one raw datagram
//   kind & 3 == 1  a data packet: the first byte is its number, kind & 4
//                  marks it the last one, the rest is its payload's texts;
//                  the harness ends the payload with its pair of zero bytes
//                  and fills in the checksum, as a scanner would, so that
//                  its items really reach the stream decoder
//   kind & 3 == 2  a device request for the bytes as device ID (kind & 4:
//                  asking for a new ID)
//   kind & 3 == 3  time passes (the bytes' first value in seconds) and idle
//                  sessions expire
// kind & 8 picks the second of two peers. Every input gets a fresh server
// whose storage is a fresh folder on a memory file system (/dev/shm, else
// the temporary folder), removed afterwards. Everything the server sends
// must be an acknowledgement (2 bytes) or a reply packet that fits in a
// datagram and carries the reply mark.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "scanner/serverlink/protocol.h"
#include "tools/invserver/server.h"

namespace {

using namespace qv;

void Decoders(const std::uint8_t* data, std::size_t size) {
    serverlink::DeviceRequest req;
    serverlink::DecodeDeviceRequest(data, size, &req);
    if (size >= serverlink::kReplyHeadSize) serverlink::DecodeReplyHead(data);
    serverlink::DecodeConfigList(data, size);
    std::uint8_t payload[serverlink::kPayloadSize] = {};
    if (size > 0) std::memcpy(payload, data, size < sizeof payload ? size : sizeof payload);
    std::size_t len = serverlink::PayloadLength(payload);
    serverlink::Checksum(payload, len);
    std::uint8_t socket[2];
    serverlink::QueryAnswerA1Valid(data, size);
    serverlink::QueryAnswerA2Valid(data, size, socket);
    serverlink::QueryAnswerB2Valid(data, size, socket);
    std::string_view text(reinterpret_cast<const char*>(data), size < 64 ? size : 64);
    serverlink::ParseIpxAddress(text);
    serverlink::ParseIpHost(text);
}

std::string StorageRoot() {
    std::error_code ec;
    const char* base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
    return std::string(base) + "/qv-datagram-fuzz-" + std::to_string(static_cast<long>(::getpid()));
}

void CheckSent(const std::string&, const std::uint8_t* d, std::size_t n) {
    if (n == 2) return;
    if (n < serverlink::kHeaderSize || n > serverlink::kDatagramMax || serverlink::GetU16(d) != serverlink::kReplyMark)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Decoders(data, size);
    static const std::string root = StorageRoot();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    {
        invserver::ServerOptions opt;
        opt.storage = root;
        opt.seed = 7;
        invserver::InventoryServer server(opt, CheckSent, [](const std::string&) {});
        if (!server.Init()) return 0;
        std::uint64_t now = 0;
        for (std::size_t i = 0; i + 3 <= size;) {
            const std::uint8_t kind = data[i];
            std::size_t n = data[i + 1] | (static_cast<std::size_t>(data[i + 2]) << 8);
            i += 3;
            n = std::min(n, size - i);
            const std::uint8_t* bytes = data + i;
            i += n;
            const std::string peer = kind & 8 ? "127.0.0.2:5007" : "127.0.0.1:5007";
            now += 10;
            switch (kind & 3) {
            case 0:
                server.OnDatagram(peer, bytes, n, now);
                break;
            case 1: {
                std::uint8_t dgram[serverlink::kDatagramMax] = {};
                std::uint8_t* payload = dgram + serverlink::kHeaderSize;
                const unsigned number = n ? bytes[0] : 1;
                const std::size_t texts = n ? std::min(n - 1, serverlink::kPayloadSize - 2) : 0;
                if (texts) std::memcpy(payload, bytes + 1, texts);
                const std::size_t len = serverlink::PayloadLength(payload);
                serverlink::PutU16(dgram, serverlink::DataHeaderWord(number, kind & 4));
                serverlink::PutU16(dgram + 2, serverlink::Checksum(payload, len));
                server.OnDatagram(peer, dgram, serverlink::kHeaderSize + len, now);
                break;
            }
            case 2: {
                const std::string id(reinterpret_cast<const char*>(bytes), kind & 4 ? 0 : n);
                const auto req = serverlink::EncodeDeviceRequest(id);
                server.OnDatagram(peer, req.data(), req.size(), now);
                break;
            }
            default:
                now += (n ? bytes[0] : 1) * 1000ull;
                server.Expire(now, 60000);
                break;
            }
        }
    }
    std::filesystem::remove_all(root, ec);
    return 0;
}
