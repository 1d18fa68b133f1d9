// link_bench_library.cpp - the library side of the end-to-end benchmark:
// connects through McuAgent_client_init, counts and checks inbound frames
// in registered handlers (which acknowledge with a request, as an
// application would), sends requests from application threads, and waits
// for answers with McuAgent_call.  Handlers run on the library's
// packet-handle thread, or in the application's dispatch mode on the main
// thread, which polls McuAgent_get_fd() and calls McuAgent_dispatch().
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "link_bench.h"
#include "mcu_agent_api.h"

namespace bench {

namespace {

Mode g_mode;
InboundCheck g_check;
LatencyLog g_latency;
// Allocations are counted from the handler once this many frames went
// through, up to the last frame.
uint32_t g_count_from = 0;
int64_t g_allocations = 0;
int g_done_fd = -1;
std::atomic<int64_t> g_t_end{0};
std::atomic<uint32_t> g_ack_failures{0};

void ack() {
    if (McuAgent_get_audio_source() != kAckSize) g_ack_failures.fetch_add(1, std::memory_order_relaxed);
}

// Set by the handler before it wakes the main thread: the main thread
// reads the handler's counts after an acquire load of it.
std::atomic<bool> g_finished{false};

void signal_done() {
    g_finished.store(true, std::memory_order_release);
    const uint64_t one = 1;
    if (write(g_done_fd, &one, sizeof one) < 0) perror("eventfd");
}

// Called after each frame with the frames handled so far.
void count_allocations(uint32_t handled, uint32_t expected) {
    if (handled == g_count_from && handled < expected) start_counting_allocations();
    if (handled == expected && expected > g_count_from) g_allocations = stop_counting_allocations();
}

void on_frame(PACKET_MSG *packet) {
    if (g_mode == Mode::kLatency) {
        const int64_t entry = now_ns();
        g_latency.take(packet->data, entry);
        ack();
        count_allocations(g_latency.count, g_latency.expected);
        if (g_latency.count == g_latency.expected) signal_done();
        return;
    }
    if (g_check.take(packet->data)) ack();
    count_allocations(g_check.count, g_check.expected);
    if (g_check.count == g_check.expected) {
        g_t_end.store(now_ns());
        signal_done();
    }
}

MCU_MSG_HANDLE_REGISTER g_table[] = {
    {static_cast<MCU_MSG_ID>(kSmallId), on_frame},
    {static_cast<MCU_MSG_ID>(kBlockId), on_frame},
    {MCU_MSG_MAX_ID, nullptr},
};

bool wait_done(int timeout_ms) {
    struct pollfd p = {g_done_fd, POLLIN, 0};
    int rc;
    do {
        rc = poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc == 1 && g_finished.load(std::memory_order_acquire);
}

// The application's loop: waits for the library's descriptor and runs
// what waits on this thread, until the handler says the last frame came.
// Empty when done, else what went wrong.
const char *dispatch_until_done(int fd, int timeout_ms) {
    const int64_t deadline = now_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    while (!g_finished.load(std::memory_order_acquire)) {
        const int64_t left_ms = (deadline - now_ns()) / 1000000;
        if (left_ms <= 0) return "timed out before every frame arrived";
        struct pollfd p = {fd, POLLIN, 0};
        const int rc = poll(&p, 1, static_cast<int>(left_ms));
        if (rc < 0 && errno != EINTR) return "poll on McuAgent_get_fd() failed";
        if (rc <= 0) continue;
        if (p.revents & (POLLERR | POLLNVAL)) return "McuAgent_get_fd() reported an error";
        if (McuAgent_dispatch(64) < 0) return "McuAgent_dispatch failed";
    }
    return "";
}

int64_t cpu_ns(const struct rusage &u) {
    return (static_cast<int64_t>(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000000000 +
           (static_cast<int64_t>(u.ru_utime.tv_usec) + u.ru_stime.tv_usec) * 1000;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct Sender {
    pthread_barrier_t *start;
    uint32_t requests;
    int payload;
    uint32_t failures = 0;
};

void *send_requests(void *arg) {
    Sender *s = static_cast<Sender *>(arg);
    MCAN_DATA_INFO block{};
    block.size = static_cast<uint8_t>(s->payload);
    for (int i = 0; i < s->payload; ++i) block.data[i] = static_cast<uint8_t>(i);
    const int want = s->payload + 7;
    pthread_barrier_wait(s->start);
    if (s->payload == 0) {
        for (uint32_t i = 0; i < s->requests; ++i) s->failures += McuAgent_get_audio_source() != want;
    } else {
        for (uint32_t i = 0; i < s->requests; ++i) s->failures += McuAgent_send_mcan_info(&block) != want;
    }
    return nullptr;
}

void fail(Result &r, const char *what) {
    r.ok = 0;
    snprintf(r.error, sizeof r.error, "%s", what);
}

void fail_errno(Result &r, const char *what) {
    r.ok = 0;
    snprintf(r.error, sizeof r.error, "%s: %s", what, strerror(errno));
}

// Awaited answers: every answer must be the audio power message with the
// status the server sends for that call.
void make_calls(const Task &task, Result &r) {
    PACKET_MSG answer;
    timed_calls(task, g_latency, r, [&](uint32_t i) {
        const MCU_AGENT_CALL_RESULT rc = McuAgent_call(McuAgent_get_audio_power, 5000, &answer);
        if (rc != MCU_AGENT_CALL_OK) {
            r.ok = 0;
            snprintf(r.error, sizeof r.error, "McuAgent_call, call %u: %s", i + 1, McuAgent_call_result_text(rc));
            return false;
        }
        uint32_t status;
        std::memcpy(&status, answer.data + offsetof(POWER_INFO, power_status), sizeof status);
        r.seq_errors += answer.mcu_msg_id != static_cast<MCU_MSG_ID>(kCallId) || status != (i & 1);
        return true;
    });
}

}  // namespace

Result run_library_side(const Task &task, ReadyFn ready, void *ready_arg) {
    Result r{};
    r.ok = 1;
    g_mode = task.mode;
    g_done_fd = eventfd(0, EFD_CLOEXEC);
    std::vector<int64_t> samples;
    if (task.mode == Mode::kLatency || task.mode == Mode::kCall) {
        samples.resize(task.frames);
        g_latency.samples = samples.data();
        g_latency.expected = task.frames;
        g_count_from = frames_before_counting(0);
    } else {
        g_check.expected = task.frames;
        g_check.numbered = task.payload >= 4;
        if (task.mode == Mode::kBurst)
            g_check.frames_per_ack = static_cast<uint32_t>(task.burst_bytes / (task.payload + 7));
        g_count_from = frames_before_counting(g_check.frames_per_ack);
    }
    const bool application = task.side == Side::kLibraryApp;
    if (application && McuAgent_set_dispatch_mode(MCU_AGENT_DISPATCH_APPLICATION) != 0) {
        fail_errno(r, "McuAgent_set_dispatch_mode");
        return r;
    }
    if (!McuAgent_client_init(g_table)) {
        fail(r, "McuAgent_client_init failed");
        return r;
    }
    const int dispatch_fd = application ? McuAgent_get_fd() : -1;
    if (application && dispatch_fd < 0) {
        fail_errno(r, "McuAgent_get_fd");
        return r;
    }
    // Waits until the handler saw the last frame: on the eventfd, or in the
    // application's dispatch mode by dispatching.
    auto until_done = [&] {
        const char *error = application ? dispatch_until_done(dispatch_fd, 120000)
                                        : wait_done(120000) ? "" : "timed out before every frame arrived";
        if (*error) fail(r, error);
    };
    switch (task.mode) {
    case Mode::kFlood:
    case Mode::kBurst:
        ready(ready_arg);
        until_done();
        r.count = g_check.count;
        r.seq_errors = g_check.seq_errors;
        r.t_end_ns = g_t_end.load();
        r.allocations = g_allocations;
        r.counted = g_check.expected > g_count_from ? g_check.expected - g_count_from : 0;
        break;
    case Mode::kLatency: {
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        ready(ready_arg);
        until_done();
        getrusage(RUSAGE_SELF, &after);
        r.voluntary_switches = after.ru_nvcsw - before.ru_nvcsw;
        r.count = g_latency.count;
        summarise_latency(g_latency, r);
        r.allocations = g_allocations;
        r.counted = g_latency.expected > g_count_from ? g_latency.expected - g_count_from : 0;
        break;
    }
    case Mode::kCall:
        if (application) {
            fail(r, "calls are measured with the library's own dispatch only");
            break;
        }
        ready(ready_arg);
        make_calls(task, r);
        r.count = g_latency.count;
        summarise_latency(g_latency, r);
        break;
    case Mode::kIdle: {
        ready(ready_arg);
        sleep_ms(200);  // let start-up settle
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        sleep_ms(task.idle_ms);
        getrusage(RUSAGE_SELF, &after);
        r.cpu_ns = cpu_ns(after) - cpu_ns(before);
        r.voluntary_switches = after.ru_nvcsw - before.ru_nvcsw;
        break;
    }
    case Mode::kOutbound: {
        pthread_barrier_t start;
        pthread_barrier_init(&start, nullptr, static_cast<unsigned>(task.threads) + 1);
        std::vector<Sender> senders(static_cast<std::size_t>(task.threads));
        std::vector<pthread_t> ids(senders.size());
        for (std::size_t i = 0; i < senders.size(); ++i) {
            senders[i] = Sender{&start, task.frames / static_cast<uint32_t>(task.threads), task.payload};
            pthread_create(&ids[i], nullptr, send_requests, &senders[i]);
        }
        ready(ready_arg);
        pthread_barrier_wait(&start);
        const int64_t t0 = now_ns();
        for (pthread_t id : ids) pthread_join(id, nullptr);
        r.elapsed_ns = now_ns() - t0;
        for (const Sender &s : senders) {
            r.count += s.requests;
            r.send_failures += s.failures;
        }
        break;
    }
    }
    r.send_failures += g_ack_failures.load();
    return r;
}

}  // namespace bench
