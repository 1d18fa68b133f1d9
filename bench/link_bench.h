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
    kCall,      // the client makes a request and waits for its answer, one at a time
};

// kLibrary delivers on the library's packet-handle thread (the default
// dispatch mode); kLibraryApp on the client's main thread, which polls
// McuAgent_get_fd() and calls McuAgent_dispatch().
enum class Side { kLimit, kLibrary, kLibraryApp };

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
// The awaited request: the get request for the audio power, answered by
// the message of the same number with one byte, the power status, which
// alternates off and on with every answer (0 for the first).
constexpr uint8_t kCallId = 0x11;  // MCU_CMD_GET_AUDIO_POWER, MCU_MSG_RET_CUR_AUDIO_POWER_STATUS
constexpr int kCallAnswerPayload = 1;
// Round trips made before the measured ones, so that whatever is set up on
// first use exists before allocations are counted.
constexpr uint32_t kCallWarmUp = 16;

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
// send time carried in the payload; or round trips of calls.
struct LatencyLog {
    int64_t *samples = nullptr;  // room for `expected` values, allocated up front
    uint32_t expected = 0;
    uint32_t count = 0;

    void take(const uint8_t *payload, int64_t entry_ns) {
        int64_t sent;
        std::memcpy(&sent, payload, sizeof sent);
        add(entry_ns - sent);
    }
    void add(int64_t delay_ns) {
        if (count < expected) samples[count] = delay_ns;
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
    int64_t voluntary_switches;  // idle: over the window; latency: while the frames came
    int64_t allocations;     // heap allocations of the process while counting
    uint32_t counted;        // frames or calls those allocations were counted over
};

// Heap allocations of the whole client process (malloc, calloc, realloc,
// operator new), counted between start and stop.  Inbound sides count
// from the first frame after the first acknowledgement went out (the one
// set-up of a first request and a first delivery stays out) to the last
// frame; the call sides over the calls after the warm-up.
void start_counting_allocations();
int64_t stop_counting_allocations();  // -1: this build cannot count them

// Makes kCallWarmUp round trips, then `task.frames` timed ones into `log`,
// each after the task's pause, counting the allocations of the timed ones.
// round_trip(i) makes call number i and checks its answer; false stops the
// calls (it has put the reason in the result).
template <typename RoundTrip>
void timed_calls(const Task &task, LatencyLog &log, Result &r, RoundTrip &&round_trip) {
    const uint32_t total = kCallWarmUp + task.frames;
    for (uint32_t i = 0; i < total; ++i) {
        if (i == kCallWarmUp) start_counting_allocations();
        const struct timespec pause = {0, static_cast<long>(task.gap_us) * 1000};
        nanosleep(&pause, nullptr);
        const int64_t t0 = now_ns();
        if (!round_trip(i)) {
            stop_counting_allocations();
            return;
        }
        const int64_t t1 = now_ns();
        if (i >= kCallWarmUp) log.add(t1 - t0);
    }
    r.allocations = stop_counting_allocations();
    r.counted = task.frames;
}

// Inbound frames handled before allocations are counted: the first
// acknowledged one (every frame is acknowledged in the latency mode, none
// in a flood).
inline uint32_t frames_before_counting(uint32_t frames_per_ack) { return frames_per_ack ? frames_per_ack : 1; }

// Fills p50/p99/max from the samples (sorts them).
void summarise_latency(LatencyLog &log, Result &r);

// Runs one task on the client side, in a process of its own.  `ready` is
// called once the connection stands and frames may flow.
using ReadyFn = void (*)(void *);
Result run_library_side(const Task &task, ReadyFn ready, void *ready_arg);
Result run_limit_side(const Task &task, ReadyFn ready, void *ready_arg);

}  // namespace bench

#endif
