// fuzz_support.h - what both fuzz harnesses share: the failure report, a
// small deterministic random source driven by the input, and the ring's
// fill level read from its fields.
#ifndef MCU_AGENT_FUZZ_SUPPORT_H
#define MCU_AGENT_FUZZ_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "client.h"

// A broken invariant ends the run: libFuzzer keeps the input as a crash,
// the replay test fails.
#define FUZZ_CHECK(cond, ...)                                                      \
    do {                                                                           \
        if (!(cond)) {                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                     \
            std::fputc('\n', stderr);                                              \
            std::abort();                                                          \
        }                                                                          \
    } while (0)

namespace mcu_agent_fuzz {

// xorshift32: the same input always takes the same path.
class Rng {
public:
    explicit Rng(uint32_t seed) : state_(seed * 2654435761u + 0x9E3779B9u) {
        if (state_ == 0) state_ = 1;
    }
    uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    // 0 .. n-1
    uint32_t below(uint32_t n) { return next() % n; }

private:
    uint32_t state_;
};

// Bytes stored in the ring, from its positions and full flag.
inline int ring_stored(const RECEIVE_BUFFER_MSG &r) {
    if (r.fill_offset == r.handle_offset) return r.is_full_flag ? r.size : 0;
    const int d = r.fill_offset - r.handle_offset;
    return d < 0 ? d + r.size : d;
}

inline int ring_room(const RECEIVE_BUFFER_MSG &r) { return r.size - ring_stored(r); }

}  // namespace mcu_agent_fuzz

#endif  // MCU_AGENT_FUZZ_SUPPORT_H
