// link.cpp - the connections to the agent server: the entry point, the
// receive thread with its background reconnect, and the end of a
// connection.  The thread map is in link_state.h.
//
// The life of a connection, in its record:
//
//   free --(an entry point or the background reconnect connects)--> queued
//   queued --(the receive thread takes it up)--> served
//   served --(the peer closed, or a read failed)--> ended
//   ended --(its last frame and its 0 delivered)--> free
//
// Sends always go to the newest connection.  An entry point that finds the
// peer of that connection gone shuts it down and connects anew at once;
// the old connection is still read to its end (what its peer sent before
// it left stays readable), so its frames are delivered and its 0 given
// before anything of the new one.  Bytes of a queued connection wait in its
// socket until the receive thread has served the older ones.
#include "link.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "link_state.h"
#include "log.h"
#include "mcu_agent_api.h"
#include "peer_trust.h"
#include "trace.h"

namespace mcu_agent::link {

Link g_link;
thread_local bool t_on_packet_thread = false;
thread_local bool t_delivering = false;

namespace {

using Phase = Connection::Phase;

constexpr char kDefaultServerPath[] = "/tmp/mcu_agent";
constexpr int kLowestDescriptor = 3;  // never 0, 1 or 2: those are the standard streams
constexpr int kSlotWaitMs = 1000;
// How long a shutdown waits for the library's threads (and handlers) to end.
constexpr int kShutdownWaitMs = 5000;
constexpr int kPopBatchForShutdown = 64;
// How long a connect may wait for an agent that has bound its socket but
// does not accept yet (its backlog is full): then it fails like any other.
constexpr int kConnectDeadlineMs = 1000;
constexpr int kConnectRetryMs = 10;

// A line found while a lock is held, printed once the locks are released.
class Report {
public:
    // `format` takes the function's name.
    void line(LogLevel level, const char *format) {
        level_ = level;
        snprintf(text_, sizeof text_, format, "socket_client_init");
        error_ = -1;
    }
    void text(LogLevel level, const char *text) {
        level_ = level;
        snprintf(text_, sizeof text_, "%s\n", text);
        error_ = -1;
    }
    void perror(const char *text) {
        level_ = kLogError;
        snprintf(text_, sizeof text_, "%s", text);
        error_ = errno;
    }
    void print() const {
        if (!text_[0]) return;
        if (error_ >= 0) {
            errno = error_;
            log_perror(text_);
        } else {
            log_line(level_, "%s", text_);
        }
    }

private:
    LogLevel level_ = kLogError;
    int error_ = -1;
    char text_[384] = "";
};

// A setuid program ignores the environment: another user chose it.
const char *server_path() {
    const char *path = secure_getenv("MCU_AGENT_SOCKET");
    return path && *path ? path : kDefaultServerPath;
}

// The uid and group that McuAgent_set_trusted_agent named; -1 none.
std::atomic<long> g_trusted_uid{peer::kNobody};
std::atomic<long> g_trusted_gid{peer::kNobody};

bool agent_trusted(const peer::Credentials &who) {
    const peer::Trust called{g_trusted_uid.load(), g_trusted_gid.load()};
    return peer::trusted(who, peer::configured_trust()) || peer::trusted(who, called);
}

void sleep_until(const struct timespec &until) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// connect() with a deadline.  A Unix listener whose backlog is full (an
// agent that has bound its socket but does not accept yet) refuses a
// non-blocking connect with EAGAIN instead of queueing it, so the connect
// is tried again in short steps until the deadline; a signal only resumes
// the wait for the same deadline.
int connect_before_deadline(int fd, const struct sockaddr_un &address) {
    const struct timespec until = deadline_after(kConnectDeadlineMs);
    const auto *to = reinterpret_cast<const struct sockaddr *>(&address);
    for (;;) {
        if (::connect(fd, to, sizeof address) == 0) return 0;
        if (errno == EINPROGRESS) {
            int left;
            struct pollfd p = {fd, POLLOUT, 0};
            while ((left = ms_until(until)) > 0 && ::poll(&p, 1, left) <= 0) {
            }
            int error = ETIMEDOUT;
            socklen_t n = sizeof error;
            if (p.revents && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &n) != 0) error = errno;
            if (error == 0) return 0;
            errno = error;
            return -1;
        }
        if (errno != EAGAIN && errno != EINTR) return -1;
        if (ms_until(until) <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        const struct timespec step = deadline_after(kConnectRetryMs);
        sleep_until(step.tv_sec < until.tv_sec || (step.tv_sec == until.tv_sec && step.tv_nsec < until.tv_nsec)
                        ? step
                        : until);
    }
}

// Model: connect.  socket() takes the lowest free number; closed again on
// failure.  A connected socket to a trusted agent, or -1 with the reason in
// `report`.  When `quiet` (the background reconnect, which tries again and
// again), only a refused agent is reported, and only when its uid differs
// from the one refused last.
int connect_server(const char *path, Report &report, bool quiet) {
    int fd = above_standard_streams(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd < 0) {
        if (!quiet) report.perror("cannot create communication socket");
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
        rc = connect_before_deadline(fd, address);
    }
    if (rc == -1) {
        if (!quiet) {
            char what[sizeof address.sun_path + 32];
            connect_error_text(path, what, sizeof what);
            report.perror(what);
        }
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    // Sends from application threads block; the receive thread polls.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    static std::atomic<long> last_refused{peer::kNobody - 1};
    peer::Credentials who;
    if (!peer::read_credentials(fd, &who) || !agent_trusted(who)) {
        if (last_refused.exchange(who.uid) != who.uid || !quiet) {
            char why[sizeof address.sun_path + 200];
            peer::refusal_text(path, who, why, sizeof why);
            report.text(kLogError, why);
        }
        ::close(fd);
        errno = EACCES;
        return -1;
    }
    last_refused.store(peer::kNobody - 1);
    return fd;
}

// ---- records (all under the mutex) ------------------------------------------

int free_slot() {
    for (size_t i = 0; i < g_link.connections.size(); ++i)
        if (g_link.connections[i].phase == Phase::kFree) return static_cast<int>(i);
    return -1;
}

Connection *oldest_queued() {
    Connection *oldest = nullptr;
    for (Connection &c : g_link.connections)
        if (c.phase == Phase::kQueued && (!oldest || c.number < oldest->number)) oldest = &c;
    return oldest;
}

// A connection made before `c` still waits for delivery.
bool older_pending(const Connection &c) {
    for (const Connection &o : g_link.connections)
        if (o.phase != Phase::kFree && o.number < c.number) return true;
    return false;
}

void wake_handler() {
    if (handler_to_wake()) wake_packet_thread();
}

// Model: make_current.  Makes `fd` the connection sends go to; the
// receive thread takes it up after the older ones.
void make_current(int slot, int fd, const char *path) {
    Connection &c = g_link.connections[static_cast<size_t>(slot)];
    c.phase = Phase::kQueued;
    c.number = ++g_link.last_number;
    c.start = c.end = 0;
    c.up_taken = false;
    c.up_owed = false;
    c.fd.store(fd);
    // `users` is not reset: a sender that loaded the previous word may
    // still count itself in and out of this record; every increment has
    // its decrement, so the count stays balanced across reuse.
    c.peer_gone.store(false);
    g_link.sends_giving_up.store(false);
    g_link.current.store(current_word(slot, c.number));
    pthread_cond_broadcast(&g_link.work);
    wake_handler();  // its 1
    trace::on_connect(c.number, path);
}

// Model: retire.  Sends stop going to the current connection; it is read
// to its end.
void retire_current() {
    const uint32_t word = g_link.current.exchange(0);
    if (!word) return;
    ::shutdown(g_link.connections[static_cast<size_t>(index_of(word))].fd.load(), SHUT_RDWR);
    pthread_cond_broadcast(&g_link.released);
}

// Model: peer_gone.  The peer of a standing connection has gone: a send
// failed with EPIPE/ECONNRESET, or the socket reports that the peer closed
// or shut down its sending side (a half-close raises no hang-up, yet
// nothing more will come: the receive thread ends the connection there).
bool peer_gone(const Connection &c) {
    if (c.peer_gone.load()) return true;
    struct pollfd p = {c.fd.load(), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLRDHUP));
}

// Model: end, drop_if_empty.  Under the mutex: waits until no sender is
// inside a write on `c`'s descriptor.  Only for a connection that is no
// longer current (its descriptor shut down), so the wait is short: every
// write on it fails at once.  The mutex is released while waiting.
void wait_until_unused(Connection &c) {
    while (c.users.load() > 0) pthread_cond_wait(&g_link.released, &g_link.mutex());
}

void close_descriptor(Connection &c) {
    ::close(c.fd.load());
    c.fd.store(-1);
}

// Model: drop_if_empty.  Under the mutex: a connection that is no longer
// current, not yet served and holds no byte (its content is final: it was
// shut down) carried nothing: its record goes at once, with no events.  So
// connections that an agent accepted and closed at once never hold records
// while an older connection is still being delivered.
void drop_empty_queued() {
    const int current = current_index();
    for (size_t i = 0; i < g_link.connections.size(); ++i) {
        Connection &c = g_link.connections[i];
        if (c.phase != Phase::kQueued || static_cast<int>(i) == current || c.up_taken) continue;
        char byte;
        if (::recv(c.fd.load(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0) continue;  // bytes, or not known
        const int number = c.number;
        wait_until_unused(c);
        // The wait released the mutex: the receive thread may have taken
        // the connection up, the packet-handle thread its 1, or another
        // caller dropped it and the record went to a new connection.
        if (c.number != number || c.phase != Phase::kQueued || c.up_taken) continue;
        close_descriptor(c);
        c.phase = Phase::kFree;
        connection_dropped(number);
        pthread_cond_broadcast(&g_link.released);
    }
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

bool spill_full() { return g_link.spill.size() + kReadChunk > kSpillLimit; }

// Under the mutex: how many bytes the next read may take, waiting for room
// while the ring is full (unless the spill may take them).
int room_for_read() {
    for (;;) {
        const int room = ring::room(&g_link.ring);
        if (g_link.spill.empty() && room > 0) {
            release_spill_if_idle();
            g_link.receiver_waiting = false;
            return std::min(room, kReadChunk);
        }
        if (g_link.handler_blocked && !spill_full() && g_link.spill.reserve(kReadChunk)) {
            g_link.receiver_waiting = false;
            g_link.receiver_spilling = true;  // the reservation must outlive the read
            return kReadChunk;
        }
        g_link.receiver_waiting = true;
        pthread_cond_wait(&g_link.room, &g_link.mutex());
    }
}

// Model: retire_at_end.  The end of a connection was read: no entry point
// may report it from here on, and sends to it stop.  Done before the
// "disconnected" line, which may run the application's log handler.
void retire_if_current(Connection &c) {
    Lock lock(g_link.mutex());
    if (current_index() == static_cast<int>(&c - g_link.connections.data())) retire_current();
}

// Model: end.  Senders are released and waited for, the descriptor is
// closed, and the packet-handle thread will give the 0 after the last
// byte read.
void end(Connection &c) {
    const int number = c.number;
    bool wake;
    {
        Lock lock(g_link.mutex());
        if (current_index() == static_cast<int>(&c - g_link.connections.data())) retire_current();
        ::shutdown(c.fd.load(), SHUT_RDWR);
        wait_until_unused(c);
        close_descriptor(c);
        c.end = g_link.pushed;
        // A connection that carried nothing, made while the handler was
        // still busy with an older one, is folded away unreported.
        c.phase = !c.up_taken && c.end == c.start && older_pending(c) ? Phase::kFree : Phase::kEnded;
        if (c.phase == Phase::kFree) connection_dropped(number);
        release_spill_if_idle();
        pthread_cond_broadcast(&g_link.released);
        wake = handler_to_wake();
    }
    if (wake) wake_packet_thread();
    trace::on_disconnect(number);
}

// Model: serve.  Reads one connection into the ring (or the spill) until
// its end: waits for bytes, then room, reads, pushes; at the end
// retire_at_end, then the line.
void serve(Connection &c) {
    const int fd = c.fd.load();
    std::array<char, kReadChunk> area;
    // Bytes first, room second: a ring that a burst left full needs the
    // packet-handle thread to wake this thread only when more bytes are
    // already waiting.
    while (socket_wait(fd)) {
        int want;
        {
            Lock lock(g_link.mutex());
            want = room_for_read();
        }
        ssize_t n;
        do {
            n = ::read(fd, area.data(), static_cast<size_t>(want));
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno == EAGAIN) {
            Lock lock(g_link.mutex());
            g_link.receiver_spilling = false;
            continue;
        }
        if (n <= 0) {
            {
                Lock lock(g_link.mutex());
                g_link.receiver_spilling = false;
            }
            retire_if_current(c);
            log_line(kLogWarning, "socket %d disconnected\n", fd);
            break;
        }
        bool wake;
        {
            Lock lock(g_link.mutex());
            g_link.receiver_spilling = false;
            // Only this thread adds bytes: an empty spill stays empty and
            // the ring's room only grew since it was measured.
            if (g_link.spill.empty() && ring::room(&g_link.ring) >= n)
                socket_receive_buffer_msg_push(&g_link.ring, reinterpret_cast<unsigned char *>(area.data()),
                                               static_cast<int>(n));
            else
                g_link.spill.append(area.data(), static_cast<size_t>(n));
            g_link.pushed += static_cast<uint64_t>(n);
            wake = handler_to_wake();
        }
        if (wake) wake_packet_thread();
    }
    end(c);
}

bool reconnect_wanted() {
    return !g_link.stopping && g_link.reconnect_ms > 0 && g_link.entry_called && !g_link.current.load() && !oldest_queued();
}

// The wait before the next background attempt after `failures` failed
// ones: the interval, doubled per failure up to the cap (8x the interval
// unless the application set one).
int reconnect_delay_ms(int failures) {
    const int base = g_link.reconnect_ms;
    const int cap = g_link.reconnect_max_ms > 0 ? std::max(g_link.reconnect_max_ms, base) : base * 8;
    int64_t delay = base;
    for (int i = 0; i < failures && delay < cap; ++i) delay *= 2;
    return static_cast<int>(std::min<int64_t>(delay, cap));
}

// Model: connect_in_background.  One background attempt, with the mutex
// released around it (lock order: entry, then mutex).  Quiet: a failed
// attempt prints nothing, a refused agent one line.
bool connect_in_background() {
    pthread_mutex_unlock(&g_link.mutex());
    bool connected = false;
    Report report;
    {
        Lock entry(g_link.entry);
        int slot;
        {
            Lock lock(g_link.mutex());
            drop_empty_queued();
            slot = reconnect_wanted() ? free_slot() : -1;
        }
        if (slot >= 0) {
            const char *path = server_path();
            const int fd = connect_server(path, report, true);
            Lock lock(g_link.mutex());
            if (fd >= 0) {
                make_current(slot, fd, path);
                connected = true;
            }
        }
    }
    report.print();
    pthread_mutex_lock(&g_link.mutex());
    return connected;
}

// Model: next_to_serve.  Under the mutex: the next connection to serve,
// in the order they were made.  With none, and a reconnect interval set,
// connects again in the background at that interval, doubling while
// attempts fail.  The wait runs from the last attempt (or from the moment
// no connection stood); a change of the settings recomputes it, undoubled.
Connection *next_to_serve() {
    int failures = 0;
    bool waiting = false;  // `since` holds when the current wait began
    struct timespec since = deadline_after(0);
    for (;;) {
        if (Connection *c = oldest_queued()) {
            c->phase = Phase::kServed;
            c->start = g_link.pushed;
            return c;
        }
        if (g_link.stopping) return nullptr;
        if (!reconnect_wanted() || free_slot() < 0) {
            // No interval, or older connections are still being delivered.
            failures = 0;
            waiting = false;
            pthread_cond_wait(&g_link.work, &g_link.mutex());
            continue;
        }
        if (!waiting) {
            since = deadline_after(0);
            waiting = true;
        }
        const uint32_t settings = g_link.settings_changed;
        const int delay = reconnect_delay_ms(failures);
        struct timespec until = since;
        until.tv_sec += delay / 1000;
        until.tv_nsec += static_cast<long>(delay % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        int rc = ms_until(until) > 0 ? 0 : ETIMEDOUT;
        while (rc != ETIMEDOUT && reconnect_wanted() && settings == g_link.settings_changed)
            rc = pthread_cond_clockwait(&g_link.work, &g_link.mutex(), CLOCK_MONOTONIC, &until);
        if (settings != g_link.settings_changed) {
            failures = 0;
            continue;
        }
        if (rc != ETIMEDOUT) continue;
        waiting = false;
        if (connect_in_background()) {
            failures = 0;
        } else {
            ++failures;
            since = deadline_after(0);
            waiting = true;
        }
    }
}

void *receive_thread(void *) {
    for (;;) {
        Connection *c;
        bool wake = false;
        {
            Lock lock(g_link.mutex());
            c = next_to_serve();
            if (!c) {
                // Shutdown: every connection was read to its end.
                g_link.receive_running = false;
                pthread_cond_broadcast(&g_link.released);
                wake = handler_to_wake();
            }
        }
        if (!c) {
            if (wake) wake_packet_thread();
            return nullptr;
        }
        serve(*c);
    }
}

// Under the mutex: the timer for the deadlines of asynchronous calls.
bool make_timer() {
    if (g_link.timer >= 0) return true;
    g_link.timer = above_standard_streams(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    return g_link.timer >= 0;
}

// Under the mutex: starts the worker threads once (in the application's
// dispatch mode only the receive thread: the application delivers).
bool start_threads(Report &report) {
    if (g_link.stopping) {
        report.line(kLogError, "%s : the library is shutting down.\n");
        return false;
    }
    const bool application = g_link.dispatch_mode == MCU_AGENT_DISPATCH_APPLICATION;
    if (application ? !make_application_descriptor() : !make_wake_pipe() || !make_timer()) {
        report.line(kLogError, "%s :cannot create new socket_packet_handle_thread.\n");
        return false;
    }
    if (!application && !g_link.packet_running) {
        if (pthread_create(&g_link.packet_thread, nullptr, packet_handle_thread, nullptr) != 0) {
            report.line(kLogError, "%s :cannot create new socket_packet_handle_thread.\n");
            return false;
        }
        g_link.packet_running = g_link.packet_joinable = true;
    }
    if (!g_link.receive_running) {
        if (pthread_create(&g_link.receive_thread, nullptr, receive_thread, nullptr) != 0) {
            report.line(kLogError, "%s :cannot create new socket_receive_thread.\n");
            return false;
        }
        g_link.receive_running = g_link.receive_joinable = true;
    }
    return true;
}

// Model: start_reconnect.  Under the mutex: once an entry point ran and an
// interval is set, the receive thread runs, whether the entry point failed
// or the interval came later; it is the one that connects in the
// background.
void start_background_reconnect() {
    if (g_link.reconnect_ms <= 0 || !g_link.entry_called) return;
    Report ignored;  // a failure here is retried by the next entry point or setter
    start_threads(ignored);
    pthread_cond_broadcast(&g_link.work);
}

// In a child after fork(): none of the threads exist there, and a lock may
// have been held by one of them.  The child starts disconnected.
void after_fork_in_child() {
    pthread_mutex_init(&g_link.entry, nullptr);
    pthread_mutex_init(&g_link.mutex(), nullptr);
    pthread_cond_init(&g_link.room, nullptr);
    pthread_cond_init(&g_link.work, nullptr);
    pthread_cond_init(&g_link.released, nullptr);
    log_after_fork_in_child();
    for (Connection &c : g_link.connections) {
        if (c.fd.load() >= 0) ::close(c.fd.load());
        c.fd.store(-1);
        c.users.store(0);
        c.phase = Phase::kFree;
    }
    for (int &end : g_link.wake) {
        if (end >= 0) ::close(end);
        end = -1;
    }
    g_link.current.store(0);
    g_link.spill.release();
    g_link.receiver_waiting = g_link.handler_waiting = g_link.handler_blocked = false;
    g_link.receiver_spilling = false;
    g_link.sends_giving_up.store(false);
    g_link.ring.fill_offset = g_link.ring.handle_offset = 0;
    g_link.ring.is_full_flag = g_link.ring.resync_flag = 0;
    g_link.pushed = g_link.consumed = 0;
    g_link.packet_running = g_link.receive_running = false;
    g_link.packet_joinable = g_link.receive_joinable = false;
    pthread_mutex_init(&g_link.dispatch_role, nullptr);
    for (int *fd : {&g_link.events, &g_link.timer}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    g_link.wake_has_byte = false;
    g_link.stopping = false;
    forget_carried();
    listeners_after_fork();
    t_on_packet_thread = false;
    t_delivering = false;
}

pthread_once_t g_fork_handler_once = PTHREAD_ONCE_INIT;
void register_fork_handler() { pthread_atfork(nullptr, nullptr, after_fork_in_child); }

// Off the packet-handle thread, an entry point that finds every record
// taken (connections that carried frames made faster than their ends are
// delivered) gives the worker threads a moment to catch up.  Without the
// entry lock: a handler may be waiting for it.
void wait_for_free_slot() {
    if (t_on_packet_thread) return;
    Lock lock(g_link.mutex());
    const struct timespec until = deadline_after(kSlotWaitMs);
    drop_empty_queued();
    while (free_slot() < 0 &&
           pthread_cond_clockwait(&g_link.released, &g_link.mutex(), CLOCK_MONOTONIC, &until) != ETIMEDOUT) {
        drop_empty_queued();
    }
}

// Model: enter.  The entry point's work under its locks; lines go to
// `report`.
int enter(SOCKET_RECEIVE_CALLBACK_FUNC callback, Report &report) {
    Lock entry(g_link.entry);
    int slot;
    {
        Lock lock(g_link.mutex());
        if (g_link.stopping) {
            report.line(kLogError, "%s : the library is shutting down.\n");
            return -1;
        }
        g_link.callback = callback;
        g_link.entry_called = true;
        const int index = current_index();
        if (index >= 0) {
            Connection &c = g_link.connections[static_cast<size_t>(index)];
            if (!peer_gone(c)) return c.fd.load();
            retire_current();
        }
        drop_empty_queued();
        slot = free_slot();
        if (slot < 0) {
            report.line(kLogError, "%s : connections still being delivered, none made.\n");
            start_background_reconnect();
            return -1;
        }
    }
    const char *path = server_path();
    const int fd = connect_server(path, report, false);
    Lock lock(g_link.mutex());
    if (fd < 0) {
        start_background_reconnect();  // with an interval set it goes on trying
        return -1;
    }
    if (!start_threads(report)) {
        ::close(fd);
        return -1;
    }
    make_current(slot, fd, path);
    return fd;
}

// Model: shutdown_deliver.  In the application's mode the thread that
// shuts down delivers what is left, holding the dispatch role.
bool deliver_rest_here(const struct timespec &until) {
    while (pthread_mutex_trylock(&g_link.dispatch_role) != 0) {
        if (ms_until(until) == 0) return false;
        sleep_until(deadline_after(1));
    }
    const bool outer = t_on_packet_thread;
    t_on_packet_thread = true;
    bool done = false;
    while (!done && ms_until(until) > 0) {
        if (deliver_some(kPopBatchForShutdown) > 0) continue;
        {
            Lock lock(g_link.mutex());
            done = !g_link.receive_running && !deliveries_waiting();
        }
        if (!done) {
            struct pollfd p = {g_link.events, POLLIN, 0};
            ::poll(&p, 1, std::min(10, ms_until(until)));
        }
    }
    t_on_packet_thread = outer;
    pthread_mutex_unlock(&g_link.dispatch_role);
    return done;
}

// A worker thread that said under the mutex that it ends (`running`
// cleared) is joined; the join itself then waits only for its return.
bool join_before(bool &joinable, const bool &running, pthread_t thread, const struct timespec &until) {
    if (!joinable) return true;
    {
        Lock lock(g_link.mutex());
        while (running && pthread_cond_clockwait(&g_link.released, &g_link.mutex(), CLOCK_MONOTONIC, &until) != ETIMEDOUT) {
        }
        if (running) return false;
    }
    pthread_join(thread, nullptr);
    joinable = false;
    return true;
}

// Model: shutdown.
int shutdown_link() {
    if (t_delivering) {
        errno = EDEADLK;
        return -1;
    }
    const struct timespec until = deadline_after(kShutdownWaitMs);
    {
        Lock entry(g_link.entry);
        Lock lock(g_link.mutex());
        g_link.stopping = true;
        retire_current();
        // Older connections still being read end at the bytes they hold.
        for (Connection &c : g_link.connections)
            if (c.phase == Phase::kQueued || c.phase == Phase::kServed) ::shutdown(c.fd.load(), SHUT_RDWR);
        pthread_cond_broadcast(&g_link.work);
        if (handler_to_wake()) wake_packet_thread();
    }
    bool ended = true;
    if (g_link.dispatch_mode == MCU_AGENT_DISPATCH_APPLICATION && g_link.events >= 0)
        ended = deliver_rest_here(until);
    ended = ended && join_before(g_link.receive_joinable, g_link.receive_running, g_link.receive_thread, until);
    ended = ended && join_before(g_link.packet_joinable, g_link.packet_running, g_link.packet_thread, until);
    if (!ended) {
        errno = ETIMEDOUT;
        return -1;
    }
    {
        Lock lock(g_link.mutex());
        end_everything();  // may run completions: no entry lock held
    }
    Lock entry(g_link.entry);
    Lock lock(g_link.mutex());
    for (Connection &c : g_link.connections) {
        if (c.fd.load() >= 0) ::close(c.fd.load());
        c.fd.store(-1);
        c.phase = Phase::kFree;
    }
    for (int *fd : {&g_link.wake[0], &g_link.wake[1], &g_link.events, &g_link.timer}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    g_link.current.store(0);
    g_link.spill.release();
    g_link.ring.fill_offset = g_link.ring.handle_offset = 0;
    g_link.ring.is_full_flag = g_link.ring.resync_flag = 0;
    g_link.pushed = g_link.consumed = 0;
    g_link.receiver_waiting = g_link.handler_waiting = g_link.handler_blocked = false;
    g_link.receiver_spilling = false;
    g_link.wake_has_byte = false;
    g_link.packet_running = g_link.receive_running = false;
    g_link.entry_called = false;
    forget_carried();
    g_link.stopping = false;
    return 0;
}

}  // namespace

// A point `ms` from now on the monotonic clock.
struct timespec deadline_after(int ms) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    return until;
}

// Milliseconds left until `until` (rounded up), 0 when it has passed.
int ms_until(const struct timespec &until) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ns = (static_cast<int64_t>(until.tv_sec) - now.tv_sec) * 1000000000LL + (until.tv_nsec - now.tv_nsec);
    return ns <= 0 ? 0 : static_cast<int>(std::min<int64_t>((ns + 999999) / 1000000, INT32_MAX));
}

bool handler_to_wake() {
    const bool sleeping = g_link.handler_waiting;
    g_link.handler_waiting = false;
    if (!sleeping || g_link.dispatch_mode != MCU_AGENT_DISPATCH_APPLICATION) return sleeping;
    // The application's descriptor: one byte at most, claimed here.
    if (g_link.wake_has_byte) return false;
    g_link.wake_has_byte = true;
    return true;
}

bool make_application_descriptor() {
    if (g_link.events >= 0) return true;
    if (!make_wake_pipe() || !make_timer()) return false;
    for (const int end : g_link.wake) fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
    const int events = above_standard_streams(epoll_create1(EPOLL_CLOEXEC));
    if (events < 0) return false;
    struct epoll_event wake = {};
    wake.events = EPOLLIN;
    struct epoll_event timer = wake;
    if (epoll_ctl(events, EPOLL_CTL_ADD, g_link.wake[0], &wake) != 0 ||
        epoll_ctl(events, EPOLL_CTL_ADD, g_link.timer, &timer) != 0) {
        ::close(events);
        return false;
    }
    g_link.events = events;
    // Readable at once when something waits already (nothing was carried
    // yet: the carry belongs to dispatches, which come after this).
    g_link.wake_has_byte = false;
    g_link.handler_waiting = true;
    if (deliveries_waiting() && handler_to_wake()) wake_packet_thread();
    return true;
}

// Log watchers match the plain line; the path is named only when the
// environment chose another one.
void connect_error_text(const char *path, char *text, size_t size) {
    if (strcmp(path, kDefaultServerPath) == 0)
        snprintf(text, size, "cannot connect to the server");
    else
        snprintf(text, size, "cannot connect to the server %s", path);
}

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

}  // namespace mcu_agent::link

namespace mcu_agent {

// Model: set_handler.  A handler set while a connection is being
// delivered whose 1 was already taken is told 1 first, before anything
// else of that connection, as a subscription hears the current state.
void set_connection_handler(ConnectionHandler handler, void *user) {
    using namespace link;
    bool wake;
    {
        Lock lock(g_link.mutex());
        const bool changed = handler != g_link.connection_handler || user != g_link.connection_user;
        g_link.connection_handler = handler;
        g_link.connection_user = handler ? user : nullptr;
        Connection *c = delivering();
        if (c && changed) c->up_owed = handler && c->up_taken;
        wake = c && c->up_owed && handler_to_wake();
    }
    if (wake) wake_packet_thread();
}

// Model: set_interval.
void set_reconnect_interval(int milliseconds) {
    using namespace link;
    Lock lock(g_link.mutex());
    g_link.reconnect_ms = milliseconds > 0 ? milliseconds : 0;
    ++g_link.settings_changed;
    start_background_reconnect();
    pthread_cond_broadcast(&g_link.work);
}

void set_reconnect_max_interval(int milliseconds) {
    using namespace link;
    Lock lock(g_link.mutex());
    g_link.reconnect_max_ms = milliseconds > 0 ? milliseconds : 0;
    ++g_link.settings_changed;
    pthread_cond_broadcast(&g_link.work);
}

void set_trusted_agent(long uid, long gid) {
    link::g_trusted_uid.store(uid >= 0 ? uid : peer::kNobody);
    link::g_trusted_gid.store(gid >= 0 ? gid : peer::kNobody);
}

}  // namespace mcu_agent

using namespace mcu_agent::link;

extern "C" {

int create_detached_thread(pthread_t *thread, void *(*thread_function)(void *), void *arg) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    const int rc = pthread_create(thread, &attr, thread_function, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

int McuAgent_shutdown(void) { return shutdown_link(); }

int socket_client_init(SOCKET_RECEIVE_CALLBACK_FUNC socket_receive_callback_func) {
    // Both may print: neither runs under a library lock.
    mcu_agent::trace::prepare();
    pthread_once(&g_fork_handler_once, register_fork_handler);
    wait_for_free_slot();
    Report report;
    const int fd = enter(socket_receive_callback_func, report);
    report.print();
    return fd;
}

}  // extern "C"
