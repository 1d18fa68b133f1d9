// link_state.h - what the link's three sources share: link.cpp (the
// connections, the entry point, the receive thread), link_delivery.cpp
// (the packet-handle thread) and link_send.cpp (sends).
//
// Threads, and what each touches:
//  - application threads send: they count themselves into the users of the
//    current connection, write to its descriptor and count themselves out;
//    no lock.  A descriptor is closed only once it is no longer current and
//    its users are gone, so a send never reaches a number handed out again.
//    The current connection is one atomic word, index and number together:
//    a sender that counted itself into a record confirms that the word still
//    names the same connection, which a reused record never does.
//  - the receive thread (one per process, started by the first entry point
//    that connects, or once an entry point ran and a reconnect interval is
//    set, whichever comes first): serves the
//    connections one after the other in the order they were made, reading
//    each into the ring (or the spill) until its end; with a reconnect
//    interval it connects again in the background when none is left.
//  - the deliverer: takes frames, connection events and expired calls out
//    of the ring in stream order under the mutex and delivers them with no
//    lock held (the table's handler, then the listeners, then the call the
//    frame answers).  By default the packet-handle thread (one per process),
//    sleeping in a poll of the wake pipe and the call timer while there is
//    nothing; in the application's dispatch mode the application's thread
//    inside McuAgent_dispatch, one at a time (the dispatch role), with the
//    wake pipe holding a byte exactly while deliveries wait.
//  - shutdown (any thread but the deliverer): stops entry points, retires
//    the connection, lets everything read be delivered, joins the threads.
//  - entry points (socket_client_init, the background reconnect) are
//    serialised by `entry`; lock order is entry, then mutex.
// Nothing is printed, and no application code runs, with a lock held.
//
// Condition variables, one condition each:
//  - `room`: the receive thread waits for room in the ring;
//  - `work`: the receive thread waits for a queued connection or a change
//    of the reconnect settings;
//  - `released`: an end waits for the users of a descriptor to leave it, an
//    entry point for a record to come free.
// Every timed wait is against an absolute point on the monotonic clock.
// The model of these threads is model/link.pml; each of its steps names the
// function that performs it here.
#ifndef MCU_AGENT_LINK_STATE_H
#define MCU_AGENT_LINK_STATE_H

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "client.h"
#include "link.h"
#include "spill.h"

namespace mcu_agent::link {

constexpr int kReadChunk = RECEIVE_BUFFER_MSG_SIZE;
// Connections whose frames are not all delivered yet, the standing one
// included.  Connections that carried nothing are folded away, so more
// than two at a time needs handlers that call the entry point repeatedly
// while the agent keeps closing.
constexpr int kConnections = 8;
constexpr uint32_t kIndexBits = 3;  // kConnections fits
static_assert(kConnections <= (1 << kIndexBits), "record index must fit the current word");

class Lock {
public:
    explicit Lock(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~Lock() { pthread_mutex_unlock(&m_); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    pthread_mutex_t &m_;
};

// One connection, from its connect to the delivery of its 0.
struct Connection {
    enum class Phase : uint8_t {
        kFree,
        kQueued,  // connected; its bytes wait in the socket behind older connections
        kServed,  // the receive thread reads it
        kEnded,   // its end was read and its descriptor closed; frames may wait
    };
    // Under the mutex.
    Phase phase = Phase::kFree;
    int number = 0;             // 1, 2, ... per process, in the order they were made
    uint64_t start = 0;         // stream position of its first byte (from kServed on)
    uint64_t end = 0;           // stream position after its last byte (kEnded)
    bool up_taken = false;      // the packet-handle thread took its 1 for delivery
    bool up_owed = false;       // a connection handler set after its 1 is told 1 first
    // Read by senders without the lock.
    std::atomic<int> fd{-1};
    std::atomic<int> users{0};         // senders inside a write on fd
    std::atomic<bool> peer_gone{false};  // a send failed with EPIPE or ECONNRESET
};

struct Link {
    pthread_mutex_t entry = PTHREAD_MUTEX_INITIALIZER;
    // The ring's storage is static and its mutex, the link's mutex, is
    // initialised statically: nothing is made at the first entry point
    // that another thread could already be using.
    unsigned char ring_storage[RECEIVE_BUFFER_MSG_SIZE] = {};
    RECEIVE_BUFFER_MSG ring = {ring_storage, RECEIVE_BUFFER_MSG_SIZE, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER, 0};
    pthread_mutex_t &mutex() { return ring.buffer_mutex; }
    pthread_cond_t room = PTHREAD_COND_INITIALIZER;     // the receive thread waits for ring room
    pthread_cond_t work = PTHREAD_COND_INITIALIZER;      // queued connections, reconnect settings
    pthread_cond_t released = PTHREAD_COND_INITIALIZER;  // users gone, records free
    // Timed waits use pthread_cond_clockwait on the monotonic clock, which a
    // statically initialised condition variable allows.

    std::array<Connection, kConnections> connections;
    int last_number = 0;
    // The connection sends go to: number << kIndexBits | index; 0 none.
    std::atomic<uint32_t> current{0};

    Spill spill;
    uint64_t pushed = 0;    // bytes into ring and spill since the start
    uint64_t consumed = 0;  // bytes out of the ring

    bool receiver_waiting = false;  // the receive thread waits on `room`
    bool receiver_spilling = false;  // it reserved spill room and reads without the lock
    bool handler_waiting = false;   // the packet-handle thread sleeps on the wake pipe
    bool handler_blocked = false;   // the packet-handle thread waits in a send
    std::atomic<bool> sends_giving_up{false};  // one line per run of abandoned sends

    bool packet_running = false, receive_running = false;  // the worker threads
    pthread_t packet_thread{}, receive_thread{};              // joined by shutdown
    bool packet_joinable = false, receive_joinable = false;   // started and not yet joined
    int wake[2] = {-1, -1};

    // Where deliveries run (MCU_AGENT_DISPATCH_*).  In the application's
    // mode there is no packet-handle thread: the wake pipe's read end,
    // non-blocking, is watched by the application (through `events`, an
    // epoll descriptor holding it and `timer`), and `wake_has_byte` says
    // whether the pipe holds its byte; it is only read and written under
    // the mutex in that mode (a byte claimed there may still be on its way).
    int dispatch_mode = 0;
    bool wake_has_byte = false;
    int events = -1;  // the application's descriptor
    int timer = -1;   // timerfd: the earliest deadline of an asynchronous call
    // One deliverer at a time in the application's mode: taken with trylock.
    pthread_mutex_t dispatch_role = PTHREAD_MUTEX_INITIALIZER;
    // Shutdown under way: entry points fail, the threads end.
    bool stopping = false;
    // The last connection whose 0 was delivered: its calls are all ended.
    int ended_delivered = 0;

    SOCKET_RECEIVE_CALLBACK_FUNC callback = nullptr;
    ConnectionHandler connection_handler = nullptr;
    void *connection_user = nullptr;
    int reconnect_ms = 0;
    int reconnect_max_ms = 0;        // the doubling stops here; 0: 8x reconnect_ms
    uint32_t settings_changed = 0;   // bumped by every setter of the two above
    bool entry_called = false;  // background reconnection needs a callback to serve
};

extern Link g_link;

inline uint32_t current_word(int index, int number) {
    return static_cast<uint32_t>(number) << kIndexBits | static_cast<uint32_t>(index);
}
inline int index_of(uint32_t word) { return static_cast<int>(word & ((1u << kIndexBits) - 1)); }
inline int number_of(uint32_t word) { return static_cast<int>(word >> kIndexBits); }
// The current connection's record index, or -1.
inline int current_index() {
    const uint32_t w = g_link.current.load();
    return w ? index_of(w) : -1;
}
extern thread_local bool t_on_packet_thread;
// The number of the connection the calling thread's last successful send
// went to.
extern thread_local int t_sent_number;
// The calling thread runs a delivery (a handler, listener, event or
// completion) now.
extern thread_local bool t_delivering;

// Under the mutex: the oldest connection not yet delivered to its end.
inline Connection *delivering() {
    Connection *oldest = nullptr;
    for (Connection &c : g_link.connections)
        if (c.phase != Connection::Phase::kFree && (!oldest || c.number < oldest->number)) oldest = &c;
    return oldest;
}

// link.cpp
// What perror is given when a connect fails: "cannot connect to the
// server", with the path only when it is not the default one.
void connect_error_text(const char *path, char *text, size_t size);
// Keeps a new descriptor off 0, 1 and 2 (closing `fd` when it moves it).
int above_standard_streams(int fd);
// Under the mutex: bytes of some connection wait in the ring or the spill.
inline bool frames_waiting() { return !g_link.spill.empty() || ring::stored(&g_link.ring) > 0; }

// link_delivery.cpp
void *packet_handle_thread(void *);
// Under the mutex.
bool make_wake_pipe();
void wake_packet_thread();  // the caller saw handler_waiting and cleared it
// link.cpp.  Model: wake.  Under the mutex: whether the deliverer sleeps
// and must be woken; the caller then writes the wake pipe, best once it
// released the mutex, which the woken thread takes at once.  In the
// application's mode at most one byte is claimed at a time.
bool handler_to_wake();
// Under the mutex, in the application's mode: the wake pipe, the timer and
// the application's descriptor exist.
bool make_application_descriptor();

// Frees a drained spill's memory once nothing may still write into it.
void release_spill_if_idle();

// Runs up to `max` deliveries on the calling thread (the deliverer);
// the count.  In the application's mode the caller holds the dispatch role.
int deliver_some(int max);
// Under the mutex, in the application's mode: makes the descriptor
// readable exactly when deliveries wait.
void settle_readability();
// Under the mutex: whether anything waits for delivery.
bool deliveries_waiting();
// Forgets items carried between dispatches.
void forget_carried();

// listeners.cpp: the deliverer's side of listeners and calls.
struct Observed;  // a delivered frame as listeners and calls see it
// Collection (under the mutex).
uint32_t listener_snapshot();
bool listeners_owed_up();
// An expired asynchronous call's index, or -1; marks it expiring.
int take_expired_call();
// Arms `timer` for the earliest deadline of a pending asynchronous call.
void arm_call_timer();
// Delivery (no lock held).
void observe_frame(const char *frame, int size, int connection);
void observe_event(bool up, bool owed_only, uint32_t snapshot, int connection);
void complete_expired_call(int index);
// Shutdown: completes what is left with ENDED and removes every listener.
void end_everything();
// Under the mutex: a connection was freed without events (it carried
// nothing): the calls written to it end with ENDED.
void connection_dropped(int number);
// In a child after fork(): no listener or completion runs there.
void listeners_after_fork();

// link_send.cpp
// Writes all of a frame to a connection's descriptor; see the source.
int write_all(int fd, const char *msg, int size, Connection *connection);

// A point `ms` from now, and the milliseconds left until a point, on the
// monotonic clock.
struct timespec deadline_after(int ms);
int ms_until(const struct timespec &until);

}  // namespace mcu_agent::link

#endif  // MCU_AGENT_LINK_STATE_H
