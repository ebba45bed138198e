#include "tools/webconsole/browser_input.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/le_bytes.h"
#include "tools/rcconsole/view_input.h"

namespace qv::web {

namespace {

// Keys that are not a letter, digit or function key. The modifiers map to
// the side-less virtual keys every Windows version knows; the right shift
// keeps its own scan code.
struct NamedKey {
    const char* code;
    uint8_t vk;
    uint8_t scan;  // 0: ScanCodeOf(vk)
};
constexpr NamedKey kNamedKeys[] = {
    {"Backspace", 0x08, 0},    {"Tab", 0x09, 0},          {"Enter", 0x0D, 0},         {"NumpadEnter", 0x0D, 0},
    {"ShiftLeft", 0x10, 0},    {"ShiftRight", 0x10, 0x36}, {"ControlLeft", 0x11, 0},  {"ControlRight", 0x11, 0},
    {"AltLeft", 0x12, 0},      {"AltRight", 0x12, 0},     {"MetaLeft", 0x5B, 0},      {"MetaRight", 0x5C, 0},
    {"OSLeft", 0x5B, 0},       {"OSRight", 0x5C, 0},      {"ContextMenu", 0x5D, 0},   {"Pause", 0x13, 0},
    {"CapsLock", 0x14, 0},     {"Escape", 0x1B, 0},       {"Space", 0x20, 0},         {"PageUp", 0x21, 0},
    {"PageDown", 0x22, 0},     {"End", 0x23, 0},          {"Home", 0x24, 0},          {"ArrowLeft", 0x25, 0},
    {"ArrowUp", 0x26, 0},      {"ArrowRight", 0x27, 0},   {"ArrowDown", 0x28, 0},     {"PrintScreen", 0x2C, 0},
    {"Insert", 0x2D, 0},       {"Delete", 0x2E, 0},       {"NumpadMultiply", 0x6A, 0}, {"NumpadAdd", 0x6B, 0},
    {"NumpadSubtract", 0x6D, 0}, {"NumpadDecimal", 0x6E, 0}, {"NumpadDivide", 0x6F, 0}, {"NumLock", 0x90, 0},
    {"ScrollLock", 0x91, 0},   {"Semicolon", 0xBA, 0},    {"Equal", 0xBB, 0},         {"Comma", 0xBC, 0},
    {"Minus", 0xBD, 0},        {"Period", 0xBE, 0},       {"Slash", 0xBF, 0},         {"Backquote", 0xC0, 0},
    {"BracketLeft", 0xDB, 0},  {"Backslash", 0xDC, 0},    {"BracketRight", 0xDD, 0},  {"Quote", 0xDE, 0},
    {"IntlBackslash", 0xE2, 0x56},
};

// A whole number 1..hi after prefix ("F12" -> 12); 0 otherwise.
unsigned Suffix(const std::string& code, const char* prefix, unsigned hi) {
    const std::size_t n = std::strlen(prefix);
    if (code.size() <= n || code.size() > n + 2 || code.compare(0, n, prefix) != 0) return 0;
    unsigned v = 0;
    for (std::size_t i = n; i < code.size(); ++i) {
        if (code[i] < '0' || code[i] > '9') return 0;
        v = v * 10 + static_cast<unsigned>(code[i] - '0');
    }
    return v <= hi ? v : 0;
}

// A position on the screen from the event's number: rounded down, clamped.
bool Position(const nlohmann::json& e, const char* name, unsigned size, uint16_t* out) {
    const auto v = e.find(name);
    if (v == e.end() || !v->is_number()) return false;
    const double d = v->get<double>();
    const double hi = size ? size - 1.0 : 0xFFFF;
    *out = d > 0 ? static_cast<uint16_t>(std::floor(d < hi ? d : hi)) : 0;
    return true;
}

}  // namespace

bool KeyOfCode(const std::string& code, AgentKey* key) {
    uint8_t vk = 0, scan = 0;
    if (code.size() == 4 && code.compare(0, 3, "Key") == 0 && code[3] >= 'A' && code[3] <= 'Z') {
        vk = static_cast<uint8_t>(code[3]);
    } else if (code.size() == 6 && code.compare(0, 5, "Digit") == 0 && code[5] >= '0' && code[5] <= '9') {
        vk = static_cast<uint8_t>(code[5]);
    } else if (code.size() == 7 && code.compare(0, 6, "Numpad") == 0 && code[6] >= '0' && code[6] <= '9') {
        vk = static_cast<uint8_t>(0x60 + (code[6] - '0'));
    } else if (const unsigned f = Suffix(code, "F", 24)) {
        vk = static_cast<uint8_t>(0x70 + f - 1);
    } else {
        for (const NamedKey& k : kNamedKeys) {
            if (code == k.code) {
                vk = k.vk;
                scan = k.scan;
                break;
            }
        }
        if (!vk) return false;
    }
    key->vk = vk;
    key->scan = scan ? scan : rcc::ScanCodeOf(vk);
    return true;
}

bool InputPayloads(const nlohmann::json& events, unsigned width, unsigned height, std::vector<rcc::Bytes>* payloads,
                   std::string* error) {
    payloads->clear();
    if (!events.is_array()) {
        *error = "The input events (\"events\") are not a list.";
        return false;
    }
    if (events.size() > kMaxInputEvents) {
        *error = "At most " + std::to_string(kMaxInputEvents) + " input events are taken at a time.";
        return false;
    }
    for (const nlohmann::json& e : events) {
        if (!e.is_object()) continue;
        const auto t = e.find("t");
        if (t == e.end() || !t->is_string()) continue;
        const std::string& type = t->get_ref<const std::string&>();
        rcc::Bytes command;
        if (type == "key") {
            const auto code = e.find("code"), down = e.find("down");
            AgentKey k;
            if (code == e.end() || !code->is_string() || down == e.end() || !down->is_boolean() ||
                !KeyOfCode(code->get<std::string>(), &k))
                continue;
            if (down->get<bool>())
                rcc::AppendKey(&command, k.vk, k.scan);
            else
                rcc::AppendKey(&command, static_cast<uint16_t>(k.vk | rcc::kKeyReleased),
                               static_cast<uint8_t>(k.scan | 0x80));
        } else if (type == "move" || type == "down" || type == "up") {
            uint16_t x = 0, y = 0;
            if (!Position(e, "x", width, &x) || !Position(e, "y", height, &y)) continue;
            uint8_t flags = rcc::kMouseMove;
            if (type != "move") {
                const auto b = e.find("button");
                const int button = b != e.end() && b->is_number_integer() ? b->get<int>() : -1;
                if (button != 0 && button != 2) continue;
                const bool down = type == "down";
                flags |= button == 0 ? (down ? rcc::kMouseLeftDown : rcc::kMouseLeftUp)
                                     : (down ? rcc::kMouseRightDown : rcc::kMouseRightUp);
            }
            rcc::AppendMouse(&command, flags, x, y);
        } else if (type == "sas") {
            command.push_back(rc::kCmdSecureAttention);  // Ctrl+Alt+Del, which no browser hands to a page
        } else {
            continue;
        }
        rcc::AddCommand(payloads, command);
    }
    return true;
}

void HeldInput::Track(const rcc::Bytes& p) {
    for (std::size_t i = 0; i < p.size();) {
        if (p[i] == rc::kCmdKey && i + 4 <= p.size()) {
            const uint8_t vk = p[i + 1], scan = p[i + 3];
            const bool up = (p[i + 2] << 8 & rcc::kKeyReleased) != 0;
            const auto it = std::find_if(keys_.begin(), keys_.end(), [vk](const auto& k) { return k.first == vk; });
            if (up && it != keys_.end()) keys_.erase(it);
            if (!up && it == keys_.end()) keys_.emplace_back(vk, scan);
            i += 4;
        } else if (p[i] == rc::kCmdMouse && i + 6 <= p.size()) {
            const uint8_t flags = p[i + 1];
            x_ = le::Get16(&p[i + 2]);
            y_ = le::Get16(&p[i + 4]);
            if (flags & rcc::kMouseLeftDown) left_ = true;
            if (flags & rcc::kMouseLeftUp) left_ = false;
            if (flags & rcc::kMouseRightDown) right_ = true;
            if (flags & rcc::kMouseRightUp) right_ = false;
            i += 6;
        } else if (p[i] == rc::kCmdSecureAttention) {
            i += 1;
        } else {
            break;  // nothing else is sent from the page
        }
    }
}

std::vector<rcc::Bytes> HeldInput::Releases() const {
    std::vector<rcc::Bytes> payloads;
    rcc::Bytes command;
    if (left_ || right_) {
        rcc::AppendMouse(&command, static_cast<uint8_t>(rcc::kMouseMove | (left_ ? rcc::kMouseLeftUp : 0) |
                                                        (right_ ? rcc::kMouseRightUp : 0)),
                         x_, y_);
        rcc::AddCommand(&payloads, command);
    }
    for (auto it = keys_.rbegin(); it != keys_.rend(); ++it) {
        command.clear();
        rcc::AppendKey(&command, static_cast<uint16_t>(it->first | rcc::kKeyReleased),
                       static_cast<uint8_t>(it->second | 0x80));
        rcc::AddCommand(&payloads, command);
    }
    return payloads;
}

}  // namespace qv::web
