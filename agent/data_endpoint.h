// The data endpoint: connect, disconnect, data packets in sequence,
// acknowledgements, resends, status and the commands in a viewer's payload.
//
// Win32 side (VieweeThread), cycle after cycle:
//   data.BeginCycle();                  // factors, error counter, cursor, sequence
//   if (!data.WaitForPackets()) { log "** Viewee Thread terminating"; end }
//   log "**** WaitForPackets returned"; terminate event within 50 ms -> end;
//   log "Restarting IPX"/"Restarting TCP/IP"; reopen the data endpoint and
//   start a new SendThread (after the old one ended and the old endpoint
//   closed); data.ResstablishListen();
// The "&Terminate viewer" button calls DropViewer() then, with the log line
// "Calling ResstablishListen()", ResstablishListen(); the cleanup calls
// DropViewer() alone.
//
// InputSink receives the key, mouse and secure attention commands (the next
// issue fills it); ViewingControl starts and stops viewing: the Win32 side
// implements it with the critical section, the status dialog and the
// changes thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "agent/agent_events.h"
#include "agent/rc_wire.h"
#include "agent/security.h"
#include "agent/send_path.h"

namespace qv::agent {

class InputSink {
public:
    virtual ~InputSink() = default;
    virtual void Key(uint16_t key_code, uint8_t scan_code) = 0;
    virtual void Mouse(uint8_t buttons, uint16_t x, uint16_t y) = 0;
    virtual void SecureAttention() = 0;
    virtual void ResetCursorTracking() = 0;
};

enum class WaitOutcome { kDone, kTimeout, kError };

class ViewingControl {
public:
    virtual ~ViewingControl() = default;
    // The critical section that serialises starting and stopping of viewing.
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual void SetStatus(int status) = 0;  // 0 idle, 1 being accessed, 2 session active
    virtual void SetViewerName(const std::string& name) = 0;
    virtual bool DisplayHas16Colours() = 0;
    // ActivateChangesThread (its own locking included).
    virtual void ActivateChangesThread() = 0;
    // Pause: signal the viewing terminated event and wait up to 20000 ms for
    // the changes thread (*error set on kError).
    virtual WaitOutcome StopChangesThread(uint32_t* error) = 0;
    // Disconnect: signal the viewing terminated event, wait up to 20000 ms
    // for SendThread and the changes thread, close and forget the SendThread
    // handle, reset the viewing terminated event. False on a time-out.
    virtual bool StopViewingThreads() = 0;
    // Invalidate a screen rectangle with background erase.
    virtual void Invalidate(int16_t left, int16_t top, int16_t right, int16_t bottom) = 0;
    // Shutting down, or the terminate event signalled within 50 ms.
    virtual bool TerminateRequested() = 0;
    virtual void Sleep(uint32_t ms) = 0;
};

// Last-error code set on a data endpoint error.
constexpr uint32_t kViewerErrorCode = 0x2004;
constexpr uint32_t kStopWaitMs = 20000;
constexpr int kDropRepeats = 3;
constexpr uint32_t kDropGapMs = 100;
// At most one "input refused" line in this time.
constexpr uint32_t kRefusedInputLogMs = 10000;

// Keys released when a connected viewer is reset.
constexpr uint16_t kKeyEnterUp = 0x800D;
constexpr uint8_t kScanEnterUp = 0x9C;
constexpr uint16_t kKeyAltUp = 0x8012;
constexpr uint8_t kScanAltUp = 0xB8;

class DataEndpoint {
public:
    DataEndpoint(ViewState& view, SendPath& send, SendWaits& waits, DataLink& link, InputSink& input,
                 ViewingControl& viewing, AgentEvents& events)
        : view_(view), send_(send), waits_(waits), link_(link), input_(input), viewing_(viewing), ev_(events) {}

    enum class Result { kOk, kError };

    // Step 1 of a VieweeThread cycle.
    void BeginCycle();
    // Receives and handles packets while the endpoint is open: 1 when the
    // endpoint was closed by another thread or reset after an error, 0 when
    // the agent should stop.
    int WaitForPackets();
    // One received packet (a disconnect or an unknown type is kError).
    Result HandlePacket(const uint8_t* packet, std::size_t len);
    // The error path of WaitForPackets (logs, audit 6, reset): 0 or 1.
    int OnError();
    // Executes the commands of a payload.
    void ExecutePayload(const uint8_t* payload, std::size_t len);

    // Holds the viewer's key, mouse and secure attention commands to the
    // user's "Allow Takeover" (Security::Permits); refused ones are dropped
    // and logged at a limited rate, timed by now_ms.
    void GuardInput(const Security* security, std::function<uint32_t()> now_ms) {
        guard_ = security;
        now_ms_ = std::move(now_ms);
    }

    void ResstablishListen();
    // Sends the disconnect packet three times 100 ms apart to an active viewer.
    void DropViewer();

    bool connected() const { return connected_; }
    uint16_t colourFactor1() const { return factor1_; }
    uint16_t colourFactor2() const { return factor2_; }
    uint16_t viewerColourBits() const { return colour_bits_; }

private:
    void Reset();
    void Connect();
    void Disconnect();
    void StartViewing();
    void Pause();
    void SetFactors(uint16_t f1, uint16_t f2);
    void SendSmall(uint8_t type, uint8_t byte2);
    void SetNotReady(const char* log_line);
    bool InputAllowed();

    ViewState& view_;
    SendPath& send_;
    SendWaits& waits_;
    DataLink& link_;
    InputSink& input_;
    ViewingControl& viewing_;
    AgentEvents& ev_;
    bool connected_ = false;
    uint16_t factor1_ = 0, factor2_ = 0, colour_bits_ = 0;
    const Security* guard_ = nullptr;
    std::function<uint32_t()> now_ms_;
    LogLimiter refused_log_{kRefusedInputLogMs};
};

}  // namespace qv::agent
