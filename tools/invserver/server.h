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
// Limits (each an option; defaults in UsageText). The server must stay up
// for every honest scanner whatever other peers send:
// - memory: what a session holds (decoded data, packets waiting for a gap,
//   digests) is bounded per session and over all sessions; a session over
//   its bound, or the largest one when all together are over theirs, is
//   dropped and logged once, and its further data packets are ignored
//   unacknowledged (so its scanner reports a failed delivery) until it
//   sends a new device request;
// - time: a session expires when it has made no progress for the idle time
//   (copies of packets it has do not count as progress, so resending the
//   same packets keeps nothing alive), and an unfinished one in any case at
//   the end of its lifetime;
// - peers: at most so many sessions; a new peer beyond that takes the place
//   of the longest-quiet session that holds nothing unfinished, or is
//   refused;
// - device requests per source address: a token bucket (burst, then so
//   many per minute), because each request may create a device folder and
//   draws a reply several times its size; requests over the limit get no
//   answer at all, so a forged source address cannot be flooded through
//   this server by more than the limit allows.
// What is refused is logged as one summary line per minute, not a line per
// datagram, and the device request lines themselves are limited the same
// way. Every peer-supplied text in a log line is escaped (escape.h).
//
// Fault injection (for tests) drops a share of the incoming datagrams,
// drops or duplicates a share of the acknowledgements or reply packets,
// answers with another version, or with a count whose copy disagrees.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tools/invserver/store.h"
#include "tools/invserver/stream.h"

namespace qv::invserver {

struct ServerOptions {
    std::string address = "0.0.0.0";
    int port = serverlink::kDefaultPort;
    std::string storage = "invserver-data";
    std::string database;                // empty: a SQLite file in the storage folder
    std::string export_dir;              // each stored inventory also as GLPI JSON here ("" : not)
    long expected_files = -1;            // -1: the device's last count, or 1
    int version_major = 3, version_minor = 1;
    bool disagree_copies = false;
    int drop_acks = 0, dup_acks = 0;     // percent
    int drop_replies = 0, dup_replies = 0;
    int drop_datagrams = 0;              // percent of incoming datagrams ignored
    unsigned seed = 0;                   // 0: from the clock
    bool verbose = false;

    std::uint64_t session_limit = 32ull << 20;    // bytes one session may hold
    std::uint64_t total_limit = 512ull << 20;     // bytes all sessions together may hold
    std::uint64_t idle_ms = 600'000;               // no progress for this long: expired
    std::uint64_t lifetime_ms = 6ull * 3600'000;   // unfinished this long after it began: expired
    std::size_t max_peers = 1024;
    unsigned request_burst = 10;                  // device requests per address at once...
    unsigned request_rate = 30;                   // ... and then per minute
};

// Limits of the server's own bookkeeping.
constexpr std::size_t kRateTableMax = 4096;       // source addresses tracked by the rate limit
constexpr std::uint64_t kSummaryMs = 60'000;      // one summary line per kind per minute at most
constexpr unsigned kRequestLinesPerSummary = 20;  // request lines logged per minute before summing up
constexpr std::size_t kPacketOverhead = 16;       // bytes counted per packet besides its payload

// Where the server's store is: --database, else the file in the storage folder.
std::string DatabaseLocation(const ServerOptions& opt);

// Parses the command line; false with a message in *error (or help wanted).
bool ParseOptions(int argc, char** argv, ServerOptions* out, std::string* error, bool* help);
const char* UsageText();

struct ServerStats {
    std::uint64_t requests = 0, inventories = 0, packets = 0, duplicates = 0, bad_checksums = 0,
                  acks_sent = 0, acks_dropped = 0, replies_dropped = 0, datagrams_dropped = 0,
                  rate_limited = 0, peers_refused = 0, sessions_dropped = 0, sessions_expired = 0,
                  ignored = 0;
};

class InventoryServer {
public:
    using SendFn = std::function<void(const std::string& peer, const std::uint8_t* data, std::size_t len)>;
    using LogFn = std::function<void(const std::string& line)>;

    InventoryServer(ServerOptions options, SendFn send, LogFn log);
    // Creates the storage folder and opens (and migrates) the store; false
    // with init_error() when it cannot.
    bool Init();
    // The same with a database of the caller's (tests put a faulty one in).
    bool Init(std::unique_ptr<Database> db);
    const std::string& init_error() const { return init_error_; }
    void OnDatagram(const std::string& peer, const std::uint8_t* data, std::size_t len,
                    std::uint64_t now_ms);
    // Forgets sessions without progress for longer than `idle_ms`, and
    // unfinished ones past their lifetime; writes due summary lines.
    void Expire(std::uint64_t now_ms, std::uint64_t idle_ms);
    void Expire(std::uint64_t now_ms) { Expire(now_ms, opt_.idle_ms); }
    // Writes the summary lines of what was refused so far (at shutdown).
    void FlushSummaries(std::uint64_t now_ms);
    const ServerStats& stats() const { return stats_; }
    Store& store() { return *store_; }
    std::size_t sessions() const { return sessions_.size(); }
    std::uint64_t held() const { return total_held_; }   // bytes all sessions hold

private:
    struct Session {
        std::string key;                 // device name in the store; empty until known
        std::string device_id;
        std::uint64_t base = 1;          // lowest packet number not yet decoded
        std::uint64_t last = 0;          // number of the last packet, once seen
        std::map<std::uint64_t, std::vector<std::uint8_t>> pending;
        StreamDecoder stream;
        std::vector<std::uint64_t> digests;  // per decoded packet, in number order
        bool complete = false;               // every packet up to the last decoded
        bool done = false;                   // ... and stored
        bool dropped = false;                // over a memory limit: data ignored
        std::uint64_t seen_ms = 0;           // last progress
        std::uint64_t began_ms = 0;
        std::uint64_t pending_bytes = 0;
        std::uint64_t held = 0;              // as last counted into total_held_
        bool Unfinished() const { return !done && !dropped && (base > 1 || !pending.empty()); }
    };
    // Counts what refused or unlogged datagrams a summary line will report.
    struct Tally {
        std::uint64_t count = 0;
        std::map<std::string, std::uint64_t> by_address;   // at most kRateTableMax
        void Add(const std::string& address);
        std::string Text() const;                          // "N from M address(es), most ..."
    };
    // Request credit of one address, in 1/60000 of a request: a millisecond
    // adds request_rate of them, a request costs 60000.
    struct Bucket {
        std::uint64_t credit = 0;
        std::uint64_t at_ms = 0;
    };
    void OnRequest(const std::string& peer, const serverlink::DeviceRequest& req, std::uint64_t now);
    void OnData(const std::string& peer, const std::uint8_t* data, std::size_t len, std::uint64_t now);
    // Takes a checked data packet into its session (in order, once); false
    // when it must not be acknowledged (the inventory could not be stored).
    bool Accept(const std::string& peer, std::uint16_t word, const std::uint8_t* payload, std::size_t n,
                std::uint64_t now);
    bool Finish(const std::string& peer, Session& s);
    // The peer's session, made when there is none and the peer cap allows;
    // null when refused.
    Session* SessionFor(const std::string& peer, std::uint64_t now);
    bool RequestAllowed(const std::string& address, std::uint64_t now);
    bool Refill(Bucket& b, std::uint64_t now) const;      // true when full
    // Recounts a session's bytes and enforces the memory limits.
    void Account(const std::string& peer, Session& s);
    void Drop(const std::string& peer, Session& s, const std::string& why);
    void Summaries(std::uint64_t now, bool force);
    bool Chance(int percent);
    void Send(const std::string& peer, const std::uint8_t* data, std::size_t len, int drop, int dup,
              std::uint64_t* dropped);

    ServerOptions opt_;
    SendFn send_;
    LogFn log_;
    std::unique_ptr<Store> store_;
    std::string init_error_;
    std::map<std::string, Session> sessions_;
    std::uint64_t total_held_ = 0;
    std::map<std::string, Bucket> buckets_;    // by source address (without port)
    Tally rate_limited_, refused_;
    std::uint64_t requests_unlogged_ = 0;
    unsigned request_lines_ = 0;
    std::uint64_t summary_ms_ = 0;             // start of the current summary period
    bool summary_started_ = false;
    std::mt19937 rng_;
    ServerStats stats_;
};

}  // namespace qv::invserver
