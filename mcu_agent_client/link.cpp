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
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "link_state.h"
#include "log.h"
#include "trace.h"

namespace mcu_agent::link {

Link g_link;
thread_local bool t_on_packet_thread = false;

namespace {

using Phase = Connection::Phase;

constexpr char kDefaultServerPath[] = "/tmp/mcu_agent";
constexpr int kLowestDescriptor = 3;  // never 0, 1 or 2: those are the standard streams
constexpr int kSlotWaitMs = 1000;

// A line found while a lock is held, printed once the locks are released.
class Report {
public:
    // `format` takes the function's name.
    void line(LogLevel level, const char *format) {
        level_ = level;
        snprintf(text_, sizeof text_, format, "socket_client_init");
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
    char text_[160] = "";
};

const char *server_path() {
    const char *path = getenv("MCU_AGENT_SOCKET");
    return path && *path ? path : kDefaultServerPath;
}

// A connected socket, or -1 with the reason in `report` (when given).
int connect_server(const char *path, Report *report) {
    int fd = above_standard_streams(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd < 0) {
        if (report) report->perror("cannot create communication socket");
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
        if (report) {
            char what[sizeof address.sun_path + 32];
            connect_error_text(path, what, sizeof what);
            report->perror(what);
        }
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
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

// Under the mutex: whether the packet-handle thread sleeps and must be
// woken.  The caller writes the wake pipe once it has released the mutex,
// which the woken thread takes at once.
bool handler_to_wake() {
    const bool sleeping = g_link.handler_waiting;
    g_link.handler_waiting = false;
    return sleeping;
}

void wake_handler() {
    if (handler_to_wake()) wake_packet_thread();
}

// Makes `fd` the connection sends go to; the receive thread takes it up
// after the older ones.
void make_current(int slot, int fd, const char *path) {
    Connection &c = g_link.connections[static_cast<size_t>(slot)];
    c.phase = Phase::kQueued;
    c.number = ++g_link.last_number;
    c.start = c.end = 0;
    c.up_taken = false;
    c.fd.store(fd);
    c.users.store(0);
    c.peer_gone.store(false);
    g_link.sends_giving_up.store(false);
    g_link.current_number.store(c.number);
    g_link.current.store(slot);
    pthread_cond_broadcast(&g_link.changed);
    wake_handler();  // its 1
    trace::on_connect(c.number, path);
}

// Sends stop going to the current connection; it is read to its end.
void retire_current() {
    const int index = g_link.current.load();
    if (index < 0) return;
    g_link.current.store(-1);
    g_link.current_number.store(0);
    ::shutdown(g_link.connections[static_cast<size_t>(index)].fd.load(), SHUT_RDWR);
    pthread_cond_broadcast(&g_link.changed);
}

// The peer of a standing connection has gone: a send failed with
// EPIPE/ECONNRESET, or the socket reports a hang-up.
bool peer_gone(const Connection &c) {
    if (c.peer_gone.load()) return true;
    struct pollfd p = {c.fd.load(), 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR));
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
            // The stall is over: the spill's memory goes.
            if (g_link.spill.holds_memory()) g_link.spill.release();
            g_link.receiver_waiting = false;
            return std::min(room, kReadChunk);
        }
        if (g_link.handler_blocked && !spill_full() && g_link.spill.reserve(kReadChunk)) {
            g_link.receiver_waiting = false;
            return kReadChunk;
        }
        g_link.receiver_waiting = true;
        pthread_cond_wait(&g_link.room, &g_link.mutex());
    }
}

// Senders are released and waited for, the descriptor is closed, and the
// packet-handle thread will give the 0 after the last byte read.
void end(Connection &c) {
    const int number = c.number;
    bool wake;
    {
        Lock lock(g_link.mutex());
        if (g_link.current.load() == static_cast<int>(&c - g_link.connections.data())) retire_current();
        const int fd = c.fd.load();
        ::shutdown(fd, SHUT_RDWR);
        while (c.users.load() > 0) pthread_cond_wait(&g_link.changed, &g_link.mutex());
        ::close(fd);
        c.fd.store(-1);
        c.end = g_link.pushed;
        // A connection that carried nothing, made while the handler was
        // still busy with an older one, is folded away unreported: a
        // churning agent cannot outrun the records or the handler.
        c.phase = !c.up_taken && c.end == c.start && older_pending(c) ? Phase::kFree : Phase::kEnded;
        // No read is under way: a drained spill's memory can go now.
        if (g_link.spill.empty() && g_link.spill.holds_memory()) g_link.spill.release();
        pthread_cond_broadcast(&g_link.changed);
        wake = handler_to_wake();
    }
    if (wake) wake_packet_thread();
    trace::on_disconnect(number);
}

// Reads one connection into the ring (or the spill) until its end.
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
            wake = handler_to_wake();
        }
        if (wake) wake_packet_thread();
    }
    end(c);
}

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

bool reconnect_wanted() {
    return g_link.reconnect_ms > 0 && g_link.entry_called && g_link.current.load() < 0 && !oldest_queued();
}

// One background attempt, with the mutex released around it (lock order:
// entry, then mutex).  Quiet: a failed attempt prints nothing.
bool connect_in_background() {
    pthread_mutex_unlock(&g_link.mutex());
    bool connected = false;
    {
        Lock entry(g_link.entry);
        int slot;
        {
            Lock lock(g_link.mutex());
            slot = reconnect_wanted() ? free_slot() : -1;
        }
        if (slot >= 0) {
            const char *path = server_path();
            const int fd = connect_server(path, nullptr);
            Lock lock(g_link.mutex());
            if (fd >= 0) {
                make_current(slot, fd, path);
                connected = true;
            }
        }
    }
    pthread_mutex_lock(&g_link.mutex());
    return connected;
}

// Under the mutex: the next connection to serve, in the order they were
// made.  With none, and a reconnect interval set, connects again in the
// background at that interval, doubling it up to eight times while
// attempts fail.
Connection *next_to_serve() {
    int delay_ms = 0;
    for (;;) {
        if (Connection *c = oldest_queued()) {
            c->phase = Phase::kServed;
            c->start = g_link.pushed;
            return c;
        }
        if (!reconnect_wanted()) {
            delay_ms = 0;
            pthread_cond_wait(&g_link.changed, &g_link.mutex());
            continue;
        }
        if (free_slot() < 0) {  // older connections are still being delivered
            pthread_cond_wait(&g_link.changed, &g_link.mutex());
            continue;
        }
        delay_ms = delay_ms == 0 ? g_link.reconnect_ms : std::min(delay_ms * 2, g_link.reconnect_ms * 8);
        const struct timespec until = deadline_after(delay_ms);
        while (reconnect_wanted() &&
               pthread_cond_clockwait(&g_link.changed, &g_link.mutex(), CLOCK_MONOTONIC, &until) != ETIMEDOUT) {
        }
        if (reconnect_wanted() && connect_in_background()) delay_ms = 0;
    }
}

void *receive_thread(void *) {
    for (;;) {
        Connection *c;
        {
            Lock lock(g_link.mutex());
            c = next_to_serve();
        }
        serve(*c);
    }
    return nullptr;
}

// Under the mutex: starts the two worker threads once.
bool start_threads(Report &report) {
    if (!g_link.packet_running) {
        pthread_t thread;
        if (!make_wake_pipe() || create_detached_thread(&thread, packet_handle_thread, nullptr) != 0) {
            report.line(kLogError, "%s :cannot create new socket_packet_handle_thread.\n");
            return false;
        }
        g_link.packet_running = true;
    }
    if (!g_link.receive_running) {
        pthread_t thread;
        if (create_detached_thread(&thread, receive_thread, nullptr) != 0) {
            report.line(kLogError, "%s :cannot create new socket_receive_thread.\n");
            return false;
        }
        g_link.receive_running = true;
    }
    return true;
}

// In a child after fork(): none of the threads exist there, and a lock may
// have been held by one of them.  The child starts disconnected.
void after_fork_in_child() {
    pthread_mutex_init(&g_link.entry, nullptr);
    pthread_mutex_init(&g_link.mutex(), nullptr);
    pthread_cond_init(&g_link.room, nullptr);
    pthread_cond_init(&g_link.changed, nullptr);
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
    g_link.current.store(-1);
    g_link.current_number.store(0);
    g_link.spill.release();
    g_link.receiver_waiting = g_link.handler_waiting = g_link.handler_blocked = false;
    g_link.sends_giving_up.store(false);
    g_link.ring.fill_offset = g_link.ring.handle_offset = 0;
    g_link.ring.is_full_flag = g_link.ring.resync_flag = 0;
    g_link.pushed = g_link.consumed = 0;
    g_link.packet_running = g_link.receive_running = false;
    t_on_packet_thread = false;
}

pthread_once_t g_fork_handler_once = PTHREAD_ONCE_INIT;
void register_fork_handler() { pthread_atfork(nullptr, nullptr, after_fork_in_child); }

// Off the packet-handle thread, an entry point that finds every record
// taken (connections made faster than their ends are delivered) gives
// the worker threads a moment to catch up.  Without the entry lock: a
// handler may be waiting for it.
void wait_for_free_slot() {
    if (t_on_packet_thread) return;
    Lock lock(g_link.mutex());
    const struct timespec until = deadline_after(kSlotWaitMs);
    while (free_slot() < 0 &&
           pthread_cond_clockwait(&g_link.changed, &g_link.mutex(), CLOCK_MONOTONIC, &until) != ETIMEDOUT) {
    }
}

// The entry point's work under its locks; lines go to `report`.
int enter(SOCKET_RECEIVE_CALLBACK_FUNC callback, Report &report) {
    Lock entry(g_link.entry);
    int slot;
    {
        Lock lock(g_link.mutex());
        g_link.callback = callback;
        g_link.entry_called = true;
        const int index = g_link.current.load();
        if (index >= 0) {
            Connection &c = g_link.connections[static_cast<size_t>(index)];
            if (!peer_gone(c)) return c.fd.load();
            retire_current();
        }
        slot = free_slot();
        if (slot < 0) {
            report.line(kLogError, "%s : connections still being delivered, none made.\n");
            return -1;
        }
    }
    const char *path = server_path();
    const int fd = connect_server(path, &report);
    Lock lock(g_link.mutex());
    if (fd < 0) {
        // With an interval set the receive thread goes on trying.
        Report ignored;
        if (g_link.reconnect_ms > 0) start_threads(ignored);
        pthread_cond_broadcast(&g_link.changed);
        return -1;
    }
    if (!start_threads(report)) {
        ::close(fd);
        return -1;
    }
    make_current(slot, fd, path);
    return fd;
}

}  // namespace

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

void set_connection_handler(ConnectionHandler handler, void *user) {
    link::Lock lock(link::g_link.mutex());
    link::g_link.connection_handler = handler;
    link::g_link.connection_user = handler ? user : nullptr;
}

void set_reconnect_interval(int milliseconds) {
    link::Lock lock(link::g_link.mutex());
    link::g_link.reconnect_ms = milliseconds > 0 ? milliseconds : 0;
    pthread_cond_broadcast(&link::g_link.changed);
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
