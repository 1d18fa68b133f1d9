// link_state.h - what the link's three sources share: link.cpp (the
// connections, the entry point, the receive thread), link_delivery.cpp
// (the packet-handle thread) and link_send.cpp (sends).
//
// Threads, and what each touches:
//  - application threads send: they count themselves into the users of the
//    current connection, write to its descriptor and count themselves out;
//    no lock.  A descriptor is closed only once it is no longer current and
//    its users are gone, so a send never reaches a number handed out again.
//  - the receive thread (one per process, started by the first entry point
//    that connects, or that fails with a reconnect interval set): serves the
//    connections one after the other in the order they were made, reading
//    each into the ring (or the spill) until its end; with a reconnect
//    interval it connects again in the background when none is left.
//  - the packet-handle thread (one per process): takes frames and
//    connection events out of the ring in stream order under the mutex,
//    sleeping in a read of the wake pipe while there are none, and delivers
//    them with no lock held.
//  - entry points (socket_client_init, the background reconnect) are
//    serialised by `entry`; lock order is entry, then mutex.
// Nothing is printed, and no application code runs, with a lock held.
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
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;  // connections, users, spill, settings
    // Timed waits on `changed` use pthread_cond_clockwait on the monotonic
    // clock, which a statically initialised condition variable allows.

    std::array<Connection, kConnections> connections;
    int last_number = 0;
    std::atomic<int> current{-1};  // index of the connection sends go to; -1 none
    std::atomic<int> current_number{0};  // its number; 0 none

    Spill spill;
    uint64_t pushed = 0;    // bytes into ring and spill since the start
    uint64_t consumed = 0;  // bytes out of the ring

    bool receiver_waiting = false;  // the receive thread waits on `room`
    bool handler_waiting = false;   // the packet-handle thread sleeps on the wake pipe
    bool handler_blocked = false;   // the packet-handle thread waits in a send
    std::atomic<bool> sends_giving_up{false};  // one line per run of abandoned sends

    bool packet_running = false, receive_running = false;  // the worker threads
    int wake[2] = {-1, -1};

    SOCKET_RECEIVE_CALLBACK_FUNC callback = nullptr;
    ConnectionHandler connection_handler = nullptr;
    void *connection_user = nullptr;
    int reconnect_ms = 0;
    bool entry_called = false;  // background reconnection needs a callback to serve
};

extern Link g_link;
extern thread_local bool t_on_packet_thread;

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

// link_send.cpp
// Writes all of a frame to a connection's descriptor; see the source.
int write_all(int fd, const char *msg, int size, Connection *connection);

}  // namespace mcu_agent::link

#endif  // MCU_AGENT_LINK_STATE_H
