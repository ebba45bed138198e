// Keyed sessions: handshake messages, record sealing and opening, the
// replay window, and the process-wide key and drop count; see keyed.h.
#include "libs/linkcore/keyed.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "libs/linkcore/net.h"

namespace qv::link::keyed {
namespace {

constexpr uint8_t kMagic[3] = {'L', 'C', 'K'};
constexpr char kSalt[] = "linkcore keyed v1";
constexpr char kHandshakeInfo[] = "handshake";
constexpr char kSessionInfo[] = "session";
constexpr std::size_t kBodyBytes = 4 + kNonceBytes;  // what the MAC covers of the message itself
constexpr std::size_t kSessionKeyBytes = 2 * crypto::kAeadKeyBytes + 2 * crypto::kAeadNonceBytes;

const uint8_t* Bytes(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

void PutU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t GetU64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

void PutBody(MessageType type, const uint8_t nonce[kNonceBytes], uint8_t* out) {
    std::memcpy(out, kMagic, 3);
    out[3] = type;
    std::memcpy(out + 4, nonce, kNonceBytes);
}

bool IsMessage(MessageType type, const uint8_t* msg, std::size_t len) {
    return len == kHelloBytes && std::memcmp(msg, kMagic, 3) == 0 && msg[3] == type;
}

}  // namespace

bool Hkdf(const uint8_t* salt, std::size_t salt_len, const uint8_t* ikm, std::size_t ikm_len, const uint8_t* info,
          std::size_t info_len, uint8_t* out, std::size_t out_len) {
    constexpr std::size_t kMaxInfo = 64;
    if (out_len > 255 * crypto::kSha256Bytes || info_len > kMaxInfo) return false;
    uint8_t prk[crypto::kSha256Bytes];
    if (!crypto::HmacSha256(salt, salt_len, ikm, ikm_len, nullptr, 0, prk)) return false;
    // T(i) = HMAC(PRK, T(i-1) | info | i)
    uint8_t t[crypto::kSha256Bytes + kMaxInfo + 1];
    std::size_t t_len = 0;
    uint8_t block[crypto::kSha256Bytes];
    for (std::size_t done = 0, i = 1; done < out_len; ++i) {
        std::memcpy(t + t_len, info, info_len);
        t[t_len + info_len] = static_cast<uint8_t>(i);
        if (!crypto::HmacSha256(prk, sizeof prk, t, t_len + info_len + 1, nullptr, 0, block)) return false;
        const std::size_t n = std::min(out_len - done, sizeof block);
        std::memcpy(out + done, block, n);
        done += n;
        std::memcpy(t, block, sizeof block);
        t_len = sizeof block;
    }
    return true;
}

bool SiteKey::Set(const uint8_t key[kSiteKeyBytes]) {
    std::memcpy(key_, key, kSiteKeyBytes);
    return Hkdf(Bytes(kSalt), sizeof kSalt - 1, key_, kSiteKeyBytes, Bytes(kHandshakeInfo),
                sizeof kHandshakeInfo - 1, hs_, sizeof hs_);
}

bool MakeHello(const SiteKey& key, const uint8_t nc[kNonceBytes], uint8_t out[kHelloBytes]) {
    PutBody(kHello, nc, out);
    return crypto::HmacSha256(key.handshake_key(), kMacBytes, out, kBodyBytes, nullptr, 0, out + kBodyBytes);
}

bool CheckHello(const SiteKey& key, const uint8_t* msg, std::size_t len, uint8_t nc[kNonceBytes]) {
    uint8_t mac[kMacBytes];
    if (!IsMessage(kHello, msg, len) ||
        !crypto::HmacSha256(key.handshake_key(), kMacBytes, msg, kBodyBytes, nullptr, 0, mac) ||
        !crypto::Equal(mac, msg + kBodyBytes, kMacBytes))
        return false;
    std::memcpy(nc, msg + 4, kNonceBytes);
    return true;
}

bool MakeAnswer(const SiteKey& key, const uint8_t hello[kHelloBytes], const uint8_t ns[kNonceBytes],
                uint8_t out[kHelloBytes]) {
    PutBody(kAnswer, ns, out);
    return crypto::HmacSha256(key.handshake_key(), kMacBytes, hello, kHelloBytes, out, kBodyBytes, out + kBodyBytes);
}

bool CheckAnswer(const SiteKey& key, const uint8_t hello[kHelloBytes], const uint8_t* msg, std::size_t len,
                 uint8_t ns[kNonceBytes]) {
    uint8_t mac[kMacBytes];
    if (!IsMessage(kAnswer, msg, len) ||
        !crypto::HmacSha256(key.handshake_key(), kMacBytes, hello, kHelloBytes, msg, kBodyBytes, mac) ||
        !crypto::Equal(mac, msg + kBodyBytes, kMacBytes))
        return false;
    std::memcpy(ns, msg + 4, kNonceBytes);
    return true;
}

bool ReplayWindow::Check(uint64_t counter) const {
    if (counter >= kMaxRecords) return false;
    if (!any_ || counter > top_) return true;
    if (in_order_) return false;
    const uint64_t behind = top_ - counter;
    return behind < kReplayWindow && !(seen_ >> behind & 1);
}

void ReplayWindow::Accept(uint64_t counter) {
    if (!any_) {
        any_ = true;
        top_ = counter;
        seen_ = 1;
    } else if (counter > top_) {
        const uint64_t shift = counter - top_;
        seen_ = shift >= kReplayWindow ? 1 : (seen_ << shift) | 1;
        top_ = counter;
    } else {
        seen_ |= uint64_t{1} << (top_ - counter);
    }
}

bool Session::Init(const SiteKey& key, const uint8_t nc[kNonceBytes], const uint8_t ns[kNonceBytes]) {
    // Session keys: HKDF with both nonces as salt, so each side's fresh
    // randomness makes the keys new: caller-to-endpoint key, endpoint-to-
    // caller key, then the two nonce bases in the same order.
    uint8_t salt[2 * kNonceBytes];
    std::memcpy(salt, nc, kNonceBytes);
    std::memcpy(salt + kNonceBytes, ns, kNonceBytes);
    uint8_t okm[kSessionKeyBytes];
    if (!Hkdf(salt, sizeof salt, key.key(), kSiteKeyBytes, Bytes(kSessionInfo), sizeof kSessionInfo - 1, okm,
              sizeof okm))
        return false;
    const uint8_t* k_c2e = okm;
    const uint8_t* k_e2c = okm + crypto::kAeadKeyBytes;
    const uint8_t* iv_c2e = okm + 2 * crypto::kAeadKeyBytes;
    const uint8_t* iv_e2c = iv_c2e + crypto::kAeadNonceBytes;
    const bool caller = role_ == Role::kCaller;
    std::memcpy(send_iv_, caller ? iv_c2e : iv_e2c, crypto::kAeadNonceBytes);
    std::memcpy(recv_iv_, caller ? iv_e2c : iv_c2e, crypto::kAeadNonceBytes);
    const bool ok = send_.SetKey(caller ? k_c2e : k_e2c) && recv_.SetKey(caller ? k_e2c : k_c2e);
    std::memset(okm, 0, sizeof okm);
    return ok;
}

void Session::Nonce(const uint8_t iv[crypto::kAeadNonceBytes], uint64_t counter,
                    uint8_t out[crypto::kAeadNonceBytes]) const {
    // The counter, big-endian in the last 8 bytes, XORed into the base.
    std::memcpy(out, iv, crypto::kAeadNonceBytes);
    for (int i = 0; i < 8; ++i) out[crypto::kAeadNonceBytes - 1 - i] ^= static_cast<uint8_t>(counter >> (8 * i));
}

bool Session::Seal(const uint8_t* in, std::size_t len, uint8_t* out, std::size_t* out_len) {
    if (len == 0 || len > kMaxPacket) return false;
    std::lock_guard<std::mutex> lock(send_mu_);
    if (send_next_ >= kMaxRecords) return false;
    const uint64_t counter = send_next_;
    out[0] = kRecord;
    PutU64(out + 1, counter);
    uint8_t nonce[crypto::kAeadNonceBytes];
    Nonce(send_iv_, counter, nonce);
    if (!send_.Seal(nonce, out, kRecordHeader, in, len, out + kRecordHeader)) return false;
    ++send_next_;
    *out_len = len + kRecordOverhead;
    return true;
}

bool Session::Open(const uint8_t* in, std::size_t len, uint8_t* out, std::size_t* out_len) {
    if (len <= kRecordOverhead || len > kMaxRecord || in[0] != kRecord) return false;
    const uint64_t counter = GetU64(in + 1);
    if (!window_.Check(counter)) return false;
    uint8_t nonce[crypto::kAeadNonceBytes];
    Nonce(recv_iv_, counter, nonce);
    const std::size_t text = len - kRecordOverhead;
    if (!recv_.Open(nonce, in, kRecordHeader, in + kRecordHeader, len - kRecordHeader, out)) {
        std::memset(out, 0, text);  // nothing unauthenticated is left behind
        return false;
    }
    window_.Accept(counter);
    *out_len = text;
    return true;
}

void Session::SetNextCounterForTest(uint64_t c) {
    std::lock_guard<std::mutex> lock(send_mu_);
    send_next_ = c;
}

// Process-wide state: the site key, the log function and the drop count.
namespace {

std::mutex g_key_mu;
bool g_has_key = false;
SiteKey g_key;
std::atomic<LogFunction> g_log{nullptr};
std::atomic<uint32_t> g_dropped{0};
std::mutex g_drop_log_mu;
uint64_t g_drop_logged_ms = 0;
uint32_t g_drop_logged_count = 0;
bool g_drop_log_started = false;

}  // namespace

bool SetSiteKey(const uint8_t* key) {
    SiteKey k;
    if (key && (!crypto::Available() || !k.Set(key))) return false;
    std::lock_guard<std::mutex> lock(g_key_mu);
    g_has_key = key != nullptr;
    g_key = k;
    return true;
}

bool CurrentSiteKey(SiteKey* out) {
    std::lock_guard<std::mutex> lock(g_key_mu);
    if (g_has_key) *out = g_key;
    return g_has_key;
}

void SetLogFunction(LogFunction fn) { g_log = fn; }

void Log(const char* line) {
    if (LogFunction fn = g_log.load()) fn(line);
    else net::DefaultLog(line);
}

void CountDrop() {
    const uint32_t total = ++g_dropped;
    const uint64_t now = net::NowMs();
    char line[160];
    {
        std::lock_guard<std::mutex> lock(g_drop_log_mu);
        if (g_drop_log_started && now - g_drop_logged_ms < kDropLogIntervalMs) return;
        std::snprintf(line, sizeof line,
                      "linkcore: dropped %u packet(s) that failed the keyed session checks since the last report "
                      "(%u in all)",
                      static_cast<unsigned>(total - g_drop_logged_count), static_cast<unsigned>(total));
        g_drop_log_started = true;
        g_drop_logged_ms = now;
        g_drop_logged_count = total;
    }
    Log(line);
}

uint32_t DroppedPackets() { return g_dropped.load(); }

}  // namespace qv::link::keyed
