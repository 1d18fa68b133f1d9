// link_bench.cpp - the end-to-end benchmark: this process is the agent
// server on the library's socket path; for every measurement and
// repetition it starts a client process, either the library (delivering
// on its own thread, or on the application's thread in the application's
// dispatch mode) or the plain raw-socket loop it is measured against, runs
// the measurement with it, and finally prints both sides and their ratio
// in one table, with the heap allocations the client processes made per
// frame and per call while measured.
//
// It is a benchmark, not a test: it reports figures and exits 0 whatever
// they are.  A run that fails (a client that crashed or timed out) is
// reported on standard error and left out of the figures; the program
// exits 1 only when it cannot run at all (the socket path is taken).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "link_bench.h"
#include "wire.h"

namespace bench {

void summarise_latency(LatencyLog &log, Result &r) {
    const uint32_t n = std::min(log.count, log.expected);
    if (n == 0) return;
    std::sort(log.samples, log.samples + n);
    r.p50_ns = log.samples[n / 2];
    r.p99_ns = log.samples[std::min<uint32_t>(n - 1, static_cast<uint32_t>(n * 0.99))];
    r.max_ns = log.samples[n - 1];
}

namespace {

constexpr char kPath[] = "/tmp/mcu_agent";

struct Options {
    int reps = 3;
    bool quick = false;
    std::string filter;
    int sides = 7;  // bit 0: the limit, bit 1: the library, bit 2: the library in the application's dispatch mode
};

// ---- socket plumbing ---------------------------------------------------

bool wait_readable(int fd, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    for (;;) {
        const int rc = poll(&p, 1, timeout_ms);
        if (rc < 0 && errno == EINTR) continue;
        return rc == 1;
    }
}

bool write_all(int fd, const uint8_t *bytes, std::size_t size) {
    while (size) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool read_exact(int fd, void *to, std::size_t size, int timeout_ms) {
    auto *at = static_cast<uint8_t *>(to);
    while (size) {
        if (!wait_readable(fd, timeout_ms)) return false;
        const ssize_t n = read(fd, at, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int listen_agent() {
    // Refuse to take the path from a server that is running: other
    // programs on this machine may be using it.
    const int probe = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, kPath, sizeof address.sun_path - 1);
    const bool busy = connect(probe, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0;
    close(probe);
    if (busy) {
        fprintf(stderr, "another agent server listens on %s; run the benchmark in a private /tmp (scripts/bench.sh does)\n",
                kPath);
        return -1;
    }
    unlink(kPath);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
        perror(kPath);
        return -1;
    }
    return fd;
}

// ---- one run: a client process and the server's part -------------------

struct Run {
    bool ok = false;
    std::string error;
    Result client{};
    double value = 0;      // the figure: frames or requests per second, ns, ...
    uint32_t lost = 0;     // inbound frames that never arrived or arrived out of order
    uint32_t broken = 0;   // outbound frames that arrived cut, interleaved or corrupt
};

void signal_ready(void *arg) {
    const char r = 'R';
    if (write(*static_cast<int *>(arg), &r, 1) != 1) _exit(3);
}

// Inbound frames prebuilt for the flood and burst modes, reused across
// runs of the same shape.
struct Stream {
    int payload = -1;
    uint32_t frames = 0;
    std::vector<uint8_t> bytes;
};

const Stream &stream_for(uint32_t frames, int payload) {
    static Stream s;
    if (s.payload == payload && s.frames == frames) return s;
    s.payload = payload;
    s.frames = frames;
    s.bytes.assign(static_cast<std::size_t>(frames) * (payload + kFrameOverhead), 0);
    std::vector<uint8_t> p(static_cast<std::size_t>(payload));
    uint8_t *at = s.bytes.data();
    for (uint32_t i = 0; i < frames; ++i) {
        fill_payload(p.data(), payload, i);
        at += put_inbound(at, inbound_id(payload), p.data(), static_cast<uint8_t>(payload));
    }
    return s;
}

// Reads outbound frames until `frames` have arrived; counts those that are
// not whole.
uint32_t drain_outbound(int conn, uint32_t frames, uint32_t *broken) {
    std::vector<uint8_t> buffer(256 * 1024);
    std::size_t have = 0;
    uint32_t seen = 0;
    while (seen < frames) {
        if (!wait_readable(conn, 30000)) break;
        const ssize_t n = read(conn, buffer.data() + have, buffer.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<std::size_t>(n);
        bool bad = false;
        const std::size_t used = cut_frames<kOutboundLead0, kOutboundLead1>(buffer.data(), have, &bad, [&](const uint8_t *f) {
            ++seen;
            if (!outbound_checksum_ok(f)) ++*broken;
        });
        if (bad) {
            ++*broken;
            break;
        }
        std::memmove(buffer.data(), buffer.data() + used, have - used);
        have -= used;
    }
    return seen;
}

void precise_pause(int us) {
    struct timespec ts = {0, static_cast<long>(us) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
}

// The agent's part of the calls: answers every get request for the audio
// power with its message, the status alternating from 0, until the client
// reports its result.  Counts requests that are not that one whole.
const char *answer_calls(int conn, int from_client, uint32_t *broken) {
    std::vector<uint8_t> buffer(4096);
    std::size_t have = 0;
    uint32_t answered = 0;
    for (;;) {
        struct pollfd p[2] = {{conn, POLLIN, 0}, {from_client, POLLIN, 0}};
        const int rc = poll(p, 2, 30000);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return "no request from the client";
        if (p[1].revents) return nullptr;  // the result is there
        const ssize_t n = read(conn, buffer.data() + have, buffer.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return nullptr;  // the client ended; its result tells why
        have += static_cast<std::size_t>(n);
        bool bad = false;
        bool written = true;
        const std::size_t used = cut_frames<kOutboundLead0, kOutboundLead1>(buffer.data(), have, &bad, [&](const uint8_t *f) {
            if (f[4] != kCallId || f[5] != 0 || !outbound_checksum_ok(f)) {
                ++*broken;
                return;
            }
            uint8_t answer[kCallAnswerPayload + kFrameOverhead];
            const uint8_t status = static_cast<uint8_t>(answered++ & 1);
            put_inbound(answer, kCallId, &status, kCallAnswerPayload);
            written &= write_all(conn, answer, sizeof answer);
        });
        if (bad) ++*broken;
        if (bad || !written) return bad ? "a request arrived broken" : "write to the client failed";
        std::memmove(buffer.data(), buffer.data() + used, have - used);
        have -= used;
    }
}

Run run_once(int listen_fd, const Task &task) {
    Run run;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        run.error = "pipe";
        return run;
    }
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(listen_fd);
        close(pipe_fds[0]);
        signal(SIGPIPE, SIG_IGN);
        // The library prints its own lines ("success"); keep the table clean.
        if (FILE *null = freopen("/dev/null", "w", stdout)) (void)null;
        int result_fd = pipe_fds[1];
        const Result r = task.side == Side::kLimit ? run_limit_side(task, signal_ready, &result_fd)
                                                   : run_library_side(task, signal_ready, &result_fd);
        if (write(result_fd, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(2);
        _exit(0);
    }
    close(pipe_fds[1]);
    const int from_client = pipe_fds[0];
    int conn = -1;
    auto finish = [&](const char *error) {
        if (error) {
            run.error = error;
            kill(pid, SIGKILL);
        }
        if (conn >= 0) close(conn);
        close(from_client);
        int status = 0;
        waitpid(pid, &status, 0);
        return run;
    };
    {
        // A client that ends before it connects has said why in its result.
        struct pollfd p[2] = {{listen_fd, POLLIN, 0}, {from_client, 0, 0}};
        int rc;
        while ((rc = poll(p, 2, 10000)) < 0 && errno == EINTR) {
        }
        if (rc > 0 && !(p[0].revents & POLLIN)) {
            if (read_exact(from_client, &run.client, sizeof run.client, 1000) && !run.client.ok) {
                run.client.error[sizeof run.client.error - 1] = '\0';
                return finish(run.client.error);
            }
            return finish("the client ended before it connected");
        }
        if (rc <= 0) return finish("the client did not connect");
    }
    conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    char ready = 0;
    if (conn < 0 || !read_exact(from_client, &ready, 1, 10000)) return finish("the client did not start");

    const int64_t t0 = now_ns();
    int64_t t_end = 0;
    switch (task.mode) {
    case Mode::kFlood: {
        const Stream &s = stream_for(task.frames, task.payload);
        if (!write_all(conn, s.bytes.data(), s.bytes.size())) return finish("write to the client failed");
        break;
    }
    case Mode::kBurst: {
        const Stream &s = stream_for(task.frames, task.payload);
        const std::size_t frame = static_cast<std::size_t>(task.payload) + kFrameOverhead;
        const std::size_t burst = (static_cast<std::size_t>(task.burst_bytes) / frame) * frame;
        uint8_t ack[kAckSize];
        for (std::size_t at = 0; at < s.bytes.size(); at += burst) {
            const std::size_t n = std::min(burst, s.bytes.size() - at);
            if (!write_all(conn, s.bytes.data() + at, n)) return finish("write to the client failed");
            if (!read_exact(conn, ack, sizeof ack, 30000)) return finish("no acknowledgement");
        }
        t_end = now_ns();
        break;
    }
    case Mode::kLatency: {
        uint8_t frame[kLatencyPayload + kFrameOverhead];
        uint8_t payload[kLatencyPayload] = {};
        uint8_t ack[kAckSize];
        for (uint32_t i = 0; i < task.frames; ++i) {
            precise_pause(task.gap_us);
            const int64_t sent = now_ns();
            std::memcpy(payload, &sent, sizeof sent);
            std::memcpy(payload + 8, &i, sizeof i);
            put_inbound(frame, kBlockId, payload, kLatencyPayload);
            if (!write_all(conn, frame, sizeof frame)) return finish("write to the client failed");
            if (!read_exact(conn, ack, sizeof ack, 30000)) return finish("no acknowledgement");
        }
        break;
    }
    case Mode::kIdle:
        break;
    case Mode::kOutbound: {
        const uint32_t seen = drain_outbound(conn, task.frames, &run.broken);
        if (seen < task.frames) run.broken += task.frames - seen;
        break;
    }
    case Mode::kCall:
        if (const char *error = answer_calls(conn, from_client, &run.broken)) return finish(error);
        break;
    }
    if (!read_exact(from_client, &run.client, sizeof run.client, 180000)) return finish("the client gave no result");
    const Result &c = run.client;
    if (!c.ok) return finish(c.error);
    switch (task.mode) {
    case Mode::kFlood:
        run.value = task.frames / ((c.t_end_ns - t0) * 1e-9);
        run.lost = task.frames - c.count + c.seq_errors;
        break;
    case Mode::kBurst:
        run.value = task.frames / ((t_end - t0) * 1e-9);
        run.lost = task.frames - c.count + c.seq_errors;
        break;
    case Mode::kOutbound:
        run.value = c.count / (c.elapsed_ns * 1e-9);
        break;
    case Mode::kLatency:
    case Mode::kIdle:
    case Mode::kCall:
        break;  // several figures; taken from the result directly
    }
    run.ok = c.send_failures == 0;
    if (!run.ok) run.error = "sends failed";
    if (task.mode == Mode::kCall && (c.seq_errors || run.broken)) {
        run.ok = false;
        run.error = "answers out of order or requests broken";
    }
    return finish(nullptr);
}

// ---- figures and the table ---------------------------------------------

struct Spread {
    double median = NAN, low = NAN, high = NAN;
};

Spread spread_of(std::vector<double> v) {
    Spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.low = v.front();
    s.high = v.back();
    return s;
}

struct Row {
    std::string name;
    std::string unit;
    double scale;  // printed value = figure / scale
    std::vector<double> limit, library;
    std::string target;
    // Decides "met" from the medians (and the runs); empty: no target.
    std::function<std::string(const Spread &limit, const Spread &library)> judge;
};

std::string fmt_figure(const Spread &s, double scale) {
    if (std::isnan(s.median)) return "failed";
    char text[64];
    const double m = s.median / scale;
    const double half = s.median != 0 ? (s.high - s.low) / 2 / std::fabs(s.median) * 100 : 0;
    const int digits = m >= 100 ? 0 : m >= 10 ? 1 : 2;
    snprintf(text, sizeof text, "%.*f ±%.0f%%", digits, m, half);
    return text;
}

// The ratio of the medians, with the range of the ratios of runs paired
// by repetition.
std::string fmt_ratio(const Row &row) {
    const Spread l = spread_of(row.limit), b = spread_of(row.library);
    if (std::isnan(l.median) || std::isnan(b.median) || l.median == 0) return "-";
    std::vector<double> paired;
    for (std::size_t i = 0; i < std::min(row.limit.size(), row.library.size()); ++i)
        if (row.limit[i] != 0) paired.push_back(row.library[i] / row.limit[i]);
    const Spread p = spread_of(paired);
    char text[64];
    snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", b.median / l.median, p.low, p.high);
    return text;
}

void print_table(const std::deque<Row> &rows, const Options &opt) {
    printf("\nLibrary against the raw-socket limit on this machine (%ld cores), median of %d runs, "
           "±: half the range of the runs%s\n\n",
           sysconf(_SC_NPROCESSORS_ONLN), opt.reps, opt.quick ? " (quick: reduced counts)" : "");
    printf("%-44s %-10s %14s %14s %18s  %-12s %s\n", "measurement", "unit", "limit", "library", "library/limit",
           "target", "met");
    for (const Row &row : rows) {
        const Spread l = spread_of(row.limit), b = spread_of(row.library);
        const std::string met = row.judge ? row.judge(l, b) : "";
        printf("%-44s %-10s %14s %14s %18s  %-12s %s\n", row.name.c_str(), row.unit.c_str(),
               fmt_figure(l, row.scale).c_str(), fmt_figure(b, row.scale).c_str(), fmt_ratio(row).c_str(),
               row.target.c_str(), met.c_str());
    }
    fflush(stdout);
}

std::string yes_no(bool met) { return met ? "yes" : "NO"; }

auto ratio_at_least(double floor) {
    return [floor](const Spread &l, const Spread &b) {
        if (std::isnan(l.median) || std::isnan(b.median)) return std::string("-");
        return yes_no(b.median / l.median >= floor);
    };
}

auto ratio_at_most(double ceiling) {
    return [ceiling](const Spread &l, const Spread &b) {
        if (std::isnan(l.median) || std::isnan(b.median)) return std::string("-");
        return yes_no(b.median / l.median <= ceiling);
    };
}

auto library_below(double bound) {
    return [bound](const Spread &, const Spread &b) {
        if (std::isnan(b.median)) return std::string("-");
        return yes_no(b.median < bound);
    };
}

const char *side_name(Side s) {
    return s == Side::kLibrary ? "library" : s == Side::kLibraryApp ? "library, application dispatch" : "limit";
}

int side_bit(Side s) { return s == Side::kLimit ? 1 : s == Side::kLibrary ? 2 : 4; }

const std::vector<Side> kTwoSides = {Side::kLimit, Side::kLibrary};
const std::vector<Side> kThreeSides = {Side::kLimit, Side::kLibrary, Side::kLibraryApp};

// Runs the task `reps` times on each of `sides`, rotating which side goes
// first, and hands every successful run to `take`.
void measure(int listen_fd, const Options &opt, const std::string &name, Task task,
             const std::function<void(Side, const Run &)> &take, const std::vector<Side> &sides = kTwoSides) {
    const std::size_t n = sides.size();
    for (int rep = 0; rep < opt.reps; ++rep) {
        for (std::size_t k = 0; k < n; ++k) {
            task.side = sides[(static_cast<std::size_t>(rep) + k) % n];
            if (!(opt.sides & side_bit(task.side))) continue;
            const Run run = run_once(listen_fd, task);
            if (!run.ok) {
                fprintf(stderr, "  %s, %s, run %d: %s\n", name.c_str(), side_name(task.side), rep + 1,
                        run.error.c_str());
                continue;
            }
            take(task.side, run);
        }
    }
}

std::string count_text(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// Heap allocations of the client processes over the measured frames or
// calls of some measurements: per run, allocations per frame; in total,
// the counts.
struct Allocations {
    std::vector<double> limit, library;  // per run: allocations per frame or call
    int64_t library_allocations = 0;
    uint64_t library_counted = 0;
    int library_runs = 0;

    void take(Side side, const Result &c) {
        if (c.counted == 0 || c.allocations < 0) return;  // not counted
        const double per = double(c.allocations) / c.counted;
        if (side == Side::kLimit) {
            limit.push_back(per);
            return;
        }
        library.push_back(per);
        library_allocations += c.allocations;
        library_counted += c.counted;
        ++library_runs;
    }
    bool empty() const { return limit.empty() && library.empty(); }
    // The row: none may allocate.
    Row row(const std::string &name) const {
        const int64_t n = library_allocations;
        const uint64_t of = library_counted;
        const bool none = library.empty();
        return Row{name, "count", 1, limit, library, "0", [n, of, none](const Spread &, const Spread &) {
                       if (none) return std::string("-");
                       return n == 0 ? std::string("yes") : "NO (" + count_text(uint64_t(n)) + " in " + count_text(of) + ")";
                   }};
    }
    std::string total(const char *what) const {
        return count_text(uint64_t(library_allocations)) + " in " + count_text(library_counted) + " " + what + " of " +
               std::to_string(library_runs) + " runs";
    }
};

}  // namespace

}  // namespace bench

using namespace bench;

int main(int argc, char **argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            opt.quick = true;
        } else if (a == "--reps" && i + 1 < argc) {
            opt.reps = std::max(3, atoi(argv[++i]));
        } else if (a == "--only" && i + 1 < argc) {
            opt.filter = argv[++i];
        } else if (a == "--side" && i + 1 < argc) {
            const std::string side = argv[++i];
            opt.sides = side == "limit" ? 1 : side == "library" ? 2 : side == "application" ? 4 : 7;
        } else {
            fprintf(stderr,
                    "usage: %s [--quick] [--reps N] [--only WORD] [--side library|application|limit]\n"
                    "  --quick      a tenth of the frames and a 1 s idle window (scaled to 5 s)\n"
                    "  --reps N     repetitions per side (at least 3)\n"
                    "  --only WORD  only the measurements whose name contains WORD\n"
                    "  --side SIDE  only the library (its own dispatch), only the library in the\n"
                    "               application's dispatch mode, or only the limit (for profiling)\n",
                    argv[0]);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    const int listen_fd = listen_agent();
    if (listen_fd < 0) return 1;

    const uint32_t div = opt.quick ? 10 : 1;
    const int idle_ms = opt.quick ? 1000 : 5000;
    const double idle_scale = 5000.0 / idle_ms;
    std::deque<Row> rows;  // stable addresses: rows are filled in by reference
    auto wanted = [&](const std::string &name) { return opt.filter.empty() || name.find(opt.filter) != std::string::npos; };
    auto add = [&](Row row) -> Row & {
        rows.push_back(std::move(row));
        return rows.back();
    };
    bool any_lost = false;
    Allocations thread_allocations, app_allocations, call_allocations;

    // Inbound throughput: flood and acknowledged bursts, small and large frames.
    struct Shape {
        uint32_t frames;
        int payload;
    };
    for (const Shape shape : {Shape{2000000 / div, 1}, Shape{200000 / div, 255}}) {
        for (Mode mode : {Mode::kFlood, Mode::kBurst}) {
            const bool flood = mode == Mode::kFlood;
            const std::string name = std::string(flood ? "inbound flood, " : "inbound bursts of 2,048 B, ") +
                                     count_text(shape.frames) + " x " + std::to_string(shape.payload) + " B";
            if (!wanted(name)) continue;
            fprintf(stderr, "%s\n", name.c_str());
            Row &row = add(Row{name, "Mframe/s", 1e6, {}, {}, flood ? "no loss" : ">= 0.80", nullptr});
            // Bursts also with the application's thread dispatching.
            Row *app = flood ? nullptr
                             : &add(Row{"inbound bursts x " + std::to_string(shape.payload) + " B, application dispatch",
                                        "Mframe/s", 1e6, {}, {}, ">= 0.80", ratio_at_least(0.80)});
            uint32_t lost = 0;
            measure(
                listen_fd, opt, name, Task{mode, Side::kLimit, shape.frames, shape.payload, 1, 2048, 0, 0},
                [&](Side side, const Run &run) {
                    if (side == Side::kLimit) {
                        row.limit.push_back(run.value);
                        if (app) app->limit.push_back(run.value);
                    } else {
                        (side == Side::kLibrary ? row : *app).library.push_back(run.value);
                        lost += run.lost;
                    }
                    if (side != Side::kLibraryApp) thread_allocations.take(side, run.client);
                    if (app && side != Side::kLibrary) app_allocations.take(side, run.client);
                },
                flood ? kTwoSides : kThreeSides);
            if (flood) {
                any_lost |= lost != 0;
                row.judge = [lost, &row](const Spread &, const Spread &) {
                    return row.library.empty() ? std::string("-") : lost ? "NO (" + count_text(lost) + " lost)" : std::string("yes");
                };
            } else {
                row.judge = ratio_at_least(0.80);
            }
        }
    }

    // One-way latency, server write to handler entry.
    {
        const uint32_t frames = 20000 / div;
        const std::string name = "latency, " + count_text(frames) + " single frames";
        if (wanted(name)) {
            fprintf(stderr, "%s\n", name.c_str());
            add(Row{"latency p50, " + count_text(frames) + " frames", "us", 1e3, {}, {}, "<= 1.5x", ratio_at_most(1.5)});
            const std::size_t p50_index = rows.size() - 1;
            add(Row{"latency p99", "us", 1e3, {}, {}, "<= 2x", ratio_at_most(2.0)});
            add(Row{"latency max", "us", 1e3, {}, {}, "", nullptr});
            add(Row{"latency p50, application dispatch", "us", 1e3, {}, {}, "<= 1.5x", ratio_at_most(1.5)});
            add(Row{"latency p99, application dispatch", "us", 1e3, {}, {}, "<= 2x", ratio_at_most(2.0)});
            add(Row{"latency max, application dispatch", "us", 1e3, {}, {}, "", nullptr});
            // Voluntary context switches of the client process per frame:
            // every time one of its threads went to sleep.
            add(Row{"sleeps per latency frame", "count", 1, {}, {}, "", nullptr});
            add(Row{"sleeps per frame, application dispatch", "count", 1, {}, {}, "", nullptr});
            measure(
                listen_fd, opt, name, Task{Mode::kLatency, Side::kLimit, frames, kLatencyPayload, 1, 0, 0, 50},
                [&](Side side, const Run &run) {
                    const double sleeps = run.client.count ? double(run.client.voluntary_switches) / run.client.count : 0;
                    // Each figure: its row for the library's own dispatch, its row
                    // for the application's, and its value.
                    const struct {
                        std::size_t thread_row, app_row;
                        double value;
                    } figures[] = {{p50_index, p50_index + 3, double(run.client.p50_ns)},
                                   {p50_index + 1, p50_index + 4, double(run.client.p99_ns)},
                                   {p50_index + 2, p50_index + 5, double(run.client.max_ns)},
                                   {p50_index + 6, p50_index + 7, sleeps}};
                    for (const auto &f : figures) {
                        if (side == Side::kLimit) {
                            rows[f.thread_row].limit.push_back(f.value);
                            rows[f.app_row].limit.push_back(f.value);
                        } else {
                            rows[side == Side::kLibrary ? f.thread_row : f.app_row].library.push_back(f.value);
                        }
                    }
                    if (side != Side::kLibraryApp) thread_allocations.take(side, run.client);
                    if (side != Side::kLibrary) app_allocations.take(side, run.client);
                },
                kThreeSides);
        }
    }

    // Round trip of an awaited answer: McuAgent_call against a plain
    // write() of the request and a read of the answer.
    {
        const uint32_t calls = 20000 / div;
        const std::string name = "call round trip, " + count_text(calls) + " calls";
        if (wanted(name)) {
            fprintf(stderr, "%s\n", name.c_str());
            add(Row{"call round trip p50, " + count_text(calls) + " calls", "us", 1e3, {}, {}, "", nullptr});
            const std::size_t p50_index = rows.size() - 1;
            add(Row{"call round trip p99", "us", 1e3, {}, {}, "", nullptr});
            add(Row{"call round trip max", "us", 1e3, {}, {}, "", nullptr});
            measure(listen_fd, opt, name, Task{Mode::kCall, Side::kLimit, calls, 0, 1, 0, 0, 50},
                    [&](Side side, const Run &run) {
                        const int64_t figures[3] = {run.client.p50_ns, run.client.p99_ns, run.client.max_ns};
                        for (std::size_t i = 0; i < 3; ++i) {
                            Row &row = rows[p50_index + i];
                            (side == Side::kLibrary ? row.library : row.limit).push_back(double(figures[i]));
                        }
                        call_allocations.take(side, run.client);
                    });
        }
    }

    // Idle cost of an open connection.
    {
        const std::string name = "idle, connection open";
        if (wanted(name)) {
            fprintf(stderr, "%s\n", name.c_str());
            add(Row{"idle CPU per 5 s", "ms", 1e6, {}, {}, "< 5 ms", library_below(5e6)});
            const std::size_t cpu_index = rows.size() - 1;
            add(Row{"idle voluntary context switches per 5 s", "count", 1, {}, {}, "< 10", library_below(10)});
            measure(listen_fd, opt, name, Task{Mode::kIdle, Side::kLimit, 0, 0, 1, 0, idle_ms, 0},
                    [&](Side side, const Run &run) {
                        const bool lib = side == Side::kLibrary;
                        (lib ? rows[cpu_index].library : rows[cpu_index].limit).push_back(run.client.cpu_ns * idle_scale);
                        (lib ? rows[cpu_index + 1].library : rows[cpu_index + 1].limit)
                            .push_back(run.client.voluntary_switches * idle_scale);
                    });
        }
    }

    // Outbound requests per second, drained by the server.
    struct Out {
        int payload;
        int threads;
        uint32_t frames;
    };
    bool any_broken = false;
    for (const Out out : {Out{0, 1, 1000000 / div}, Out{0, 4, 1000000 / div}, Out{255, 1, 400000 / div},
                          Out{255, 4, 400000 / div}}) {
        const std::string name = "outbound " + std::to_string(out.payload + kFrameOverhead) + " B frames, " +
                                 std::to_string(out.threads) + (out.threads == 1 ? " thread" : " threads");
        if (!wanted(name)) continue;
        fprintf(stderr, "%s\n", name.c_str());
        Row &row = add(Row{name, "Mreq/s", 1e6, {}, {}, ">= 0.90", ratio_at_least(0.90)});
        uint32_t broken = 0;
        measure(listen_fd, opt, name, Task{Mode::kOutbound, Side::kLimit, out.frames, out.payload, out.threads, 0, 0, 0},
                [&](Side side, const Run &run) {
                    (side == Side::kLibrary ? row.library : row.limit).push_back(run.value);
                    broken += run.broken;
                });
        any_broken |= broken != 0;
        if (broken) fprintf(stderr, "  %s: %u frames arrived broken\n", name.c_str(), broken);
    }

    // Heap allocations of the client processes while measured.
    if (!thread_allocations.empty()) add(thread_allocations.row("allocations per frame, thread dispatch"));
    if (!app_allocations.empty()) add(app_allocations.row("allocations per frame, application dispatch"));
    if (!call_allocations.empty()) add(call_allocations.row("allocations per call, once warm"));

    close(listen_fd);
    unlink(kPath);
    print_table(rows, opt);
    if (any_lost) printf("\nInbound frames were lost: see the flood rows.\n");
    if (any_broken) printf("\nOutbound frames arrived broken or interleaved.\n");
    std::string totals;
    for (const auto &[allocations, what] : {std::pair<const Allocations &, const char *>{thread_allocations, "thread dispatch "},
                                            {app_allocations, "application dispatch "},
                                            {call_allocations, "McuAgent_call "}}) {
        if (allocations.library.empty()) continue;
        totals += (totals.empty() ? "" : ", ") + std::string(what) +
                  allocations.total(&allocations == &call_allocations ? "calls" : "frames");
    }
    if (!totals.empty())
        printf("\nHeap allocations of the library's client processes, counted from the first acknowledged frame\n"
               "or the end of the warm-up calls on: %s.\n",
               totals.c_str());
    return 0;
}
