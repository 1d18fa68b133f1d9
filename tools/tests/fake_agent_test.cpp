// The fake agent of applications' unit tests, against a raw client: what
// it injects in the virtual MCU's words, how an expectation fails (with
// the closest frame, as a scenario says it), answers, and an agent that
// stalls, drops the connection, goes away and comes back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "mcu_agent_testing.hpp"
#include "tool_test_support.h"

namespace {

using mcu_agent::testing::FakeAgent;
using mcu_tools_test::Client;
using mcu_tools_test::request_frame;
using std::chrono::milliseconds;

FakeAgent::Options private_agent() {
    FakeAgent::Options o;
    o.set_environment = false;
    return o;
}

TEST(FakeAgent, ListensInADirectoryOfItsOwnAndPointsTheEnvironmentThereWhileItLives) {
    ::setenv("MCU_AGENT_SOCKET", "/before", 1);
    std::string dir;
    {
        FakeAgent agent;
        ASSERT_TRUE(agent.ready()) << agent.ready().message();
        EXPECT_EQ(std::string(std::getenv("MCU_AGENT_SOCKET")), agent.socket_path());
        dir = agent.socket_path().substr(0, agent.socket_path().rfind('/'));
        struct stat st {};
        ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(st.st_uid, ::geteuid());
    }
    EXPECT_EQ(std::string(std::getenv("MCU_AGENT_SOCKET")), "/before");
    struct stat st {};
    EXPECT_NE(::lstat(dir.c_str(), &st), 0);  // gone with its socket
}

TEST(FakeAgent, AnExpectationFailsWithTheClosestFrameSeen) {
    FakeAgent agent(private_agent());
    Client app;
    ASSERT_TRUE(app.connect(agent.socket_path()));
    ASSERT_TRUE(app.send(request_frame("MCU_CMD_SET_AUDIO_SETTING_INFO", "type=AUDIO_SETTING_BAS value=1")));
    ASSERT_TRUE(app.send(request_frame("MCU_CMD_SET_AUDIO_SETTING_INFO", "type=AUDIO_SETTING_VOLUME value=9")));
    ASSERT_TRUE(app.send(request_frame("MCU_CMD_SET_AUDIO_SETTING_INFO", "type=AUDIO_SETTING_BAS value=3")));

    const auto met = agent.expect("SET_AUDIO_SETTING_INFO value=9", milliseconds(2000));
    ASSERT_TRUE(met) << met.message();
    EXPECT_EQ(met.name(), "MCU_CMD_SET_AUDIO_SETTING_INFO");
    EXPECT_EQ(met.field("type"), "AUDIO_SETTING_VOLUME");
    EXPECT_EQ(met.number("value"), 9u);

    // Of the frames of that command, the one with the most matching fields;
    // the frame before the one the last expectation was met by is early.
    const auto missed = agent.expect("SET_AUDIO_SETTING_INFO type=AUDIO_SETTING_BAS value=1", milliseconds(300));
    EXPECT_FALSE(missed);
    EXPECT_EQ(missed.message(),
              "expect app MCU_CMD_SET_AUDIO_SETTING_INFO type=AUDIO_SETTING_BAS value=1: not within 300 ms; closest "
              "seen: MCU_CMD_SET_AUDIO_SETTING_INFO(0x22) type=AUDIO_SETTING_BAS value=1, before the frame the "
              "expectation before was met by");
    const auto never = agent.expect("GET_SYNC", milliseconds(50));
    EXPECT_EQ(never.message(), "expect app MCU_CMD_GET_SYNC: not within 50 ms; no MCU_CMD_GET_SYNC was seen");
    EXPECT_FALSE(agent.expect("SET_AUDIO_SETTING_INFO type=99", milliseconds(10)));  // refused, not waited for
}

struct InjectCase {
    const char *name;
    const char *line;
    const char *received;  // words of the message the application gets, or null
    const char *refusal;   // part of the refusal, or null
};

void PrintTo(const InjectCase &c, std::ostream *out) { *out << c.name; }

class FakeAgentInject : public ::testing::TestWithParam<InjectCase> {};

TEST_P(FakeAgentInject, SpeaksTheVirtualMcusWords) {
    const InjectCase &c = GetParam();
    FakeAgent agent(private_agent());
    if (c.refusal) {  // said at once, with no application to send to
        const auto refused = agent.inject(c.line);
        EXPECT_FALSE(refused);
        EXPECT_NE(refused.message().find(c.refusal), std::string::npos) << refused.message();
    }
    Client app;
    ASSERT_TRUE(app.connect(agent.socket_path()));
    const auto sent = agent.inject(c.line);
    if (c.refusal) {
        EXPECT_FALSE(sent);
        EXPECT_NE(sent.message().find(c.refusal), std::string::npos) << sent.message();
        EXPECT_TRUE(app.quiet(100));
        return;
    }
    ASSERT_TRUE(sent) << sent.message();
    const auto piece = app.next();
    ASSERT_TRUE(piece && piece->is_frame);
    EXPECT_NE(mcu_tools_test::message_words(piece->id, piece->payload).find(c.received), std::string::npos)
        << mcu_tools_test::message_words(piece->id, piece->payload);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FakeAgentInject,
    ::testing::Values(InjectCase{"KeyAlone", "HARD_KEY_POWER", "key=HARD_KEY_POWER", nullptr},
                      InjectCase{"ConsoleCommand", "hvac blower_level=5", "blower_level=5", nullptr},
                      InjectCase{"MessageName", "RET_RADIO_NOTIFY cur_freq=9810", "cur_freq=9810", nullptr},
                      InjectCase{"OutOfRange", "hvac blower_level=16", nullptr, "blower_level: 16 is out of range"},
                      InjectCase{"NoSuchField", "hvac speed=1", nullptr, "no field speed"},
                      InjectCase{"NoSuchCommand", "HARD_KEY_NONE", nullptr, "unknown command"}),
    [](const ::testing::TestParamInfo<InjectCase> &info) { return std::string(info.param.name); });

TEST(FakeAgent, AnswersVersionRequestsAndWhatTheTestSays) {
    FakeAgent agent(private_agent());
    EXPECT_FALSE(agent.answer("GET_AUDIO_POWER", "send RET_CUR_AUDIO_POWER_STATUS power_status=7"));
    ASSERT_TRUE(agent.answer("GET_AUDIO_POWER", "RET_CUR_AUDIO_POWER_STATUS power_status=POWER_STATUS_OFF"));
    Client app;
    ASSERT_TRUE(app.connect(agent.socket_path()));
    ASSERT_TRUE(app.send(request_frame("MCU_CMD_GET_VERSION_INFO")));
    auto piece = app.next();
    ASSERT_TRUE(piece && piece->is_frame);
    EXPECT_EQ(piece->id, mcu_tools_test::message_id("MCU_MSG_RET_MB_VERSION"));
    ASSERT_TRUE(app.send(request_frame("MCU_CMD_GET_AUDIO_POWER")));
    piece = app.next();
    ASSERT_TRUE(piece && piece->is_frame);
    EXPECT_EQ(mcu_tools_test::message_words(piece->id, piece->payload).rfind("power_status=POWER_STATUS_OFF ", 0), 0u);
}

TEST(FakeAgent, StallsDropsGoesAwayAndComesBack) {
    FakeAgent agent(private_agent());
    Client app;
    ASSERT_TRUE(app.connect(agent.socket_path()));
    agent.stall_reading(true);
    ASSERT_TRUE(app.send(request_frame("MCU_CMD_GET_SYNC")));
    EXPECT_TRUE(agent.expect_none("GET_SYNC", milliseconds(100)));  // not read yet
    agent.stall_reading(false);
    EXPECT_TRUE(agent.expect("GET_SYNC", milliseconds(2000)));

    agent.drop();
    EXPECT_FALSE(app.next(2000));  // the end of the stream
    Client again;
    ASSERT_TRUE(again.connect(agent.socket_path()));
    EXPECT_TRUE(agent.wait_connected());

    agent.go_away();
    Client refused;
    EXPECT_FALSE(refused.connect(agent.socket_path(), 100));
    ASSERT_TRUE(agent.come_back());
    Client back;
    ASSERT_TRUE(back.connect(agent.socket_path()));
    EXPECT_TRUE(agent.inject("HARD_KEY_POWER"));
    EXPECT_TRUE(back.next());
}

}  // namespace
