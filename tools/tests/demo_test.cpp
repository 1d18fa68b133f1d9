// demo_test.cpp - the demo application against the virtual MCU, end to
// end, on the library's own socket path: every request of the tour is
// answered, every answer is printed by name, and the virtual MCU flags
// nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "capture.h"
#include "tool_test_support.h"

namespace {

TEST(Demo, TheTourRunsAgainstTheVirtualMcu) {
    const std::string dir = mcu_tools_test::test_dir();
    mcu_tools_test::Process sim(mcu_tools_test::sim_command("/tmp/mcu_agent", {"--no-console"}), dir + "/sim.log");
    ASSERT_TRUE(sim.wait_for_output("listening on /tmp/mcu_agent")) << sim.output();

    mcu_tools_test::Process demo({MCU_AGENT_DEMO_PATH}, dir + "/demo.log");
    ASSERT_EQ(demo.wait(30000), 0) << demo.output();
    const std::string out = demo.output();
    EXPECT_NE(out.find(", 0 missing"), std::string::npos) << out;
    for (const char *line : {
             "<- MCU_MSG_GET_VERSION_INFO(0x0F) type=VERSION_TYPE_HMI",
             "<- MCU_MSG_RET_MB_VERSION(0x03) MB_version=258 MB_checksum=4660 CD_version=\"CD001\" Panel_version=7",
             "<- MCU_MSG_RET_CUR_AUDIO_SOURCE(0x21) audio_source=AUDIO_SOURCE_BT_AUDIO",
             "<- MCU_MSG_RET_AUDIO_VOLUME_INFO(0x31) audio_type=AUDIO_VOLUME_TYPE volume_values=20",
             "<- MCU_MSG_RET_RADIO_NOTIFY(0x50) band=RADIO_BAND_FM1 preset_num=4 status=RADIO_STATUS_NORMAL cur_freq=10110",
             "<- MCU_MSG_RET_RADIO_PRESET_INFO(0x51) band=RADIO_BAND_FM1 preset_freq=[8750,10380,9810,10110,10610,10800]",
             "<- MCU_MSG_RET_RTC_CLOCK_INFO(0x13) rtc_mode=RTC_MODE_24HOURS hours=13 minutes=45 seconds=30 year=2024",
             "<- MCU_MSG_RET_TFT_BRIGHTNESS_STATUS(0xA9) brightness=6",
             "<- MCU_MSG_RET_TFT_VIDEO_SOURCE(0xA1) video_source=VIDEO_SOURCE_CAMERA video_type=VIDEO_TYPE_720P",
             "<- MCU_MSG_RET_HVAC_INFO(0xFA) hvac_status=1",
         })
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;

    EXPECT_EQ(sim.terminate(), 0);
    const std::string log = sim.output();
    EXPECT_NE(log.find("#1 version request answered"), std::string::npos) << log;
    EXPECT_NE(log.find("#1 disconnected"), std::string::npos) << log;
    // Every frame of the demo was valid and every answer was built.
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.find(" !"), std::string::npos) << line;
        EXPECT_EQ(line.find("cannot build"), std::string::npos) << line;
    }
}

// The demo's own capture, replayed with answers, serves the demo again:
// every request it makes is answered from the capture.
TEST(Demo, AReplayOfItsCaptureAnswersEveryRequest) {
    const std::string dir = mcu_tools_test::test_dir();
    const std::string capture = dir + "/demo-capture.log";
    {
        mcu_tools_test::Process sim(
            mcu_tools_test::sim_command("/tmp/mcu_agent", {"--no-console", "--capture", capture}), dir + "/sim.log");
        ASSERT_TRUE(sim.wait_for_output("listening on /tmp/mcu_agent")) << sim.output();
        mcu_tools_test::Process demo({MCU_AGENT_DEMO_PATH}, dir + "/demo.log");
        ASSERT_EQ(demo.wait(30000), 0) << demo.output();
        EXPECT_EQ(sim.terminate(), 0);
    }
    mcu_tools_test::Process replay(
        mcu_tools_test::sim_command("/tmp/mcu_agent", {"--no-console", "--replay", capture, "--answer", "--strict"}),
        dir + "/replay.log");
    ASSERT_TRUE(replay.wait_for_output("listening on /tmp/mcu_agent")) << replay.output();
    mcu_tools_test::Process demo({MCU_AGENT_DEMO_PATH}, dir + "/replayed-demo.log");
    EXPECT_EQ(demo.wait(30000), 0) << demo.output();
    EXPECT_NE(demo.output().find(", 0 missing"), std::string::npos) << demo.output();
    EXPECT_EQ(replay.terminate(), 0) << replay.output();
    EXPECT_NE(replay.output().find(" 0 flagged,"), std::string::npos) << replay.output();
}

// The library's own capture (MCU_AGENT_TRACE) of the demo holds the frames
// the virtual MCU saw, reads through the dump, and a replay of it with
// answers serves the demo again.
TEST(Demo, TheLibrarysTraceIsACaptureTheToolsRead) {
    const std::string dir = mcu_tools_test::test_dir();
    const std::string own = dir + "/sim-capture.log", trace = dir + "/trace.log";
    {
        mcu_tools_test::Process sim(mcu_tools_test::sim_command("/tmp/mcu_agent", {"--no-console", "--capture", own}),
                                    dir + "/sim.log");
        ASSERT_TRUE(sim.wait_for_output("listening on /tmp/mcu_agent")) << sim.output();
        ::setenv("MCU_AGENT_TRACE", trace.c_str(), 1);
        mcu_tools_test::Process demo({MCU_AGENT_DEMO_PATH}, dir + "/demo.log");
        ::unsetenv("MCU_AGENT_TRACE");
        ASSERT_EQ(demo.wait(30000), 0) << demo.output();
        EXPECT_EQ(sim.terminate(), 0);
    }
    // The same frames in each direction, on connection #1.
    auto frames = [](const std::string &path, mcu_protocol::Direction d) {
        std::vector<mcu_protocol::CaptureRecord> records;
        std::string error;
        EXPECT_TRUE(mcu_protocol::read_capture_file(path, &records, &error)) << error;
        std::vector<std::string> out;
        for (mcu_protocol::CaptureRecord r : records)
            if (r.event == mcu_protocol::CaptureEvent::Frame && r.direction == d) {
                r.stamp_us = 0;
                out.push_back(mcu_protocol::format_capture(r));
            }
        return out;
    };
    for (auto d : {mcu_protocol::Direction::App, mcu_protocol::Direction::Agent}) {
        const std::vector<std::string> traced = frames(trace, d);
        EXPECT_GE(traced.size(), 20u);
        EXPECT_EQ(traced, frames(own, d));
    }
    EXPECT_NE(mcu_tools_test::read_file(trace).find(" #1 connect /tmp/mcu_agent"), std::string::npos);

    mcu_tools_test::Process dump({MCU_AGENT_DUMP_PATH, trace}, dir + "/dump.txt");
    EXPECT_EQ(dump.wait(), 0) << dump.output();

    mcu_tools_test::Process replay(
        mcu_tools_test::sim_command("/tmp/mcu_agent", {"--no-console", "--replay", trace, "--answer", "--strict"}),
        dir + "/replay.log");
    ASSERT_TRUE(replay.wait_for_output("listening on /tmp/mcu_agent")) << replay.output();
    mcu_tools_test::Process demo({MCU_AGENT_DEMO_PATH}, dir + "/replayed-demo.log");
    EXPECT_EQ(demo.wait(30000), 0) << demo.output();
    EXPECT_NE(demo.output().find(", 0 missing"), std::string::npos) << demo.output();
    EXPECT_EQ(replay.terminate(), 0) << replay.output();
}

}  // namespace
