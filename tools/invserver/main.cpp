// invserver: a small inventory server daemon for Linux.
//
// With a query command ("list", "show", "find", "software", "changes",
// "flat") or "import" as its first word it runs that command over the store
// instead (query.h) and exits. Otherwise: one UDP
// socket, one thread: poll for a datagram (waking every 500 ms to
// expire idle sessions and to notice a shutdown request), hand it to
// InventoryServer, send what it answers. The limits that keep hostile peers
// from exhausting it are InventoryServer's (server.h). SIGINT and SIGTERM only set a flag,
// so the loop ends between datagrams and every inventory is either stored
// whole or not at all. Log lines go to standard output, one per device
// request (up to a number a minute, then a summary) and per stored
// inventory; the first line names the address and port actually bound
// (useful with --port=0).
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tools/invserver/query.h"
#include "tools/invserver/server.h"

namespace {

constexpr int kReceiveBuffer = 4 << 20;   // bytes asked for the socket's receive buffer

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

void Log(const std::string& line) {
    char when[32];
    std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::printf("%s %s\n", when, line.c_str());
    std::fflush(stdout);
}

std::string PeerText(const sockaddr_in& a) {
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

bool PeerAddress(const std::string& text, sockaddr_in* a) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::memset(a, 0, sizeof *a);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<std::uint16_t>(std::stoi(text.substr(colon + 1))));
    return inet_pton(AF_INET, text.substr(0, colon).c_str(), &a->sin_addr) == 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qv::invserver;
    if (argc > 1 && IsQueryCommand(argv[1])) {
        std::string out, err;
        int rc = RunQuery(std::vector<std::string>(argv + 1, argv + argc), &out, &err);
        std::fputs(out.c_str(), stdout);
        std::fputs(err.c_str(), stderr);
        return rc;
    }
    ServerOptions opt;
    std::string error;
    bool help = false;
    if (!ParseOptions(argc, argv, &opt, &error, &help)) {
        if (help) {
            std::fputs(UsageText(), stdout);
            return 0;
        }
        std::fprintf(stderr, "invserver: %s\n%s", error.c_str(), UsageText());
        return 2;
    }

    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("invserver: socket");
        return 1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(opt.port));
    if (inet_pton(AF_INET, opt.address.c_str(), &addr.sin_addr) != 1) {
        std::fprintf(stderr, "invserver: not an IPv4 address: %s\n", opt.address.c_str());
        return 2;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "invserver: cannot bind %s:%d: %s\n", opt.address.c_str(), opt.port,
                     std::strerror(errno));
        return 1;
    }
    socklen_t alen = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &alen);
    // Room for every scanner's window of five packets while one inventory
    // is written to disk: the system's default buffer holds a few hundred
    // datagrams, and what overflows it has to be resent a second later. As
    // much as the system allows; a smaller buffer only costs resends.
    const int rcvbuf = kReceiveBuffer;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);

    auto send = [fd](const std::string& peer, const std::uint8_t* data, std::size_t len) {
        sockaddr_in to;
        if (PeerAddress(peer, &to))
            ::sendto(fd, data, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    InventoryServer server(opt, send, Log);
    if (!server.Init()) {
        std::fprintf(stderr, "invserver: %s\n", server.init_error().c_str());
        return 1;
    }

    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);

    Log("listening on " + PeerText(addr) + ", storage " + opt.storage + ", database " +
        server.store().db().where());
    std::uint8_t buf[2048];
    std::uint64_t last_expire = NowMs();
    while (!g_stop) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, 500);
        if (r < 0 && errno != EINTR) {
            std::perror("invserver: poll");
            break;
        }
        if (r > 0) {
            sockaddr_in from{};
            socklen_t flen = sizeof from;
            ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
            if (n >= 0) server.OnDatagram(PeerText(from), buf, static_cast<std::size_t>(n), NowMs());
        }
        std::uint64_t now = NowMs();
        if (now - last_expire > 1000) {
            server.Expire(now);
            last_expire = now;
        }
    }
    server.FlushSummaries(NowMs());
    const ServerStats& st = server.stats();
    Log("shutting down: " + std::to_string(st.requests) + " request(s), " +
        std::to_string(st.inventories) + " inventories, " + std::to_string(st.packets) + " packets, " +
        std::to_string(st.duplicates) + " duplicates, " + std::to_string(st.bad_checksums) +
        " bad checksums, " + std::to_string(st.rate_limited) + " over the request limit, " +
        std::to_string(st.peers_refused) + " refused at the peer limit, " +
        std::to_string(st.sessions_dropped) + " sessions dropped at a memory limit, " +
        std::to_string(st.sessions_expired) + " expired");
    ::close(fd);
    return 0;
}
