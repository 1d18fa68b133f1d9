// main_loop_check.h - what the tests of the main-loop adapters (examples/qt,
// examples/glib) share: an agent that sends numbered frames from a thread
// of its own while the test's main thread runs its event loop, and a
// record of every delivery and the thread it ran on.
#ifndef MCU_AGENT_TEST_MAIN_LOOP_CHECK_H
#define MCU_AGENT_TEST_MAIN_LOOP_CHECK_H

#include <time.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "agent_server.h"
#include "mcu_agent_api.h"

namespace mcu_agent_test {

constexpr int kMainLoopFrames = 10000;
constexpr uint8_t kMainLoopFrameId = MCU_MSG_RET_CUR_AUDIO_SOURCE;

// One delivery (at kNestedAt) runs a nested event loop for kNestedMs: the
// adapter must neither deliver into it nor spin on the descriptor, which
// stays readable meanwhile.
struct MainLoopCase {
    const char *name;
    bool nested_loop;
};
constexpr int kNestedAt = kMainLoopFrames / 2;
constexpr int kNestedMs = 300;
constexpr int kNestedCpuLimitMs = 30;  // a loop that spins burns most of kNestedMs

inline const MainLoopCase kMainLoopCases[] = {{"Plain", false}, {"NestedLoopInAHandler", true}};
inline void PrintTo(const MainLoopCase &c, std::ostream *os) { *os << c.name; }
inline std::string main_loop_case_name(const testing::TestParamInfo<MainLoopCase> &info) { return info.param.name; }

inline long thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Every delivery in order.  Only the main thread touches the record;
// a delivery on any other thread is only counted.
struct MainLoopDeliveries {
    std::thread::id main = std::this_thread::get_id();
    std::atomic<int> off_main{0};
    std::vector<uint8_t> table;     // the payload byte of each frame, as the table's handler got it
    std::vector<uint8_t> listened;  // and as the adapter's listener or signal got it
    std::string connection;         // '1' / '0' per connection event
    long nested_cpu_ms = -1;

    bool on_main() {
        if (std::this_thread::get_id() == main) return true;
        ++off_main;
        return false;
    }
    void table_frame(const PACKET_MSG &msg) {
        if (on_main()) table.push_back(msg.data[0]);
    }
    // Returns true when this frame is the one to run the nested loop in.
    bool listened_frame(const PACKET_MSG &msg, bool nested_loop) {
        if (!on_main()) return false;
        listened.push_back(msg.data[0]);
        return nested_loop && listened.size() == kNestedAt;
    }
    void connection_event(int connected) {
        if (on_main()) connection += connected ? '1' : '0';
    }
    bool complete() const { return listened.size() >= static_cast<std::size_t>(kMainLoopFrames); }

    void expect_all_in_order_on_main() const {
        EXPECT_EQ(off_main.load(), 0) << "deliveries ran off the main thread";
        EXPECT_EQ(connection.substr(0, 1), "1") << "the connection's 1 comes first";
        for (const auto *seen : {&table, &listened}) {
            ASSERT_EQ(seen->size(), static_cast<std::size_t>(kMainLoopFrames));
            for (int i = 0; i < kMainLoopFrames; ++i)
                ASSERT_EQ((*seen)[i], static_cast<uint8_t>(i)) << "frame " << i << " out of order";
        }
    }
};

// Sends the numbered frames from a thread of its own, as soon as made.
class FrameSender {
public:
    explicit FrameSender(AgentServer &server)
        : thread_([this, &server] { sent_ = server.send(numbered_frames(kMainLoopFrames, kMainLoopFrameId)); }) {}
    ~FrameSender() { join(); }
    FrameSender(const FrameSender &) = delete;
    FrameSender &operator=(const FrameSender &) = delete;
    bool join() {
        if (thread_.joinable()) thread_.join();
        return sent_;
    }

private:
    bool sent_ = false;
    std::thread thread_;
};

}  // namespace mcu_agent_test

#endif
