// wait.h - polls a condition until it holds or a time-out passes, for tests
// that watch what the library's threads do.
#ifndef MCU_AGENT_TEST_WAIT_H
#define MCU_AGENT_TEST_WAIT_H

#include <chrono>
#include <thread>

namespace mcu_agent_test {

template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace mcu_agent_test

#endif
