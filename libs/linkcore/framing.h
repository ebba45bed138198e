// Frames of a TCP/IP session: each packet travels as a 2-byte little-endian
// length followed by exactly that many bytes, and nothing else (WIRE.md).
//
// FrameReader collects the bytes of one connection as they arrive and hands
// out whole packets. It owns a fixed buffer: the reader is told how much
// room is left and never takes more, so a peer cannot make it grow. A length
// of 0 or above LC_MAX_PACKET is a malformed frame: the reader reports it and
// the caller drops that peer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv::link {

constexpr std::size_t kMaxPacket = 1500;  // LC_MAX_PACKET
constexpr std::size_t kFrameHeader = 2;
// The largest frame a reader may be told to take: a packet of kMaxPacket
// bytes with the keyed sessions' header and tag around it.
constexpr std::size_t kMaxFramePayload = kMaxPacket + 32;

// Appends the frame of one packet (len must be 1..kMaxFramePayload) to out.
void EncodeFrame(const void* packet, std::size_t len, std::vector<uint8_t>* out);

class FrameReader {
public:
    enum class Result { kNeedMore, kPacket, kMalformed };

    // Frames longer than max_len (at most kMaxFramePayload) are malformed.
    explicit FrameReader(std::size_t max_len = kMaxPacket) : max_len_(max_len) {}
    void SetMaxLength(std::size_t max_len) { max_len_ = max_len; }

    // Where the next received bytes go, and how many fit.
    uint8_t* Room() { Compact(); return buf_.data() + end_; }
    std::size_t RoomSize() const { return buf_.size() - (end_ - begin_); }
    // Records that n bytes were written at Room().
    void Commit(std::size_t n) { end_ += n; }

    // Takes the next whole packet out of the buffer. On kPacket, *data and
    // *len describe it; they stay valid until the next call of any method.
    Result Next(const uint8_t** data, std::size_t* len);

    // True while any bytes are held (whole packets or an incomplete frame).
    bool Partial() const { return end_ > begin_; }
    // True when a whole packet (or a malformed header) waits to be taken.
    bool HasPacket() const;
    void Clear() { begin_ = end_ = 0; }

private:
    void Compact();

    std::size_t max_len_;
    std::array<uint8_t, 4 * (kMaxFramePayload + kFrameHeader)> buf_{};
    std::size_t begin_ = 0, end_ = 0;
};

}  // namespace qv::link
