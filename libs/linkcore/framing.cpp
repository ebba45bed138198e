// Frame encoding and the incremental frame reader; see framing.h.
#include "libs/linkcore/framing.h"

#include <cstring>

namespace qv::link {

void EncodeFrame(const void* packet, std::size_t len, std::vector<uint8_t>* out) {
    out->push_back(static_cast<uint8_t>(len & 0xFF));
    out->push_back(static_cast<uint8_t>((len >> 8) & 0xFF));
    const auto* p = static_cast<const uint8_t*>(packet);
    out->insert(out->end(), p, p + len);
}

FrameReader::Result FrameReader::Next(const uint8_t** data, std::size_t* len) {
    std::size_t have = end_ - begin_;
    if (have < kFrameHeader) return Result::kNeedMore;
    std::size_t n = buf_[begin_] | (static_cast<std::size_t>(buf_[begin_ + 1]) << 8);
    if (n == 0 || n > max_len_) return Result::kMalformed;
    if (have < kFrameHeader + n) return Result::kNeedMore;
    *data = buf_.data() + begin_ + kFrameHeader;
    *len = n;
    begin_ += kFrameHeader + n;
    if (begin_ == end_) begin_ = end_ = 0;  // the packet stays in place until the next call
    return Result::kPacket;
}

bool FrameReader::HasPacket() const {
    std::size_t have = end_ - begin_;
    if (have < kFrameHeader) return false;
    std::size_t n = buf_[begin_] | (static_cast<std::size_t>(buf_[begin_ + 1]) << 8);
    return n == 0 || n > max_len_ || have >= kFrameHeader + n;
}

void FrameReader::Compact() {
    if (begin_ == 0) return;
    std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
}

}  // namespace qv::link
