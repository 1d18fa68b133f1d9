// mcu_agent.hpp - C++17 interface of the MCU agent client library, header
// only.  It is a layer over mcu_agent_api.h, which stays the contract: every
// call here is one of its functions, with the same guarantees.
//
//   mcu_agent::client agent;                            // McuAgent_client_init
//   auto sub = agent.on<MCU_MSG_RET_HVAC_INFO>([](const HVAC_INFO &hvac) { ... });
//   auto power = agent.call<MCU_MSG_RET_CUR_AUDIO_POWER_STATUS>(McuAgent_get_audio_power);
//   if (power) use(power->power_status); else puts(power.status_text());
//
// - Which record a message id carries comes from the library's message rows
//   (mcu_agent_records.hpp, written at build time): a callable for
//   MCU_MSG_RET_HVAC_INFO is handed a `const HVAC_INFO &` copied out of
//   PACKET_MSG.data (aligned), one for an id whose payload is one byte is
//   handed that byte as its enumeration (HARD_KEY_ID) or as uint8_t.  A
//   callable that does not take that type does not compile.
// - Callables are taken by value and may capture; they run where the C
//   layer delivers (the library's thread, or the thread that calls
//   client::dispatch in the application's dispatch mode).
// - An exception thrown by a callable is caught where the C layer called
//   it, reported (see set_error_hook) and goes no further: the delivery of
//   other messages goes on.
// - subscription and pending_call are move-only handles: destroying one
//   unsubscribes (McuAgent_remove_listener) or cancels (McuAgent_call_cancel);
//   once that returns the callable is not running and never runs again.
#ifndef MCU_AGENT_HPP
#define MCU_AGENT_HPP

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "mcu_agent_api.h"
#include "mcu_agent_records.hpp"

namespace mcu_agent {

// ---- exceptions thrown by callables ---------------------------------------

// Receives one line (no newline) for each exception a callable threw:
//   "mcu_agent: listener of MCU_MSG_RET_HVAC_INFO(0xFA) threw: <what()>"
// It runs on the thread that ran the callable.  nullptr (the default)
// writes the line to standard error.
using error_hook = void (*)(const char *line);

namespace detail {

inline std::atomic<error_hook> g_error_hook{nullptr};

// Hands one line to the hook, or writes it to standard error.
inline void emit(const char *line) noexcept {
    const error_hook hook = g_error_hook.load();
    if (hook == nullptr) {
        std::fprintf(stderr, "%s\n", line);
        return;
    }
#if defined(__cpp_exceptions)
    try {
        hook(line);
    } catch (...) {
        std::fprintf(stderr, "%s\n", line);
    }
#else
    hook(line);
#endif
}

// "mcu_agent: <what> MCU_MSG_...(0x..) threw: <reason>"; msg_id -1 names no message.
inline void report(const char *what, int msg_id, const char *reason) noexcept {
    char line[320];
    if (msg_id >= 0) {
        const char *name = McuAgent_msg_name(msg_id);
        std::snprintf(line, sizeof line, "mcu_agent: %s %s(0x%02X) threw: %s", what, name ? name : "message",
                      static_cast<unsigned>(msg_id), reason);
    } else {
        std::snprintf(line, sizeof line, "mcu_agent: %s threw: %s", what, reason);
    }
    emit(line);
}

// Runs f where the C layer called in: nothing it throws goes further.
template <typename F>
void guarded(const char *what, int msg_id, F &&f) noexcept {
#if defined(__cpp_exceptions)
    try {
        std::forward<F>(f)();
    } catch (const std::exception &e) {
        report(what, msg_id, e.what());
    } catch (...) {
        report(what, msg_id, "an exception not derived from std::exception");
    }
#else
    (void)what;
    (void)msg_id;
    std::forward<F>(f)();
#endif
}

}  // namespace detail

inline void set_error_hook(error_hook hook) noexcept { detail::g_error_hook.store(hook); }

// ---- records --------------------------------------------------------------

// The record of message `Id` read from a delivered packet: copied out of
// PACKET_MSG.data, so it is aligned whatever the record needs.
template <MCU_MSG_ID Id>
record_t<Id> read_record(const PACKET_MSG &msg) noexcept {
    using row = record_of<Id>;
    using T = typename row::type;
    static_assert(std::is_trivially_copyable_v<T>, "records are plain C data");
    if constexpr (row::form == record_form::byte) {
        return static_cast<T>(msg.data[0]);
    } else if constexpr (row::form == record_form::raw) {
        raw_payload payload;
        payload.size = std::min<std::size_t>(msg.size, payload.bytes.size());
        std::memcpy(payload.bytes.data(), msg.data, payload.size);
        return payload;
    } else {
        // A record may be longer than PACKET_MSG.data (MCAN_DATA_INFO):
        // what lies past it was never written and reads as zero.
        T record;
        std::memset(&record, 0, sizeof record);
        std::memcpy(&record, msg.data, std::min(sizeof record, sizeof msg.data));
        return record;
    }
}

namespace detail {

// Stops compilation with the expected record in the message: the compiler
// names Record and Callable in the instantiation of this function.
template <typename Record, typename Callable>
constexpr bool takes_record() {
    static_assert(std::is_invocable_v<Callable &, const Record &>,
                  "mcu_agent: the callable must take `const Record &`, the record of its message id "
                  "(this instantiation names Record)");
    return std::is_invocable_v<Callable &, const Record &>;
}

template <MCU_MSG_ID Id>
constexpr bool has_record() {
    static_assert(record_of<Id>::known, "mcu_agent: this message id has no row, so no record");
    return record_of<Id>::known;
}

// The record of an answer, with a stand-in for an id without a row so that
// a call naming one stops at has_record's message rather than elsewhere.
template <MCU_MSG_ID Id, bool = record_of<Id>::known>
struct answer_of {
    using type = raw_payload;
};
template <MCU_MSG_ID Id>
struct answer_of<Id, true> {
    using type = record_t<Id>;
};
template <MCU_MSG_ID Id>
using answer_t = typename answer_of<Id>::type;

template <MCU_MSG_ID Id>
constexpr bool is_answer() {
    static_assert(!record_of<Id>::known || record_of<Id>::answers_request,
                  "mcu_agent: no request awaits this message id as its answer");
    return record_of<Id>::known && record_of<Id>::answers_request;
}

// The callable that runs on this thread now, so that a handle destroyed
// from inside its own callable leaves the deletion to the trampoline.
inline thread_local const void *t_running = nullptr;

class running_scope {
public:
    explicit running_scope(const void *callable) noexcept : previous_(t_running) { t_running = callable; }
    ~running_scope() { t_running = previous_; }
    running_scope(const running_scope &) = delete;
    running_scope &operator=(const running_scope &) = delete;

private:
    const void *previous_;
};

struct listener_base {
    virtual ~listener_base() = default;
    bool orphaned = false;  // its handle went while it ran; only its own thread touches this
};

// Calls `invoke` with the listener and deletes it afterwards when its
// subscription went meanwhile.
template <typename L, typename Invoke>
void run_listener(void *user, Invoke &&invoke) noexcept {
    L *self = static_cast<L *>(user);
    {
        running_scope scope(self);
        std::forward<Invoke>(invoke)(*self);
    }
    if (self->orphaned) delete self;
}

template <MCU_MSG_ID Id, typename F>
struct message_listener final : listener_base {
    F f;
    explicit message_listener(F fn) : f(std::move(fn)) {}
    static void deliver(const PACKET_MSG *msg, void *user) noexcept {
        run_listener<message_listener>(user, [msg](message_listener &self) {
            if (msg == nullptr) return;
            guarded("listener of", static_cast<int>(Id), [&] {
                const record_t<Id> record = read_record<Id>(*msg);
                self.f(record);
            });
        });
    }
};

template <typename F>
struct packet_listener final : listener_base {
    F f;
    explicit packet_listener(F fn) : f(std::move(fn)) {}
    static void deliver(const PACKET_MSG *msg, void *user) noexcept {
        run_listener<packet_listener>(user, [msg](packet_listener &self) {
            if (msg == nullptr) return;
            guarded("listener of", static_cast<int>(msg->mcu_msg_id), [&] { self.f(*msg); });
        });
    }
};

template <typename F>
struct connection_listener final : listener_base {
    F f;
    explicit connection_listener(F fn) : f(std::move(fn)) {}
    static void deliver(int connected, void *user) noexcept {
        run_listener<connection_listener>(user, [connected](connection_listener &self) {
            guarded("connection listener", -1, [&] { self.f(connected != 0); });
        });
    }
};

}  // namespace detail

// A listener while it stands.  Destroying or resetting it removes the
// listener: afterwards it is not running and never called again (from
// inside its own callable, the callable is destroyed once it returns).
class subscription {
public:
    subscription() = default;
    subscription(subscription &&other) noexcept
        : handle_(std::exchange(other.handle_, 0)),
          listener_(std::exchange(other.listener_, nullptr)),
          error_(std::exchange(other.error_, 0)) {}
    subscription &operator=(subscription &&other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, 0);
            listener_ = std::exchange(other.listener_, nullptr);
            error_ = std::exchange(other.error_, 0);
        }
        return *this;
    }
    subscription(const subscription &) = delete;
    subscription &operator=(const subscription &) = delete;
    ~subscription() { reset(); }

    // True while the listener stands (it was added and not reset).
    explicit operator bool() const noexcept { return handle_ != 0; }
    MCU_AGENT_LISTENER handle() const noexcept { return handle_; }
    // Why adding it failed: the errno of McuAgent_add_listener (EINVAL,
    // ENOSPC), else 0.
    int error() const noexcept { return error_; }

    // Removes the listener now.  Also after the client's shutdown, which
    // removed it already.
    void reset() noexcept {
        if (listener_ == nullptr) return;
        detail::listener_base *listener = std::exchange(listener_, nullptr);
        const MCU_AGENT_LISTENER handle = std::exchange(handle_, 0);
        const int saved = errno;
        if (McuAgent_remove_listener(handle) != 0 && errno == ETIMEDOUT) {
            // Still running on another thread after 5 s: it is never called
            // again, but freeing it under the running call is not safe.
            detail::emit("mcu_agent: a listener removed by its subscription still ran after 5 s; its callable is kept");
        } else if (detail::t_running == listener) {
            listener->orphaned = true;  // from inside its own call: freed when that returns
        } else {
            delete listener;
        }
        errno = saved;
    }

private:
    friend class client;
    subscription(MCU_AGENT_LISTENER handle, detail::listener_base *listener, int error) noexcept
        : handle_(handle), listener_(handle != 0 ? listener : nullptr), error_(error) {}

    MCU_AGENT_LISTENER handle_ = 0;
    detail::listener_base *listener_ = nullptr;
    int error_ = 0;
};

// ---- awaited answers ------------------------------------------------------

// Why a call has no answer; the values of MCU_AGENT_CALL_RESULT, and
// other_answer when the message that answered is not the id the call named
// (the request function sends a request that another message answers).
enum class call_status : int {
    ok = MCU_AGENT_CALL_OK,
    timed_out = MCU_AGENT_CALL_TIMED_OUT,
    ended = MCU_AGENT_CALL_ENDED,
    refused = MCU_AGENT_CALL_REFUSED,
    not_sent = MCU_AGENT_CALL_NOT_SENT,
    no_answer = MCU_AGENT_CALL_NO_ANSWER,
    busy = MCU_AGENT_CALL_BUSY,
    cancelled = MCU_AGENT_CALL_CANCELLED,
    other_answer = 100,
};

inline const char *to_string(call_status status) noexcept {
    if (status == call_status::other_answer) return "answered by another message";
    const char *text = McuAgent_call_result_text(static_cast<MCU_AGENT_CALL_RESULT>(status));
    return text != nullptr ? text : "unknown";
}

#if defined(__cpp_exceptions)
// Thrown by call_result::value() when there is no answer.
class bad_call_result : public std::runtime_error {
public:
    explicit bad_call_result(call_status status) : std::runtime_error(to_string(status)), status_(status) {}
    call_status status() const noexcept { return status_; }

private:
    call_status status_;
};
#endif

// The typed answer of a call, or why there is none.
template <typename T>
class call_result {
public:
    using value_type = T;

    call_result(call_status status) noexcept : status_(status == call_status::ok ? call_status::not_sent : status) {}
    call_result(const T &answer) noexcept : status_(call_status::ok), answer_(answer) {}

    bool ok() const noexcept { return status_ == call_status::ok; }
    explicit operator bool() const noexcept { return ok(); }
    call_status status() const noexcept { return status_; }
    const char *status_text() const noexcept { return to_string(status_); }

    // The answer; only when ok().
    const T &operator*() const noexcept { return *answer_; }
    const T *operator->() const noexcept { return &*answer_; }
    // The answer; throws bad_call_result (without exceptions: aborts) when
    // there is none.
    const T &value() const {
        if (!ok()) {
#if defined(__cpp_exceptions)
            throw bad_call_result(status_);
#else
            std::abort();
#endif
        }
        return *answer_;
    }
    T value_or(const T &fallback) const { return ok() ? *answer_ : fallback; }

private:
    call_status status_;
    std::optional<T> answer_;
};

namespace detail {

inline int timeout_ms(std::chrono::milliseconds timeout) noexcept {
    const auto count = timeout.count();
    if (count <= 0) return 0;
    return count > 0x7fffffff ? 0x7fffffff : static_cast<int>(count);
}

template <MCU_MSG_ID Id>
call_result<record_t<Id>> make_result(MCU_AGENT_CALL_RESULT result, const PACKET_MSG *answer) noexcept {
    if (result != MCU_AGENT_CALL_OK) return static_cast<call_status>(result);
    if (answer == nullptr) return call_status::not_sent;
    if (answer->mcu_msg_id != Id) return call_status::other_answer;
    return read_record<Id>(*answer);
}

// A request: a request function (int(void)) as it is, or any callable
// returning the int of the request function it calls.
template <typename R>
inline constexpr bool is_request_function = std::is_same_v<std::decay_t<R>, MCU_AGENT_REQUEST>;

template <typename R>
constexpr bool is_request() {
    static_assert(is_request_function<R> || std::is_invocable_r_v<int, R &>,
                  "mcu_agent: a request is a request function, or a callable that calls one and returns its int");
    return is_request_function<R> || std::is_invocable_r_v<int, R &>;
}

// Calls the application's request callable from the C layer.
template <MCU_MSG_ID Id, typename R>
struct request_thunk {
    R &request;
    static int call(void *arg) noexcept {
        int sent = -1;
        guarded("request awaiting", static_cast<int>(Id), [&] { sent = static_cast<request_thunk *>(arg)->request(); });
        return sent;
    }
};

struct completion_base {
    virtual ~completion_base() = default;
};

template <MCU_MSG_ID Id, typename F>
struct completion final : completion_base {
    F done;
    explicit completion(F fn) : done(std::move(fn)) {}
    static void complete(MCU_AGENT_CALL_RESULT result, const PACKET_MSG *answer, void *user) noexcept {
        std::unique_ptr<completion> self(static_cast<completion *>(user));
        guarded("completion of a call awaiting", static_cast<int>(Id),
                [&] { self->done(make_result<Id>(result, answer)); });
    }
};

}  // namespace detail

// An asynchronous call while it is pending.  Destroying it cancels the
// call unless it was detached.
class pending_call {
public:
    pending_call() = default;
    pending_call(pending_call &&other) noexcept
        : call_(std::exchange(other.call_, 0)),
          completion_(std::exchange(other.completion_, nullptr)),
          status_(other.status_) {}
    pending_call &operator=(pending_call &&other) noexcept {
        if (this != &other) {
            cancel();
            call_ = std::exchange(other.call_, 0);
            completion_ = std::exchange(other.completion_, nullptr);
            status_ = other.status_;
        }
        return *this;
    }
    pending_call(const pending_call &) = delete;
    pending_call &operator=(const pending_call &) = delete;
    ~pending_call() { cancel(); }

    // ok: the request was sent and its completion will run; otherwise why
    // nothing was sent (the completion never runs).
    call_status status() const noexcept { return status_; }
    explicit operator bool() const noexcept { return status_ == call_status::ok; }
    MCU_AGENT_CALL handle() const noexcept { return call_; }

    // True: cancelled, the completion never runs.  False: it ran, runs now
    // on another thread (waited for), or nothing is pending.
    bool cancel() noexcept {
        if (call_ == 0) return false;
        const MCU_AGENT_CALL call = std::exchange(call_, 0);
        detail::completion_base *pending = std::exchange(completion_, nullptr);
        const int saved = errno;
        const bool cancelled = McuAgent_call_cancel(call) == 1;
        errno = saved;
        if (cancelled) delete pending;
        return cancelled;
    }
    // The completion runs when the answer comes; this handle no longer
    // cancels it.
    void detach() noexcept {
        call_ = 0;
        completion_ = nullptr;
    }

private:
    friend class client;
    pending_call(MCU_AGENT_CALL call, detail::completion_base *completion, call_status status) noexcept
        : call_(call), completion_(completion), status_(status) {}

    MCU_AGENT_CALL call_ = 0;
    detail::completion_base *completion_ = nullptr;
    call_status status_ = call_status::not_sent;
};

// ---- the client -----------------------------------------------------------

enum class dispatch_mode : int {
    library_thread = MCU_AGENT_DISPATCH_THREAD,  // deliveries on the library's thread
    application = MCU_AGENT_DISPATCH_APPLICATION,  // on the thread that calls client::dispatch
};

struct options {
    dispatch_mode dispatch = dispatch_mode::library_thread;
    // Above 0: the library connects again in the background
    // (McuAgent_set_reconnect_interval).
    std::chrono::milliseconds reconnect_interval{0};
    // The C registration table, when the application has one; it must stay
    // valid until the client is destroyed.  nullptr: none.
    MCU_MSG_HANDLE_REGISTER *handlers = nullptr;
};

// The library while it runs: the constructor starts it
// (McuAgent_client_init), the destructor stops it (McuAgent_shutdown).  The
// library is one per process, and so is a client.
class client {
public:
    static constexpr std::chrono::milliseconds default_timeout{5000};

    client() : client(options{}) {}
    explicit client(const options &opts) : handlers_(opts.handlers ? opts.handlers : no_handlers()) {
        if (McuAgent_set_dispatch_mode(static_cast<int>(opts.dispatch)) != 0) {
            error_ = errno;  // EBUSY: the library runs already, and is not this client's to stop
            return;
        }
        owner_ = true;
        if (opts.reconnect_interval.count() > 0) McuAgent_set_reconnect_interval(detail::timeout_ms(opts.reconnect_interval));
        started_ = McuAgent_client_init(handlers_) != nullptr;
        if (!started_) error_ = errno;
    }
    client(const client &) = delete;
    client &operator=(const client &) = delete;
    ~client() {
        if (!owner_) return;
        if (McuAgent_shutdown() != 0) {
            char line[160];
            std::snprintf(line, sizeof line, "mcu_agent: client shutdown failed: %s", std::strerror(errno));
            detail::emit(line);
        }
    }

    // Whether McuAgent_client_init reached the agent.  With a reconnect
    // interval the library goes on connecting in the background.
    bool started() const noexcept { return started_; }
    int error() const noexcept { return error_; }
    bool connected() const noexcept { return McuAgent_is_connected() != 0; }
    // Connects again after the connection ended (McuAgent_client_init).
    bool connect() noexcept { return started_ = McuAgent_client_init(handlers_) != nullptr; }
    MCU_AGENT_API *api() const noexcept { return McuAgent_get_api_handle(); }

    // In the application's dispatch mode: the descriptor to watch for
    // reading, and the call that runs up to max_deliveries waiting
    // deliveries on this thread (how many ran, -1 with errno).
    int fd() const noexcept { return McuAgent_get_fd(); }
    int dispatch(int max_deliveries = 64) noexcept { return McuAgent_dispatch(max_deliveries); }

    // Listens to message `Id`; f is handed `const record_t<Id> &`.
    template <MCU_MSG_ID Id, typename F>
    [[nodiscard]] subscription on(F f) {
        using callable = std::decay_t<F>;
        using listener = detail::message_listener<Id, callable>;
        if constexpr (!detail::has_record<Id>()) {
            return {};
        } else if constexpr (!detail::takes_record<record_t<Id>, callable>()) {
            return {};
        } else {
            return add(McuAgent_add_listener, static_cast<int>(Id), &listener::deliver, new listener(std::move(f)));
        }
    }

    // Listens to every message; f is handed the decoded `const PACKET_MSG &`.
    template <typename F>
    [[nodiscard]] subscription on_any(F f) {
        using listener = detail::packet_listener<std::decay_t<F>>;
        if constexpr (detail::takes_record<PACKET_MSG, std::decay_t<F>>()) {
            return add(McuAgent_add_listener, MCU_AGENT_ANY_MESSAGE, &listener::deliver, new listener(std::move(f)));
        } else {
            return {};
        }
    }

    // Connection events: f is handed true when a connection stands, false
    // when it ended (McuAgent_add_connection_listener).
    template <typename F>
    [[nodiscard]] subscription on_connection(F f) {
        using listener = detail::connection_listener<std::decay_t<F>>;
        static_assert(std::is_invocable_v<std::decay_t<F> &, bool>, "mcu_agent: a connection callable takes a bool");
        auto *added = new listener(std::move(f));
        const MCU_AGENT_LISTENER handle = McuAgent_add_connection_listener(&listener::deliver, added);
        return adopt(handle, added);
    }

    // Makes the request and waits up to `timeout` for its answer, message
    // `Id`.  Refused (call_status::refused) on the thread that delivers.
    template <MCU_MSG_ID Id, typename Request>
    call_result<detail::answer_t<Id>> call(Request &&request, std::chrono::milliseconds timeout = default_timeout) {
        using R = std::remove_reference_t<Request>;
        if constexpr (!(detail::has_record<Id>() && detail::is_answer<Id>() && detail::is_request<R>())) {
            return call_status::not_sent;
        } else {
            PACKET_MSG answer;
            std::memset(&answer, 0, sizeof answer);
            MCU_AGENT_CALL_RESULT result;
            if constexpr (detail::is_request_function<R>) {
                result = McuAgent_call(request, detail::timeout_ms(timeout), &answer);
            } else {
                detail::request_thunk<Id, R> thunk{request};
                result = McuAgent_call_with(&detail::request_thunk<Id, R>::call, &thunk, detail::timeout_ms(timeout), &answer);
            }
            return detail::make_result<Id>(result, &answer);
        }
    }

    // Makes the request; `done` is handed the call_result<record_t<Id>>
    // once, on the thread that delivers, unless the call is cancelled.
    // When the returned handle says the request was not sent, `done` never
    // runs.
    template <MCU_MSG_ID Id, typename Request, typename Done>
    [[nodiscard]] pending_call call_async(Request &&request, std::chrono::milliseconds timeout, Done done) {
        using R = std::remove_reference_t<Request>;
        using callable = std::decay_t<Done>;
        if constexpr (!(detail::has_record<Id>() && detail::is_answer<Id>() && detail::is_request<R>() &&
                        detail::takes_record<call_result<detail::answer_t<Id>>, callable>())) {
            return {};
        } else {
            using pending = detail::completion<Id, callable>;
            auto *completion = new pending(std::move(done));
            MCU_AGENT_CALL call = 0;
            MCU_AGENT_CALL_RESULT result;
            if constexpr (detail::is_request_function<R>) {
                result = McuAgent_call_async(request, detail::timeout_ms(timeout), &pending::complete, completion, &call);
            } else {
                detail::request_thunk<Id, R> thunk{request};
                result = McuAgent_call_async_with(&detail::request_thunk<Id, R>::call, &thunk, detail::timeout_ms(timeout),
                                                  &pending::complete, completion, &call);
            }
            if (result != MCU_AGENT_CALL_OK) {
                delete completion;
                return pending_call(0, nullptr, static_cast<call_status>(result));
            }
            return pending_call(call, completion, call_status::ok);
        }
    }

    // The same as a future.  Wait on it with a deadline, and never on the
    // thread that delivers: the answer is delivered there.
    template <MCU_MSG_ID Id, typename Request>
    std::future<call_result<detail::answer_t<Id>>> call_future(Request &&request,
                                                               std::chrono::milliseconds timeout = default_timeout) {
        using result = call_result<detail::answer_t<Id>>;
        auto promise = std::make_shared<std::promise<result>>();
        std::future<result> answer = promise->get_future();
        pending_call pending = call_async<Id>(std::forward<Request>(request), timeout,
                                              [promise](const result &r) { promise->set_value(r); });
        if (pending) {
            pending.detach();
        } else {
            promise->set_value(result(pending.status()));
        }
        return answer;
    }

private:
    static MCU_MSG_HANDLE_REGISTER *no_handlers() noexcept {
        static MCU_MSG_HANDLE_REGISTER table[] = {{MCU_MSG_MAX_ID, nullptr}};
        return table;
    }

    template <typename Add, typename Deliver>
    static subscription add(Add add_fn, int msg_id, Deliver deliver, detail::listener_base *listener) noexcept {
        return adopt(add_fn(msg_id, deliver, listener), listener);
    }

    static subscription adopt(MCU_AGENT_LISTENER handle, detail::listener_base *listener) noexcept {
        if (handle == 0) {
            const int error = errno;
            delete listener;
            return subscription(0, nullptr, error);
        }
        return subscription(handle, listener, 0);
    }

    MCU_MSG_HANDLE_REGISTER *handlers_;
    bool owner_ = false;
    bool started_ = false;
    int error_ = 0;
};

}  // namespace mcu_agent

#endif  // MCU_AGENT_HPP
