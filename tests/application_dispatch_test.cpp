// Deliveries on the application's thread and listeners beside the
// registration table: where handlers run, the descriptor that says that
// deliveries wait, an application that stops dispatching, the listeners'
// order, and listeners added and removed while frames pour in.
#include <gtest/gtest.h>

#include <errno.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent_server.h"
#include "dispatcher.h"
#include "mcu_agent_api.h"
#include "wait.h"

using mcu_agent_test::AgentServer;
using mcu_agent_test::Bytes;
using mcu_agent_test::deliver_until;
using mcu_agent_test::dispatch_until;
using mcu_agent_test::DispatchThread;
using mcu_agent_test::inbound_frame;
using mcu_agent_test::numbered_frames;
using mcu_agent_test::wait_until;
using namespace std::chrono_literals;

namespace {

constexpr MCU_MSG_ID kSource = MCU_MSG_RET_CUR_AUDIO_SOURCE;  // has a handler in the table
constexpr MCU_MSG_ID kKey = MCU_MSG_RET_HARD_KEY;             // has none

// What the application saw, in order: "h21" for the table's handler and
// frame 0x21, "<name>21" for a listener, "up"/"down" for the connection
// handler, "<name>1"/"<name>0" for a connection listener.  Never destroyed:
// the library's threads outlive the test body.
std::mutex &g_mutex = *new std::mutex;
std::vector<std::string> &g_seen = *new std::vector<std::string>;
std::thread::id g_app_thread;            // set before the library starts
std::atomic<bool> g_off_app_thread{false};  // something ran elsewhere

void seen(const std::string &what) {
    if (std::this_thread::get_id() != g_app_thread) g_off_app_thread = true;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen.push_back(what);
}
std::vector<std::string> seen_so_far() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_seen;
}
size_t seen_count() { return seen_so_far().size(); }
std::string hex(uint32_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(id));
    return text;
}

void on_frame(PACKET_MSG *msg) { seen("h" + hex(msg->mcu_msg_id)); }
void on_connection(int connected, void *) { seen(connected ? "up" : "down"); }
void named_listener(const PACKET_MSG *msg, void *name) { seen(static_cast<const char *>(name) + hex(msg->mcu_msg_id)); }
void named_connection_listener(int connected, void *name) {
    seen(static_cast<const char *>(name) + std::string(connected ? "1" : "0"));
}

MCU_MSG_HANDLE_REGISTER g_table[] = {{kSource, on_frame}, {MCU_MSG_MAX_ID, nullptr}};

Bytes frames(int count) { return numbered_frames(count, kSource); }

// Starts the library in `mode` with the table and connection handler
// above and takes its connection.
class Application : public testing::Test {
protected:
    void start(int mode, MCU_MSG_HANDLE_REGISTER *table = g_table) {
        mode_ = mode;
        g_app_thread = std::this_thread::get_id();
        ASSERT_EQ(McuAgent_set_dispatch_mode(mode), 0);
        McuAgent_set_connection_handler(on_connection, nullptr);
        ASSERT_NE(McuAgent_client_init(table), nullptr);
        ASSERT_TRUE(server_.accept_client());
        if (mode == MCU_AGENT_DISPATCH_APPLICATION) {
            fd_ = McuAgent_get_fd();
            ASSERT_GE(fd_, 0);
        }
    }
    bool readable(int timeout_ms = 0) const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, timeout_ms) == 1;
    }
    template <typename Pred>
    bool deliver_until(Pred pred, std::chrono::milliseconds timeout = 5s) {
        return mcu_agent_test::deliver_until(mode_, pred, timeout);
    }
    AgentServer server_;
    int mode_ = MCU_AGENT_DISPATCH_THREAD;
    int fd_ = -1;
};

// ---- the application's thread -----------------------------------------

// Nothing runs while the application does not dispatch; then handlers,
// listeners and connection events all run on the dispatching thread, in
// stream order.
TEST_F(Application, DeliveriesRunOnlyOnTheDispatchingThread) {
    ASSERT_NE(McuAgent_add_listener(kSource, named_listener, const_cast<char *>("l")), 0u);
    ASSERT_NE(McuAgent_add_connection_listener(named_connection_listener, const_cast<char *>("c")), 0u);
    ASSERT_NO_FATAL_FAILURE(start(MCU_AGENT_DISPATCH_APPLICATION));
    ASSERT_TRUE(server_.send(frames(3)));
    server_.close_client();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(seen_count(), 0u) << "something ran while nobody dispatched";
    const std::vector<std::string> want = {"up", "c1", "h21", "l21", "h21", "l21", "h21", "l21", "down", "c0"};
    EXPECT_TRUE(dispatch_until([&] { return seen_count() >= want.size(); }));
    EXPECT_EQ(seen_so_far(), want);
    EXPECT_FALSE(g_off_app_thread.load());
}

// The descriptor is readable while a delivery waits and no longer once
// the last one ran.
TEST_F(Application, DescriptorIsReadableExactlyWhileDeliveriesWait) {
    ASSERT_NO_FATAL_FAILURE(start(MCU_AGENT_DISPATCH_APPLICATION));
    ASSERT_TRUE(server_.send(frames(1)));
    ASSERT_TRUE(dispatch_until([] { return seen_count() == 2; }));  // up, h21
    EXPECT_FALSE(readable()) << "readable with nothing to deliver";
    ASSERT_TRUE(server_.send(frames(3)));
    ASSERT_TRUE(readable(5000));
    std::this_thread::sleep_for(200ms);  // all three frames are in
    EXPECT_EQ(McuAgent_dispatch(1), 1);
    EXPECT_TRUE(readable()) << "two frames wait";
    EXPECT_EQ(McuAgent_dispatch(100), 2);
    EXPECT_FALSE(readable()) << "readable after the last delivery";
    EXPECT_EQ(McuAgent_dispatch(100), 0);
    EXPECT_EQ(seen_count(), 5u);
}

// A handler that dispatches would run deliveries inside a delivery, out of
// order: refused.  So are a count below 1, dispatching in the other mode,
// and changing the mode while the library runs.
std::atomic<int> g_inner_result{0}, g_inner_errno{0};
void dispatch_inside(PACKET_MSG *msg) {
    on_frame(msg);
    g_inner_result = McuAgent_dispatch(1);
    g_inner_errno = errno;
}

TEST_F(Application, MisusesAreRefused) {
    errno = 0;
    EXPECT_EQ(McuAgent_dispatch(1), -1);
    EXPECT_EQ(errno, EINVAL) << "dispatch in the library thread's mode";
    errno = 0;
    EXPECT_EQ(McuAgent_set_dispatch_mode(2), -1);
    EXPECT_EQ(errno, EINVAL);
    static MCU_MSG_HANDLE_REGISTER table[] = {{kSource, dispatch_inside}, {MCU_MSG_MAX_ID, nullptr}};
    ASSERT_NO_FATAL_FAILURE(start(MCU_AGENT_DISPATCH_APPLICATION, table));
    errno = 0;
    EXPECT_EQ(McuAgent_dispatch(0), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(McuAgent_set_dispatch_mode(MCU_AGENT_DISPATCH_THREAD), -1);
    EXPECT_EQ(errno, EBUSY);
    ASSERT_TRUE(server_.send(frames(2)));
    ASSERT_TRUE(dispatch_until([] { return seen_count() == 3; }));  // up, h21, h21
    EXPECT_EQ(g_inner_result.load(), -1);
    EXPECT_EQ(g_inner_errno.load(), EDEADLK);
}

// An application that does not dispatch for 5 s while the agent writes
// 60,000 frames (480 kB, more than the socket and the ring hold) loses
// none: the agent's writes wait, and every frame arrives in order once it
// dispatches.
std::atomic<int> g_in_order{0}, g_out_of_order{0};
void count_in_order(PACKET_MSG *msg) {
    if (msg->data[0] == static_cast<uint8_t>(g_in_order.load() + g_out_of_order.load())) {
        ++g_in_order;
    } else {
        ++g_out_of_order;
    }
}

TEST_F(Application, NotDispatchingForSecondsLosesNothing) {
    constexpr int kFrames = 60000;
    static MCU_MSG_HANDLE_REGISTER table[] = {{kSource, count_in_order}, {MCU_MSG_MAX_ID, nullptr}};
    ASSERT_NO_FATAL_FAILURE(start(MCU_AGENT_DISPATCH_APPLICATION, table));
    const Bytes flood = frames(kFrames);
    std::atomic<size_t> written{0};
    std::thread agent([&] { written = server_.send_unless_stalled(flood); });
    std::this_thread::sleep_for(5s);
    EXPECT_EQ(g_in_order.load() + g_out_of_order.load(), 0);
    std::printf("the agent's writes %s when dispatching began\n", written.load() ? "had all gone through" : "were waiting");
    EXPECT_TRUE(dispatch_until([] { return g_in_order.load() + g_out_of_order.load() >= kFrames; }, 60s));
    agent.join();
    EXPECT_EQ(written.load(), flood.size());
    EXPECT_EQ(g_in_order.load(), kFrames);
    EXPECT_EQ(g_out_of_order.load(), 0);
}

// ---- listeners, in either mode ------------------------------------------

class Listeners : public Application, public testing::WithParamInterface<int> {};

// Per frame: the table's handler, then the listeners of its id and of every
// id in the order they were added; also for a frame without a handler.
TEST_P(Listeners, FollowTheHandlerInTheOrderAdded) {
    errno = 0;
    EXPECT_EQ(McuAgent_add_listener(256, named_listener, nullptr), 0u);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(McuAgent_add_listener(kSource, nullptr, nullptr), 0u);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_NE(McuAgent_add_listener(kSource, named_listener, const_cast<char *>("a")), 0u);
    ASSERT_NE(McuAgent_add_listener(MCU_AGENT_ANY_MESSAGE, named_listener, const_cast<char *>("b")), 0u);
    const MCU_AGENT_LISTENER removed = McuAgent_add_listener(kSource, named_listener, const_cast<char *>("r"));
    ASSERT_NE(McuAgent_add_listener(kSource, named_listener, const_cast<char *>("c")), 0u);
    ASSERT_NE(McuAgent_add_listener(kKey, named_listener, const_cast<char *>("d")), 0u);
    EXPECT_EQ(McuAgent_remove_listener(removed), 0);
    errno = 0;
    EXPECT_EQ(McuAgent_remove_listener(removed), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_NO_FATAL_FAILURE(start(GetParam()));
    Bytes two = inbound_frame(kSource, {1});
    const Bytes key = inbound_frame(kKey, {1, 2});
    two.insert(two.end(), key.begin(), key.end());
    ASSERT_TRUE(server_.send(two));
    const std::vector<std::string> want = {"up", "h21", "a21", "b21", "c21", "b04", "d04"};
    EXPECT_TRUE(deliver_until([&] { return seen_count() >= want.size(); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(seen_so_far(), want);
}

// A listener that removes itself on its first call: the removal returns at
// once (it does not wait for the call it is made from) and the listener
// hears nothing more.
std::atomic<MCU_AGENT_LISTENER> g_self{0};
std::atomic<int> g_self_calls{0}, g_self_remove_result{1};
std::atomic<long> g_self_remove_ms{-1};
void remove_self(const PACKET_MSG *, void *) {
    if (++g_self_calls != 1) return;
    const auto start = std::chrono::steady_clock::now();
    g_self_remove_result = McuAgent_remove_listener(g_self.load());
    g_self_remove_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST_P(Listeners, RemovedFromItsOwnCallReturnsAtOnceAndIsNotCalledAgain) {
    g_self = McuAgent_add_listener(kSource, remove_self, nullptr);
    ASSERT_NE(g_self.load(), 0u);
    ASSERT_NO_FATAL_FAILURE(start(GetParam()));
    ASSERT_TRUE(server_.send(frames(3)));
    ASSERT_TRUE(deliver_until([] { return seen_count() == 4; }));  // up, h21 x 3
    EXPECT_EQ(g_self_calls.load(), 1);
    EXPECT_EQ(g_self_remove_result.load(), 0);
    EXPECT_LT(g_self_remove_ms.load(), 1000);
}

// A connection listener added while a connection stands hears 1 first,
// before the connection's next frame, then the 0 at its end.
TEST_P(Listeners, ConnectionListenerAddedWhileConnectedHearsOneFirst) {
    ASSERT_NO_FATAL_FAILURE(start(GetParam()));
    ASSERT_TRUE(server_.send(frames(1)));
    ASSERT_TRUE(deliver_until([] { return seen_count() == 2; }));  // up, h21
    ASSERT_NE(McuAgent_add_connection_listener(named_connection_listener, const_cast<char *>("c")), 0u);
    ASSERT_TRUE(server_.send(frames(1)));
    server_.close_client();
    const std::vector<std::string> want = {"up", "h21", "c1", "h21", "down", "c0"};
    EXPECT_TRUE(deliver_until([&] { return seen_count() >= want.size(); }));
    EXPECT_EQ(seen_so_far(), want);
}

// Four threads add and remove listeners while the agent floods: once
// McuAgent_remove_listener has returned 0 the listener is not running and
// its call count never moves again.
struct Slot {
    std::atomic<int> calls{0};
    std::atomic<int> running{0};
    std::atomic<bool> removed{false};
    std::atomic<int> late{0};  // calls that saw `removed`
    int calls_at_removal = 0;  // written by the removing thread only
};
void churn_listener(const PACKET_MSG *, void *user) {
    Slot &s = *static_cast<Slot *>(user);
    ++s.running;
    if (s.removed.load()) ++s.late;
    ++s.calls;
    for (int i = 0; i < 3; ++i) std::this_thread::yield();  // widens the window for a racing removal
    if (s.removed.load()) ++s.late;
    --s.running;
}
std::atomic<int> g_frames{0};
void count_frame(PACKET_MSG *) { ++g_frames; }

TEST_P(Listeners, RemovedWhileTheAgentFloodsNeverRunsAgain) {
    constexpr int kThreads = 4, kRounds = 300;
    static MCU_MSG_HANDLE_REGISTER table[] = {{kSource, count_frame}, {MCU_MSG_MAX_ID, nullptr}};
    ASSERT_NO_FATAL_FAILURE(start(GetParam(), table));
    DispatchThread dispatcher(GetParam());
    std::atomic<bool> stop{false};
    std::thread agent([&] {
        const Bytes batch = frames(1000);
        while (!stop.load() && server_.send_unless_stalled(batch, 3000) == batch.size()) {
        }
    });
    EXPECT_TRUE(wait_until([] { return g_frames.load() > 0; }));
    std::vector<std::vector<Slot>> slots(kThreads);
    for (auto &s : slots) s = std::vector<Slot>(kRounds);
    std::atomic<int> refused{0}, running_at_return{0};
    std::vector<std::thread> churners;
    for (int t = 0; t < kThreads; ++t) {
        churners.emplace_back([&, t] {
            std::minstd_rand random(static_cast<unsigned>(t));
            for (Slot &s : slots[t]) {
                const int id = random() % 2 ? kSource : MCU_AGENT_ANY_MESSAGE;
                const MCU_AGENT_LISTENER h = McuAgent_add_listener(id, churn_listener, &s);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
                if (h == 0 || McuAgent_remove_listener(h) != 0) ++refused;
                s.calls_at_removal = s.calls.load();
                if (s.running.load() != 0) ++running_at_return;
                s.removed = true;
            }
        });
    }
    for (std::thread &t : churners) t.join();
    stop = true;
    agent.join();
    std::this_thread::sleep_for(200ms);  // frames still in the ring are delivered
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(running_at_return.load(), 0);
    int calls = 0, late = 0, moved = 0;
    for (auto &per_thread : slots) {
        for (Slot &s : per_thread) {
            calls += s.calls.load();
            late += s.late.load();
            moved += s.calls.load() != s.calls_at_removal;
        }
    }
    EXPECT_EQ(late, 0);
    EXPECT_EQ(moved, 0) << "listeners called after their removal returned";
    EXPECT_GT(calls, 0) << "no listener was ever called: the race was not run";
}

INSTANTIATE_TEST_SUITE_P(Modes, Listeners, testing::Values(MCU_AGENT_DISPATCH_THREAD, MCU_AGENT_DISPATCH_APPLICATION),
                         [](const testing::TestParamInfo<int> &info) {
                             return std::string(mcu_agent_test::dispatch_mode_name(info.param));
                         });

}  // namespace
