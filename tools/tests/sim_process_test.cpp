// sim_process_test.cpp - mcu-agent-sim as a program on a private socket:
// the version handshake, answers and checks, several applications, the
// console, scenarios, capture -> dump -> replay, and reading on while an
// application does not read.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "capture.h"
#include "tool_test_support.h"
#include "words.h"

namespace {

using mcu_protocol::Bytes;
using mcu_tools_test::Client;
using mcu_tools_test::message_id;
using mcu_tools_test::message_words;
using mcu_tools_test::Process;
using mcu_tools_test::request_frame;
using Clock = std::chrono::steady_clock;

class SimProcess : public testing::Test {
protected:
    void SetUp() override {
        dir_ = mcu_tools_test::test_dir();
        socket_ = mcu_tools_test::private_socket_path();
    }

    void start(std::vector<std::string> extra = {}, bool console = false) {
        if (!console) extra.push_back("--no-console");
        sim_ = std::make_unique<Process>(mcu_tools_test::sim_command(socket_, extra), dir_ + "/sim.log");
        ASSERT_TRUE(sim_->wait_for_output("listening on")) << sim_->output();
    }

    // Connects and answers the version request.
    void join(Client &c) {
        ASSERT_TRUE(c.connect(socket_));
        ASSERT_TRUE(c.next_message(message_id("MCU_MSG_GET_VERSION_INFO")));
        ASSERT_TRUE(c.send(request_frame("MCU_CMD_RET_VERSION_INFO", "type=VERSION_TYPE_HMI version_buffer=test")));
    }

    // The words of the answer `message` to a request.
    std::string ask(Client &c, const std::string &command, const std::string &words, const std::string &message) {
        EXPECT_TRUE(c.send(request_frame(command, words)));
        auto answer = c.next_message(message_id(message));
        return answer ? message_words(answer->id, answer->payload) : "(no answer)";
    }

    std::string dir_;
    std::string socket_;
    std::unique_ptr<Process> sim_;
};

TEST_F(SimProcess, AsksEveryApplicationForItsVersionAndChecksTheAnswer) {
    start({"--version-timeout", "1000"});
    Client a, b, c;
    ASSERT_TRUE(a.connect(socket_));
    auto request = a.next();
    ASSERT_TRUE(request && request->is_frame);
    EXPECT_EQ(request->id, message_id("MCU_MSG_GET_VERSION_INFO"));
    EXPECT_EQ(message_words(request->id, request->payload), "type=VERSION_TYPE_HMI");
    ASSERT_TRUE(a.send(request_frame("MCU_CMD_RET_VERSION_INFO", "type=VERSION_TYPE_HMI version_buffer=hmi-1")));
    EXPECT_TRUE(sim_->wait_for_output("#1 version request answered in "));
    EXPECT_TRUE(sim_->wait_for_output("#1 mcu: the application reports VERSION_TYPE_HMI version \"hmi-1\""));

    ASSERT_TRUE(b.connect(socket_));
    ASSERT_TRUE(b.next());
    ASSERT_TRUE(b.send(request_frame("MCU_CMD_RET_VERSION_INFO", "type=VERSION_TYPE_BT version_buffer=bt")));
    EXPECT_TRUE(
        sim_->wait_for_output("#2 !version answer has type VERSION_TYPE_BT, the request asked for VERSION_TYPE_HMI"));

    ASSERT_TRUE(c.connect(socket_));
    EXPECT_TRUE(sim_->wait_for_output("#3 !no answer to the version request within 1000 ms", 5000)) << sim_->output();
    EXPECT_EQ(sim_->output().find("#1 !no answer"), std::string::npos);
}

TEST_F(SimProcess, AnswersRequestsAndFlagsEveryBadFrame) {
    start();
    Client c;
    join(c);
    EXPECT_EQ(ask(c, "MCU_CMD_GET_AUDIO_SOURCE", "", "MCU_MSG_RET_CUR_AUDIO_SOURCE"), "audio_source=AUDIO_SOURCE_FM1");

    struct Bad {
        Bytes bytes;
        const char *logged;
    } bad[] = {
        {{0xBA, 0xAB, 0x00, 0x00, 0x21, 0x00, 0x22}, "#1 app > MCU_CMD_GET_AUDIO_SOURCE(0x21) !checksum 22, expected 21"},
        {mcu_protocol::app_frame(0x99, {}), "#1 app > unknown command 0x99 !unknown command 99"},
        {mcu_protocol::app_frame(0x20, {0x09, 0x00}),
         "#1 app > MCU_CMD_SET_AUDIO_SOURCE(0x20) audio_source=AUDIO_SOURCE_AUX !length 2, takes 1"},
        {mcu_protocol::agent_frame(0x21, {}), "#1 app > MCU_MSG_RET_CUR_AUDIO_SOURCE(0x21)"},
        {{0x12, 0x34}, "#1 ? 2 bytes outside any frame: 1234"},
    };
    for (const Bad &b : bad) {
        ASSERT_TRUE(c.send(b.bytes));
        EXPECT_TRUE(c.quiet(200)) << b.logged << ": a bad frame is not answered";
    }
    // The stream recovers: the next good request is answered, and the bad
    // SET_AUDIO_SOURCE changed nothing.
    EXPECT_EQ(ask(c, "MCU_CMD_GET_AUDIO_SOURCE", "", "MCU_MSG_RET_CUR_AUDIO_SOURCE"), "audio_source=AUDIO_SOURCE_FM1");
    const std::string log = sim_->output();
    for (const Bad &b : bad) EXPECT_NE(log.find(b.logged), std::string::npos) << b.logged << "\n" << log;
    EXPECT_NE(log.find("!lead bytes AB BA belong to the agent's frames"), std::string::npos);
}

TEST_F(SimProcess, ServesSeveralApplicationsAtOnce) {
    start({}, true);
    Client a, b;
    join(a);
    join(b);
    ASSERT_TRUE(a.send(request_frame("MCU_CMD_SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_AUX")));
    EXPECT_TRUE(sim_->wait_for_output("#1 mcu: audio_source: AUDIO_SOURCE_FM1 -> AUDIO_SOURCE_AUX"));
    // One MCU behind both: b sees a's change, and only the asker is answered.
    EXPECT_EQ(ask(b, "MCU_CMD_GET_AUDIO_SOURCE", "", "MCU_MSG_RET_CUR_AUDIO_SOURCE"), "audio_source=AUDIO_SOURCE_AUX");
    EXPECT_TRUE(a.quiet(200));
    // Console messages go to every application.
    sim_->write_stdin("key HARD_KEY_POWER\n");
    for (Client *c : {&a, &b}) {
        auto key = c->next_message(message_id("MCU_MSG_RET_HARD_KEY"));
        ASSERT_TRUE(key);
        EXPECT_EQ(message_words(key->id, key->payload), "key=HARD_KEY_POWER");
    }
    a.close();
    EXPECT_TRUE(sim_->wait_for_output("#1 disconnected"));
    EXPECT_EQ(ask(b, "MCU_CMD_GET_TFT_BRIGHTNESS", "", "MCU_MSG_RET_TFT_BRIGHTNESS_STATUS"), "brightness=8");
}

TEST_F(SimProcess, ConsoleCommandsReachTheApplication) {
    start({}, true);
    Client c;
    join(c);
    struct Row {
        const char *line;
        const char *message;
        const char *words;  // part of the message in words
    } rows[] = {
        {"send MCU_MSG_RET_HVAC_INFO AC_on_off=0", "MCU_MSG_RET_HVAC_INFO", "AC_on_off=0 recirc_on_off=0"},
        {"raw 04 01 13", "MCU_MSG_RET_HARD_KEY", "key=HARD_KEY_TUNE_UP"},
        {"turn cw 3", "MCU_MSG_RET_IT_COMMANDER_INFO", "encoder=ENCODER_CW_3PULSE"},
        {"power off", "MCU_MSG_RET_POWER_KEY", "power_status=POWER_STATUS_OFF power_mode=POWER_MODE_USER_OFF"},
        {"version VERSION_TYPE_BT", "MCU_MSG_GET_VERSION_INFO", "type=VERSION_TYPE_BT"},
    };
    for (const Row &row : rows) {
        sim_->write_stdin(std::string(row.line) + "\n");
        auto m = c.next_message(message_id(row.message));
        ASSERT_TRUE(m) << row.line;
        EXPECT_NE(message_words(m->id, m->payload).find(row.words), std::string::npos)
            << row.line << ": " << message_words(m->id, m->payload);
    }
    sim_->write_stdin("garbage 12 34\n");
    auto g = c.next();
    ASSERT_TRUE(g);
    EXPECT_FALSE(g->is_frame);
    EXPECT_EQ(mcu_protocol::hex(g->raw), "1234");

    sim_->write_stdin("set radio.freq 10800\nget audio_source\n");
    EXPECT_TRUE(sim_->wait_for_output("audio_source = AUDIO_SOURCE_FM1"));
    EXPECT_EQ(ask(c, "MCU_CMD_GET_RADIO_NOTIFY", "", "MCU_MSG_RET_RADIO_NOTIFY"),
              "band=RADIO_BAND_FM1 preset_num=3 status=RADIO_STATUS_NORMAL cur_freq=10800");
    sim_->write_stdin("frobnicate\n");
    EXPECT_TRUE(sim_->wait_for_output("unknown command frobnicate"));

    sim_->write_stdin("quit\n");
    EXPECT_EQ(sim_->wait(), 0);
    struct stat st;
    EXPECT_NE(::stat(socket_.c_str(), &st), 0) << "the socket file is removed";
}

TEST_F(SimProcess, AScenarioRunsFromTheFirstConnection) {
    const std::string scenario = dir_ + "/trip.scenario";
    mcu_tools_test::write_file(scenario, "# a short trip\n0.3 key HARD_KEY_POWER\n0.6 power off\n");
    start({"--scenario", scenario});
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // nothing runs before a connection
    Client c;
    join(c);
    const auto t0 = Clock::now();
    auto since = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(); };
    ASSERT_TRUE(c.next_message(message_id("MCU_MSG_RET_HARD_KEY")));
    EXPECT_GE(since(), 200);
    ASSERT_TRUE(c.next_message(message_id("MCU_MSG_RET_POWER_KEY")));
    EXPECT_GE(since(), 500);
    EXPECT_TRUE(sim_->wait_for_output("scenario: done"));
    EXPECT_NE(sim_->output().find("scenario line 2: key HARD_KEY_POWER"), std::string::npos);
}

std::vector<mcu_protocol::CaptureRecord> records(const std::string &path) {
    std::vector<mcu_protocol::CaptureRecord> out;
    std::istringstream in(mcu_tools_test::read_file(path));
    std::string line, error;
    while (std::getline(in, line)) {
        mcu_protocol::CaptureRecord r;
        const auto kind = mcu_protocol::parse_capture(line, &r, &error);
        EXPECT_NE(kind, mcu_protocol::LineKind::Bad) << line << ": " << error;
        if (kind == mcu_protocol::LineKind::Record) out.push_back(r);
    }
    return out;
}

// The agent's side of a capture, without the stamps.
std::vector<std::string> agent_side(const std::vector<mcu_protocol::CaptureRecord> &rs) {
    std::vector<std::string> out;
    for (mcu_protocol::CaptureRecord r : rs) {
        if (r.event != mcu_protocol::CaptureEvent::Frame || r.direction != mcu_protocol::Direction::Agent) continue;
        r.stamp_us = 0;
        r.connection = 0;
        out.push_back(mcu_protocol::format_capture(r));
    }
    return out;
}

TEST_F(SimProcess, ACaptureDumpsAndReplaysAsTheSameFrames) {
    const std::string first = dir_ + "/first.log", second = dir_ + "/second.log";
    start({"--capture", first}, true);
    {
        Client c;
        join(c);
        ask(c, "MCU_CMD_SET_RADIO_FREQ", "freq=10110", "MCU_MSG_RET_RADIO_NOTIFY");
        ask(c, "MCU_CMD_GET_RADIO_PRESET_INFO", "band=RADIO_BAND_FM2", "MCU_MSG_RET_RADIO_PRESET_INFO");
        ask(c, "MCU_CMD_SET_RADIO_SEEK_UP", "", "MCU_MSG_RET_RADIO_NOTIFY");
        ASSERT_TRUE(c.send({0xBA, 0xAB, 0x00, 0x00, 0x21, 0x00, 0x22}));
        sim_->write_stdin("garbage 01 02\nkey HARD_KEY_MENU\n");
        ASSERT_TRUE(c.next_message(message_id("MCU_MSG_RET_HARD_KEY")));
    }
    EXPECT_TRUE(sim_->wait_for_output("#1 disconnected"));
    EXPECT_EQ(sim_->terminate(), 0);
    const auto captured = records(first);
    const std::vector<std::string> agent = agent_side(captured);
    ASSERT_GE(agent.size(), 7u);  // version request, 4 answers, garbage, key

    // The dump: one line per record, each in words.
    Process dump({MCU_AGENT_DUMP_PATH, first}, dir_ + "/dump.txt");
    ASSERT_EQ(dump.wait(), 0) << dump.output();
    std::istringstream lines(dump.output());
    std::string line;
    std::size_t n = 0;
    while (std::getline(lines, line)) {
        ++n;
        EXPECT_TRUE(line.find("MCU_MSG_") != std::string::npos || line.find("MCU_CMD_") != std::string::npos ||
                    line.find("outside any frame") != std::string::npos || line.find("#1 connect") != std::string::npos ||
                    line.find("#1 disconnect") != std::string::npos)
            << line;
    }
    EXPECT_EQ(n, captured.size());
    EXPECT_NE(dump.output().find("app ! MCU_CMD_GET_AUDIO_SOURCE(0x21) !checksum 22, expected 21"), std::string::npos);
    EXPECT_NE(dump.output().find("agent > MCU_MSG_RET_HARD_KEY(0x04) key=HARD_KEY_MENU"), std::string::npos);

    // The replay: the same agent frames reach a new application, and only
    // those.
    socket_ = mcu_tools_test::private_socket_path();
    sim_ = std::make_unique<Process>(
        mcu_tools_test::sim_command(socket_, {"--replay", first, "--fast", "--capture", second, "--no-console"}),
        dir_ + "/replay.log");
    ASSERT_TRUE(sim_->wait_for_output("listening on"));
    Client c;
    ASSERT_TRUE(c.connect(socket_));
    std::vector<std::string> received;
    while (auto p = c.next(500)) {
        mcu_protocol::CaptureRecord r = mcu_protocol::capture_of(*p, 0);
        r.direction = mcu_protocol::Direction::Agent;  // garbage has no lead bytes to tell
        received.push_back(mcu_protocol::format_capture(r));
    }
    EXPECT_EQ(received, agent);
    ASSERT_TRUE(c.send(request_frame("MCU_CMD_GET_AUDIO_SOURCE")));
    EXPECT_TRUE(c.quiet(300)) << "a replay answers nothing";
    EXPECT_TRUE(sim_->wait_for_output("#1 replay done: " + std::to_string(agent.size()) + " frames"));
    EXPECT_EQ(sim_->terminate(), 0);
    EXPECT_EQ(agent_side(records(second)), agent);
}

TEST_F(SimProcess, AReplayKeepsTheCapturesTiming) {
    const std::string capture = dir_ + "/timed.log";
    mcu_tools_test::write_file(capture,
                               "(100.000000) agent > 04#12\n"
                               "(100.100000) app > 21#\n"
                               "(100.300000) agent > 04#13\n"
                               "(100.600000) agent > 04#14\n");
    start({"--replay", capture});
    Client c;
    ASSERT_TRUE(c.connect(socket_));
    const auto t0 = Clock::now();
    std::vector<long> at;
    while (auto p = c.next(1500)) {
        at.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
        if (at.size() == 3) break;
    }
    ASSERT_EQ(at.size(), 3u);
    EXPECT_LT(at[0], 150);
    EXPECT_GE(at[1], 250);
    EXPECT_GE(at[2], 550);
    EXPECT_LT(at[2], 1200);
}

// The application neither reads nor stops writing: the virtual MCU goes on
// reading its requests while the answers wait in the queue.
TEST_F(SimProcess, KeepsReadingWhileTheApplicationDoesNotRead) {
    const std::string state = dir_ + "/state.json";
    mcu_tools_test::write_file(state, "{\"setup\": {\"params\": \"" + std::string(128, 'E') + "\"}}");
    start({"--state", state});
    Client c;
    join(c);
    const Bytes request = request_frame("MCU_CMD_GET_SETUP_PARAM_INFO");
    constexpr int kRequests = 35000;  // 245 kB of requests, 2.5 MB of answers
    Bytes all;
    for (int i = 0; i < kRequests; ++i) all.insert(all.end(), request.begin(), request.end());
    std::size_t sent = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (sent < all.size() && Clock::now() < deadline) {
        pollfd p{c.fd(), POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::send(c.fd(), all.data() + sent, all.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<std::size_t>(n);
    }
    ASSERT_EQ(sent, all.size()) << "the virtual MCU stopped reading";
    int answers = 0;
    const uint8_t id = message_id("MCU_MSG_RET_SETUP_PARAM_INFO");
    while (answers < kRequests) {
        auto p = c.next(10000);
        if (!p) break;
        if (p->is_frame && p->id == id) {
            ASSERT_EQ(p->payload.size(), 64u);
            ++answers;
        }
    }
    EXPECT_EQ(answers, kRequests);
}

TEST_F(SimProcess, TheStateFileSetsTheStartAndBadStartsAreRefused) {
    const std::string state = dir_ + "/state.json";
    mcu_tools_test::write_file(state, R"({"audio_source": "AUDIO_SOURCE_AUX", "radio": {"freq": 10110}})");
    start({"--state", state});
    Client c;
    join(c);
    EXPECT_EQ(ask(c, "MCU_CMD_GET_AUDIO_SOURCE", "", "MCU_MSG_RET_CUR_AUDIO_SOURCE"), "audio_source=AUDIO_SOURCE_AUX");
    EXPECT_NE(ask(c, "MCU_CMD_GET_RADIO_NOTIFY", "", "MCU_MSG_RET_RADIO_NOTIFY").find("cur_freq=10110"),
              std::string::npos);

    // The socket is taken: a second agent leaves it alone.
    Process second(mcu_tools_test::sim_command(socket_, {"--no-console"}), dir_ + "/second.log");
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.output().find("another agent is listening on " + socket_), std::string::npos);
    EXPECT_EQ(ask(c, "MCU_CMD_GET_TFT_CONTRAST", "", "MCU_MSG_RET_TFT_CONTRAST_STATUS"), "contrast=8");

    mcu_tools_test::write_file(state, "{\"radio\": {\"freq\": 10110,}}");
    Process bad(mcu_tools_test::sim_command(mcu_tools_test::private_socket_path(), {"--state", state}),
                dir_ + "/bad.log");
    EXPECT_EQ(bad.wait(), 2);
    EXPECT_NE(bad.output().find("line 1, column 26"), std::string::npos) << bad.output();

    EXPECT_EQ(sim_->terminate(), 0);
    EXPECT_NE(sim_->output().find("stopping on SIGTERM"), std::string::npos);
    struct stat st;
    EXPECT_NE(::stat(socket_.c_str(), &st), 0) << "the socket file is removed";
}

// The records of a capture without their stamps, comments left out.
std::vector<std::string> unstamped(const std::string &path) {
    std::vector<std::string> out;
    for (mcu_protocol::CaptureRecord r : records(path)) {
        r.stamp_us = 0;
        out.push_back(mcu_protocol::format_capture(r));
    }
    return out;
}

// A tap stopped while an application is still connected ends that
// connection in its capture too.
TEST_F(SimProcess, ATapStoppedUnderAConnectionEndsItInItsCapture) {
    const std::string tapped = dir_ + "/tapped.log";
    start({});
    const std::string tap_socket = mcu_tools_test::private_socket_path();
    Process tap({MCU_AGENT_TAP_PATH, "--listen", tap_socket, "--agent", socket_, "--capture", tapped},
                dir_ + "/tap.log");
    ASSERT_TRUE(tap.wait_for_output("listening on")) << tap.output();
    Client c;
    ASSERT_TRUE(c.connect(tap_socket));
    ask(c, "MCU_CMD_GET_AUDIO_SOURCE", "", "MCU_MSG_RET_CUR_AUDIO_SOURCE");
    EXPECT_EQ(tap.terminate(), 0);
    const std::vector<std::string> lines = unstamped(tapped);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "(0.000000) #1 disconnect");
}

TEST_F(SimProcess, ATapCapturesWhatTheVirtualMcuCaptures) {
    const std::string own = dir_ + "/own.log", tapped = dir_ + "/tapped.log";
    start({"--capture", own});
    const std::string tap_socket = mcu_tools_test::private_socket_path();
    Process tap({MCU_AGENT_TAP_PATH, "--listen", tap_socket, "--agent", socket_, "--capture", tapped},
                dir_ + "/tap.log");
    ASSERT_TRUE(tap.wait_for_output("listening on")) << tap.output();
    for (int run = 0; run < 2; ++run) {
        Client c;
        ASSERT_TRUE(c.connect(tap_socket));
        ASSERT_TRUE(c.next_message(message_id("MCU_MSG_GET_VERSION_INFO")));
        ASSERT_TRUE(c.send(request_frame("MCU_CMD_RET_VERSION_INFO", "type=VERSION_TYPE_HMI version_buffer=tap")));
        ask(c, "MCU_CMD_SET_RADIO_FREQ", "freq=10110", "MCU_MSG_RET_RADIO_NOTIFY");
        ask(c, "MCU_CMD_GET_AUDIO_SOURCE", "", "MCU_MSG_RET_CUR_AUDIO_SOURCE");
        ASSERT_TRUE(c.send({0xBA, 0xAB, 0x00, 0x00, 0x21, 0x00, 0x22}));  // a bad checksum passes through too
        EXPECT_TRUE(sim_->wait_for_output("#" + std::to_string(run + 1) + " app > MCU_CMD_GET_AUDIO_SOURCE(0x21) !checksum"));
        c.close();
        EXPECT_TRUE(sim_->wait_for_output("#" + std::to_string(run + 1) + " disconnected"));
    }
    EXPECT_EQ(tap.terminate(), 0);
    EXPECT_EQ(sim_->terminate(), 0);
    const std::vector<std::string> a = unstamped(own), b = unstamped(tapped);
    ASSERT_GE(a.size(), 16u);
    EXPECT_EQ(a, b);
    EXPECT_NE(tap.output().find("#2 app > MCU_CMD_SET_RADIO_FREQ(0x40) freq=10110"), std::string::npos) << tap.output();
}

TEST_F(SimProcess, TheTapTakesTheAgentsPlaceAndGivesItBack) {
    start();
    Process tap({MCU_AGENT_TAP_PATH, "--listen", socket_, "--capture", dir_ + "/tapped.log", "--quiet"},
                dir_ + "/tap.log");
    ASSERT_TRUE(tap.wait_for_output("passing on to " + socket_ + ".tapped")) << tap.output();
    {
        Client c;
        join(c);
        EXPECT_EQ(ask(c, "MCU_CMD_GET_TFT_CONTRAST", "", "MCU_MSG_RET_TFT_CONTRAST_STATUS"), "contrast=8");
    }
    EXPECT_EQ(tap.terminate(), 0);
    Client c;
    join(c);  // straight to the agent again
    EXPECT_TRUE(sim_->wait_for_output("#2 connected"));
    EXPECT_NE(mcu_tools_test::read_file(dir_ + "/tapped.log").find("#1 app > 0F#"), std::string::npos);
}

TEST_F(SimProcess, AReplayWithAnswersServesAnApplicationThatAsksFirst) {
    const std::string capture = dir_ + "/asked.log";
    mcu_tools_test::write_file(capture,
                               "(10.000000) #1 connect /tmp/mcu_agent\n"
                               "(10.010000) #1 agent > 0F#00\n"
                               "(10.100000) #1 app > 21#\n"
                               "(10.110000) #1 agent > 21#09\n"
                               "(10.200000) #1 app > 50#\n"
                               "(10.210000) #1 agent > 50#0000000000264E\n"
                               "(10.300000) #1 app > 20#07\n"
                               "(10.310000) #1 agent > 21#07\n"
                               "(11.000000) #2 connect /tmp/mcu_agent\n"
                               "(11.100000) #2 app > 21#\n"
                               "(11.110000) #2 agent > 21#0E\n");
    auto expect_answer = [&](Client &c, const Bytes &request, const std::string &words) {
        ASSERT_TRUE(c.send(request));
        auto p = c.next(2000);
        ASSERT_TRUE(p && p->is_frame) << words;
        EXPECT_EQ(message_words(p->id, p->payload), words);
    };
    start({"--replay", capture, "--answer"});
    {
        Client c;
        ASSERT_TRUE(c.connect(socket_));
        auto first = c.next(2000);
        ASSERT_TRUE(first && first->id == message_id("MCU_MSG_GET_VERSION_INFO"));  // on its own, on connect
        EXPECT_TRUE(c.quiet(300)) << "the rest waits to be asked";
        // Asked out of the recorded order: each request gets its own answer.
        expect_answer(c, request_frame("MCU_CMD_GET_RADIO_NOTIFY"), "band=RADIO_BAND_FM1 preset_num=0 status=RADIO_STATUS_NORMAL cur_freq=9806");
        expect_answer(c, request_frame("MCU_CMD_SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_TUNER"), "audio_source=AUDIO_SOURCE_TUNER");
        expect_answer(c, request_frame("MCU_CMD_GET_AUDIO_SOURCE"), "audio_source=AUDIO_SOURCE_AUX");
        // Once more: the capture has no second one; and one it never had.
        ASSERT_TRUE(c.send(request_frame("MCU_CMD_GET_AUDIO_SOURCE")));
        EXPECT_TRUE(c.quiet(300));
        EXPECT_TRUE(sim_->wait_for_output("#1 !replay: the recorded answers to MCU_CMD_GET_AUDIO_SOURCE are used up"));
        ASSERT_TRUE(c.send(request_frame("MCU_CMD_GET_RTC_CLOCK")));
        EXPECT_TRUE(sim_->wait_for_output("#1 !replay: the capture has no MCU_CMD_GET_RTC_CLOCK to answer from"));
    }
    EXPECT_EQ(sim_->terminate(), 0);

    // Another connection of the capture, played twice.
    start({"--replay", capture, "--answer", "--connection", "2", "--loop", "2"});
    Client c;
    ASSERT_TRUE(c.connect(socket_));
    expect_answer(c, request_frame("MCU_CMD_GET_AUDIO_SOURCE"), "audio_source=AUDIO_SOURCE_BT_AUDIO");
    expect_answer(c, request_frame("MCU_CMD_GET_AUDIO_SOURCE"), "audio_source=AUDIO_SOURCE_BT_AUDIO");
    ASSERT_TRUE(c.send(request_frame("MCU_CMD_GET_AUDIO_SOURCE")));
    EXPECT_TRUE(c.quiet(300));

    Process none(mcu_tools_test::sim_command(mcu_tools_test::private_socket_path(),
                                             {"--replay", capture, "--connection", "3", "--no-console"}),
                 dir_ + "/none.log");
    EXPECT_EQ(none.wait(), 2);
    EXPECT_NE(none.output().find("has no frames of connection #3; it has #1 #2"), std::string::npos) << none.output();
}

// --strict turns what the log flags into the exit status, for CI.
TEST_F(SimProcess, StrictExitsNonZeroWhenAnExpectationFails) {
    const std::string scenario = dir_ + "/ci.scenario";
    mcu_tools_test::write_file(scenario,
                               "expect app GET_AUDIO_SOURCE within 3000\n"
                               "expect app SET_AUDIO_SOURCE audio_source=AUDIO_SOURCE_AUX within 3000\n"
                               "quit\n");
    struct Run {
        const char *source;
        std::vector<std::string> extra;
        int status;
        const char *summary;
    } runs[] = {
        {"audio_source=AUDIO_SOURCE_AUX", {"--strict"}, 0, "0 flagged, 2 of 2 expectations met, 0 version requests unanswered; strict: pass"},
        {"audio_source=AUDIO_SOURCE_FM1", {"--strict"}, 1, "1 of 2 expectations met, 0 version requests unanswered; strict: FAIL"},
        {"audio_source=AUDIO_SOURCE_FM1", {}, 0, "1 of 2 expectations met"},
    };
    for (const Run &run : runs) {
        socket_ = mcu_tools_test::private_socket_path();
        std::vector<std::string> args = {"--scenario", scenario, "--no-console", "--no-version-request"};
        args.insert(args.end(), run.extra.begin(), run.extra.end());
        Process sim(mcu_tools_test::sim_command(socket_, args), dir_ + "/sim.log");
        ASSERT_TRUE(sim.wait_for_output("listening on")) << sim.output();
        Client c;
        ASSERT_TRUE(c.connect(socket_));
        ask(c, "MCU_CMD_GET_AUDIO_SOURCE", "", "MCU_MSG_RET_CUR_AUDIO_SOURCE");
        ASSERT_TRUE(c.send(request_frame("MCU_CMD_SET_AUDIO_SOURCE", run.source)));
        EXPECT_EQ(sim.wait(10000), run.status) << sim.output();
        EXPECT_NE(sim.output().find(run.summary), std::string::npos) << sim.output();
    }
    // An application that never answers the version request fails too.
    mcu_tools_test::write_file(scenario, "wait 600\nquit\n");
    socket_ = mcu_tools_test::private_socket_path();
    Process sim(mcu_tools_test::sim_command(socket_, {"--scenario", scenario, "--no-console", "--strict",
                                                      "--version-timeout", "200"}),
                dir_ + "/silent.log");
    ASSERT_TRUE(sim.wait_for_output("listening on"));
    Client c;
    ASSERT_TRUE(c.connect(socket_));
    EXPECT_EQ(sim.wait(10000), 1) << sim.output();
    EXPECT_NE(sim.output().find("1 version requests unanswered; strict: FAIL"), std::string::npos) << sim.output();
}

TEST_F(SimProcess, AMistakeInTheScenarioStopsItBeforeItServes) {
    const std::string scenario = dir_ + "/bad.scenario";
    mcu_tools_test::write_file(scenario, "# setup\nkey HARD_KEY_POWER\nhvac nosuch=1\n");
    Process sim(mcu_tools_test::sim_command(socket_, {"--scenario", scenario, "--no-console"}), dir_ + "/sim.log");
    EXPECT_EQ(sim.wait(), 2);
    EXPECT_NE(sim.output().find(scenario + ":3: hvac: no field nosuch; fields: "), std::string::npos) << sim.output();
    EXPECT_EQ(sim.output().find("listening on"), std::string::npos);
}

TEST(ToolsCommandLine, OptionsAreCheckedAndEveryToolHasAVersion) {
    const std::string dir = mcu_tools_test::test_dir();
    const struct {
        std::vector<std::string> argv;
        int status;
        const char *says;
    } rows[] = {
        {{MCU_AGENT_SIM_PATH, "--version"}, 0, "mcu-agent-sim 1."},
        {{MCU_AGENT_DUMP_PATH, "--version"}, 0, "mcu-agent-dump 1."},
        {{MCU_AGENT_TAP_PATH, "--version"}, 0, "mcu-agent-tap 1."},
        {{MCU_AGENT_SIM_PATH, "--version-timeout", "abc"}, 2, "--version-timeout takes a whole number"},
        {{MCU_AGENT_SIM_PATH, "--loop", "-1", "--replay", "x"}, 2, "--loop takes a whole number"},
        {{MCU_AGENT_SIM_PATH, "--speed", "fast", "--replay", "x"}, 2, "--speed takes a factor greater than 0"},
        {{MCU_AGENT_SIM_PATH, "--fast"}, 2, "--fast needs --replay FILE"},
        {{MCU_AGENT_SIM_PATH, "--answer"}, 2, "--answer needs --replay FILE"},
        {{MCU_AGENT_SIM_PATH, "--json"}, 2, "--json goes with --print-state"},
        {{MCU_AGENT_TAP_PATH, "--listen", "/nonexistent/agent"}, 1, "no agent socket at /nonexistent/agent"},
    };
    int n = 0;
    for (const auto &row : rows) {
        Process p(row.argv, dir + "/out" + std::to_string(n++) + ".txt");
        EXPECT_EQ(p.wait(), row.status) << row.argv[1];
        EXPECT_NE(p.output().find(row.says), std::string::npos) << row.argv[1] << ": " << p.output();
    }
}

// On a terminal the console edits lines and keeps a history.
TEST_F(SimProcess, TheConsoleOnATerminalEditsLinesAndRemembersThem) {
#if !MCU_SIM_LINE_EDITING
    GTEST_SKIP() << "built without libedit";
#endif
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("HOME", dir_.c_str(), 1);
        ::execl(MCU_AGENT_SIM_PATH, MCU_AGENT_SIM_PATH, "--socket", socket_.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    std::string screen;
    auto wait_for = [&](const std::string &needle, std::size_t count = 1) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        auto seen = [&] {
            std::size_t n = 0;
            for (std::size_t at = screen.find(needle); at != std::string::npos; at = screen.find(needle, at + 1)) ++n;
            return n >= count;
        };
        while (!seen() && Clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            screen.append(buf, static_cast<std::size_t>(n));
        }
        return seen();
    };
    auto type = [&](const std::string &keys) { ASSERT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size())); };
    ASSERT_TRUE(wait_for("mcu> ")) << screen;
    type("get audio_sourceX\x7f\r");  // a typo, rubbed out
    EXPECT_TRUE(wait_for("audio_source = AUDIO_SOURCE_FM1")) << screen;
    type("\x1b[A\r");  // the line again, from the history
    EXPECT_TRUE(wait_for("audio_source = AUDIO_SOURCE_FM1", 2)) << screen;
    type("quit\r");
    int status = 0;
    for (int i = 0; i < 100 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, WNOHANG);
    ::close(master);
    EXPECT_NE(mcu_tools_test::read_file(dir_ + "/.mcu_agent_sim_history").find("audio_source"), std::string::npos);
}

}  // namespace
