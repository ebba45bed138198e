// Wine tests of the keyed sessions: the test vectors through CNG
// (bcrypt.dll), and linkcore.dll's keyed TCP endpoint against a caller
// built in this process from the keyed layer and plain WinSock.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "contracts/transport.h"
#include "libs/linkcore/keyed.h"
#include "libs/linkcore/keyed_vectors.h"

namespace {

using namespace qv::link;

class WinSock : public ::testing::Environment {
public:
    void SetUp() override {
        WSADATA wsa;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    }
    void TearDown() override { WSACleanup(); }
};
const auto* const g_winsock = ::testing::AddGlobalTestEnvironment(new WinSock);

TEST(KeyedCng, VectorsThroughBcrypt) {
    ASSERT_TRUE(crypto::Available()) << "bcrypt.dll lacks AES-GCM or HMAC-SHA256";
    EXPECT_EQ(keyed::vectors::Check(), "");
}

// A caller speaking the framing and the keyed handshake by hand.
struct Caller {
    SOCKET s = INVALID_SOCKET;
    keyed::SiteKey key;
    uint8_t hello[keyed::kHelloBytes] = {};
    std::unique_ptr<keyed::Session> session;

    Caller(uint16_t port, const uint8_t* site) {
        key.Set(site);
        s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(port);
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << WSAGetLastError();
        DWORD ms = 5000;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    }
    ~Caller() { closesocket(s); }
    void Put(const uint8_t* p, std::size_t n) {
        std::vector<uint8_t> f;
        EncodeFrame(p, n, &f);
        ASSERT_EQ(send(s, reinterpret_cast<const char*>(f.data()), static_cast<int>(f.size()), 0),
                  static_cast<int>(f.size()));
    }
    bool ReadExactly(uint8_t* buf, int n) {
        for (int got = 0; got < n;) {
            const int r = recv(s, reinterpret_cast<char*>(buf) + got, n - got, 0);
            if (r <= 0) return false;
            got += r;
        }
        return true;
    }
    std::vector<uint8_t> Get() {
        uint8_t h[2];
        if (!ReadExactly(h, 2)) return {};
        std::vector<uint8_t> p(static_cast<std::size_t>(h[0] | h[1] << 8));
        if (p.empty() || !ReadExactly(p.data(), static_cast<int>(p.size()))) return {};
        return p;
    }
    bool Handshake() {
        uint8_t nc[keyed::kNonceBytes], ns[keyed::kNonceBytes];
        if (!crypto::Random(nc, sizeof nc) || !keyed::MakeHello(key, nc, hello)) return false;
        Put(hello, sizeof hello);
        const std::vector<uint8_t> answer = Get();
        if (!keyed::CheckAnswer(key, hello, answer.data(), answer.size(), ns)) return false;
        session = std::make_unique<keyed::Session>(keyed::Session::Role::kCaller, true);
        return session->Init(key, nc, ns);
    }
};

TEST(KeyedCng, DllEndpointTakesOnlyTheKey) {
    uint8_t key_a[32], key_b[32];
    keyed::vectors::Fill(key_a, 32, 0x21);
    keyed::vectors::Fill(key_b, 32, 0x22);
    ASSERT_EQ(LinkSetSiteKey(key_a, 32), 1);
    const LinkHandle h = InitTCPIPSession(0, 0, 0, 0);
    ASSERT_EQ(LinkSetSiteKey(nullptr, 0), 1);
    ASSERT_NE(h, 0u);
    SetBlocking(h, 1);
    uint8_t name[40];
    int size = sizeof name;
    ASSERT_EQ(GetLocalName(h, name, &size), 1);
    const uint16_t port = static_cast<uint16_t>(name[4] << 8 | name[5]);
    std::vector<std::string> got;
    std::thread echo([&] {
        char buf[504];
        for (int n; (n = RecvPacket(h, buf, sizeof buf)) > 0 || GetLastError() != LC_ERR_INACTIVE;) {
            if (n <= 0) continue;
            got.emplace_back(buf, static_cast<std::size_t>(n));
            const std::string r = "pong:" + got.back();
            SendPacket(h, r.data(), static_cast<int>(r.size()));
        }
    });
    const uint32_t dropped = LinkGetDroppedPackets();
    {
        Caller wrong(port, key_b);
        EXPECT_FALSE(wrong.Handshake()) << "another key gets no answer";
    }
    {
        Caller right(port, key_a);
        ASSERT_TRUE(right.Handshake());
        for (const std::string p : {"ping", "again"}) {
            uint8_t rec[keyed::kMaxRecord], plain[kMaxPacket];
            std::size_t n = 0, m = 0;
            ASSERT_TRUE(right.session->Seal(reinterpret_cast<const uint8_t*>(p.data()), p.size(), rec, &n));
            right.Put(rec, n);
            right.Put(rec, n);  // the replay is dropped
            const std::vector<uint8_t> reply = right.Get();
            ASSERT_TRUE(right.session->Open(reply.data(), reply.size(), plain, &m));
            EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), m), "pong:" + p);
        }
    }
    DeinitProtocol(h);
    echo.join();
    EXPECT_EQ(got, (std::vector<std::string>{"ping", "again"}));
    EXPECT_EQ(LinkGetDroppedPackets() - dropped, 3u);
}

}  // namespace
