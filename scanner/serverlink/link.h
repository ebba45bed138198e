// The inventory server link: opening, the reply stage, the send window and
// the final wait, written once over a small platform interface.
//
// Design. The link is a state machine shared by two threads: the main thread
// (open, device request, reply collection, sending, final wait, close) and a
// receiving thread that blocks in a receive call and hands every datagram to
// OnDatagram. One lock guards the send slots, the reply slots and the
// outgoing buffer. Everything that touches the operating system (sockets,
// the receiving thread, the lock, the clock, sleeping, events, printing a
// string-table message) goes through LinkPlatform, so the whole protocol
// runs unchanged over WinSock in the scanner, over POSIX sockets in the
// benchmark, and over a scripted fake in the unit tests.
//
// Send slots. Five slots form the window of unacknowledged packets. A slot's
// busy state is its own flag: packet numbers travel in 8 bits, so the header
// word of packet 256 is 0 and cannot double as a "free" mark. An
// acknowledgement frees the busy slot whose header word it carries. A final
// packet whose number is a multiple of 256 would have the header word of an
// ordinary packet (low byte 0), so it is sent as an ordinary packet followed
// by an empty final packet.
//
// Waiting. The wait for a free slot and the final wait keep their
// retransmission schedule (measured on the millisecond clock), but instead of
// sleeping blindly or polling they sleep on an event the receiving thread
// signals whenever an acknowledgement frees a slot, so they wake as soon as
// there is something to do and never burn a processor. A wait never sleeps
// past the moment a retransmission falls due: "more than N ms" is reached
// 1 ms after N, not a whole sleep later.
//
// The final wait gives every busy slot its own timer, started when the slot's
// packet was last sent: each unacknowledged packet is sent again an interval
// after its own last copy, up to kFinalResends times. A packet still
// unacknowledged an interval after its last copy fails the delivery (message
// 87): an inventory is delivered whole or the run reports a failure. Once a
// send has given up, the run has failed already, so the final wait ends at
// once instead of resending what is left.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "scanner/records/packetsink.h"
#include "scanner/serverlink/protocol.h"
#include "scanner/software/configfiles.h"

namespace qv::serverlink {

// Results of opening the link.
enum OpenResult : int {
    kOpenNotTried = 0,
    kOpenIpx = 1,
    kOpenIp = 3,
    kOpenStartupFailed = 4,
    kOpenSocketFailed = 5,
    kOpenBindFailed = 6,
    kOpenSockNameFailed = 7,
    kOpenSockOptFailed = 8,
    kOpenQueryFailed = 10,
    kOpenResolveFailed = 13,
    kOpenThreadFailed = 14,
};

// String-table messages of the link.
enum Message : int {
    kMsgVersion = 77,
    kMsgTimedOut = 87,
    kMsgStartup = 100,
    kMsgSocket = 106,
    kMsgBind = 107,
    kMsgSockName = 108,
    kMsgSockOpt = 109,
    kMsgThread = 110,
    kMsgQuery = 111,
    kMsgUnknown = 112,
    kMsgResolve = 116,
};

// Message reported for an open result; 0 for the two successes.
int OpenResultMessage(int result);

enum class Family { Ipx, Ip };
enum class SockOpt { Broadcast, IpxPacketType, IpxFilterPacketType };

using SocketId = std::intptr_t;
constexpr SocketId kNoSocket = -1;

// Receive results besides a length.
constexpr long kReceiveFailed = -1;     // the socket is gone: the thread ends
constexpr long kReceiveSkip = -2;       // one bad datagram (too long, reset): ignore it

struct Destination {
    Family family = Family::Ip;
    IpxAddress ipx;
    std::uint8_t ip[4] = {};
    std::uint16_t port = 0;             // host order
};

class LinkPlatform {
public:
    virtual ~LinkPlatform() = default;

    virtual bool Startup() = 0;                         // sockets library
    virtual void Cleanup() = 0;
    virtual SocketId Create(Family family) = 0;         // kNoSocket on failure
    virtual bool BindAny(SocketId s, Family family) = 0;
    virtual bool LocalIpxAddress(SocketId s, IpxAddress* out) = 0;
    virtual bool SetOption(SocketId s, SockOpt opt, int value) = 0;
    virtual void SetBlocking(SocketId s) = 0;
    virtual bool ResolveHost(const std::string& name, std::uint8_t ip[4]) = 0;
    virtual bool ParseDotted(const std::string& text, std::uint8_t ip[4]) = 0;
    // 0 when sent, else the system's error code.
    virtual long SendTo(SocketId s, const Destination& to, const std::uint8_t* data,
                        std::size_t len) = 0;
    // Blocks for one datagram: its length, kReceiveFailed or kReceiveSkip.
    virtual long Receive(SocketId s, std::uint8_t* buf, std::size_t cap) = 0;
    virtual void Close(SocketId s, bool hard) = 0;      // hard: linger on, time 0

    virtual bool StartReceiver(std::function<void()> body) = 0;
    virtual void JoinReceiver(std::uint32_t timeout_ms) = 0;

    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual std::uint32_t TickMs() = 0;
    virtual void Sleep(std::uint32_t ms) = 0;
    // Auto-reset event set by the receiving thread when a slot is freed.
    virtual void SignalAck() = 0;
    virtual void WaitAck(std::uint32_t timeout_ms) = 0;
    // Event of the IPX socket query.
    virtual void ResetQuery() = 0;
    virtual void SignalQuery() = 0;
    virtual bool WaitQuery(std::uint32_t timeout_ms) = 0;

    // Prints string-table message `id` with the program name for "%s".
    virtual void PrintMessage(int id) = 0;
    virtual void PrintSendError(long code) = 0;         // "Error from sendto, rv = %ld"
};

struct LinkConfig {
    std::string server_name;
    int retransmit_seconds = 5;
    int reply_rounds = 10;
    bool quiet = false;
};

struct ReplyOutcome {
    std::uint16_t count = 0;            // expected file count (0: missing or inconsistent)
    bool version_mismatch = false;      // message 77 shown (unless quiet): end the run
    bool assigned = false;              // device_id holds a newly assigned ID
    std::string device_id;
};

class LinkCore : public scanner::PacketSink {
public:
    LinkCore(LinkPlatform& platform, LinkConfig config);
    ~LinkCore() override;
    LinkCore(const LinkCore&) = delete;
    LinkCore& operator=(const LinkCore&) = delete;

    int OpenIpx(std::string_view address);
    int OpenIp(std::string_view host);
    // Applies the reporting rules to an open result; true when the run must
    // end with exit code 1.
    bool ReportOpen(int result);

    // Sends the device request once; false on a send error (reported).
    bool RequestDeviceId(std::string_view device_id);
    ReplyOutcome ReceiveServerReply(scanner::ConfigFileList& list);

    int SendPacket(const std::uint8_t* packet, unsigned number, bool last) override;
    // Returns the number of packets abandoned (0: all acknowledged). A wait
    // that gives up reports message 87 (unless quiet); after a send gave up
    // it returns at once.
    int WaitForAllAcks();
    void Close();

    // The receiving thread's body, and the processing of one datagram.
    void ReceiveLoop();
    void OnDatagram(const std::uint8_t* data, std::size_t len);

    bool ipx_in_use() const { return ipx_in_use_; }
    const std::string& local_ipx_address() const { return local_ipx_; }
    const Destination& destination() const { return dest_; }
    int busy_slots();
    std::uint32_t retransmissions() const { return retransmissions_; }

private:
    struct SendSlot {
        bool busy = false;
        std::uint16_t header = 0;
        std::uint16_t checksum = 0;
        std::size_t length = 0;
        std::uint32_t sent_at = 0;      // tick of the last copy sent
        int resends = 0;                // copies sent again in the final wait
        std::uint8_t payload[kPayloadSize] = {};
    };
    enum class ReplyState : std::uint8_t { Empty, Stored, Processed };
    struct ReplySlot {
        ReplyState state = ReplyState::Empty;
        std::uint16_t header = 0;
        std::uint8_t data[kReplySlotSize] = {};
    };
    class Guard {
    public:
        explicit Guard(LinkPlatform& p) : p_(p) { p_.Lock(); }
        ~Guard() { p_.Unlock(); }
    private:
        LinkPlatform& p_;
    };

    int SendOne(const std::uint8_t* packet, unsigned number, bool last);
    void SendSlotLocked(SendSlot& slot);   // caller holds the lock; notes the send time
    void Retransmit(std::size_t index);
    bool StartThread();
    bool SocketQuery();
    bool QueryExchange(const std::uint8_t* req, std::size_t len, int check);

    LinkPlatform& p_;
    LinkConfig cfg_;
    Family family_ = Family::Ip;
    SocketId sock_ = kNoSocket;
    bool started_ = false;              // sockets library started
    bool thread_started_ = false;
    bool ipx_in_use_ = false;
    std::atomic<bool> running_{false};
    std::atomic<bool> query_active_{false};
    Destination dest_;
    std::string local_ipx_;

    std::uint8_t recv_buf_[kDatagramMax] = {};
    std::uint8_t query_buf_[kDatagramMax] = {};
    std::size_t query_len_ = 0;

    SendSlot slots_[kSlots];
    std::size_t next_slot_ = 0;
    bool replies_ready_ = false;
    ReplySlot replies_[kSlots];
    std::uint8_t out_[kDatagramMax] = {};
    std::uint32_t retransmissions_ = 0;
    bool gave_up_ = false;              // a send gave up: the delivery has failed
};

// Copies each packet gets in the final wait before the delivery fails.
constexpr int kFinalResends = 10;

}  // namespace qv::serverlink
