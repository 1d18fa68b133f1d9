// Template part of delivery.h.
#include <gtest/gtest.h>

#include <cstdio>

namespace mcu_agent_test {

template <typename F>
std::string capture_stdout(F &&f) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace mcu_agent_test
