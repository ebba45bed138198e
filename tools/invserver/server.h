// The inventory server's protocol side, apart from its socket.
//
// Each peer address (one scanner run: the scanner binds a fresh port per run)
// has a session. A device request starts it: the server assigns a device
// number when the scanner has no ID, and answers with the expected file
// count, version 3.1 and the captured files it holds for that device, in as
// many reply packets (at most 5) as the list needs. Data packets are checked
// (checksum), placed by packet number (8 bits on the wire, widened against
// the session's position; copies are acknowledged again and otherwise
// dropped), decoded in order and acknowledged with their header word; when
// every packet up to the last one is there, the inventory is stored, and the
// last packet is acknowledged only once it is. After that, a packet that is
// not a copy of one already taken begins the next inventory of the address.
// Replayed inventories come without a device request: their session takes
// the device from the stream's "Device ID =" item.
//
// Fault injection (for tests) drops or duplicates a share of the
// acknowledgements or reply packets, answers with another version, or with
// a count whose copy disagrees.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tools/invserver/storage.h"
#include "tools/invserver/stream.h"

namespace qv::invserver {

struct ServerOptions {
    std::string address = "0.0.0.0";
    int port = serverlink::kDefaultPort;
    std::string storage = "invserver-data";
    long expected_files = -1;            // -1: the device's last count, or 1
    int version_major = 3, version_minor = 1;
    bool disagree_copies = false;
    int drop_acks = 0, dup_acks = 0;     // percent
    int drop_replies = 0, dup_replies = 0;
    unsigned seed = 0;                   // 0: from the clock
    bool verbose = false;
};

// Parses the command line; false with a message in *error (or help wanted).
bool ParseOptions(int argc, char** argv, ServerOptions* out, std::string* error, bool* help);
const char* UsageText();

struct ServerStats {
    std::uint64_t requests = 0, inventories = 0, packets = 0, duplicates = 0, bad_checksums = 0,
                  acks_sent = 0, acks_dropped = 0, replies_dropped = 0;
};

class InventoryServer {
public:
    using SendFn = std::function<void(const std::string& peer, const std::uint8_t* data, std::size_t len)>;
    using LogFn = std::function<void(const std::string& line)>;

    InventoryServer(ServerOptions options, SendFn send, LogFn log);
    bool Init();
    void OnDatagram(const std::string& peer, const std::uint8_t* data, std::size_t len,
                    std::uint64_t now_ms);
    // Forgets sessions idle for longer than `idle_ms`.
    void Expire(std::uint64_t now_ms, std::uint64_t idle_ms);
    const ServerStats& stats() const { return stats_; }
    Storage& storage() { return storage_; }

private:
    struct Session {
        std::string key;                 // storage folder; empty until known
        std::string device_id;
        std::uint64_t base = 1;          // lowest packet number not yet decoded
        std::uint64_t last = 0;          // number of the last packet, once seen
        std::map<std::uint64_t, std::vector<std::uint8_t>> pending;
        StreamDecoder stream;
        std::vector<std::uint64_t> digests;  // per decoded packet, in number order
        bool complete = false;               // every packet up to the last decoded
        bool done = false;                   // ... and stored
        std::uint64_t seen_ms = 0;
    };
    void OnRequest(const std::string& peer, const serverlink::DeviceRequest& req, std::uint64_t now);
    void OnData(const std::string& peer, const std::uint8_t* data, std::size_t len, std::uint64_t now);
    // Takes a checked data packet into its session (in order, once); false
    // when it must not be acknowledged (the inventory could not be stored).
    bool Accept(const std::string& peer, std::uint16_t word, const std::uint8_t* payload, std::size_t n,
                std::uint64_t now);
    bool Finish(const std::string& peer, Session& s);
    bool Chance(int percent);
    void Send(const std::string& peer, const std::uint8_t* data, std::size_t len, int drop, int dup,
              std::uint64_t* dropped);

    ServerOptions opt_;
    SendFn send_;
    LogFn log_;
    Storage storage_;
    std::map<std::string, Session> sessions_;
    std::mt19937 rng_;
    ServerStats stats_;
};

}  // namespace qv::invserver
