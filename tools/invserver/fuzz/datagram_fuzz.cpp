// Fuzz target for everything that reads inventory-server datagrams: the
// scanner's decoders of requests, replies, configuration-file lists and
// socket-query answers, and the server's handling of a sequence of
// datagrams from one peer (requests, data packets, reassembly, storage).
//
// Input: the first bytes go to the decoders as one datagram; then the whole
// input is read as datagrams, each a 2-byte little-endian length and its
// bytes, fed to one server.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
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

// The server's storage lives for the process and is removed at its end.
// (A plain array: it must outlive the exit handler that removes it.)
const char* StorageDir() {
    static char dir[64];
    if (!dir[0]) std::snprintf(dir, sizeof dir, "/tmp/qv-datagram-fuzz-%ld", static_cast<long>(::getpid()));
    return dir;
}

invserver::InventoryServer& Server() {
    static std::unique_ptr<invserver::InventoryServer> server = [] {
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(StorageDir(), ec);
        });
        invserver::ServerOptions opt;
        opt.storage = StorageDir();
        opt.seed = 7;
        auto s = std::make_unique<invserver::InventoryServer>(
            opt, [](const std::string&, const std::uint8_t*, std::size_t) {}, [](const std::string&) {});
        s->Init();
        return s;
    }();
    return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Decoders(data, size);
    static std::uint64_t now = 0;
    for (std::size_t i = 0; i + 2 <= size;) {
        std::size_t n = data[i] | (static_cast<std::size_t>(data[i + 1]) << 8);
        i += 2;
        if (n > size - i) n = size - i;
        Server().OnDatagram("127.0.0.1:5007", data + i, n, now += 10);
        i += n;
    }
    Server().Expire(now, 1000);
    return 0;
}
