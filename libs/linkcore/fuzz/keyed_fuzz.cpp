// Fuzz target for the keyed sessions' handshake checks and record opener.
//
// A caller session seals packets, and the input decides what reaches two
// receiving sessions (datagram window and strictly in order): steps are an
// operation byte and its arguments:
//   0 N      the caller seals a packet of N+1 bytes (kept, unsent)
//   1 K F    sealed record K is delivered, with bit F-1 flipped when F > 0
//   2 N ...  N raw bytes from the input are delivered as a record
//   3 N ...  N raw bytes are checked as a hello and as an answer
// A record may open only when it is, unaltered, one the caller sealed, and
// at most once per receiver; what opens must be exactly what was sealed. No
// message but the genuine ones may pass the handshake checks.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "libs/linkcore/keyed.h"

namespace {

using namespace qv::link;
using keyed::Session;

[[noreturn]] void Fail() { std::abort(); }

struct Fixed {
    keyed::SiteKey key;
    uint8_t nc[keyed::kNonceBytes], ns[keyed::kNonceBytes];
    uint8_t hello[keyed::kHelloBytes], answer[keyed::kHelloBytes];
    Fixed() {
        uint8_t site[keyed::kSiteKeyBytes];
        for (std::size_t i = 0; i < sizeof site; ++i) site[i] = static_cast<uint8_t>(i);
        std::memset(nc, 0x40, sizeof nc);
        std::memset(ns, 0x80, sizeof ns);
        if (!key.Set(site) || !keyed::MakeHello(key, nc, hello) || !keyed::MakeAnswer(key, hello, ns, answer))
            Fail();
    }
};

struct Sealed {
    std::vector<uint8_t> record, plain;
};

void Deliver(Session& rx, std::set<std::vector<uint8_t>>& opened, const std::vector<Sealed>& sealed,
             const uint8_t* rec, std::size_t len) {
    uint8_t out[kMaxPacket];
    std::size_t n = 0;
    if (!rx.Open(rec, len, out, &n)) return;
    std::vector<uint8_t> r(rec, rec + len);
    if (!opened.insert(r).second) Fail();  // opened twice
    for (const Sealed& s : sealed)
        if (s.record == r) {
            if (n != s.plain.size() || std::memcmp(out, s.plain.data(), n) != 0) Fail();
            return;
        }
    Fail();  // forged, altered or truncated, yet opened
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const Fixed f;
    Session tx(Session::Role::kCaller, false), dg(Session::Role::kEndpoint, false),
        st(Session::Role::kEndpoint, true);
    if (!tx.Init(f.key, f.nc, f.ns) || !dg.Init(f.key, f.nc, f.ns) || !st.Init(f.key, f.nc, f.ns)) Fail();
    std::vector<Sealed> sealed;
    std::set<std::vector<uint8_t>> opened_dg, opened_st;
    std::size_t i = 0;
    auto next = [&]() -> uint8_t { return i < size ? data[i++] : 0; };
    auto deliver = [&](const uint8_t* rec, std::size_t len) {
        Deliver(dg, opened_dg, sealed, rec, len);
        Deliver(st, opened_st, sealed, rec, len);
    };
    while (i < size) {
        switch (next() % 4) {
        case 0: {
            Sealed s;
            s.plain.resize(static_cast<std::size_t>(next()) + 1);
            for (std::size_t k = 0; k < s.plain.size(); ++k) s.plain[k] = static_cast<uint8_t>(sealed.size() + k);
            s.record.resize(keyed::kMaxRecord);
            std::size_t n = 0;
            if (!tx.Seal(s.plain.data(), s.plain.size(), s.record.data(), &n)) Fail();
            s.record.resize(n);
            sealed.push_back(std::move(s));
            break;
        }
        case 1: {
            const uint8_t k = next(), flip = next();
            if (sealed.empty()) break;
            std::vector<uint8_t> r = sealed[k % sealed.size()].record;
            if (flip) r[(flip - 1u) / 8 % r.size()] ^= static_cast<uint8_t>(1u << ((flip - 1u) % 8));
            deliver(r.data(), r.size());
            break;
        }
        case 2:
        case 3: {
            const bool handshake = data[i - 1] % 4 == 3;
            std::size_t n = next();
            n = n < size - i ? n : size - i;
            const uint8_t* p = data + i;
            i += n;
            if (!handshake) {
                deliver(p, n);
                break;
            }
            uint8_t nonce[keyed::kNonceBytes];
            if (keyed::CheckHello(f.key, p, n, nonce) &&
                (n != keyed::kHelloBytes || std::memcmp(p, f.hello, n) != 0))
                Fail();
            if (keyed::CheckAnswer(f.key, f.hello, p, n, nonce) &&
                (n != keyed::kHelloBytes || std::memcmp(p, f.answer, n) != 0))
                Fail();
            break;
        }
        }
    }
    return 0;
}
