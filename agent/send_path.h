// The send path: five send slots, FindAvailableSendSlot, IPXSendBuffer and
// the loop of SendThread.
//
// Win32 side:
// - One SendPath per process, shared by VieweeThread (acknowledgements,
//   resends, resets; through DataEndpoint) and SendThread.
// - SendWaits is implemented with the agent's events: the send-slot event
//   (unnamed, manual reset, created signalled), the terminate event, the
//   viewing terminated event and "RCHOST32 Data Ready Event".
// - SendQueue forwards to screenq (GetBufferPos, GetSendBuffer,
//   ClearSendBuffer, GetQueueingBufferMutex, ReleaseQueueingBufferMutex).
// - DataLink wraps the data endpoint's handle (see below).
// - SendThread's body is SendPath::RunSendThread(waits, queue, link, events).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "agent/agent_events.h"
#include "agent/rc_wire.h"

namespace qv::agent {

// readyToSend values.
enum ReadyToSend : int { SEND_NOTREADY = 0, SEND_GDI = 1 };

// Viewing state shared by VieweeThread, SendThread and the main thread.
struct ViewState {
    std::atomic<int> readyToSend{SEND_NOTREADY};
    std::atomic<bool> connectionAlive{false};  // bConnectionAlive
    std::atomic<bool> paused{false};
    std::atomic<bool> shuttingDown{false};
};

// The data endpoint as the core uses it (a linkcore handle on Win32).
class DataLink {
public:
    virtual ~DataLink() = default;
    // RecvPacket(h, buffer, capacity): the length, or 0 / -1 on failure.
    virtual int Recv(uint8_t* buffer, int capacity) = 0;
    // SendPacket; on failure false with *error = the last-error code.
    virtual bool Send(const uint8_t* data, std::size_t len, uint32_t* error) = 0;
    virtual bool IsOpen() = 0;           // the handle is not 0
    virtual bool IsSessionActive() = 0;  // IsSessionActive(h) (false when closed)
    virtual void ResetSession() = 0;     // ResetSession(h, 0) when open
    virtual void Close() = 0;            // DeinitProtocol(h) and forget the handle
};

// The queued screen data (screenq).
class SendQueue {
public:
    virtual ~SendQueue() = default;
    virtual uint32_t GetBufferPos() = 0;
    virtual const uint8_t* GetSendBuffer() = 0;
    virtual void ClearSendBuffer() = 0;
    virtual bool GetQueueingBufferMutex() = 0;
    virtual void ReleaseQueueingBufferMutex() = 0;
};

enum class SlotWake { kSlotEvent, kTerminate, kViewingTerminated, kTimeout, kError };
enum class DataWake { kDataReady, kTerminate, kViewingTerminated, kError };

class SendWaits {
public:
    virtual ~SendWaits() = default;
    virtual void ResetSlotEvent() = 0;
    virtual void SignalSlotEvent() = 0;
    // Waits up to ms for the send-slot event, the terminate event and the
    // viewing terminated event (kError with *error set on a wait failure).
    virtual SlotWake WaitForSlot(uint32_t ms, uint32_t* error) = 0;
    // Waits without limit for the data ready event, terminate, viewing terminated.
    virtual DataWake WaitForData(uint32_t* error) = 0;
    virtual void ResetDataReady() = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // Message box (caption = the agent's caption) shown by SendThread on a wait error.
    virtual void ShowError(const char* text) = 0;
};

enum SlotState : uint8_t { kSlotFree = 0, kSlotSent = 1, kSlotFilling = 3 };

constexpr uint32_t kSlotWaitMs = 8000;
constexpr uint32_t kPausedWakeMs = 500;

struct SendSlot {
    std::atomic<uint8_t> state{kSlotFree};
    std::atomic<uint8_t> sequence{0};
    std::atomic<uint32_t> length{0};
    std::array<uint8_t, rc::kMaxPacket> buffer{};
};

// True when x lies in the circular 8-bit range lo..hi (both included).
bool InCircularRange(uint8_t x, uint8_t lo, uint8_t hi);

class SendPath {
public:
    SendPath(ViewState& view, AgentEvents& events) : view_(view), ev_(events) {}

    // Sequence state shared with the data endpoint.
    std::atomic<uint8_t> nextSendSequence{0};
    std::atomic<uint8_t> lastReceived{255};
    std::atomic<uint8_t> lastAcknowledged{255};  // the last value this agent acknowledged
    std::atomic<uint32_t> sendErrors{0};

    SendSlot& slot(int i) { return slots_[static_cast<std::size_t>(i)]; }

    // The index of a free slot, taken only while at least two are free;
    // waits for acknowledgements up to 8000 ms; -1 when none came.
    int FindAvailableSendSlot(SendWaits& waits);
    // Sends all queued bytes; false on failure (the queue is then emptied
    // where the rest is given up).
    bool IPXSendBuffer(SendWaits& waits, SendQueue& queue, DataLink& link);
    // SendThread's loop; returns when the thread should end.
    void RunSendThread(SendWaits& waits, SendQueue& queue, DataLink& link);

    // An acknowledgement a from the viewer: taken only within the window
    // (next send sequence - 5 .. next send sequence); frees the slots it
    // covers and signals the send-slot event. Returns whether it was taken.
    bool Acknowledge(uint8_t a, SendWaits& waits);
    // Sends the slot(s) holding sequence s again; false when none did.
    bool Resend(uint8_t s, DataLink& link);
    // All slots free, last received and last acknowledged 255.
    void ResetSlots();
    // All slots free (the end of a changes thread).
    void FreeAllSlots();
    // Slots waiting for an acknowledgement.
    int SlotsInFlight() const;

private:
    ViewState& view_;
    AgentEvents& ev_;
    std::array<SendSlot, rc::kSendSlots> slots_;
    uint32_t sent_ = 0;  // queued bytes already sent (SendThread only)
};

}  // namespace qv::agent
