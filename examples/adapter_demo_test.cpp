// adapter_demo_test.cpp - a main-loop adapter's demo (ADAPTER_DEMO_PATH;
// the test suite is named ADAPTER_DEMO_SUITE) against the virtual MCU on a
// socket of its own: it answers the version request, every request made
// from a completion is answered, and every delivery ran on the main thread.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "tool_test_support.h"

namespace {

TEST(ADAPTER_DEMO_SUITE, TheTourRunsOnTheMainThreadAgainstTheVirtualMcu) {
    const std::string dir = mcu_tools_test::test_dir();
    const std::string socket = mcu_tools_test::private_socket_path();
    mcu_tools_test::Process sim(mcu_tools_test::sim_command(socket, {"--no-console"}), dir + "/sim.log");
    ASSERT_TRUE(sim.wait_for_output("listening on " + socket)) << sim.output();

    ::setenv("MCU_AGENT_SOCKET", socket.c_str(), 1);
    mcu_tools_test::Process demo({ADAPTER_DEMO_PATH}, dir + "/demo.log");
    ASSERT_EQ(demo.wait(30000), 0) << demo.output();
    const std::string out = demo.output();
    for (const char *line : {
             "connection: up",
             "<- MCU_MSG_RET_MB_VERSION(0x03) MB_version=258",
             "   McuAgent_get_audio_source: answered, MCU_MSG_RET_CUR_AUDIO_SOURCE",
             "4 of 4 requests answered; deliveries off the main thread: 0",
         })
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;

    EXPECT_EQ(sim.terminate(), 0);
    EXPECT_NE(sim.output().find("#1 version request answered"), std::string::npos) << sim.output();
}

}  // namespace
