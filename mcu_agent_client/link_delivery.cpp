// link_delivery.cpp - the packet-handle thread: frames and connection
// events out of the ring in stream order, delivered with no lock held.
//
// The oldest connection whose frames are not all delivered is the one being
// delivered.  Its 1 comes first, then its frames, and once its end was read
// and every byte before that end has left the ring, its 0; then the next
// connection's 1.  So the connection handler's calls alternate, the last
// call matches the state, and every frame is bracketed by the 1 and 0 of
// its own connection.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "link_state.h"
#include "log.h"
#include "trace.h"

namespace mcu_agent {
extern std::atomic<bool> g_verify_inbound_checksum;
}

namespace mcu_agent::link {

namespace {

constexpr int kRoomToWakeReceiver = RECEIVE_BUFFER_MSG_SIZE / 2;
constexpr int kPopBatch = 8;
// Room for the largest popped frame (257 bytes) and a little more, so the
// decoder may read any payload position without a bounds check.
constexpr int kMessageAreaSize = 260;

struct Delivery {
    enum Kind { kFrame, kEvent, kReportOnly, kExpired } kind;
    ring::Skip report;  // skipped bytes before this item, to report first
    int size;
    int fd;
    int connection;
    bool up;
    bool owed_only;     // a 1 owed to handlers and listeners that came late
    uint32_t snapshot;  // listeners below this handle hear the event
    int call;           // kExpired: the call's index
    ConnectionHandler handler;
    void *user;
    SOCKET_RECEIVE_CALLBACK_FUNC callback;
    std::array<char, kMessageAreaSize> area;
};

// Model: sleep.  Nothing to deliver: handler_waiting set, a wait for the
// wake pipe or the call timer.
void wait_for_wake() {
    std::array<struct pollfd, 2> p = {{{g_link.wake[0], POLLIN, 0}, {g_link.timer, POLLIN, 0}}};
    while (::poll(p.data(), g_link.timer >= 0 ? 2 : 1, -1) < 0 && errno == EINTR) {
    }
    if (p[0].revents & POLLIN) {
        char byte;
        while (::read(g_link.wake[0], &byte, 1) < 0 && errno == EINTR) {
        }
    }
}

// Model: collect.  Under the mutex: up to `max` frames, events and expired
// calls in stream order.
int collect(Delivery *batch, int max) {
    const bool verify = g_verify_inbound_checksum.load(std::memory_order_relaxed);
    int count = 0;
    for (int call; count < max && (call = take_expired_call()) >= 0; ++count) {
        Delivery &d = batch[count];
        d.kind = Delivery::kExpired;
        d.report = ring::Skip::kNone;
        d.call = call;
    }
    Connection *c = delivering();
    while (c && count < max) {
        Delivery &d = batch[count];
        d.report = ring::Skip::kNone;
        d.handler = g_link.connection_handler;
        d.user = g_link.connection_user;
        d.connection = c->number;
        if (!c->up_taken || c->up_owed || listeners_owed_up()) {
            // Its 1, or the 1 owed to a handler or listeners that came
            // after it was taken; before anything else of this connection.
            d.owed_only = c->up_taken;
            if (d.owed_only && !c->up_owed) d.handler = nullptr;
            c->up_taken = true;
            c->up_owed = false;
            d.kind = Delivery::kEvent;
            d.up = true;
            d.snapshot = listener_snapshot();
            ++count;
            continue;
        }
        const bool ended = c->phase == Connection::Phase::kEnded;
        // Never read past the end of this connection: what follows is the
        // next connection's, and a garbage run must not swallow its start.
        const int stored = ring::stored(&g_link.ring);
        const int limit = ended ? static_cast<int>(std::min<uint64_t>(c->end - g_link.consumed, stored)) : stored;
        const ring::Popped p = ring::pop(&g_link.ring, d.area.data(), verify, limit);
        g_link.consumed += static_cast<uint64_t>(p.consumed);
        d.report = p.report;
        if (p.count >= 0) {
            d.kind = Delivery::kFrame;
            d.size = p.count;
            d.fd = c->fd.load();
            d.callback = g_link.callback;
            ++count;
            continue;
        }
        // No whole frame: more bytes are to come, unless the connection
        // has ended and all its bytes are in the ring; then what is left
        // is a frame cut off by the end, dropped.
        if (!ended || g_link.consumed + static_cast<uint64_t>(limit - p.consumed) < c->end) {
            if (p.report != ring::Skip::kNone) {
                d.kind = Delivery::kReportOnly;
                ++count;
            }
            break;
        }
        ring::discard(&g_link.ring, limit - p.consumed);
        g_link.consumed = c->end;
        g_link.ring.resync_flag = 0;  // a run of garbage ends with its connection
        d.kind = Delivery::kEvent;
        d.up = false;
        d.owed_only = false;
        d.snapshot = listener_snapshot();
        c->phase = Connection::Phase::kFree;  // a slot for the next connection
        pthread_cond_broadcast(&g_link.released);
        pthread_cond_broadcast(&g_link.work);  // the background reconnect may wait for a record
        ++count;
        c = delivering();
    }
    return count;
}

// Model: deliver.  No lock is held: application code runs here.
void deliver(Delivery &d) {
    if (d.report != ring::Skip::kNone) log_line(kLogWarning, ring::skip_line(d.report), "socket_receive_buffer_msg_pop");
    const bool outer = t_delivering;
    t_delivering = true;
    if (d.kind == Delivery::kFrame) {
        // The decoder relies on zeros past the payload.
        std::fill(d.area.begin() + d.size, d.area.end(), 0);
        trace::on_inbound(d.connection, reinterpret_cast<const uint8_t *>(d.area.data()), d.size);
        if (d.callback) d.callback(d.fd, d.area.data(), d.size);
        observe_frame(d.area.data(), d.size, d.connection);
    } else if (d.kind == Delivery::kEvent) {
        if (d.handler) d.handler(d.up ? 1 : 0, d.user);
        observe_event(d.up, d.owed_only, d.snapshot, d.connection);
    } else if (d.kind == Delivery::kExpired) {
        complete_expired_call(d.call);
    }
    t_delivering = outer;
}

// Before delivery: a frame delivered after the end of its connection
// carries -1, as the number may already belong to another file.
void deliver_checked(Delivery &d) {
    if (d.kind == Delivery::kFrame && number_of(g_link.current.load()) != d.connection) d.fd = -1;
    deliver(d);
}

// Under the mutex: moves spilled bytes into the room that pops made; a
// spill drained after the stall ended gives its memory back at once.
void drain_spill() {
    if (g_link.spill.empty()) return;
    g_link.spill.drain_into(&g_link.ring);
    release_spill_if_idle();
}

}  // namespace

// The packet-handle thread sleeps in a read of this pipe while it has
// nothing to deliver; the receive thread writes one byte per such wait.  A
// pipe rather than a condition variable: the kernel treats a pipe write as
// a hand-over and may run the woken thread on the writer's CPU, which the
// receive thread is about to leave; that halves the one-way delay of a lone
// frame on a two-core unit (docs/performance.md).
bool make_wake_pipe() {
    if (g_link.wake[0] >= 0) return true;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    g_link.wake[0] = above_standard_streams(ends[0]);
    g_link.wake[1] = above_standard_streams(ends[1]);
    if (g_link.wake[0] >= 0 && g_link.wake[1] >= 0) return true;
    for (int &end : g_link.wake) {
        if (end >= 0) ::close(end);
        end = -1;
    }
    return false;
}

// Under the mutex.  The spill is needed while the packet-handle thread is
// blocked in a send; once it is not, and the spill is empty, its memory
// goes, unless the receive thread holds a reservation for a read under way.
void release_spill_if_idle() {
    if (g_link.spill.empty() && g_link.spill.holds_memory() && !g_link.handler_blocked && !g_link.receiver_spilling)
        g_link.spill.release();
}

// Model: wake.
void wake_packet_thread() {
    const char byte = 1;
    while (::write(g_link.wake[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

namespace {

// Under the mutex: wakes a receive thread that waits for room once a large
// read fits: waking it per popped frame would cost a wake-up and a small
// read per frame, while the ring still holds frames.
void after_collect() {
    drain_spill();
    if (g_link.receiver_waiting && ring::room(&g_link.ring) >= kRoomToWakeReceiver)
        pthread_cond_signal(&g_link.room);
}

// Under the mutex, nothing collected: a frame may begin in the ring and end
// in the spill; and skipped garbage may have made room that a waiting
// receive thread must use.  True when collecting again may help.
bool nothing_collected() {
    if (!g_link.spill.empty() && ring::room(&g_link.ring) > 0) return true;
    if (g_link.receiver_waiting) pthread_cond_signal(&g_link.room);
    return false;
}

// Items collected in the application's mode and not yet delivered: a
// dispatch of fewer than a batch leaves the rest for the next one.  Only
// the holder of the dispatch role touches them.
std::array<Delivery, kPopBatch> g_carry;
int g_carry_next = 0, g_carry_count = 0;

// Under the mutex, in the application's mode: refills the carry when it is
// empty; true when items wait.
bool refill_carry() {
    if (g_carry_next < g_carry_count) return true;
    g_carry_next = 0;
    for (;;) {
        drain_spill();
        g_carry_count = collect(g_carry.data(), kPopBatch);
        if (g_carry_count > 0) {
            after_collect();
            return true;
        }
        if (!nothing_collected()) return false;
    }
}

}  // namespace

bool deliveries_waiting() { return g_carry_next < g_carry_count || frames_waiting() || delivering(); }

// Model: settle.  The pipe holds its byte exactly while items wait; with
// none, the receive thread is asked to write it when bytes come.
// `wake_has_byte` may also mean a byte on its way: a waker claims the byte
// under the mutex and writes it after releasing the mutex, so a drain that
// finds the pipe still empty leaves the claim for the next settle.
void settle_readability() {
    const bool waiting = refill_carry();
    if (waiting && !g_link.wake_has_byte) {
        const char byte = 1;
        while (::write(g_link.wake[1], &byte, 1) < 0 && errno == EINTR) {
        }
        g_link.wake_has_byte = true;
    } else if (!waiting && g_link.wake_has_byte) {
        char byte;
        ssize_t n;
        while ((n = ::read(g_link.wake[0], &byte, 1)) < 0 && errno == EINTR) {
        }
        if (n > 0) g_link.wake_has_byte = false;
    }
    g_link.handler_waiting = !waiting;
}

// Model: dispatch.  The application's thread, holding the dispatch role;
// the mutex is taken once per batch, as on the packet-handle thread.
int deliver_some(int max) {
    int ran = 0;
    while (ran < max) {
        if (g_carry_next == g_carry_count) {
            Lock lock(g_link.mutex());
            if (!refill_carry()) break;
        }
        Delivery &d = g_carry[static_cast<size_t>(g_carry_next++)];
        deliver_checked(d);
        if (d.kind != Delivery::kReportOnly) ++ran;
    }
    Lock lock(g_link.mutex());
    settle_readability();
    return ran;
}

// Clears the carry, at shutdown and in a child after fork.
void forget_carried() { g_carry_next = g_carry_count = 0; }

void *packet_handle_thread(void *) {
    t_on_packet_thread = true;
    std::array<Delivery, kPopBatch> batch;
    for (;;) {
        int count;
        {
            Lock lock(g_link.mutex());
            for (;;) {
                drain_spill();
                if ((count = collect(batch.data(), kPopBatch)) > 0) break;
                if (nothing_collected()) continue;
                // Shutdown: everything read was delivered, the connection's
                // 0 and its calls' ends included.
                if (g_link.stopping && !g_link.receive_running && !delivering()) {
                    g_link.packet_running = false;
                    pthread_cond_broadcast(&g_link.released);
                    return nullptr;
                }
                g_link.handler_waiting = true;
                pthread_mutex_unlock(&g_link.mutex());
                wait_for_wake();
                pthread_mutex_lock(&g_link.mutex());
            }
            after_collect();
        }
        for (int k = 0; k < count; ++k) deliver_checked(batch[static_cast<size_t>(k)]);
    }
    return nullptr;
}

}  // namespace mcu_agent::link
