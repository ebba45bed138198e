// The scanner's server link over POSIX sockets and threads, for the
// benchmarks that drive the real LinkCore against invserver on loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "scanner/serverlink/link.h"

#include "tests/loopback_port.h"
namespace qv::bench {

using namespace qv::serverlink;

// A UDP port on loopback that nobody holds at the moment of asking.
inline int FreeUdpPort() { return testing_support::FreeLoopbackPort(SOCK_DGRAM); }

// A whole file's bytes; empty when it cannot be read.
inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A one-shot-or-auto-reset event over a condition variable.
class Event {
public:
    void Set() {
        std::lock_guard<std::mutex> g(m_);
        set_ = true;
        cv_.notify_all();
    }
    void Reset() {
        std::lock_guard<std::mutex> g(m_);
        set_ = false;
    }
    bool Wait(std::uint32_t ms, bool auto_reset) {
        std::unique_lock<std::mutex> g(m_);
        bool ok = cv_.wait_for(g, std::chrono::milliseconds(ms), [this] { return set_; });
        if (ok && auto_reset) set_ = false;
        return ok;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool set_ = false;
};

// `bind_ip`: the local address to send from (a loopback address other than
// 127.0.0.1 makes a scanner look like another machine); empty: any.
class PosixPlatform : public LinkPlatform {
public:
    explicit PosixPlatform(std::string bind_ip = {}) : bind_ip_(std::move(bind_ip)) {}
    ~PosixPlatform() override {
        if (thread_.joinable()) thread_.join();
    }
    bool Startup() override { return true; }
    void Cleanup() override {}
    SocketId Create(Family f) override {
        if (f != Family::Ip) return kNoSocket;
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        return fd < 0 ? kNoSocket : fd;
    }
    bool BindAny(SocketId s, Family) override {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        if (!bind_ip_.empty() && inet_pton(AF_INET, bind_ip_.c_str(), &a.sin_addr) != 1) return false;
        return ::bind(static_cast<int>(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    bool LocalIpxAddress(SocketId, IpxAddress*) override { return false; }
    bool SetOption(SocketId, SockOpt, int) override { return false; }
    void SetBlocking(SocketId) override {}
    bool ResolveHost(const std::string& name, std::uint8_t ip[4]) override {
        return name == "localhost" && ParseDotted("127.0.0.1", ip);
    }
    bool ParseDotted(const std::string& text, std::uint8_t ip[4]) override {
        return inet_pton(AF_INET, text.c_str(), ip) == 1;
    }
    long SendTo(SocketId s, const Destination& to, const std::uint8_t* d, std::size_t n) override {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(to.port);
        std::memcpy(&a.sin_addr, to.ip, 4);
        return ::sendto(static_cast<int>(s), d, n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ? errno : 0;
    }
    long Receive(SocketId s, std::uint8_t* buf, std::size_t cap) override {
        ssize_t n = ::recv(static_cast<int>(s), buf, cap, MSG_TRUNC);
        if (n < 0) return kReceiveFailed;
        return static_cast<std::size_t>(n) > cap ? kReceiveSkip : n;
    }
    void Close(SocketId s, bool) override {
        ::shutdown(static_cast<int>(s), SHUT_RDWR);   // wakes the blocked receive
        ::close(static_cast<int>(s));
    }
    bool StartReceiver(std::function<void()> body) override {
        thread_ = std::thread(std::move(body));
        return true;
    }
    void JoinReceiver(std::uint32_t) override {
        if (thread_.joinable()) thread_.join();
    }
    void Lock() override { lock_.lock(); }
    void Unlock() override { lock_.unlock(); }
    std::uint32_t TickMs() override {
        return static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
    }
    void Sleep(std::uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    void SignalAck() override { ack_.Set(); }
    void WaitAck(std::uint32_t ms) override { ack_.Wait(ms, true); }
    void ResetQuery() override { query_.Reset(); }
    void SignalQuery() override { query_.Set(); }
    bool WaitQuery(std::uint32_t ms) override { return query_.Wait(ms, false); }
    void PrintMessage(int id) override { std::fprintf(stderr, "linkbench: message %d\n", id); }
    void PrintSendError(long code) override { std::fprintf(stderr, "linkbench: sendto error %ld\n", code); }

private:
    std::string bind_ip_;
    std::mutex lock_;
    Event ack_, query_;
    std::thread thread_;
};

}  // namespace qv::bench
