#include "agent/send_path.h"

#include <cstdio>
#include <cstring>

namespace qv::agent {

bool InCircularRange(uint8_t x, uint8_t lo, uint8_t hi) {
    if (hi > lo) return lo <= x && x <= hi;
    return x >= lo || x <= hi;
}

int SendPath::FindAvailableSendSlot(SendWaits& waits) {
    waits.ResetSlotEvent();
    for (;;) {
        int first = -1;
        for (int i = 0; i < rc::kSendSlots; ++i) {
            if (slots_[static_cast<std::size_t>(i)].state.load() != kSlotFree) continue;
            if (first >= 0) return first;  // a second free slot: hand out the first
            first = i;
        }
        if (first < 0) Logf(ev_, "All slots busy!");
        uint32_t error = 0;
        switch (waits.WaitForSlot(kSlotWaitMs, &error)) {
        case SlotWake::kSlotEvent:
            waits.ResetSlotEvent();
            break;
        case SlotWake::kTimeout:
            Logf(ev_, "FASS: Timed out");
            return -1;
        case SlotWake::kError:
            Logf(ev_, "FindAvailableSendSlot: Error %d on wait", static_cast<int>(error));
            return -1;
        default:  // terminate or viewing terminated
            return -1;
        }
    }
}

bool SendPath::IPXSendBuffer(SendWaits& waits, SendQueue& queue, DataLink& link) {
    const uint8_t* base = queue.GetSendBuffer();
    if (view_.readyToSend.load() == SEND_NOTREADY) {
        queue.ClearSendBuffer();
        sent_ = 0;
        Logf(ev_, "IPXSendBuffer: Not ready to send");
        return false;
    }
    if (queue.GetBufferPos() < sent_) {
        sent_ = 0;
        Logf(ev_, "Odd...");
    }
    bool locked = false;
    auto release = [&] {
        if (locked) queue.ReleaseQueueingBufferMutex();
        locked = false;
    };
    // Empties the queue; the lock is held when there is anything that a
    // producer could commit between the last read and the clearing.
    auto finish = [&] {
        sent_ = 0;
        waits.ResetDataReady();
        queue.ClearSendBuffer();
        release();
        return true;
    };
    auto pending = [&] { return static_cast<int64_t>(queue.GetBufferPos()) - static_cast<int64_t>(sent_); };

    if (!queue.GetQueueingBufferMutex()) {
        Logf(ev_, "Couldn't get mutex in send buffer!!!!!");
        return false;
    }
    locked = true;
    if (pending() == 0) {
        if (queue.GetBufferPos() != 0) {
            release();
            Logf(ev_, "Error! bufferPos not zero when size is.");
            waits.ResetDataReady();
            return false;
        }
        return finish();  // still under the lock
    }
    release();

    for (;;) {
        const int i = FindAvailableSendSlot(waits);
        if (i < 0) {
            Logf(ev_, "IPXSendBuffer: Unable to get a send slot");
            release();
            return false;
        }
        SendSlot& s = slots_[static_cast<std::size_t>(i)];
        s.state = kSlotFilling;
        uint8_t flags = sent_ == 0 ? rc::kFlagQueueStart : 0;
        uint32_t copied = 0;
        for (;;) {
            if (pending() > static_cast<int64_t>(rc::kMaxPayload)) {
                flags |= rc::kFlagMoreFollows;
                copied = rc::kMaxPayload;
                break;
            }
            if (!locked) {
                if (!queue.GetQueueingBufferMutex()) {
                    Logf(ev_, "Couldn't get mutex in send buffer!!!!!");
                    s.state = kSlotFree;
                    return false;
                }
                locked = true;
            }
            const int64_t n = pending();
            if (n > static_cast<int64_t>(rc::kMaxPayload)) {
                release();
                continue;
            }
            if (n <= 0) {  // the queue was emptied meanwhile: nothing left to send
                s.state = kSlotFree;
                return finish();
            }
            copied = static_cast<uint32_t>(n);
            break;
        }
        std::memcpy(s.buffer.data() + rc::kPacketHeader, base + sent_, copied);
        const uint8_t seq = nextSendSequence.load();
        s.buffer[0] = rc::PT_DATA;
        s.buffer[1] = seq;
        s.buffer[2] = lastAcknowledged.load();
        s.buffer[3] = flags;
        s.sequence = seq;
        s.length = copied + static_cast<uint32_t>(rc::kPacketHeader);
        s.state = kSlotSent;
        uint32_t error = 0;
        const bool ok = link.Send(s.buffer.data(), copied + rc::kPacketHeader, &error);
        nextSendSequence = static_cast<uint8_t>(seq + 1);
        if (!ok) {
            ++sendErrors;
            sent_ = 0;
            queue.ClearSendBuffer();
            release();
            Logf(ev_, "Send error %x", static_cast<unsigned>(error));
            return false;
        }
        sent_ += copied;
        if (pending() == 0) return finish();
    }
}

void SendPath::RunSendThread(SendWaits& waits, SendQueue& queue, DataLink& link) {
    Logf(ev_, "Starting send thread");
    sent_ = 0;
    for (;;) {
        uint32_t error = 0;
        const DataWake w = waits.WaitForData(&error);
        if (w == DataWake::kTerminate) {
            Logf(ev_, "Send thread asked to terminate %d", 1);
            return;  // IPXSendBuffer never returns holding the queue's lock
        }
        if (w == DataWake::kViewingTerminated) {
            if (!view_.paused.load()) {
                Logf(ev_, "Send thread asked to terminate %d", 2);
                return;
            }
            waits.Sleep(kPausedWakeMs);
        }
        if (w == DataWake::kError) {
            char text[kLogLineBytes];
            std::snprintf(text, sizeof text, "Error %d waiting for send event to fire.\nSending is disabled.",
                          static_cast<int>(error));
            waits.ShowError(text);
            return;
        }
        if (view_.readyToSend.load() == SEND_NOTREADY || sendErrors.load() != 0) {
            waits.ResetDataReady();
        } else if (!IPXSendBuffer(waits, queue, link)) {
            Logf(ev_, "IPXSendBuffer returned error");
            Logf(ev_, "Send thread exiting");
            return;
        }
    }
}

bool SendPath::Acknowledge(uint8_t a, SendWaits& waits) {
    const uint8_t next = nextSendSequence.load();
    if (!InCircularRange(a, static_cast<uint8_t>(next - rc::kSendSlots), next)) return false;
    for (SendSlot& s : slots_) {
        if (!InCircularRange(s.sequence.load(), static_cast<uint8_t>(a - rc::kSendSlots), a)) continue;
        // Only a packet that went out is acknowledged; a slot SendThread is
        // filling stays its own.
        uint8_t sent = kSlotSent;
        s.state.compare_exchange_strong(sent, kSlotFree);
    }
    waits.SignalSlotEvent();
    return true;
}

bool SendPath::Resend(uint8_t s, DataLink& link) {
    bool any = false;
    for (int i = 0; i < rc::kSendSlots; ++i) {
        SendSlot& slot = slots_[static_cast<std::size_t>(i)];
        // Only packets waiting for their acknowledgement: their buffers are
        // no longer written by SendThread.
        if (slot.state.load() != kSlotSent || slot.sequence.load() != s || slot.buffer[0] != rc::PT_DATA) continue;
        if (slot.buffer[1] != s) {
            Logf(ev_, "i = %d, seq %d should be %d", i, slot.buffer[1], s);
            slot.buffer[1] = s;
        }
        uint32_t error = 0;
        link.Send(slot.buffer.data(), slot.length.load(), &error);
        any = true;
    }
    if (!any) Logf(ev_, "Unable to resend packet %x", s);
    return any;
}

void SendPath::ResetSlots() {
    lastReceived = 255;
    lastAcknowledged = 255;
    FreeAllSlots();
}

void SendPath::FreeAllSlots() {
    for (SendSlot& s : slots_) s.state = kSlotFree;
}

int SendPath::SlotsInFlight() const {
    int n = 0;
    for (const SendSlot& s : slots_) n += s.state.load() == kSlotSent ? 1 : 0;
    return n;
}

}  // namespace qv::agent
