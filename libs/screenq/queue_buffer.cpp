#include "libs/screenq/queue_buffer.h"

namespace qv::screenq {

uint8_t* QueueBuffer::Begin(uint32_t size) {
    if (open_) return nullptr;
    const std::size_t pos = pos_.load();
    if (size > bytes_.size() - pos) return nullptr;
    open_ = true;
    reserved_ = size;
    return bytes_.data() + pos;
}

uint32_t QueueBuffer::End(uint32_t size) {
    if (!open_) return 0;
    const uint32_t n = size < reserved_ ? size : reserved_;
    open_ = false;
    reserved_ = 0;
    pos_ += n;
    return n;
}

}  // namespace qv::screenq
