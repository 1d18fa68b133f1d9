// frame_view_test.cpp - --id, -t and --direction: one table through the
// dump's option parser and dump, and the tap printing with the same
// options while its capture keeps everything.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "dump.h"
#include "tool_test_support.h"

namespace {

const char kCapture[] =
    "(1733590000.100000) #1 connect /tmp/mcu_agent\n"
    "(1733590000.123456) #1 app > 21#\n"
    "(1733590000.124012) #1 agent > 21#07\n"
    "(1733590000.130001) #1 app > 0E#01\n"
    "(1733590000.130501) #1 app ! BAAB00002100FF\n"
    "(1733590000.200000) #1 disconnect\n";

struct ViewRow {
    const char *name;
    std::vector<std::string> args;
    std::vector<std::string> lines;  // the start of each line shown; {"!..."} for a refused option
};

const ViewRow kRows[] = {
    {"Everything", {},
     {"(1733590000.100000) #1 connect", "(1733590000.123456) #1 app > MCU_CMD_GET_AUDIO_SOURCE",
      "(1733590000.124012) #1 agent > MCU_MSG_RET_CUR_AUDIO_SOURCE", "(1733590000.130001) #1 app > MCU_CMD_RET_ALIVE",
      "(1733590000.130501) #1 app ! ", "(1733590000.200000) #1 disconnect"}},
    {"NumberBothDirections", {"--id", "0x21"},
     {"(1733590000.100000) #1 connect", "(1733590000.123456) #1 app > MCU_CMD_GET_AUDIO_SOURCE",
      "(1733590000.124012) #1 agent > MCU_MSG_RET_CUR_AUDIO_SOURCE", "(1733590000.200000) #1 disconnect"}},
    {"DecimalNumber", {"--id", "14"},
     {"(1733590000.100000) #1 connect", "(1733590000.130001) #1 app > MCU_CMD_RET_ALIVE",
      "(1733590000.200000) #1 disconnect"}},
    {"CommandName", {"--id", "GET_AUDIO_SOURCE"},
     {"(1733590000.100000) #1 connect", "(1733590000.123456) #1 app > MCU_CMD_GET_AUDIO_SOURCE",
      "(1733590000.200000) #1 disconnect"}},
    {"MessageName", {"--id", "MCU_MSG_RET_CUR_AUDIO_SOURCE"},
     {"(1733590000.100000) #1 connect", "(1733590000.124012) #1 agent > MCU_MSG_RET_CUR_AUDIO_SOURCE",
      "(1733590000.200000) #1 disconnect"}},
    {"ListOverTwoOptions", {"--id", "MCU_CMD_RET_ALIVE", "--id", "MCU_MSG_RET_CUR_AUDIO_SOURCE"},
     {"(1733590000.100000) #1 connect", "(1733590000.124012) #1 agent > MCU_MSG_RET_CUR_AUDIO_SOURCE",
      "(1733590000.130001) #1 app > MCU_CMD_RET_ALIVE", "(1733590000.200000) #1 disconnect"}},
    {"Exclude", {"--id", "!0x21,!0x0E"},
     {"(1733590000.100000) #1 connect", "(1733590000.130501) #1 app ! ", "(1733590000.200000) #1 disconnect"}},
    {"Direction", {"--direction", "agent"},
     {"(1733590000.100000) #1 connect", "(1733590000.124012) #1 agent > MCU_MSG_RET_CUR_AUDIO_SOURCE",
      "(1733590000.200000) #1 disconnect"}},
    {"Delta", {"-t", "d", "--direction", "app"},
     {"(000.000000) #1 connect", "(000.023456) #1 app > MCU_CMD_GET_AUDIO_SOURCE", "(000.006545) #1 app > MCU_CMD_RET_ALIVE",
      "(000.000500) #1 app ! ", "(000.069499) #1 disconnect"}},
    {"SinceTheFirst", {"-t", "z", "--id", "0x21"},
     {"(000.000000) #1 connect", "(000.023456) #1 app > MCU_CMD_GET_AUDIO_SOURCE",
      "(000.024012) #1 agent > MCU_MSG_RET_CUR_AUDIO_SOURCE", "(000.100000) #1 disconnect"}},
    {"UnknownName", {"--id", "MCU_CMD_NOPE"}, {"!--id: no command or message MCU_CMD_NOPE"}},
    {"BadTimes", {"-t", "x"}, {"!-t takes a (absolute), d (delta to the line before) or z"}},
    {"BadDirection", {"--direction", "both"}, {"!--direction takes app or agent"}},
    {"NoValue", {"--id"}, {"!--id needs a value"}},
};

void PrintTo(const ViewRow &row, std::ostream *os) { *os << row.name; }

class FrameView : public testing::TestWithParam<ViewRow> {};

TEST_P(FrameView, ShowsTheChosenFramesWithTheirTimes) {
    const ViewRow &row = GetParam();
    mcu_dump::DumpOptions options;
    std::vector<std::string> argv_text = {"mcu-agent-dump"};
    argv_text.insert(argv_text.end(), row.args.begin(), row.args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_text) argv.push_back(a.data());
    std::string error;
    for (int i = 1; i < static_cast<int>(argv.size()); ++i) {
        if (!options.view.take_option(static_cast<int>(argv.size()), argv.data(), &i, &error)) break;
    }
    if (row.lines.size() == 1 && row.lines[0][0] == '!') {
        EXPECT_NE(error.find(row.lines[0].substr(1)), std::string::npos) << error;
        return;
    }
    ASSERT_EQ(error, "");
    std::istringstream in(kCapture);
    std::ostringstream out, err;
    EXPECT_EQ(mcu_dump::dump_stream(in, out, err, "in", options), 0) << err.str();
    std::vector<std::string> got;
    std::istringstream lines(out.str());
    for (std::string l; std::getline(lines, l);) got.push_back(l);
    ASSERT_EQ(got.size(), row.lines.size()) << out.str();
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].rfind(row.lines[i], 0), 0u) << got[i];
}

INSTANTIATE_TEST_SUITE_P(Rows, FrameView, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<ViewRow> &info) { return std::string(info.param.name); });

// The tap prints what the options choose, with times since the first
// line; its capture keeps every frame.
TEST(TapView, PrintsTheChosenFramesAndCapturesAll) {
    const std::string dir = mcu_tools_test::test_dir();
    const std::string agent = mcu_tools_test::private_socket_path(), listen = mcu_tools_test::private_socket_path();
    mcu_tools_test::Process sim(mcu_tools_test::sim_command(agent, {"--no-console", "--no-version-request"}),
                                dir + "/sim.log");
    ASSERT_TRUE(sim.wait_for_output("listening on")) << sim.output();
    mcu_tools_test::Process tap({MCU_AGENT_TAP_PATH, "--listen", listen, "--agent", agent, "--capture",
                                 dir + "/tap.capture", "--id", "MCU_MSG_RET_CUR_AUDIO_SOURCE", "-t", "z"},
                                dir + "/tap.log");
    ASSERT_TRUE(tap.wait_for_output("listening on")) << tap.output();
    {
        mcu_tools_test::Client c;
        ASSERT_TRUE(c.connect(listen));
        ASSERT_TRUE(c.send(mcu_tools_test::request_frame("MCU_CMD_GET_AUDIO_SOURCE")));
        ASSERT_TRUE(c.next_message(mcu_tools_test::message_id("MCU_MSG_RET_CUR_AUDIO_SOURCE")));
        ASSERT_TRUE(c.send(mcu_tools_test::request_frame("MCU_CMD_GET_RADIO_NOTIFY")));
        ASSERT_TRUE(c.next_message(mcu_tools_test::message_id("MCU_MSG_RET_RADIO_NOTIFY")));
    }
    ASSERT_TRUE(tap.wait_for_output("closed the connection")) << tap.output();
    EXPECT_EQ(tap.terminate(), 0);
    const std::string printed = tap.output();
    EXPECT_NE(printed.find("(000.000000) #1 agent > MCU_MSG_RET_CUR_AUDIO_SOURCE(0x21)"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("app >"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("RADIO_NOTIFY"), std::string::npos) << printed;
    const std::string captured = mcu_tools_test::read_file(dir + "/tap.capture");
    EXPECT_NE(captured.find("#1 app > 50#"), std::string::npos) << captured;
    EXPECT_NE(captured.find("#1 agent > 50#"), std::string::npos) << captured;
}

}  // namespace
