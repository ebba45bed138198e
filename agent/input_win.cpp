// rchost32's input side: the viewer's key, mouse and secure attention
// commands turned into local input, the keyboard relay device used while
// the input desktop is not "Default", and the pointer position reported
// back to the viewer (cursor tracking).
//
// Keys go through keybd_event on the "Default" desktop and as scan codes to
// the relay device elsewhere; without the device they fall back to
// keybd_event, and the secure attention sequence, which only the device can
// produce, is lost. Mouse commands are absolute, scaled to the capture.
#include <windows.h>

#include <atomic>

#include "agent/agent_win.h"

namespace qv::agent {
namespace {

HANDLE RealOpen() {
    return ::CreateFileA(kRelayDeviceName, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}
BOOL RealControl(HANDLE device, const uint8_t* input, DWORD size) {
    DWORD returned = 0;
    return ::DeviceIoControl(device, kRelayControlCode, const_cast<uint8_t*>(input), size, nullptr, 0, &returned,
                             nullptr);
}
void RealClose(HANDLE device) { ::CloseHandle(device); }

// Opened and closed by the changes thread, used by VieweeThread.
std::atomic<HANDLE> g_relay_device{nullptr};

class WindowsKeys final : public KeyOutput {
public:
    bool RelayOpen() override { return KeyRelayOpen(); }
    bool OpenRelay() override { return OpenKeyRelay(); }
    void CloseRelay() override { CloseKeyRelay(); }
    void RelayScan(uint8_t scan_code) override {
        const HANDLE h = g_relay_device;
        if (!h) return;
        const std::array<uint8_t, 5> input = RelayInput(scan_code);
        g_relay.control(h, input.data(), static_cast<DWORD>(input.size()));  // a failure loses the key
    }
    uint8_t MapVirtualKey(uint16_t virtual_key) override {
        return static_cast<uint8_t>(::MapVirtualKeyA(virtual_key, 0));
    }
    void KeybdEvent(uint8_t virtual_key, uint8_t scan_code, bool key_up) override {
        ::keybd_event(virtual_key, scan_code, key_up ? KEYEVENTF_KEYUP : 0, 0);
    }
    void Sleep(uint32_t ms) override { ::Sleep(ms); }
};

class WindowsCursor final : public CursorEnv {
public:
    uint32_t NowMs() override { return ::GetTickCount(); }
    void Sleep(uint32_t ms) override { ::Sleep(ms); }
    bool CursorPos(int32_t* x, int32_t* y) override {
        POINT p{};
        if (!::GetCursorPos(&p)) return false;
        *x = p.x;
        *y = p.y;
        return true;
    }
};

CursorTracker g_tracker;

class Input final : public InputSink {
public:
    void Key(uint16_t key_code, uint8_t scan_code) override { InjectKey(keys_, key_code, scan_code); }
    void Mouse(uint8_t buttons, uint16_t x, uint16_t y) override {
        uint32_t width = 0, height = 0;
        CaptureExtent(&width, &height);
        g_tracker.OnMouseCommand(::GetTickCount(), width && height);
        MouseInjection m;
        if (ScaleMouseCommand(buttons, x, y, width, height, &m))
            ::mouse_event(m.flags, m.x, m.y, 0, 0);
    }
    void SecureAttention() override {
        if (!InjectSecureAttention(keys_)) Log("Secure attention sequence lost: no keyboard relay device");
    }
    void ResetCursorTracking() override { g_tracker.Reset(); }

private:
    WindowsKeys keys_;
};

}  // namespace

RelayCalls g_relay = {RealOpen, RealControl, RealClose};

InputSink& AgentInput() {
    static Input input;
    return input;
}

bool OpenKeyRelay() {
    if (g_relay_device.load()) return true;
    const HANDLE h = g_relay.open();
    if (h == INVALID_HANDLE_VALUE || !h) return false;
    HANDLE none = nullptr;
    if (!g_relay_device.compare_exchange_strong(none, h)) g_relay.close(h);  // another thread was first
    return true;
}

void CloseKeyRelay() {
    if (const HANDLE h = g_relay_device.exchange(nullptr)) g_relay.close(h);
}

bool KeyRelayOpen() { return g_relay_device.load() != nullptr; }

void TrackCursor(RecordQueue& queue) {
    WindowsCursor env;
    g_tracker.Track(env, queue);
}

}  // namespace qv::agent
