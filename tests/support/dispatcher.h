// dispatcher.h - for tests that run in either dispatch mode: waits for
// deliveries on the library's thread, or runs them on the test's thread or
// on a thread of the test's own in the application's mode.
#ifndef MCU_AGENT_TEST_DISPATCHER_H
#define MCU_AGENT_TEST_DISPATCHER_H

#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "mcu_agent_api.h"
#include "wait.h"

namespace mcu_agent_test {

// A name for a test instance per dispatch mode.
inline const char *dispatch_mode_name(int mode) {
    return mode == MCU_AGENT_DISPATCH_APPLICATION ? "ApplicationThread" : "LibraryThread";
}

// Runs deliveries on the calling thread, waiting on McuAgent_get_fd between
// rounds, until `pred` holds; false on time-out or when dispatching fails.
template <typename Pred>
bool dispatch_until(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const int fd = McuAgent_get_fd();
    if (fd < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 10);
        if (McuAgent_dispatch(64) < 0) return false;
    }
    return true;
}

// Waits until `pred` holds while deliveries run where `mode` puts them:
// on the library's thread, or here.
template <typename Pred>
bool deliver_until(int mode, Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return mode == MCU_AGENT_DISPATCH_APPLICATION ? dispatch_until(pred, timeout) : wait_until(pred, timeout);
}

// In the application's mode, a thread that dispatches until destroyed, as
// an application's main loop does; in the other mode nothing.  Made after
// McuAgent_client_init, destroyed before McuAgent_shutdown.
class DispatchThread {
public:
    explicit DispatchThread(int mode) {
        if (mode != MCU_AGENT_DISPATCH_APPLICATION) return;
        thread_ = std::thread([this] {
            const int fd = McuAgent_get_fd();
            while (fd >= 0 && !stop_.load()) {
                pollfd p{fd, POLLIN, 0};
                ::poll(&p, 1, 10);
                McuAgent_dispatch(64);
            }
        });
    }
    ~DispatchThread() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    DispatchThread(const DispatchThread &) = delete;
    DispatchThread &operator=(const DispatchThread &) = delete;
    std::thread::id id() const { return thread_.get_id(); }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A thread joined when it goes out of scope, so that a failed assertion
// ends the test rather than the process.  Its body must end by itself.
class ScopedThread {
public:
    template <typename F>
    explicit ScopedThread(F &&body) : thread_(std::forward<F>(body)) {}
    ~ScopedThread() { join(); }
    ScopedThread(const ScopedThread &) = delete;
    ScopedThread &operator=(const ScopedThread &) = delete;
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

}  // namespace mcu_agent_test

#endif
