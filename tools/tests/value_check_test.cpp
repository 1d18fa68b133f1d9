// value_check_test.cpp - one table for every place that takes a value from
// outside: the console's set and help, the state file, scenario lines and
// the application's requests.  Each row is the input and what it must
// answer: "" for taken, else the words the refusal holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console.h"
#include "scenario.h"
#include "state.h"
#include "tool_test_support.h"
#include "virtual_mcu.h"

namespace {

enum class Where { Set, Help, StateFile, Scenario, Request };

struct Row {
    const char *name;
    Where where;
    // Set, Help: a console line.  StateFile: JSON.  Scenario: the file.
    // Request: "COMMAND field=value ...".
    const char *input;
    const char *answer;  // "" when taken; otherwise part of the refusal
    // Request: a key and its value afterwards (the state keeps its value
    // when the request is refused).
    const char *key = nullptr;
    const char *key_after = nullptr;
};

class Target : public mcu_sim::ConsoleTarget {
public:
    Target() : mcu_(state_) {}
    mcu_sim::State &state() override { return state_; }
    mcu_sim::VirtualMcu &mcu() override { return mcu_; }
    void broadcast(const mcu_sim::Outgoing &) override {}
    void broadcast_raw(const mcu_protocol::Bytes &) override {}
    void ask_version(uint32_t) override {}
    bool start_replay(const std::string &, bool, std::string *) override { return true; }
    std::string describe_clients() override { return ""; }
    void quit() override {}
    void say(const std::string &line) override { said = line; }

    mcu_sim::State state_;
    mcu_sim::VirtualMcu mcu_;
    std::string said;
};

const Row kRows[] = {
    // The documented range of a key, wherever the value comes from.
    {"SetInRange", Where::Set, "set audio.volume 40", ""},
    {"SetAboveRange", Where::Set, "set audio.volume 41", "audio.volume: 41 is out of range: 0 to 40"},
    {"SettingAboveItsByte", Where::Set, "set audio.bass 256", "audio.bass: 256 is out of range: 0 to 255"},
    {"SetDutyAboveRange", Where::Set, "set button.duty 11", "button.duty: 11 is out of range: 0 to 10"},
    {"SetWidth", Where::Set, "set hvac.blower 16", "hvac.blower: 16 is out of range: 0 to 15 (blower_level of"},
    {"SetMember", Where::Set, "set audio_source 99", "audio_source: 99 is not a member of AUDIO_SOURCE_ID"},
    {"FileAboveRange", Where::StateFile, R"({"audio": {"volume": 41}})", "audio.volume: 41 is out of range: 0 to 40"},
    {"FileInRange", Where::StateFile, R"({"audio": {"volume": 40}, "tft": {"brightness": 15}})", ""},
    {"FileNegative", Where::StateFile, R"({"radio": {"freq": -5}})", "radio.freq: -5 is out of range: 0 to"},
    {"FileHuge", Where::StateFile, R"({"audio": {"speed": 99999999999}})", "audio.speed: 99999999999 is out of range"},
    {"FileNestedAndDotted", Where::StateFile, "{\n  \"radio\": {\"freq\": 10110},\n  \"radio.freq\": 9810\n}",
     "line 3: radio.freq is given twice (first on line 2)"},
    {"FileTwiceInOneObject", Where::StateFile, "{\"hvac\": {\"blower\": 1,\n \"blower\": 2}}",
     "line 2: hvac.blower is given twice (first on line 1)"},
    {"HelpShowsRange", Where::Help, "help set audio.volume", "main volume, 0 to 40"},
    {"HelpShowsWidth", Where::Help, "help set hvac.left_temp", "left temperature step, 0 to 31"},
    // Scenario lines: field values against width and enumeration, times,
    // names.
    {"ExpectWidth", Where::Scenario, "expect app MCU_CMD_SET_RADIO_FREQ freq=99999999 within 100",
     "line 1: expect MCU_CMD_SET_RADIO_FREQ: freq: 99999999 is out of range: 0 to 65535 (16 bits)"},
    {"ExpectFits", Where::Scenario, "expect app MCU_CMD_SET_RADIO_FREQ freq=65535 within 100", ""},
    {"ExpectMember", Where::Scenario, "expect app SET_AUDIO_SOURCE audio_source=200 within 100",
     "audio_source: 200 is not a member of AUDIO_SOURCE_ID"},
    {"ExpectNever", Where::Scenario, "expect app GET_SYNC never within 100", ""},
    {"TimesGoBack", Where::Scenario, "2.0 key HARD_KEY_POWER\n# a comment\n1.0 key HARD_KEY_POWER",
     "line 3: 1 s comes before 2 s of line 1; times may not go back"},
    {"TimesEqual", Where::Scenario, "1.0 key HARD_KEY_POWER\n1.0 power off", ""},
    {"SendUnknownMessage", Where::Scenario, "send MCU_MSG_RET_RADIO_NOTIFYY",
     "line 1: send: no message MCU_MSG_RET_RADIO_NOTIFYY (a name of MCU_MSG_ID, with or without MCU_MSG_, or 0xNN)"},
    {"ExpectUnknownCommand", Where::Scenario, "expect app MCU_CMD_NOPE within 5",
     "line 1: expect: no command MCU_CMD_NOPE (a name of MCU_CMD_ID, with or without MCU_CMD_, or 0xNN)"},
    {"SendNotAMember", Where::Scenario, "send MCU_MSG_RET_RADIO_NOTIFY band=77", "band: 77 is not a member of"},
    // The application's requests: out of range is flagged, the state
    // keeps its value.
    {"RequestBrightness", Where::Request, "MCU_CMD_SET_TFT_BRIGHTNESS value=99",
     "MCU_CMD_SET_TFT_BRIGHTNESS: tft.brightness: 99 is out of range: 0 to 15; tft.brightness stays 8",
     "tft.brightness", "8"},
    {"RequestBrightnessInRange", Where::Request, "MCU_CMD_SET_TFT_BRIGHTNESS value=6", "", "tft.brightness", "6"},
    {"RequestAbsoluteVolume", Where::Request, "MCU_CMD_SET_ABSOLUTELY_VOLUME absolutely_volume=SET_MAIN_VOLUME value=41",
     "audio.volume: 41 is out of range: 0 to 40", "audio.volume", "15"},
    {"RequestAudioSetting", Where::Request, "MCU_CMD_SET_AUDIO_SETTING_INFO type=AUDIO_SETTING_VOLUME value=200",
     "audio.volume: 200 is out of range: 0 to 40", "audio.volume", "15"},
    {"RequestDayNightLevel", Where::Request, "MCU_CMD_SET_TFT_DAYNIGHTMODE level=SET_CUR_MODE_LEVEL value=16",
     "tft.daynight_level: 16 is out of range: 0 to 15", "tft.daynight_level", "5"},
    {"RequestNotAMember", Where::Request, "MCU_CMD_SET_AUDIO_SOURCE audio_source=120",
     "audio_source: 120 is not a member of AUDIO_SOURCE_ID", "audio_source", "AUDIO_SOURCE_FM1"},
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

class ValueCheck : public testing::TestWithParam<Row> {};

// What the row's input answered: "" when taken.
std::string answer_of(const Row &row, mcu_sim::State *state) {
    std::string error;
    switch (row.where) {
        case Where::Set:
        case Where::Help: {
            Target t;
            const bool ok = mcu_sim::run_console_line(t, row.input);
            return row.where == Where::Help ? t.said : ok ? "" : t.said;
        }
        case Where::StateFile: return state->load_json(row.input, &error) ? "" : error;
        case Where::Scenario: {
            std::vector<mcu_sim::ScenarioLine> lines;
            const bool ok = mcu_sim::parse_scenario(row.input, &lines, &error) &&
                            mcu_sim::check_scenario(lines, *state, &error);
            return ok ? "" : error;
        }
        case Where::Request: {
            const std::string text = row.input;
            const std::string command = text.substr(0, text.find(' '));
            const std::string words = text.find(' ') == std::string::npos ? "" : text.substr(text.find(' ') + 1);
            mcu_sim::VirtualMcu mcu(*state);
            const mcu_sim::Reaction r =
                mcu.handle(mcu_tools_test::command_id(command), mcu_tools_test::request_payload(command, words));
            std::string flags;
            for (const std::string &f : r.flags) flags += f + "\n";
            return flags;
        }
    }
    return "?";
}

TEST_P(ValueCheck, TakesOrRefusesWithTheRange) {
    const Row &row = GetParam();
    mcu_sim::State state;
    const std::string answer = answer_of(row, &state);
    if (row.where == Where::Help || *row.answer) {
        EXPECT_NE(answer.find(row.answer), std::string::npos) << row.input << "\nanswered: " << answer;
    } else {
        EXPECT_EQ(answer, "") << row.input;
    }
    if (row.key) {
        std::string now;
        ASSERT_TRUE(state.get(row.key, &now));
        EXPECT_EQ(now, row.key_after) << row.key;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ValueCheck, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

}  // namespace
