// The portable core of screenq: one contiguous buffer of fixed capacity
// with a reservation at its end. No locking here: screenq_win.cpp guards
// every call with the named mutex; host tests and benchmarks with a mutex
// of their own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv::screenq {

constexpr std::size_t kQueueCapacity = 4u << 20;  // 4 MiB of queued screen data

class QueueBuffer {
public:
    explicit QueueBuffer(std::size_t capacity = kQueueCapacity) : bytes_(capacity) {}

    // size bytes at the end, or null when they do not fit or a reservation
    // is already open.
    uint8_t* Begin(uint32_t size);
    // Commits size bytes of the reservation (at most what was reserved; 0
    // withdraws it). Returns the bytes committed; 0 also when no
    // reservation was open.
    uint32_t End(uint32_t size);
    void Withdraw() { reserved_ = 0; open_ = false; }
    uint32_t Pos() const { return pos_.load(); }
    uint8_t* Data() { return bytes_.data(); }
    void Clear() { pos_ = 0; }
    bool ReservationOpen() const { return open_; }
    std::size_t capacity() const { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
    std::atomic<uint32_t> pos_{0};  // read by the consumer without the lock
    uint32_t reserved_ = 0;
    bool open_ = false;
};

}  // namespace qv::screenq
