// The link over real WinSock sockets, threads and events, against a small
// in-process UDP peer on the loopback address.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "scanner/serverlink/winsock_platform.h"

namespace qv::serverlink {
namespace {

// A peer that answers device requests with a one-packet reply and
// acknowledges data packets; the first datagram it ever sends is an
// oversized one, which the link must skip without losing its receiver.
class Peer {
public:
    Peer() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
        sock_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        int len = sizeof a;
        getsockname(sock_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Loop(); });
    }
    ~Peer() {
        stop_ = true;
        closesocket(sock_);
        thread_.join();
        WSACleanup();
    }
    unsigned short port() const { return port_; }
    int data_packets() const { return data_; }
    bool ack = true;

private:
    void Loop() {
        std::uint8_t buf[1024];
        bool sent_junk = false;
        while (!stop_) {
            sockaddr_in from{};
            int flen = sizeof from;
            int n = recvfrom(sock_, reinterpret_cast<char*>(buf), sizeof buf, 0,
                             reinterpret_cast<sockaddr*>(&from), &flen);
            if (n == SOCKET_ERROR) {
                if (stop_) return;
                continue;
            }
            auto send = [&](const std::uint8_t* d, std::size_t len) {
                sendto(sock_, reinterpret_cast<const char*>(d), static_cast<int>(len), 0,
                       reinterpret_cast<sockaddr*>(&from), flen);
            };
            if (!sent_junk) {
                std::vector<std::uint8_t> junk(700, 0x55);
                send(junk.data(), junk.size());
                sent_junk = true;
            }
            DeviceRequest req;
            if (DecodeDeviceRequest(buf, static_cast<std::size_t>(n), &req)) {
                std::uint8_t reply[4 + kReplyHeadSize + 1] = {0xFF, 0xFF, 0x01, 0x01};
                ReplyHead h;
                h.count = h.count_copy = 77;
                h.major = h.major_copy = 3;
                h.minor = h.minor_copy = 1;
                h.device_low = req.wants_id ? 0x2A : 0;
                h.device_high = 1;
                EncodeReplyHead(h, reply + 4);
                send(reply, sizeof reply);
            } else if (n >= 6) {
                ++data_;
                if (ack) send(buf, 2);
            }
        }
    }
    SOCKET sock_;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> data_{0};
    std::thread thread_;
};

std::vector<int> g_messages;

std::unique_ptr<LinkPlatform> Platform() {
    return MakeWinSockPlatform([](unsigned id) {
        g_messages.push_back(static_cast<int>(id));
        return std::string("%s: message ") + std::to_string(id);
    }, "qviscnnt");
}

TEST(WinSockLink, IpxIsMissingOnThisSystem) {
    auto p = Platform();
    LinkCore core(*p, {"SRV", 5, 10, false});
    EXPECT_EQ(core.OpenIpx("00000000:000000000001:4005"), kOpenSocketFailed);
    g_messages.clear();
    EXPECT_TRUE(core.ReportOpen(kOpenSocketFailed));
    EXPECT_EQ(g_messages, std::vector<int>{106});
    core.Close();
}

TEST(WinSockLink, LoopbackExchange) {
    Peer peer;
    auto p = Platform();
    LinkCore core(*p, {"SRV", 5, 10, false});
    ASSERT_EQ(core.OpenIp("127.0.0.1:" + std::to_string(peer.port())), kOpenIp);
    ASSERT_TRUE(core.RequestDeviceId(""));
    scanner::ConfigFileList list;
    DWORD start = GetTickCount();
    ReplyOutcome r = core.ReceiveServerReply(list);
    EXPECT_EQ(r.count, 77);
    EXPECT_EQ(r.device_id, "SRV00010000002A");
    EXPECT_LT(GetTickCount() - start, 3000u);

    std::vector<std::uint8_t> packet(kPayloadSize, 0);
    std::memcpy(packet.data(), "Item =value", 11);
    start = GetTickCount();
    for (unsigned n = 1; n <= 300; ++n) ASSERT_EQ(core.SendPacket(packet.data(), n, n == 300), 0) << n;
    EXPECT_EQ(core.WaitForAllAcks(), 0);
    // Woken by acknowledgements, not by one-second sleeps.
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_EQ(peer.data_packets(), 300);
    EXPECT_EQ(core.retransmissions(), 0u);
    DWORD close_start = GetTickCount();
    core.Close();
    EXPECT_LT(GetTickCount() - close_start, 4000u);   // the receiver ended with the socket
}

TEST(WinSockLink, HostNameAndUnknownHost) {
    Peer peer;
    // "localhost" through the system's resolver, which answers it locally.
    auto p = Platform();
    LinkCore core(*p, {"SRV", 5, 10, false});
    ASSERT_EQ(core.OpenIp("localhost:" + std::to_string(peer.port())), kOpenIp);
    EXPECT_EQ(core.destination().ip[0], 127);
    core.Close();
    // Made-up names go to a resolver of the test's own: no query leaves the machine.
    std::vector<std::string> asked;
    auto own = MakeWinSockPlatform([](unsigned) { return std::string(); }, "qviscnnt",
                                   [&](const std::string& name, std::uint8_t ip[4]) {
                                       asked.push_back(name);
                                       if (name != "INVSERVER") return false;
                                       const std::uint8_t loopback[4] = {127, 0, 0, 1};
                                       std::memcpy(ip, loopback, 4);
                                       return true;
                                   });
    LinkCore named(*own, {"SRV", 5, 10, false});
    ASSERT_EQ(named.OpenIp("INVSERVER:" + std::to_string(peer.port())), kOpenIp);
    ASSERT_TRUE(named.RequestDeviceId(""));
    scanner::ConfigFileList list;
    EXPECT_EQ(named.ReceiveServerReply(list).count, 77);
    named.Close();
    LinkCore bad(*own, {"SRV", 5, 10, false});
    EXPECT_EQ(bad.OpenIp("NO-SUCH-HOST"), kOpenResolveFailed);
    bad.Close();
    EXPECT_EQ(asked, (std::vector<std::string>{"INVSERVER", "NO-SUCH-HOST"}));
}

}  // namespace
}  // namespace qv::serverlink
