// keyed_bench: what the keyed sessions cost.
//
// Prints the computing time of one handshake (both ends: hello, its check,
// answer, its check and both session key derivations) and the rate at which
// 504-byte packets are sealed and opened, through the crypto backend of the
// build (OpenSSL on the host, CNG under Wine). On the host it also times
// whole sessions over loopback: TCP connect plus handshake, and the first
// request/reply of an IPX-form (UDP) session, which carries the handshake,
// each beside the same without a key.
//
//   keyed_bench [--rounds=N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "contracts/transport.h"
#include "libs/linkcore/keyed.h"
#ifndef _WIN32
#include "libs/linkcore/client.h"
#endif

namespace {

using namespace qv::link;
using Clock = std::chrono::steady_clock;

double UsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

void Fill(uint8_t* p, std::size_t n, uint8_t v) {
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v + i);
}

bool HandshakeCompute(const keyed::SiteKey& key) {
    uint8_t nc[32], ns[32], hello[keyed::kHelloBytes], answer[keyed::kHelloBytes], got[32];
    keyed::Session caller(keyed::Session::Role::kCaller, true), endpoint(keyed::Session::Role::kEndpoint, true);
    return crypto::Random(nc, 32) && keyed::MakeHello(key, nc, hello) &&
           keyed::CheckHello(key, hello, sizeof hello, got) && crypto::Random(ns, 32) &&
           keyed::MakeAnswer(key, hello, ns, answer) && endpoint.Init(key, nc, ns) &&
           keyed::CheckAnswer(key, hello, answer, sizeof answer, got) && caller.Init(key, nc, ns);
}

#ifndef _WIN32
// The mean time of `rounds` sessions over loopback, without and with a key.
void Sessions(int rounds, bool tcp) {
    for (bool keyed_run : {false, true}) {
        uint8_t site[32];
        Fill(site, 32, 9);
        LinkSetSiteKey(keyed_run ? site : nullptr, keyed_run ? 32 : 0);
        const uint32_t ipx = 0x1B00 + (tcp ? 0 : 1);
        const LinkHandle h = tcp ? InitTCPIPSession(0, 0, 0, 0) : InitIPXSession(0, ipx, 0);
        if (!h) {
            std::printf("cannot open an endpoint\n");
            return;
        }
        SetBlocking(h, 1);
        uint8_t name[32];
        int size = sizeof name;
        GetLocalName(h, name, &size);
        const uint16_t port = static_cast<uint16_t>(name[4] << 8 | name[5]);
        std::thread echo([h] {
            char buf[504];
            for (int n; (n = RecvPacket(h, buf, sizeof buf)) > 0 || LinkGetLastError() != LC_ERR_INACTIVE;) {
                if (n <= 0) continue;
                SendPacket(h, buf, n);
                AcceptAnyCaller(h);  // the next session's caller is taken at once
            }
        });
        double total = 0;
        int ok = 0;
        for (int i = 0; i < rounds; ++i) {
            std::string err;
            const auto t = Clock::now();
            auto c = tcp ? Client::ConnectTcp("127.0.0.1", port, 2000, &err) : Client::OpenIpx("127.0.0.1", ipx, &err);
            char buf[16];
            if (c && c->Send("hello", 5) && c->Recv(buf, sizeof buf, 2000) == 5) {
                total += UsSince(t);
                ++ok;
            }
        }
        DeinitProtocol(h);
        echo.join();
        std::printf("%-4s session, connect + first request/reply, %-9s: %8.1f us (%d of %d)\n", tcp ? "TCP" : "UDP",
                    keyed_run ? "keyed" : "no key", ok ? total / ok : 0.0, ok, rounds);
    }
    LinkSetSiteKey(nullptr, 0);
}
#endif

}  // namespace

int main(int argc, char** argv) {
    int rounds = 2000;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::atoi(argv[i] + 9);
        else {
            std::printf("usage: keyed_bench [--rounds=N]\n");
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    if (rounds < 1) rounds = 1;
    if (!crypto::Available()) {
        std::printf("no AES-GCM / HMAC-SHA256 in this system's crypto library\n");
        return 1;
    }
    uint8_t site[32];
    Fill(site, 32, 1);
    keyed::SiteKey key;
    key.Set(site);

    auto t = Clock::now();
    for (int i = 0; i < rounds; ++i)
        if (!HandshakeCompute(key)) return 1;
    std::printf("handshake computation (both ends): %.1f us\n", UsSince(t) / rounds);

    keyed::Session tx(keyed::Session::Role::kCaller, false), rx(keyed::Session::Role::kEndpoint, false);
    uint8_t nc[32], ns[32];
    Fill(nc, 32, 2);
    Fill(ns, 32, 3);
    tx.Init(key, nc, ns);
    rx.Init(key, nc, ns);
    uint8_t packet[504], rec[keyed::kMaxRecord], plain[kMaxPacket];
    Fill(packet, sizeof packet, 4);
    const int packets = rounds * 50;
    t = Clock::now();
    for (int i = 0; i < packets; ++i) {
        std::size_t n = 0, m = 0;
        if (!tx.Seal(packet, sizeof packet, rec, &n) || !rx.Open(rec, n, plain, &m)) return 1;
    }
    const double us = UsSince(t);
    std::printf("seal + open of 504-byte packets: %.2f us each, %.1f MB/s\n", us / packets,
                packets * 504.0 / us);
#ifndef _WIN32
    Sessions(rounds / 10 + 1, true);
    Sessions(rounds / 10 + 1, false);
#endif
    return 0;
}
