// trace.cpp - the library's capture: a bounded multi-producer queue of
// preallocated slots, filled by the link's hooks, drained by one writer
// thread.
//
// The queue is the classic bounded queue with a sequence number per slot:
// a producer claims a position with one compare-and-swap and publishes the
// slot by storing its sequence; a consumer does the same from the other
// end.  A full queue fails the claim at once, so a hook never waits: it
// counts the event as dropped and returns.  Consumers (the writer thread
// and flush()) hold `g_write_mutex`, which no hook ever takes.
//
// Waking the writer: it sets `g_writer_sleeping` before it looks at the
// queue a last time and sleeps in poll() on an eventfd; a producer that
// finds the flag set clears it and writes the eventfd.  Both sides swap
// the flag with one read-modify-write, so whichever comes second sees what
// the other did (no fence needed, which ThreadSanitizer could not follow).
// A busy stream costs no system call at all, and an idle one no wake-ups.
//
// The file is opened without blocking (a FIFO without a reader is refused
// at once, not waited for) and written without blocking.  The writer
// thread waits for a slow reader in poll() with no lock held, so the exit
// path always gets the lines: at exit the queue is written out for at most
// about a second, what could not be written by then is counted as dropped,
// and the drop count and the connection's end are written last, so a
// reader that stopped reading never keeps the process from ending and the
// trace says what it lacks.
#include "trace.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <limits.h>
#include <stdint.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <utility>

#include "log.h"
#include "wire.h"

namespace mcu_agent::trace {

namespace {

namespace wire = mcu_agent::wire;

enum class Kind : uint8_t { Connect, Disconnect, Outbound, Inbound };

constexpr int kCapacity = 512;  // a power of two
constexpr uint32_t kMask = kCapacity - 1;
constexpr int kEventBytes = wire::kMaxFrame;  // a whole frame, or a socket path

struct Event {
    int64_t stamp_us;  // what the line shows
    int64_t order_ns;  // when it happened, on the monotonic clock: the line order
    int32_t connection;
    Kind kind;
    uint16_t size;
    uint8_t bytes[kEventBytes];
};

struct Slot {
    std::atomic<uint32_t> sequence;
    Event event;
};

// Off until the first hook decides; then off for good or on for good.
enum Mode : int { kUndecided, kOff, kOn };
std::atomic<int> g_mode{kUndecided};
pthread_once_t g_once = PTHREAD_ONCE_INIT;

Slot g_slots[kCapacity];
alignas(64) std::atomic<uint32_t> g_enqueue_position{0};
alignas(64) std::atomic<uint32_t> g_dequeue_position{0};
std::atomic<uint64_t> g_dropped{0};  // events lost to a full queue, not yet reported

// Writer side.
int g_fd = -1;
pthread_mutex_t g_write_mutex = PTHREAD_MUTEX_INITIALIZER;  // consumers only; never held across a wait
// Lines formatted but not yet written; under g_write_mutex.  Bytes before
// g_out_done are written.
char g_out[16384];
size_t g_out_used = 0, g_out_done = 0;
int g_out_lines = 0;  // event lines among them
constexpr size_t kLongestLine = 96 + 2 * wire::kMaxFrame;
std::atomic<int> g_open_connection{0};  // the last connect not yet followed by its disconnect
constexpr int kExitWaitMs = 1000;
// Of the time at exit, what the queued events may take: the rest is kept
// for the drop count and the connection's end.
constexpr int kExitEventsMs = 750;
constexpr int64_t kForever = -1;  // a write deadline: wait as long as it takes
constexpr int64_t kNoWait = 0;    // a deadline that has passed: never wait
int g_wake_fd = -1;
std::atomic<bool> g_writer_sleeping{false};
std::atomic<bool> g_hold{false};

// Lines are written in the order things happened, not in the order the
// hooks ran: an answer can be delivered (and traced) before the thread that
// sent its request returns from the write.  So the writer holds each event
// back for kReorderNs, sorted by when it happened, before it writes it.
constexpr int64_t kReorderNs = 100 * 1000 * 1000;
constexpr int kHeld = 64;

int64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t now_us() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void wake_writer() {
    if (g_writer_sleeping.exchange(false, std::memory_order_acq_rel)) {
        const uint64_t one = 1;
        // Non-blocking: a counter that is already set is enough.
        ssize_t ignored = ::write(g_wake_fd, &one, sizeof one);
        (void)ignored;
    }
}

// Copies one event into the queue; false when the queue is full.
bool push(Kind kind, int connection, const uint8_t *bytes, int size, const Stamp *when) {
    uint32_t position = g_enqueue_position.load(std::memory_order_relaxed);
    Slot *slot;
    for (;;) {
        slot = &g_slots[position & kMask];
        const uint32_t sequence = slot->sequence.load(std::memory_order_acquire);
        const int32_t diff = static_cast<int32_t>(sequence - position);
        if (diff == 0) {
            if (g_enqueue_position.compare_exchange_weak(position, position + 1, std::memory_order_relaxed))
                break;
        } else if (diff < 0) {
            return false;  // full: the writer has not taken this slot yet
        } else {
            position = g_enqueue_position.load(std::memory_order_relaxed);
        }
    }
    Event &e = slot->event;
    const Stamp t = when ? *when : now();
    e.stamp_us = t.realtime_us;
    e.order_ns = t.monotonic_ns;
    e.connection = connection;
    e.kind = kind;
    if (size < 0) size = 0;
    if (size > kEventBytes) size = kEventBytes;
    e.size = static_cast<uint16_t>(size);
    if (size) memcpy(e.bytes, bytes, static_cast<size_t>(size));
    slot->sequence.store(position + 1, std::memory_order_release);
    return true;
}

bool pop(Event *out) {
    uint32_t position = g_dequeue_position.load(std::memory_order_relaxed);
    Slot *slot;
    for (;;) {
        slot = &g_slots[position & kMask];
        const uint32_t sequence = slot->sequence.load(std::memory_order_acquire);
        const int32_t diff = static_cast<int32_t>(sequence - (position + 1));
        if (diff == 0) {
            if (g_dequeue_position.compare_exchange_weak(position, position + 1, std::memory_order_relaxed))
                break;
        } else if (diff < 0) {
            return false;  // empty
        } else {
            position = g_dequeue_position.load(std::memory_order_relaxed);
        }
    }
    *out = slot->event;
    slot->sequence.store(position + kCapacity, std::memory_order_release);
    return true;
}

bool queue_empty() {
    const uint32_t position = g_dequeue_position.load(std::memory_order_relaxed);
    return g_slots[position & kMask].sequence.load(std::memory_order_acquire) != position + 1;
}

void record(Kind kind, int connection, const uint8_t *bytes, int size, const Stamp *when = nullptr) {
    if (!push(kind, connection, bytes, size, when)) g_dropped.fetch_add(1, std::memory_order_relaxed);
    wake_writer();
}

char *put_hex(char *p, const uint8_t *bytes, int size) {
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < size; ++i) {
        *p++ = digits[bytes[i] >> 4];
        *p++ = digits[bytes[i] & 15];
    }
    return p;
}

// An outbound frame is written as id#payload only when it is exactly what
// the agent reads as one valid frame; anything else goes out as raw bytes
// after '!', as the tools write bytes that were not a valid frame.
bool valid_outbound(const Event &e) {
    if (e.size < wire::kFrameOverhead) return false;
    const uint8_t *f = e.bytes;
    const int length = f[wire::kLengthOffset];
    return f[0] == wire::kOutboundLead0 && f[1] == wire::kOutboundLead1 && f[2] == 0 && f[3] == 0 &&
           e.size == length + wire::kFrameOverhead &&
           f[e.size - 1] == wire::checksum(f[wire::kIdOffset], f + wire::kHeadSize, static_cast<size_t>(length));
}

int64_t monotonic_ms() { return monotonic_ns() / 1000000; }

void clear_out() {
    g_out_used = g_out_done = 0;
    g_out_lines = 0;
}

// Writes out the formatted lines, waiting for a slow reader until
// `deadline_ms` on the monotonic clock (kForever, or kNoWait).  True when
// nothing is left to write; false when time is up first (the lines stay).
// A reader that has gone, or a file that cannot grow, loses them: counted
// as dropped.
bool write_out(int64_t deadline_ms) {
    while (g_out_done < g_out_used) {
        const ssize_t n = ::write(g_fd, g_out + g_out_done, g_out_used - g_out_done);
        if (n > 0) {
            g_out_done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            const int64_t left = deadline_ms == kForever ? -1 : deadline_ms - monotonic_ms();
            if (deadline_ms != kForever && left <= 0) return false;
            pollfd p{g_fd, POLLOUT, 0};
            // Interrupted or not, the deadline is the same next time round.
            if (::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT32_MAX))) <= 0 ||
                (p.revents & POLLOUT) || !(p.revents & (POLLERR | POLLHUP | POLLNVAL)))
                continue;
        }
        g_dropped.fetch_add(static_cast<uint64_t>(g_out_lines), std::memory_order_relaxed);
        clear_out();
        return true;
    }
    clear_out();
    return true;
}

// Room for one more line, writing out what is formatted when there is
// none, until `deadline_ms`.
bool make_room(int64_t deadline_ms) {
    return g_out_used + kLongestLine <= sizeof g_out || (write_out(deadline_ms) && g_out_used == 0);
}

// After make_room().  `event`: the line stands for a traced event, counted
// as dropped should it not be written (the file's head and a drop count
// are not events).
void put(const char *line, size_t n, bool event = true) {
    memcpy(g_out + g_out_used, line, n);
    g_out_used += n;
    if (event) ++g_out_lines;
}

void write_event(const Event &e) {
    // The longest line: stamp, connection, "app ! " and a whole frame in hex.
    char line[96 + 2 * kEventBytes];
    char *p = line + snprintf(line, 64, "(%lld.%06lld) #%d ", static_cast<long long>(e.stamp_us / 1000000),
                              static_cast<long long>(e.stamp_us % 1000000), static_cast<int>(e.connection));
    switch (e.kind) {
        case Kind::Connect:
            p += snprintf(p, 16, "connect ");
            memcpy(p, e.bytes, e.size);
            p += e.size;
            break;
        case Kind::Disconnect: p += snprintf(p, 16, "disconnect"); break;
        case Kind::Outbound:
            if (valid_outbound(e)) {
                p += snprintf(p, 16, "app > ");
                p = put_hex(p, e.bytes + wire::kIdOffset, 1);
                *p++ = '#';
                p = put_hex(p, e.bytes + wire::kHeadSize, e.size - wire::kFrameOverhead);
            } else {
                p += snprintf(p, 16, "app ! ");
                p = put_hex(p, e.bytes, e.size);
            }
            break;
        case Kind::Inbound:
            if (e.size < 2) return;
            p += snprintf(p, 16, "agent > ");
            p = put_hex(p, e.bytes, 1);
            *p++ = '#';
            p = put_hex(p, e.bytes + 2, e.size - 2);
            break;
    }
    *p++ = '\n';
    put(line, static_cast<size_t>(p - line));
}

// Events taken from the queue and not yet written, oldest first: a
// circular array under g_write_mutex.
Event g_held[kHeld];
int g_held_first = 0, g_held_count = 0;

Event &held(int k) { return g_held[(g_held_first + k) % kHeld]; }

void write_oldest_held() {
    write_event(held(0));
    g_held_first = (g_held_first + 1) % kHeld;
    --g_held_count;
}

// With fewer than kHeld held.
void hold_back(const Event &e) {
    int k = g_held_count++;
    held(k) = e;
    for (; k > 0 && held(k - 1).order_ns > held(k).order_ns; --k) std::swap(held(k - 1), held(k));
}

void put_drop_count() {
    const uint64_t dropped = g_dropped.exchange(0, std::memory_order_relaxed);
    if (!dropped) return;
    const int64_t t = now_us();
    char line[80];
    const int n = snprintf(line, sizeof line, "(%lld.%06lld) dropped %llu\n", static_cast<long long>(t / 1000000),
                           static_cast<long long>(t % 1000000), static_cast<unsigned long long>(dropped));
    put(line, static_cast<size_t>(n), false);
}

// Writes out what the queue holds (all of it, or what happened at least
// kReorderNs ago) and then the drop count, waiting for the reader until
// `deadline_ms` (kForever, kNoWait or a point on the monotonic clock).
// Stops where the reader is too slow: the rest waits in the queue, which
// counts what it cannot take.  Caller holds g_write_mutex.
void drain_locked(int64_t deadline_ms, bool all) {
    Event e;
    for (;;) {
        if (g_held_count == kHeld) {
            if (!make_room(deadline_ms)) return;
            write_oldest_held();
        }
        if (!pop(&e)) break;
        hold_back(e);
    }
    const int64_t due = all ? INT64_MAX : monotonic_ns() - kReorderNs;
    while (g_held_count > 0 && held(0).order_ns <= due) {
        if (!make_room(deadline_ms)) return;
        write_oldest_held();
    }
    // The count goes where the gap is: after the lines before it.
    if (g_held_count == 0 && g_dropped.load(std::memory_order_relaxed) && make_room(deadline_ms)) put_drop_count();
    write_out(deadline_ms);
}

// At exit, once the time for events is up: the lines not begun are taken
// back, and with the queued and held events counted as dropped.  A line
// partly written is finished, so the file never ends in half a line.
void give_up_the_rest() {
    size_t keep = g_out_done;
    if (keep > 0 && g_out[keep - 1] != '\n')
        while (keep < g_out_used && g_out[keep++] != '\n') {
        }
    uint64_t lines = 0;
    for (size_t i = keep; i < g_out_used; ++i) lines += g_out[i] == '\n';
    g_out_used = keep;
    g_out_lines = 0;
    Event e;
    while (pop(&e)) ++lines;
    lines += static_cast<uint64_t>(g_held_count);
    g_held_count = 0;
    g_dropped.fetch_add(lines, std::memory_order_relaxed);
}

// For its lifetime, writes on a thread that may take SIGPIPE (a FIFO whose
// reader has gone, on an application's thread): the signal is held back,
// and one that the writes raised is taken back.
class SigpipeHeldBack {
public:
    SigpipeHeldBack() {
        sigemptyset(&pipe_only_);
        sigaddset(&pipe_only_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_only_, &old_);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE);
    }
    ~SigpipeHeldBack() {
        sigset_t pending;
        sigpending(&pending);
        if (!was_pending_ && sigismember(&pending, SIGPIPE)) {
            const struct timespec zero = {0, 0};
            while (sigtimedwait(&pipe_only_, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeHeldBack(const SigpipeHeldBack &) = delete;
    SigpipeHeldBack &operator=(const SigpipeHeldBack &) = delete;

private:
    sigset_t pipe_only_, old_;
    bool was_pending_;
};

// The writer never waits with g_write_mutex held: a slow reader is waited
// for in poll() beside the wake-up.
void *writer_main(void *) {
    for (;;) {
        int wait_ms = -1;  // nothing held back: sleep until woken
        bool output_waits = false;
        if (!g_hold.load(std::memory_order_acquire)) {
            pthread_mutex_lock(&g_write_mutex);
            drain_locked(kNoWait, false);
            output_waits = g_out_used > 0;
            if (g_held_count > 0)
                wait_ms = static_cast<int>((held(0).order_ns + kReorderNs - monotonic_ns()) / 1000000) + 1;
            pthread_mutex_unlock(&g_write_mutex);
        }
        g_writer_sleeping.exchange(true, std::memory_order_acq_rel);
        if (!output_waits && (!queue_empty() || (g_dropped.load(std::memory_order_relaxed) && wait_ms < 0)) &&
            !g_hold.load()) {
            g_writer_sleeping.store(false, std::memory_order_relaxed);
            continue;
        }
        pollfd p[2] = {{g_wake_fd, POLLIN, 0}, {g_fd, static_cast<short>(output_waits ? POLLOUT : 0), 0}};
        // While held (tests only) look again now and then.
        ::poll(p, output_waits ? 2 : 1, g_hold.load() ? 5 : wait_ms);
        uint64_t count;
        ssize_t ignored = ::read(g_wake_fd, &count, sizeof count);
        (void)ignored;
        g_writer_sleeping.store(false, std::memory_order_relaxed);
    }
    return nullptr;
}

// The process is ending: the reader gets about a second, however slow it
// is.  The events take most of it; what they could not get is counted, and
// the count and the end of the open connection are written last.
void write_at_exit() {
    const int64_t start = monotonic_ms();
    // The writer holds the lock only between its waits, so it comes free
    // at once; tried in steps against the monotonic deadline all the same.
    while (pthread_mutex_trylock(&g_write_mutex) != 0) {
        if (monotonic_ms() - start >= kExitWaitMs) return;
        const timespec step = {0, 1000000};
        nanosleep(&step, nullptr);
    }
    SigpipeHeldBack held_back;
    drain_locked(start + kExitEventsMs, true);
    give_up_the_rest();
    put_drop_count();
    if (const int open = g_open_connection.exchange(0)) {
        Event e{};
        e.stamp_us = now().realtime_us;
        e.connection = open;
        e.kind = Kind::Disconnect;
        write_event(e);
    }
    write_out(start + kExitWaitMs);
    pthread_mutex_unlock(&g_write_mutex);
}

// A child of fork() has no writer thread and shares the parent's file: it
// does not trace.
void off_in_child() { g_mode.store(kOff, std::memory_order_release); }

// What decide() could not do, printed by prepare() once pthread_once has
// returned: no application code (a log handler) runs inside it, since a
// handler that calls the entry point would wait for the once forever.
char g_failure[PATH_MAX + 160];
int g_failure_errno = 0;
std::atomic<bool> g_failure_pending{false};

void fail(const char *format, const char *path, int error) {
    snprintf(g_failure, sizeof g_failure, format, path);
    g_failure_errno = error;
    g_failure_pending.store(true, std::memory_order_release);
    g_mode.store(kOff, std::memory_order_release);
}

// Opens the trace file: never through a symbolic link (it would truncate
// its target), never waiting (a FIFO without a reader), created readable
// by this user only, and an existing file only when it is this user's own
// regular file with one link, or this user's FIFO: another user's file at
// the path is refused, not written into.  -1 with errno, or EPERM for a
// file that is not ours.
int open_trace_file(const char *path) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return -1;
    struct stat st;
    const bool ours = fstat(fd, &st) == 0 && st.st_uid == geteuid() &&
                      ((S_ISREG(st.st_mode) && st.st_nlink == 1) || S_ISFIFO(st.st_mode));
    if (!ours) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    if (S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void decide() {
    // A setuid program ignores the environment: another user chose it.
    const char *path = secure_getenv("MCU_AGENT_TRACE");
    if (!path || !*path) {
        g_mode.store(kOff, std::memory_order_release);
        return;
    }
    for (uint32_t i = 0; i < kCapacity; ++i) g_slots[i].sequence.store(i, std::memory_order_relaxed);
    g_fd = open_trace_file(path);
    g_wake_fd = g_fd >= 0 ? eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : -1;
    if (g_fd < 0 || g_wake_fd < 0) {
        const int error = errno;
        if (g_fd >= 0) ::close(g_fd);
        g_fd = -1;
        fail(error == EPERM ? "mcu_agent_client: MCU_AGENT_TRACE: %s is not this user's own file, not written"
                            : "mcu_agent_client: MCU_AGENT_TRACE: cannot write %s",
             path, error);
        return;
    }
    char head[64];
    const int n = snprintf(head, sizeof head, "# mcu_agent_client trace of process %d\n", static_cast<int>(getpid()));
    put(head, static_cast<size_t>(n), false);
    write_out(monotonic_ms());

    // The writer takes no signal meant for the application.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t writer;
    const int rc = pthread_create(&writer, &attr, writer_main, nullptr);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        fail("mcu_agent_client: MCU_AGENT_TRACE: no writer thread for %s", path, rc);
        return;
    }
    atexit(write_at_exit);
    pthread_atfork(nullptr, nullptr, off_in_child);
    g_mode.store(kOn, std::memory_order_release);
}

// Decided by prepare(), which the entry point calls before it connects;
// until then nothing is traced.
inline bool tracing() { return g_mode.load(std::memory_order_acquire) == kOn; }

}  // namespace

void prepare() {
    pthread_once(&g_once, decide);
    if (g_failure_pending.exchange(false, std::memory_order_acq_rel)) {
        errno = g_failure_errno;
        log_perror(g_failure);
    }
}

void on_connect(int connection, const char *socket_path) {
    if (!tracing()) return;
    g_open_connection.store(connection);
    const size_t n = socket_path ? strnlen(socket_path, kEventBytes) : 0;
    record(Kind::Connect, connection, reinterpret_cast<const uint8_t *>(socket_path), static_cast<int>(n));
}

void on_disconnect(int connection) {
    if (!tracing()) return;
    int open = connection;
    g_open_connection.compare_exchange_strong(open, 0);
    record(Kind::Disconnect, connection, nullptr, 0);
}

Stamp now() { return Stamp{now_us(), monotonic_ns()}; }

bool active() { return tracing(); }

void on_outbound(int connection, const uint8_t *frame, int size, const Stamp *when) {
    if (!tracing()) return;
    record(Kind::Outbound, connection, frame, size, when);
}

void on_inbound(int connection, const uint8_t *popped, int size) {
    if (!tracing()) return;
    record(Kind::Inbound, connection, popped, size);
}

void flush() {
    if (g_mode.load(std::memory_order_acquire) != kOn) return;
    pthread_mutex_lock(&g_write_mutex);
    {
        SigpipeHeldBack held_back;
        drain_locked(kForever, true);
    }
    pthread_mutex_unlock(&g_write_mutex);
}

void hold_writer_for_test(bool hold) {
    g_hold.store(hold, std::memory_order_release);
    if (!hold) wake_writer();
}

int queue_capacity() { return kCapacity; }

}  // namespace mcu_agent::trace
