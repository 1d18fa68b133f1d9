// listeners.cpp - listeners and awaited calls beside the registration
// table, and the application-side entry points: the dispatch mode, the
// descriptor, dispatch, state.
//
// Both registries are fixed arrays under the link mutex, the mutex under
// which the deliverer collects, so that a listener added while a
// connection stands is owed its 1 exactly when the 1 was already taken.
// Application code (listeners, completions) runs with no lock held; the
// one running now is named in the registry, so that a removal or a
// cancellation from another thread waits for it to return.  Nothing here
// allocates: a frame is decoded on the deliverer's stack, and only when a
// listener or a call waits for frames.
#include <errno.h>
#include <sys/timerfd.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "internal.h"
#include "link_state.h"
#include "log.h"
#include "mcu_agent_api.h"

namespace mcu_agent::link {

namespace {

constexpr int kRunningWaitMs = 5000;  // a removal or cancellation waits this long for a running call
constexpr int kDefaultCallMs = 5000;
constexpr uint32_t kCallIndexBits = 6;
static_assert(MCU_AGENT_MAX_CALLS == 1 << kCallIndexBits, "a call's handle carries its index");

struct Listener {
    enum class Kind : uint8_t { kFree, kMessage, kConnection } kind = Kind::kFree;
    bool removed = false;
    bool owed = false;        // added while a connection stood: hears 1 first
    bool owed_taken = false;  // its owed 1 was collected for delivery
    int id = MCU_AGENT_ANY_MESSAGE;
    uint32_t handle = 0;
    MCU_MSG_LISTENER on_message = nullptr;
    MCU_CONNECTION_LISTENER on_connection = nullptr;
    void *user = nullptr;
};

struct Call {
    enum class State : uint8_t {
        kFree,
        kArmed,     // its frame is being written
        kWaiting,   // written, waits for its answer
        kExpiring,  // its deadline passed (or its connection ended first); its completion is collected
        kRunning,   // its completion runs now
        kDone,      // blocking: the result is in `result`, the caller takes it
    } state = State::kFree;
    bool blocking = false;
    uint32_t handle = 0;
    uint32_t order = 0;  // calls are answered in the order they were made
    int answer = -1;
    int connection = 0;  // the connection its frame went to; 0 while armed
    struct timespec deadline {};
    MCU_AGENT_CALL_RESULT result = MCU_AGENT_CALL_TIMED_OUT;  // kDone; kExpiring: what it ends with
    MCU_AGENT_COMPLETION done = nullptr;
    void *user = nullptr;
    PACKET_MSG *out = nullptr;
};

struct Registry {
    std::array<Listener, MCU_AGENT_MAX_LISTENERS> listeners;
    std::atomic<uint32_t> next_listener{1};
    int owed = 0;                    // listeners with `owed` set
    uint32_t running_listener = 0;   // the listener running now, 0 none
    pthread_t running_listener_thread{};

    std::array<Call, MCU_AGENT_MAX_CALLS> calls;
    uint32_t call_sequence = 0;
    uint32_t call_order = 0;
    int async_waiting = 0;          // asynchronous calls in kArmed or kWaiting
    struct timespec timer_at {};    // what `timer` is armed for; zero: disarmed
    uint32_t running_call = 0;
    pthread_t running_call_thread{};
    // The last connections freed without events, for calls whose frame was
    // written to one of them just before.
    std::array<int, 8> dropped{};
    size_t next_dropped = 0;
    // A listener or completion returned, or a blocking call's result came.
    pthread_cond_t finished = PTHREAD_COND_INITIALIZER;
};
Registry g_reg;

// Message listeners and pending calls: frames are decoded for them only.
std::atomic<int> g_frame_observers{0};

// The request being made with its answer awaited, on this thread.
struct Arming {
    bool blocking;
    struct timespec deadline;
    PACKET_MSG *out;
    MCU_AGENT_COMPLETION done;
    void *user;
    MCU_AGENT_CALL_RESULT result;  // NOT_SENT until its frame is written
    int index;
    uint32_t handle;
};
thread_local Arming *t_arming = nullptr;
// This thread has called McuAgent_dispatch: a blocking call here could
// never be answered.
thread_local bool t_dispatcher = false;

bool before(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}
bool is_zero(const struct timespec &t) { return t.tv_sec == 0 && t.tv_nsec == 0; }

void wait_finished(const struct timespec &until) {
    pthread_cond_clockwait(&g_reg.finished, &g_link.mutex(), CLOCK_MONOTONIC, &until);
}

// ---- listeners --------------------------------------------------------

Listener *find_listener(uint32_t handle) {
    for (Listener &l : g_reg.listeners)
        if (l.kind != Listener::Kind::kFree && l.handle == handle) return &l;
    return nullptr;
}

void free_listener(Listener &l) {
    if (l.kind == Listener::Kind::kMessage) g_frame_observers.fetch_sub(1);
    if (l.owed) --g_reg.owed;
    l = Listener{};
}

// Under the mutex: the next listener of `kind` to call after handle
// `after`, marked running; null when none is left.  `owed_only`: those whose
// owed 1 was collected; otherwise those below `below` that hear `id`.
Listener *next_listener(Listener::Kind kind, int id, uint32_t after, uint32_t below, bool owed_only) {
    Listener *next = nullptr;
    for (Listener &l : g_reg.listeners) {
        if (l.kind != kind || l.removed || l.handle <= after) continue;
        if (owed_only ? !l.owed_taken : (l.handle >= below || (l.id != MCU_AGENT_ANY_MESSAGE && l.id != id)))
            continue;
        if (!next || l.handle < next->handle) next = &l;
    }
    if (next) {
        next->owed_taken = false;
        g_reg.running_listener = next->handle;
        g_reg.running_listener_thread = pthread_self();
    }
    return next;
}

// Under the mutex: the running listener returned.
void listener_returned(uint32_t handle) {
    g_reg.running_listener = 0;
    Listener *l = find_listener(handle);
    if (l && l->removed) free_listener(*l);
    pthread_cond_broadcast(&g_reg.finished);
}

// Model: listeners.  Calls the listeners of one delivery in the order
// they were added, each with no lock held.
template <typename Invoke>
void run_listeners(Listener::Kind kind, int id, uint32_t below, bool owed_only, Invoke invoke) {
    uint32_t after = 0;
    for (;;) {
        Listener copy;
        {
            Lock lock(g_link.mutex());
            if (after) listener_returned(after);
            Listener *l = next_listener(kind, id, after, below, owed_only);
            if (!l) return;
            copy = *l;
        }
        invoke(copy);
        after = copy.handle;
    }
}

uint32_t add_listener(Listener::Kind kind, int id, MCU_MSG_LISTENER on_message, MCU_CONNECTION_LISTENER on_connection,
                      void *user) {
    Lock lock(g_link.mutex());
    Listener *slot = nullptr;
    for (Listener &l : g_reg.listeners)
        if (l.kind == Listener::Kind::kFree) {
            slot = &l;
            break;
        }
    if (!slot) {
        errno = ENOSPC;
        return 0;
    }
    slot->kind = kind;
    slot->id = id;
    slot->on_message = on_message;
    slot->on_connection = on_connection;
    slot->user = user;
    slot->handle = g_reg.next_listener.fetch_add(1);
    if (kind == Listener::Kind::kMessage) g_frame_observers.fetch_add(1);
    // A connection whose 1 was already taken stands for this listener: it
    // hears 1 before anything else of it.
    const Connection *c = delivering();
    if (kind == Listener::Kind::kConnection && c && c->up_taken) {
        slot->owed = true;
        ++g_reg.owed;
        if (handler_to_wake()) wake_packet_thread();
    }
    return slot->handle;
}

// ---- calls --------------------------------------------------------------

Call *find_call(uint32_t handle) {
    if (!handle) return nullptr;
    Call &c = g_reg.calls[handle & ((1u << kCallIndexBits) - 1)];
    return c.state != Call::State::kFree && c.handle == handle ? &c : nullptr;
}

void free_call(Call &c) {
    if (!c.blocking && (c.state == Call::State::kArmed || c.state == Call::State::kWaiting)) --g_reg.async_waiting;
    g_frame_observers.fetch_sub(1);
    c = Call{};
    pthread_cond_broadcast(&g_reg.finished);
}

// Runs an asynchronous call's completion with no lock held, then frees it.
// Entered and left under the mutex (`lock` names it).
void complete(Call &c, MCU_AGENT_CALL_RESULT result, const PACKET_MSG *answer) {
    if (c.state == Call::State::kArmed || c.state == Call::State::kWaiting) --g_reg.async_waiting;
    c.state = Call::State::kRunning;
    const uint32_t handle = c.handle;
    const MCU_AGENT_COMPLETION done = c.done;
    void *const user = c.user;
    g_reg.running_call = handle;
    g_reg.running_call_thread = pthread_self();
    pthread_mutex_unlock(&g_link.mutex());
    done(result, answer, user);
    pthread_mutex_lock(&g_link.mutex());
    g_reg.running_call = 0;
    if (c.handle == handle) {
        g_frame_observers.fetch_sub(1);
        c = Call{};
    }
    pthread_cond_broadcast(&g_reg.finished);
}

// Under the mutex: a blocking call's result is in; its caller takes it.
void finish_blocking(Call &c, MCU_AGENT_CALL_RESULT result) {
    c.state = Call::State::kDone;
    c.result = result;
    pthread_cond_broadcast(&g_reg.finished);
}

// Under the mutex: `timer` rings at the earliest deadline of a waiting
// asynchronous call (or at once for one to end now); disarmed with none.
// `rang`: the timer rang and must be set again even for the same point,
// which also clears its readability.
void arm_timer(bool rang = false) {
    if (g_link.timer < 0) return;
    struct timespec earliest {};
    for (const Call &c : g_reg.calls)
        if (!c.blocking && (c.state == Call::State::kWaiting) && (is_zero(earliest) || before(c.deadline, earliest)))
            earliest = c.deadline;
    if (!rang && earliest.tv_sec == g_reg.timer_at.tv_sec && earliest.tv_nsec == g_reg.timer_at.tv_nsec) return;
    struct itimerspec ring_at {};
    ring_at.it_value = earliest;  // zero disarms; a point passed rings at once
    timerfd_settime(g_link.timer, TFD_TIMER_ABSTIME, &ring_at, nullptr);
    g_reg.timer_at = earliest;
}

// The request's frame is about to be written: takes a call record for it.
// Under the mutex.  -1 (the reason in the arming) when it cannot be made.
int arm_call(Arming &a, uint8_t command) {
    const protocol::Command *row = protocol::find_command(command);
    if (!row || row->answer < 0) {
        a.result = MCU_AGENT_CALL_NO_ANSWER;
        return -1;
    }
    for (size_t i = 0; i < g_reg.calls.size(); ++i) {
        Call &c = g_reg.calls[i];
        if (c.state != Call::State::kFree) continue;
        // The sequence fills the bits above the index; after 2^26 calls it
        // starts again at 1 (0 is no handle).
        g_reg.call_sequence = (g_reg.call_sequence + 1) & (UINT32_MAX >> kCallIndexBits);
        if (g_reg.call_sequence == 0) g_reg.call_sequence = 1;
        c.state = Call::State::kArmed;
        c.blocking = a.blocking;
        c.handle = g_reg.call_sequence << kCallIndexBits | static_cast<uint32_t>(i);
        c.order = ++g_reg.call_order;
        c.answer = row->answer;
        c.connection = 0;
        c.deadline = a.deadline;
        c.done = a.done;
        c.user = a.user;
        c.out = a.out;
        if (!c.blocking) ++g_reg.async_waiting;
        g_frame_observers.fetch_add(1);
        a.index = static_cast<int>(i);
        a.handle = c.handle;
        return a.index;
    }
    a.result = MCU_AGENT_CALL_BUSY;
    return -1;
}

// Under the mutex: the frame of an armed call was written (or not).
void call_sent(Arming &a, bool sent) {
    Call *c = find_call(a.handle);
    if (!sent) {
        a.result = MCU_AGENT_CALL_NOT_SENT;
        if (c) free_call(*c);
        return;
    }
    a.result = MCU_AGENT_CALL_OK;
    if (!c || c->state != Call::State::kArmed) return;  // answered already
    c->connection = t_sent_number;
    c->state = Call::State::kWaiting;
    if (c->connection <= g_link.ended_delivered ||
        std::find(g_reg.dropped.begin(), g_reg.dropped.end(), c->connection) != g_reg.dropped.end()) {
        // Its connection's end was delivered while it was written.
        if (c->blocking) {
            finish_blocking(*c, MCU_AGENT_CALL_ENDED);
        } else {
            c->result = MCU_AGENT_CALL_ENDED;
            c->deadline = timespec{0, 1};
        }
    }
    if (!c->blocking) arm_timer();
}

int timeout_of(int timeout_ms) { return timeout_ms > 0 ? timeout_ms : kDefaultCallMs; }

// Makes the request with its answer awaited: the request function's frame
// goes through send_awaited.
void make_request(Arming &a, MCU_AGENT_REQUEST_WITH request, void *arg) {
    a.result = MCU_AGENT_CALL_NOT_SENT;
    a.index = -1;
    a.handle = 0;
    t_arming = &a;
    if (request) request(arg);
    t_arming = nullptr;
}

struct PlainRequest {
    MCU_AGENT_REQUEST request;
};
int call_plain(void *arg) { return static_cast<PlainRequest *>(arg)->request(); }

MCU_AGENT_CALL_RESULT call_blocking(MCU_AGENT_REQUEST_WITH request, void *arg, int timeout_ms, PACKET_MSG *answer) {
    if (t_delivering || t_on_packet_thread || t_dispatcher) return MCU_AGENT_CALL_REFUSED;
    Arming a{true, deadline_after(timeout_of(timeout_ms)), answer, nullptr, nullptr, MCU_AGENT_CALL_NOT_SENT, -1, 0};
    make_request(a, request, arg);
    if (a.result != MCU_AGENT_CALL_OK) return a.result;
    Lock lock(g_link.mutex());
    Call *c = find_call(a.handle);
    while (c && c->state != Call::State::kDone && ms_until(a.deadline) > 0) {
        wait_finished(a.deadline);
        c = find_call(a.handle);
    }
    if (!c) return MCU_AGENT_CALL_ENDED;  // released by shutdown
    const MCU_AGENT_CALL_RESULT result = c->state == Call::State::kDone ? c->result : MCU_AGENT_CALL_TIMED_OUT;
    free_call(*c);
    return result;
}

MCU_AGENT_CALL_RESULT call_async(MCU_AGENT_REQUEST_WITH request, void *arg, int timeout_ms, MCU_AGENT_COMPLETION done,
                                 void *user, MCU_AGENT_CALL *call) {
    if (call) *call = 0;
    if (!done) return MCU_AGENT_CALL_NOT_SENT;
    Arming a{false, deadline_after(timeout_of(timeout_ms)), nullptr, done, user, MCU_AGENT_CALL_NOT_SENT, -1, 0};
    make_request(a, request, arg);
    if (a.result == MCU_AGENT_CALL_OK && call) *call = a.handle;
    return a.result;
}

}  // namespace

// ---- the deliverer's side -------------------------------------------------

uint32_t listener_snapshot() { return g_reg.next_listener.load(); }

bool listeners_owed_up() {
    if (!g_reg.owed) return false;
    for (Listener &l : g_reg.listeners)
        if (l.kind == Listener::Kind::kConnection && l.owed) {
            l.owed = false;
            l.owed_taken = !l.removed;
        }
    g_reg.owed = 0;
    return true;
}

int take_expired_call() {
    if (!g_reg.async_waiting && is_zero(g_reg.timer_at)) return -1;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int oldest = -1;
    for (size_t i = 0; i < g_reg.calls.size(); ++i) {
        const Call &c = g_reg.calls[i];
        if (c.blocking || c.state != Call::State::kWaiting || before(now, c.deadline)) continue;
        if (oldest < 0 || c.order < g_reg.calls[static_cast<size_t>(oldest)].order) oldest = static_cast<int>(i);
    }
    if (oldest >= 0) {
        g_reg.calls[static_cast<size_t>(oldest)].state = Call::State::kExpiring;
        --g_reg.async_waiting;
        return oldest;
    }
    // Nothing (more) expired: a timer that rang is set for the next one.
    if (!is_zero(g_reg.timer_at) && !before(now, g_reg.timer_at)) arm_timer(true);
    return -1;
}

void arm_call_timer() { arm_timer(); }

void listeners_after_fork() {
    pthread_cond_init(&g_reg.finished, nullptr);
    g_reg.running_listener = 0;
    g_reg.running_call = 0;
    g_reg.timer_at = timespec{};
}

void complete_expired_call(int index) {
    Lock lock(g_link.mutex());
    Call &c = g_reg.calls[static_cast<size_t>(index)];
    if (c.state != Call::State::kExpiring) return;  // cancelled meanwhile
    const MCU_AGENT_CALL_RESULT result = c.result == MCU_AGENT_CALL_ENDED ? c.result : MCU_AGENT_CALL_TIMED_OUT;
    complete(c, result, nullptr);
}

// Model: observe.  After the table's handler: the frame's listeners, then
// the oldest call that waits for it.
void observe_frame(const char *bytes, int size, int connection) {
    (void)size;
    if (g_frame_observers.load(std::memory_order_acquire) == 0) return;
    PACKET_MSG packet;
    std::memset(&packet, 0, sizeof packet);
    const Frame frame{reinterpret_cast<const uint8_t *>(bytes)};
    packet.mcu_msg_id = static_cast<MCU_MSG_ID>(frame.id());
    packet.size = frame.length();
    decode_frame(frame, &packet);
    const uint32_t below = g_reg.next_listener.load();
    run_listeners(Listener::Kind::kMessage, frame.id(), below, false,
                  [&packet](const Listener &l) { l.on_message(&packet, l.user); });
    pthread_mutex_lock(&g_link.mutex());
    Call *match = nullptr;
    for (Call &c : g_reg.calls)
        if ((c.state == Call::State::kWaiting || c.state == Call::State::kArmed) && c.answer == frame.id() &&
            (c.connection == 0 || c.connection == connection) && (!match || c.order < match->order))
            match = &c;
    if (match && !match->blocking) complete(*match, MCU_AGENT_CALL_OK, &packet);
    const bool answered = match && match->blocking;
    if (answered) {
        if (match->out) *match->out = packet;
        match->state = Call::State::kDone;
        match->result = MCU_AGENT_CALL_OK;
    }
    pthread_mutex_unlock(&g_link.mutex());
    // The caller is woken with the mutex free: woken under it, it would
    // only sleep again on the mutex.
    if (answered) pthread_cond_broadcast(&g_reg.finished);
}

// Model: observe_event.  After the connection handler: the connection
// listeners; after a 0, every call still waiting on that connection ends.
void observe_event(bool up, bool owed_only, uint32_t snapshot, int connection) {
    run_listeners(Listener::Kind::kConnection, 0, snapshot, owed_only,
                  [up](const Listener &l) { l.on_connection(up ? 1 : 0, l.user); });
    if (up) return;
    Lock lock(g_link.mutex());
    if (connection > g_link.ended_delivered) g_link.ended_delivered = connection;
    for (bool again = true; again;) {
        again = false;
        for (Call &c : g_reg.calls) {
            if (c.state != Call::State::kWaiting || c.connection != connection) continue;
            if (c.blocking) {
                finish_blocking(c, MCU_AGENT_CALL_ENDED);
            } else {
                complete(c, MCU_AGENT_CALL_ENDED, nullptr);
                again = true;  // the lock was released: look again from the start
                break;
            }
        }
    }
}

// Model: dropped.  No 0 will be delivered for this connection: its calls
// end now (an asynchronous one through the timer, on the deliverer).
void connection_dropped(int number) {
    g_reg.dropped[g_reg.next_dropped++ % g_reg.dropped.size()] = number;
    bool async = false;
    for (Call &c : g_reg.calls) {
        if (c.state != Call::State::kWaiting || c.connection != number) continue;
        if (c.blocking) {
            finish_blocking(c, MCU_AGENT_CALL_ENDED);
        } else {
            c.result = MCU_AGENT_CALL_ENDED;
            c.deadline = timespec{0, 1};
            async = true;
        }
    }
    if (async) arm_timer();
}

// Under the mutex, the library's threads gone: whatever is left ends now,
// on the thread that shuts down.
void end_everything() {
    for (bool again = true; again;) {
        again = false;
        for (Call &c : g_reg.calls) {
            if (c.state == Call::State::kFree || c.state == Call::State::kDone || c.state == Call::State::kRunning)
                continue;
            if (c.blocking) {
                finish_blocking(c, MCU_AGENT_CALL_ENDED);
            } else {
                complete(c, MCU_AGENT_CALL_ENDED, nullptr);
                again = true;
                break;
            }
        }
    }
    for (Listener &l : g_reg.listeners)
        if (l.kind != Listener::Kind::kFree) free_listener(l);
    g_reg.owed = 0;
    g_reg.timer_at = timespec{};
    pthread_cond_broadcast(&g_reg.finished);
}

}  // namespace mcu_agent::link

namespace mcu_agent {

bool frame_awaited(uint8_t id) {
    using namespace link;
    if (g_frame_observers.load() == 0) return false;
    Lock lock(g_link.mutex());
    for (const Listener &l : g_reg.listeners)
        if (l.kind == Listener::Kind::kMessage && !l.removed && (l.id == MCU_AGENT_ANY_MESSAGE || l.id == id))
            return true;
    for (const Call &c : g_reg.calls)
        if ((c.state == Call::State::kArmed || c.state == Call::State::kWaiting) && c.answer == id) return true;
    return false;
}

// The frame of a request function: written as any other, with a call
// record taken first when its answer is awaited.
int send_request_frame(uint8_t command, char *frame, int size) {
    using namespace link;
    Arming *a = t_arming;
    if (!a) return socket_send(frame, size);
    t_arming = nullptr;  // one frame per awaited request
    {
        Lock lock(g_link.mutex());
        if (arm_call(*a, command) < 0) return -1;
    }
    const int rc = socket_send(frame, size);
    Lock lock(g_link.mutex());
    call_sent(*a, rc == size);
    return rc;
}

}  // namespace mcu_agent

using namespace mcu_agent::link;

extern "C" {

int McuAgent_set_dispatch_mode(int mode) {
    if (mode != MCU_AGENT_DISPATCH_THREAD && mode != MCU_AGENT_DISPATCH_APPLICATION) {
        errno = EINVAL;
        return -1;
    }
    Lock lock(g_link.mutex());
    if (g_link.packet_running || g_link.receive_running || g_link.stopping) {
        errno = EBUSY;
        return -1;
    }
    g_link.dispatch_mode = mode;
    return 0;
}

int McuAgent_get_fd(void) {
    Lock lock(g_link.mutex());
    if (g_link.dispatch_mode != MCU_AGENT_DISPATCH_APPLICATION) {
        errno = EINVAL;
        return -1;
    }
    return make_application_descriptor() ? g_link.events : -1;
}

int McuAgent_dispatch(int max_deliveries) {
    if (max_deliveries < 1 || g_link.dispatch_mode != MCU_AGENT_DISPATCH_APPLICATION) {
        errno = EINVAL;
        return -1;
    }
    if (t_delivering) {
        errno = EDEADLK;
        return -1;
    }
    if (pthread_mutex_trylock(&g_link.dispatch_role) != 0) {
        errno = EBUSY;
        return -1;
    }
    t_dispatcher = true;
    int ran = 0;
    {
        Lock lock(g_link.mutex());
        if (!make_application_descriptor()) ran = -1;
    }
    if (ran == 0) {
        // Sends from these deliveries follow the rules of sends from the
        // packet-handle thread: never blocked for good.
        const bool outer = t_on_packet_thread;
        t_on_packet_thread = true;
        ran = deliver_some(max_deliveries);
        t_on_packet_thread = outer;
    }
    pthread_mutex_unlock(&g_link.dispatch_role);
    return ran;
}

MCU_AGENT_LISTENER McuAgent_add_listener(int msg_id, MCU_MSG_LISTENER listener, void *user) {
    if (!listener || msg_id < MCU_AGENT_ANY_MESSAGE || msg_id > 0xFF) {
        errno = EINVAL;
        return 0;
    }
    return add_listener(Listener::Kind::kMessage, msg_id, listener, nullptr, user);
}

MCU_AGENT_LISTENER McuAgent_add_connection_listener(MCU_CONNECTION_LISTENER listener, void *user) {
    if (!listener) {
        errno = EINVAL;
        return 0;
    }
    return add_listener(Listener::Kind::kConnection, 0, nullptr, listener, user);
}

// Model: remove.
int McuAgent_remove_listener(MCU_AGENT_LISTENER handle) {
    Lock lock(g_link.mutex());
    Listener *l = handle ? find_listener(handle) : nullptr;
    if (!l || l->removed) {
        errno = ENOENT;
        return -1;
    }
    l->removed = true;
    if (g_reg.running_listener != handle) {
        free_listener(*l);
        return 0;
    }
    // Running now: from inside its own call, it is simply never called
    // again; on another thread, its call is waited for.
    if (pthread_equal(g_reg.running_listener_thread, pthread_self())) return 0;
    const struct timespec until = deadline_after(kRunningWaitMs);
    while (g_reg.running_listener == handle && ms_until(until) > 0) wait_finished(until);
    if (g_reg.running_listener == handle) {
        errno = ETIMEDOUT;
        return -1;
    }
    return 0;
}

const char *McuAgent_call_result_text(MCU_AGENT_CALL_RESULT result) {
    switch (result) {
        case MCU_AGENT_CALL_OK: return "answered";
        case MCU_AGENT_CALL_TIMED_OUT: return "timed out";
        case MCU_AGENT_CALL_ENDED: return "connection ended";
        case MCU_AGENT_CALL_REFUSED: return "refused on the thread that delivers frames";
        case MCU_AGENT_CALL_NOT_SENT: return "not sent";
        case MCU_AGENT_CALL_NO_ANSWER: return "the request has no answer";
        case MCU_AGENT_CALL_BUSY: return "too many calls pending";
        case MCU_AGENT_CALL_CANCELLED: return "cancelled";
    }
    return "unknown result";
}

MCU_AGENT_CALL_RESULT McuAgent_call(MCU_AGENT_REQUEST request, int timeout_ms, PACKET_MSG *answer) {
    PlainRequest plain{request};
    return call_blocking(request ? call_plain : nullptr, &plain, timeout_ms, answer);
}

MCU_AGENT_CALL_RESULT McuAgent_call_with(MCU_AGENT_REQUEST_WITH request, void *arg, int timeout_ms,
                                         PACKET_MSG *answer) {
    return call_blocking(request, arg, timeout_ms, answer);
}

MCU_AGENT_CALL_RESULT McuAgent_call_async(MCU_AGENT_REQUEST request, int timeout_ms, MCU_AGENT_COMPLETION done,
                                          void *user, MCU_AGENT_CALL *call) {
    PlainRequest plain{request};
    return call_async(request ? call_plain : nullptr, &plain, timeout_ms, done, user, call);
}

MCU_AGENT_CALL_RESULT McuAgent_call_async_with(MCU_AGENT_REQUEST_WITH request, void *arg, int timeout_ms,
                                               MCU_AGENT_COMPLETION done, void *user, MCU_AGENT_CALL *call) {
    return call_async(request, arg, timeout_ms, done, user, call);
}

// Model: cancel.
int McuAgent_call_cancel(MCU_AGENT_CALL call) {
    Lock lock(g_link.mutex());
    Call *c = find_call(call);
    if (!c) {
        // Handles carry a sequence number that only grows: one handed out
        // before and no longer held belongs to a call that has completed.
        const uint32_t sequence = call >> kCallIndexBits;
        if (sequence != 0 && sequence <= g_reg.call_sequence) return 0;
        errno = ENOENT;
        return -1;
    }
    if (c->blocking) {
        errno = ENOENT;
        return -1;
    }
    if (c->state != Call::State::kRunning) {
        free_call(*c);
        arm_timer();
        return 1;
    }
    if (pthread_equal(g_reg.running_call_thread, pthread_self())) return 0;
    const struct timespec until = deadline_after(kRunningWaitMs);
    while (g_reg.running_call == call && ms_until(until) > 0) wait_finished(until);
    return 0;
}

int McuAgent_is_connected(void) {
    const uint32_t w = g_link.current.load();
    return w && !g_link.connections[static_cast<size_t>(index_of(w))].peer_gone.load() ? 1 : 0;
}

}  // extern "C"
