// head_unit.hpp - the example head unit: the library in the application's
// dispatch mode, its modules, and the poll loop that runs their callbacks.
#ifndef EXAMPLE_HEAD_UNIT_HPP
#define EXAMPLE_HEAD_UNIT_HPP

#include <chrono>

#include <mcu_agent.hpp>

#include "climate.hpp"
#include "radio.hpp"

namespace head_unit {

class HeadUnit {
public:
    HeadUnit();
    // Whether the library runs (the agent may come later: it connects in
    // the background).
    bool started() const { return agent_.fd() >= 0; }

    // Runs deliveries on this thread for `duration`; the poll loop of the
    // application, where an application would also watch its other
    // descriptors.
    void run_for(std::chrono::milliseconds duration);
    // Runs deliveries until `done()` holds or `limit` passed; whether it held.
    template <typename Done>
    bool run_until(Done done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) return false;
            poll_once(std::chrono::duration_cast<std::chrono::milliseconds>(left));
        }
        return true;
    }

    Climate &climate() { return climate_; }
    Radio &radio() { return radio_; }

private:
    void poll_once(std::chrono::milliseconds limit);

    mcu_agent::client agent_;
    mcu_agent::subscription version_;
    Climate climate_;
    Radio radio_;
};

}  // namespace head_unit

#endif  // EXAMPLE_HEAD_UNIT_HPP
