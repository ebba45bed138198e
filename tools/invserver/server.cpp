// The inventory server's sessions and answers (see server.h).
#include "tools/invserver/server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <sys/stat.h>

#include "tools/invserver/escape.h"
#include "tools/invserver/export.h"

namespace qv::invserver {

using serverlink::GetU16;
using serverlink::PutU16;

const char* UsageText() {
    return "Usage: invserver [options]\n"
           "       invserver list | show | find | software | changes | import ... (--help)\n"
           "Inventory server: answers the scanner's device requests over UDP, acknowledges\n"
           "its data packets and stores every inventory, with its history, in a database.\n"
           "The second form queries the store or imports an older server's files\n"
           "('invserver list --help' tells more).\n"
           "\n"
           "  --address=ADDR       address to listen on (default 0.0.0.0)\n"
           "  --port=N             UDP port (default 5007; 0 picks a free one)\n"
           "  --storage=DIR        the server's folder (default ./invserver-data); the store\n"
           "                       is DIR/inventory.db unless --database names another\n"
           "  --database=WHERE     the store: a SQLite file, or postgresql://... to share\n"
           "                       one store between several servers\n"
           "  --export-dir=DIR     also write each stored inventory to DIR/<device ID>.json\n"
           "                       in the GLPI inventory format (the device's latest)\n"
           "  --expected-files=N   expected file count sent to scanners (default: the\n"
           "                       device's last \"Number of Files\", else 1)\n"
           "  --verbose            log every packet\n"
           "  --help               this text\n"
           "Limits (so that no peer can exhaust the server; refusals are summed up in one\n"
           "log line a minute):\n"
           "  --session-limit=MIB  memory one unfinished inventory may hold (default 32); an\n"
           "                       inventory over it is dropped, logged once, and its\n"
           "                       scanner's further packets are not acknowledged\n"
           "  --total-limit=MIB    memory all sessions together may hold (default 512); over\n"
           "                       it the largest is dropped\n"
           "  --session-idle=SEC   an inventory that makes no progress for this long is\n"
           "                       dropped (default 600; resent copies are no progress)\n"
           "  --session-lifetime=SEC  an inventory still unfinished this long after it\n"
           "                       began is dropped (default 21600)\n"
           "  --max-peers=N        scanner sessions kept at once (default 1024)\n"
           "  --request-burst=N    device requests (and inventories begun without one)\n"
           "                       answered per source address at once (default 10) ...\n"
           "  --request-rate=N     ... and then per minute (default 30); the rest get no\n"
           "                       answer\n"
           "Fault injection (for tests):\n"
           "  --drop-datagrams=PCT ignore this share of incoming datagrams\n"
           "  --drop-acks=PCT      drop this share of acknowledgements\n"
           "  --dup-acks=PCT       send this share of acknowledgements twice\n"
           "  --drop-replies=PCT   drop this share of reply packets\n"
           "  --dup-replies=PCT    send this share of reply packets twice\n"
           "  --reply-version=M.m  answer with this version instead of 3.1\n"
           "  --disagree-copies    answer with a copy of the count that disagrees\n"
           "  --seed=N             seed of the fault dice (default: from the clock)\n";
}

static bool ParseLong(const std::string& s, long lo, long hi, long* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end != 0 || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool ParseOptions(int argc, char** argv, ServerOptions* o, std::string* error, bool* help) {
    *help = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string name = a, value;
        std::size_t eq = a.find('=');
        if (eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
        }
        long v = 0;
        auto number = [&](long lo, long hi, auto set) {
            if (!ParseLong(value, lo, hi, &v)) {
                *error = "invalid value for " + name + ": '" + value + "'";
                return false;
            }
            set(v);
            return true;
        };
        bool ok = true;
        if (name == "--help" || name == "-h") { *help = true; return false; }
        else if (name == "--address" && !value.empty()) o->address = value;
        else if (name == "--storage" && !value.empty()) o->storage = value;
        else if (name == "--database" && !value.empty()) o->database = value;
        else if (name == "--export-dir" && !value.empty()) o->export_dir = value;
        else if (name == "--port") ok = number(0, 65535, [&](long x) { o->port = static_cast<int>(x); });
        else if (name == "--expected-files") ok = number(0, 65535, [&](long x) { o->expected_files = x; });
        else if (name == "--drop-acks") ok = number(0, 100, [&](long x) { o->drop_acks = static_cast<int>(x); });
        else if (name == "--dup-acks") ok = number(0, 100, [&](long x) { o->dup_acks = static_cast<int>(x); });
        else if (name == "--drop-replies") ok = number(0, 100, [&](long x) { o->drop_replies = static_cast<int>(x); });
        else if (name == "--dup-replies") ok = number(0, 100, [&](long x) { o->dup_replies = static_cast<int>(x); });
        else if (name == "--drop-datagrams") ok = number(0, 100, [&](long x) { o->drop_datagrams = static_cast<int>(x); });
        else if (name == "--session-limit") ok = number(1, 1L << 16, [&](long x) { o->session_limit = static_cast<std::uint64_t>(x) << 20; });
        else if (name == "--total-limit") ok = number(1, 1L << 20, [&](long x) { o->total_limit = static_cast<std::uint64_t>(x) << 20; });
        else if (name == "--session-idle") ok = number(1, 7L * 86400, [&](long x) { o->idle_ms = static_cast<std::uint64_t>(x) * 1000; });
        else if (name == "--session-lifetime") ok = number(1, 30L * 86400, [&](long x) { o->lifetime_ms = static_cast<std::uint64_t>(x) * 1000; });
        else if (name == "--max-peers") ok = number(1, 1000000, [&](long x) { o->max_peers = static_cast<std::size_t>(x); });
        else if (name == "--request-burst") ok = number(1, 1000000, [&](long x) { o->request_burst = static_cast<unsigned>(x); });
        else if (name == "--request-rate") ok = number(1, 1000000, [&](long x) { o->request_rate = static_cast<unsigned>(x); });
        else if (name == "--seed") ok = number(0, 0x7FFFFFFF, [&](long x) { o->seed = static_cast<unsigned>(x); });
        else if (name == "--disagree-copies" && eq == std::string::npos) o->disagree_copies = true;
        else if (name == "--verbose" && eq == std::string::npos) o->verbose = true;
        else if (name == "--reply-version") {
            unsigned major = 0, minor = 0;
            char extra;
            if (std::sscanf(value.c_str(), "%u.%u%c", &major, &minor, &extra) != 2 || major > 255 ||
                minor > 255) {
                *error = "invalid value for --reply-version: '" + value + "'";
                return false;
            }
            o->version_major = static_cast<int>(major);
            o->version_minor = static_cast<int>(minor);
        } else {
            *error = "unknown option '" + a + "'";
            return false;
        }
        if (!ok) return false;
    }
    return true;
}

InventoryServer::InventoryServer(ServerOptions options, SendFn send, LogFn log)
    : opt_(std::move(options)), send_(std::move(send)), log_(std::move(log)), 
      rng_(opt_.seed ? opt_.seed
                     : static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())) {}

bool InventoryServer::Init() {
    if (::mkdir(opt_.storage.c_str(), 0755) != 0 && errno != EEXIST) {
        init_error_ = "cannot create storage folder " + opt_.storage + ": " + std::strerror(errno);
        return false;
    }
    if (!opt_.export_dir.empty() && ::mkdir(opt_.export_dir.c_str(), 0755) != 0 && errno != EEXIST) {
        init_error_ = "cannot create export folder " + opt_.export_dir + ": " + std::strerror(errno);
        return false;
    }
    store_ = Store::Open(DatabaseLocation(opt_), &init_error_);
    return store_ != nullptr;
}

bool InventoryServer::Init(std::unique_ptr<Database> db) {
    store_ = std::make_unique<Store>(std::move(db));
    return store_->Migrate(&init_error_);
}

std::string DatabaseLocation(const ServerOptions& opt) {
    return opt.database.empty() ? opt.storage + "/" + kDefaultDatabaseName : opt.database;
}

bool InventoryServer::Chance(int percent) {
    if (percent <= 0) return false;
    if (percent >= 100) return true;
    return std::uniform_int_distribution<int>(0, 99)(rng_) < percent;
}

void InventoryServer::Send(const std::string& peer, const std::uint8_t* data, std::size_t len, int drop,
                           int dup, std::uint64_t* dropped) {
    if (Chance(drop)) {
        ++*dropped;
        return;
    }
    send_(peer, data, len);
    if (Chance(dup)) send_(peer, data, len);
}

// The source address of a peer "address:port".
static std::string AddressOf(const std::string& peer) {
    const std::size_t colon = peer.rfind(':');
    return colon == std::string::npos ? peer : peer.substr(0, colon);
}

void InventoryServer::Tally::Add(const std::string& address) {
    ++count;
    auto it = by_address.find(address);
    if (it != by_address.end()) ++it->second;
    else if (by_address.size() < kRateTableMax) by_address.emplace(address, 1);
}

std::string InventoryServer::Tally::Text() const {
    std::string most;
    std::uint64_t top = 0;
    for (const auto& [address, n] : by_address)
        if (n > top) {
            top = n;
            most = address;
        }
    return std::to_string(count) + " from " + std::to_string(by_address.size()) +
           (by_address.size() < kRateTableMax ? "" : " or more") + " address(es), most from " + LogText(most) +
           " (" + std::to_string(top) + ")";
}

void InventoryServer::Summaries(std::uint64_t now, bool force) {
    if (!summary_started_) {
        summary_started_ = true;
        summary_ms_ = now;
    }
    if (!force && now - summary_ms_ < kSummaryMs) return;
    if (rate_limited_.count)
        log_("rate limit: " + rate_limited_.Text() + " not answered (device requests and inventories begun " +
             "without one; " + std::to_string(opt_.request_burst) + " at once, then " +
             std::to_string(opt_.request_rate) + " a minute per address)");
    if (refused_.count)
        log_("peer limit: " + refused_.Text() + " refused (datagrams of new peers while " +
             std::to_string(opt_.max_peers) + " sessions were busy)");
    if (requests_unlogged_)
        log_(std::to_string(requests_unlogged_) + " more device request(s) answered, not logged one by one");
    rate_limited_ = Tally{};
    refused_ = Tally{};
    requests_unlogged_ = 0;
    request_lines_ = 0;
    summary_ms_ = now;
}

void InventoryServer::FlushSummaries(std::uint64_t now) { Summaries(now, true); }

static constexpr std::uint64_t kRequestCost = 60000;   // credit of one request: a minute's worth

bool InventoryServer::Refill(Bucket& b, std::uint64_t now) const {
    const std::uint64_t full = std::uint64_t{opt_.request_burst} * kRequestCost;
    const std::uint64_t elapsed = now > b.at_ms ? now - b.at_ms : 0;
    b.credit = std::min(full, b.credit + std::min(elapsed, full) * opt_.request_rate);
    b.at_ms = now;
    return b.credit == full;
}

bool InventoryServer::RequestAllowed(const std::string& address, std::uint64_t now) {
    auto it = buckets_.find(address);
    if (it == buckets_.end()) {
        if (buckets_.size() >= kRateTableMax) {
            // Addresses whose bucket is full again need no entry.
            for (auto b = buckets_.begin(); b != buckets_.end();)
                b = Refill(b->second, now) ? buckets_.erase(b) : std::next(b);
            // Still full: more addresses are busy than can be told apart,
            // so a new one gets nothing until some calm down.
            if (buckets_.size() >= kRateTableMax) return false;
        }
        it = buckets_.emplace(address, Bucket{std::uint64_t{opt_.request_burst} * kRequestCost, now}).first;
    }
    Refill(it->second, now);
    if (it->second.credit < kRequestCost) return false;
    it->second.credit -= kRequestCost;
    return true;
}

InventoryServer::Session* InventoryServer::SessionFor(const std::string& peer, std::uint64_t now) {
    auto it = sessions_.find(peer);
    if (it != sessions_.end()) return &it->second;
    if (sessions_.size() >= opt_.max_peers) {
        // Make room by forgetting the longest-quiet session that holds
        // nothing unfinished (stored, dropped, or a request not yet followed
        // by data); an unfinished inventory is never pushed out.
        auto victim = sessions_.end();
        for (auto x = sessions_.begin(); x != sessions_.end(); ++x)
            if (!x->second.Unfinished() && (victim == sessions_.end() || x->second.seen_ms < victim->second.seen_ms))
                victim = x;
        if (victim == sessions_.end()) {
            ++stats_.peers_refused;
            refused_.Add(AddressOf(peer));
            return nullptr;
        }
        total_held_ -= victim->second.held;
        sessions_.erase(victim);
    }
    Session& s = sessions_[peer];
    s.seen_ms = s.began_ms = now;
    return &s;
}

void InventoryServer::OnDatagram(const std::string& peer, const std::uint8_t* data, std::size_t len,
                                 std::uint64_t now) {
    if (Chance(opt_.drop_datagrams)) {
        ++stats_.datagrams_dropped;
        return;
    }
    Summaries(now, false);
    serverlink::DeviceRequest req;
    if (serverlink::DecodeDeviceRequest(data, len, &req)) {
        OnRequest(peer, req, now);
    } else if (len >= serverlink::kHeaderSize + 2 && len <= serverlink::kDatagramMax) {
        OnData(peer, data, len, now);
    } else if (opt_.verbose) {
        log_("ignored datagram of " + std::to_string(len) + " bytes from " + peer);
    }
}

void InventoryServer::OnRequest(const std::string& peer, const serverlink::DeviceRequest& req,
                                std::uint64_t now) {
    ++stats_.requests;
    const std::string address = AddressOf(peer);
    if (!RequestAllowed(address, now)) {
        ++stats_.rate_limited;
        rate_limited_.Add(address);
        return;
    }
    Session* slot = SessionFor(peer, now);
    if (!slot) return;
    const bool log_line = request_lines_ < kRequestLinesPerSummary;
    if (log_line) ++request_lines_;
    else ++requests_unlogged_;
    Session s;
    s.seen_ms = s.began_ms = now;
    std::uint64_t number = 0;
    if (req.wants_id || req.device_id.empty()) {
        number = store_->AssignNumber();
        if (number == 0) {
            // No reply: the scanner ends without an ID rather than with one
            // that may be handed out again.
            if (log_line)
                log_("device request from " + peer + ": " + LogText(store_->error()) + "; not answered");
            return;
        }
        s.key = Store::NameForNumber(number);
    } else {
        s.key = store_->KeyForId(req.device_id);
        s.device_id = req.device_id;
    }
    long count = opt_.expected_files;
    if (count < 0) {
        // The count is 16 bits on the wire: a larger one is sent as the
        // largest, so the scanner's progress bar simply fills.
        count = store_->LastFileCount(s.key);
        if (count < 0) count = 1;
        if (count > 65535) count = 65535;
    }
    std::vector<serverlink::ConfigEntry> files = store_->ConfigFiles(s.key);

    // Packet 1: the head and as much of the list as fits; then up to four more.
    std::vector<std::vector<std::uint8_t>> packets;
    std::size_t next = 0;
    for (int seq = 1; seq <= 5; ++seq) {
        std::vector<std::uint8_t> p(serverlink::kHeaderSize + serverlink::kPayloadSize, 0);
        std::uint8_t* payload = p.data() + serverlink::kHeaderSize;
        std::size_t at = 0;
        if (seq == 1) {
            serverlink::ReplyHead h;
            h.count = static_cast<std::uint16_t>(count);
            h.count_copy = static_cast<std::uint16_t>(opt_.disagree_copies ? count + 1 : count);
            h.major = h.major_copy = static_cast<std::uint8_t>(opt_.version_major);
            h.minor = h.minor_copy = static_cast<std::uint8_t>(opt_.version_minor);
            h.device_low = static_cast<std::uint32_t>(number);
            h.device_high = static_cast<std::uint16_t>(number >> 32);
            serverlink::EncodeReplyHead(h, payload);
            at = serverlink::kReplyHeadSize;
        }
        std::size_t used = 0;
        next += serverlink::EncodeConfigList(files, next, payload + at, serverlink::kPayloadSize - at, &used);
        p.resize(serverlink::kHeaderSize + at + used);
        packets.push_back(std::move(p));
        if (next >= files.size()) break;
    }
    for (std::size_t i = 0; i < packets.size(); ++i) {
        std::uint8_t* p = packets[i].data();
        PutU16(p, serverlink::kReplyMark);
        PutU16(p + 2, static_cast<std::uint16_t>(((i + 1) << 8) | packets.size()));
        Send(peer, p, packets[i].size(), opt_.drop_replies, opt_.dup_replies, &stats_.replies_dropped);
    }
    if (log_line)
        log_("device request from " + peer + ": " +
             (number ? "assigned number " + s.key.substr(4) : "device " + LogText(req.device_id)) + ", " +
             std::to_string(files.size()) + " captured file(s), expected files " + std::to_string(count));
    total_held_ -= slot->held;
    *slot = std::move(s);
}

void InventoryServer::OnData(const std::string& peer, const std::uint8_t* data, std::size_t len,
                             std::uint64_t now) {
    ++stats_.packets;
    std::uint16_t word = GetU16(data);
    const std::uint8_t* payload = data + serverlink::kHeaderSize;
    std::size_t n = len - serverlink::kHeaderSize;
    if (serverlink::Checksum(payload, n) != GetU16(data + 2)) {
        ++stats_.bad_checksums;
        if (opt_.verbose) log_("bad checksum in packet " + std::to_string(word >> 8) + " from " + peer);
        return;                                   // not acknowledged: the scanner resends
    }
    // The acknowledgement goes out after the packet is taken in, so that the
    // one for the last packet means the inventory is already stored: the
    // scanner ends as soon as it has it.
    if (!Accept(peer, word, payload, n, now)) return;
    std::uint8_t ack[2];
    PutU16(ack, word);
    ++stats_.acks_sent;
    Send(peer, ack, sizeof ack, opt_.drop_acks, opt_.dup_acks, &stats_.acks_dropped);
}

// A digest of a decoded packet, to tell a late copy from a new inventory.
static std::uint64_t PacketDigest(unsigned wire, const std::uint8_t* payload, std::size_t n) {
    std::uint64_t h = 1469598103934665603ull ^ wire;
    for (std::size_t i = 0; i < n; ++i) h = (h ^ payload[i]) * 1099511628211ull;
    return h;
}

bool InventoryServer::Accept(const std::string& peer, std::uint16_t word, const std::uint8_t* payload,
                             std::size_t n, std::uint64_t now) {
    // A replay comes without a device request: its first packet begins the
    // session and counts against the address's request limit.
    if (!sessions_.count(peer) && !RequestAllowed(AddressOf(peer), now)) {
        ++stats_.rate_limited;
        rate_limited_.Add(AddressOf(peer));
        return false;
    }
    Session* sp = SessionFor(peer, now);
    if (!sp) return false;
    Session& s = *sp;
    if (s.dropped) {                              // over a limit: ignored until a new request
        ++stats_.ignored;
        return false;
    }
    unsigned wire = word >> 8;
    if (s.done) {
        // A copy of a packet of the stored inventory is acknowledged again;
        // anything else begins the next inventory from this address.
        const std::uint64_t digest = PacketDigest(wire, payload, n);
        for (std::size_t i = wire == 0 ? 255 : wire - 1; i < s.digests.size(); i += 256)
            if (s.digests[i] == digest) {
                ++stats_.duplicates;
                return true;
            }
        if (!RequestAllowed(AddressOf(peer), now)) {
            ++stats_.rate_limited;
            rate_limited_.Add(AddressOf(peer));
            return false;
        }
        log_("new inventory from " + peer + " after a stored one");
        total_held_ -= s.held;
        s = Session{};
        s.seen_ms = s.began_ms = now;
    } else if (s.complete) {
        // Decoded whole but not stored yet: a copy tries the store again.
        ++stats_.duplicates;
        return Finish(peer, s);
    }
    // Widen the 8-bit number against the first number still missing.
    unsigned delta = (wire - static_cast<unsigned>(s.base & 0xFF)) & 0xFF;
    if (delta >= 128) {                           // behind: a copy of a decoded packet
        ++stats_.duplicates;
        return true;
    }
    std::uint64_t number = s.base + delta;
    if (s.pending.count(number)) {
        ++stats_.duplicates;
        return true;
    }
    // A packet not seen before: progress, which keeps the session alive.
    s.seen_ms = now;
    s.pending[number].assign(payload, payload + n);
    s.pending_bytes += n + kPacketOverhead;
    if ((word & 0xFF) != 0 && (word & 0xFF) == wire) s.last = number;
    while (!s.pending.empty() && s.pending.begin()->first == s.base) {
        auto it = s.pending.begin();
        s.stream.Feed(it->second.data(), it->second.size());
        s.digests.push_back(PacketDigest(static_cast<unsigned>(s.base & 0xFF), it->second.data(), it->second.size()));
        s.pending_bytes -= it->second.size() + kPacketOverhead;
        s.pending.erase(it);
        if (s.last == s.base) {
            ++s.base;
            s.complete = true;
            const bool stored = Finish(peer, s);
            Account(peer, s);
            return stored;
        }
        ++s.base;
    }
    Account(peer, s);
    return !s.dropped;
}

bool InventoryServer::Finish(const std::string& peer, Session& s) {
    s.pending.clear();
    s.pending_bytes = 0;
    std::string id = s.stream.Value("Device ID =");
    if (s.device_id.empty()) s.device_id = id;
    if (s.key.empty()) s.key = store_->KeyForId(s.device_id.empty() ? peer : s.device_id);
    const std::int64_t stored =
        store_->StoreInventory(s.key, s.device_id, peer, static_cast<std::int64_t>(std::time(nullptr)), s.stream);
    s.done = stored != 0;
    if (s.done) ++stats_.inventories;
    log_("inventory from " + peer + " (" + (s.device_id.empty() ? "no device ID" : LogText(s.device_id)) +
         "): " + std::to_string(s.stream.items()) + " items in " + std::to_string(s.base - 1) + " packets" +
         (s.done ? ", stored as inventory " + std::to_string(stored) + " of " + s.key
                 : ", NOT STORED for " + s.key + " (" + LogText(store_->error()) + "); not acknowledged"));
    // The GLPI copy is extra: the inventory is stored (and acknowledged)
    // whether or not it can be written.
    std::string path, why;
    if (s.done && !opt_.export_dir.empty() && !ExportToDir(*store_, stored, opt_.export_dir, &path, &why))
        log_("GLPI export of inventory " + std::to_string(stored) + " failed: " + LogText(why));
    // Stored: only the digests are needed any more, to know late copies.
    if (s.done) s.stream = StreamDecoder{};
    return s.done;
}

void InventoryServer::Account(const std::string& peer, Session& s) {
    const std::uint64_t held = s.dropped ? 0
                                         : s.stream.held() + s.pending_bytes +
                                               s.digests.size() * sizeof(std::uint64_t);
    total_held_ = total_held_ - s.held + held;
    s.held = held;
    if (s.dropped || s.done) return;
    if (held > opt_.session_limit) {
        Drop(peer, s, "it holds " + std::to_string(held) + " bytes, over the limit of one session (" +
                          std::to_string(opt_.session_limit) + ")");
        return;
    }
    while (total_held_ > opt_.total_limit) {
        auto largest = sessions_.end();
        for (auto x = sessions_.begin(); x != sessions_.end(); ++x)
            if (!x->second.done && (largest == sessions_.end() || x->second.held > largest->second.held))
                largest = x;
        if (largest == sessions_.end() || largest->second.held == 0) break;
        Drop(largest->first, largest->second,
             "all sessions hold " + std::to_string(total_held_) + " bytes, over their limit (" +
                 std::to_string(opt_.total_limit) + "), and this is the largest");
    }
}

void InventoryServer::Drop(const std::string& peer, Session& s, const std::string& why) {
    ++stats_.sessions_dropped;
    log_("inventory from " + peer + (s.device_id.empty() ? "" : " (" + LogText(s.device_id) + ")") +
         " dropped after " + std::to_string(s.base - 1) + " packets: " + why +
         "; its data is ignored until it sends a new device request");
    s.dropped = true;
    s.stream = StreamDecoder{};
    s.pending.clear();
    s.pending_bytes = 0;
    std::vector<std::uint64_t>().swap(s.digests);
    total_held_ -= s.held;
    s.held = 0;
}

void InventoryServer::Expire(std::uint64_t now, std::uint64_t idle_ms) {
    Summaries(now, false);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        Session& s = it->second;
        const bool idle = now - s.seen_ms > idle_ms;
        const bool overdue = !s.done && !s.dropped && now - s.began_ms > opt_.lifetime_ms;
        if (idle || overdue) {
            if (s.Unfinished())
                log_(std::string(s.complete ? "unstored" : "incomplete") + " inventory from " + it->first +
                     " dropped after " + std::to_string(s.base - 1) + " packets" +
                     (idle ? " (no progress for " + std::to_string(idle_ms / 1000) + " s)"
                           : " (unfinished " + std::to_string(opt_.lifetime_ms / 1000) + " s after it began)"));
            ++stats_.sessions_expired;
            total_held_ -= s.held;
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
    // Addresses whose request bucket is full again need no entry.
    for (auto b = buckets_.begin(); b != buckets_.end();)
        b = Refill(b->second, now) ? buckets_.erase(b) : std::next(b);
}

}  // namespace qv::invserver
