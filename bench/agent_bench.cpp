// agent_bench: the remote control agent's session protocol on native
// linkcore over loopback, agent and console in one process.
//
//   agent_bench [--ipx] [--seconds N]
//
// 1. Verify round trips per second from one console: information queries
//    (level 3) and result polls (validated commands), one at a time.
// 2. The data endpoint's packets per second through the send path with its
//    five slots, against a console that acknowledges each packet at once,
//    beside the window's limit for the measured round trip: at most four
//    packets wait for an acknowledgement, so at most 4 per round trip.
// Ports are moved by LINKCORE_PORT_OFFSET (a free offset is picked when it
// is unset).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/test/fakes.h"
#include "contracts/transport.h"
#include "libs/linkcore/client.h"

namespace {

using namespace qv;
using namespace qv::agent;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The data endpoint's handle as the core sees it.
struct LinkcoreLink : DataLink {
    std::atomic<LinkHandle> h{0};
    int Recv(uint8_t* b, int cap) override { return RecvPacket(h, b, cap); }
    bool Send(const uint8_t* d, std::size_t n, uint32_t* e) override {
        if (SendPacket(h, d, static_cast<int>(n))) return true;
        *e = LinkGetLastError();
        return false;
    }
    bool IsOpen() override { return h != 0; }
    bool IsSessionActive() override { return h && ::IsSessionActive(h); }
    void ResetSession() override {
        if (h) ::ResetSession(h, 0);
    }
    void Close() override {
        const LinkHandle old = h.exchange(0);
        if (old) DeinitProtocol(old);
    }
};

// The agent's events as a condition variable.
struct ThreadWaits : SendWaits {
    std::mutex m;
    std::condition_variable cv;
    bool slot = true, data = false, terminate = false;
    void ResetSlotEvent() override {
        std::lock_guard<std::mutex> l(m);
        slot = false;
    }
    void SignalSlotEvent() override {
        { std::lock_guard<std::mutex> l(m); slot = true; }
        cv.notify_all();
    }
    SlotWake WaitForSlot(uint32_t ms, uint32_t*) override {
        std::unique_lock<std::mutex> l(m);
        if (!cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return slot || terminate; })) return SlotWake::kTimeout;
        return terminate ? SlotWake::kTerminate : SlotWake::kSlotEvent;
    }
    DataWake WaitForData(uint32_t*) override {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return data || terminate; });
        return terminate ? DataWake::kTerminate : DataWake::kDataReady;
    }
    void ResetDataReady() override {
        std::lock_guard<std::mutex> l(m);
        data = false;
    }
    void SetDataReady() {
        { std::lock_guard<std::mutex> l(m); data = true; }
        cv.notify_all();
    }
    void Stop() {
        { std::lock_guard<std::mutex> l(m); terminate = true; }
        cv.notify_all();
    }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    void ShowError(const char* t) override { std::fprintf(stderr, "agent_bench: %s\n", t); }
};

struct Stopping : test::Viewing {
    std::atomic<bool> stop{false};
    bool TerminateRequested() override { return stop; }
};

std::unique_ptr<link::Client> Connect(bool ipx, uint16_t port, uint32_t socket) {
    std::string err;
    auto c = ipx ? link::Client::OpenIpx("127.0.0.1", socket, &err) : link::Client::ConnectTcp("127.0.0.1", port, 5000, &err);
    if (!c) std::fprintf(stderr, "agent_bench: %s\n", err.c_str());
    return c;
}

LinkHandle Open(bool ipx, uint32_t port, uint32_t socket) {
    const LinkHandle h = ipx ? InitIPXSession(0, socket, 0) : InitTCPIPSession(0, port, 0, 0);
    if (h) SetBlocking(h, 1);
    return h;
}

// Verify endpoint served on its own thread, as VerifyThread does.
int BenchVerify(bool ipx, double seconds) {
    const LinkHandle h = Open(ipx, rc::kVerifyTcpPort, rc::kVerifyIpxSocket);
    if (!h) {
        std::fprintf(stderr, "agent_bench: cannot open the verify endpoint (error %x)\n", LinkGetLastError());
        return 1;
    }
    test::Events ev;
    ev.keep = false;
    test::Host host;
    Security security;
    VerifyEndpoint verify(security, host, ev);
    std::thread server([&] {
        uint8_t buf[rc::kRecvCapacity];
        for (;;) {
            const int n = RecvPacket(h, buf, sizeof buf);
            if (n <= 0) {
                if (LinkGetLastError() == LC_ERR_INACTIVE) return;
                continue;
            }
            uint8_t caller[rc::kAddressMax];
            int len = sizeof caller;
            if (!GetRemoteName(h, caller, &len)) len = 0;
            const auto now = static_cast<uint32_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
            const VerifyOutcome out = verify.Handle(buf, static_cast<std::size_t>(n), caller, static_cast<std::size_t>(len), now);
            if (out.reply_len) SendPacket(h, out.reply.data(), static_cast<int>(out.reply_len));
            if (out.accept_any_caller) AcceptAnyCaller(h);
        }
    });
    auto console = Connect(ipx, rc::kVerifyTcpPort, rc::kVerifyIpxSocket);
    int result = console ? 0 : 1;
    auto rate = [&](const std::vector<uint8_t>& req, const char* what) {
        uint8_t reply[600];
        long count = 0;
        const auto t0 = Clock::now();
        while (Seconds(Clock::now() - t0) < seconds) {
            if (!console->Send(req.data(), req.size()) || console->Recv(reply, sizeof reply, 2000) <= 0) {
                std::fprintf(stderr, "agent_bench: no verify reply\n");
                result = 1;
                return;
            }
            ++count;
        }
        const double s = Seconds(Clock::now() - t0);
        std::printf("verify %-26s %9.0f round trips/s (%.1f us each)\n", what, count / s, s / count * 1e6);
    };
    if (console) {
        uint8_t reply[64];
        const uint8_t establish[] = {0, 2};
        console->Send(establish, sizeof establish);
        if (console->Recv(reply, sizeof reply, 2000) < 14 || reply[2] != 0) {
            std::fprintf(stderr, "agent_bench: establish failed\n");
            result = 1;
        } else {
            rate({0, 0, 3}, "information (level 3)");
            if (!result) rate({0, 7, 0, 0, 0, 0, 0, 0, 6, 0, 0xB7, 0xCB}, "result poll (validated)");
        }
        console.reset();
    }
    DeinitProtocol(h);
    server.join();
    return result;
}

int BenchData(bool ipx, double seconds) {
    test::Events ev;
    ev.keep = false;
    ViewState view;
    SendPath send(view, ev);
    ThreadWaits waits;
    LinkcoreLink link;
    test::Input input;
    Stopping viewing;
    test::Queue queue;
    DataEndpoint data(view, send, waits, link, input, viewing, ev);
    link.h = Open(ipx, rc::kDataTcpPort, rc::kDataIpxSocket);
    if (!link.h) {
        std::fprintf(stderr, "agent_bench: cannot open the data endpoint (error %x)\n", LinkGetLastError());
        return 1;
    }
    data.BeginCycle();
    std::thread viewee([&] { data.WaitForPackets(); });
    std::thread sender([&] { send.RunSendThread(waits, queue, link); });
    // The changes thread's part, from the start of viewing: keep some
    // screen data queued.
    std::atomic<bool> producing{true};
    std::thread producer([&] {
        std::vector<uint8_t> record(4096);
        for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(i * 31);
        while (producing) {
            if (view.readyToSend == SEND_GDI && queue.GetBufferPos() < 32 * 1024) {
                queue.Put(record);
                waits.SetDataReady();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
    });

    int result = 0;
    auto console = Connect(ipx, rc::kDataTcpPort, rc::kDataIpxSocket);
    uint8_t buf[rc::kMaxPacket + 8];
    if (console) {
        const uint8_t connect[] = {1, 0, 0, 0};
        console->Send(connect, sizeof connect);
        if (console->Recv(buf, sizeof buf, 2000) != 4 || buf[0] != 2) {
            std::fprintf(stderr, "agent_bench: no connect acknowledgement\n");
            result = 1;
        }
    } else {
        result = 1;
    }
    double rtt = 0;
    if (!result) {
        // Round trip: status requests before viewing starts (median of 200).
        std::vector<double> rtts;
        const uint8_t status[] = {9, 0, 0, 0};
        for (int i = 0; i < 200; ++i) {
            const auto t0 = Clock::now();
            console->Send(status, sizeof status);
            if (console->Recv(buf, sizeof buf, 2000) != 4 || buf[0] != 10) {
                result = 1;
                break;
            }
            rtts.push_back(Seconds(Clock::now() - t0));
        }
        if (!result) {
            std::nth_element(rtts.begin(), rtts.begin() + 100, rtts.end());
            rtt = rtts[100];
        }
    }
    long packets = 0, bytes = 0;
    double elapsed = 0;
    if (!result) {
        // Start viewing (data packet 0 with the start command), then
        // acknowledge every data packet as it arrives.
        std::vector<uint8_t> start = {6, 0, 255, 0, 4, 2, 4};
        const char name[] = "bench";
        start.insert(start.end(), name, name + sizeof name);
        start.resize(4 + 63, 0);
        console->Send(start.data(), start.size());
        const auto t0 = Clock::now();
        while ((elapsed = Seconds(Clock::now() - t0)) < seconds) {
            const int n = console->Recv(buf, sizeof buf, 9000);
            if (n <= 0) {
                std::fprintf(stderr, "agent_bench: the data stream stopped\n");
                result = 1;
                break;
            }
            if (buf[0] != rc::PT_DATA) continue;
            ++packets;
            bytes += n - 4;
            const uint8_t ack[] = {rc::PT_ACK, 0, buf[1], 0};
            console->Send(ack, sizeof ack);
        }
    }
    producing = false;
    producer.join();
    viewing.stop = true;
    waits.Stop();
    sender.join();
    link.Close();
    viewee.join();
    console.reset();
    if (!result) {
        std::printf("data round trip (median)         %.1f us\n", rtt * 1e6);
        std::printf("data packets through 5 slots     %9.0f packets/s (%.1f MB/s payload)\n", packets / elapsed,
                    bytes / elapsed / 1e6);
        std::printf("window limit (4 per round trip)  %9.0f packets/s\n", 4 / rtt);
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    bool ipx = false;
    double seconds = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--ipx") {
            ipx = true;
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::printf("usage: agent_bench [--ipx] [--seconds N]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    if (!std::getenv("LINKCORE_PORT_OFFSET")) {
        const std::string off = std::to_string(20000 + (std::rand() ^ static_cast<int>(std::time(nullptr))) % 20000);
        setenv("LINKCORE_PORT_OFFSET", off.c_str(), 1);
    }
    std::printf("transport %s on loopback, port offset %s\n", ipx ? "IPX over UDP" : "TCP/IP",
                std::getenv("LINKCORE_PORT_OFFSET"));
    int rc = BenchVerify(ipx, seconds);
    if (rc == 0) rc = BenchData(ipx, seconds);
    return rc;
}
