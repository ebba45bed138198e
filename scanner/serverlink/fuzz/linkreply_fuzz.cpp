// Fuzz target for what the scanner's server link reads from the network:
// the IPX socket query's answers, the collection of the server's reply
// packets into the configuration file list, and the acknowledgements of
// the send window.
//
// Input: a mode byte (bit 0: IPX with the socket query, else UDP/IP; bit 1:
// quiet), then the datagrams the server sends, each a delay byte (in
// 100 ms steps after the previous one), a 2-byte little-endian length and
// its bytes. The link runs single-threaded over a scripted platform whose
// waits deliver what is due through the receiving thread's loop, and whose
// clock moves only when the link waits. The run opens the link, asks for a
// device ID, collects the reply into a list of three configured names,
// sends three packets, waits for their acknowledgements and closes. The
// configured names must stay as they were, an assigned device ID must be
// the server name with 12 hexadecimal digits, and no wait may go on for
// ever.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "scanner/serverlink/link.h"

namespace {

using namespace qv;
using namespace qv::serverlink;

[[noreturn]] void Fail() { std::abort(); }

class ScriptPlatform final : public LinkPlatform {
public:
    struct Datagram {
        std::uint32_t due;
        std::vector<std::uint8_t> bytes;
    };
    std::deque<Datagram> incoming;
    std::uint32_t now = 0;
    int lock_depth = 0;
    bool query_flag = false;
    std::function<void()> receiver;
    bool ready = false;  // one datagram is handed to the receiving loop

    bool Startup() override { return true; }
    void Cleanup() override {}
    SocketId Create(Family) override { return 3; }
    bool BindAny(SocketId, Family) override { return true; }
    bool LocalIpxAddress(SocketId, IpxAddress* out) override {
        *out = ParseIpxAddress("00000001:0000C0DE0042");
        return true;
    }
    bool SetOption(SocketId, SockOpt, int) override { return true; }
    void SetBlocking(SocketId) override {}
    bool ResolveHost(const std::string&, std::uint8_t ip[4]) override { return Loopback(ip); }
    bool ParseDotted(const std::string&, std::uint8_t ip[4]) override { return Loopback(ip); }
    long SendTo(SocketId, const Destination&, const std::uint8_t*, std::size_t n) override {
        if (n > kDatagramMax) Fail();
        return 0;
    }
    long Receive(SocketId, std::uint8_t* buf, std::size_t cap) override {
        if (!ready || incoming.empty()) return kReceiveFailed;
        ready = false;
        const std::vector<std::uint8_t> b = std::move(incoming.front().bytes);
        incoming.pop_front();
        if (b.size() > cap) return kReceiveSkip;
        if (!b.empty()) std::memcpy(buf, b.data(), b.size());
        return static_cast<long>(b.size());
    }
    void Close(SocketId, bool) override {}
    bool StartReceiver(std::function<void()> body) override {
        receiver = std::move(body);
        return true;
    }
    void JoinReceiver(std::uint32_t) override {}
    void Lock() override { ++lock_depth; }
    void Unlock() override {
        if (--lock_depth < 0) Fail();
    }
    std::uint32_t TickMs() override { return now; }
    void Sleep(std::uint32_t ms) override { Pass(ms, false); }
    void SignalAck() override { ack_ = true; }
    void WaitAck(std::uint32_t ms) override {
        Pass(ms, true);
        ack_ = false;
    }
    void ResetQuery() override { query_flag = false; }
    void SignalQuery() override { query_flag = true; }
    bool WaitQuery(std::uint32_t ms) override {
        Pass(ms, true);
        return query_flag;
    }
    void PrintMessage(int) override {}
    void PrintSendError(long) override {}

private:
    static bool Loopback(std::uint8_t ip[4]) {
        const std::uint8_t a[4] = {127, 0, 0, 1};
        std::memcpy(ip, a, 4);
        return true;
    }
    // Lets `ms` pass, delivering what falls due (a wait that is woken ends
    // early, with the clock at the datagram that woke it).
    void Pass(std::uint32_t ms, bool wakes) {
        if (lock_depth != 0) Fail();  // never waits under the lock
        const std::uint32_t until = now + ms;
        while (!incoming.empty() && incoming.front().due <= until) {
            if (incoming.front().due > now) now = incoming.front().due;
            ready = true;
            if (receiver) receiver();
            if (wakes && (ack_ || query_flag)) return;
        }
        now = until;
    }
    bool ack_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t mode = data[0];
    ScriptPlatform platform;
    std::uint32_t due = 0;
    for (std::size_t i = 1; i + 3 <= size;) {
        due += data[i] * 100u;
        std::size_t n = data[i + 1] | (static_cast<std::size_t>(data[i + 2]) << 8);
        i += 3;
        if (n > size - i) n = size - i;
        platform.incoming.push_back({due, std::vector<std::uint8_t>(data + i, data + i + n)});
        i += n;
    }

    LinkConfig config;
    config.server_name = "INVSRV";
    config.quiet = mode & 2;
    LinkCore link(platform, config);
    const int opened = mode & 1 ? link.OpenIpx("00000001:00A0C9123456") : link.OpenIp("127.0.0.1:5007");
    if (opened == kOpenIpx || opened == kOpenIp) {
        scanner::ConfigFileList list;
        const char* names[] = {"C:\\CONFIG.SYS", "\\AUTOEXEC.BAT", "C:\\WINNT\\WIN.INI"};
        for (const char* name : names) list.AddConfigured(name);
        if (link.RequestDeviceId("")) {
            const ReplyOutcome reply = link.ReceiveServerReply(list);
            if (list.count != 3) Fail();
            for (int k = 0; k < 3; ++k)
                if (list.entries[k].name != names[k] || !list.entries[k].configured) Fail();
            for (const auto& e : list.entries)
                if (e.name.size() > scanner::kConfigNameMax) Fail();
            if (reply.assigned && reply.device_id.size() != config.server_name.size() + 12) Fail();
            if (!reply.version_mismatch) {
                std::uint8_t packet[kPayloadSize] = {'A', ' ', '=', '1', 0, 0};
                for (unsigned number = 1; number <= 3; ++number)
                    if (link.SendPacket(packet, number, number == 3) != 0) break;
                link.WaitForAllAcks();
                if (link.busy_slots() > static_cast<int>(kSlots)) Fail();
            }
        }
    }
    link.Close();
    return 0;
}
