// Wine tests of linkcore.dll on its own: a TCP/IP endpoint and an IPX
// endpoint (UDP) with a plain WinSock peer written from WIRE.md in this
// process, packet round trips, error codes, one caller at a time, and
// DeinitProtocol releasing a receive blocked on another thread.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "contracts/transport.h"

namespace {

class WinSock : public ::testing::Environment {
public:
    void SetUp() override {
        WSADATA wsa;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    }
    void TearDown() override { WSACleanup(); }
};
const auto* const g_winsock = ::testing::AddGlobalTestEnvironment(new WinSock);

uint16_t LocalPort(LinkHandle h) {
    uint8_t name[40];
    int size = sizeof name;
    EXPECT_EQ(GetLocalName(h, name, &size), 1);
    EXPECT_EQ(size, 6);
    return static_cast<uint16_t>(name[4] << 8 | name[5]);
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    return sa;
}

// A peer that speaks the TCP framing by hand.
struct TcpPeer {
    SOCKET s = INVALID_SOCKET;
    explicit TcpPeer(uint16_t port) {
        s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in sa = Loopback(port);
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << WSAGetLastError();
        DWORD ms = 5000;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    }
    ~TcpPeer() { closesocket(s); }
    void SendRaw(const std::string& bytes) {
        ASSERT_EQ(send(s, bytes.data(), static_cast<int>(bytes.size()), 0), static_cast<int>(bytes.size()));
    }
    void SendFrame(const std::string& p) {
        std::string f;
        f += static_cast<char>(p.size() & 0xFF);
        f += static_cast<char>(p.size() >> 8);
        SendRaw(f + p);
    }
    bool ReadExactly(char* buf, int n) {
        for (int got = 0; got < n;) {
            int r = recv(s, buf + got, n - got, 0);
            if (r <= 0) return false;
            got += r;
        }
        return true;
    }
    std::string RecvFrame() {
        unsigned char h[2];
        if (!ReadExactly(reinterpret_cast<char*>(h), 2)) return "<closed>";
        std::string p(static_cast<std::size_t>(h[0] | h[1] << 8), '\0');
        if (!ReadExactly(p.data(), static_cast<int>(p.size()))) return "<closed>";
        return p;
    }
};

struct RecvArgs {
    LinkHandle h;
    int result;
    DWORD error;
};

DWORD WINAPI BlockedReceiver(LPVOID p) {
    auto* a = static_cast<RecvArgs*>(p);
    char buf[504];
    SetLastError(0xdeadbeef);
    a->result = RecvPacket(a->h, buf, sizeof buf);
    a->error = GetLastError();
    return 0;
}

TEST(LinkcoreDll, TcpRoundTripWithAHandWrittenPeer) {
    SetLastError(0xdeadbeef);
    LinkHandle h = InitTCPIPSession(0, 0, 0, 0);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(SetBlocking(h, 1), 1);
    const uint16_t port = LocalPort(h);
    ASSERT_NE(port, 0);
    EXPECT_EQ(IsSessionActive(h), 0);

    TcpPeer peer(port);
    const std::string request(504, 'r');
    peer.SendFrame(request);
    char buf[504];
    SetLastError(0xdeadbeef);
    ASSERT_EQ(RecvPacket(h, buf, sizeof buf), 504);
    EXPECT_EQ(std::string(buf, 504), request);
    EXPECT_NE(IsSessionActive(h), 0);

    uint8_t name[80];
    int size = sizeof name;
    ASSERT_EQ(GetRemoteName(h, name, &size), 1);
    EXPECT_EQ(size, 6);
    EXPECT_EQ(name[0], 127);
    EXPECT_EQ(name[3], 1);
    size = 5;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetRemoteName(h, name, &size), 0);
    EXPECT_EQ(GetLastError(), LC_ERR_BUFFER);
    EXPECT_EQ(size, 0);

    const std::string reply(510, 'R');
    SetLastError(0xdeadbeef);
    ASSERT_NE(SendPacket(h, reply.data(), static_cast<int>(reply.size())), 0);
    EXPECT_EQ(peer.RecvFrame(), reply);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SendPacket(h, reply.data(), 0), 0);
    EXPECT_EQ(GetLastError(), LC_ERR_SIZE);

    // A second endpoint on the same port fails.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(InitTCPIPSession(0, port, 0, 0), 0u);
    EXPECT_NE(GetLastError(), 0u);

    // A zero length is a malformed frame: that peer is dropped.
    peer.SendRaw(std::string(2, '\0'));
    SetBlocking(h, 0);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(RecvPacket(h, buf, sizeof buf), 0);
        Sleep(10);
    }
    EXPECT_EQ(peer.RecvFrame(), "<closed>");
    ResetSession(h, 0);
    EXPECT_EQ(IsSessionActive(h), 0);
    EXPECT_EQ(DeinitProtocol(h), 1);
}

// Under WinSock too: a second caller waits while the first is the peer,
// and is taken, its packets in order, once the first hangs up.
TEST(LinkcoreDll, SecondCallerWaitsUntilTheFirstHangsUp) {
    LinkHandle h = InitTCPIPSession(0, 0, 0, 0);
    ASSERT_NE(h, 0u);
    SetBlocking(h, 1);
    const uint16_t port = LocalPort(h);
    auto a = std::make_unique<TcpPeer>(port);
    TcpPeer b(port);
    char buf[504];
    auto recv_packet = [&] {
        int n = RecvPacket(h, buf, sizeof buf);
        return std::string(buf, static_cast<std::size_t>(n > 0 ? n : 0));
    };
    a->SendFrame("a1");
    EXPECT_EQ(recv_packet(), "a1");
    b.SendFrame("b1");
    b.SendFrame("b2");
    Sleep(50);
    a->SendFrame("a2");
    EXPECT_EQ(recv_packet(), "a2");
    ASSERT_NE(SendPacket(h, "to-a", 4), 0);
    EXPECT_EQ(a->RecvFrame(), "to-a");
    a.reset();
    EXPECT_EQ(recv_packet(), "b1");
    EXPECT_EQ(recv_packet(), "b2");
    ASSERT_NE(SendPacket(h, "to-b", 4), 0);
    EXPECT_EQ(b.RecvFrame(), "to-b");
    DeinitProtocol(h);
}

TEST(LinkcoreDll, DeinitReleasesAReceiveBlockedOnAnotherThread) {
    LinkHandle h = InitTCPIPSession(0, 0, 0, 0);
    ASSERT_NE(h, 0u);
    SetBlocking(h, 1);
    RecvArgs args{h, -1, 0};
    HANDLE t = CreateThread(nullptr, 0, BlockedReceiver, &args, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 300), static_cast<DWORD>(WAIT_TIMEOUT));  // blocked
    EXPECT_EQ(DeinitProtocol(h), 1);
    ASSERT_EQ(WaitForSingleObject(t, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(t);
    EXPECT_EQ(args.result, 0);
    EXPECT_EQ(args.error, LC_ERR_INACTIVE);

    // The handle stays dead.
    char buf[16];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(RecvPacket(h, buf, sizeof buf), 0);
    EXPECT_EQ(GetLastError(), LC_ERR_INACTIVE);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SendPacket(h, "x", 1), 0);
    EXPECT_EQ(GetLastError(), LC_ERR_INACTIVE);
    EXPECT_EQ(DeinitProtocol(h), 0);
}

TEST(LinkcoreDll, NonBlockingReceiveReportsNothingHappened) {
    LinkHandle h = InitTCPIPSession(0, 0, 0, 0);
    ASSERT_NE(h, 0u);
    SetBlocking(h, 0);
    char buf[16];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(RecvPacket(h, buf, sizeof buf), 0);
    EXPECT_EQ(GetLastError(), 0u);
    DeinitProtocol(h);
}

TEST(LinkcoreDll, IpxEndpointExchangesDatagrams) {
    // Another run may hold a socket's port: take the first that opens.
    LinkHandle h = 0;
    uint32_t socket_value = 0x1B00;
    for (; socket_value < 0x1B40 && !h; ++socket_value) h = InitIPXSession(0, socket_value, 0);
    ASSERT_NE(h, 0u);
    --socket_value;
    SetBlocking(h, 1);
    const uint16_t port = LocalPort(h);
    EXPECT_EQ(port, LinkIpxSocketToUdpPort(socket_value));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SendPacket(h, "x", 1), 0);
    EXPECT_EQ(GetLastError(), LC_ERR_NO_PEER);

    SOCKET u = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in to = Loopback(port);
    ASSERT_EQ(sendto(u, "ping", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 4);
    char buf[504];
    ASSERT_EQ(RecvPacket(h, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_NE(IsSessionActive(h), 0);
    ASSERT_NE(SendPacket(h, "pong!", 5), 0);
    DWORD ms = 5000;
    setsockopt(u, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    char in[64];
    EXPECT_EQ(recv(u, in, sizeof in, 0), 5);
    EXPECT_EQ(std::string(in, 5), "pong!");
    closesocket(u);
    EXPECT_EQ(AcceptAnyCaller(h), 1);
    EXPECT_EQ(IsSessionActive(h), 0);
    DeinitProtocol(h);
}

}  // namespace
