// link_bench.h - what the end-to-end benchmark's agent server and its two
// client sides (the library, and the raw-socket loop it is measured
// against) agree on: the measurements, the frames they exchange and what a
// client side reports back.
#ifndef MCU_AGENT_BENCH_LINK_BENCH_H
#define MCU_AGENT_BENCH_LINK_BENCH_H

#include <time.h>

#include <cstdint>
#include <cstring>

namespace bench {

enum class Mode {
    kFlood,     // the server writes every frame as fast as it can
    kBurst,     // the server writes a burst, then waits for the client's acknowledgement
    kLatency,   // one timestamped frame at a time, acknowledged
    kIdle,      // the connection stands and nothing happens
    kOutbound,  // the client sends requests, the server drains them
};

enum class Side { kLimit, kLibrary };

struct Task {
    Mode mode;
    Side side;
    uint32_t frames;      // frames in or out; latency samples
    int payload;          // payload length of the measured frames
    int threads;          // outbound senders
    int burst_bytes;      // upper bound of one burst
    int idle_ms;          // idle window
    int gap_us;           // latency: pause before each frame
};

// Message ids of the measured inbound frames: one whose rule keeps P0 in
// data[0], and one whose rule copies the payload as it is.
constexpr uint8_t kSmallId = 0x21;  // MCU_MSG_RET_CUR_AUDIO_SOURCE
constexpr uint8_t kBlockId = 0x23;  // MCU_MSG_RET_AUDIO_SETTING_INFO
// The acknowledgement: the 7-byte request for the audio source.
constexpr uint8_t kAckId = 0x21;
constexpr int kAckSize = 7;
constexpr int kLatencyPayload = 12;  // send time (8 bytes), sequence number (4)

inline uint8_t inbound_id(int payload) { return payload <= 1 ? kSmallId : kBlockId; }

inline int64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Payload of inbound frame number `seq`: a 1-byte payload carries the low
// byte of the number, a longer one the whole number in its first 4 bytes.
inline void fill_payload(uint8_t *payload, int length, uint32_t seq) {
    for (int i = 0; i < length; ++i) payload[i] = static_cast<uint8_t>(seq * 7 + i);
    if (length >= 4)
        std::memcpy(payload, &seq, sizeof seq);
    else if (length >= 1)
        payload[0] = static_cast<uint8_t>(seq);
}

// Checks the sequence numbers of inbound frames and says when an
// acknowledgement is due.  Used identically by both client sides.
struct InboundCheck {
    uint32_t expected = 0;
    uint32_t frames_per_ack = 0;  // 0: no acknowledgements
    bool numbered = false;        // payload carries the whole number
    uint32_t count = 0;
    uint32_t seq_errors = 0;

    // Takes one frame's payload; true when an acknowledgement is due.
    bool take(const uint8_t *payload) {
        uint32_t seq;
        uint32_t want = count;
        if (numbered) {
            std::memcpy(&seq, payload, sizeof seq);
        } else {
            seq = payload[0];
            want &= 0xFF;
        }
        seq_errors += seq != want;
        ++count;
        return frames_per_ack != 0 && (count % frames_per_ack == 0 || count == expected);
    }
    bool done() const { return count >= expected; }
};

// One-way delays of latency frames: handler entry minus the server's
// send time carried in the payload.
struct LatencyLog {
    int64_t *samples = nullptr;  // room for `expected` values, allocated up front
    uint32_t expected = 0;
    uint32_t count = 0;

    void take(const uint8_t *payload, int64_t entry_ns) {
        int64_t sent;
        std::memcpy(&sent, payload, sizeof sent);
        if (count < expected) samples[count] = entry_ns - sent;
        ++count;
    }
    bool done() const { return count >= expected; }
};

// What a client side reports to the server process when it is done.
struct Result {
    int ok;
    char error[160];
    uint32_t count;          // frames handled or requests sent
    uint32_t seq_errors;     // frames out of sequence
    uint32_t send_failures;  // sends that did not write the whole frame
    int64_t t_end_ns;        // inbound: when the last frame was handled
    int64_t elapsed_ns;      // outbound: first send to last return
    int64_t p50_ns, p99_ns, max_ns;
    int64_t cpu_ns;          // idle: CPU time of the whole process
    int64_t voluntary_switches;
};

// Fills p50/p99/max from the samples (sorts them).
void summarise_latency(LatencyLog &log, Result &r);

// Runs one task on the client side, in a process of its own.  `ready` is
// called once the connection stands and frames may flow.
using ReadyFn = void (*)(void *);
Result run_library_side(const Task &task, ReadyFn ready, void *ready_arg);
Result run_limit_side(const Task &task, ReadyFn ready, void *ready_arg);

}  // namespace bench

#endif
