// The keyed sessions' test vectors (the same as in WIRE.md), and a check
// that runs them through whichever crypto backend the test is built with:
// OpenSSL in the host tests, CNG in the Wine test.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "libs/linkcore/keyed.h"

namespace qv::link::keyed::vectors {

inline std::string Hex(const uint8_t* p, std::size_t n) {
    std::string s;
    char b[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

inline void Fill(uint8_t* p, std::size_t n, uint8_t first) {
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(first + i);
}

constexpr const char* kHandshakeKey = "74f97a6c84d10a6e48d4f160eb429013755f993ea7d0f03ee2eda33beac06644";
constexpr const char* kHelloHex =
    "4c434b01404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f"
    "7d88fe9a49ed024f4ddcee7d903e61594e8f8b80721ad708497a61763a1b85b4";
constexpr const char* kAnswerHex =
    "4c434b02808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"
    "a95e8dc146429c364d71f56d44a426c95ab18f1b2fa5da06710e6e42867a19ee";
constexpr const char* kPingHex = "030000000000000000d0502242d2bc6b1c41ff9a203a68085779631a81";
constexpr const char* kPongHex = "030000010000000000e24dd278c964392623866fbea9a59672004b1855";

// Runs the vectors; returns what differs ("" when all match).
inline std::string Check() {
    uint8_t site[kSiteKeyBytes], nc[kNonceBytes], ns[kNonceBytes];
    Fill(site, sizeof site, 0x00);
    Fill(nc, sizeof nc, 0x40);
    Fill(ns, sizeof ns, 0x80);
    std::string bad;
    auto expect = [&bad](const char* what, const std::string& got, const char* want) {
        if (got != want) bad += std::string(what) + ": " + got + " (want " + want + ")\n";
    };
    SiteKey key;
    if (!key.Set(site)) return "SiteKey::Set failed";
    expect("handshake key", Hex(key.handshake_key(), kMacBytes), kHandshakeKey);
    uint8_t hello[kHelloBytes], answer[kHelloBytes], got_nc[kNonceBytes], got_ns[kNonceBytes];
    if (!MakeHello(key, nc, hello) || !MakeAnswer(key, hello, ns, answer)) return "MakeHello/MakeAnswer failed";
    expect("hello", Hex(hello, sizeof hello), kHelloHex);
    expect("answer", Hex(answer, sizeof answer), kAnswerHex);
    if (!CheckHello(key, hello, sizeof hello, got_nc) || !CheckAnswer(key, hello, answer, sizeof answer, got_ns))
        bad += "CheckHello/CheckAnswer refused the vectors\n";

    Session caller(Session::Role::kCaller, false), endpoint(Session::Role::kEndpoint, false);
    if (!caller.Init(key, nc, ns) || !endpoint.Init(key, nc, ns)) return "Session::Init failed";
    uint8_t rec[kMaxRecord], plain[kMaxPacket];
    std::size_t n = 0, m = 0;
    if (!caller.Seal(reinterpret_cast<const uint8_t*>("ping"), 4, rec, &n)) return "Seal failed";
    expect("ping record", Hex(rec, n), kPingHex);
    if (!endpoint.Open(rec, n, plain, &m) || m != 4 || std::memcmp(plain, "ping", 4) != 0)
        bad += "the endpoint did not open the ping record\n";
    endpoint.SetNextCounterForTest(0x10000);
    if (!endpoint.Seal(reinterpret_cast<const uint8_t*>("pong"), 4, rec, &n)) return "Seal failed";
    expect("pong record", Hex(rec, n), kPongHex);
    if (!caller.Open(rec, n, plain, &m) || m != 4 || std::memcmp(plain, "pong", 4) != 0)
        bad += "the caller did not open the pong record\n";
    return bad;
}

}  // namespace qv::link::keyed::vectors
