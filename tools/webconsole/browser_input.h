// The page's keyboard and mouse events (the events of a view.input request)
// turned into the agent's key and mouse commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/rcconsole/rcproto.h"

namespace qv::web {

// The most events one view.input request may carry (a page sends a few
// dozen at most between two of its flushes).
constexpr std::size_t kMaxInputEvents = 1024;

// A key of the browser (KeyboardEvent.code, US layout) as the agent's
// Windows virtual key and scan code; false for a code the agent has no key
// for.
struct AgentKey {
    uint8_t vk = 0, scan = 0;
};
bool KeyOfCode(const std::string& code, AgentKey* key);

// The commands for events (a JSON array of {"t":"move"|"down"|"up"|"key"|"sas",...};
// "sas" is the secure attention sequence, Ctrl+Alt+Del)
// on a screen of width x height pixels, in payloads the agent can read.
// Positions are clamped to the screen; events that are not understood (an
// unknown key code, a button other than left and right, a malformed event)
// are skipped: the rest still reaches the agent. False, with *error, only
// when events is not an array or holds more than kMaxInputEvents.
bool InputPayloads(const nlohmann::json& events, unsigned width, unsigned height, std::vector<rcc::Bytes>* payloads,
                   std::string* error);

// The keys and buttons the sent commands left pressed on the machine. The
// agent releases only Enter and Alt when a viewer leaves: a view that ends
// while the operator holds Ctrl (the page closed, the tab gone) would leave
// it down on the machine, so the console releases what is still pressed.
class HeldInput {
public:
    // Follows the commands of one payload as sent.
    void Track(const rcc::Bytes& payload);
    // The commands that release everything still pressed (none when nothing is).
    std::vector<rcc::Bytes> Releases() const;

private:
    std::vector<std::pair<uint8_t, uint8_t>> keys_;  // virtual key and scan code, in the order pressed
    bool left_ = false, right_ = false;
    uint16_t x_ = 0, y_ = 0;
};

}  // namespace qv::web
