// console_test.cpp - the virtual MCU's console commands and scenario
// files, against a target that records what they do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console.h"
#include "scenario.h"
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
        {"key HARD_KEY_NOPE", "key: HARD_KEY_NOPE is not a HARD_KEY_ID member"},
        {"power maybe", "power on | power off"},
        {"turn cw 4", "turn cw|ccw [1-3]"},
        {"send MCU_MSG_NOPE", "send: no message MCU_MSG_NOPE (a name of MCU_MSG_ID, with or without MCU_MSG_, or 0xNN)"},
        {"send 0x02", "send: no message 0x02"},
        {"send MCU_MSG_RET_HVAC_INFO blower_level=16", "blower_level: 16 is out of range: 0 to 15 (4 bits)"},
        {"send MCU_MSG_RET_HVAC_INFO colour=red", "send: no field colour; fields: hvac_status maxAC_on_off"},
        {"hvac nosuch=1", "hvac: no field nosuch; fields: hvac_status"},
        {"help fly", "help: no command fly"},
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

// A message the MCU sends changes what it answers later.
TEST(Console, TheStateFollowsWhatIsSent) {
    const struct {
        const char *line, *key, *value;
    } rows[] = {
        {"hvac blower_level=9", "hvac.blower", "9"},
        {"hvac AC_on_off=0 hvac_mode=HVAC_MODE_BLOW_FEET", "hvac.mode", "HVAC_MODE_BLOW_FEET"},
        {"send MCU_MSG_RET_CUR_AUDIO_SOURCE audio_source=AUDIO_SOURCE_AUX", "audio_source", "AUDIO_SOURCE_AUX"},
        {"send MCU_MSG_RET_RADIO_NOTIFY cur_freq=10370", "radio.freq", "10370"},
        {"send MCU_MSG_RET_MB_VERSION CD_version=AB", "version.cd", "AB"},
        {"send MCU_MSG_RET_RTC_CLOCK_INFO year=2031 month=2 date=3 hours=4 minutes=5 seconds=6", "rtc.time",
         "2031-02-03 04:05"},
    };
    for (const auto &row : rows) {
        FakeTarget t;
        ASSERT_TRUE(mcu_sim::run_console_line(t, row.line)) << row.line << ": " << t.said.back();
        std::string v;
        t.state().get(row.key, &v);
        EXPECT_EQ(v.substr(0, std::string(row.value).size()), row.value) << row.line;
    }
    // And a later answer agrees with it.
    FakeTarget t;
    ASSERT_TRUE(mcu_sim::run_console_line(t, "hvac blower_level=9"));
    mcu_sim::Outgoing answer;
    std::string error;
    ASSERT_TRUE(t.mcu().build(mcu_tools_test::message_id("MCU_MSG_RET_HVAC_INFO"), {}, &answer, &error)) << error;
    EXPECT_NE(mcu_tools_test::message_words(answer.id, answer.payload).find("blower_level=9"), std::string::npos);
}

TEST(Console, HelpNamesFieldsAndValues) {
    const struct {
        const char *line, *says;
    } rows[] = {
        {"help key", "HARD_KEY_POWER"},
        {"help hvac", "blower_level 0 to 15"},
        {"help send MCU_MSG_RET_CUR_AUDIO_SOURCE", "audio_source 0 to 255: AUDIO_SOURCE_FM1"},
        {"help set audio_source", "one of AUDIO_SOURCE_FM1"},
        {"help version", "VERSION_TYPE_BT"},
    };
    for (const auto &row : rows) {
        FakeTarget t;
        ASSERT_TRUE(mcu_sim::run_console_line(t, row.line)) << row.line;
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

TEST(Scenario, LinesAreCommandsWaitsAndExpectationsInFileOrder) {
    std::vector<mcu_sim::ScenarioLine> lines;
    std::string error;
    ASSERT_TRUE(mcu_sim::parse_scenario("# start\n"
                                        "0.5 key HARD_KEY_POWER\n"
                                        "\n"
                                        "wait 250\n"
                                        "expect app GET_AUDIO_SOURCE within 300\n"
                                        "expect app MCU_CMD_SET_AUDIO_SOURCE audio_source=AUDIO_SOURCE_AUX within 1000\n"
                                        "2.25   send MCU_MSG_RET_HVAC_INFO  AC_on_off=0\n",
                                        &lines, &error))
        << error;
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].command, "key HARD_KEY_POWER");
    EXPECT_DOUBLE_EQ(lines[0].at, 0.5);
    EXPECT_EQ(lines[1].kind, mcu_sim::ScenarioLine::Kind::Wait);
    EXPECT_EQ(lines[1].wait_ms, 250);
    EXPECT_EQ(lines[2].kind, mcu_sim::ScenarioLine::Kind::Expect);
    EXPECT_EQ(lines[2].expect.within_ms, 300);
    EXPECT_EQ(lines[2].line_number, 5);
    const mcu_protocol::Bytes aux = mcu_tools_test::request_payload("MCU_CMD_SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_AUX");
    const mcu_protocol::Bytes fm = mcu_tools_test::request_payload("MCU_CMD_SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_FM1");
    const uint8_t set_source = mcu_tools_test::command_id("MCU_CMD_SET_AUDIO_SOURCE");
    EXPECT_TRUE(mcu_sim::expectation_met(lines[3].expect, set_source, aux));
    EXPECT_FALSE(mcu_sim::expectation_met(lines[3].expect, set_source, fm));
    EXPECT_FALSE(mcu_sim::expectation_met(lines[3].expect, 0x21, {}));
    EXPECT_EQ(lines[4].command, "send MCU_MSG_RET_HVAC_INFO  AC_on_off=0");
    EXPECT_DOUBLE_EQ(lines[4].at, 2.25);
}

// Every mistake stops the file with its line number, before anything runs.
TEST(Scenario, EveryMistakeIsFoundWithItsLineNumber) {
    const struct {
        const char *text;
        const char *error;
    } bad[] = {
        {"1.0\n", "line 1: no command after the time"},
        {"-1 key HARD_KEY_POWER\n", "line 1: expected seconds"},
        {"# c\nwait soon\n", "line 2: wait: wait MS"},
        {"expect app NOSUCH within 5\n", "line 1: expect: no command NOSUCH"},
        {"expect app GET_AUDIO_SOURCE\n", "line 1: expect: expect app COMMAND"},
        {"expect app SET_AUDIO_SOURCE nosuch=1 within 5\n", "line 1: expect MCU_CMD_SET_AUDIO_SOURCE: no field nosuch"},
        {"expect app SET_AUDIO_SOURCE audio_source=LOUD within 5\n", "line 1: expect MCU_CMD_SET_AUDIO_SOURCE: audio_source: not a number"},
        {"expect app GET_AUDIO_SOURCE within 1s\n", "line 1: expect: within takes milliseconds"},
        {"key HARD_KEY_POWER\nfly away\n", "line 2: unknown command fly"},
        {"\nkey NO_SUCH_KEY\n", "line 2: key: NO_SUCH_KEY is not a HARD_KEY_ID member; help key lists them"},
        {"hvac nosuch=1\n", "line 1: hvac: no field nosuch; fields: "},
        {"set hvac.blower 300\n", "line 1: set: hvac.blower: 300 is out of range: 0 to 15"},
        {"set nosuch 1\n", "line 1: set: no state key nosuch"},
        {"send MCU_MSG_RET_HVAC_INFO blower_level=99\n", "line 1: send MCU_MSG_RET_HVAC_INFO:"},
    };
    mcu_sim::State state;
    for (const auto &b : bad) {
        std::vector<mcu_sim::ScenarioLine> lines;
        std::string error;
        const bool ok = mcu_sim::parse_scenario(b.text, &lines, &error) && mcu_sim::check_scenario(lines, state, &error);
        EXPECT_FALSE(ok) << b.text;
        EXPECT_EQ(error.rfind(b.error, 0), 0u) << b.text << "\n  got: " << error;
    }
}

}  // namespace
