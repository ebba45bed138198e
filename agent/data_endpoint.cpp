#include "agent/data_endpoint.h"

#include <cstring>

#include "common/le_bytes.h"

namespace qv::agent {

namespace {

using le::Get16;

// Total length of each payload command (code included); 0 = stop.
std::size_t CommandLength(uint8_t code) {
    switch (code) {
    case rc::kCmdKey: return 4;
    case rc::kCmdMouse: return 6;
    case rc::kCmdStartViewing: return 3 + rc::kViewerNameBytes;
    case rc::kCmdInvalidate: return 9;
    case rc::kCmdPause:
    case rc::kCmdResume:
    case rc::kCmdSecureAttention: return 1;
    case rc::kCmdColourFactors: return 5;
    default: return 0;
    }
}

}  // namespace

void DataEndpoint::SendSmall(uint8_t type, uint8_t byte2) {
    const uint8_t p[4] = {type, 0, byte2, 0};
    uint32_t error = 0;
    link_.Send(p, sizeof p, &error);
}

void DataEndpoint::SetNotReady(const char* log_line) {
    view_.readyToSend = SEND_NOTREADY;
    Logf(ev_, "%s", log_line);
}

bool DataEndpoint::InputAllowed() {
    if (!guard_ || guard_->Permits(rc::kAllowTakeover)) return true;
    uint32_t dropped = 0;
    if (refused_log_.Due(now_ms_ ? now_ms_() : 0, &dropped))
        Logf(ev_, "Input refused: \"Allow Takeover\" is not allowed by the user (%u command(s) dropped)",
             static_cast<unsigned>(dropped));
    return false;
}

void DataEndpoint::BeginCycle() {
    factor1_ = factor2_ = 0;
    send_.sendErrors = 0;
    input_.ResetCursorTracking();
    send_.nextSendSequence = 0;
    view_.connectionAlive = true;
}

int DataEndpoint::WaitForPackets() {
    uint8_t buf[rc::kRecvCapacity];
    while (link_.IsOpen()) {
        const int n = link_.Recv(buf, static_cast<int>(sizeof buf));
        if (n == 0 || n == -1) {
            Logf(ev_, "WFP: RecvPacket returned 0");
            return OnError();
        }
        if (n < 0) continue;
        if (HandlePacket(buf, static_cast<std::size_t>(n)) == Result::kError) return OnError();
    }
    return 1;
}

int DataEndpoint::OnError() {
    Logf(ev_, "Viewee Thread received error %d", static_cast<int>(kViewerErrorCode));
    ev_.Audit(kAuditViewerError, true, nullptr);
    if (view_.shuttingDown.load() || viewing_.TerminateRequested()) {
        Logf(ev_, "VieweeThread should terminate by terminate event");
        return 0;
    }
    Logf(ev_, "WFP: Session closed - resetting");
    if (link_.IsOpen()) link_.ResetSession();
    return 1;
}

DataEndpoint::Result DataEndpoint::HandlePacket(const uint8_t* packet, std::size_t len) {
    // A packet shorter than its header reads as zeros past its end.
    uint8_t h[rc::kPacketHeader] = {};
    if (len) std::memcpy(h, packet, len < sizeof h ? len : sizeof h);
    switch (h[0]) {
    case rc::PT_CONNECT:
        Logf(ev_, "Rxd. a PT_CONNECT");
        Connect();
        break;
    case rc::PT_CONNECT_ACK:
    case rc::PT_DISCONNECT_ACK:
        break;
    case rc::PT_DISCONNECT:
        Disconnect();
        return Result::kError;
    case rc::PT_DATA: {
        const uint8_t last = send_.lastReceived.load();
        if (static_cast<uint8_t>(h[1] - last) != 1) return Result::kOk;  // out of sequence: dropped
        send_.lastReceived = static_cast<uint8_t>(last + 1);
        send_.Acknowledge(h[2], waits_);
        const uint8_t received = send_.lastReceived.load();
        if (received != send_.lastAcknowledged.load()) {
            SendSmall(rc::PT_ACK, received);
            send_.lastAcknowledged = received;
        }
        break;
    }
    case rc::PT_ACK:
    case rc::PT_STATUS:
        send_.Acknowledge(h[2], waits_);
        break;
    case rc::PT_RESEND:
        send_.Acknowledge(h[2], waits_);
        send_.Resend(static_cast<uint8_t>(h[2] + 1), link_);
        break;
    case rc::PT_STATUS_REQUEST: {
        const uint8_t received = send_.lastReceived.load();
        send_.lastAcknowledged = received;
        SendSmall(rc::PT_STATUS, received);
        break;
    }
    default:
        return Result::kError;
    }
    if (len > rc::kPacketHeader) ExecutePayload(packet + rc::kPacketHeader, len - rc::kPacketHeader);
    return Result::kOk;
}

void DataEndpoint::Reset() {
    if (connected_ && !view_.shuttingDown.load()) {
        connected_ = false;
        view_.connectionAlive = false;
        ResstablishListen();
        input_.Key(kKeyEnterUp, kScanEnterUp);
        input_.Key(kKeyAltUp, kScanAltUp);
    }
    send_.ResetSlots();
}

void DataEndpoint::Connect() {
    Reset();
    connected_ = true;
    view_.connectionAlive = true;
    view_.paused = false;
    factor1_ = factor2_ = 0;
    input_.ResetCursorTracking();
    SendSmall(rc::PT_CONNECT_ACK, 0);
}

void DataEndpoint::Disconnect() {
    viewing_.Lock();
    Logf(ev_, "Received DISCONNECT 0");
    // Acknowledged first: the reset below drops the viewer as the peer, and
    // nothing sent after it would reach the viewer.
    SendSmall(rc::PT_DISCONNECT_ACK, 0);
    Reset();
    SetNotReady("AD1: ** readyToSend = FALSE **");
    link_.Close();
    view_.connectionAlive = false;
    SetNotReady("AD: ** readyToSend = FALSE **");
    if (viewing_.StopViewingThreads())
        Logf(ev_, "**************** Viewing threads terminated");
    else
        Logf(ev_, "*** A THREAD DID NOT TERMINATE IN TIME ***");
    viewing_.Unlock();
}

void DataEndpoint::ResstablishListen() {
    view_.connectionAlive = false;
    viewing_.SetStatus(0);
    SetNotReady("RL: ** readyToSend = FALSE **");
    link_.ResetSession();
}

void DataEndpoint::DropViewer() {
    if (!link_.IsOpen() || !link_.IsSessionActive()) return;
    for (int i = 0; i < kDropRepeats; ++i) {
        SendSmall(rc::PT_DISCONNECT, 0);
        viewing_.Sleep(kDropGapMs);
    }
}

void DataEndpoint::SetFactors(uint16_t f1, uint16_t f2) {
    factor1_ = f1;
    factor2_ = f2;
    uint32_t bits = static_cast<uint32_t>(f1) * f2;
    if (viewing_.DisplayHas16Colours() && bits > 4) bits = 4;
    colour_bits_ = static_cast<uint16_t>(bits > 0xFFFF ? 0xFFFF : bits);
}

void DataEndpoint::StartViewing() {
    view_.readyToSend = SEND_GDI;
    view_.paused = false;
    SetFactors(factor1_, factor2_);
    viewing_.SetStatus(1);
    viewing_.ActivateChangesThread();
}

void DataEndpoint::Pause() {
    view_.paused = true;
    SetNotReady("RP: ** readyToSend = SEND_NOTREADY **");
    uint32_t error = 0;
    switch (viewing_.StopChangesThread(&error)) {
    case WaitOutcome::kTimeout:
        Logf(ev_, "PAUSE: Someone didn't stop");
        break;
    case WaitOutcome::kError:
        Logf(ev_, "PAUSE: Wait returned error %d", static_cast<int>(error));
        break;
    default:
        break;
    }
}

void DataEndpoint::ExecutePayload(const uint8_t* p, std::size_t len) {
    if (len == 0) {
        Logf(ev_, "Size is 0");
        return;
    }
    if (view_.readyToSend.load() == SEND_NOTREADY && !view_.paused.load() && factor1_ && factor2_) {
        Logf(ev_, "Restarting session after a pause");
        view_.readyToSend = SEND_GDI;
        Logf(ev_, "IC32: ** SEND_GDI **");
    }
    std::size_t at = 0;
    while (at < len) {
        const uint8_t code = p[at];
        const std::size_t n = CommandLength(code);
        if (n == 0 || n > len - at) return;  // a stop code, or a command cut short
        const uint8_t* c = p + at;
        switch (code) {
        case rc::kCmdKey:
            if (InputAllowed()) input_.Key(Get16(c + 1), c[3]);
            break;
        case rc::kCmdMouse:
            if (InputAllowed()) input_.Mouse(c[1], Get16(c + 2), Get16(c + 4));
            break;
        case rc::kCmdStartViewing: {
            factor1_ = c[1];
            factor2_ = c[2];
            // The name field is 60 bytes; the name ends at its zero byte or at 59 bytes.
            const uint8_t* name = c + 3;
            const void* z = std::memchr(name, 0, rc::kViewerNameBytes - 1);
            const std::size_t name_len =
                z ? static_cast<std::size_t>(static_cast<const uint8_t*>(z) - name) : rc::kViewerNameBytes - 1;
            viewing_.SetViewerName(std::string(reinterpret_cast<const char*>(name), name_len));
            StartViewing();
            break;
        }
        case rc::kCmdInvalidate:
            viewing_.Invalidate(static_cast<int16_t>(Get16(c + 1)), static_cast<int16_t>(Get16(c + 3)),
                                static_cast<int16_t>(Get16(c + 5)), static_cast<int16_t>(Get16(c + 7)));
            break;
        case rc::kCmdPause:
            Pause();
            break;
        case rc::kCmdResume:
            input_.ResetCursorTracking();
            StartViewing();
            break;
        case rc::kCmdColourFactors:
            factor1_ = Get16(c + 1);
            factor2_ = Get16(c + 3);
            input_.ResetCursorTracking();
            StartViewing();
            break;
        case rc::kCmdSecureAttention:
            if (InputAllowed()) input_.SecureAttention();
            break;
        default:
            return;
        }
        at += n;
    }
}

}  // namespace qv::agent
