// link_bench_limit.cpp - the reference side of the end-to-end benchmark:
// what a plain program on the same kind of socket does at best.  Inbound,
// one thread polls, reads large chunks and cuts frames out in place;
// outbound, each thread calls write() with a prebuilt frame; a call is a
// write() of the request and reads until its answer is whole.  It checks
// and acknowledges frames exactly as the library side's handlers do.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <thread>
#include <vector>

#include "link_bench.h"
#include "wire.h"

namespace bench {

namespace {

constexpr char kPath[] = "/tmp/mcu_agent";
constexpr std::size_t kReadSize = 64 * 1024;

int connect_agent() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, kPath, sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Ack {
    std::array<uint8_t, kAckSize> frame;
    Ack() { put_outbound(frame.data(), kAckId, nullptr, 0); }
};

void fail(Result &r, const char *what) {
    r.ok = 0;
    snprintf(r.error, sizeof r.error, "%s", what);
}

// The receive loop: poll, read a large chunk, cut the frames out where they
// lie, keep the cut-off rest for the next read.
template <typename OnFrame>
void receive_loop(int fd, Result &r, OnFrame &&on_frame, bool (*done)()) {
    std::vector<uint8_t> buffer(kReadSize);
    std::size_t have = 0;
    while (!done()) {
        struct pollfd p = {fd, POLLIN, 0};
        const int rc = poll(&p, 1, 120000);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return fail(r, "timed out before every frame arrived");
        const ssize_t n = read(fd, buffer.data() + have, buffer.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(r, "connection ended before every frame arrived");
        have += static_cast<std::size_t>(n);
        bool bad = false;
        const std::size_t used = cut_frames<kInboundLead0, kInboundLead1>(buffer.data(), have, &bad, on_frame);
        if (bad) return fail(r, "frame without lead bytes");
        std::memmove(buffer.data(), buffer.data() + used, have - used);
        have -= used;
    }
}

InboundCheck g_check;
LatencyLog g_latency;
bool check_done() { return g_check.done(); }
bool latency_done() { return g_latency.done(); }

struct Writer {
    pthread_barrier_t *start;
    int fd;
    const uint8_t *frame;
    std::size_t size;
    uint32_t requests;
    uint32_t failures = 0;
};

void *write_frames(void *arg) {
    Writer *w = static_cast<Writer *>(arg);
    pthread_barrier_wait(w->start);
    for (uint32_t i = 0; i < w->requests; ++i)
        w->failures += write(w->fd, w->frame, w->size) != static_cast<ssize_t>(w->size);
    return nullptr;
}

void *wait_forever(void *arg) {
    const int fd = *static_cast<int *>(arg);
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    return nullptr;
}

// Request/answer round trips on the plain socket: a write() of the
// request, then reads until its answer is whole.
void make_calls(int fd, const Task &task, Result &r) {
    uint8_t request[kFrameOverhead];
    put_outbound(request, kCallId, nullptr, 0);
    uint8_t buffer[512];
    timed_calls(task, g_latency, r, [&](uint32_t i) {
        if (write(fd, request, sizeof request) != static_cast<ssize_t>(sizeof request)) {
            fail(r, "write of the request failed");
            return false;
        }
        std::size_t have = 0;
        int answers = 0;
        uint8_t status = 0;
        bool bad = false;
        while (answers == 0 && !bad) {
            struct pollfd p = {fd, POLLIN, 0};
            const int rc = poll(&p, 1, 5000);
            if (rc < 0 && errno == EINTR) continue;
            if (rc <= 0) {
                fail(r, "no answer within 5 s");
                return false;
            }
            const ssize_t n = read(fd, buffer + have, sizeof buffer - have);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fail(r, "connection ended before the answer");
                return false;
            }
            have += static_cast<std::size_t>(n);
            have -= cut_frames<kInboundLead0, kInboundLead1>(buffer, have, &bad, [&](const uint8_t *frame) {
                ++answers;
                bad |= frame[4] != kCallId || frame[5] != kCallAnswerPayload;
                status = frame[kHeadSize];
            });
        }
        if (bad || answers != 1 || have != 0) {
            fail(r, "not one whole answer to the request");
            return false;
        }
        r.seq_errors += status != (i & 1);
        return true;
    });
}

int64_t cpu_ns(const struct rusage &u) {
    return (static_cast<int64_t>(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000000000 +
           (static_cast<int64_t>(u.ru_utime.tv_usec) + u.ru_stime.tv_usec) * 1000;
}

}  // namespace

Result run_limit_side(const Task &task, ReadyFn ready, void *ready_arg) {
    Result r{};
    r.ok = 1;
    const int fd = connect_agent();
    if (fd < 0) {
        fail(r, "cannot connect to the agent server");
        return r;
    }
    const Ack ack;
    auto send_ack = [&] {
        if (write(fd, ack.frame.data(), ack.frame.size()) != kAckSize) ++r.send_failures;
    };
    switch (task.mode) {
    case Mode::kFlood:
    case Mode::kBurst: {
        g_check.expected = task.frames;
        g_check.numbered = task.payload >= 4;
        if (task.mode == Mode::kBurst)
            g_check.frames_per_ack = static_cast<uint32_t>(task.burst_bytes / (task.payload + kFrameOverhead));
        const uint32_t count_from = frames_before_counting(g_check.frames_per_ack);
        ready(ready_arg);
        receive_loop(fd, r, [&](const uint8_t *frame) {
            if (g_check.take(frame + kHeadSize)) send_ack();
            if (g_check.count == count_from) start_counting_allocations();
            if (g_check.count == g_check.expected) {
                r.allocations = stop_counting_allocations();
                r.t_end_ns = now_ns();
            }
        }, check_done);
        r.count = g_check.count;
        r.seq_errors = g_check.seq_errors;
        r.counted = g_check.expected > count_from ? g_check.expected - count_from : 0;
        break;
    }
    case Mode::kLatency: {
        std::vector<int64_t> samples(task.frames);
        g_latency.samples = samples.data();
        g_latency.expected = task.frames;
        const uint32_t count_from = frames_before_counting(0);
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        ready(ready_arg);
        receive_loop(fd, r, [&](const uint8_t *frame) {
            const int64_t entry = now_ns();
            g_latency.take(frame + kHeadSize, entry);
            send_ack();
            if (g_latency.count == count_from) start_counting_allocations();
            if (g_latency.count == g_latency.expected) r.allocations = stop_counting_allocations();
        }, latency_done);
        getrusage(RUSAGE_SELF, &after);
        r.voluntary_switches = after.ru_nvcsw - before.ru_nvcsw;
        r.count = g_latency.count;
        summarise_latency(g_latency, r);
        r.counted = g_latency.expected > count_from ? g_latency.expected - count_from : 0;
        break;
    }
    case Mode::kCall: {
        std::vector<int64_t> samples(task.frames);
        g_latency.samples = samples.data();
        g_latency.expected = task.frames;
        ready(ready_arg);
        make_calls(fd, task, r);
        r.count = g_latency.count;
        summarise_latency(g_latency, r);
        break;
    }
    case Mode::kIdle: {
        int waiting_fd = fd;
        pthread_t waiter;
        pthread_create(&waiter, nullptr, wait_forever, &waiting_fd);
        pthread_detach(waiter);
        ready(ready_arg);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        std::this_thread::sleep_for(std::chrono::milliseconds(task.idle_ms));
        getrusage(RUSAGE_SELF, &after);
        r.cpu_ns = cpu_ns(after) - cpu_ns(before);
        r.voluntary_switches = after.ru_nvcsw - before.ru_nvcsw;
        break;  // the process ends with the waiter still blocked
    }
    case Mode::kOutbound: {
        std::vector<uint8_t> frame(static_cast<std::size_t>(task.payload) + kFrameOverhead);
        std::vector<uint8_t> payload(static_cast<std::size_t>(task.payload));
        for (int i = 0; i < task.payload; ++i) payload[i] = static_cast<uint8_t>(i);
        // The same command ids the library side's requests use.
        const uint8_t id = task.payload == 0 ? kAckId : 0xFD;  // MCU_CMD_SEND_MCAN_INFO
        put_outbound(frame.data(), id, payload.data(), static_cast<uint8_t>(task.payload));
        pthread_barrier_t start;
        pthread_barrier_init(&start, nullptr, static_cast<unsigned>(task.threads) + 1);
        std::vector<Writer> writers(static_cast<std::size_t>(task.threads));
        std::vector<pthread_t> ids(writers.size());
        for (std::size_t i = 0; i < writers.size(); ++i) {
            writers[i] = Writer{&start, fd, frame.data(), frame.size(), task.frames / static_cast<uint32_t>(task.threads)};
            pthread_create(&ids[i], nullptr, write_frames, &writers[i]);
        }
        ready(ready_arg);
        pthread_barrier_wait(&start);
        const int64_t t0 = now_ns();
        for (pthread_t id_ : ids) pthread_join(id_, nullptr);
        r.elapsed_ns = now_ns() - t0;
        for (const Writer &w : writers) {
            r.count += w.requests;
            r.send_failures += w.failures;
        }
        break;
    }
    }
    return r;
}

}  // namespace bench
