// spill.h - the buffer behind the ring for bytes read while the ring was
// full and the packet-handle thread was blocked in a send.
//
// An agent server that writes a long stream before it reads anything, while
// the handlers answer every frame, would otherwise stall both sides: the
// handler blocks in send, the ring never drains, the receive thread stops
// reading, the server's write never returns.  So in that state the receive
// thread goes on reading into this spill (at most kSpillLimit bytes), which
// the packet-handle thread drains into the ring in order.  Its memory
// exists only while it is needed.
#ifndef MCU_AGENT_SPILL_H
#define MCU_AGENT_SPILL_H

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cstddef>

#include "client.h"
#include "ring.h"

namespace mcu_agent {

constexpr size_t kSpillLimit = 1 << 20;

// All under the link's mutex.
class Spill {
public:
    size_t size() const { return tail_ - head_; }
    bool empty() const { return head_ == tail_; }
    // Makes room for n more bytes; false when that would pass the limit or
    // memory is short.
    bool reserve(size_t n) {
        if (tail_ + n <= capacity_) return true;
        if (head_ > 0) memmove(data_, data_ + head_, size());
        tail_ -= head_;
        head_ = 0;
        if (tail_ + n <= capacity_) return true;
        const size_t want = std::min(kSpillLimit, std::max(capacity_ * 2, tail_ + n + 4096));
        if (tail_ + n > want) return false;
        char *grown = static_cast<char *>(realloc(data_, want));
        if (!grown) return false;
        data_ = grown;
        capacity_ = want;
        return true;
    }
    // After reserve(n).
    void append(const char *bytes, size_t n) {
        memcpy(data_ + tail_, bytes, n);
        tail_ += n;
    }
    // Moves what fits into the ring.  The memory stays: the receive thread
    // releases it once it reads into the ring again.
    void drain_into(RECEIVE_BUFFER_MSG *ring) {
        const int n = static_cast<int>(std::min<size_t>(size(), static_cast<size_t>(ring::room(ring))));
        if (n == 0) return;
        socket_receive_buffer_msg_push(ring, reinterpret_cast<unsigned char *>(data_ + head_), n);
        head_ += static_cast<size_t>(n);
        if (empty()) head_ = tail_ = 0;
    }
    bool holds_memory() const { return data_ != nullptr; }
    void release() {
        free(data_);
        data_ = nullptr;
        capacity_ = head_ = tail_ = 0;
    }

private:
    char *data_ = nullptr;
    size_t capacity_ = 0, head_ = 0, tail_ = 0;
};

}  // namespace mcu_agent

#endif  // MCU_AGENT_SPILL_H
