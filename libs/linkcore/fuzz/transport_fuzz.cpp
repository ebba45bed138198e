// Fuzz target for the transport's endpoints: connection handling and
// framing of the TCP/IP form, datagrams of the IPX-over-UDP form, the
// one-peer-at-a-time rule, silent and stalled callers, and sends.
//
// The endpoint runs over a scripted socket layer (net_script.h). Input: a
// mode byte (bit 0: datagram form; bits 1-3 choose the receive buffer's
// capacity), then script steps, each an operation byte and its arguments:
//   0 a caller connects          1 caller C sends a chunk of N raw bytes
//   2 caller C sends one frame of N bytes     3 caller C hangs up (or resets)
//   4 a datagram from one of four peers (maybe truncated)
//   5 time passes                6 the program receives (not blocking)
//   7 the program sends N bytes (maybe failing part-way)
//   8 ResetSession   9 AcceptAnyCaller   10 IsSessionActive
// Every packet handed out must be, byte for byte, the next frame its
// sender sent that fits the buffer (larger ones are discarded, never cut),
// from the caller GetRemoteName names; a datagram must be the one just
// read, whole. A packet sent goes whole, as one frame, to the current peer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "contracts/transport.h"
#include "libs/linkcore/framing.h"
#include "libs/linkcore/fuzz/net_script.h"

namespace {

using namespace qv::link;

[[noreturn]] void Fail() { std::abort(); }

// What one caller sent, and how far the program has taken it.
struct Caller {
    net::Sock sock;
    net::Addr from;
    std::vector<std::uint8_t> stream;
    std::size_t taken = 0;  // stream bytes of the frames handed out or skipped
};

Caller* ByAddress(std::vector<Caller>& callers, const std::uint8_t name[6]) {
    for (Caller& c : callers) {
        std::uint8_t ip[4];
        std::memcpy(ip, &c.from.ip_be, 4);
        if (std::memcmp(ip, name, 4) == 0 && name[4] == (c.from.port >> 8) && name[5] == (c.from.port & 0xFF))
            return &c;
    }
    return nullptr;
}

// The packet must be the caller's next frame that fits `cap`.
void CheckFrame(Caller& c, const std::uint8_t* p, std::size_t n, std::size_t cap) {
    for (;;) {
        if (c.taken + kFrameHeader > c.stream.size()) Fail();
        const std::size_t len = c.stream[c.taken] | (static_cast<std::size_t>(c.stream[c.taken + 1]) << 8);
        if (len == 0 || len > kMaxPacket || c.taken + kFrameHeader + len > c.stream.size()) Fail();
        const std::uint8_t* frame = c.stream.data() + c.taken + kFrameHeader;
        c.taken += kFrameHeader + len;
        if (len > cap) continue;  // discarded
        if (len != n || std::memcmp(frame, p, n) != 0) Fail();
        return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool datagrams = data[0] & 1;
    static const int caps[8] = {static_cast<int>(kMaxPacket), 1, 2, 16, 255, 256, 1000, 4096};
    const int cap = caps[(data[0] >> 1) & 7];
    script::Reset();
    script::World& w = script::TheWorld();
    const LinkHandle h = datagrams ? InitIPXSession(0, 0x4100, 0) : InitTCPIPSession(0, 1764, 0, 0);
    if (h == 0) Fail();
    SetBlocking(h, 0);
    std::vector<Caller> callers;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(cap));
    std::size_t i = 1;
    auto next = [&]() -> std::uint8_t { return i < size ? data[i++] : 0; };
    auto take = [&](std::size_t n) {
        n = std::min(n, size - std::min(i, size));
        std::vector<std::uint8_t> b(data + i, data + i + n);
        i += n;
        return b;
    };
    while (i < size) {
        const std::uint8_t op = data[i++] % 11;
        switch (op) {
        case 0: {
            if (callers.size() >= 40) break;
            const std::uint8_t k = static_cast<std::uint8_t>(callers.size());
            const std::uint8_t ip[4] = {127, 0, 0, static_cast<std::uint8_t>(k + 1)};
            Caller c{w.next++, {}, {}, 0};
            std::memcpy(&c.from.ip_be, ip, 4);
            c.from.port = static_cast<std::uint16_t>(2000 + k);
            w.conns[c.sock].from = c.from;
            w.waiting.push_back(c.sock);
            callers.push_back(c);
            break;
        }
        case 1:
        case 2: {
            const std::uint8_t who = next();
            std::size_t n = next();
            std::vector<std::uint8_t> bytes = take(n);
            if (callers.empty()) break;
            Caller& c = callers[who % callers.size()];
            if (op == 2) {
                if (bytes.empty()) break;
                std::vector<std::uint8_t> frame;
                EncodeFrame(bytes.data(), bytes.size(), &frame);
                bytes = std::move(frame);
            }
            script::Connection& conn = w.conns[c.sock];
            if (conn.hung_up || conn.reset || bytes.empty()) break;
            c.stream.insert(c.stream.end(), bytes.begin(), bytes.end());
            conn.chunks.push_back(std::move(bytes));
            break;
        }
        case 3: {
            const std::uint8_t who = next();
            if (callers.empty()) break;
            script::Connection& conn = w.conns[callers[who % callers.size()].sock];
            (who & 0x80 ? conn.reset : conn.hung_up) = true;
            break;
        }
        case 4: {
            const std::uint8_t from = next();
            std::size_t n = next();
            n |= static_cast<std::size_t>(next()) << 8;
            script::Datagram d;
            const std::uint8_t ip[4] = {127, 0, 1, static_cast<std::uint8_t>(from % 4 + 1)};
            std::memcpy(&d.from.ip_be, ip, 4);
            d.from.port = 5000;
            d.bytes = take(n % 1600);
            d.truncated = from & 0x80;
            w.datagrams.push_back(std::move(d));
            break;
        }
        case 5:
            w.now += next() * 500u;
            break;
        case 6: {
            const int n = RecvPacket(h, buf.data(), cap);
            if (n < 0 || n > cap || static_cast<std::size_t>(n) > kMaxPacket) Fail();
            if (n == 0) break;
            std::uint8_t name[6];
            int len = sizeof name;
            if (!GetRemoteName(h, name, &len) || len != 6) Fail();
            if (datagrams) {
                std::uint8_t ip[4];
                std::memcpy(ip, &w.last_from.ip_be, 4);
                if (w.last_datagram.size() != static_cast<std::size_t>(n) ||
                    std::memcmp(w.last_datagram.data(), buf.data(), static_cast<std::size_t>(n)) != 0 ||
                    std::memcmp(ip, name, 4) != 0)
                    Fail();
            } else {
                Caller* c = ByAddress(callers, name);
                if (!c) Fail();
                CheckFrame(*c, buf.data(), static_cast<std::size_t>(n), static_cast<std::size_t>(cap));
            }
            break;
        }
        case 7: {
            const std::uint8_t flags = next();
            std::vector<std::uint8_t> payload = take(next() + 1u);
            std::uint8_t name[6];
            int len = sizeof name;
            Caller* peer = !datagrams && GetRemoteName(h, name, &len) ? ByAddress(callers, name) : nullptr;
            const std::size_t before = peer ? w.conns[peer->sock].received.size() : 0;
            if (peer) w.conns[peer->sock].send_fails = flags & 1;
            const int sent = SendPacket(h, payload.data(), static_cast<int>(payload.size()));
            if (sent && peer) {
                std::vector<std::uint8_t> frame;
                EncodeFrame(payload.data(), payload.size(), &frame);
                const auto& got = w.conns[peer->sock].received;
                if (got.size() != before + frame.size() || !std::equal(frame.begin(), frame.end(), got.begin() + before))
                    Fail();
            }
            if (peer && (flags & 1) && sent) Fail();  // a broken send is never reported as sent
            break;
        }
        case 8:
            ResetSession(h, 0);
            break;
        case 9:
            AcceptAnyCaller(h);
            break;
        default:
            IsSessionActive(h);
            break;
        }
    }
    if (!DeinitProtocol(h)) Fail();
    script::Reset();
    return 0;
}
