// Awaited answers and shutdown: a request made with its answer awaited,
// blocking or with a completion, against an agent that answers in time,
// late, never, out of order or not at all; cancellation racing the
// answer; shutdown under load; and the shared library loaded, started,
// stopped and unloaded over and over.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "agent_server.h"
#include "child.h"
#include "dispatcher.h"
#include "mcu_agent_api.h"
#include "protocol.h"
#include "wait.h"

using mcu_agent_test::AgentServer;
using mcu_agent_test::Bytes;
using mcu_agent_test::DispatchThread;
using mcu_agent_test::in_child;
using mcu_agent_test::inbound_frame;
using mcu_agent_test::outbound_frame;
using mcu_agent_test::wait_until;
using namespace std::chrono_literals;

namespace {

// McuAgent_get_audio_power sends this command; the message of the same
// number answers it (a POWER_INFO).  McuAgent_get_audio_source likewise.
constexpr uint8_t kPower = mcu_agent::MCU_CMD_GET_AUDIO_POWER;
constexpr uint8_t kSource = mcu_agent::MCU_CMD_GET_AUDIO_SOURCE;
static_assert(kPower == MCU_MSG_RET_CUR_AUDIO_POWER_STATUS && kSource == MCU_MSG_RET_CUR_AUDIO_SOURCE, "answer ids");
const Bytes kPowerRequest = outbound_frame(kPower, {});
const Bytes kSourceRequest = outbound_frame(kSource, {});
Bytes power_answer(uint8_t status) { return inbound_frame(kPower, {status, 2}); }

uint32_t power_status(const PACKET_MSG &answer) {
    POWER_INFO info;
    MCU_PACKET_GET_RECORD(&answer, info);
    return info.power_status;
}

// Frames the table's handlers were given.  Never destroyed: the library's
// threads outlive the test body.
std::atomic<int> g_handled{0};
void count_frame(PACKET_MSG *) { ++g_handled; }
MCU_MSG_HANDLE_REGISTER g_table[] = {
    {MCU_MSG_RET_CUR_AUDIO_POWER_STATUS, count_frame}, {MCU_MSG_RET_CUR_AUDIO_SOURCE, count_frame}, {MCU_MSG_MAX_ID, nullptr}};

// One awaited answer as the application saw it.
struct Outcome {
    std::atomic<int> calls{0};
    std::atomic<int> result{-1};
    std::atomic<bool> had_answer{false};
    std::atomic<uint32_t> answer_id{0};
    std::atomic<uint32_t> value{0};  // the power status, or the source
    std::thread::id thread;               // where the completion ran (read after `calls`)

    void record(MCU_AGENT_CALL_RESULT r, const PACKET_MSG *answer) {
        result = r;
        had_answer = answer != nullptr;
        if (answer) {
            answer_id = answer->mcu_msg_id;
            value = answer->mcu_msg_id == kPower ? power_status(*answer) : answer->data[0];
        }
        thread = std::this_thread::get_id();
        ++calls;
    }
};
void completion(MCU_AGENT_CALL_RESULT r, const PACKET_MSG *answer, void *user) {
    static_cast<Outcome *>(user)->record(r, answer);
}

// The library started in a dispatch mode, connected, with a thread that
// dispatches in the application's mode.
class Calls : public testing::Test {
protected:
    void start(int mode) {
        ASSERT_EQ(McuAgent_set_dispatch_mode(mode), 0);
        ASSERT_NE(McuAgent_client_init(g_table), nullptr);
        ASSERT_TRUE(server_.accept_client());
        dispatcher_ = std::make_unique<DispatchThread>(mode);
    }
    void TearDown() override { dispatcher_.reset(); }
    AgentServer server_;
    std::unique_ptr<DispatchThread> dispatcher_;
};

// ---- one call against an agent that answers in time, late, never, or leaves

enum class Agent { Answers, AnswersLate, Never, Leaves };
struct CallCase {
    const char *name;
    Agent agent;
    int timeout_ms;
    MCU_AGENT_CALL_RESULT want;
};
const CallCase kCallCases[] = {
    {"InTime", Agent::Answers, 5000, MCU_AGENT_CALL_OK},
    {"Late", Agent::AnswersLate, 300, MCU_AGENT_CALL_TIMED_OUT},
    {"Never", Agent::Never, 300, MCU_AGENT_CALL_TIMED_OUT},
    {"AgentLeaves", Agent::Leaves, 5000, MCU_AGENT_CALL_ENDED},
};
enum class Style { Blocking, Completion };
void PrintTo(const CallCase &c, std::ostream *os) { *os << c.name; }
void PrintTo(Style s, std::ostream *os) { *os << (s == Style::Blocking ? "blocking" : "completion"); }

class OneCall : public Calls, public testing::WithParamInterface<std::tuple<CallCase, int, Style>> {};

// The result, the record copied when answered, the answer still handed to
// the table's handler (also a late one), a completion called once with no
// record unless answered, on the delivering thread.
TEST_P(OneCall, EndsAsTheAgentBehaves) {
    const CallCase &c = std::get<0>(GetParam());
    const int mode = std::get<1>(GetParam());
    const Style style = std::get<2>(GetParam());
    ASSERT_NO_FATAL_FAILURE(start(mode));
    std::thread agent([&] {
        EXPECT_EQ(server_.read_frame(), kPowerRequest);
        if (c.agent == Agent::AnswersLate) std::this_thread::sleep_for(std::chrono::milliseconds(c.timeout_ms + 300));
        if (c.agent == Agent::Answers || c.agent == Agent::AnswersLate) {
            EXPECT_TRUE(server_.send(power_answer(1)));
        }
        if (c.agent == Agent::Leaves) server_.close_client();
    });
    Outcome out;
    const auto begin = std::chrono::steady_clock::now();
    if (style == Style::Blocking) {
        PACKET_MSG answer;
        std::memset(&answer, 0xEE, sizeof answer);
        const MCU_AGENT_CALL_RESULT r = McuAgent_call(McuAgent_get_audio_power, c.timeout_ms, &answer);
        out.record(r, r == MCU_AGENT_CALL_OK ? &answer : nullptr);
    } else {
        MCU_AGENT_CALL call = 0;
        EXPECT_EQ(McuAgent_call_async(McuAgent_get_audio_power, c.timeout_ms, completion, &out, &call), MCU_AGENT_CALL_OK);
        EXPECT_NE(call, 0u);
        EXPECT_TRUE(wait_until([&] { return out.calls.load() > 0; }, std::chrono::milliseconds(c.timeout_ms + 3000)));
    }
    const auto took = std::chrono::steady_clock::now() - begin;
    agent.join();
    EXPECT_EQ(out.result.load(), c.want) << McuAgent_call_result_text(static_cast<MCU_AGENT_CALL_RESULT>(out.result.load()));
    EXPECT_EQ(out.had_answer.load(), c.want == MCU_AGENT_CALL_OK);
    if (c.want == MCU_AGENT_CALL_OK) {
        EXPECT_EQ(out.answer_id.load(), kPower);
        EXPECT_EQ(out.value.load(), 1u);
    }
    if (c.want == MCU_AGENT_CALL_TIMED_OUT) {
        EXPECT_GE(took, std::chrono::milliseconds(c.timeout_ms - 10));
    }
    EXPECT_LT(took, std::chrono::milliseconds(c.timeout_ms + 2000));
    const int answers = c.agent == Agent::Answers || c.agent == Agent::AnswersLate;
    EXPECT_TRUE(wait_until([&] { return g_handled.load() == answers; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(out.calls.load(), 1);
    EXPECT_EQ(g_handled.load(), answers);
    if (style == Style::Completion) {
        if (mode == MCU_AGENT_DISPATCH_APPLICATION) {
            EXPECT_EQ(out.thread, dispatcher_->id()) << "completion off the dispatching thread";
        } else {
            EXPECT_NE(out.thread, std::this_thread::get_id());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, OneCall,
                         testing::Combine(testing::ValuesIn(kCallCases),
                                          testing::Values(MCU_AGENT_DISPATCH_THREAD, MCU_AGENT_DISPATCH_APPLICATION),
                                          testing::Values(Style::Blocking, Style::Completion)),
                         [](const testing::TestParamInfo<std::tuple<CallCase, int, Style>> &info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    mcu_agent_test::dispatch_mode_name(std::get<1>(info.param)) +
                                    (std::get<2>(info.param) == Style::Blocking ? "_Blocking" : "_Completion");
                         });

// ---- answers matched in order per answer id ------------------------------

class Matching : public Calls, public testing::WithParamInterface<std::tuple<int, Style>> {};

// Three calls pending: power, source, power.  The agent answers source
// first, then two power answers: each call gets its own kind, and the two
// power calls get theirs in the order they were made.
TEST_P(Matching, PendingCallsTakeAnswersInOrderPerId) {
    const int mode = std::get<0>(GetParam());
    const Style style = std::get<1>(GetParam());
    ASSERT_NO_FATAL_FAILURE(start(mode));
    const MCU_AGENT_REQUEST requests[] = {McuAgent_get_audio_power, McuAgent_get_audio_source, McuAgent_get_audio_power};
    const Bytes *frames[] = {&kPowerRequest, &kSourceRequest, &kPowerRequest};
    std::array<Outcome, 3> out;
    std::vector<std::thread> callers;
    for (size_t i = 0; i < 3; ++i) {
        if (style == Style::Blocking) {
            callers.emplace_back([&, i] {
                PACKET_MSG answer{};
                const MCU_AGENT_CALL_RESULT r = McuAgent_call(requests[i], 5000, &answer);
                out[i].record(r, r == MCU_AGENT_CALL_OK ? &answer : nullptr);
            });
        } else {
            EXPECT_EQ(McuAgent_call_async(requests[i], 5000, completion, &out[i], nullptr), MCU_AGENT_CALL_OK);
        }
        EXPECT_EQ(server_.read_frame(), *frames[i]) << "request " << i;  // made in this order
    }
    Bytes answers = inbound_frame(kSource, {5});
    for (uint8_t status : {1, 3}) {
        const Bytes a = power_answer(status);
        answers.insert(answers.end(), a.begin(), a.end());
    }
    EXPECT_TRUE(server_.send(answers));
    for (std::thread &t : callers) t.join();
    EXPECT_TRUE(wait_until([&] { return out[0].calls + out[1].calls + out[2].calls == 3; }));
    std::this_thread::sleep_for(100ms);
    const uint32_t want_id[] = {kPower, kSource, kPower}, want_byte[] = {1, 5, 3};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(out[i].calls.load(), 1) << "call " << i;
        EXPECT_EQ(out[i].result.load(), MCU_AGENT_CALL_OK) << "call " << i;
        EXPECT_EQ(out[i].answer_id.load(), want_id[i]) << "call " << i;
        EXPECT_EQ(out[i].value.load(), want_byte[i]) << "call " << i;
    }
    EXPECT_EQ(g_handled.load(), 3);
}

INSTANTIATE_TEST_SUITE_P(Modes, Matching,
                         testing::Combine(testing::Values(MCU_AGENT_DISPATCH_THREAD, MCU_AGENT_DISPATCH_APPLICATION),
                                          testing::Values(Style::Blocking, Style::Completion)),
                         [](const testing::TestParamInfo<std::tuple<int, Style>> &info) {
                             return std::string(mcu_agent_test::dispatch_mode_name(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) == Style::Blocking ? "_Blocking" : "_Completion");
                         });

// ---- calls that end at once ----------------------------------------------

// A request that refuses its arguments sends nothing.
int refused_version_info(void *) {
    VERSION_INFO info{};
    info.size = 65;
    return McuAgent_send_version_info(&info);
}

enum class Link { Never, Connected, Ended };
struct AtOnceCase {
    const char *name;
    Link link;
    MCU_AGENT_CALL_RESULT (*call)(MCU_AGENT_COMPLETION done, Outcome *out);  // no `done`: blocking
    MCU_AGENT_CALL_RESULT want;
};
MCU_AGENT_CALL_RESULT call_power(MCU_AGENT_COMPLETION done, Outcome *out) {
    return done ? McuAgent_call_async(McuAgent_get_audio_power, 5000, done, out, nullptr)
                : McuAgent_call(McuAgent_get_audio_power, 5000, nullptr);
}
MCU_AGENT_CALL_RESULT call_startup(MCU_AGENT_COMPLETION done, Outcome *out) {
    return done ? McuAgent_call_async(McuAgent_hmi_startup, 5000, done, out, nullptr)
                : McuAgent_call(McuAgent_hmi_startup, 5000, nullptr);
}
MCU_AGENT_CALL_RESULT call_refused(MCU_AGENT_COMPLETION done, Outcome *out) {
    return done ? McuAgent_call_async_with(refused_version_info, nullptr, 5000, done, out, nullptr)
                : McuAgent_call_with(refused_version_info, nullptr, 5000, nullptr);
}
const AtOnceCase kAtOnceCases[] = {
    {"NoAnswerToAwait", Link::Connected, call_startup, MCU_AGENT_CALL_NO_ANSWER},
    {"RefusedArguments", Link::Connected, call_refused, MCU_AGENT_CALL_NOT_SENT},
    {"NeverConnected", Link::Never, call_power, MCU_AGENT_CALL_NOT_SENT},
    {"ConnectionEnded", Link::Ended, call_power, MCU_AGENT_CALL_NOT_SENT},
};

void PrintTo(const AtOnceCase &c, std::ostream *os) { *os << c.name; }

class AtOnce : public Calls, public testing::WithParamInterface<AtOnceCase> {};

// Blocking or not, the call returns at once, nothing reaches the agent
// and no completion is ever called.
TEST_P(AtOnce, EndsWithoutSendingOrWaiting) {
    const AtOnceCase &c = GetParam();
    if (c.link != Link::Never) {
        ASSERT_NO_FATAL_FAILURE(start(MCU_AGENT_DISPATCH_THREAD));
    }
    if (c.link == Link::Ended) {
        server_.close_client();
        ASSERT_TRUE(wait_until([] { return McuAgent_is_connected() == 0; }));
    }
    Outcome out;
    for (MCU_AGENT_COMPLETION done : {MCU_AGENT_COMPLETION{}, completion}) {
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(c.call(done, &out), c.want) << (done ? "with completion" : "blocking");
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    }
    if (c.link == Link::Connected) {
        EXPECT_TRUE(server_.nothing_arrives(300));
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(out.calls.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, AtOnce, testing::ValuesIn(kAtOnceCases),
                         [](const testing::TestParamInfo<AtOnceCase> &info) { return info.param.name; });

// With MCU_AGENT_MAX_CALLS calls pending the next one is refused before it
// is sent; the end of the connection then ends every pending one, once.
// Outlives the test body, as the pending calls may.
std::array<Outcome, MCU_AGENT_MAX_CALLS + 1> g_full_table;

TEST_F(Calls, FullTableRefusesTheNextAndTheEndEndsEachOnce) {
    ASSERT_NO_FATAL_FAILURE(start(MCU_AGENT_DISPATCH_THREAD));
    auto &out = g_full_table;
    for (int i = 0; i < MCU_AGENT_MAX_CALLS; ++i) {
        ASSERT_EQ(McuAgent_call_async(McuAgent_get_audio_power, 60000, completion, &out[i], nullptr), MCU_AGENT_CALL_OK);
        ASSERT_EQ(server_.read_frame(), kPowerRequest) << "call " << i;
    }
    EXPECT_EQ(McuAgent_call_async(McuAgent_get_audio_power, 60000, completion, &out.back(), nullptr), MCU_AGENT_CALL_BUSY);
    EXPECT_EQ(McuAgent_call(McuAgent_get_audio_power, 60000, nullptr), MCU_AGENT_CALL_BUSY);
    EXPECT_TRUE(server_.nothing_arrives(200));
    server_.close_client();
    EXPECT_TRUE(wait_until([&] {
        int n = 0;
        for (const Outcome &o : out) n += o.calls.load();
        return n >= MCU_AGENT_MAX_CALLS;
    }));
    std::this_thread::sleep_for(100ms);
    for (int i = 0; i < MCU_AGENT_MAX_CALLS; ++i) {
        EXPECT_EQ(out[i].calls.load(), 1) << "call " << i;
        EXPECT_EQ(out[i].result.load(), MCU_AGENT_CALL_ENDED) << "call " << i;
    }
    EXPECT_EQ(out.back().calls.load(), 0);
}

// ---- refused where it would wait for itself ------------------------------

// A blocking call on the thread that delivers frames would wait for an
// answer only that thread could deliver: refused, and nothing is sent.
// Shutdown there would wait for the delivery it is made from: refused too.
std::atomic<int> g_inner_result{-1}, g_inner_shutdown{0}, g_inner_errno{0};
void call_inside(PACKET_MSG *) {
    g_inner_result = McuAgent_call(McuAgent_get_audio_power, 300, nullptr);
    g_inner_shutdown = McuAgent_shutdown();
    g_inner_errno = errno;
    ++g_handled;
}

struct RefusedCase {
    const char *name;
    int mode;
    bool inside_handler;  // else on the thread that dispatched last
};
const RefusedCase kRefusedCases[] = {
    {"InsideAHandler_LibraryThread", MCU_AGENT_DISPATCH_THREAD, true},
    {"InsideAHandler_ApplicationThread", MCU_AGENT_DISPATCH_APPLICATION, true},
    {"OnTheDispatchingThread", MCU_AGENT_DISPATCH_APPLICATION, false},
};
void PrintTo(const RefusedCase &c, std::ostream *os) { *os << c.name; }
class Refused : public testing::TestWithParam<RefusedCase> {};

TEST_P(Refused, BlockingCallOnTheDeliveringThread) {
    const RefusedCase &c = GetParam();
    AgentServer server;
    static MCU_MSG_HANDLE_REGISTER table[] = {{MCU_MSG_RET_CUR_AUDIO_SOURCE, call_inside}, {MCU_MSG_MAX_ID, nullptr}};
    ASSERT_EQ(McuAgent_set_dispatch_mode(c.mode), 0);
    ASSERT_NE(McuAgent_client_init(table), nullptr);
    ASSERT_TRUE(server.accept_client());
    if (c.inside_handler) {
        ASSERT_TRUE(server.send_frame(kSource, {1}));
        ASSERT_TRUE(mcu_agent_test::deliver_until(c.mode, [] { return g_handled.load() == 1; }));
        EXPECT_EQ(g_inner_shutdown.load(), -1);
        EXPECT_EQ(g_inner_errno.load(), EDEADLK);
    } else {
        EXPECT_GE(McuAgent_dispatch(8), 0);
        g_inner_result = McuAgent_call(McuAgent_get_audio_power, 300, nullptr);
    }
    EXPECT_EQ(g_inner_result.load(), MCU_AGENT_CALL_REFUSED);
    EXPECT_TRUE(server.nothing_arrives(300));
}

INSTANTIATE_TEST_SUITE_P(Cases, Refused, testing::ValuesIn(kRefusedCases),
                         [](const testing::TestParamInfo<RefusedCase> &info) { return info.param.name; });

// ---- cancellation racing the answer --------------------------------------

class Cancel : public Calls, public testing::WithParamInterface<int> {};

// A completion that takes a while, so that cancel often finds it running.
void slow_completion(MCU_AGENT_CALL_RESULT r, const PACKET_MSG *answer, void *user) {
    std::this_thread::sleep_for(200us);
    completion(r, answer, user);
}

// The agent answers at once while the test cancels after a varying delay:
// cancel returns 1 and the completion is never called, or 0 and the
// completion has run exactly once by the time it returns; never a call
// after cancel has returned.
TEST_P(Cancel, RacingTheAnswerCompletesAtMostOnceAndNeverAfter) {
    constexpr int kRounds = 300;
    std::vector<Outcome> out(kRounds);
    ASSERT_NO_FATAL_FAILURE(start(GetParam()));
    mcu_agent_test::ScopedThread agent([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (server_.read_frame() != kPowerRequest || !server_.send(power_answer(1))) {
                ADD_FAILURE() << "agent stopped at round " << i;
                return;
            }
        }
    });
    int cancelled = 0, completed = 0, failed = 0, last_errno = 0;
    for (int i = 0; i < kRounds; ++i) {
        MCU_AGENT_CALL call = 0;
        ASSERT_EQ(McuAgent_call_async(McuAgent_get_audio_power, 5000, slow_completion, &out[i], &call), MCU_AGENT_CALL_OK);
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(i % 60 * 5);
        while (std::chrono::steady_clock::now() < until) {
        }
        errno = 0;
        const int r = McuAgent_call_cancel(call);
        if (r == -1) last_errno = errno;
        const int calls_at_return = out[i].calls.load();
        EXPECT_EQ(calls_at_return, r == 1 ? 0 : 1) << "round " << i << " cancel returned " << r;
        (r == 1 ? cancelled : r == 0 ? completed : failed)++;
        ASSERT_TRUE(wait_until([&] { return g_handled.load() == i + 1; })) << "round " << i;
        EXPECT_EQ(out[i].calls.load(), calls_at_return) << "round " << i << ": completion after cancel returned";
    }
    agent.join();
    std::printf("cancelled %d, completed %d of %d\n", cancelled, completed, kRounds);
    EXPECT_EQ(failed, 0) << "cancel returned -1 (" << std::strerror(last_errno) << ") in " << failed
                         << " rounds, each time after the completion had run";
}

INSTANTIATE_TEST_SUITE_P(Modes, Cancel, testing::Values(MCU_AGENT_DISPATCH_THREAD, MCU_AGENT_DISPATCH_APPLICATION),
                         [](const testing::TestParamInfo<int> &info) {
                             return std::string(mcu_agent_test::dispatch_mode_name(info.param));
                         });

// ---- shutdown ------------------------------------------------------------

// Reads what the library sends until it closes its end, then closes ours,
// as an agent does.
void read_to_the_end(int fd) {
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return;
        if (::read(fd, buf, sizeof buf) <= 0) return;
    }
}

class Shutdown : public Calls, public testing::WithParamInterface<int> {};

// Shutdown while four threads make requests (two plain, two awaiting an
// answer that never comes): it returns 0, every request made after it
// fails, awaited ones end without hanging, and the library starts again.
TEST_P(Shutdown, WhileFourThreadsSendThenStartsAgain) {
    const int mode = GetParam();
    ASSERT_EQ(McuAgent_set_dispatch_mode(mode), 0);
    ASSERT_NE(McuAgent_client_init(g_table), nullptr);
    ASSERT_TRUE(server_.accept_client());
    std::thread agent([&] {
        read_to_the_end(server_.client_fd());
        server_.close_client();
    });
    std::atomic<bool> stopped{false}, quit{false};
    std::atomic<int> sent_after{0}, odd_results{0}, requests{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t) {
        senders.emplace_back([&, t] {
            while (!quit.load()) {
                const bool after = stopped.load();
                if (t % 2) {
                    const MCU_AGENT_CALL_RESULT r = McuAgent_call(McuAgent_get_audio_power, 50, nullptr);
                    if (r != MCU_AGENT_CALL_TIMED_OUT && r != MCU_AGENT_CALL_ENDED && r != MCU_AGENT_CALL_NOT_SENT) ++odd_results;
                    if (after && r != MCU_AGENT_CALL_NOT_SENT) ++sent_after;
                } else if (McuAgent_get_audio_power() > 0 && after) {
                    ++sent_after;
                }
                ++requests;
            }
        });
    }
    EXPECT_TRUE(wait_until([&] { return requests.load() > 100; }));
    EXPECT_EQ(McuAgent_shutdown(), 0);
    stopped = true;
    std::this_thread::sleep_for(200ms);
    quit = true;
    for (std::thread &t : senders) t.join();
    agent.join();
    EXPECT_EQ(sent_after.load(), 0);
    EXPECT_EQ(odd_results.load(), 0);
    EXPECT_EQ(McuAgent_get_audio_power(), -1);
    EXPECT_EQ(McuAgent_is_connected(), 0);

    ASSERT_EQ(McuAgent_set_dispatch_mode(mode), 0);
    ASSERT_NE(McuAgent_client_init(g_table), nullptr);
    ASSERT_TRUE(server_.accept_client());
    EXPECT_EQ(McuAgent_is_connected(), 1);
    EXPECT_EQ(McuAgent_get_audio_power(), 7);
    EXPECT_EQ(server_.read_frame(), kPowerRequest);
    ASSERT_TRUE(server_.send(power_answer(1)));
    EXPECT_TRUE(mcu_agent_test::deliver_until(mode, [] { return g_handled.load() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(Modes, Shutdown, testing::Values(MCU_AGENT_DISPATCH_THREAD, MCU_AGENT_DISPATCH_APPLICATION),
                         [](const testing::TestParamInfo<int> &info) {
                             return std::string(mcu_agent_test::dispatch_mode_name(info.param));
                         });

// The shared library's functions, looked up in a loaded copy.
struct Loaded {
    decltype(&McuAgent_set_dispatch_mode) set_dispatch_mode;
    decltype(&McuAgent_client_init) client_init;
    decltype(&McuAgent_get_fd) get_fd;
    decltype(&McuAgent_add_listener) add_listener;
    decltype(&McuAgent_call_async) call_async;
    decltype(&McuAgent_get_audio_power) get_audio_power;
    decltype(&McuAgent_shutdown) shutdown;

    bool load(void *lib) {
        const auto sym = [lib](auto &fn, const char *name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(lib, name));
            return fn != nullptr;
        };
        return sym(set_dispatch_mode, "McuAgent_set_dispatch_mode") && sym(client_init, "McuAgent_client_init") &&
               sym(get_fd, "McuAgent_get_fd") && sym(add_listener, "McuAgent_add_listener") &&
               sym(call_async, "McuAgent_call_async") && sym(get_audio_power, "McuAgent_get_audio_power") &&
               sym(shutdown, "McuAgent_shutdown");
    }
};

int entries(const char *dir) {
    DIR *d = ::opendir(dir);
    if (!d) return -1;
    int n = 0;
    while (const dirent *e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    return n;
}

// The threads' names, for a report.
std::string thread_names() {
    std::string names;
    DIR *d = ::opendir("/proc/self/task");
    if (!d) return names;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char comm[64] = "";
        if (FILE *f = std::fopen(("/proc/self/task/" + std::string(e->d_name) + "/comm").c_str(), "re")) {
            if (!std::fgets(comm, sizeof comm, f)) comm[0] = 0;
            std::fclose(f);
        }
        comm[std::strcspn(comm, "\n")] = 0;
        names += std::string(names.empty() ? "" : ", ") + comm;
    }
    ::closedir(d);
    return names;
}

std::atomic<int> g_ended{0};
void count_ended(MCU_AGENT_CALL_RESULT r, const PACKET_MSG *, void *) { g_ended += r == MCU_AGENT_CALL_ENDED; }
void ignore_message(const PACKET_MSG *, void *) {}

// In a child process: 100 rounds of start (either mode, a listener, a
// call pending), shutdown and, with `unload`, dlopen/dlclose around each;
// afterwards as many descriptors and threads as before, and under
// AddressSanitizer no leak.  The exit status says what failed.
int load_start_stop_rounds(bool unload) {
    int fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");
    void *lib = nullptr;
    Loaded f{};
    for (int i = 0; i < 100; ++i) {
#if defined(__SANITIZE_THREAD__)
        // ThreadSanitizer starts a thread of its own in a forked child once
        // the child starts its first: count from after the first round.
        if (i == 1) fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");
#endif
        if (!lib) {
            lib = ::dlopen(MCU_AGENT_CLIENT_SO, RTLD_NOW | RTLD_LOCAL);
            if (!lib || !f.load(lib)) return std::fprintf(stderr, "dlopen: %s\n", ::dlerror()), 10;
        }
        const int mode = i % 2 ? MCU_AGENT_DISPATCH_APPLICATION : MCU_AGENT_DISPATCH_THREAD;
        if (f.set_dispatch_mode(mode) != 0 || !f.client_init(g_table)) return 11;
        if (mode == MCU_AGENT_DISPATCH_APPLICATION && f.get_fd() < 0) return 12;
        if (f.add_listener(MCU_AGENT_ANY_MESSAGE, ignore_message, nullptr) == 0) return 13;
        if (f.call_async(f.get_audio_power, 60000, count_ended, nullptr, nullptr) != MCU_AGENT_CALL_OK) return 14;
        if (f.shutdown() != 0) return std::fprintf(stderr, "round %d: shutdown: %s\n", i, std::strerror(errno)), 15;
        if (unload) {
            if (::dlclose(lib) != 0) return 16;
            lib = nullptr;
        }
    }
    if (g_ended.load() != 100) return std::fprintf(stderr, "%d pending calls ended\n", g_ended.load()), 17;
    if (!wait_until([&] { return entries("/proc/self/fd") == fds && entries("/proc/self/task") == threads; }, 2s)) {
        std::fprintf(stderr, "descriptors %d -> %d, threads %d -> %d (%s)\n", fds, entries("/proc/self/fd"), threads,
                     entries("/proc/self/task"), thread_names().c_str());
        return 20;
    }
#if defined(__SANITIZE_ADDRESS__)
    if (__lsan_do_recoverable_leak_check() != 0) return 30;
#endif
    return 0;
}

// The agent side of those rounds: takes each connection and reads it to
// its end, until told to stop.
void serve_rounds(AgentServer &server, const std::atomic<bool> &stop) {
    while (!stop.load()) {
        if (!server.accept_client(50)) continue;
        read_to_the_end(server.client_fd());
        server.close_client();
    }
}

int run_rounds_in_a_child(bool unload) {
    AgentServer server;
    std::atomic<bool> stop{false};
    std::thread agent;
    const int status = in_child([unload] { return load_start_stop_rounds(unload); }, 120s,
                                [&] { agent = std::thread(serve_rounds, std::ref(server), std::cref(stop)); });
    stop = true;
    if (agent.joinable()) agent.join();
    return status;
}

TEST(SharedLibrary, StartAndShutdownLeaveNoDescriptorThreadOrLeak) {
    EXPECT_EQ(run_rounds_in_a_child(false), 0);
}

TEST(SharedLibrary, LoadStartShutdownUnloadLeaveNoDescriptorThreadOrLeak) {
    EXPECT_EQ(run_rounds_in_a_child(true), 0);
}

}  // namespace
