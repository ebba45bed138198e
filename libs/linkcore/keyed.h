// Keyed sessions: the handshake and the sealed records that carry packets
// between two ends holding the same 32-byte site key (WIRE.md, "Keyed
// sessions", describes every byte).
//
// The construction is HKDF-SHA256 (RFC 5869) with AES-256-GCM, one key
// and nonce base per direction, and a 64-bit record counter in each nonce
// (the record layout of TLS 1.3, without its handshake):
//   hello   caller -> endpoint: caller nonce Nc, HMAC under the handshake key
//   answer  endpoint -> caller: endpoint nonce Ns, HMAC over hello + answer
//   records both ways: counter, AES-256-GCM sealed packet
// The handshake key and the session keys are derived from the site key;
// the session keys also from Nc and Ns, so every session has fresh keys.
// The endpoint answers only a hello that proves the key; the answer proves
// the endpoint holds it (over the caller's fresh Nc); the caller proves it
// holds it with its first record, the first thing the endpoint delivers.
//
// Everything here is portable and works on bytes; linkcore.cpp and
// client.cpp put it on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "libs/linkcore/crypto.h"
#include "libs/linkcore/framing.h"

namespace qv::link::keyed {

constexpr std::size_t kSiteKeyBytes = 32;
constexpr std::size_t kNonceBytes = 32;    // Nc and Ns
constexpr std::size_t kMacBytes = 32;      // HMAC-SHA256
constexpr std::size_t kHelloBytes = 4 + kNonceBytes + kMacBytes;  // also the answer's size
constexpr std::size_t kRecordHeader = 1 + 8;                      // type, counter
constexpr std::size_t kRecordOverhead = kRecordHeader + crypto::kAeadTagBytes;
constexpr std::size_t kMaxRecord = kMaxPacket + kRecordOverhead;
static_assert(kMaxRecord <= kMaxFramePayload, "a sealed packet must fit one frame");
// A session seals at most this many records per direction and then ends
// (the sender refuses, the caller starts a new session), so a nonce is
// never used twice under one key, with a wide margin below AES-GCM's limits.
constexpr uint64_t kMaxRecords = uint64_t{1} << 40;
// How far behind the newest counter a datagram may arrive and still be
// taken (once); TCP sessions take counters strictly in order.
constexpr uint64_t kReplayWindow = 64;

enum MessageType : uint8_t { kHello = 0x01, kAnswer = 0x02, kRecord = 0x03 };

// The site key and the handshake key derived from it.
class SiteKey {
public:
    bool Set(const uint8_t key[kSiteKeyBytes]);
    const uint8_t* key() const { return key_; }
    const uint8_t* handshake_key() const { return hs_; }

private:
    uint8_t key_[kSiteKeyBytes] = {};
    uint8_t hs_[kMacBytes] = {};
};

// HKDF-SHA256 (RFC 5869): extract with salt, expand with info to out_len
// bytes (at most 255 * 32).
bool Hkdf(const uint8_t* salt, std::size_t salt_len, const uint8_t* ikm, std::size_t ikm_len, const uint8_t* info,
          std::size_t info_len, uint8_t* out, std::size_t out_len);

// The caller's hello for its nonce nc (random, from crypto::Random).
bool MakeHello(const SiteKey& key, const uint8_t nc[kNonceBytes], uint8_t out[kHelloBytes]);
// Checks a message received as a hello; false for anything that is not a
// hello proving the key. *nc gets the caller's nonce.
bool CheckHello(const SiteKey& key, const uint8_t* msg, std::size_t len, uint8_t nc[kNonceBytes]);
// The endpoint's answer to a checked hello, for its nonce ns.
bool MakeAnswer(const SiteKey& key, const uint8_t hello[kHelloBytes], const uint8_t ns[kNonceBytes],
                uint8_t out[kHelloBytes]);
// Checks the answer to our hello; *ns gets the endpoint's nonce.
bool CheckAnswer(const SiteKey& key, const uint8_t hello[kHelloBytes], const uint8_t* msg, std::size_t len,
                 uint8_t ns[kNonceBytes]);

// Which counters a receiver still takes. Check before opening a record
// (cheap rejection), Accept once it authenticated.
class ReplayWindow {
public:
    explicit ReplayWindow(bool in_order) : in_order_(in_order) {}
    bool Check(uint64_t counter) const;
    void Accept(uint64_t counter);

private:
    bool in_order_;
    bool any_ = false;
    uint64_t top_ = 0;   // highest counter taken
    uint64_t seen_ = 0;  // bit i: top_ - i was taken
};

// One session's record protection. Seal may be called from several
// threads (it serialises itself); Open from one receiving thread only.
class Session {
public:
    enum class Role { kCaller, kEndpoint };
    // in_order: counters must arrive strictly increasing (TCP).
    Session(Role role, bool in_order) : role_(role), window_(in_order) {}
    bool Init(const SiteKey& key, const uint8_t nc[kNonceBytes], const uint8_t ns[kNonceBytes]);

    // Seals len (1..kMaxPacket) bytes into out (len + kRecordOverhead
    // bytes); false once the session has sealed kMaxRecords records.
    bool Seal(const uint8_t* in, std::size_t len, uint8_t* out, std::size_t* out_len);
    // Opens a record into out (capacity kMaxPacket); false when it is to
    // be dropped: not a record, altered, truncated, of another session,
    // replayed, or too old.
    bool Open(const uint8_t* in, std::size_t len, uint8_t* out, std::size_t* out_len);

    // For tests: the counter the next Seal uses.
    void SetNextCounterForTest(uint64_t c);

private:
    void Nonce(const uint8_t iv[crypto::kAeadNonceBytes], uint64_t counter, uint8_t out[crypto::kAeadNonceBytes]) const;

    Role role_;
    std::mutex send_mu_;
    crypto::Aead send_, recv_;
    uint8_t send_iv_[crypto::kAeadNonceBytes] = {};
    uint8_t recv_iv_[crypto::kAeadNonceBytes] = {};
    uint64_t send_next_ = 0;  // guarded by send_mu_
    ReplayWindow window_;
};

// Counts a dropped packet (process-wide) and logs the count at most once
// every kDropLogIntervalMs.
constexpr uint64_t kDropLogIntervalMs = 10000;
void CountDrop();
uint32_t DroppedPackets();

// The process-wide site key (LinkSetSiteKey): set (32 bytes) or cleared
// (null). False when the key cannot be used (no cipher available).
bool SetSiteKey(const uint8_t* key);
// A copy of it; false when none is set.
bool CurrentSiteKey(SiteKey* out);

// Where log lines go (null: net::DefaultLog).
using LogFunction = void (*)(const char* line);
void SetLogFunction(LogFunction fn);
void Log(const char* line);

}  // namespace qv::link::keyed
