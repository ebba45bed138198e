// A scripted remote control agent for the consoles' tests: a linkcore
// endpoint on native linkcore whose test answers each request by hand.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "agent/rc_wire.h"
#include "contracts/transport.h"
#include "tools/rcconsole/rcproto.h"

namespace qv::rcc {

using namespace std::chrono_literals;

// One endpoint of the scripted agent.
class Endpoint {
public:
    // A TCP/IP endpoint on tcp_port (plus LINKCORE_PORT_OFFSET; 0: a free
    // port), or the IPX form on the UDP port of the given socket value.
    explicit Endpoint(uint32_t ipx_socket = 0, uint32_t tcp_port = 0)
        : h_(ipx_socket ? InitIPXSession(0, ipx_socket, 0) : InitTCPIPSession(0, tcp_port, 0, 0)) {
        if (!ipx_socket) {
            EXPECT_NE(h_, 0u);
        }
        SetBlocking(h_, 0);
        uint8_t name[32];
        int size = sizeof name;
        GetLocalName(h_, name, &size);
        port_ = static_cast<uint16_t>(name[4] << 8 | name[5]);
    }
    ~Endpoint() {
        if (h_) DeinitProtocol(h_);
    }
    bool ok() const { return h_ != 0; }
    std::string port() const { return std::to_string(port_); }

    // The next packet from the console; empty when none comes in time.
    Bytes Next(std::chrono::milliseconds wait = 5000ms) {
        const auto until = std::chrono::steady_clock::now() + wait;
        uint8_t buf[rc::kRecvCapacity];
        while (std::chrono::steady_clock::now() < until) {
            const int n = RecvPacket(h_, buf, sizeof buf);
            if (n > 0) return Bytes(buf, buf + n);
            std::this_thread::sleep_for(5ms);
        }
        return {};
    }
    void Send(const Bytes& b) { EXPECT_NE(SendPacket(h_, b.data(), static_cast<int>(b.size())), 0); }
    // Expects a request starting with `head`, then answers it (unless empty).
    void Expect(const Bytes& head, const Bytes& answer = {}) {
        const Bytes got = Next();
        ASSERT_GE(got.size(), head.size()) << "waited for request type " << int(head.size() > 1 ? head[1] : head[0]);
        EXPECT_TRUE(std::equal(head.begin(), head.end(), got.begin())) << int(got[0]) << " " << int(got[1]);
        if (!answer.empty()) Send(answer);
    }

private:
    LinkHandle h_;
    uint16_t port_ = 0;
};

inline Bytes CommandReplyBytes(uint16_t status, uint16_t code) {
    return {0, 7, static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8), 0, 0, 4, 0, 6, 0,
            static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)};
}
inline Bytes EstablishOk(uint32_t permissions, uint8_t signals) {
    return {0, 2, 0, 0, static_cast<uint8_t>(permissions), static_cast<uint8_t>(permissions >> 8), 0, 0, signals,
            0, 0, 0, 0, 0};
}
inline const Bytes kEstablish = {0, 2}, kValidate = {0, 1}, kEnd = {0, 3};
// The head of a remote execute and of a poll.
inline const Bytes kExec = {0, 7, 0, 0, 0, 0, 0, 0, 6, 0, 0xB6, 0xCB}, kPoll = {0, 7, 0, 0, 0, 0, 0, 0, 6, 0, 0xB7, 0xCB};

// Answers one command behind its validation.
inline void Command(Endpoint& v, const Bytes& head, const Bytes& answer) {
    v.Expect(kValidate);
    v.Expect(head, answer);
}

}  // namespace qv::rcc
