#include "tools/rcconsole/data_session.h"

namespace qv::rcc {

bool DataSession::Connect(int timeout_ms) {
    for (int attempt = 0; attempt < 3 && !Stopped(); ++attempt) {
        if (!SendRaw(ControlPacket(rc::PT_CONNECT))) {
            broken_ = true;
            return false;
        }
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < until && !Stopped()) {
            const int n = link_->Recv(in_, sizeof in_, 100);
            if (n < 0) {
                broken_ = true;
                return false;
            }
            if (n >= 1 && in_[0] == rc::PT_CONNECT_ACK) return true;
        }
    }
    return false;
}

bool DataSession::StartViewing(unsigned bits, const std::string& name) {
    const Bytes start = StartViewingPacket(0, 0, static_cast<uint8_t>(bits), 1, name);
    return Send(Bytes(start.begin() + rc::kPacketHeader, start.end()));
}

bool DataSession::Send(const Bytes& payload) {
    Bytes p{rc::PT_DATA, next_sequence_++, rx_.last(), 0};
    p.insert(p.end(), payload.begin(), payload.end());
    return SendRaw(p);
}

DataSession::Got DataSession::Next(int wait_ms) {
    n_ = link_->Recv(in_, sizeof in_, wait_ms);
    if (n_ < 0) {
        broken_ = true;
        return Got::kBroken;
    }
    if (n_ < static_cast<int>(rc::kPacketHeader)) return Got::kNothing;
    if (in_[0] == rc::PT_DISCONNECT) {
        dropped_ = true;
        return Got::kDropped;
    }
    if (in_[0] != rc::PT_DATA) return Got::kNothing;
    Bytes reply;
    const DataReceiver::Action a = rx_.OnData(in_[1], &reply);
    SendRaw(reply);
    if (a == DataReceiver::Action::kGap) ++gaps;
    if (a != DataReceiver::Action::kTake) return Got::kNothing;
    ++packets;
    bytes += payload_size();
    return Got::kPayload;
}

std::string DataSession::Why() const {
    if (dropped_) return "the agent dropped this viewer";
    return "the data connection broke: " + link_->LastError();
}

void DataSession::Disconnect() {
    if (dropped_ || broken_) return;
    SendRaw(ControlPacket(rc::PT_DISCONNECT));
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(1000);
    while (Clock::now() < until) {
        const int n = link_->Recv(in_, sizeof in_, 100);
        if (n < 0 || (n >= 1 && in_[0] == rc::PT_DISCONNECT_ACK)) break;
    }
    n_ = 0;
}

}  // namespace qv::rcc
