// A viewer's connection to the agent's data endpoint, and the picture of
// the screen it builds.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "libs/linkcore/client.h"
#include "tools/rcconsole/rcproto.h"
#include "tools/rcconsole/screen_decoder.h"

namespace qv::rcc {

// One viewer connection on the data endpoint: connected, the agent's data
// packets taken in sequence and acknowledged (a copy is acknowledged again,
// a gap asks for a resend), the viewer's commands sent in numbered data
// packets that carry the last sequence taken as their acknowledgement.
// Waits end early once stop() says so (Ctrl-C, the page gone).
class DataSession {
public:
    enum class Got { kNothing, kPayload, kBroken, kDropped };
    using Clock = std::chrono::steady_clock;

    explicit DataSession(std::unique_ptr<link::Client> link, std::function<bool()> stop = {})
        : link_(std::move(link)), stop_(std::move(stop)) {}

    // Sends PT_CONNECT until the agent acknowledges it (three tries).
    // False when no acknowledgement came, or the link broke (broken()).
    bool Connect(int timeout_ms);
    // Sends the viewer's start packet: the colour depth and the console's name.
    bool StartViewing(unsigned bits, const std::string& name);
    // Sends the payload (commands) as the next data packet.
    bool Send(const Bytes& payload);

    // Waits up to wait_ms for a packet. kPayload: an in-sequence data
    // packet, whose payload is then at payload().
    Got Next(int wait_ms);
    const uint8_t* payload() const { return in_ + rc::kPacketHeader; }
    std::size_t payload_size() const { return static_cast<std::size_t>(n_) - rc::kPacketHeader; }
    bool queue_start() const { return (in_[3] & rc::kFlagQueueStart) != 0; }

    // Why the link ended (after kBroken or kDropped), in words.
    bool dropped() const { return dropped_; }
    bool broken() const { return broken_; }
    std::string Why() const;

    // Leaves (unless the agent dropped us or the link broke) and waits a
    // moment for the agent's acknowledgement.
    void Disconnect();

    uint64_t packets = 0, bytes = 0, gaps = 0;

private:
    bool Stopped() const { return stop_ && stop_(); }
    bool SendRaw(const Bytes& b) { return link_->Send(b.data(), b.size()); }

    std::unique_ptr<link::Client> link_;
    std::function<bool()> stop_;
    DataReceiver rx_;
    uint8_t next_sequence_ = 0;
    uint8_t in_[rc::kMaxPacket + 16] = {};
    int n_ = 0;
    bool dropped_ = false, broken_ = false;
};

// A viewer sees a black screen as a colour table and then nothing (see
// ScreenPicture::Complete); this long a silence after it means the screen
// is black.
constexpr int kQuietScreenMs = 2000;

// The viewer's picture of the screen, fed with the data packets.
struct ScreenPicture {
    ScreenDecoder screen;
    DataSession::Clock::time_point last_data = DataSession::Clock::now();

    void Feed(const DataSession& d) {
        screen.Feed(d.payload(), d.payload_size(), d.queue_start());
        last_data = DataSession::Clock::now();
    }
    // Whether the first whole screen is there. The agent sends only the
    // rows that differ from the zeroed copy both sides start with, so a
    // screen that is black throughout sends no row and no rectangle: once
    // the colour table came, no row did and nothing has arrived for
    // kQuietScreenMs, the zeroed picture is the screen.
    bool Complete() const {
        return screen.has_image() &&
               (screen.screen_complete() ||
                (screen.row_deltas() == 0 &&
                 DataSession::Clock::now() - last_data >= std::chrono::milliseconds(kQuietScreenMs)));
    }
};

}  // namespace qv::rcc
