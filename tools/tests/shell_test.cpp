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
         "target_blower_level=16 does not fit its 4 bits (0 to 15)"},
        {{"MCU_CMD_SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_NOPE"}, "allowed: audio_source 0 to 255, or one of"},
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
