// mcu-agent-send and mcu-agent-listen against the virtual MCU on a socket
// of the test's own.
#include <gtest/gtest.h>

#include <string>

#include "tool_test_support.h"

namespace {

using namespace mcu_tools_test;

class Shell : public testing::Test {
protected:
    void SetUp() override {
        dir_ = test_dir();
        socket_ = private_socket_path();
    }
    void start_sim() {
        sim_ = std::make_unique<Process>(sim_command(socket_), dir_ + "/sim.out");
        ASSERT_TRUE(sim_->wait_for_output("listening on")) << sim_->output();
    }
    // Runs mcu-agent-send; its exit status, output in `out`.
    int send(const std::vector<std::string> &words, std::string *out) {
        std::vector<std::string> argv = {MCU_AGENT_SEND_PATH, "--socket", socket_, "--wait", "300"};
        argv.insert(argv.end(), words.begin(), words.end());
        Process p(argv, dir_ + "/send.out");
        const int status = p.wait(10000);
        *out = p.output();
        return status;
    }
    std::string dir_, socket_;
    std::unique_ptr<Process> sim_;
};

// The request in words, then the answer in the dump's words; a set changes
// what the next get answers.
TEST_F(Shell, SendPrintsTheRequestAndTheAnswer) {
    start_sim();
    std::string out;
    ASSERT_EQ(send({"MCU_CMD_GET_AUDIO_SOURCE"}, &out), 0) << out;
    EXPECT_NE(out.find("app > MCU_CMD_GET_AUDIO_SOURCE(0x21)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("agent > MCU_MSG_RET_CUR_AUDIO_SOURCE(0x21) audio_source=AUDIO_SOURCE_FM1\n"), std::string::npos)
        << out;
    ASSERT_EQ(send({"SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_AUX"}, &out), 0) << out;
    EXPECT_NE(out.find("app > MCU_CMD_SET_AUDIO_SOURCE(0x20) audio_source=AUDIO_SOURCE_AUX"), std::string::npos);
    ASSERT_EQ(send({"0x21"}, &out), 0) << out;
    EXPECT_NE(out.find("audio_source=AUDIO_SOURCE_AUX"), std::string::npos) << out;
    // It answered the virtual MCU's version requests, as an application does.
    EXPECT_NE(sim_->output().find("version_buffer=\"mcu-agent-send"), std::string::npos) << sim_->output();
}

// Refused before anything is sent: exit status 2 and what is allowed.
TEST_F(Shell, SendRefusesBadCommandsAndFieldsWithWhatIsAllowed) {
    const struct {
        std::vector<std::string> words;
        const char *said;
    } rows[] = {
        {{"MCU_CMD_SEND_HVAC_INFO", "target_blower_level=16"},
         "target_blower_level: 16 is out of range: 0 to 15 (4 bits)"},
        {{"MCU_CMD_SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_NOPE"}, "allowed: audio_source one of"},
        // Zero where the user wrote nothing would hold every HVAC key down;
        // the targets have no neutral value, so they must be given.
        {{"MCU_CMD_SEND_HVAC_INFO", "target_blower_level=15"},
         "give touch_panel_target_letf_tmep, touch_panel_target_right_tmep"},
        {{"MCU_CMD_SET_AUDIO_SOURCE"}, "give audio_source"},
        {{"MCU_CMD_SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_AUX", "audio_source=AUDIO_SOURCE_FM1"},
         "audio_source is given twice"},
        {{"MCU_CMD_SET_AUDIO_SOURCE", "audio_source=200"}, "audio_source: 200 is not a member of AUDIO_SOURCE_ID"},
        {{"MCU_CMD_SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_AUX", "--count", "0"}, "--count takes 1 to"},
        {{"21#0"}, "not ID#HEX"},
        {{"MCU_CMD_SET_AUDIO_SOURCE", "volume=3"}, "MCU_CMD_SET_AUDIO_SOURCE takes:\n  audio_source"},
        {{"MCU_CMD_NO_SUCH"}, "no command MCU_CMD_NO_SUCH"},
        {{"MCU_CMD_SET_RADIO_FREQ", "freq"}, "expected name=value: freq"},
    };
    for (const auto &row : rows) {
        std::string out;
        EXPECT_EQ(send(row.words, &out), 2) << row.words[0];
        EXPECT_NE(out.find(row.said), std::string::npos) << out;
    }
    // Nothing listening: not sent.
    std::string out;
    EXPECT_EQ(send({"MCU_CMD_GET_AUDIO_SOURCE"}, &out), 1) << out;
    EXPECT_NE(out.find("no agent answers at " + socket_), std::string::npos) << out;
}

// Fields left out take their neutral value: every HVAC key released.
// Options may follow the command; the raw form sends id and payload as
// they are, --count times.
TEST_F(Shell, SendLeavesOutFieldsAtTheirNeutralValueAndRepeats) {
    start_sim();
    std::string out;
    ASSERT_EQ(send({"MCU_CMD_SEND_HVAC_INFO", "target_blower_level=15", "touch_panel_target_letf_tmep=20",
                    "touch_panel_target_right_tmep=18", "AC=HVAC_KEY_STATUS_DOWN", "--wait", "100"},
                   &out),
              0)
        << out;
    EXPECT_NE(out.find("maxAC=HVAC_KEY_STATUS_UP AC=HVAC_KEY_STATUS_DOWN recirc=HVAC_KEY_STATUS_UP"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("tmep_plus=HVAC_KEY_STATUS_DOWN"), std::string::npos) << out;
    ASSERT_EQ(send({"21#", "--count", "3", "--interval", "20"}, &out), 0) << out;
    std::size_t sent = 0;
    for (std::size_t at = 0; (at = out.find("app > MCU_CMD_GET_AUDIO_SOURCE(0x21)\n", at)) != std::string::npos; ++at)
        ++sent;
    EXPECT_EQ(sent, 3u) << out;
    ASSERT_EQ(send({"20#09"}, &out), 0) << out;
    EXPECT_NE(out.find("app > MCU_CMD_SET_AUDIO_SOURCE(0x20) audio_source=AUDIO_SOURCE_AUX"), std::string::npos);
}

// What a command takes, asked for plainly: no agent needed, status 0.
TEST_F(Shell, SendListsCommandsAndTheFieldsOfOne) {
    const struct {
        std::vector<std::string> words;
        const char *said;
    } rows[] = {
        {{"--list"}, "0x21 MCU_CMD_GET_AUDIO_SOURCE\n"},
        {{"help", "SEND_HVAC_INFO"}, "  maxAC one of HVAC_KEY_STATUS_DOWN HVAC_KEY_STATUS_UP HVAC_KEY_STATUS_MAX_ID; "
                                     "left out: HVAC_KEY_STATUS_UP\n"},
        {{"help", "0xFA"}, "  target_blower_level 0 to 15 (4 bits)\n"},
    };
    for (const auto &row : rows) {
        std::string out;
        EXPECT_EQ(send(row.words, &out), 0) << row.words[0];
        EXPECT_NE(out.find(row.said), std::string::npos) << out;
    }
}

// Started before the agent, it says it waits and connects once the agent
// listens; --id takes the dump's lists and !ID, -t its times, and the
// capture reads through the dump.
TEST_F(Shell, ListenWaitsForAnAgentNotUpYet) {
    const std::string trace = dir_ + "/listen.log";
    Process listen({MCU_AGENT_LISTEN_PATH, "--socket", socket_, "--id", "!MCU_MSG_GET_VERSION_INFO,!0x05", "-t", "z",
                    "--capture", trace},
                   dir_ + "/listen.out");
    ASSERT_TRUE(listen.wait_for_output("waiting for the agent at " + socket_)) << listen.output();
    start_sim();
    ASSERT_TRUE(listen.wait_for_output("connected", 8000)) << listen.output();
    ASSERT_TRUE(sim_->wait_for_output("app > MCU_CMD_RET_VERSION_INFO(0x0F)")) << sim_->output();
    sim_->write_stdin("key HARD_KEY_POWER\npower off\n");
    EXPECT_TRUE(listen.wait_for_output(") agent > MCU_MSG_RET_HARD_KEY(0x04) key=HARD_KEY_POWER\n")) << listen.output();
    EXPECT_TRUE(listen.wait_for_output("(000.")) << listen.output();
    EXPECT_EQ(listen.terminate(), 0);
    EXPECT_EQ(listen.output().find("MCU_MSG_RET_POWER_KEY"), std::string::npos) << listen.output();
    Process dump({MCU_AGENT_DUMP_PATH, trace}, dir_ + "/dump.out");
    EXPECT_EQ(dump.wait(), 0) << dump.output();
    EXPECT_NE(dump.output().find("agent > MCU_MSG_RET_HARD_KEY(0x04) key=HARD_KEY_POWER"), std::string::npos)
        << dump.output();
}

// The demo says where it looked for the agent: MCU_AGENT_SOCKET.
TEST_F(Shell, TheDemoNamesTheSocketItCouldNotReach) {
    ::setenv("MCU_AGENT_SOCKET", socket_.c_str(), 1);
    Process demo({MCU_AGENT_DEMO_PATH}, dir_ + "/demo.out");
    EXPECT_EQ(demo.wait(), 2);
    EXPECT_NE(demo.output().find("cannot reach the agent on " + socket_ + ":"), std::string::npos) << demo.output();
}

// A key pressed at the virtual MCU's console arrives at the listener; --id
// keeps only the ids asked for, and --capture holds the library's trace.
TEST_F(Shell, ListenPrintsAKeyPressedAtTheConsole) {
    start_sim();
    const std::string trace = dir_ + "/listen.log";
    Process listen({MCU_AGENT_LISTEN_PATH, "--socket", socket_, "--id", "MCU_MSG_RET_HARD_KEY", "--id", "0x05",
                    "--capture", trace},
                   dir_ + "/listen.out");
    ASSERT_TRUE(listen.wait_for_output("connected")) << listen.output();
    ASSERT_TRUE(sim_->wait_for_output("app > MCU_CMD_RET_VERSION_INFO(0x0F)")) << sim_->output();
    sim_->write_stdin("key HARD_KEY_POWER\npower off\nhvac blower_level=5\n");
    EXPECT_TRUE(listen.wait_for_output("agent > MCU_MSG_RET_HARD_KEY(0x04) key=HARD_KEY_POWER\n")) << listen.output();
    EXPECT_TRUE(listen.wait_for_output("agent > MCU_MSG_RET_POWER_KEY(0x05)")) << listen.output();
    EXPECT_EQ(listen.terminate(), 0);
    const std::string out = listen.output();
    EXPECT_EQ(out.find("MCU_MSG_GET_VERSION_INFO"), std::string::npos) << out;
    EXPECT_EQ(out.find("MCU_MSG_RET_HVAC_INFO"), std::string::npos) << out;
    const std::string captured = read_file(trace);
    EXPECT_NE(captured.find("agent > 04#"), std::string::npos) << captured;
    EXPECT_NE(captured.find("app > 0F#"), std::string::npos) << captured;
}

}  // namespace
