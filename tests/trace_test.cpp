// The library's capture (MCU_AGENT_TRACE): the lines each hook writes,
// many threads at once, drops counted and reported when the writer falls
// behind, and no heap allocation per traced frame.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "trace.h"
#include "wire.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TRACE_TEST_COUNTS_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TRACE_TEST_COUNTS_ALLOCATIONS 0
#endif
#endif
#ifndef TRACE_TEST_COUNTS_ALLOCATIONS
#define TRACE_TEST_COUNTS_ALLOCATIONS 1
#endif

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
}  // namespace

#if TRACE_TEST_COUNTS_ALLOCATIONS
extern "C" void *__libc_malloc(size_t size);
extern "C" void *malloc(size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
    return __libc_malloc(size);
}
void *operator new(std::size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
    if (void *p = __libc_malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
#endif

namespace {

namespace trace = mcu_agent::trace;
namespace wire = mcu_agent::wire;

// One capture file per test process; each test reads what it added.
const std::string &trace_path() {
    static const std::string path = [] {
        const std::string p = std::string(MCU_TRACE_TEST_OUTPUT) + "/trace-" + std::to_string(getpid()) + ".log";
        setenv("MCU_AGENT_TRACE", p.c_str(), 1);
        return p;
    }();
    return path;
}

class Trace : public testing::Test {
protected:
    void SetUp() override {
        trace_path();
        trace::prepare();  // opens the file and starts the writer
        trace::on_connect(99, "/tmp/start");
        trace::flush();
        start_ = file_text().size();
    }
    std::string file_text() {
        std::ifstream in(trace_path());
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The lines this test added, without their stamps.
    std::vector<std::string> new_lines() {
        trace::flush();
        std::istringstream in(file_text().substr(start_));
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) {
            // "(seconds.microseconds) "
            const std::size_t dot = line.find('.'), close = line.find(") ");
            const bool stamped = line[0] == '(' && dot != std::string::npos && close == dot + 7 &&
                                 line.find_first_not_of("0123456789", 1) == dot &&
                                 line.find_first_not_of("0123456789", dot + 1) == close;
            EXPECT_TRUE(stamped) << line;
            lines.push_back(stamped ? line.substr(close + 2) : line);
        }
        return lines;
    }
    std::size_t start_ = 0;
};

std::vector<uint8_t> outbound(uint8_t id, std::vector<uint8_t> payload) {
    std::vector<uint8_t> f = {wire::kOutboundLead0, wire::kOutboundLead1, 0, 0, id,
                              static_cast<uint8_t>(payload.size())};
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(wire::checksum(id, payload.data(), payload.size()));
    return f;
}

TEST_F(Trace, EachHookWritesOneCaptureLine) {
    const std::vector<uint8_t> get_source = outbound(0x21, {});
    std::vector<uint8_t> bad_sum = outbound(0x20, {0x09});
    bad_sum.back() ^= 0xFF;
    const std::vector<uint8_t> popped = {0x21, 0x01, 0x07};
    const std::vector<uint8_t> big = outbound(0xFD, std::vector<uint8_t>(255, 0xAB));

    trace::on_connect(1, "/tmp/mcu_agent");
    // The answer is traced before the sender of its request returns from
    // the write: the lines still come in the order things happened.
    const trace::Stamp sent = trace::now();
    trace::on_inbound(1, popped.data(), static_cast<int>(popped.size()));
    trace::on_outbound(1, get_source.data(), static_cast<int>(get_source.size()), &sent);
    trace::on_outbound(1, bad_sum.data(), static_cast<int>(bad_sum.size()));
    trace::on_outbound(1, big.data(), static_cast<int>(big.size()));
    trace::on_disconnect(1);
    trace::on_connect(2, "/run/agent.sock");

    const std::vector<std::string> want = {
        "#1 connect /tmp/mcu_agent",
        "#1 app > 21#",
        "#1 agent > 21#07",
        "#1 app ! BAAB0000200109D7",  // the checksum does not match: raw bytes
        "#1 app > FD#" + std::string(510, ' '),
        "#1 disconnect",
        "#2 connect /run/agent.sock",
    };
    const std::vector<std::string> got = new_lines();
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (i == 4) {
            EXPECT_EQ(got[i].substr(0, 12), "#1 app > FD#");
            EXPECT_EQ(got[i].size(), 12u + 510u);
            continue;
        }
        EXPECT_EQ(got[i], want[i]);
    }
}

TEST_F(Trace, ManyThreadsLoseNothingThatIsNotCounted) {
    constexpr int kThreads = 4, kFrames = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            const std::vector<uint8_t> f = outbound(static_cast<uint8_t>(t), {static_cast<uint8_t>(t), 1, 2});
            for (int i = 0; i < kFrames; ++i) trace::on_outbound(t + 1, f.data(), static_cast<int>(f.size()));
        });
    for (auto &th : threads) th.join();

    long frames = 0, dropped = 0;
    for (const std::string &line : new_lines()) {
        int connection = 0, id = 0, first = 0;
        long n = 0;
        char end = 0;
        // "#N app > 0T#0T0102", thread T's frame, whole
        if (std::sscanf(line.c_str(), "#%d app > %2x#%2x0102%c", &connection, &id, &first, &end) == 3 &&
            line.size() == 18 && connection == id + 1 && first == id) {
            ++frames;
        } else if (std::sscanf(line.c_str(), "dropped %ld%c", &n, &end) == 1) {
            dropped += n;
        } else {
            ADD_FAILURE() << "torn or unknown line: " << line;
        }
    }
    EXPECT_EQ(frames + dropped, long{kThreads} * kFrames);
    EXPECT_GT(frames, 0);
}

TEST_F(Trace, AFullQueueDropsTraceEventsAndSaysHowMany) {
    trace::hold_writer_for_test(true);
    const std::vector<uint8_t> f = outbound(0x21, {});
    const int extra = 37;
    for (int i = 0; i < trace::queue_capacity() + extra; ++i)
        trace::on_outbound(1, f.data(), static_cast<int>(f.size()));
    trace::hold_writer_for_test(false);

    const std::vector<std::string> lines = new_lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(trace::queue_capacity()) + 1);
    EXPECT_EQ(lines.back(), "dropped " + std::to_string(extra));
}

TEST_F(Trace, TracingAFrameDoesNotTouchTheHeap) {
    if (!TRACE_TEST_COUNTS_ALLOCATIONS) GTEST_SKIP() << "the sanitizer's allocator cannot be counted";
    const std::vector<uint8_t> f = outbound(0x12, {1, 2, 3});
    const std::vector<uint8_t> popped = {0x21, 0x01, 0x07};
    g_allocations = 0;
    g_counting = true;
    for (int i = 0; i < 2000; ++i) {
        trace::on_outbound(1, f.data(), static_cast<int>(f.size()));
        trace::on_inbound(1, popped.data(), static_cast<int>(popped.size()));
    }
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);
}

}  // namespace
