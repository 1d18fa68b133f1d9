// head_unit.cpp - the library's deliveries run from the application's poll
// loop, on its own thread: the modules' callbacks never need a lock.
#include "head_unit.hpp"

#include <poll.h>

#include <algorithm>

namespace head_unit {

namespace {

mcu_agent::options dispatch_here() {
    mcu_agent::options o;
    o.dispatch = mcu_agent::dispatch_mode::application;
    o.reconnect_interval = std::chrono::milliseconds(50);  // the agent may start later, or come back
    return o;
}

}  // namespace

HeadUnit::HeadUnit() : agent_(dispatch_here()), climate_(agent_), radio_(agent_) {
    version_ = agent_.on<MCU_MSG_GET_VERSION_INFO>([](VERSION_TYPE_ID type) {
        if (type != VERSION_TYPE_HMI) return;
        VERSION_INFO info = {VERSION_TYPE_HMI, "head unit example 1.0", 21};
        McuAgent_send_version_info(&info);
    });
}

void HeadUnit::poll_once(std::chrono::milliseconds limit) {
    pollfd fd = {agent_.fd(), POLLIN, 0};
    const int ms = static_cast<int>(std::min<std::chrono::milliseconds::rep>(limit.count(), 100));
    if (::poll(&fd, 1, ms) > 0) agent_.dispatch();
}

void HeadUnit::run_for(std::chrono::milliseconds duration) {
    run_until([] { return false; }, duration);
}

}  // namespace head_unit
