// scenario_run_test.cpp - mcu-agent-sim running scenarios against an
// application on a private socket: expectations in file order, the
// closest frame of a failed one, `never`; and the ranges of the state
// enforced on the application's requests and the panel's POST.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool_test_support.h"

namespace {

using mcu_tools_test::Client;
using mcu_tools_test::Process;
using mcu_tools_test::request_frame;

struct ScenarioCase {
    const char *name;
    const char *scenario;
    // The application's frames, written at once: "COMMAND words" each.
    std::vector<std::pair<const char *, const char *>> frames;
    const char *summary;              // part of the summary line
    std::vector<const char *> log;    // lines the log holds
};

// Test names and failures show the row's name, not its bytes.
void PrintTo(const ScenarioCase &run, std::ostream *os) { *os << run.name; }

class ScenarioRun : public testing::TestWithParam<ScenarioCase> {};

TEST_P(ScenarioRun, ChecksWhatTheApplicationSent) {
    const ScenarioCase &run = GetParam();
    const std::string dir = mcu_tools_test::test_dir();
    const std::string socket = mcu_tools_test::private_socket_path();
    mcu_tools_test::write_file(dir + "/run.scenario", run.scenario);
    Process sim(mcu_tools_test::sim_command(socket, {"--scenario", dir + "/run.scenario", "--no-console",
                                                     "--no-version-request", "--strict"}),
                dir + "/sim.log");
    ASSERT_TRUE(sim.wait_for_output("listening on")) << sim.output();
    Client c;
    ASSERT_TRUE(c.connect(socket));
    ASSERT_TRUE(sim.wait_for_output("scenario: started")) << sim.output();
    mcu_protocol::Bytes all;  // one write: the frames arrive together
    for (const auto &f : run.frames) {
        const mcu_protocol::Bytes b = request_frame(f.first, f.second);
        all.insert(all.end(), b.begin(), b.end());
    }
    ASSERT_TRUE(c.send(all));
    ASSERT_TRUE(sim.wait_for_output("scenario: done", 10000)) << sim.output();
    sim.terminate();
    EXPECT_NE(sim.output().find(run.summary), std::string::npos) << sim.output();
    for (const char *line : run.log) EXPECT_NE(sim.output().find(line), std::string::npos) << line << "\n" << sim.output();
}

const ScenarioCase kRuns[] = {
    {"InFileOrder",
     "expect app GET_AUDIO_SOURCE within 400\nexpect app GET_RADIO_NOTIFY within 400\n",
     {{"MCU_CMD_GET_AUDIO_SOURCE", ""}, {"MCU_CMD_GET_RADIO_NOTIFY", ""}},
     "2 of 2 expectations met",
     {}},
    // Sent in the reverse order: the second expectation has no frame after
    // the one that met the first.
    {"ReverseOrderFails",
     "expect app GET_AUDIO_SOURCE within 400\nexpect app GET_RADIO_NOTIFY within 400\n",
     {{"MCU_CMD_GET_RADIO_NOTIFY", ""}, {"MCU_CMD_GET_AUDIO_SOURCE", ""}},
     "1 of 2 expectations met",
     {"!scenario line 2: expect app MCU_CMD_GET_RADIO_NOTIFY: not within 400 ms; closest seen: MCU_CMD_GET_RADIO_NOTIFY"
      "(0x50)"}},
    {"NamesTheClosestFrame",
     "expect app SET_RADIO_FREQ freq=9999 within 300\n",
     {{"MCU_CMD_SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_FM1"}, {"MCU_CMD_SET_RADIO_FREQ", "freq=10110"}},
     "0 of 1 expectations met",
     {"not within 300 ms; closest seen: MCU_CMD_SET_RADIO_FREQ(0x40) freq=10110"}},
    {"NoneOfThatCommand",
     "expect app SET_RADIO_FREQ freq=9999 within 300\n",
     {{"MCU_CMD_GET_AUDIO_SOURCE", ""}},
     "0 of 1 expectations met",
     {"not within 300 ms; no MCU_CMD_SET_RADIO_FREQ was seen"}},
    {"NeverAndNotSent",
     "expect app GET_SYNC never within 300\n",
     {{"MCU_CMD_GET_AUDIO_SOURCE", ""}},
     "1 of 1 expectations met",
     {"expect app MCU_CMD_GET_SYNC never: not sent within 300 ms: met"}},
    {"NeverButSent",
     "expect app GET_SYNC never within 300\n",
     {{"MCU_CMD_GET_SYNC", ""}},
     "0 of 1 expectations met",
     {"!scenario line 1: expect app MCU_CMD_GET_SYNC never: sent after"}},
};

INSTANTIATE_TEST_SUITE_P(Runs, ScenarioRun, testing::ValuesIn(kRuns),
                         [](const testing::TestParamInfo<ScenarioCase> &info) { return std::string(info.param.name); });

// A value outside a key's range is refused by the panel and flagged when
// an application asks for it; under --strict the run fails.
TEST(StateRanges, ThePanelAndTheApplicationsRequestsAreChecked) {
    const std::string dir = mcu_tools_test::test_dir();
    const std::string socket = mcu_tools_test::private_socket_path();
#if MCU_SIM_PANEL
    const std::vector<std::string> panel = {"--http", "0"};
#else
    const std::vector<std::string> panel;  // a build without the panel checks the requests only
#endif
    std::vector<std::string> args = {"--no-console", "--no-version-request", "--strict"};
    args.insert(args.end(), panel.begin(), panel.end());
    Process sim(mcu_tools_test::sim_command(socket, args), dir + "/sim.log");
    ASSERT_TRUE(sim.wait_for_output("listening on")) << sim.output();
    if (!panel.empty()) {
        mcu_tools_test::PanelUrl url;
        ASSERT_TRUE(mcu_tools_test::wait_for_panel(sim, &url)) << sim.output();
        const std::string refused = mcu_tools_test::panel_post(url, "/api/set", "key=audio.volume&value=41");
        EXPECT_NE(refused.find("400"), std::string::npos) << refused;
        EXPECT_NE(refused.find("audio.volume: 41 is out of range: 0 to 40"), std::string::npos) << refused;
        EXPECT_NE(mcu_tools_test::panel_post(url, "/api/set", "key=audio.volume&value=40").find("200 OK"),
                  std::string::npos);
    }

    Client c;
    ASSERT_TRUE(c.connect(socket));
    ASSERT_TRUE(c.send(request_frame("MCU_CMD_SET_TFT_BRIGHTNESS", "value=99")));
    ASSERT_TRUE(c.send(request_frame("MCU_CMD_GET_TFT_BRIGHTNESS")));
    auto answer = c.next_message(mcu_tools_test::message_id("MCU_MSG_RET_TFT_BRIGHTNESS_STATUS"));
    ASSERT_TRUE(answer);
    EXPECT_EQ(mcu_tools_test::message_words(answer->id, answer->payload), "brightness=8");
    EXPECT_EQ(sim.terminate(), 1) << sim.output();
    EXPECT_NE(sim.output().find("#1 !MCU_CMD_SET_TFT_BRIGHTNESS: tft.brightness: 99 is out of range: 0 to 15; "
                                "tft.brightness stays 8"),
              std::string::npos)
        << sim.output();
    EXPECT_NE(sim.output().find("1 flagged"), std::string::npos) << sim.output();
}

}  // namespace
