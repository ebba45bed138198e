// linkbench: how fast an inventory reaches the inventory server.
//
// Streams a synthetic inventory of N items through the scanner's own item
// stream and server link (the same LinkCore the scanner runs, here over
// POSIX sockets and threads) to invserver on the loopback address, and
// prints items and packets per second. Beside them it prints the protocol's
// own ceiling for the measured round-trip time: with at most five packets
// unacknowledged, no sender can beat 5 packets per round trip.
//
//   linkbench [--items=N] [--runs=R] [--server=HOST:PORT] [--invserver=PATH]
//
// Without --server it starts invserver (beside this program) on a free port
// with a temporary storage folder, and checks that the stored inventory is
// the flat file the stream wrote.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "scanner/records/itemstream.h"
#include "scanner/serverlink/link.h"
#include "bench/posix_link.h"
#include "tools/invserver/store.h"

namespace {

using namespace qv::serverlink;
using qv::bench::FreeUdpPort;
using qv::bench::ReadAll;
using Clock = std::chrono::steady_clock;
using qv::bench::PosixPlatform;

// Counts the packets the item stream hands to the link.
class CountingSink : public qv::scanner::PacketSink {
public:
    explicit CountingSink(PacketSink& next) : next_(next) {}
    int SendPacket(const std::uint8_t* p, unsigned number, bool last) override {
        ++count;
        return next_.SendPacket(p, number, last);
    }
    unsigned count = 0;

private:
    PacketSink& next_;
};

// Median round trip of a device request (with an ID, so nothing is assigned).
double MeasureRttUs(const std::string& ip, int port, int samples) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
    std::vector<std::uint8_t> req = EncodeDeviceRequest("LINKBENCH0000000001");
    std::vector<double> us;
    std::uint8_t buf[2048];
    for (int i = 0; i < samples; ++i) {
        auto t0 = Clock::now();
        ::sendto(fd, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) continue;
        ::recv(fd, buf, sizeof buf, 0);
        while (::poll(&p, 1, 0) > 0) ::recv(fd, buf, sizeof buf, 0);   // further reply packets
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    ::close(fd);
    if (us.empty()) return -1;
    std::sort(us.begin(), us.end());
    return us[us.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int items = 3000, runs = 3;
    std::string server, invserver;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--items=", 0) == 0) items = std::max(1, std::atoi(a.c_str() + 8));
        else if (a.rfind("--runs=", 0) == 0) runs = std::max(1, std::atoi(a.c_str() + 7));
        else if (a.rfind("--server=", 0) == 0) server = a.substr(9);
        else if (a.rfind("--invserver=", 0) == 0) invserver = a.substr(12);
        else {
            std::fprintf(stderr, "usage: linkbench [--items=N] [--runs=R] [--server=HOST:PORT] [--invserver=PATH]\n");
            return 2;
        }
    }

    pid_t child = -1;
    std::string storage;
    if (server.empty()) {
        if (invserver.empty()) {
            std::string self = argv[0];
            std::size_t slash = self.rfind('/');
            invserver = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/invserver";
        }
        int port = FreeUdpPort();
        storage = "/tmp/linkbench-" + std::to_string(::getpid());
        server = "127.0.0.1:" + std::to_string(port);
        child = ::fork();
        if (child == 0) {
            int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            std::string p = "--port=" + std::to_string(port), s = "--storage=" + storage;
            // The round trip is measured with a few hundred device requests
            // from this one address: far beyond the server's default limit.
            ::execl(invserver.c_str(), invserver.c_str(), "--address=127.0.0.1", p.c_str(), s.c_str(),
                    "--request-burst=100000", static_cast<char*>(nullptr));
            std::perror("linkbench: cannot start invserver");
            _exit(127);
        }
        for (int i = 0; i < 100 && ::access(storage.c_str(), F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string ip = server.substr(0, server.find(':'));
    int port = std::atoi(server.c_str() + server.find(':') + 1);

    double rtt_us = MeasureRttUs(ip, port, 200);
    std::printf("inventory server %s, %d items per run, %d runs\n", server.c_str(), items, runs);
    std::printf("round trip (median of 200 device requests): %.1f us\n", rtt_us);

    int status = 0;
    double best_items = 0, best_packets = 0;
    for (int run = 0; run < runs; ++run) {
        PosixPlatform platform;
        LinkCore core(platform, {"BENCH", 5, 10, true});
        if (core.OpenIp(server) != kOpenIp) {
            std::fprintf(stderr, "linkbench: cannot open the link to %s\n", server.c_str());
            status = 1;
            break;
        }
        core.RequestDeviceId("");
        qv::scanner::ConfigFileList list;
        ReplyOutcome reply = core.ReceiveServerReply(list);

        CountingSink sink(core);
        qv::scanner::ItemStream stream;
        qv::scanner::StringFlatSink flat;
        stream.SetFlatSink(&flat);
        stream.SetPacketSink(&sink);
        bool failed = false;
        stream.SetSendFailureHandler([&] { failed = true; });
        stream.Reset();
        auto t0 = Clock::now();
        stream.AddItem("Device ID =", reply.device_id);
        for (int i = 1; i < items; ++i)
            stream.AddItem("Bench - Item " + std::to_string(i) + " - Label =",
                           "a value of moderate length number " + std::to_string(i * 37));
        failed = stream.SendPacket(true) != 0 || failed;
        int abandoned = core.WaitForAllAcks();
        double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        core.Close();

        std::string stored;
        if (!storage.empty() && reply.assigned) {
            std::string key = "dev-" + reply.device_id.substr(reply.device_id.size() - 12);
            std::string why;
            auto store = qv::invserver::Store::Open(storage + "/" + qv::invserver::kDefaultDatabaseName, &why);
            for (int i = 0; i < 50 && store && (store->RebuildFlat(store->LatestInventory(key), &stored), stored.empty());
                 ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        bool same = storage.empty() || stored == flat.text;
        std::printf("run %d: %u packets in %.3f s: %.0f items/s, %.0f packets/s, retransmissions %u%s%s\n",
                    run + 1, sink.count, secs, items / secs, sink.count / secs, core.retransmissions(),
                    failed || abandoned ? ", DELIVERY FAILED" : "",
                    storage.empty() ? "" : same ? ", stored inventory identical" : ", STORED INVENTORY DIFFERS");
        best_items = std::max(best_items, items / secs);
        best_packets = std::max(best_packets, sink.count / secs);
        if (failed || abandoned || !same) status = 1;
        if (run + 1 == runs && rtt_us > 0) {
            double ceiling = 5.0 / (rtt_us / 1e6);
            std::printf("best: %.0f items/s, %.0f packets/s; protocol ceiling at this round trip "
                        "(5 packets per %.1f us): %.0f packets/s = %.0f items/s (%.0f%% reached)\n",
                        best_items, best_packets, rtt_us, ceiling,
                        ceiling * items / std::max(1u, sink.count), 100.0 * best_packets / ceiling);
        }
    }
    if (child > 0) {
        ::kill(child, SIGTERM);
        ::waitpid(child, nullptr, 0);
        std::string rm = "rm -rf '" + storage + "'";
        if (std::system(rm.c_str()) != 0) status = 1;
    }
    return status;
}
