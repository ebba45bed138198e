#include "tools/rcconsole/view_input.h"

#include <cstdlib>

namespace qv::rcc {

namespace {

constexpr uint8_t kVkShift = 0x10;

// Virtual key, scan code and whether shift is held, for each printable
// ASCII character on a US keyboard.
struct Stroke {
    uint8_t vk = 0;
    bool shift = false;
};

bool StrokeOf(char ch, Stroke* s) {
    static const char kPunct[] = "-=[];'`\\,./";
    static const char kShiftedPunct[] = "_+{}:\"~|<>?";
    static const uint8_t kPunctVk[] = {0xBD, 0xBB, 0xDB, 0xDD, 0xBA, 0xDE, 0xC0, 0xDC, 0xBC, 0xBE, 0xBF};
    static const char kShiftedDigits[] = ")!@#$%^&*(";
    if (ch >= 'a' && ch <= 'z') {
        *s = {static_cast<uint8_t>(ch - 'a' + 'A'), false};
    } else if (ch >= 'A' && ch <= 'Z') {
        *s = {static_cast<uint8_t>(ch), true};
    } else if (ch >= '0' && ch <= '9') {
        *s = {static_cast<uint8_t>(ch), false};
    } else if (ch == ' ') {
        *s = {0x20, false};
    } else {
        for (std::size_t i = 0; i < 10; ++i)
            if (kShiftedDigits[i] == ch) {
                *s = {static_cast<uint8_t>('0' + i), true};
                return true;
            }
        for (std::size_t i = 0; i < sizeof kPunctVk; ++i) {
            if (kPunct[i] == ch || kShiftedPunct[i] == ch) {
                *s = {kPunctVk[i], kShiftedPunct[i] == ch};
                return true;
            }
        }
        return false;
    }
    return true;
}

// A number 0..hi, hexadecimal with 0x or decimal.
bool Value(const std::string& text, unsigned long hi, unsigned long* out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, text.rfind("0x", 0) == 0 ? 16 : 10);
    if (*end || v > hi) return false;
    *out = v;
    return true;
}

void AddKey(std::vector<Bytes>* payloads, uint16_t code, uint8_t scan) {
    Bytes b;
    AppendKey(&b, code, scan);
    AddCommand(payloads, b);
}

}  // namespace

void AddCommand(std::vector<Bytes>* payloads, const Bytes& command) {
    if (payloads->empty() || payloads->back().size() + command.size() > kMaxViewerPayload) payloads->emplace_back();
    payloads->back().insert(payloads->back().end(), command.begin(), command.end());
}

void AppendKey(Bytes* payload, uint16_t key_code, uint8_t scan) {
    payload->insert(payload->end(), {rc::kCmdKey, static_cast<uint8_t>(key_code),
                                     static_cast<uint8_t>(key_code >> 8), scan});
}

void AppendMouse(Bytes* payload, uint8_t flags, uint16_t x, uint16_t y) {
    payload->insert(payload->end(), {rc::kCmdMouse, flags, static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8),
                                     static_cast<uint8_t>(y), static_cast<uint8_t>(y >> 8)});
}

uint8_t ScanCodeOf(uint8_t vk) {
    static const char kRows[] = "QWERTYUIOP";  // 0x10..
    static const char kHome[] = "ASDFGHJKL";   // 0x1E..
    static const char kLow[] = "ZXCVBNM";      // 0x2C..
    for (uint8_t i = 0; kRows[i]; ++i)
        if (kRows[i] == vk) return static_cast<uint8_t>(0x10 + i);
    for (uint8_t i = 0; kHome[i]; ++i)
        if (kHome[i] == vk) return static_cast<uint8_t>(0x1E + i);
    for (uint8_t i = 0; kLow[i]; ++i)
        if (kLow[i] == vk) return static_cast<uint8_t>(0x2C + i);
    if (vk >= '1' && vk <= '9') return static_cast<uint8_t>(vk - '1' + 0x02);
    switch (vk) {
    case '0': return 0x0B;
    case 0x08: return 0x0E;  // backspace
    case 0x09: return 0x0F;  // tab
    case 0x0D: return 0x1C;  // enter
    case 0x10: return 0x2A;  // shift
    case 0x11: return 0x1D;  // control
    case 0x12: return 0x38;  // alt
    case 0x13: return 0x45;  // pause
    case 0x14: return 0x3A;  // caps lock
    case 0x1B: return 0x01;  // escape
    case 0x20: return 0x39;  // space
    // The navigation keys share the numeric keypad's codes (the keyboard
    // sends them with an E0 prefix the one-byte code cannot carry).
    case 0x21: return 0x49;  // page up
    case 0x22: return 0x51;  // page down
    case 0x23: return 0x4F;  // end
    case 0x24: return 0x47;  // home
    case 0x25: return 0x4B;  // left
    case 0x26: return 0x48;  // up
    case 0x27: return 0x4D;  // right
    case 0x28: return 0x50;  // down
    case 0x2C: return 0x37;  // print screen
    case 0x2D: return 0x52;  // insert
    case 0x2E: return 0x53;  // delete
    case 0x5B: return 0x5B;  // left Windows key
    case 0x5C: return 0x5C;  // right Windows key
    case 0x5D: return 0x5D;  // menu
    case 0x60: return 0x52;  // keypad 0
    case 0x61: return 0x4F;
    case 0x62: return 0x50;
    case 0x63: return 0x51;
    case 0x64: return 0x4B;
    case 0x65: return 0x4C;
    case 0x66: return 0x4D;
    case 0x67: return 0x47;
    case 0x68: return 0x48;
    case 0x69: return 0x49;  // keypad 9
    case 0x6A: return 0x37;  // keypad *
    case 0x6B: return 0x4E;  // keypad +
    case 0x6D: return 0x4A;  // keypad -
    case 0x6E: return 0x53;  // keypad .
    case 0x6F: return 0x35;  // keypad /
    case 0x7A: return 0x57;  // F11
    case 0x7B: return 0x58;  // F12
    case 0x90: return 0x45;  // num lock
    case 0x91: return 0x46;  // scroll lock
    case 0xBA: return 0x27;
    case 0xBB: return 0x0D;
    case 0xBC: return 0x33;
    case 0xBD: return 0x0C;
    case 0xBE: return 0x34;
    case 0xBF: return 0x35;
    case 0xC0: return 0x29;
    case 0xDB: return 0x1A;
    case 0xDC: return 0x2B;
    case 0xDD: return 0x1B;
    case 0xDE: return 0x28;
    }
    if (vk >= 0x70 && vk <= 0x79) return static_cast<uint8_t>(vk - 0x70 + 0x3B);  // F1-F10
    return 0;
}

bool ViewCommandPayloads(const std::vector<std::string>& w, unsigned width, unsigned height,
                         std::vector<Bytes>* payloads, std::string* error) {
    payloads->clear();
    const std::string& cmd = w.empty() ? std::string() : w[0];
    auto position = [&](std::size_t at, uint16_t* x, uint16_t* y) {
        unsigned long vx = 0, vy = 0;
        if (!Value(w[at], 0xFFFF, &vx) || !Value(w[at + 1], 0xFFFF, &vy)) {
            *error = cmd + ": X and Y are pixel positions from 0 to 65535";
            return false;
        }
        if (width && height && (vx >= width || vy >= height)) {
            *error = cmd + ": " + w[at] + "," + w[at + 1] + " is outside the screen of " + std::to_string(width) +
                     " x " + std::to_string(height);
            return false;
        }
        *x = static_cast<uint16_t>(vx);
        *y = static_cast<uint16_t>(vy);
        return true;
    };
    if (cmd == "key" && (w.size() == 2 || w.size() == 3)) {
        unsigned long code = 0, scan = 0;
        if (!Value(w[1], 0xFFFF, &code) || (code & 0x7F00)) {
            *error = "key: CODE is a virtual-key code from 0x01 to 0xFF, plus 0x8000 for a release alone";
            return false;
        }
        if (w.size() == 3 ? !Value(w[2], 0xFF, &scan) : false) {
            *error = "key: SCAN is a scan code from 0 to 0xFF";
            return false;
        }
        if (w.size() == 2) scan = ScanCodeOf(static_cast<uint8_t>(code));
        if (code & kKeyReleased) {
            AddKey(payloads, static_cast<uint16_t>(code), static_cast<uint8_t>(scan | 0x80));
        } else {
            AddKey(payloads, static_cast<uint16_t>(code), static_cast<uint8_t>(scan));
            AddKey(payloads, static_cast<uint16_t>(code | kKeyReleased), static_cast<uint8_t>(scan | 0x80));
        }
        return true;
    }
    if (cmd == "text" && w.size() == 2 && !w[1].empty()) {
        for (char ch : w[1]) {
            Stroke s;
            if (!StrokeOf(ch, &s)) {
                *error = "text: only printable ASCII characters can be typed";
                payloads->clear();
                return false;
            }
            const uint8_t scan = ScanCodeOf(s.vk), shift_scan = ScanCodeOf(kVkShift);
            if (s.shift) AddKey(payloads, kVkShift, shift_scan);
            AddKey(payloads, s.vk, scan);
            AddKey(payloads, static_cast<uint16_t>(s.vk | kKeyReleased), static_cast<uint8_t>(scan | 0x80));
            if (s.shift) AddKey(payloads, kVkShift | kKeyReleased, static_cast<uint8_t>(shift_scan | 0x80));
        }
        return true;
    }
    uint16_t x = 0, y = 0;
    if (cmd == "move" && w.size() == 3) {
        if (!position(1, &x, &y)) return false;
        Bytes b;
        AppendMouse(&b, kMouseMove, x, y);
        AddCommand(payloads, b);
        return true;
    }
    if (cmd == "click" && (w.size() == 3 || w.size() == 4)) {
        const bool right = w.size() == 4 && w[3] == "right";
        if (w.size() == 4 && !right && w[3] != "left") {
            *error = "click: the button is left or right";
            return false;
        }
        if (!position(1, &x, &y)) return false;
        Bytes b;
        AppendMouse(&b, kMouseMove | (right ? kMouseRightDown : kMouseLeftDown), x, y);
        AppendMouse(&b, kMouseMove | (right ? kMouseRightUp : kMouseLeftUp), x, y);
        AddCommand(payloads, b);
        return true;
    }
    *error = "not a view command: key CODE [SCAN], text TEXT, move X Y, click X Y [left|right], png, quit";
    return false;
}

}  // namespace qv::rcc
