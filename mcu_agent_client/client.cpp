// client.cpp - the link transport: the receive ring buffer, the connection
// to the agent server and the two worker threads.
//
// Threads and what they touch:
//  - receive thread (one per connection): waits on the socket with poll(),
//    reads at most as many bytes as the ring has room for and pushes them
//    under the ring's mutex.  When the ring is full it sleeps on
//    `g_room_cond` instead of reading, so the server's writes wait in the
//    socket (backpressure) and no byte is ever dropped.  At the end of the
//    connection it shuts the socket down, waits for senders to let go of
//    the descriptor, closes it and trims a cut-off frame from the ring.
//  - packet-handle thread (one per process, started by the first
//    successful connection): pops frames under the ring's mutex, sleeping in
//    a read of `g_wake_pipe` while none is complete, and calls the callback
//    with the mutex released.
//  - application threads: send frames.  Each send holds `g_send_lock`
//    shared; the receive thread takes it exclusively only to retire the
//    descriptor, so a send never reaches a descriptor number that was closed
//    and handed out again.
//  - `g_init_mutex` serialises socket_client_init and the end of a
//    connection, which together decide whether a connection stands.
#include "client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>

namespace {

constexpr char kServerPath[] = "/tmp/mcu_agent";
// A read takes as much as the ring has room for: a burst of up to the
// ring's size costs one read and one push (and at most one wake-up of the
// packet-handle thread) instead of one per 256 bytes.
constexpr int kReadChunk = RECEIVE_BUFFER_MSG_SIZE;
constexpr int kRoomToWakeReceiver = RECEIVE_BUFFER_MSG_SIZE / 2;
constexpr int kPopBatch = 8;
// Room for the largest popped frame (257 bytes) and a little more, so the
// decoder may read any payload position without a bounds check.
constexpr int kMessageAreaSize = 260;
constexpr unsigned char kLead0 = 0xAB;
constexpr unsigned char kLead1 = 0xBA;
constexpr int kFrameOverhead = 7;  // lead bytes, two unused, id, length, trailer
constexpr int kHeadSize = 6;

// ---- small RAII helpers over pthread primitives ----------------------

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~MutexGuard() { pthread_mutex_unlock(&m_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

private:
    pthread_mutex_t &m_;
};

class SharedGuard {
public:
    explicit SharedGuard(pthread_rwlock_t &l) : l_(l) { pthread_rwlock_rdlock(&l_); }
    ~SharedGuard() { pthread_rwlock_unlock(&l_); }
    SharedGuard(const SharedGuard &) = delete;
    SharedGuard &operator=(const SharedGuard &) = delete;

private:
    pthread_rwlock_t &l_;
};

class ExclusiveGuard {
public:
    explicit ExclusiveGuard(pthread_rwlock_t &l) : l_(l) { pthread_rwlock_wrlock(&l_); }
    ~ExclusiveGuard() { pthread_rwlock_unlock(&l_); }
    ExclusiveGuard(const ExclusiveGuard &) = delete;
    ExclusiveGuard &operator=(const ExclusiveGuard &) = delete;

private:
    pthread_rwlock_t &l_;
};

// ---- module state ----------------------------------------------------

RECEIVE_BUFFER_MSG g_receive_buffer_msg;
bool g_ring_ready = false;  // under g_init_mutex

// Uses the ring's own mutex.
pthread_cond_t g_room_cond = PTHREAD_COND_INITIALIZER;  // a pop made room
bool g_handler_waiting = false;   // under the ring mutex
bool g_receiver_waiting = false;  // under the ring mutex

// The packet-handle thread sleeps in a read of this pipe while no frame is
// complete, and the receive thread writes one byte for every such wait
// (it clears g_handler_waiting as it does).  A pipe rather than a condition
// variable: the kernel treats a pipe write as a hand-over and may run the
// woken thread on the writer's CPU, which the receive thread is about to
// leave, instead of waking an idle CPU or queueing behind another
// process's thread there.  That second wake-up is most of the one-way
// delay of a lone frame.  Created once, before the packet-handle thread.
int g_wake_pipe[2] = {-1, -1};

void wake_packet_thread() {
    const char byte = 1;
    while (::write(g_wake_pipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

void wait_for_push() {
    char byte;
    while (::read(g_wake_pipe[0], &byte, 1) < 0 && errno == EINTR) {
    }
}

pthread_mutex_t g_init_mutex = PTHREAD_MUTEX_INITIALIZER;
bool g_connected = false;            // a receive thread runs; under g_init_mutex
bool g_packet_thread_started = false;  // under g_init_mutex

// The descriptor that sends go to, -1 without a connection.  Written only
// with g_send_lock held exclusively.
std::atomic<int> g_sockfd{-1};
pthread_rwlock_t g_send_lock;
pthread_once_t g_send_lock_once = PTHREAD_ONCE_INIT;

// What the packet-handle thread passes to the callback; replaced when the
// library connects again.
std::atomic<SOCKET_RECEIVE_CALLBACK_FUNC> g_callback{nullptr};
std::atomic<int> g_callback_fd{-1};

SOCKET_MSG socket_msg;  // start argument of the worker threads

void init_send_lock() {
    // Writer preference: a stream of senders must not keep the closing
    // receive thread out.
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&g_send_lock, &attr);
    pthread_rwlockattr_destroy(&attr);
}

// ---- ring internals --------------------------------------------------

// Offsets given here lie below twice the capacity, so one conditional
// subtraction stands in for a division on every byte examined.
inline int ring_wrap(const RECEIVE_BUFFER_MSG *r, int offset) {
    return offset >= r->size ? offset - r->size : offset;
}

inline unsigned char ring_at(const RECEIVE_BUFFER_MSG *r, int offset) { return r->buffer[ring_wrap(r, offset)]; }

int ring_stored(const RECEIVE_BUFFER_MSG *r) {
    if (r->fill_offset == r->handle_offset) return r->is_full_flag ? r->size : 0;
    int d = r->fill_offset - r->handle_offset;
    return d < 0 ? d + r->size : d;
}

int ring_free(const RECEIVE_BUFFER_MSG *r) {
    if (r->fill_offset == r->handle_offset) return r->is_full_flag ? 0 : r->size;
    int d = r->handle_offset - r->fill_offset;
    return d < 0 ? d + r->size : d;
}

void ring_consume(RECEIVE_BUFFER_MSG *r, int count) {
    if (count <= 0) return;
    r->handle_offset = ring_wrap(r, r->handle_offset + count);
    r->is_full_flag = 0;
}

// What lies at the read position.
struct Scan {
    enum Kind { kEmpty, kIncomplete, kFrame, kGarbage } kind;
    int length;  // kFrame: payload length L; kGarbage: bytes to skip
    bool low;    // kGarbage: the first lead byte matched, the second did not
};

Scan ring_scan(const RECEIVE_BUFFER_MSG *r, int at, int stored) {
    if (stored == 0) return {Scan::kEmpty, 0, false};
    const bool high_ok = ring_at(r, at) == kLead0;
    const bool low_ok = stored < 2 || ring_at(r, at + 1) == kLead1;
    if (high_ok && low_ok) {
        if (stored < kHeadSize) return {Scan::kIncomplete, 0, false};
        const int length = ring_at(r, at + 5);
        if (stored < length + kFrameOverhead) return {Scan::kIncomplete, 0, false};
        return {Scan::kFrame, length, false};
    }
    // Skip to the next lead-byte pair, or to a last byte that may begin
    // one once more bytes arrive.
    int skip = 1;
    while (skip < stored) {
        if (ring_at(r, at + skip) == kLead0 &&
            (skip + 1 == stored || ring_at(r, at + skip + 1) == kLead1))
            break;
        ++skip;
    }
    return {Scan::kGarbage, skip, high_ok};
}

// Drops the bytes after the last complete frame: they belong to a frame
// that the end of its connection cut off and must never be glued to bytes
// of a later connection.
void ring_trim_cut_frame(RECEIVE_BUFFER_MSG *r) {
    int stored = ring_stored(r);
    int at = r->handle_offset;
    while (stored > 0) {
        const Scan s = ring_scan(r, at, stored);
        if (s.kind == Scan::kIncomplete) break;
        const int step = s.kind == Scan::kFrame ? s.length + kFrameOverhead : s.length;
        at = (at + step) % r->size;
        stored -= step;
    }
    if (stored > 0) {
        r->fill_offset = at;
        r->is_full_flag = 0;
    }
}

// ---- socket helpers --------------------------------------------------

// Writes all `size` bytes.  Retries interrupted calls and completes short
// writes; never raises SIGPIPE.  Returns size, or -1.
int write_all(int fd, const char *msg, int size) {
    int done = 0;
    bool is_socket = true;
    while (done < size) {
        ssize_t n = is_socket ? ::send(fd, msg + done, static_cast<size_t>(size - done), MSG_NOSIGNAL)
                              : ::write(fd, msg + done, static_cast<size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOTSOCK && is_socket) {
                is_socket = false;
                continue;
            }
            return -1;
        }
        done += static_cast<int>(n);
    }
    return size;
}

int socket_connect_server(const char *server_name) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("cannot create communication socket\n");
        return -1;
    }
    static struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, server_name, sizeof address.sun_path - 1);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
    } while (rc == -1 && errno == EINTR);
    if (rc == -1) {
        perror("cannot connect to the server\n");
        ::close(fd);
        return -1;
    }
    if (fd == 0) {
        // Descriptor 0 is a valid connection (stdin was closed), but callers
        // take 0 for failure; move the socket to a higher number.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        ::close(fd);
        if (moved < 0) {
            perror("cannot connect to the server\n");
            return -1;
        }
        fd = moved;
    }
    return fd;
}

// Waits until the socket has bytes or has ended; false when poll fails.
// Interrupted calls are retried.
bool socket_wait(int sockfd) {
    struct pollfd p = {sockfd, POLLIN, 0};
    for (;;) {
        if (::poll(&p, 1, -1) >= 0) return true;
        if (errno == EINTR) continue;
        perror("select()");
        return false;
    }
}

// One read after socket_wait: the number of bytes read, 0 when there was
// nothing to read after all, or -1 at the end of the connection.
int socket_receive(int sockfd, char *msg, int size) {
    for (;;) {
        ssize_t n = ::read(sockfd, msg, static_cast<size_t>(size));
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return 0;
        printf("socket %d disconnected\n", sockfd);
        fflush(stdout);
        return -1;
    }
}

// Ends a connection: wake blocked senders, wait until none uses the
// descriptor, close it, drop a cut-off frame, and let the next
// socket_client_init connect again.
void end_connection(int fd) {
    ::shutdown(fd, SHUT_RDWR);
    // Held from the moment sends start to fail until the connection counts
    // as ended: a socket_client_init in between would otherwise find the
    // old connection standing and report it as a success.
    MutexGuard init_guard(g_init_mutex);
    {
        ExclusiveGuard guard(g_send_lock);
        if (g_sockfd.load() == fd) g_sockfd.store(-1);
    }
    ::close(fd);
    {
        MutexGuard ring_guard(g_receive_buffer_msg.buffer_mutex);
        ring_trim_cut_frame(&g_receive_buffer_msg);
        // A run of garbage ends with its connection: garbage at the start
        // of the next one is a new run and is reported again.
        if (ring_stored(&g_receive_buffer_msg) == 0) g_receive_buffer_msg.resync_flag = 0;
    }
    g_connected = false;
}

void *socket_receive_thread(void *arg) {
    const int fd = static_cast<SOCKET_MSG *>(arg)->socket_fd;
    std::array<char, kReadChunk> area;
    RECEIVE_BUFFER_MSG *ring = &g_receive_buffer_msg;
    for (;;) {
        // Bytes first, room second: a ring that a burst left full needs the
        // packet-handle thread to wake this thread only when more bytes are
        // already waiting.
        if (!socket_wait(fd)) break;
        int room;
        {
            MutexGuard guard(ring->buffer_mutex);
            while ((room = ring_free(ring)) == 0) {
                g_receiver_waiting = true;
                pthread_cond_wait(&g_room_cond, &ring->buffer_mutex);
            }
            g_receiver_waiting = false;
        }
        // Only this thread pushes, so the room can only grow until the push.
        const int n = socket_receive(fd, area.data(), std::min(room, kReadChunk));
        if (n < 0) break;
        if (n == 0) continue;
        bool wake;
        {
            MutexGuard guard(ring->buffer_mutex);
            socket_receive_buffer_msg_push(ring, reinterpret_cast<unsigned char *>(area.data()), n);
            wake = g_handler_waiting;
            g_handler_waiting = false;
        }
        if (wake) wake_packet_thread();
    }
    end_connection(fd);
    return nullptr;
}

void *socket_packet_handle_thread(void *) {
    // Frames are taken out of the ring a few at a time under one lock and
    // then delivered one by one with the lock released: a burst of small
    // frames costs one lock round trip per batch instead of per frame.
    struct Message {
        int size;
        std::array<char, kMessageAreaSize> area;
    };
    std::array<Message, kPopBatch> batch{};
    RECEIVE_BUFFER_MSG *ring = &g_receive_buffer_msg;
    for (;;) {
        int count = 0;
        {
            MutexGuard guard(ring->buffer_mutex);
            while ((batch[0].size = socket_receive_buffer_msg_pop(ring, batch[0].area.data())) < 0) {
                // Nothing to deliver, yet skipped garbage may have made
                // room: a receive thread waiting for room must read again,
                // or both threads would wait for each other.
                if (g_receiver_waiting) pthread_cond_signal(&g_room_cond);
                g_handler_waiting = true;
                pthread_mutex_unlock(&ring->buffer_mutex);
                wait_for_push();
                pthread_mutex_lock(&ring->buffer_mutex);
            }
            count = 1;
            while (count < kPopBatch &&
                   (batch[count].size = socket_receive_buffer_msg_pop(ring, batch[count].area.data())) >= 0)
                ++count;
            // Wake a receive thread that waits for room only once there is
            // room for a large read: waking it for every popped frame
            // would cost a wake-up and a small read per frame.  Until then
            // the ring still holds complete frames to deliver (a frame is
            // far smaller than the ring).
            if (g_receiver_waiting && ring_free(ring) >= kRoomToWakeReceiver) pthread_cond_signal(&g_room_cond);
        }
        for (int k = 0; k < count; ++k) {
            Message &m = batch[k];
            // The decoder relies on zeros past the payload.
            std::fill(m.area.begin() + m.size, m.area.end(), 0);
            SOCKET_RECEIVE_CALLBACK_FUNC callback = g_callback.load();
            if (callback) callback(g_callback_fd.load(), m.area.data(), m.size);
        }
    }
    return nullptr;
}

}  // namespace

// ---- ring operations ---------------------------------------------------

extern "C" {

int socket_receive_buffer_msg_init(RECEIVE_BUFFER_MSG *receive_buffer_msg) {
    if (!receive_buffer_msg) return -1;
    receive_buffer_msg->buffer = static_cast<unsigned char *>(calloc(RECEIVE_BUFFER_MSG_SIZE, 1));
    if (!receive_buffer_msg->buffer) {
        // Reported to the caller instead of ending the host process.
        printf("%s : malloc failed.\n", "socket_receive_buffer_msg_init");
        return -1;
    }
    receive_buffer_msg->size = RECEIVE_BUFFER_MSG_SIZE;
    receive_buffer_msg->fill_offset = 0;
    receive_buffer_msg->handle_offset = 0;
    receive_buffer_msg->is_full_flag = 0;
    receive_buffer_msg->resync_flag = 0;
    pthread_mutex_init(&receive_buffer_msg->buffer_mutex, nullptr);
    return 0;
}

int socket_receive_buffer_msg_free(RECEIVE_BUFFER_MSG *receive_buffer_msg) {
    if (!receive_buffer_msg || !receive_buffer_msg->buffer) {
        printf("%s : free failed.\n", "socket_receive_buffer_msg_free");
        return 1;
    }
    free(receive_buffer_msg->buffer);
    receive_buffer_msg->buffer = nullptr;  // a second free reports instead of freeing twice
    return 0;
}

int socket_receive_buffer_msg_lock(RECEIVE_BUFFER_MSG *receive_buffer_msg) {
    return pthread_mutex_lock(&receive_buffer_msg->buffer_mutex);
}

int socket_receive_buffer_msg_unlock(RECEIVE_BUFFER_MSG *receive_buffer_msg) {
    return pthread_mutex_unlock(&receive_buffer_msg->buffer_mutex);
}

int socket_receive_buffer_msg_push(RECEIVE_BUFFER_MSG *receive_buffer_msg, unsigned char *msg, int size) {
    static const char kName[] = "socket_receive_buffer_msg_push";
    RECEIVE_BUFFER_MSG *r = receive_buffer_msg;
    if (!r || !r->buffer) {
        printf("%s : buffer is NULL.\n", kName);
        return -1;
    }
    if (size < 0 || (size > 0 && !msg)) return -1;
    if (size > r->size) {
        printf("%s : fill size %d > max size[%d].\n", kName, size, r->size);
        return -1;
    }
    const int room = ring_free(r);
    if (size > room) {
        printf("%s : fill size %d > free size[%d].\n", kName, size, room);
        return -1;
    }
    if (size == 0) return 0;
    if (size == room) r->is_full_flag = 1;
    const int tail = r->size - r->fill_offset;
    if (size > tail) {
        memcpy(r->buffer + r->fill_offset, msg, static_cast<size_t>(tail));
        memcpy(r->buffer, msg + tail, static_cast<size_t>(size - tail));
        r->fill_offset = size - tail;
    } else {
        memcpy(r->buffer + r->fill_offset, msg, static_cast<size_t>(size));
        r->fill_offset = (r->fill_offset + size) % r->size;
    }
    return 0;
}

int socket_receive_buffer_msg_pop(RECEIVE_BUFFER_MSG *receive_buffer_msg, char *msg) {
    RECEIVE_BUFFER_MSG *r = receive_buffer_msg;
    if (!r || !r->buffer || !msg) return -1;
    int stored = ring_stored(r);
    for (;;) {
        const Scan s = ring_scan(r, r->handle_offset, stored);
        switch (s.kind) {
        case Scan::kEmpty:
        case Scan::kIncomplete:
            return -1;
        case Scan::kGarbage:
            // Report a run of bytes that do not begin a frame once, then
            // skip to the next lead-byte pair.
            if (!r->resync_flag) {
                printf(s.low ? "%s: packet head low check error .\n" : "%s: packet head high check error .\n",
                       "socket_receive_buffer_msg_pop");
                fflush(stdout);
                r->resync_flag = 1;
            }
            ring_consume(r, s.length);
            stored -= s.length;
            continue;
        case Scan::kFrame: {
            const int count = s.length + 2;  // id, length byte, payload
            const int from = ring_wrap(r, r->handle_offset + 4);
            const int tail = r->size - from;
            if (count > tail) {
                memcpy(msg, r->buffer + from, static_cast<size_t>(tail));
                memcpy(msg + tail, r->buffer, static_cast<size_t>(count - tail));
            } else {
                memcpy(msg, r->buffer + from, static_cast<size_t>(count));
            }
            ring_consume(r, s.length + kFrameOverhead);
            r->resync_flag = 0;
            return count;
        }
        }
    }
}

// ---- socket client -------------------------------------------------------

int create_detached_thread(pthread_t *thread, void *(*thread_function)(void *), void *arg) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(thread, &attr, thread_function, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

int socket_client_init(SOCKET_RECEIVE_CALLBACK_FUNC socket_receive_callback_func) {
    pthread_once(&g_send_lock_once, init_send_lock);
    MutexGuard guard(g_init_mutex);
    pthread_t thread;
    if (!g_connected) {
        const int fd = socket_connect_server(kServerPath);
        socket_msg.socket_fd = fd;
        if (fd < 0) return -1;
        if (!g_ring_ready) {
            if (socket_receive_buffer_msg_init(&g_receive_buffer_msg) != 0) {
                ::close(fd);
                socket_msg.socket_fd = -1;
                return -1;
            }
            g_ring_ready = true;
        }
        socket_msg.socket_receive_callback_func = socket_receive_callback_func;
        g_callback.store(socket_receive_callback_func);
        g_callback_fd.store(fd);
        {
            ExclusiveGuard send_guard(g_send_lock);
            g_sockfd.store(fd);
        }
        if (create_detached_thread(&thread, socket_receive_thread, &socket_msg) != 0) {
            printf("%s :cannot create new socket_receive_thread.\n", "socket_client_init");
            {
                ExclusiveGuard send_guard(g_send_lock);
                g_sockfd.store(-1);
            }
            ::close(fd);
            return -1;
        }
        g_connected = true;
    } else {
        g_callback.store(socket_receive_callback_func);
    }
    if (!g_packet_thread_started) {
        if ((g_wake_pipe[0] < 0 && pipe2(g_wake_pipe, O_CLOEXEC) != 0) ||
            create_detached_thread(&thread, socket_packet_handle_thread, &socket_msg) != 0) {
            printf("%s :cannot create new socket_packet_handle_thread.\n", "socket_client_init");
            return -1;
        }
        g_packet_thread_started = true;
    }
    return g_callback_fd.load();
}

int socket_send(char *msg, int size) {
    if (!msg || size < 0) return -1;
    pthread_once(&g_send_lock_once, init_send_lock);
    SharedGuard guard(g_send_lock);
    const int fd = g_sockfd.load(std::memory_order_relaxed);
    if (fd < 0) return -1;
    return write_all(fd, msg, size);
}

int socket_sendto(int sockfd, char *msg, int size) {
    if (!msg || size < 0 || sockfd < 0) return -1;
    return write_all(sockfd, msg, size);
}

}  // extern "C"
