// The inventory server link over a LinkPlatform (design notes in link.h).
#include "scanner/serverlink/link.h"

#include <algorithm>
#include <cstring>

namespace qv::serverlink {

int OpenResultMessage(int result) {
    switch (result) {
        case kOpenIpx:
        case kOpenIp: return 0;
        case kOpenStartupFailed: return kMsgStartup;
        case kOpenSocketFailed: return kMsgSocket;
        case kOpenBindFailed: return kMsgBind;
        case kOpenSockNameFailed: return kMsgSockName;
        case kOpenSockOptFailed: return kMsgSockOpt;
        case kOpenQueryFailed: return kMsgQuery;
        case kOpenResolveFailed: return kMsgResolve;
        case kOpenThreadFailed: return kMsgThread;
        default: return kMsgUnknown;
    }
}

LinkCore::LinkCore(LinkPlatform& platform, LinkConfig config)
    : p_(platform), cfg_(std::move(config)) {
    if (cfg_.retransmit_seconds < 5) cfg_.retransmit_seconds = 5;
    if (cfg_.reply_rounds < 10) cfg_.reply_rounds = 10;
}

LinkCore::~LinkCore() = default;

bool LinkCore::StartThread() {
    running_ = true;
    thread_started_ = p_.StartReceiver([this] { ReceiveLoop(); });
    if (!thread_started_) running_ = false;
    return thread_started_;
}

int LinkCore::OpenIpx(std::string_view address) {
    family_ = Family::Ipx;
    dest_ = Destination{};
    dest_.family = Family::Ipx;
    dest_.ipx = ParseIpxAddress(address);

    if (!p_.Startup()) return kOpenStartupFailed;
    started_ = true;
    sock_ = p_.Create(Family::Ipx);
    if (sock_ == kNoSocket) return kOpenSocketFailed;
    if (!p_.BindAny(sock_, Family::Ipx)) return kOpenBindFailed;
    IpxAddress local;
    if (!p_.LocalIpxAddress(sock_, &local)) return kOpenSockNameFailed;
    local_ipx_ = FormatIpxAddress(local);
    if (!p_.SetOption(sock_, SockOpt::Broadcast, 1) ||
        !p_.SetOption(sock_, SockOpt::IpxPacketType, 4) ||
        !p_.SetOption(sock_, SockOpt::IpxFilterPacketType, 4))
        return kOpenSockOptFailed;
    p_.SetBlocking(sock_);
    bool thread = StartThread();
    if (!dest_.ipx.has_socket && !SocketQuery()) return kOpenQueryFailed;
    return thread ? kOpenIpx : kOpenThreadFailed;
}

int LinkCore::OpenIp(std::string_view text) {
    family_ = Family::Ip;
    IpHost host = ParseIpHost(text);
    if (!p_.Startup()) return kOpenStartupFailed;
    started_ = true;
    SocketId test = p_.Create(Family::Ip);
    if (test == kNoSocket) return kOpenBindFailed;
    bool bound = p_.BindAny(test, Family::Ip);
    p_.Close(test, false);
    if (!bound) return kOpenBindFailed;

    dest_ = Destination{};
    dest_.family = Family::Ip;
    if (!host.port_ok) return kOpenResolveFailed;
    dest_.port = host.port;
    if (host.dotted) {
        // Not a valid dotted address: nothing can be sent to it, which is
        // what an unresolvable name means to the user.
        if (!p_.ParseDotted(host.host, dest_.ip)) return kOpenResolveFailed;
    } else if (!p_.ResolveHost(host.host, dest_.ip)) {
        return kOpenResolveFailed;
    }
    sock_ = p_.Create(Family::Ip);
    if (sock_ == kNoSocket) return kOpenSocketFailed;
    if (!p_.BindAny(sock_, Family::Ip)) {
        p_.Close(sock_, false);
        sock_ = kNoSocket;
        return kOpenBindFailed;
    }
    p_.SetBlocking(sock_);
    return StartThread() ? kOpenIp : kOpenThreadFailed;
}

bool LinkCore::ReportOpen(int result) {
    if (cfg_.quiet) return false;
    if (result == kOpenIpx) {
        ipx_in_use_ = true;
        return false;
    }
    if (result == kOpenIp) return false;
    p_.PrintMessage(OpenResultMessage(result));
    return true;
}

// One request of the socket query: sent up to 3 times, each time waiting up
// to 1500 ms for an answer that passes `check`.
bool LinkCore::QueryExchange(const std::uint8_t* req, std::size_t len, int check) {
    Destination to = dest_;
    to.ipx.socket[0] = 0x81;
    to.ipx.socket[1] = 0x38;
    for (int attempt = 0; attempt < 3; ++attempt) {
        p_.ResetQuery();
        p_.SendTo(sock_, to, req, len);
        if (!p_.WaitQuery(1500)) continue;
        std::uint8_t answer[kDatagramMax];
        std::size_t n;
        {
            Guard g(p_);
            n = query_len_;
            std::memcpy(answer, query_buf_, n);
        }
        std::uint8_t socket[2];
        switch (check) {
            case 0: return true;                                   // any answer
            case 1: if (QueryAnswerA1Valid(answer, n)) return true; break;
            case 2:
                if (QueryAnswerA2Valid(answer, n, socket)) {
                    std::memcpy(dest_.ipx.socket, socket, 2);
                    return true;
                }
                break;
            case 3:
                if (QueryAnswerB2Valid(answer, n, socket)) {
                    std::memcpy(dest_.ipx.socket, socket, 2);
                    return true;
                }
                break;
        }
    }
    return false;
}

bool LinkCore::SocketQuery() {
    query_active_ = true;
    static const std::uint8_t a1[4] = {0, 0, 0, 0};
    static const std::uint8_t a2[6] = {0x00, 0x04, 0x01, 0x00, 0x00, 0x00};
    static const std::uint8_t b1[2] = {0, 0};
    static const std::uint8_t b2[6] = {0x17, 0x00, 0x01, 0x00, 0x00, 0x00};
    bool ok = (QueryExchange(a1, sizeof a1, 1) && QueryExchange(a2, sizeof a2, 2)) ||
              (QueryExchange(b1, sizeof b1, 0) && QueryExchange(b2, sizeof b2, 3));
    query_active_ = false;
    return ok;
}

bool LinkCore::RequestDeviceId(std::string_view device_id) {
    std::vector<std::uint8_t> req = EncodeDeviceRequest(device_id);
    long err;
    {
        Guard g(p_);
        for (ReplySlot& r : replies_) r = ReplySlot{};
        replies_ready_ = true;
        err = p_.SendTo(sock_, dest_, req.data(), req.size());
    }
    if (err != 0) p_.PrintSendError(err);
    return err == 0;
}

ReplyOutcome LinkCore::ReceiveServerReply(scanner::ConfigFileList& list) {
    ReplyOutcome out;
    unsigned total = 0, received = 0;
    ReplyHead head;
    auto done = [&] { return total != 0 && received >= total; };
    for (int round = 0; round < cfg_.reply_rounds && !done(); ++round) {
        bool all_looked_at = true;
        for (std::size_t i = 0; i < kSlots; ++i) {
            if (done()) {
                all_looked_at = false;
                break;
            }
            Guard g(p_);
            ReplySlot& slot = replies_[i];
            if (slot.state != ReplyState::Stored) continue;
            ++received;
            if (total == 0) total = slot.header & 0xFF;
            const std::uint8_t* payload = slot.data;
            std::size_t list_at = 0;
            if ((slot.header >> 8) == 1) {
                head = DecodeReplyHead(payload);
                if (!head.VersionOk()) {
                    if (!cfg_.quiet) p_.PrintMessage(kMsgVersion);
                    out.version_mismatch = true;
                    return out;
                }
                if (head.device_low != 0) {
                    out.device_id = AssignedDeviceId(cfg_.server_name, head.device_high,
                                                     head.device_low);
                    out.assigned = true;
                }
                list_at = kReplyHeadSize;
            }
            for (const ConfigEntry& e : DecodeConfigList(payload + list_at, kPayloadSize - list_at))
                MergeConfigEntry(list, e);
            slot.state = ReplyState::Processed;
        }
        if (all_looked_at && !done()) p_.Sleep(1000);
    }
    {
        Guard g(p_);
        if (done()) replies_ready_ = false;
    }
    out.count = head.CopiesAgree() ? head.count : 0;
    return out;
}

void LinkCore::OnDatagram(const std::uint8_t* data, std::size_t len) {
    Guard g(p_);
    if (len > 2 && GetU16(data) == kReplyMark) {
        if (len < kHeaderSize || !replies_ready_) return;
        std::uint16_t header = GetU16(data + 2);
        unsigned seq = header >> 8;
        if (seq < 1 || seq > kSlots) return;
        ReplySlot& slot = replies_[seq - 1];
        // A copy of a packet already processed must not be counted again.
        if (slot.state == ReplyState::Processed) return;
        std::memset(slot.data, 0, sizeof slot.data);
        std::size_t n = len - kHeaderSize;
        if (n > kPayloadSize) n = kPayloadSize;
        std::memcpy(slot.data, data + kHeaderSize, n);
        slot.header = header;
        slot.state = ReplyState::Stored;
    } else if (len >= 1 && len <= 2) {
        std::uint16_t value = len == 2 ? GetU16(data) : data[0];
        for (SendSlot& s : slots_) {
            if (s.busy && s.header == value) {
                s.busy = false;
                p_.SignalAck();
                break;
            }
        }
    }
}

void LinkCore::ReceiveLoop() {
    const SocketId sock = sock_;     // the main thread clears sock_ when closing
    while (running_) {
        long n = p_.Receive(sock, recv_buf_, sizeof recv_buf_);
        if (n == kReceiveSkip) continue;
        if (n < 0) return;
        if (!running_) return;
        if (query_active_) {
            {
                Guard g(p_);
                query_len_ = static_cast<std::size_t>(n);
                std::memcpy(query_buf_, recv_buf_, query_len_);
            }
            p_.SignalQuery();
            continue;
        }
        OnDatagram(recv_buf_, static_cast<std::size_t>(n));
    }
}

void LinkCore::SendSlotLocked(SendSlot& slot) {
    slot.sent_at = p_.TickMs();
    PutU16(out_, slot.header);
    PutU16(out_ + 2, slot.checksum);
    std::memcpy(out_ + kHeaderSize, slot.payload, slot.length);
    p_.SendTo(sock_, dest_, out_, kHeaderSize + slot.length);
}

void LinkCore::Retransmit(std::size_t index) {
    Guard g(p_);
    if (!slots_[index].busy) return;
    ++retransmissions_;
    SendSlotLocked(slots_[index]);
}

int LinkCore::SendPacket(const std::uint8_t* packet, unsigned number, bool last) {
    if (last && (number & 0xFF) == 0) {
        // The last flag lives in the low byte, which is 0 for this number:
        // send it as an ordinary packet and end the run with an empty one.
        if (SendOne(packet, number, false) != 0) return -1;
        std::uint8_t empty[kPayloadSize] = {};
        return SendOne(empty, number + 1, true);
    }
    return SendOne(packet, number, last);
}

int LinkCore::SendOne(const std::uint8_t* packet, unsigned number, bool last) {
    std::size_t cand = next_slot_;
    std::uint32_t start = p_.TickMs();
    int retries = 0;
    const std::uint32_t patience = static_cast<std::uint32_t>(cfg_.retransmit_seconds) * 1000 - 4000;
    for (;;) {
        bool cand_free, after_free;
        {
            Guard g(p_);
            cand_free = !slots_[cand].busy;
            after_free = !slots_[(cand + 1) % kSlots].busy;
        }
        if (cand_free) {
            next_slot_ = (cand + 1) % kSlots;
            break;
        }
        if (p_.TickMs() - start > patience || (retries == 0 && after_free)) {
            if (retries > cfg_.reply_rounds) {
                if (!cfg_.quiet) p_.PrintMessage(kMsgTimedOut);
                gave_up_ = true;
                return -1;
            }
            ++retries;
            Retransmit(cand);
            start = p_.TickMs();
        }
        // Up to one second, or until just after the retransmission falls due,
        // but wake as soon as an acknowledgement frees a slot.
        const std::uint32_t elapsed = p_.TickMs() - start;
        p_.WaitAck(elapsed >= patience ? 1 : std::min<std::uint32_t>(1000, patience + 1 - elapsed));
    }
    SendSlot& slot = slots_[cand];
    Guard g(p_);
    std::memcpy(slot.payload, packet, kPayloadSize);
    slot.header = DataHeaderWord(number, last);
    slot.length = PayloadLength(slot.payload);
    slot.checksum = Checksum(slot.payload, slot.length);
    slot.busy = true;
    slot.resends = 0;
    SendSlotLocked(slot);
    return 0;
}

int LinkCore::busy_slots() {
    Guard g(p_);
    int n = 0;
    for (const SendSlot& s : slots_) n += s.busy ? 1 : 0;
    return n;
}

int LinkCore::WaitForAllAcks() {
    if (gave_up_) return busy_slots();
    const std::uint32_t interval = static_cast<std::uint32_t>(cfg_.retransmit_seconds) * 1000;
    {
        Guard g(p_);
        for (SendSlot& s : slots_) s.resends = 0;
    }
    for (;;) {
        int busy = 0;
        bool spent = false;
        std::uint32_t next_due = interval + 1;
        for (std::size_t i = 0; i < kSlots; ++i) {
            Guard g(p_);
            SendSlot& slot = slots_[i];
            if (!slot.busy) continue;
            ++busy;
            std::uint32_t elapsed = p_.TickMs() - slot.sent_at;
            if (elapsed > interval) {
                if (slot.resends >= kFinalResends) {
                    spent = true;
                    continue;
                }
                ++slot.resends;
                ++retransmissions_;
                SendSlotLocked(slot);
                elapsed = 0;
            }
            next_due = std::min(next_due, interval + 1 - elapsed);
        }
        if (busy == 0) return 0;
        if (spent) {
            if (!cfg_.quiet) p_.PrintMessage(kMsgTimedOut);
            gave_up_ = true;
            return busy_slots();
        }
        // Sleep until an acknowledgement arrives or the next resend is due.
        p_.WaitAck(next_due);
    }
}

void LinkCore::Close() {
    running_ = false;
    if (sock_ != kNoSocket) {
        p_.Close(sock_, true);
        sock_ = kNoSocket;
    }
    if (started_) {
        p_.Cleanup();
        started_ = false;
    }
    if (thread_started_) {
        p_.JoinReceiver(5000);
        thread_started_ = false;
    }
}

}  // namespace qv::serverlink
