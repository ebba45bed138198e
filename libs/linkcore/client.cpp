// Client side of TCP/IP and IPX-over-UDP sessions; see client.h.
#include "libs/linkcore/client.h"

#include <cstring>
#include <vector>

#include "contracts/transport.h"
#include "libs/linkcore/internal.h"
#include "libs/linkcore/keyed.h"

namespace qv::link {
namespace {

std::string SockErrorText(const char* what) {
    return std::string(what) + " failed (socket error " + std::to_string(net::LastError()) + ")";
}

bool IsAnswer(const uint8_t* p, std::size_t n) { return n == keyed::kHelloBytes && p[3] == keyed::kAnswer; }

}  // namespace

// The keyed session's state: our hello (kept, so that a resend repeats it
// and the endpoint's answers to both are the same), the session once the
// answer came, and, over UDP, the packet sent before it came.
struct Client::KeyState {
    keyed::SiteKey key;
    uint8_t nc[keyed::kNonceBytes] = {};
    uint8_t hello[keyed::kHelloBytes] = {};
    bool hello_made = false;
    std::unique_ptr<keyed::Session> session;
    std::vector<uint8_t> queued;

    bool MakeHello() {
        if (hello_made) return true;
        hello_made = crypto::Random(nc, sizeof nc) && keyed::MakeHello(key, nc, hello);
        return hello_made;
    }
    // A packet as our answer: the session starts.
    bool TakeAnswer(const uint8_t* p, std::size_t n, bool in_order) {
        uint8_t ns[keyed::kNonceBytes];
        if (!hello_made || !keyed::CheckAnswer(key, hello, p, n, ns)) return false;
        auto s = std::make_unique<keyed::Session>(keyed::Session::Role::kCaller, in_order);
        if (!s->Init(key, nc, ns)) return false;
        session = std::move(s);
        return true;
    }
};

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
    keyed::SiteKey key;
    if (keyed::CurrentSiteKey(&key)) {
        c->keyed_ = std::make_unique<KeyState>();
        c->keyed_->key = key;
        c->rx_.SetMaxLength(keyed::kMaxRecord);
        if (!c->Handshake(timeout_ms)) {
            if (error) *error = c->error_;
            return nullptr;
        }
    }
    return c;
}

// The TCP handshake: our hello, then the endpoint's answer within the
// time-out. An endpoint with another key (or none) never answers.
bool Client::Handshake(int timeout_ms) {
    if (!keyed_->MakeHello()) {
        error_ = "the keyed handshake failed: no random numbers from the system";
        return false;
    }
    if (!SendRaw(keyed_->hello, sizeof keyed_->hello)) return false;
    const uint64_t deadline = net::NowMs() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
    uint8_t answer[keyed::kMaxRecord];
    const int n = RecvRaw(answer, sizeof answer, deadline);
    if (n > 0 && keyed_->TakeAnswer(answer, static_cast<std::size_t>(n), true)) return true;
    if (n > 0) {
        keyed::CountDrop();
        error_ = "the endpoint's answer to the keyed handshake does not prove the site key "
                 "(it holds another key, or none)";
    } else if (n == 0) {
        error_ = "no answer to the keyed handshake within " + std::to_string(timeout_ms) +
                 " ms (the endpoint holds another site key, or none)";
    } else {
        error_ = "the endpoint closed the connection at the keyed handshake (it holds another site key, or none)";
    }
    return false;
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
    keyed::SiteKey key;
    if (keyed::CurrentSiteKey(&key)) {
        c->keyed_ = std::make_unique<KeyState>();
        c->keyed_->key = key;
    }
    return c;
}

bool Client::Send(const void* packet, std::size_t len) {
    if (len == 0 || len > kMaxPacket) {
        error_ = "packet size out of range";
        return false;
    }
    if (!keyed_) return SendRaw(packet, len);
    if (!keyed_->session) {
        // Datagrams: the hello goes first (again, on a resend); the packet
        // follows as soon as the answer is received.
        if (!keyed_->MakeHello()) {
            error_ = "the keyed handshake failed: no random numbers from the system";
            return false;
        }
        const auto* p = static_cast<const uint8_t*>(packet);
        keyed_->queued.assign(p, p + len);
        return SendRaw(keyed_->hello, sizeof keyed_->hello);
    }
    uint8_t sealed[keyed::kMaxRecord];
    std::size_t sealed_len = 0;
    if (!keyed_->session->Seal(static_cast<const uint8_t*>(packet), len, sealed, &sealed_len)) {
        error_ = "the keyed session has carried all the packets it may; open a new one";
        return false;
    }
    return SendRaw(sealed, sealed_len);
}

bool Client::SendRaw(const void* bytes, std::size_t len) {
    if (!tcp_) {
        if (net::SendTo(sock_, bytes, len, peer_) != static_cast<int>(len)) {
            error_ = SockErrorText("send");
            return false;
        }
        return true;
    }
    std::vector<uint8_t> frame;
    EncodeFrame(bytes, len, &frame);
    if (net::SendAll(sock_, frame.data(), frame.size()) != static_cast<int>(frame.size())) {
        error_ = SockErrorText("send");
        return false;
    }
    return true;
}

int Client::Recv(void* buffer, std::size_t cap, int timeout_ms) {
    const uint64_t deadline = net::NowMs() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
    if (!keyed_) return RecvRaw(buffer, cap, deadline);
    for (;;) {
        uint8_t raw[keyed::kMaxRecord];
        const int n = RecvRaw(raw, sizeof raw, deadline);
        if (n <= 0) return n;
        const auto len = static_cast<std::size_t>(n);
        if (!keyed_->session) {
            // Datagrams before the answer: only the answer counts; then the
            // packet waiting for it goes out.
            if (!keyed_->TakeAnswer(raw, len, false)) {
                keyed::CountDrop();
                continue;
            }
            if (!keyed_->queued.empty()) {
                std::vector<uint8_t> q;
                q.swap(keyed_->queued);
                if (!Send(q.data(), q.size())) return -1;
            }
            continue;
        }
        if (!tcp_ && IsAnswer(raw, len)) continue;  // the answer to a resent hello, once more
        uint8_t plain[kMaxPacket];
        std::size_t plain_len = 0;
        if (!keyed_->session->Open(raw, len, plain, &plain_len)) {
            keyed::CountDrop();
            continue;
        }
        if (plain_len > cap) {
            error_ = "packet larger than the buffer";
            return -1;
        }
        std::memcpy(buffer, plain, plain_len);
        return static_cast<int>(plain_len);
    }
}

int Client::RecvRaw(void* buffer, std::size_t cap, uint64_t deadline) {
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
            uint8_t dgram[keyed::kMaxRecord + 1];
            net::Addr from;
            bool truncated = false;
            int n = net::RecvFrom(sock_, dgram, sizeof dgram, &from, &truncated);
            if (n < 0) continue;  // e.g. an ICMP "port unreachable" report; keep waiting
            if (from.ip_be != peer_.ip_be || from.port != peer_.port || truncated) continue;
            if (keyed_ ? n == 0 : n > static_cast<int>(kMaxPacket)) continue;
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
