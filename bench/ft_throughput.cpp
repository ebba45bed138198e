// ft_throughput: download and upload throughput of the file transfer slave.
//
//   ft_throughput [--ipx] [--mb N] [--key-file FILE] HOST REMOTE-PATH
//
// With --key-file the sessions are keyed (the slave must hold the same
// key). Measures the time from connecting to the first reply (over TCP the
// connect includes the keyed handshake, shown apart), the round-trip time
// of one request (median of 200 FT_SERVER_INFO exchanges), uploads N MB
// (default 20) of random bytes to REMOTE-PATH, downloads them back, checks they are identical, and prints both rates
// beside the stop-and-wait limit: one 496-byte block per round trip.
// run_ft_throughput.sh starts KSLAVE.exe under Wine and runs this on
// loopback.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "libs/linkcore/client.h"
#include "tools/ftconsole/client_link.h"
#include "tools/ftconsole/console_key.h"
#include "tools/ftconsole/ftclient.h"

namespace {

using namespace qv;
using ftc::ClientLink;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    bool ipx = false;
    int mb = 20;
    std::vector<std::string> pos;
    std::string key_file;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--ipx") ipx = true;
        else if (a == "--key-file" && i + 1 < argc) key_file = argv[++i];
        else if (a == "--mb" && i + 1 < argc) mb = std::atoi(argv[++i]);
        else pos.push_back(a);
    }
    if (pos.size() != 2) {
        std::fprintf(stderr, "usage: ft_throughput [--ipx] [--mb N] [--key-file FILE] HOST REMOTE-PATH\n");
        return 2;
    }
    std::string err;
    if (!key_file.empty() && !ftc::UseKeyFile(key_file, &err)) {
        std::fprintf(stderr, "ft_throughput: %s\n", err.c_str());
        return 2;
    }
    const auto connect_start = Clock::now();
    auto client = ipx ? link::Client::OpenIpx(pos[0], 0x0041, &err) : link::Client::ConnectTcp(pos[0], 1764, 5000, &err);
    if (!client) {
        std::fprintf(stderr, "ft_throughput: %s\n", err.c_str());
        return 2;
    }
    const double connect_s = Seconds(Clock::now() - connect_start);
    ClientLink link(*client);
    ftc::FtClient c(link, 5000);
    if (!c.Existence().ok) {
        std::fprintf(stderr, "ft_throughput: no slave on %s\n", pos[0].c_str());
        return 2;
    }
    const double first_reply_s = Seconds(Clock::now() - connect_start);
    std::vector<double> rtts;
    for (int i = 0; i < 200; ++i) {
        auto t0 = Clock::now();
        c.Existence();
        rtts.push_back(Seconds(Clock::now() - t0));
    }
    std::sort(rtts.begin(), rtts.end());
    const double rtt = rtts[rtts.size() / 2];

    std::string data(static_cast<std::size_t>(mb) * 1024 * 1024, '\0');
    std::mt19937 rng(7);
    for (char& ch : data) ch = static_cast<char>(rng() & 0xFF);

    auto t0 = Clock::now();
    ftc::Result up = c.Put(pos[1], data, 0x2521, 0x6000, false);
    const double up_s = Seconds(Clock::now() - t0);
    std::string back;
    uint16_t d, t;
    t0 = Clock::now();
    ftc::Result down = c.Get(pos[1], &back, &d, &t);
    const double down_s = Seconds(Clock::now() - t0);
    c.Delete(pos[1]);
    if (!up.ok || !down.ok || back != data) {
        std::fprintf(stderr, "ft_throughput: transfer failed (%s%s)\n", up.error.c_str(), down.error.c_str());
        return 1;
    }
    const double mbytes = static_cast<double>(data.size()) / 1e6;
    std::printf("transport           %s on %s, %s\n", ipx ? "IPX over UDP" : "TCP/IP", pos[0].c_str(),
                key_file.empty() ? "no site key" : "keyed (site key)");
    if (!ipx) std::printf("connect%s %.2f ms\n", key_file.empty() ? "            " : " + handshake", connect_s * 1e3);
    std::printf("to the first reply  %.2f ms\n", first_reply_s * 1e3);
    std::printf("file                %d MiB (%.1f MB), %zu blocks of 496 bytes\n", mb, mbytes,
                (data.size() + 495) / 496);
    std::printf("round trip (median) %.3f ms\n", rtt * 1e3);
    std::printf("stop-and-wait limit %.2f MB/s (496 bytes per round trip)\n", 496.0 / rtt / 1e6);
    std::printf("upload              %.2f MB/s (%.1f s)\n", mbytes / up_s, up_s);
    std::printf("download            %.2f MB/s (%.1f s)\n", mbytes / down_s, down_s);
    std::printf("resends             %d\n", c.resends());
    return 0;
}
