// Unit tests of the example head unit against the fake agent: no virtual
// MCU process, a socket of the test's own, and the application's own poll
// loop running the callbacks on the test's thread.
#include <gtest/gtest.h>

#include <mcu_agent_testing.hpp>

#include "head_unit.hpp"

namespace {

using mcu_agent::testing::FakeAgent;
using namespace std::chrono_literals;

class HeadUnitTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Set before the head unit starts: its first requests are answered.
        ASSERT_TRUE(agent.answer("GET_IGN_ON_OFF_STATUS", "RET_IGN_ON_OFF_STATUS ignition=1"));
        ASSERT_TRUE(agent.answer("GET_RADIO_NOTIFY", "RET_RADIO_NOTIFY cur_freq=9810"));
        unit = std::make_unique<head_unit::HeadUnit>();
        ASSERT_TRUE(unit->started());
        ASSERT_TRUE(unit->run_until([&] { return unit->climate().ignition_on() && unit->radio().frequency(); }, 2s));
    }

    FakeAgent agent;  // first: it points MCU_AGENT_SOCKET at itself
    std::unique_ptr<head_unit::HeadUnit> unit;
};

TEST_F(HeadUnitTest, StartsFromTheAnswersToItsRequests) {
    EXPECT_TRUE(agent.expect("GET_IGN_ON_OFF_STATUS", 0ms));
    EXPECT_TRUE(agent.expect("GET_RADIO_NOTIFY", 0ms));
    EXPECT_EQ(unit->radio().frequency(), 9810u);
}

TEST_F(HeadUnitTest, FollowsTheClimateReports) {
    ASSERT_TRUE(agent.inject("hvac blower_level=5 left_temp=20"));
    EXPECT_TRUE(unit->run_until([&] { return unit->climate().blower() == 5; }, 1s));
    EXPECT_EQ(unit->climate().left_temp(), 20);
}

TEST_F(HeadUnitTest, SetsTheBlowerOnlyWithTheIgnitionOn) {
    ASSERT_TRUE(unit->climate().set_blower(7));
    const auto sent = agent.expect("SEND_HVAC_INFO target_blower_level=7 touch_panel_blower_plus=HVAC_KEY_STATUS_UP", 1s);
    EXPECT_TRUE(sent);

    ASSERT_TRUE(agent.inject("RET_IGN_ON_OFF_STATUS ignition=0"));
    ASSERT_TRUE(unit->run_until([&] { return !unit->climate().ignition_on(); }, 1s));
    EXPECT_FALSE(unit->climate().set_blower(3));
    EXPECT_TRUE(agent.expect_none("SEND_HVAC_INFO", 200ms));
}

TEST_F(HeadUnitTest, SeeksOnTheSteeringWheelKey) {
    ASSERT_TRUE(agent.inject("HARD_KEY_SEEK_UP"));
    unit->run_for(100ms);
    EXPECT_TRUE(agent.expect("SET_RADIO_SEEK_UP", 1s));
    EXPECT_TRUE(agent.expect_none("SET_RADIO_SEEK_DOWN", 0ms));
}

TEST_F(HeadUnitTest, AsksTheTunerAgainWhenTheAgentComesBack) {
    ASSERT_TRUE(agent.expect("GET_RADIO_NOTIFY", 0ms));
    ASSERT_TRUE(agent.answer("GET_RADIO_NOTIFY", "RET_RADIO_NOTIFY cur_freq=10110"));
    agent.go_away();
    unit->run_for(200ms);
    ASSERT_TRUE(agent.come_back());
    EXPECT_TRUE(unit->run_until([&] { return unit->radio().frequency() == 10110; }, 3s));
    EXPECT_TRUE(agent.expect("GET_RADIO_NOTIFY", 0ms));
}

}  // namespace
