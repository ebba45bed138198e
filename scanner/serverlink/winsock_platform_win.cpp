// The inventory server link's platform on Windows: WinSock 1.1 datagram
// sockets over IPX or UDP/IP, a receiving thread, one critical section and
// two events.
//
// LinkCore (link.h) holds the protocol; this file supplies the operating
// system under it. The receiving thread blocks in recvfrom outside the lock
// and hands each datagram to the core, which takes the lock for it; closing
// the socket ends that blocking call. Acknowledgements set an auto-reset event, so the
// main thread's waits for a free slot and for the last acknowledgements
// sleep until there is something to do.
//
// Two receive errors are not fatal: a datagram longer than the 546-byte
// buffer (WSAEMSGSIZE) and a "port unreachable" report for an earlier send
// (WSAECONNRESET, which Windows delivers on a later recvfrom when the server
// was not yet listening). Ending the receiving thread on either would lose
// every later acknowledgement, so both only drop the datagram.
#include <winsock2.h>
#include <windows.h>
#include <wsipx.h>
#include <wsnwlink.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/win/handles.h"
#include "scanner/serverlink/winsock_platform.h"

namespace qv::serverlink {
namespace {

class WinSockPlatform : public LinkPlatform {
public:
    WinSockPlatform(scanner::ServerLinkTextFn text, std::string program, HostResolver resolver)
        : text_(std::move(text)), program_(std::move(program)), resolver_(std::move(resolver)),
          ack_(::CreateEventA(nullptr, FALSE, FALSE, nullptr)),
          query_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        ::InitializeCriticalSection(&lock_);
    }
    ~WinSockPlatform() override { ::DeleteCriticalSection(&lock_); }

    bool Startup() override {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(1, 1), &data) == 0;
    }
    void Cleanup() override { ::WSACleanup(); }

    SocketId Create(Family f) override {
        SOCKET s = f == Family::Ipx ? ::socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX)
                                    : ::socket(AF_INET, SOCK_DGRAM, 0);
        return s == INVALID_SOCKET ? kNoSocket : static_cast<SocketId>(s);
    }

    bool BindAny(SocketId s, Family f) override {
        if (f == Family::Ipx) {
            SOCKADDR_IPX a;
            std::memset(&a, 0, sizeof a);
            a.sa_family = AF_IPX;
            return ::bind(Sock(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        }
        sockaddr_in a;
        std::memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        return ::bind(Sock(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }

    bool LocalIpxAddress(SocketId s, IpxAddress* out) override {
        SOCKADDR_IPX a;
        int len = sizeof a;
        if (::getsockname(Sock(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return false;
        std::memcpy(out->net, a.sa_netnum, 4);
        std::memcpy(out->node, a.sa_nodenum, 6);
        return true;
    }

    bool SetOption(SocketId s, SockOpt opt, int value) override {
        switch (opt) {
            case SockOpt::Broadcast: {
                BOOL on = value ? TRUE : FALSE;
                return ::setsockopt(Sock(s), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char*>(&on),
                                    sizeof on) == 0;
            }
            case SockOpt::IpxPacketType:
                return ::setsockopt(Sock(s), NSPROTO_IPX, IPX_PTYPE, reinterpret_cast<char*>(&value),
                                    sizeof value) == 0;
            case SockOpt::IpxFilterPacketType:
                return ::setsockopt(Sock(s), NSPROTO_IPX, IPX_FILTERPTYPE,
                                    reinterpret_cast<char*>(&value), sizeof value) == 0;
        }
        return false;
    }

    void SetBlocking(SocketId s) override {
        u_long off = 0;
        ::ioctlsocket(Sock(s), FIONBIO, &off);
    }

    bool ResolveHost(const std::string& name, std::uint8_t ip[4]) override {
        if (resolver_) return resolver_(name, ip);
        hostent* h = ::gethostbyname(name.c_str());
        if (!h || h->h_addrtype != AF_INET || !h->h_addr_list || !h->h_addr_list[0]) return false;
        std::memcpy(ip, h->h_addr_list[0], 4);
        return true;
    }

    bool ParseDotted(const std::string& text, std::uint8_t ip[4]) override {
        unsigned long a = ::inet_addr(text.c_str());
        if (a == INADDR_NONE && text != "255.255.255.255") return false;
        std::memcpy(ip, &a, 4);
        return true;
    }

    long SendTo(SocketId s, const Destination& to, const std::uint8_t* data, std::size_t len) override {
        int rc;
        if (to.family == Family::Ipx) {
            SOCKADDR_IPX a;
            std::memset(&a, 0, sizeof a);
            a.sa_family = AF_IPX;
            std::memcpy(a.sa_netnum, to.ipx.net, 4);
            std::memcpy(a.sa_nodenum, to.ipx.node, 6);
            std::memcpy(&a.sa_socket, to.ipx.socket, 2);
            rc = ::sendto(Sock(s), reinterpret_cast<const char*>(data), static_cast<int>(len), 0,
                          reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in a;
            std::memset(&a, 0, sizeof a);
            a.sin_family = AF_INET;
            a.sin_port = htons(to.port);
            std::memcpy(&a.sin_addr, to.ip, 4);
            rc = ::sendto(Sock(s), reinterpret_cast<const char*>(data), static_cast<int>(len), 0,
                          reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        return rc == SOCKET_ERROR ? static_cast<long>(::WSAGetLastError()) : 0;
    }

    long Receive(SocketId s, std::uint8_t* buf, std::size_t cap) override {
        sockaddr_storage from;
        int flen = sizeof from;
        int n = ::recvfrom(Sock(s), reinterpret_cast<char*>(buf), static_cast<int>(cap), 0,
                           reinterpret_cast<sockaddr*>(&from), &flen);
        if (n != SOCKET_ERROR) return n;
        int err = ::WSAGetLastError();
        return err == WSAEMSGSIZE || err == WSAECONNRESET ? kReceiveSkip : kReceiveFailed;
    }

    void Close(SocketId s, bool hard) override {
        if (hard) {
            linger l;
            l.l_onoff = 1;
            l.l_linger = 0;
            ::setsockopt(Sock(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&l), sizeof l);
        }
        ::closesocket(Sock(s));
    }

    bool StartReceiver(std::function<void()> body) override {
        body_ = std::move(body);
        DWORD id;
        thread_.reset(::CreateThread(nullptr, 0, &ThreadProc, this, 0, &id));
        return thread_.valid();
    }
    void JoinReceiver(std::uint32_t timeout_ms) override {
        if (thread_) ::WaitForSingleObject(thread_.get(), timeout_ms);
    }

    void Lock() override { ::EnterCriticalSection(&lock_); }
    void Unlock() override { ::LeaveCriticalSection(&lock_); }
    std::uint32_t TickMs() override { return ::GetTickCount(); }
    void Sleep(std::uint32_t ms) override { ::Sleep(ms); }
    void SignalAck() override { ::SetEvent(ack_.get()); }
    void WaitAck(std::uint32_t ms) override { ::WaitForSingleObject(ack_.get(), ms); }
    void ResetQuery() override { ::ResetEvent(query_.get()); }
    void SignalQuery() override { ::SetEvent(query_.get()); }
    bool WaitQuery(std::uint32_t ms) override {
        return ::WaitForSingleObject(query_.get(), ms) == WAIT_OBJECT_0;
    }

    void PrintMessage(int id) override {
        std::string format = text_ ? text_(static_cast<unsigned>(id)) : std::string();
        std::printf(format.c_str(), program_.c_str());
        std::fflush(stdout);
    }
    void PrintSendError(long code) override {
        std::printf("Error from sendto, rv = %ld", code);
        std::fflush(stdout);
    }

private:
    static SOCKET Sock(SocketId s) { return static_cast<SOCKET>(s); }
    static DWORD WINAPI ThreadProc(void* self) {
        static_cast<WinSockPlatform*>(self)->body_();
        return 0;
    }

    scanner::ServerLinkTextFn text_;
    std::string program_;
    HostResolver resolver_;
    CRITICAL_SECTION lock_;
    win::KernelHandle ack_, query_, thread_;
    std::function<void()> body_;
};

}  // namespace

std::unique_ptr<LinkPlatform> MakeWinSockPlatform(scanner::ServerLinkTextFn text, std::string program,
                                                  HostResolver resolver) {
    return std::make_unique<WinSockPlatform>(std::move(text), std::move(program), std::move(resolver));
}

}  // namespace qv::serverlink

