// The C++ interface (mcu_agent.hpp) against a scripted agent, in both
// dispatch modes: records handed typed and aligned, a subscription ended
// while the agent floods, exceptions from every kind of callable, and
// awaited answers in each form.  Also: the generated id-to-record map
// agrees with the message rows it was written from.
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "agent_server.h"
#include "mcu_agent.hpp"
#include "protocol.h"
#include "wait.h"

using mcu_agent::call_status;
using mcu_agent::dispatch_mode;
using mcu_agent_test::AgentServer;
using mcu_agent_test::Bytes;
using mcu_agent_test::wait_until;
using namespace std::chrono_literals;

// Test names print their parameters by name.
namespace mcu_agent {
void PrintTo(dispatch_mode mode, std::ostream *out) {
    *out << (mode == dispatch_mode::application ? "application" : "library_thread");
}
}  // namespace mcu_agent

namespace {

// Lines the interface reported through its hook.
std::mutex g_lines_mutex;
std::vector<std::string> g_lines;
void keep_line(const char *line) {
    std::lock_guard<std::mutex> lock(g_lines_mutex);
    g_lines.emplace_back(line);
}
std::vector<std::string> reported() {
    std::lock_guard<std::mutex> lock(g_lines_mutex);
    return g_lines;
}

// A client connected to the scripted agent in a dispatch mode; in the
// application's mode a loop thread watches the descriptor and dispatches,
// as an application's main loop would.
class AgentFixture : public testing::Test {
protected:
    void start(dispatch_mode mode) {
        mcu_agent::set_error_hook(keep_line);
        agent_.emplace(mcu_agent::options{mode, {}, nullptr});
        ASSERT_TRUE(agent_->started());
        ASSERT_TRUE(server_.accept_client());
        if (mode == dispatch_mode::application) {
            const int fd = agent_->fd();
            ASSERT_GE(fd, 0);
            loop_ = std::thread([this, fd] {
                while (!stop_loop_) {
                    pollfd p{fd, POLLIN, 0};
                    if (::poll(&p, 1, 20) > 0) agent_->dispatch(16);
                }
            });
        }
    }
    void TearDown() override {
        stop_answering();
        stop_loop_ = true;
        if (loop_.joinable()) loop_.join();
        agent_.reset();
        mcu_agent::set_error_hook(nullptr);
    }

    // Answers every request for the audio power (0x11) with power on and
    // the user's power mode; other requests stay unanswered.
    void answer_audio_power() {
        answering_ = std::thread([this] {
            while (!stop_answering_) {
                const std::optional<Bytes> frame = server_.read_frame(50);
                if (frame && frame->size() > 4 && (*frame)[4] == 0x11)
                    server_.send_frame(0x11, {POWER_STATUS_ON, POWER_MODE_USER_ON});
            }
        });
    }
    void stop_answering() {
        stop_answering_ = true;
        if (answering_.joinable()) answering_.join();
    }

    AgentServer server_;
    std::optional<mcu_agent::client> agent_;

private:
    std::atomic<bool> stop_loop_{false};
    std::thread loop_;
    std::atomic<bool> stop_answering_{false};
    std::thread answering_;
};

class CppApiTest : public AgentFixture, public testing::WithParamInterface<dispatch_mode> {
protected:
    void SetUp() override { start(GetParam()); }
};

std::string mode_name(dispatch_mode mode) {
    return mode == dispatch_mode::application ? "ApplicationThread" : "LibraryThread";
}

TEST_P(CppApiTest, RecordsArriveTypedAndAligned) {
    std::atomic<int> got{0};
    HVAC_INFO hvac{};
    HARD_KEY_ID key{};
    uint8_t duty = 0;
    bool aligned = false;
    auto on_hvac = agent_->on<MCU_MSG_RET_HVAC_INFO>([&](const HVAC_INFO &h) {
        aligned = reinterpret_cast<uintptr_t>(&h) % alignof(HVAC_INFO) == 0;
        hvac = h;
        ++got;
    });
    auto on_key = agent_->on<MCU_MSG_RET_HARD_KEY>([&](HARD_KEY_ID k) {
        key = k;
        ++got;
    });
    auto on_duty = agent_->on<MCU_MSG_RET_BUTTON_LIGHT_PWM>([&](uint8_t d) {
        duty = d;
        ++got;
    });
    ASSERT_TRUE(on_hvac && on_key && on_duty);
    // maxAC, AC, face; blower 5; left 20, right 23; the left temperature key.
    ASSERT_TRUE(server_.send_frame(0xFA, {0x23, 0x50, 20 << 3, 23 << 3, HVAC_KEY_LEFT_TEM_INCREASED}));
    ASSERT_TRUE(server_.send_frame(0x04, {HARD_KEY_POWER}));
    ASSERT_TRUE(server_.send_frame(0x14, {77}));
    ASSERT_TRUE(wait_until([&] { return got == 3; }));
    EXPECT_TRUE(aligned);
    EXPECT_EQ(hvac.hvac_status, 1);
    EXPECT_EQ(hvac.maxAC_on_off, 1);
    EXPECT_EQ(hvac.AC_on_off, 1);
    EXPECT_EQ(hvac.hvac_mode, HVAC_MODE_BLOW_FACE);
    EXPECT_EQ(hvac.blower_level, 5);
    EXPECT_EQ(hvac.left_temp, 20);
    EXPECT_EQ(hvac.right_temp, 23);
    EXPECT_EQ(hvac.hvac_key, HVAC_KEY_LEFT_TEM_INCREASED);
    EXPECT_EQ(key, HARD_KEY_POWER);
    EXPECT_EQ(duty, 77);
}

// The subscription ends on the test thread while deliveries run on
// another: once reset() returns its callable never runs again, and it is
// not freed under a running call (the sanitizer builds see that).
TEST_P(CppApiTest, SubscriptionEndedDuringFloodHearsNothingAfter) {
    std::atomic<bool> ended{false};
    std::atomic<int> heard{0}, late{0}, witness{0};
    auto state = std::make_shared<std::vector<int>>(16, 0);  // freed with the callable
    mcu_agent::subscription flooded = agent_->on<MCU_MSG_RET_BUTTON_LIGHT_PWM>([&, state](uint8_t duty) {
        (*state)[duty % 16] += 1;
        ++heard;
        if (ended) ++late;
    });
    auto witnessing = agent_->on<MCU_MSG_RET_BUTTON_LIGHT_PWM>([&](uint8_t) { ++witness; });
    state.reset();
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        const Bytes frames = mcu_agent_test::numbered_frames(64, 0x14);
        while (!stop && server_.send_unless_stalled(frames, 2000) == frames.size()) {
        }
    });
    ASSERT_TRUE(wait_until([&] { return heard > 200; }));
    flooded.reset();
    ended = true;
    const int seen_then = witness;
    const bool flood_went_on = wait_until([&] { return witness > seen_then + 500; });
    stop = true;
    flood.join();
    EXPECT_TRUE(flood_went_on);
    EXPECT_EQ(late, 0);
    EXPECT_FALSE(flooded);
}

// A subscription reset from inside its own callable: the callable is
// destroyed once it returns, not under itself, and never runs again.
std::atomic<bool> g_captures_destroyed{false};
struct Captured {
    ~Captured() { g_captures_destroyed = true; }
};

TEST_P(CppApiTest, SubscriptionResetFromItsOwnCallable) {
    std::atomic<int> calls{0};
    std::atomic<bool> destroyed_under_call{false};
    std::optional<mcu_agent::subscription> once;
    auto captured = std::make_shared<Captured>();
    once = agent_->on<MCU_MSG_RET_HARD_KEY>([&, captured](HARD_KEY_ID) {
        ++calls;
        once.reset();
        destroyed_under_call = g_captures_destroyed.load();
    });
    captured.reset();
    std::atomic<int> witness{0};
    auto witnessing = agent_->on<MCU_MSG_RET_HARD_KEY>([&](HARD_KEY_ID) { ++witness; });
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(server_.send_frame(0x04, {HARD_KEY_POWER}));
    ASSERT_TRUE(wait_until([&] { return witness == 3; }));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(destroyed_under_call);
    EXPECT_TRUE(g_captures_destroyed);  // and not kept forever
}

// Exceptions from a listener, a connection listener, a completion and a
// request are reported with one line each and go no further: the
// delivery of later frames and answers goes on.
TEST_P(CppApiTest, ThrowingCallablesAreReportedAndDeliveryGoesOn) {
    answer_audio_power();
    std::atomic<int> thrown{0}, witness{0}, connection_events{0};
    auto throwing = agent_->on<MCU_MSG_RET_HARD_KEY>([&](HARD_KEY_ID) {
        ++thrown;
        throw std::runtime_error("listener boom");
    });
    auto witnessing = agent_->on<MCU_MSG_RET_HARD_KEY>([&](HARD_KEY_ID) { ++witness; });
    auto connection = agent_->on_connection([&](bool) {
        ++connection_events;
        throw 42;
    });
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(server_.send_frame(0x04, {HARD_KEY_POWER}));
    ASSERT_TRUE(wait_until([&] { return witness == 3 && connection_events == 1; }));
    EXPECT_EQ(thrown, 3);

    std::promise<void> completed;
    mcu_agent::pending_call pending = agent_->call_async<MCU_MSG_RET_CUR_AUDIO_POWER_STATUS>(
        McuAgent_get_audio_power, 5s, [&](const mcu_agent::call_result<POWER_INFO> &) {
            completed.set_value();
            throw std::runtime_error("completion boom");
        });
    ASSERT_TRUE(pending);
    ASSERT_EQ(completed.get_future().wait_for(10s), std::future_status::ready);
    pending.cancel();  // waits for the completion to return
    const auto refused = agent_->call<MCU_MSG_RET_CUR_AUDIO_POWER_STATUS>([]() -> int {
        throw std::runtime_error("request boom");
    });
    EXPECT_EQ(refused.status(), call_status::not_sent);
    // Still answered afterwards.
    const auto power = agent_->call<MCU_MSG_RET_CUR_AUDIO_POWER_STATUS>(McuAgent_get_audio_power);
    ASSERT_TRUE(power) << power.status_text();
    EXPECT_EQ(power->power_status, POWER_STATUS_ON);

    const std::vector<std::string> lines = reported();
    const std::vector<std::string> expected = {
        "mcu_agent: listener of MCU_MSG_RET_HARD_KEY(0x04) threw: listener boom",
        "mcu_agent: connection listener threw: an exception not derived from std::exception",
        "mcu_agent: completion of a call awaiting MCU_MSG_RET_CUR_AUDIO_POWER_STATUS(0x11) threw: completion boom",
        "mcu_agent: request awaiting MCU_MSG_RET_CUR_AUDIO_POWER_STATUS(0x11) threw: request boom",
    };
    for (const std::string &line : expected) {
        EXPECT_EQ(std::count(lines.begin(), lines.end(), line), line.find("listener of") != std::string::npos ? 3 : 1)
            << line;
    }
    EXPECT_EQ(lines.size(), 6u);
}

INSTANTIATE_TEST_SUITE_P(Modes, CppApiTest, testing::Values(dispatch_mode::library_thread, dispatch_mode::application),
                         [](const testing::TestParamInfo<dispatch_mode> &info) { return mode_name(info.param); });

// ---- awaited answers in each form -----------------------------------------

enum class Form { kBlocking, kAsync, kFuture };
using CallParam = std::tuple<dispatch_mode, Form>;

std::string form_name(Form form) {
    switch (form) {
        case Form::kBlocking: return "Blocking";
        case Form::kAsync: return "Async";
        case Form::kFuture: return "Future";
    }
    return "";
}
void PrintTo(Form form, std::ostream *out) { *out << form_name(form); }

class CppCallForms : public AgentFixture, public testing::WithParamInterface<CallParam> {
protected:
    void SetUp() override { start(std::get<0>(GetParam())); }
    Form form() const { return std::get<1>(GetParam()); }

    // The call of message Id made in `form`, its result as a blocking call
    // would give it.
    template <MCU_MSG_ID Id, typename Request>
    mcu_agent::call_result<mcu_agent::record_t<Id>> make_call(Form form, Request request,
                                                                std::chrono::milliseconds timeout) {
        using result = mcu_agent::call_result<mcu_agent::record_t<Id>>;
        if (form == Form::kBlocking) return agent_->call<Id>(request, timeout);
        if (form == Form::kFuture) {
            std::future<result> answer = agent_->call_future<Id>(request, timeout);
            if (answer.wait_for(timeout + 5s) != std::future_status::ready) return call_status::cancelled;
            return answer.get();
        }
        std::promise<result> promise;
        std::future<result> answer = promise.get_future();
        mcu_agent::pending_call pending =
            agent_->call_async<Id>(request, timeout, [&promise](const result &r) { promise.set_value(r); });
        if (!pending) return pending.status();
        if (answer.wait_for(timeout + 5s) != std::future_status::ready) return call_status::cancelled;
        pending.cancel();  // waits for the completion to return before the promise goes
        return answer.get();
    }
};

TEST_P(CppCallForms, AnsweredTimedOutOrAnsweredByAnother) {
    answer_audio_power();
    const auto power = make_call<MCU_MSG_RET_CUR_AUDIO_POWER_STATUS>(form(), McuAgent_get_audio_power, 5s);
    ASSERT_TRUE(power) << power.status_text();
    EXPECT_EQ(power->power_status, POWER_STATUS_ON);
    EXPECT_EQ(power->power_mode, POWER_MODE_USER_ON);

    const auto language = make_call<MCU_MSG_RET_TFT_LANGUAGE>(form(), [] { return McuAgent_get_language(); }, 200ms);
    EXPECT_EQ(language.status(), call_status::timed_out) << language.status_text();

    // The request sent is answered by 0x11, not by the language the call named.
    const auto mismatched = make_call<MCU_MSG_RET_TFT_LANGUAGE>(form(), McuAgent_get_audio_power, 5s);
    EXPECT_EQ(mismatched.status(), call_status::other_answer) << mismatched.status_text();
}

INSTANTIATE_TEST_SUITE_P(
    FormsAndModes, CppCallForms,
    testing::Combine(testing::Values(dispatch_mode::library_thread, dispatch_mode::application),
                     testing::Values(Form::kBlocking, Form::kAsync, Form::kFuture)),
    [](const testing::TestParamInfo<CallParam> &info) {
        return mode_name(std::get<0>(info.param)) + form_name(std::get<1>(info.param));
    });

// ---- the generated map ----------------------------------------------------

// record_of<Id> as the rows say: the record they name (an enumeration for
// a one-byte message, by its field's enumeration), and whether a request
// awaits the id as its answer.
template <MCU_MSG_ID Id>
void expect_row_matches() {
    using row = mcu_agent::record_of<Id>;
    const mcu_agent::protocol::Message *message = mcu_agent::protocol::find_message(static_cast<uint8_t>(Id));
    if constexpr (!row::known) {
        EXPECT_EQ(message, nullptr) << "no record for the row of " << Id;
    } else {
        ASSERT_NE(message, nullptr) << Id;
        EXPECT_STREQ(row::row, message->record) << message->name;
        std::string type = message->record;
        if (type == "byte") {
            const mcu_agent::protocol::Enumeration *e = message->layouts[0].fields[0].enumeration;
            type = e ? e->name : "uint8_t";
        } else if (type == "unsigned short") {
            type = "uint16_t";
        } else if (type == "raw payload") {
            type = "raw_payload";
        }
        EXPECT_EQ(row::type_name, type) << message->name;
        bool answers = false;
        for (const mcu_agent::protocol::Command &c : mcu_agent::protocol::commands()) answers |= c.answer == Id;
        EXPECT_EQ(row::answers_request, answers) << message->name;
    }
}

template <std::size_t... I>
void expect_rows_match(std::index_sequence<I...>) {
    (expect_row_matches<static_cast<MCU_MSG_ID>(I)>(), ...);
}

TEST(CppRecordsTest, MapMatchesTheMessageRows) { expect_rows_match(std::make_index_sequence<256>()); }

}  // namespace
