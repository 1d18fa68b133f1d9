// link_send.cpp - sends: whole frames, never a SIGPIPE, never to a
// descriptor that is no longer the library's, and never a handler blocked
// for good while frames wait behind it.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "link_state.h"
#include "log.h"
#include "trace.h"

namespace mcu_agent::link {

thread_local int t_sent_number = 0;

namespace {

constexpr int kSendPollMs = 200;
// How long a send from the packet-handle thread waits without progress,
// while frames wait behind it, before it gives up.
constexpr int kGiveUpAfterMs = 5000;

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

// Model: handler_send_wait.  On the packet-handle thread a send that would
// block first lets the receive thread spill, then waits for room.  Every
// frame behind it waits too, so it gives up (before the first byte of a
// frame only) when the socket took nothing for kGiveUpAfterMs while frames
// waited in the ring or the spill the whole time, or at once when an
// earlier send of this run gave up.  The time is measured on the monotonic
// clock from the moment frames began to wait: a signal only resumes the
// wait.  Returns false with errno ETIMEDOUT then.
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
    bool stuck = false;           // frames have waited behind this send since `stuck_since`
    struct timespec give_up_at{};
    while (!writable && !give_up) {
        struct pollfd p = {fd, POLLOUT, 0};
        const int rc = ::poll(&p, 1, stuck ? std::min(kSendPollMs, std::max(1, ms_until(give_up_at))) : kSendPollMs);
        if (rc > 0 || (rc < 0 && errno != EINTR)) {
            writable = true;  // also on POLLHUP/POLLERR: the send reports it
            break;
        }
        Lock lock(g_link.mutex());
        if (!frames_waiting()) {
            stuck = false;
        } else if (!stuck) {
            stuck = true;
            give_up_at = deadline_after(kGiveUpAfterMs);
        }
        give_up = may_give_up && stuck && ms_until(give_up_at) == 0;
    }
    bool first = false;
    {
        Lock lock(g_link.mutex());
        g_link.handler_blocked = false;
        release_spill_if_idle();
        if (give_up) first = !g_link.sends_giving_up.exchange(true);
    }
    if (first)
        log_line(kLogWarning, "%s : agent server not reading, sends from handlers give up.\n", "socket_send");
    if (give_up) errno = ETIMEDOUT;
    return !give_up;
}

// Model: release.  The end of a connection that is no longer current
// waits for its users.
void release(Connection &c, uint32_t word) {
    if (c.users.fetch_sub(1) == 1 && g_link.current.load() != word) {
        Lock lock(g_link.mutex());
        pthread_cond_broadcast(&g_link.released);
    }
}

// Model: acquire.  Counts the caller into the users of the current
// connection; null when there is none.  The word names record and number
// together, so a confirmed word means the record was not reused between
// the two loads: its descriptor is that connection's until release.
// Inlined into both senders: it is the whole cost of a request made while
// no connection stands.
struct Acquired {
    Connection *connection;  // null: no connection stands
    uint32_t word;
};
__attribute__((always_inline)) inline Acquired acquire_current() {
    for (;;) {
        const uint32_t w = g_link.current.load();
        if (!w) return {nullptr, 0};
        Connection &c = g_link.connections[static_cast<size_t>(index_of(w))];
        c.users.fetch_add(1);
        if (g_link.current.load() == w) return {&c, w};
        release(c, w);
    }
}

}  // namespace

// Model: write.  The write; the descriptor is the connection's own, still
// open.  Writes all `size` bytes.  Retries interrupted calls and completes short
// writes; never raises SIGPIPE.  `connection` is the library's connection
// the descriptor belongs to, or null for a caller's descriptor.  Returns
// size, or -1.
int write_all(int fd, const char *msg, int size, Connection *connection) {
    const bool on_packet_thread = connection && t_on_packet_thread;
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
        if (connection && (errno == EPIPE || errno == ECONNRESET)) connection->peer_gone.store(true);
        return -1;
    }
    if (on_packet_thread) g_link.sends_giving_up.store(false);
    return size;
}

}  // namespace mcu_agent::link

using namespace mcu_agent::link;

extern "C" {

int socket_send(char *msg, int size) {
    if (!msg || size < 0) return -1;
    const auto [c, word] = acquire_current();
    if (!c) {
        errno = ENOTCONN;
        return -1;
    }
    const int number = number_of(word);
    namespace trace = mcu_agent::trace;
    const bool traced = trace::active();
    trace::Stamp began{};
    if (traced) began = trace::now();  // the answer may be traced before the write returns
    const int rc = write_all(c->fd.load(), msg, size, c);
    const int error = errno;
    release(*c, word);
    if (rc == size) t_sent_number = number;
    if (traced && rc == size) trace::on_outbound(number, reinterpret_cast<const uint8_t *>(msg), size, &began);
    errno = error;
    return rc;
}

// A handler may pass on the descriptor it was given: a send to the current
// connection's descriptor is a send on that connection (counted into its
// users, and on the packet-handle thread never blocked for good).
int socket_sendto(int sockfd, char *msg, int size) {
    if (!msg || size < 0 || sockfd < 0) return -1;
    if (const auto [c, word] = acquire_current(); c) {
        if (c->fd.load() == sockfd) {
            const int rc = write_all(sockfd, msg, size, c);
            const int error = errno;
            release(*c, word);
            errno = error;
            return rc;
        }
        release(*c, word);
    }
    return write_all(sockfd, msg, size, nullptr);
}

}  // extern "C"
