// The viewer's input turned into local input, and the pointer position
// reported back to the viewer.
//
// Win32 side:
// - KeyOutput wraps the keyboard relay device ("\\.\KeyRelay", opened with
//   write access, shared write, existing only; DeviceIoControl with
//   kRelayControlCode and RelayInput()), MapVirtualKeyA (map type 0),
//   keybd_event and Sleep. The relay handle is shared by VieweeThread and
//   the changes thread: keep it in an atomic.
// - The mouse command: tracker.OnMouseCommand(now, context exists), then,
//   when ScaleMouse gives a result, mouse_event(flags, x, y, 0, 0).
// - CursorEnv wraps GetTickCount, Sleep and GetCursorPos; the changes
//   thread calls tracker.Track(env, queue) on every pass of its loop.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "agent/screen_codec.h"

namespace qv::agent {

// ---- Mouse ----
constexpr uint32_t kMouseAbsolute = 0x8000;

// (v x 65535 + 65534) / extent, unsigned: x = 0 on a 1024-wide screen
// gives 63, x = 1023 gives 65534. extent 0 gives 0.
uint32_t ScaleMouse(uint16_t v, uint32_t extent);

struct MouseInjection {
    uint32_t flags = 0;  // the command's flags byte + kMouseAbsolute
    uint32_t x = 0, y = 0;
};
// The mouse_event arguments for a command on a capture of width x height;
// false (the command ignored) when there is no capture (width or height 0).
bool ScaleMouseCommand(uint8_t buttons, uint16_t x, uint16_t y, uint32_t width, uint32_t height,
                       MouseInjection* out);

// ---- Cursor tracking ----
constexpr uint32_t kInjectionQuietMs = 500;  // no report this long after a mouse command
constexpr uint32_t kSettleMs = 50;           // pause before the first report after one
constexpr uint32_t kNoPosition = 0xFFFF;

class CursorEnv {
public:
    virtual ~CursorEnv() = default;
    virtual uint32_t NowMs() = 0;  // a millisecond tick (wraps)
    virtual void Sleep(uint32_t ms) = 0;
    virtual bool CursorPos(int32_t* x, int32_t* y) = 0;
};

// The pointer position reported to the viewer. OnMouseCommand runs on
// VieweeThread, Track on the changes thread, Reset on either.
class CursorTracker {
public:
    // Forget the last report and the last injection: the next pass reports.
    void Reset();
    // A mouse command arrived; when a capture exists it is injected now.
    void OnMouseCommand(uint32_t now_ms, bool capture_exists);
    // One pass: queues record 113 when the pointer moved and no mouse
    // command was injected within the last 500 ms. True when queued.
    bool Track(CursorEnv& env, RecordQueue& queue);

    uint32_t last_x() const { return last_x_; }
    uint32_t last_y() const { return last_y_; }

private:
    bool QuietSinceInjection(uint32_t now) const;

    std::atomic<uint32_t> last_injection_{0};
    std::atomic<uint32_t> last_x_{kNoPosition}, last_y_{kNoPosition};
    std::atomic<bool> reported_since_injection_{false};
};

// ---- Keys ----
constexpr uint32_t kRelayControlCode = 0x9C40A440;
constexpr const char* kRelayDeviceName = "\\\\.\\KeyRelay";
constexpr uint16_t kKeyUpBit = 0x8000;
constexpr uint8_t kScanReleaseBit = 0x80;
constexpr uint8_t kVkControl = 0x11, kVkAlt = 0x12, kVkDelete = 0x2E;
constexpr uint32_t kSecureAttentionGapMs = 50;

// The relay device's 5-byte input: u16 1, the scan code, two zero bytes.
std::array<uint8_t, 5> RelayInput(uint8_t scan_code);

class KeyOutput {
public:
    virtual ~KeyOutput() = default;
    virtual bool RelayOpen() = 0;
    // Opens the relay device; false when it does not exist.
    virtual bool OpenRelay() = 0;
    virtual void CloseRelay() = 0;
    // DeviceIoControl with RelayInput(scan_code); failures are not reported.
    virtual void RelayScan(uint8_t scan_code) = 0;
    virtual uint8_t MapVirtualKey(uint16_t virtual_key) = 0;  // map type 0
    virtual void KeybdEvent(uint8_t virtual_key, uint8_t scan_code, bool key_up) = 0;
    virtual void Sleep(uint32_t ms) = 0;
};

// A key command: to the relay device when it is open, else keybd_event
// with the low byte of the key code, the scan code MapVirtualKey gives for
// the key code without bit 15, and key-up when bit 15 is set.
void InjectKey(KeyOutput& out, uint16_t key_code, uint8_t scan_code);
// Control, Alt, Delete down through the relay device, 50 ms, the same with
// bit 7; the device is opened for it when closed (and closed again).
// False when the device cannot be opened (the sequence is then lost).
bool InjectSecureAttention(KeyOutput& out);

}  // namespace qv::agent
