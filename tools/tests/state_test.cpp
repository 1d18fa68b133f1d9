// state_test.cpp - the JSON reader and the virtual MCU's state file.
#include <gtest/gtest.h>

#include <string>

#include "console.h"
#include "scenario.h"
#include "state.h"
#include "tool_test_support.h"

namespace {

using mcu_sim::State;

// --print-state --json writes what --state reads back, key for key.
TEST(State, TheJsonItWritesReadsBack) {
    State changed;
    std::string error;
    ASSERT_TRUE(changed.load_json(R"({"audio_source": "AUDIO_SOURCE_AUX", "radio": {"presets": {"AM2": [522, 531]}},
                                      "setup": {"params": "0A0B"}, "version": {"cd": "X"}, "hvac": {"blower": 9}})",
                                  &error))
        << error;
    State back;
    ASSERT_TRUE(back.load_json(changed.to_json(), &error)) << error << "\n" << changed.to_json();
    for (const mcu_sim::KeyInfo &k : State::keys()) {
        if (std::string(k.key) == "rtc.time") continue;  // running
        std::string a, b;
        changed.get(k.key, &a);
        back.get(k.key, &b);
        EXPECT_EQ(a, b) << k.key;
    }
}

TEST(State, TheFileSetsKeysByNestedNames) {
    State s;
    std::string error;
    ASSERT_TRUE(s.load_json(R"({
        "audio_source": "AUDIO_SOURCE_AUX",
        "radio": {"freq": 10110, "presets": {"AM2": [522, 531]}, "collected": [1, 2, 255]},
        "version": {"cd": "CD777"},
        "setup": {"params": "0A0B"},
        "rtc": {"time": "2030-12-31 23:59:59"},
        "hvac": {"on": false}
    })",
                            &error))
        << error;
    std::string v;
    const std::pair<const char *, const char *> expected[] = {
        {"audio_source", "AUDIO_SOURCE_AUX"}, {"radio.freq", "10110"},   {"radio.presets.AM2", "522,531"},
        {"radio.collected", "0102FF"},        {"version.cd", "CD777"},   {"setup.params", "0A0B"},
        {"hvac.on", "0"},                     {"radio.band", "RADIO_BAND_FM1"}};
    for (const auto &e : expected) {
        ASSERT_TRUE(s.get(e.first, &v)) << e.first;
        EXPECT_EQ(v, e.second) << e.first;
    }
    ASSERT_TRUE(s.get("rtc.time", &v));
    EXPECT_EQ(v.substr(0, 16), "2030-12-31 23:59");
}

TEST(State, TheFileIsRefusedForUnknownKeysAndBadValues) {
    struct Row {
        const char *json;
        const char *error;
    } rows[] = {
        {R"({"radio": {"frequency": 1}})", "no state key radio.frequency"},
        {R"({"audio_source": "AUDIO_SOURCE_MARS"})", "AUDIO_SOURCE_ID"},
        {R"({"radio": {"freq": 1.5}})", "radio.freq: 1.5 is not a whole number"},
        {R"({"radio": {"collected": [256]}})", "bytes are 0 to 255"},
        {R"({"radio": {"presets": {"FM1": ["a"]}}})", "a list holds whole numbers"},
        // Each value must fit the field that carries it.
        {R"({"hvac": {"blower": 300}})", "hvac.blower: 300 is out of range: 0 to 15 (blower_level of MCU_MSG_RET_HVAC_INFO)"},
        {R"({"version": {"cd": "CD00123"}})", "version.cd: 7 characters, at most 5"},
        {R"({"audio_source": 99})", "audio_source: 99 is not a member of AUDIO_SOURCE_ID"},
        {R"({"radio": {"presets": {"FM1": [1,2,3,4,5,6,7,8,9,10,11,12,13]}}})", "13 numbers, at most 12"},
        {R"({"hvac": {"left_temp": 32}})", "0 to 31"},
        {R"({"audio_source": {"x": 1}})", "audio_source: takes a value, not an object"},
        {R"({"rtc": {"time": "yesterday"}})", "not YYYY-MM-DD HH:MM:SS"},
        {R"({"ignition": null})", "null is not a value"},
        {R"([1])", "the state file holds one object"},
    };
    for (const auto &row : rows) {
        State s;
        std::string error;
        EXPECT_FALSE(s.load_json(row.json, &error)) << row.json;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.json << ": " << error;
    }
}

// A file nested deeper than any state key is refused with the place where
// it goes too deep, before it can exhaust the stack or the memory.
TEST(State, DeepNestingIsRefusedWithItsPlace) {
    std::string deep_objects, deep_lists = R"({"radio": {"collected": )";
    for (int i = 0; i < 20000; ++i) deep_objects += R"({"a":)";
    deep_objects += "1" + std::string(20000, '}');
    deep_lists += std::string(20000, '[') + std::string(20000, ']') + "}}";
    const std::pair<std::string, std::string> rows[] = {
        {deep_objects, "line 1, column 81: nested deeper than 16 levels"},
        {deep_lists, "line 1, column 39: nested deeper than 16 levels"},
        // Brackets inside a string do not count.
        {"{\n \"radio\": \"{[\",\n" + std::string(16, '[') + std::string(16, ']') + "}",
         "line 3, column 16: nested deeper than 16 levels"},
    };
    for (const auto &row : rows) {
        State s;
        std::string error;
        EXPECT_FALSE(s.load_json(row.first, &error)) << row.first.substr(0, 80);
        EXPECT_EQ(error, row.second) << row.first.substr(0, 80);
    }
}

TEST(State, EveryDefaultReadsBackThroughSet) {
    State s;
    for (const mcu_sim::KeyInfo &k : State::keys()) {
        std::string v, error;
        ASSERT_TRUE(s.get(k.key, &v)) << k.key;
        if (std::string(k.key) == "rtc.time") continue;  // running
        State other;
        ASSERT_TRUE(other.set(k.key, v, &error)) << k.key << " = " << v << ": " << error;
        std::string again;
        other.get(k.key, &again);
        EXPECT_EQ(again, v) << k.key;
    }
}

TEST(State, ClockTextRoundTripsAndRefusesImpossibleDates) {
    int64_t s = 0;
    ASSERT_TRUE(mcu_sim::parse_clock("2024-02-29 12:00:01", &s));
    EXPECT_EQ(mcu_sim::format_clock(s), "2024-02-29 12:00:01");
    EXPECT_FALSE(mcu_sim::parse_clock("2023-02-29 12:00:01", &s));
    EXPECT_FALSE(mcu_sim::parse_clock("2024-13-01 00:00:00", &s));
    EXPECT_FALSE(mcu_sim::parse_clock("2024-01-01 24:00:00", &s));
    EXPECT_FALSE(mcu_sim::parse_clock("2024-01-01 00:00:00 extra", &s));
}

// The example files shipped beside the virtual MCU stay loadable.
TEST(State, TheShippedExamplesLoad) {
    State s;
    std::string error;
    ASSERT_TRUE(s.load_json(mcu_tools_test::read_file(MCU_SIM_EXAMPLES "/night_drive.json"), &error)) << error;
    std::string v;
    s.get("radio.presets.FM1", &v);
    EXPECT_EQ(v, "8750,9010,9810,10110,10610,10800,8970");
    std::vector<mcu_sim::ScenarioLine> lines;
    ASSERT_TRUE(mcu_sim::parse_scenario(mcu_tools_test::read_file(MCU_SIM_EXAMPLES "/short_trip.scenario"), &lines,
                                        &error))
        << error;
    EXPECT_EQ(lines.size(), 7u);
    EXPECT_TRUE(mcu_sim::check_scenario(lines, s, &error)) << error;
}

}  // namespace
