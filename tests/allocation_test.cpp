// Once a connection runs, neither direction touches the heap: 10,000
// inbound frames of every decoded message id and 10,000 requests of every
// payload shape go through while malloc, calloc, realloc and operator new
// of this whole process are counted.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "agent_server.h"
#include "allocation_counter.h"
#include "internal.h"
#include "mcu_agent_api.h"

namespace {

using mcu_agent_test::AgentServer;
using mcu_agent_test::Bytes;
using namespace std::chrono_literals;

constexpr int kFrames = 10000;

std::atomic<int> g_delivered{0};
void count_packet(PACKET_MSG *) { g_delivered.fetch_add(1, std::memory_order_relaxed); }

// Every message id that the description decodes, each with a handler row.
std::vector<uint8_t> decoded_ids() {
    std::vector<uint8_t> ids;
    for (const mcu_agent::protocol::Message &m : mcu_agent::protocol::messages()) ids.push_back(m.id);
    return ids;
}

// Requests of each payload shape: none, one byte, a record, a block of 255
// bytes, and now and then one that its guard refuses (it prints a line and
// sends nothing).
struct Requests {
    CLOCK_MSG clock{12, 34, 56, 2024, 5, 17};
    MCAN_DATA_INFO block{};
    AVM_DATA_INFO too_long{};
    Requests() {
        block.size = 255;
        too_long.size = 200;
    }
    // Sends request number i; returns the bytes it put on the socket.
    int send(int i) {
        if (i % 1000 == 999) return McuAgent_save_avm_data_info(&too_long);  // refused: 0 bytes
        switch (i % 4) {
        case 0:
            return McuAgent_get_audio_source();
        case 1:
            return McuAgent_set_audio_source(AUDIO_SOURCE_ID(i & 7));
        case 2:
            return McuAgent_set_rct_clock(&clock);
        default:
            return McuAgent_send_mcan_info(&block);
        }
    }
};

void wait_delivered(int n) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (g_delivered.load() < n && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
}

TEST(Allocation, NoHeapAllocationPerFrameInEitherDirection) {
    if (!MCU_AGENT_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer's allocator cannot be counted";
    const std::vector<uint8_t> ids = decoded_ids();
    ASSERT_FALSE(ids.empty());
    std::vector<MCU_MSG_HANDLE_REGISTER> table;
    for (uint8_t id : ids) table.push_back({static_cast<MCU_MSG_ID>(id), count_packet});
    table.push_back({MCU_MSG_MAX_ID, nullptr});

    // Inbound stream: the decoded ids in turn with payloads of 0 to 255
    // bytes.
    Bytes stream;
    for (int i = 0; i < kFrames; ++i) {
        const Bytes f = mcu_agent_test::inbound_frame(ids[i % ids.size()], Bytes(i % 256, static_cast<uint8_t>(i)));
        stream.insert(stream.end(), f.begin(), f.end());
    }

    AgentServer server;
    ASSERT_NE(McuAgent_client_init(table.data()), nullptr);
    ASSERT_TRUE(server.accept_client());

    // The server drains requests into a buffer made beforehand.
    std::atomic<long> drained{0};
    std::atomic<bool> stop{false};
    std::vector<char> sink(64 * 1024);
    std::thread drain([&] {
        while (!stop.load()) {
            const ssize_t n = read(server.client_fd(), sink.data(), sink.size());
            if (n <= 0) break;
            drained.fetch_add(n);
        }
    });

    // Warm up both directions: whatever is set up on first use (stdio
    // buffers, the rule table, thread-local state) exists before counting.
    Requests requests;
    long sent = 0;
    for (int i = 0; i < 4; ++i) sent += requests.send(i);
    sent += requests.send(999);
    for (uint8_t id : ids) ASSERT_TRUE(server.send_frame(id, {1, 2, 3}));
    wait_delivered(static_cast<int>(ids.size()));
    ASSERT_EQ(g_delivered.load(), static_cast<int>(ids.size()));
    g_delivered = 0;

    g_counting = true;
    const bool written = server.send(stream);
    for (int i = 0; i < kFrames; ++i) sent += requests.send(i);
    wait_delivered(kFrames);
    g_counting = false;

    EXPECT_TRUE(written);
    EXPECT_EQ(g_delivered.load(), kFrames);
    EXPECT_EQ(g_allocations.load(), 0) << "heap allocations while frames flowed";

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (drained.load() < sent && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(drained.load(), sent);
    stop = true;
    shutdown(server.client_fd(), SHUT_RDWR);  // ends the drain's read
    drain.join();
}

// The counter itself works: an allocation in the window is seen.
TEST(Allocation, CounterSeesAnAllocation) {
    if (!MCU_AGENT_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer's allocator cannot be counted";
    g_allocations = 0;
    g_counting = true;
    void *volatile p = malloc(16);
    int *volatile q = new int(4);
    g_counting = false;
    free(p);
    delete q;
    EXPECT_EQ(g_allocations.load(), 2);
}

}  // namespace
