// console_test.cpp - the virtual MCU's console commands and scenario
// files, against a target that records what they do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console.h"
#include "tool_test_support.h"
#include "words.h"

namespace {

using mcu_sim::Outgoing;
using mcu_tools_test::message_id;
using mcu_tools_test::message_words;

class FakeTarget : public mcu_sim::ConsoleTarget {
public:
    FakeTarget() : mcu_(state_) {}
    mcu_sim::State &state() override { return state_; }
    mcu_sim::VirtualMcu &mcu() override { return mcu_; }
    void broadcast(const Outgoing &m) override { sent.push_back(m); }
    void broadcast_raw(const mcu_protocol::Bytes &b) override { raw.push_back(mcu_protocol::hex(b)); }
    void ask_version(uint32_t type) override { versions.push_back(type); }
    bool start_replay(const std::string &file, bool fast, std::string *) override {
        replays.push_back(file + (fast ? " fast" : ""));
        return true;
    }
    std::string describe_clients() override { return "no application connected"; }
    void quit() override { quitting = true; }
    void say(const std::string &line) override { said.push_back(line); }

    // The last message sent, in words.
    std::string last() const {
        if (sent.empty()) return "(nothing sent)";
        return mcu_protocol::id_name(mcu_protocol::Direction::Agent, sent.back().id) + " " +
               message_words(sent.back().id, sent.back().payload);
    }

    mcu_sim::State state_;
    mcu_sim::VirtualMcu mcu_;
    std::vector<Outgoing> sent;
    std::vector<std::string> raw, said, replays;
    std::vector<uint32_t> versions;
    bool quitting = false;
};

struct SendRow {
    const char *line;
    const char *sent;  // the message in words
};

TEST(Console, CommandsSendTheMessagesTheyName) {
    const SendRow rows[] = {
        {"key HARD_KEY_POWER", "MCU_MSG_RET_HARD_KEY key=HARD_KEY_POWER"},
        {"key 0x33", "MCU_MSG_RET_HARD_KEY key=HARD_KEY_SEEK_UP"},
        {"power off",
         "MCU_MSG_RET_POWER_KEY reserver=0 power_status=POWER_STATUS_OFF power_mode=POWER_MODE_USER_OFF"},
        {"power on", "MCU_MSG_RET_POWER_KEY reserver=0 power_status=POWER_STATUS_ON power_mode=POWER_MODE_USER_ON"},
        {"turn ccw 2", "MCU_MSG_RET_IT_COMMANDER_INFO sw=0 encoder=ENCODER_CCW_2PULSE directions=DIRECTIONS_OFF"},
        {"turn cw", "MCU_MSG_RET_IT_COMMANDER_INFO sw=0 encoder=ENCODER_CW_1PULSE directions=DIRECTIONS_OFF"},
        {"hvac AC_on_off=0 hvac_key=HVAC_KEY_AC",
         "MCU_MSG_RET_HVAC_INFO hvac_status=1 maxAC_on_off=0 AC_on_off=0 recirc_on_off=0 fresh_on_off=1 dual_on_off=0 "
         "hvac_mode=HVAC_MODE_BLOW_FACE ACT_on_off=1 redefrost_on_off=0 defrost_on_off=0 display_on_off=1 "
         "blower_level=3 left_temp=16 right_temp=16 hvac_key=HVAC_KEY_AC"},
        {"send MCU_MSG_RET_HVAC_INFO hvac_status=0",
         "MCU_MSG_RET_HVAC_INFO hvac_status=0 maxAC_on_off=0 AC_on_off=1 recirc_on_off=0 fresh_on_off=1 dual_on_off=0 "
         "hvac_mode=HVAC_MODE_MAX_ID ACT_on_off=0 redefrost_on_off=1 defrost_on_off=0 display_on_off=1 "
         "blower_level=10 left_temp=21 right_temp=21 hvac_key=170?"},
        {"send RET_TFT_BRIGHTNESS_STATUS brightness=3", "MCU_MSG_RET_TFT_BRIGHTNESS_STATUS brightness=3"},
        {"send 0xA9", "MCU_MSG_RET_TFT_BRIGHTNESS_STATUS brightness=8"},
        {"send MCU_MSG_RET_RADIO_STATION_LIST_INFO band_type=CMD_AM1 station_freq=[531,999]",
         "MCU_MSG_RET_RADIO_STATION_LIST_INFO band_type=CMD_AM1 station_num=2 station_freq=[531,999]"},
        {"send MCU_MSG_RET_MB_VERSION CD_version=\"X 1\"",
         "MCU_MSG_RET_MB_VERSION MB_version=258 MB_checksum=4660 CD_version=\"X 1\\x00\\x00\" Panel_version=7 "
         "AVM_version=256 AVM_Vin=56494E303031"},
        {"send MCU_MSG_RET_AUDIO_POPUP_INFO popup=4", "MCU_MSG_RET_AUDIO_POPUP_INFO popup=4"},
        {"raw 04 01 12", "MCU_MSG_RET_HARD_KEY key=HARD_KEY_POWER"},
        {"raw 05 03 00 01 02", "MCU_MSG_RET_POWER_KEY reserver=0 power_status=POWER_STATUS_ON power_mode=POWER_MODE_USER_OFF"},
    };
    for (const SendRow &row : rows) {
        FakeTarget t;
        EXPECT_TRUE(mcu_sim::run_console_line(t, row.line)) << row.line << ": " << (t.said.empty() ? "" : t.said.back());
        ASSERT_EQ(t.sent.size(), 1u) << row.line;
        EXPECT_EQ(t.last(), row.sent) << row.line;
    }
}

struct RefusedRow {
    const char *line;
    const char *says;
};

TEST(Console, BadCommandsSayWhyAndSendNothing) {
    const RefusedRow rows[] = {
        {"key", "key NAME"},
        {"key HARD_KEY_NOPE", "nor a member of HARD_KEY_ID"},
        {"power maybe", "power on | power off"},
        {"turn cw 4", "turn cw|ccw [1-3]"},
        {"send MCU_MSG_NOPE", "MESSAGE a name of MCU_MSG_ID or 0xNN"},
        {"send 0x02", "MESSAGE a name of MCU_MSG_ID"},
        {"send MCU_MSG_RET_HVAC_INFO blower_level=16", "does not fit its 4 bits"},
        {"send MCU_MSG_RET_HVAC_INFO colour=red", "no field colour"},
        {"hvac blower_level", "expected name=value"},
        // A length byte that disagrees with the payload would break the
        // application's stream.
        {"raw 04 02 12", "the length byte must count the payload bytes"},
        {"raw 0", "raw ID LENGTH PAYLOAD"},
        {"garbage", "garbage HEX"},
        {"version VERSION_TYPE_XX", "version [VERSION_TYPE_HMI|VERSION_TYPE_BT]"},
        {"replay", "replay FILE [fast]"},
        {"replay a b", "replay FILE [fast]"},
        {"fly away", "unknown command fly"},
    };
    for (const RefusedRow &row : rows) {
        FakeTarget t;
        EXPECT_FALSE(mcu_sim::run_console_line(t, row.line)) << row.line;
        EXPECT_TRUE(t.sent.empty() && t.raw.empty() && t.versions.empty() && t.replays.empty()) << row.line;
        ASSERT_FALSE(t.said.empty()) << row.line;
        EXPECT_NE(t.said.back().find(row.says), std::string::npos) << row.line << " said " << t.said.back();
    }
}

TEST(Console, GetAndSetReadAndChangeTheState) {
    FakeTarget t;
    EXPECT_TRUE(mcu_sim::run_console_line(t, "get audio_source"));
    EXPECT_EQ(t.said.back(), "audio_source = AUDIO_SOURCE_FM1");
    EXPECT_TRUE(mcu_sim::run_console_line(t, "set radio.freq 10800"));
    EXPECT_EQ(t.said.back(), "radio.freq = 10800");
    EXPECT_EQ(t.state_.number("radio.freq"), 10800u);
    EXPECT_TRUE(mcu_sim::run_console_line(t, "set audio_source AUDIO_SOURCE_AUX"));
    EXPECT_TRUE(mcu_sim::run_console_line(t, "send MCU_MSG_RET_CUR_AUDIO_SOURCE"));
    EXPECT_EQ(t.last(), "MCU_MSG_RET_CUR_AUDIO_SOURCE audio_source=AUDIO_SOURCE_AUX");
    EXPECT_TRUE(mcu_sim::run_console_line(t, "set rtc.time 2024-01-02 03:04:05"));
    EXPECT_EQ(t.said.back(), "rtc.time = 2024-01-02 03:04:05");
    EXPECT_TRUE(mcu_sim::run_console_line(t, "set version.cd \"CD 02\""));
    EXPECT_EQ(t.said.back(), "version.cd = CD 02");
    EXPECT_TRUE(mcu_sim::run_console_line(t, "set radio.presets.FM1 1,2,3,4,5,6"));

    EXPECT_FALSE(mcu_sim::run_console_line(t, "set radio.freq fast"));
    EXPECT_NE(t.said.back().find("not a number"), std::string::npos);
    EXPECT_FALSE(mcu_sim::run_console_line(t, "set radio.nothing 1"));
    EXPECT_EQ(t.said.back(), "set: no state key radio.nothing");
    EXPECT_FALSE(mcu_sim::run_console_line(t, "get radio.nothing"));
    EXPECT_FALSE(mcu_sim::run_console_line(t, "set rtc.time 2024-02-30 00:00:00"));

    t.said.clear();
    EXPECT_TRUE(mcu_sim::run_console_line(t, "get"));
    EXPECT_EQ(t.said.size(), mcu_sim::State::keys().size());
}

TEST(Console, OtherCommandsReachTheServer) {
    FakeTarget t;
    EXPECT_TRUE(mcu_sim::run_console_line(t, "garbage 12 34 BA"));
    EXPECT_EQ(t.raw, std::vector<std::string>{"1234BA"});
    EXPECT_TRUE(mcu_sim::run_console_line(t, "version"));
    EXPECT_TRUE(mcu_sim::run_console_line(t, "version VERSION_TYPE_BT"));
    EXPECT_EQ(t.versions, (std::vector<uint32_t>{0, 1}));
    EXPECT_TRUE(mcu_sim::run_console_line(t, "replay trip.log fast"));
    EXPECT_EQ(t.replays, std::vector<std::string>{"trip.log fast"});
    EXPECT_TRUE(mcu_sim::run_console_line(t, "   # a comment"));
    EXPECT_TRUE(mcu_sim::run_console_line(t, ""));
    EXPECT_TRUE(mcu_sim::run_console_line(t, "help"));
    EXPECT_FALSE(t.quitting);
    EXPECT_TRUE(mcu_sim::run_console_line(t, "quit"));
    EXPECT_TRUE(t.quitting);
}

TEST(Console, WordsKeepQuotedSpaces) {
    EXPECT_EQ(mcu_sim::split_words("  send X  a=\"b c\"  d=1 "),
              (std::vector<std::string>{"send", "X", "a=\"b c\"", "d=1"}));
    EXPECT_EQ(mcu_sim::split_words(""), std::vector<std::string>{});
}

TEST(Scenario, LinesAreTimedCommandsInTimeOrder) {
    std::vector<mcu_sim::ScenarioLine> lines;
    std::string error;
    ASSERT_TRUE(mcu_sim::parse_scenario("# start\n"
                                        "0.5 key HARD_KEY_POWER\n"
                                        "\n"
                                        "0 power on\n"
                                        "2.25   send MCU_MSG_RET_HVAC_INFO  AC_on_off=0\n",
                                        &lines, &error))
        << error;
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].command, "power on");
    EXPECT_EQ(lines[0].line_number, 4);
    EXPECT_DOUBLE_EQ(lines[1].at, 0.5);
    EXPECT_EQ(lines[2].command, "send MCU_MSG_RET_HVAC_INFO  AC_on_off=0");
    EXPECT_DOUBLE_EQ(lines[2].at, 2.25);

    EXPECT_FALSE(mcu_sim::parse_scenario("key HARD_KEY_POWER\n", &lines, &error));
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    EXPECT_FALSE(mcu_sim::parse_scenario("1.0\n", &lines, &error));
    EXPECT_FALSE(mcu_sim::parse_scenario("-1 key 1\n", &lines, &error));
}

}  // namespace
