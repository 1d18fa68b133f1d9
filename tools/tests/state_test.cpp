// state_test.cpp - the JSON reader and the virtual MCU's state file.
#include <gtest/gtest.h>

#include <string>

#include "console.h"
#include "json.h"
#include "state.h"
#include "tool_test_support.h"

namespace {

using mcu_sim::Json;
using mcu_sim::parse_json;
using mcu_sim::State;

TEST(Json, ReadsEveryKindOfValue) {
    Json j;
    std::string error;
    ASSERT_TRUE(parse_json(R"( {"a": [1, -2.5e1, true, false, null], "b": {"c": "x\"y\u00e9\n"}, "d": {}} )", &j,
                           &error))
        << error;
    ASSERT_EQ(j.type, Json::Type::Object);
    ASSERT_EQ(j.object.size(), 3u);
    const Json &a = j.object[0].second;
    ASSERT_EQ(a.array.size(), 5u);
    EXPECT_EQ(a.array[0].text, "1");
    EXPECT_DOUBLE_EQ(a.array[1].number, -25.0);
    EXPECT_TRUE(a.array[2].boolean);
    EXPECT_EQ(a.array[4].type, Json::Type::Null);
    EXPECT_EQ(j.object[1].second.object[0].second.text, "x\"y\xC3\xA9\n");
    EXPECT_TRUE(j.object[2].second.object.empty());
}

TEST(Json, SaysWhereTheInputGoesWrong) {
    const std::string deep(100, '[');
    struct Row {
        const char *input;
        const char *error;
    } rows[] = {
        {"{\"a\": 1,\n \"b\" 2}", "line 2, column 6: expected :"},
        {"[1, 2", "expected , or ]"},
        {"{\"a\": tru}", "unknown word"},
        {"\"open", "unterminated string"},
        {"{} {}", "unexpected text after the value"},
        {"", "value expected"},
        {"[\"\\q\"]", "unknown escape"},
        {"1.2.3", "not a number"},
        {deep.c_str(), "nested too deeply"},
    };
    for (const auto &row : rows) {
        Json j;
        std::string error;
        EXPECT_FALSE(parse_json(row.input, &j, &error)) << row.input;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.input << ": " << error;
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
        {R"({"radio": {"freq": 1.5}})", "not a number"},
        {R"({"radio": {"collected": [256]}})", "bytes are 0 to 255"},
        {R"({"radio": {"presets": {"FM1": ["a"]}}})", "a list holds numbers only"},
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
    mcu_sim::VirtualMcu mcu(s);
    for (const mcu_sim::ScenarioLine &line : lines) {
        struct Target : mcu_sim::ConsoleTarget {
            Target(mcu_sim::State &s, mcu_sim::VirtualMcu &m) : s_(s), m_(m) {}
            mcu_sim::State &state() override { return s_; }
            mcu_sim::VirtualMcu &mcu() override { return m_; }
            void broadcast(const mcu_sim::Outgoing &) override {}
            void broadcast_raw(const mcu_protocol::Bytes &) override {}
            void ask_version(uint32_t) override {}
            bool start_replay(const std::string &, bool, std::string *) override { return true; }
            std::string describe_clients() override { return ""; }
            void quit() override {}
            void say(const std::string &l) override { said = l; }
            mcu_sim::State &s_;
            mcu_sim::VirtualMcu &m_;
            std::string said;
        } target(s, mcu);
        EXPECT_TRUE(mcu_sim::run_console_line(target, line.command)) << line.command << ": " << target.said;
    }
}

}  // namespace
