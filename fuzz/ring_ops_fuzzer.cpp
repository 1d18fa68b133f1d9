// ring_ops_fuzzer.cpp - the receive ring's operations called in any order
// with any sizes, against a model: a plain byte queue of 2048 bytes that
// cuts inbound frames the simple way.
//
// The input is a program of one-byte operations, each followed by its
// operands:
//   op % 8 = 0..2  push n bytes, n = next byte, the bytes follow
//   op % 8 = 3     push n bytes, n = next two bytes % 2200 (past the
//                  capacity too), the bytes taken cyclically from the input
//   op % 8 = 4, 5  pop one frame
//   op % 8 = 6     pop until nothing is left to pop
//   op % 8 = 7     free the ring (op >= 128: push and pop on the freed
//                  ring, which must refuse), init it again and move its
//                  empty positions to the next two bytes % 2048
// After every operation the ring must match the model: results, popped
// bytes, nothing written past a popped frame or by a failed pop, the
// stored bytes themselves, and the position and flag invariants.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "client.h"
#include "fuzz_support.h"
#include "wire.h"

using namespace mcu_agent_fuzz;

namespace {

constexpr int kCapacity = RECEIVE_BUFFER_MSG_SIZE;
constexpr int kLargestPush = 2200;
constexpr uint8_t kLead0 = mcu_agent::wire::kInboundLead0;
constexpr uint8_t kLead1 = mcu_agent::wire::kInboundLead1;
constexpr uint8_t kAreaCanary = 0x5A;

// The model ring: the stored bytes in order.
class Model {
public:
    int push(const uint8_t *bytes, int n) {
        if (!allocated || n > kCapacity || n > kCapacity - static_cast<int>(stored.size())) return -1;
        stored.insert(stored.end(), bytes, bytes + n);
        return 0;
    }

    // A frame begins with 0xAB 0xBA and takes L + 7 bytes, of which id, L
    // and the payload come out.  Bytes that do not begin a frame are
    // dropped up to the next 0xAB 0xBA (or a last 0xAB, which may begin
    // one).
    int pop(std::vector<uint8_t> &out) {
        if (!allocated) return -1;
        for (;;) {
            const std::size_t s = stored.size();
            if (s == 0) return -1;
            if (begins_frame(0)) {
                using namespace mcu_agent::wire;
                if (s < static_cast<std::size_t>(kHeadSize)) return -1;
                const std::size_t length = stored[kLengthOffset];
                if (s < length + kFrameOverhead) return -1;
                out.assign(stored.begin() + kIdOffset, stored.begin() + kHeadSize + static_cast<std::ptrdiff_t>(length));
                stored.erase(stored.begin(), stored.begin() + kFrameOverhead + static_cast<std::ptrdiff_t>(length));
                return static_cast<int>(length + 2);
            }
            std::size_t skip = 1;
            while (skip < s && !begins_frame(skip)) ++skip;
            stored.erase(stored.begin(), stored.begin() + static_cast<std::ptrdiff_t>(skip));
        }
    }

    std::deque<uint8_t> stored;
    bool allocated = true;

private:
    bool begins_frame(std::size_t at) const {
        return stored[at] == kLead0 && (at + 1 == stored.size() || stored[at + 1] == kLead1);
    }
};

// Reads operands from the input; past its end every byte reads as 0.
class Program {
public:
    Program(const uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    int word() {
        const int high = byte();
        return high << 8 | byte();
    }
    // n bytes for a push: from the input while it lasts, then the input
    // again from its start.
    void bytes(std::vector<uint8_t> &out, std::size_t n) {
        out.resize(n);
        for (std::size_t i = 0; i < n; ++i) out[i] = at_ < size_ ? data_[at_++] : data_[i % size_];
    }
    // n bytes taken cyclically from the input, without consuming it.
    void cyclic(std::vector<uint8_t> &out, std::size_t n) const {
        out.resize(n);
        for (std::size_t i = 0; i < n; ++i) out[i] = data_[(at_ + i) % size_];
    }

private:
    const uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void check_matches(const RECEIVE_BUFFER_MSG &ring, const Model &model, std::size_t step) {
    if (!model.allocated) {
        FUZZ_CHECK(ring.buffer == nullptr, "step %zu: freed ring keeps its storage", step);
        return;
    }
    FUZZ_CHECK(ring.size == kCapacity, "step %zu: capacity %d", step, ring.size);
    FUZZ_CHECK(ring.fill_offset >= 0 && ring.fill_offset < kCapacity, "step %zu: fill_offset %d", step,
               ring.fill_offset);
    FUZZ_CHECK(ring.handle_offset >= 0 && ring.handle_offset < kCapacity, "step %zu: handle_offset %d", step,
               ring.handle_offset);
    FUZZ_CHECK(ring.is_full_flag <= 1, "step %zu: is_full_flag %u", step, ring.is_full_flag);
    FUZZ_CHECK(!ring.is_full_flag || ring.fill_offset == ring.handle_offset, "step %zu: full flag with %d != %d",
               step, ring.fill_offset, ring.handle_offset);
    const int stored = ring_stored(ring);
    FUZZ_CHECK(stored == static_cast<int>(model.stored.size()), "step %zu: ring holds %d bytes, model %zu", step,
               stored, model.stored.size());
    // The stored bytes, in two pieces when they wrap.
    const int head = std::min(stored, kCapacity - ring.handle_offset);
    const unsigned char *from = ring.buffer + ring.handle_offset;
    FUZZ_CHECK(std::equal(from, from + head, model.stored.begin()) &&
                   std::equal(ring.buffer, ring.buffer + (stored - head), model.stored.begin() + head),
               "step %zu: the stored bytes differ from the model's", step);
}

void pop_once(RECEIVE_BUFFER_MSG &ring, Model &model, std::size_t step, bool *popped) {
    static char *area = new char[RECEIVE_BUFFER_MSG_MAX_POP];
    static std::vector<uint8_t> want;
    std::memset(area, kAreaCanary, RECEIVE_BUFFER_MSG_MAX_POP);
    socket_receive_buffer_msg_lock(&ring);
    const int n = socket_receive_buffer_msg_pop(&ring, area);
    socket_receive_buffer_msg_unlock(&ring);
    const int expected = model.pop(want);
    FUZZ_CHECK(n == expected, "step %zu: pop returned %d, model %d", step, n, expected);
    const int written = n < 0 ? 0 : n;
    if (n > 0)
        FUZZ_CHECK(std::memcmp(area, want.data(), static_cast<std::size_t>(n)) == 0, "step %zu: popped bytes differ",
                   step);
    for (int i = written; i < RECEIVE_BUFFER_MSG_MAX_POP; ++i)
        FUZZ_CHECK(static_cast<uint8_t>(area[i]) == kAreaCanary, "step %zu: pop of %d wrote area[%d]", step, n, i);
    if (popped) *popped = n >= 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Refused pushes and skipped garbage print lines; none is checked here.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    RECEIVE_BUFFER_MSG ring{};
    FUZZ_CHECK(socket_receive_buffer_msg_init(&ring) == 0, "ring init failed");
    Model model;
    Program program(data, size);
    std::vector<uint8_t> bytes;

    for (std::size_t step = 0; !program.done(); ++step) {
        const uint8_t op = program.byte();
        switch (op % 8) {
        case 0:
        case 1:
        case 2:
        case 3: {
            if (op % 8 == 3) {
                const int n = program.word() % kLargestPush;
                program.cyclic(bytes, static_cast<std::size_t>(n));
            } else {
                program.bytes(bytes, program.byte());
            }
            const int n = static_cast<int>(bytes.size());
            socket_receive_buffer_msg_lock(&ring);
            const int rc = socket_receive_buffer_msg_push(&ring, bytes.data(), n);
            socket_receive_buffer_msg_unlock(&ring);
            const int expected = model.push(bytes.data(), n);
            FUZZ_CHECK(rc == expected, "step %zu: push of %d returned %d, model %d", step, n, rc, expected);
            break;
        }
        case 4:
        case 5:
            pop_once(ring, model, step, nullptr);
            break;
        case 6: {
            bool popped = true;
            while (popped) pop_once(ring, model, step, &popped);
            break;
        }
        case 7: {
            FUZZ_CHECK(socket_receive_buffer_msg_free(&ring) == 0, "step %zu: free failed", step);
            model.allocated = false;
            model.stored.clear();
            check_matches(ring, model, step);
            if (op >= 128) {
                uint8_t one = kLead0;
                FUZZ_CHECK(socket_receive_buffer_msg_push(&ring, &one, 1) == -1, "step %zu: push on a freed ring", step);
                pop_once(ring, model, step, nullptr);
                FUZZ_CHECK(socket_receive_buffer_msg_free(&ring) == 1, "step %zu: second free", step);
            }
            pthread_mutex_destroy(&ring.buffer_mutex);
            FUZZ_CHECK(socket_receive_buffer_msg_init(&ring) == 0, "step %zu: init failed", step);
            ring.fill_offset = ring.handle_offset = program.word() % kCapacity;
            model.allocated = true;
            break;
        }
        }
        check_matches(ring, model, step);
    }
    socket_receive_buffer_msg_free(&ring);
    pthread_mutex_destroy(&ring.buffer_mutex);
    return 0;
}
