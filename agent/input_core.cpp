#include "agent/input_core.h"

namespace qv::agent {

uint32_t ScaleMouse(uint16_t v, uint32_t extent) {
    if (extent == 0) return 0;
    return (static_cast<uint32_t>(v) * 65535u + 65534u) / extent;
}

bool ScaleMouseCommand(uint8_t buttons, uint16_t x, uint16_t y, uint32_t width, uint32_t height,
                       MouseInjection* out) {
    if (width == 0 || height == 0) return false;
    out->flags = buttons + kMouseAbsolute;
    out->x = ScaleMouse(x, width);
    out->y = ScaleMouse(y, height);
    return true;
}

void CursorTracker::Reset() {
    last_injection_ = 0;
    last_x_ = kNoPosition;
    last_y_ = kNoPosition;
}

void CursorTracker::OnMouseCommand(uint32_t now_ms, bool capture_exists) {
    reported_since_injection_ = false;
    if (capture_exists) last_injection_ = now_ms;
}

bool CursorTracker::QuietSinceInjection(uint32_t now) const {
    return now - last_injection_.load() > kInjectionQuietMs;  // wraps with the tick
}

bool CursorTracker::Track(CursorEnv& env, RecordQueue& queue) {
    int32_t x = 0, y = 0;
    if (!env.CursorPos(&x, &y)) return false;
    const uint32_t ux = static_cast<uint16_t>(x), uy = static_cast<uint16_t>(y);
    if (ux == last_x_ && uy == last_y_) return false;
    if (!QuietSinceInjection(env.NowMs())) return false;
    // The first report after an injection waits for the pointer to settle,
    // then goes ahead unless another mouse command came meanwhile.
    if (!reported_since_injection_) {
        env.Sleep(kSettleMs);
        if (!QuietSinceInjection(env.NowMs())) return false;
    }
    if (!QueueCursor(queue, static_cast<int16_t>(ux), static_cast<int16_t>(uy))) return false;
    last_x_ = ux;
    last_y_ = uy;
    reported_since_injection_ = true;
    return true;
}

std::array<uint8_t, 5> RelayInput(uint8_t scan_code) { return {1, 0, scan_code, 0, 0}; }

void InjectKey(KeyOutput& out, uint16_t key_code, uint8_t scan_code) {
    if (out.RelayOpen()) {
        out.RelayScan(scan_code);
        return;
    }
    const uint8_t scan = out.MapVirtualKey(static_cast<uint16_t>(key_code & ~kKeyUpBit));
    out.KeybdEvent(static_cast<uint8_t>(key_code & 0xFF), scan, (key_code & kKeyUpBit) != 0);
}

bool InjectSecureAttention(KeyOutput& out) {
    bool opened_here = false;
    if (!out.RelayOpen()) {
        if (!out.OpenRelay()) return false;
        opened_here = true;
    }
    const uint8_t codes[3] = {out.MapVirtualKey(kVkControl), out.MapVirtualKey(kVkAlt), out.MapVirtualKey(kVkDelete)};
    for (uint8_t c : codes) out.RelayScan(c);
    out.Sleep(kSecureAttentionGapMs);
    for (uint8_t c : codes) out.RelayScan(static_cast<uint8_t>(c | kScanReleaseBit));
    if (opened_here) out.CloseRelay();
    return true;
}

}  // namespace qv::agent
