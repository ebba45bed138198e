// Client side of TCP/IP and IPX-over-UDP sessions; see client.h.
#include "libs/linkcore/client.h"

#include <cstring>
#include <vector>

#include "contracts/transport.h"
#include "libs/linkcore/internal.h"

namespace qv::link {
namespace {

std::string SockErrorText(const char* what) {
    return std::string(what) + " failed (socket error " + std::to_string(net::LastError()) + ")";
}

}  // namespace

struct Client::KeyState {};

Client::Client() = default;
Client::~Client() { net::Close(sock_); }

std::unique_ptr<Client> Client::ConnectTcp(const std::string& host, uint16_t port, int timeout_ms,
                                           std::string* error) {
    net::Startup();
    net::Addr to;
    if (!net::Resolve(host.c_str(), &to.ip_be)) {
        if (error) *error = "cannot resolve host " + host;
        return nullptr;
    }
    if (!OffsetPort(port, &to.port)) {
        if (error) *error = "port " + std::to_string(port) + " out of range";
        return nullptr;
    }
    net::Sock s = net::TcpConnect(to, timeout_ms, 10000);
    if (s == net::kBadSock) {
        if (error) *error = SockErrorText("connect");
        return nullptr;
    }
    std::unique_ptr<Client> c(new Client);
    c->sock_ = s;
    c->peer_ = to;
    return c;
}

std::unique_ptr<Client> Client::OpenIpx(const std::string& host, uint32_t ipx_socket, std::string* error) {
    net::Startup();
    net::Addr to;
    if (!net::Resolve(host.c_str(), &to.ip_be)) {
        if (error) *error = "cannot resolve host " + host;
        return nullptr;
    }
    if (!OffsetPort(LinkIpxSocketToUdpPort(ipx_socket), &to.port)) {
        if (error) *error = "IPX socket out of range";
        return nullptr;
    }
    net::Sock s = net::UdpBind(net::Addr{0, 0});
    if (s == net::kBadSock) {
        if (error) *error = SockErrorText("bind");
        return nullptr;
    }
    std::unique_ptr<Client> c(new Client);
    c->tcp_ = false;
    c->sock_ = s;
    c->peer_ = to;
    return c;
}

bool Client::Send(const void* packet, std::size_t len) {
    if (len == 0 || len > kMaxPacket) {
        error_ = "packet size out of range";
        return false;
    }
    if (!tcp_) {
        if (net::SendTo(sock_, packet, len, peer_) != static_cast<int>(len)) {
            error_ = SockErrorText("send");
            return false;
        }
        return true;
    }
    std::vector<uint8_t> frame;
    EncodeFrame(packet, len, &frame);
    if (net::SendAll(sock_, frame.data(), frame.size()) != static_cast<int>(frame.size())) {
        error_ = SockErrorText("send");
        return false;
    }
    return true;
}

int Client::Recv(void* buffer, std::size_t cap, int timeout_ms) {
    uint64_t deadline = net::NowMs() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        if (tcp_) {
            const uint8_t* data = nullptr;
            std::size_t len = 0;
            switch (rx_.Next(&data, &len)) {
            case FrameReader::Result::kPacket:
                if (len > cap) {
                    error_ = "packet larger than the buffer";
                    return -1;
                }
                std::memcpy(buffer, data, len);
                return static_cast<int>(len);
            case FrameReader::Result::kMalformed:
                error_ = "malformed frame from the peer";
                return -1;
            case FrameReader::Result::kNeedMore:
                break;
            }
        }
        uint64_t now = net::NowMs();
        int wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        net::PollItem item{sock_};
        int rc = net::Poll(&item, 1, wait);
        if (rc < 0) {
            error_ = SockErrorText("poll");
            return -1;
        }
        if (rc == 0) return 0;
        if (tcp_) {
            int n = net::RecvSome(sock_, rx_.Room(), rx_.RoomSize());
            if (n <= 0) {
                error_ = n == 0 ? "the peer closed the connection" : SockErrorText("receive");
                return -1;
            }
            rx_.Commit(static_cast<std::size_t>(n));
        } else {
            uint8_t dgram[kMaxPacket + 1];
            net::Addr from;
            bool truncated = false;
            int n = net::RecvFrom(sock_, dgram, sizeof dgram, &from, &truncated);
            if (n < 0) continue;  // e.g. an ICMP "port unreachable" report; keep waiting
            if (from.ip_be != peer_.ip_be || from.port != peer_.port || truncated) continue;
            if (static_cast<std::size_t>(n) > cap) {
                error_ = "packet larger than the buffer";
                return -1;
            }
            std::memcpy(buffer, dgram, static_cast<std::size_t>(n));
            return n;
        }
    }
}

}  // namespace qv::link
