// link.cpp - the connection to the agent server and the two worker threads.
//
// The life of a connection, in g_link.state (under g_link.mutex):
//
//   idle --(entry point or background reconnect connects)--> connected
//   connected --(the peer closed, read failed, or an entry point found the
//                peer gone)--> ending
//   ending --(senders gone, descriptor closed, cut-off frame trimmed)--> idle
//
// Threads, and what each touches:
//  - application threads send: they count themselves in g_users, read
//    g_send_fd, write, and count themselves out; no lock.  The end of a
//    connection clears g_send_fd, shuts the socket down (which releases
//    blocked sends) and closes the descriptor only when g_users is zero, so
//    a send never reaches a number that was handed out again.
//  - the receive thread (one per connection): waits in poll(), reads into
//    the ring under g_link.mutex, waits on g_link.room while the ring is full,
//    and ends its connection.  With a reconnect interval it then connects
//    again in the background and serves the new connection.
//  - the packet-handle thread (one per process): takes frames and
//    connection events out under g_link.mutex, sleeping in a read of the wake
//    pipe while there are none, and delivers them with no lock held.
//  - entry points (socket_client_init, the background reconnect) are
//    serialised by g_link.entry; lock order is entry, then mutex.
// Nothing is printed, and no application code runs, with a lock held.
//
// An agent server that writes a long stream before it reads anything, while
// the handlers answer every frame, would otherwise stall both sides: the
// handler blocks in send, the ring never drains, the receive thread stops
// reading, the server's write never returns.  So while the packet-handle
// thread is blocked in a send and the ring is full, the receive thread
// goes on reading into a spill buffer that exists only in that state (at
// most kSpillLimit bytes, released once drained).  Should the server write
// even more before reading, sends from the packet-handle thread give up
// (-1, ETIMEDOUT, one line per run) instead of waiting, so inbound bytes
// still all arrive.
#include "link.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>

#include "log.h"
#include "ring.h"
#include "trace.h"

namespace mcu_agent {

extern std::atomic<bool> g_verify_inbound_checksum;

namespace {

constexpr char kDefaultServerPath[] = "/tmp/mcu_agent";
constexpr int kReadChunk = RECEIVE_BUFFER_MSG_SIZE;
constexpr int kRoomToWakeReceiver = RECEIVE_BUFFER_MSG_SIZE / 2;
constexpr int kPopBatch = 8;
// Room for the largest popped frame (257 bytes) and a little more, so the
// decoder may read any payload position without a bounds check.
constexpr int kMessageAreaSize = 260;
constexpr size_t kSpillLimit = 1 << 20;
constexpr int kMaxEvents = 16;
constexpr int kSendPollMs = 200;
// How long a send from the packet-handle thread waits without progress
// while the spill is full before it gives up.
constexpr int kGiveUpAfterMs = 5000;
constexpr int kNaturalEndWaitMs = 1000;
constexpr int kLowestDescriptor = 3;  // never 0, 1 or 2: those are the standard streams

// ---- RAII over pthread mutexes ------------------------------------------

class Lock {
public:
    explicit Lock(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~Lock() { pthread_mutex_unlock(&m_); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    pthread_mutex_t &m_;
};

// ---- the spill buffer ----------------------------------------------------

// Bytes read while the ring was full and the packet-handle thread blocked in
// a send; they follow the ring's bytes in the stream.
class Spill {
public:
    size_t size() const { return tail_ - head_; }
    bool empty() const { return head_ == tail_; }
    // Makes room for n more bytes; false when that would pass the limit
    // or memory is short.
    bool reserve(size_t n) {
        if (tail_ + n > capacity_) {
            if (head_ > 0) memmove(data_, data_ + head_, size());
            tail_ -= head_;
            head_ = 0;
            if (tail_ + n > capacity_) {
                const size_t want = std::min(kSpillLimit, std::max(capacity_ * 2, tail_ + n + 4096));
                if (tail_ + n > want) return false;
                char *grown = static_cast<char *>(realloc(data_, want));
                if (!grown) return false;
                data_ = grown;
                capacity_ = want;
            }
        }
        return true;
    }
    // After reserve(n).
    void append(const char *bytes, size_t n) {
        memcpy(data_ + tail_, bytes, n);
        tail_ += n;
    }
    // Moves what fits into the ring.  The memory stays: a read reserved
    // into it may be under way.  The receive thread releases it.
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

// ---- the link --------------------------------------------------------------

enum class State { kIdle, kConnected, kEnding };

// A change of connection, delivered to the connection handler once every
// byte received before it has been delivered.
struct Event {
    uint64_t at;  // position in the inbound stream
    int connection;
    bool up;
};

struct Link {
    pthread_mutex_t entry = PTHREAD_MUTEX_INITIALIZER;
    RECEIVE_BUFFER_MSG ring{};  // ring.buffer_mutex is the link's mutex
    pthread_mutex_t &mutex() { return ring.buffer_mutex; }
    pthread_cond_t room = PTHREAD_COND_INITIALIZER;     // the receive thread waits here
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;  // state, senders, spill
    bool ready = false;  // ring allocated, fork handler registered

    State state = State::kIdle;
    int fd = -1;
    int connection = 0;         // number of the latest connection
    bool stop_reading = false;  // end now, without reading what is left
    Spill spill;

    bool receiver_waiting = false;
    bool handler_waiting = false;
    bool handler_blocked = false;  // the packet-handle thread waits in a send
    std::atomic<bool> sends_giving_up{false};  // one line per run of abandoned sends

    uint64_t pushed = 0;    // bytes into ring and spill since the start
    uint64_t consumed = 0;  // bytes out of the ring
    std::array<Event, kMaxEvents> events{};
    int event_count = 0;
    int delivery_connection = 0;  // the connection whose frames are being delivered

    bool packet_thread_running = false;
    int wake[2] = {-1, -1};

    SOCKET_RECEIVE_CALLBACK_FUNC callback = nullptr;
    ConnectionHandler connection_handler = nullptr;
    void *connection_user = nullptr;
    int reconnect_ms = 0;
    unsigned reconnect_token = 0;  // a new entry point stops older background reconnects
};

Link g_link;

// Under g_link.mutex: the spill cannot take another read.
bool spill_full() { return g_link.spill.size() + kReadChunk > kSpillLimit; }
std::atomic<int> g_send_fd{-1};
// The number of the standing connection, 0 while none stands.
std::atomic<int> g_open_connection{0};
std::atomic<int> g_users{0};
std::atomic<bool> g_peer_gone{false};
thread_local bool t_on_packet_thread = false;

// ---- descriptors -----------------------------------------------------------

// Keeps the library's descriptors off 0, 1 and 2: with a standard stream
// closed, a socket there would receive the application's printf output.
int above_standard_streams(int fd) {
    if (fd < 0 || fd >= kLowestDescriptor) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kLowestDescriptor);
    const int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

const char *server_path() {
    const char *path = getenv("MCU_AGENT_SOCKET");
    return path && *path ? path : kDefaultServerPath;
}

int connect_server(bool quiet) {
    const char *path = server_path();
    int fd = above_standard_streams(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd < 0) {
        if (!quiet) log_perror("cannot create communication socket");
        return -1;
    }
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    int rc = -1;
    if (strlen(path) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
    } else {
        strcpy(address.sun_path, path);
        do {
            rc = ::connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
        } while (rc == -1 && errno == EINTR);
    }
    if (rc == -1) {
        if (!quiet) {
            char what[sizeof address.sun_path + 32];
            snprintf(what, sizeof what, "cannot connect to the server %s", path);
            log_perror(what);
        }
        ::close(fd);
        return -1;
    }
    return fd;
}

// ---- the wake pipe ---------------------------------------------------------

// The packet-handle thread sleeps in a read of this pipe while it has
// nothing to deliver; the receive thread writes one byte per such wait.  A
// pipe rather than a condition variable: the kernel treats a pipe write as
// a hand-over and may run the woken thread on the writer's CPU, which the
// receive thread is about to leave; that halves the one-way delay of a lone
// frame on a two-core unit (docs/performance.md).
void wake_packet_thread() {
    const char byte = 1;
    while (::write(g_link.wake[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

void wait_for_wake() {
    char byte;
    while (::read(g_link.wake[0], &byte, 1) < 0 && errno == EINTR) {
    }
}

// ---- sends -------------------------------------------------------------------

// write() with SIGPIPE held back in this thread, for descriptors that are
// not sockets (MSG_NOSIGNAL needs a socket).  A SIGPIPE that the write
// raised is taken back; one that was already pending stays.
ssize_t write_without_sigpipe(int fd, const char *bytes, size_t n) {
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE);
    const ssize_t written = ::write(fd, bytes, n);
    const int error = errno;
    if (written < 0 && error == EPIPE && !was_pending) {
        const struct timespec zero = {0, 0};
        while (sigtimedwait(&pipe_only, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return written;
}

// On the packet-handle thread, a send that would block first lets the
// receive thread spill, then waits for room in slices.  It gives up only
// before the first byte of a frame, when the spill is full too and the
// socket took nothing for kGiveUpAfterMs (or an earlier send of this run
// gave up already).  Returns false with errno ETIMEDOUT then.
bool wait_writable_on_packet_thread(int fd, bool may_give_up) {
    {
        Lock lock(g_link.mutex());
        if (may_give_up && g_link.sends_giving_up.load()) {
            errno = ETIMEDOUT;
            return false;
        }
        g_link.handler_blocked = true;
        pthread_cond_signal(&g_link.room);
    }
    bool writable = false;
    bool give_up = false;
    int stuck_ms = 0;
    while (!writable && !give_up) {
        struct pollfd p = {fd, POLLOUT, 0};
        const int rc = ::poll(&p, 1, kSendPollMs);
        if (rc > 0) {
            writable = true;  // also on POLLHUP/POLLERR: the send reports it
        } else if (rc == 0) {
            Lock lock(g_link.mutex());
            const bool stalled = spill_full() && g_link.receiver_waiting;
            stuck_ms = stalled ? stuck_ms + kSendPollMs : 0;
            give_up = may_give_up && stuck_ms >= kGiveUpAfterMs;
        } else if (errno != EINTR) {
            writable = true;
        }
    }
    bool first = false;
    {
        Lock lock(g_link.mutex());
        g_link.handler_blocked = false;
        if (give_up) first = !g_link.sends_giving_up.exchange(true);
    }
    if (first)
        log_line(kLogWarning, "%s : agent server not reading, sends from handlers give up.\n", "socket_send");
    if (give_up) errno = ETIMEDOUT;
    return !give_up;
}

// Writes all `size` bytes.  Retries interrupted calls and completes short
// writes; never raises SIGPIPE.  Returns size, or -1.
int write_all(int fd, const char *msg, int size, bool ours) {
    const bool on_packet_thread = ours && t_on_packet_thread;
    const int flags = MSG_NOSIGNAL | (on_packet_thread ? MSG_DONTWAIT : 0);
    bool is_socket = true;
    int done = 0;
    while (done < size) {
        const size_t left = static_cast<size_t>(size - done);
        const ssize_t n = is_socket ? ::send(fd, msg + done, left, flags) : write_without_sigpipe(fd, msg + done, left);
        if (n >= 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == ENOTSOCK && is_socket) {
            is_socket = false;
            continue;
        }
        if (errno == EAGAIN && on_packet_thread) {
            // A frame once begun is finished: half a frame would corrupt
            // the stream for good.
            if (wait_writable_on_packet_thread(fd, done == 0)) continue;
            return -1;
        }
        if (ours && (errno == EPIPE || errno == ECONNRESET)) g_peer_gone.store(true);
        return -1;
    }
    if (on_packet_thread) g_link.sends_giving_up.store(false);
    return size;
}

void release_user() {
    if (g_users.fetch_sub(1) == 1 && g_send_fd.load() < 0) {
        Lock lock(g_link.mutex());
        pthread_cond_broadcast(&g_link.changed);
    }
}

// ---- events ----------------------------------------------------------------

// Under g_link.mutex.  Should the queue ever be full (the handler stuck while
// connections come and go), the newest change replaces the last one.
void add_event(bool up, int connection) {
    const Event e = {g_link.pushed, connection, up};
    if (g_link.event_count == kMaxEvents)
        g_link.events[kMaxEvents - 1] = e;
    else
        g_link.events[g_link.event_count++] = e;
    if (g_link.handler_waiting) {
        g_link.handler_waiting = false;
        wake_packet_thread();
    }
}

// ---- the end of a connection ------------------------------------------------

// Runs on the receive thread.  Senders are released and waited for, the
// descriptor is closed, a frame cut off by the end is dropped, and the
// connection handler will hear of it after the last frame.
void end_connection(int fd, int connection) {
    g_open_connection.store(0);
    g_send_fd.store(-1);
    ::shutdown(fd, SHUT_RDWR);
    Lock lock(g_link.mutex());
    g_link.state = State::kEnding;
    pthread_cond_broadcast(&g_link.changed);
    while (g_users.load() > 0) pthread_cond_wait(&g_link.changed, &g_link.mutex());
    // What was read before the end is delivered first; only a forced end
    // gives up bytes not yet in the ring.
    while (!g_link.spill.empty() && !g_link.stop_reading) pthread_cond_wait(&g_link.changed, &g_link.mutex());
    g_link.pushed -= g_link.spill.size();
    g_link.spill.release();
    ::close(fd);
    g_link.pushed -= static_cast<uint64_t>(ring::trim_cut_frame(&g_link.ring));
    // A run of garbage ends with its connection.
    if (ring::stored(&g_link.ring) == 0) g_link.ring.resync_flag = 0;
    g_link.fd = -1;
    g_link.state = State::kIdle;
    g_link.stop_reading = false;
    g_link.handler_blocked = false;
    g_link.sends_giving_up.store(false);
    add_event(false, connection);
    pthread_cond_broadcast(&g_link.changed);
    trace::on_disconnect(connection);
}

// Makes `fd` the standing connection.  Under g_link.entry and g_link.mutex.
void make_connected(int fd) {
    g_link.state = State::kConnected;
    g_link.fd = fd;
    ++g_link.connection;
    g_peer_gone.store(false);
    add_event(true, g_link.connection);
    g_send_fd.store(fd);
    g_open_connection.store(g_link.connection);
    trace::on_connect(g_link.connection, server_path());
}

// ---- the receive thread --------------------------------------------------

// Waits until the socket has bytes or has ended; false when poll fails.
bool socket_wait(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    for (;;) {
        if (::poll(&p, 1, -1) >= 0) return true;
        if (errno == EINTR) continue;
        log_perror("select()");
        return false;
    }
}

// Serves one connection until it ends; returns after end_connection.
void receive(int fd, int connection) {
    std::array<char, kReadChunk> area;
    for (;;) {
        // Bytes first, room second: a ring that a burst left full needs the
        // packet-handle thread to wake this thread only when more bytes are
        // already waiting.
        if (!socket_wait(fd)) break;
        int want = 0;
        {
            Lock lock(g_link.mutex());
            for (;;) {
                if (g_link.stop_reading) break;
                const int room = ring::room(&g_link.ring);
                if (g_link.spill.empty() && room > 0) {
                    // The stall is over: the spill's memory goes.
                    if (g_link.spill.holds_memory()) g_link.spill.release();
                    want = std::min(room, kReadChunk);
                    break;
                }
                if (g_link.handler_blocked && !spill_full() && g_link.spill.reserve(kReadChunk)) {
                    want = kReadChunk;
                    break;
                }
                g_link.receiver_waiting = true;
                pthread_cond_wait(&g_link.room, &g_link.mutex());
            }
            g_link.receiver_waiting = false;
            if (g_link.stop_reading) break;
        }
        ssize_t n;
        do {
            n = ::read(fd, area.data(), static_cast<size_t>(want));
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno == EAGAIN) continue;
        if (n <= 0) {
            log_line(kLogWarning, "socket %d disconnected\n", fd);
            break;
        }
        bool wake;
        {
            Lock lock(g_link.mutex());
            // Only this thread adds bytes: an empty spill stays empty and
            // the ring's room only grew since it was measured.
            if (g_link.spill.empty() && ring::room(&g_link.ring) >= n)
                socket_receive_buffer_msg_push(&g_link.ring, reinterpret_cast<unsigned char *>(area.data()),
                                               static_cast<int>(n));
            else
                g_link.spill.append(area.data(), static_cast<size_t>(n));
            g_link.pushed += static_cast<uint64_t>(n);
            wake = g_link.handler_waiting;
            g_link.handler_waiting = false;
        }
        if (wake) wake_packet_thread();
    }
    end_connection(fd, connection);
}

// After an end, with a reconnect interval set: tries again at that
// interval, doubling up to eight times it while attempts fail.  Returns
// the new descriptor, or -1 when reconnection is no longer this thread's
// job (interval cleared, or an entry point connected meanwhile).
int reconnect_in_background() {
    int delay_ms;
    unsigned token;
    {
        Lock lock(g_link.mutex());
        if (g_link.reconnect_ms <= 0) return -1;
        delay_ms = g_link.reconnect_ms;
        token = g_link.reconnect_token;
    }
    for (;;) {
        {
            Lock lock(g_link.mutex());
            struct timespec until;
            clock_gettime(CLOCK_MONOTONIC, &until);
            until.tv_sec += delay_ms / 1000;
            until.tv_nsec += static_cast<long>(delay_ms % 1000) * 1000000L;
            if (until.tv_nsec >= 1000000000L) {
                until.tv_sec += 1;
                until.tv_nsec -= 1000000000L;
            }
            int rc = 0;
            while (rc != ETIMEDOUT && g_link.reconnect_ms > 0 && g_link.reconnect_token == token &&
                   g_link.state == State::kIdle)
                rc = pthread_cond_timedwait(&g_link.changed, &g_link.mutex(), &until);
            if (g_link.reconnect_ms <= 0 || g_link.reconnect_token != token || g_link.state != State::kIdle) return -1;
        }
        Lock entry(g_link.entry);
        {
            Lock lock(g_link.mutex());
            if (g_link.reconnect_token != token || g_link.state != State::kIdle) return -1;
        }
        const int fd = connect_server(true);
        if (fd >= 0) {
            Lock lock(g_link.mutex());
            make_connected(fd);
            return fd;
        }
        Lock lock(g_link.mutex());
        delay_ms = std::min(delay_ms * 2, g_link.reconnect_ms * 8);
    }
}

void *receive_thread(void *) {
    int fd, connection;
    {
        Lock lock(g_link.mutex());
        fd = g_link.fd;
        connection = g_link.connection;
    }
    while (fd >= 0) {
        receive(fd, connection);
        fd = reconnect_in_background();
        Lock lock(g_link.mutex());
        connection = g_link.connection;
    }
    return nullptr;
}

// ---- the packet-handle thread ----------------------------------------------

struct Delivery {
    enum Kind { kFrame, kEvent, kReportOnly } kind;
    ring::Skip report;  // skipped bytes before this item, to report first
    int size;
    int fd;
    int connection;
    bool up;
    ConnectionHandler handler;
    void *user;
    SOCKET_RECEIVE_CALLBACK_FUNC callback;
    std::array<char, kMessageAreaSize> area;
};

// Under g_link.mutex: up to kPopBatch frames and events in stream order.
int collect(std::array<Delivery, kPopBatch> &batch) {
    const bool verify = g_verify_inbound_checksum.load(std::memory_order_relaxed);
    int count = 0;
    while (count < kPopBatch) {
        Delivery &d = batch[count];
        if (g_link.event_count > 0 && g_link.events[0].at <= g_link.consumed) {
            const Event e = g_link.events[0];
            std::copy(g_link.events.begin() + 1, g_link.events.begin() + g_link.event_count, g_link.events.begin());
            --g_link.event_count;
            g_link.delivery_connection = e.up ? e.connection : 0;
            d.kind = Delivery::kEvent;
            d.report = ring::Skip::kNone;
            d.up = e.up;
            d.handler = g_link.connection_handler;
            d.user = g_link.connection_user;
            ++count;
            continue;
        }
        const ring::Popped p = ring::pop(&g_link.ring, d.area.data(), verify);
        g_link.consumed += static_cast<uint64_t>(p.consumed);
        d.report = p.report;
        if (p.count < 0) {
            if (p.report != ring::Skip::kNone) {
                d.kind = Delivery::kReportOnly;
                ++count;
            }
            break;
        }
        d.kind = Delivery::kFrame;
        d.size = p.count;
        d.connection = g_link.delivery_connection;
        d.fd = g_link.connection == d.connection ? g_link.fd : -1;
        d.callback = g_link.callback;
        ++count;
    }
    return count;
}

void deliver(Delivery &d) {
    if (d.report != ring::Skip::kNone) log_line(kLogWarning, ring::skip_line(d.report), "socket_receive_buffer_msg_pop");
    if (d.kind == Delivery::kFrame) {
        // The decoder relies on zeros past the payload.
        std::fill(d.area.begin() + d.size, d.area.end(), 0);
        // After the end of its connection a frame carries -1: the number
        // may already belong to another file.
        const int fd = g_open_connection.load() == d.connection ? d.fd : -1;
        trace::on_inbound(d.connection, reinterpret_cast<const uint8_t *>(d.area.data()), d.size);
        if (d.callback) d.callback(fd, d.area.data(), d.size);
    } else if (d.kind == Delivery::kEvent && d.handler) {
        d.handler(d.up ? 1 : 0, d.user);
    }
}

// Under link.mutex: moves spilled bytes into the room that pops made.
void drain_spill() {
    if (g_link.spill.empty()) return;
    g_link.spill.drain_into(&g_link.ring);
    if (g_link.spill.empty()) pthread_cond_broadcast(&g_link.changed);
}

void *packet_handle_thread(void *) {
    t_on_packet_thread = true;
    std::array<Delivery, kPopBatch> batch;
    for (;;) {
        int count;
        {
            Lock lock(g_link.mutex());
            for (;;) {
                drain_spill();
                if ((count = collect(batch)) > 0) break;
                // A frame may begin in the ring and end in the spill.
                if (!g_link.spill.empty() && ring::room(&g_link.ring) > 0) continue;
                // Nothing to deliver, yet skipped garbage may have made room:
                // a receive thread waiting for room must read again.
                if (g_link.receiver_waiting) pthread_cond_signal(&g_link.room);
                g_link.handler_waiting = true;
                pthread_mutex_unlock(&g_link.mutex());
                wait_for_wake();
                pthread_mutex_lock(&g_link.mutex());
            }
            drain_spill();
            // Wake a receive thread that waits for room only once a large
            // read fits: waking it per popped frame would cost a wake-up and
            // a small read per frame, while the ring still holds frames.
            if (g_link.receiver_waiting && ring::room(&g_link.ring) >= kRoomToWakeReceiver)
                pthread_cond_signal(&g_link.room);
        }
        for (int k = 0; k < count; ++k) deliver(batch[k]);
    }
    return nullptr;
}

// Under g_link.mutex.
bool start_packet_thread() {
    if (g_link.packet_thread_running) return true;
    if (g_link.wake[0] < 0) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return false;
        g_link.wake[0] = above_standard_streams(ends[0]);
        g_link.wake[1] = above_standard_streams(ends[1]);
        if (g_link.wake[0] < 0 || g_link.wake[1] < 0) {
            if (g_link.wake[0] >= 0) ::close(g_link.wake[0]);
            if (g_link.wake[1] >= 0) ::close(g_link.wake[1]);
            g_link.wake[0] = g_link.wake[1] = -1;
            return false;
        }
    }
    pthread_t thread;
    if (create_detached_thread(&thread, packet_handle_thread, nullptr) != 0) return false;
    g_link.packet_thread_running = true;
    return true;
}

// True when the peer of the standing connection has gone: a send failed
// with EPIPE/ECONNRESET, or the socket reports a hang-up.  Under
// g_link.mutex, which keeps the descriptor open.
bool peer_gone() {
    if (g_peer_gone.load()) return true;
    struct pollfd p = {g_link.fd, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR));
}

// Ends a connection whose peer has gone, and waits until it has ended.
// Under g_link.entry and g_link.mutex (held through `lock`).  Off the
// packet-handle thread the receive thread first gets a moment to read what
// the peer sent before it left; on it, nothing may wait for delivery.
void finish_dead_connection() {
    if (g_link.state == State::kConnected && !t_on_packet_thread) {
        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += kNaturalEndWaitMs / 1000;
        int rc = 0;
        while (rc != ETIMEDOUT && g_link.state != State::kIdle)
            rc = pthread_cond_timedwait(&g_link.changed, &g_link.mutex(), &until);
    }
    if (g_link.state == State::kIdle) return;
    g_link.stop_reading = true;
    if (g_link.state == State::kConnected) ::shutdown(g_link.fd, SHUT_RDWR);
    pthread_cond_signal(&g_link.room);
    while (g_link.state != State::kIdle) pthread_cond_wait(&g_link.changed, &g_link.mutex());
}

// Timed waits on `changed` count on the monotonic clock.
void init_changed_cond() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_link.changed, &attr);
    pthread_condattr_destroy(&attr);
}

// In a child after fork(): none of the threads exist there, and a lock may
// have been held by one of them.  The child starts disconnected.
void after_fork_in_child() {
    pthread_mutex_init(&g_link.entry, nullptr);
    pthread_mutex_init(&g_link.ring.buffer_mutex, nullptr);
    pthread_cond_init(&g_link.room, nullptr);
    init_changed_cond();
    log_after_fork_in_child();
    if (g_link.fd >= 0) ::close(g_link.fd);
    for (int &end : g_link.wake)
        if (end >= 0) ::close(end);
    g_link.wake[0] = g_link.wake[1] = -1;
    g_link.fd = -1;
    g_link.state = State::kIdle;
    g_link.stop_reading = false;
    g_link.spill.release();
    g_link.receiver_waiting = g_link.handler_waiting = g_link.handler_blocked = false;
    g_link.sends_giving_up.store(false);
    g_link.ring.fill_offset = g_link.ring.handle_offset = 0;
    g_link.ring.is_full_flag = g_link.ring.resync_flag = 0;
    g_link.pushed = g_link.consumed = 0;
    g_link.event_count = 0;
    g_link.delivery_connection = 0;
    g_link.packet_thread_running = false;
    ++g_link.reconnect_token;
    g_send_fd.store(-1);
    g_open_connection.store(0);
    g_users.store(0);
    g_peer_gone.store(false);
    t_on_packet_thread = false;
}

// Under g_link.entry.
bool prepare() {
    if (g_link.ready) return true;
    if (socket_receive_buffer_msg_init(&g_link.ring) != 0) return false;
    pthread_cond_destroy(&g_link.changed);
    init_changed_cond();
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    g_link.ready = true;
    return true;
}

}  // namespace

void set_connection_handler(ConnectionHandler handler, void *user) {
    Lock lock(g_link.mutex());
    g_link.connection_handler = handler;
    g_link.connection_user = handler ? user : nullptr;
}

void set_reconnect_interval(int milliseconds) {
    Lock lock(g_link.mutex());
    g_link.reconnect_ms = milliseconds > 0 ? milliseconds : 0;
    pthread_cond_broadcast(&g_link.changed);
}

}  // namespace mcu_agent

using namespace mcu_agent;

extern "C" {

int create_detached_thread(pthread_t *thread, void *(*thread_function)(void *), void *arg) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    const int rc = pthread_create(thread, &attr, thread_function, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

int socket_client_init(SOCKET_RECEIVE_CALLBACK_FUNC socket_receive_callback_func) {
    Lock entry(g_link.entry);
    if (!prepare()) return -1;
    {
        Lock lock(g_link.mutex());
        ++g_link.reconnect_token;  // this call decides; background attempts stand down
        pthread_cond_broadcast(&g_link.changed);
        if (g_link.state == State::kConnected && !peer_gone()) {
            g_link.callback = socket_receive_callback_func;
            return g_link.fd;
        }
        finish_dead_connection();
    }
    const int fd = connect_server(false);
    if (fd < 0) return -1;
    const char *failed = nullptr;
    {
        Lock lock(g_link.mutex());
        g_link.callback = socket_receive_callback_func;
        if (!start_packet_thread()) {
            failed = "%s :cannot create new socket_packet_handle_thread.\n";
        } else {
            // The new thread waits for the mutex, so it finds the
            // connection complete; should it fail to start, nothing of the
            // connection remains.
            g_link.fd = fd;
            pthread_t thread;
            if (create_detached_thread(&thread, receive_thread, nullptr) == 0) {
                make_connected(fd);
            } else {
                g_link.fd = -1;
                failed = "%s :cannot create new socket_receive_thread.\n";
            }
        }
    }
    if (failed) {
        ::close(fd);
        log_line(kLogError, failed, "socket_client_init");
        return -1;
    }
    return fd;
}

int socket_send(char *msg, int size) {
    if (!msg || size < 0) return -1;
    g_users.fetch_add(1);
    const int fd = g_send_fd.load();
    if (fd < 0) errno = ENOTCONN;
    const int connection = g_open_connection.load();
    const int rc = fd < 0 ? -1 : write_all(fd, msg, size, true);
    release_user();
    if (rc == size) trace::on_outbound(connection, reinterpret_cast<const uint8_t *>(msg), size);
    return rc;
}

int socket_sendto(int sockfd, char *msg, int size) {
    if (!msg || size < 0 || sockfd < 0) return -1;
    return write_all(sockfd, msg, size, false);
}

}  // extern "C"
