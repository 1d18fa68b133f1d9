// tap_process_test.cpp - mcu-agent-tap in the agent's place, on private
// socket paths: applications reach the agent again however the tap ends,
// an agent that restarts under the tap keeps its socket, a second tap
// refuses, and the end of a stream waits for a slow reader.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "tool_test_support.h"

namespace {

using mcu_tools_test::Client;
using mcu_tools_test::message_id;
using mcu_tools_test::Process;

bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// A socket bound at `path` and listening; the caller closes it.
int listen_on(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << path << ": " << std::strerror(errno);
    EXPECT_EQ(::listen(fd, 4), 0);
    return fd;
}

class TapProcess : public testing::Test {
protected:
    void SetUp() override {
        dir_ = mcu_tools_test::test_dir();
        socket_ = mcu_tools_test::private_socket_path();
    }

    void start_sim(const std::string &log = "sim.log") {
        sim_ = std::make_unique<Process>(mcu_tools_test::sim_command(socket_, {"--no-console"}), dir_ + "/" + log);
        ASSERT_TRUE(sim_->wait_for_output("listening on")) << sim_->output();
    }

    std::unique_ptr<Process> start_tap(const std::vector<std::string> &extra = {}, const std::string &name = "tap") {
        std::vector<std::string> argv = {MCU_AGENT_TAP_PATH, "--capture", dir_ + "/" + name + ".capture", "--quiet"};
        if (std::find(extra.begin(), extra.end(), "--listen") == extra.end()) argv.insert(argv.end(), {"--listen", socket_});
        argv.insert(argv.end(), extra.begin(), extra.end());
        return std::make_unique<Process>(argv, dir_ + "/" + name + ".log");
    }

    // An application that connects to `path` is asked for its version:
    // an agent is there (itself or through a tap).
    static bool reaches_agent(const std::string &path) {
        Client c;
        return c.connect(path, 5000) && c.next_message(message_id("MCU_MSG_GET_VERSION_INFO"), 3000);
    }

    std::string dir_, socket_;
    std::unique_ptr<Process> sim_;
};

// ---- however the tap ends, applications reach the agent again ----------

struct Ending {
    const char *name;
    int signal;
};

class TapEnding : public TapProcess, public testing::WithParamInterface<Ending> {};

TEST_P(TapEnding, ApplicationsReachTheAgentAgain) {
    start_sim();
    auto tap = start_tap();
    ASSERT_TRUE(tap->wait_for_output("listening on")) << tap->output();
    ASSERT_TRUE(reaches_agent(socket_));
    ASSERT_EQ(::kill(tap->pid(), GetParam().signal), 0);
    EXPECT_NE(tap->wait(5000), -1) << "the tap ends";
    EXPECT_TRUE(reaches_agent(socket_)) << tap->output();
    EXPECT_TRUE(sim_->wait_for_output("#2 connected")) << "straight to the agent\n" << sim_->output();
    EXPECT_FALSE(exists(socket_ + ".tapped"));
}

const Ending kEndings[] = {
    {"Killed", SIGKILL},
    {"HungUp", SIGHUP},  // its terminal or ssh session closed
    {"Crashed", SIGSEGV},
};
INSTANTIATE_TEST_SUITE_P(, TapEnding, testing::ValuesIn(kEndings),
                         [](const testing::TestParamInfo<Ending> &i) { return std::string(i.param.name); });

TEST_F(TapProcess, RepairsWhatADeadTapLeftBehind) {
    start_sim();
    // What a tap killed before its guardian existed left: the agent aside,
    // the tap's dead socket in its place.
    ASSERT_EQ(::rename(socket_.c_str(), (socket_ + ".tapped").c_str()), 0);
    ::close(listen_on(socket_));
    auto tap = start_tap();
    ASSERT_TRUE(tap->wait_for_output("listening on")) << tap->output();
    EXPECT_NE(tap->output().find("repaired: the agent's socket had been left at " + socket_ + ".tapped"),
              std::string::npos)
        << tap->output();
    EXPECT_TRUE(reaches_agent(socket_));
    EXPECT_EQ(tap->terminate(), 0);
    EXPECT_TRUE(reaches_agent(socket_)) << tap->output();
    EXPECT_FALSE(exists(socket_ + ".tapped"));
}

// ---- an agent that restarts under the tap keeps its socket -------------

TEST_F(TapProcess, AnAgentThatRestartsUnderTheTapKeepsItsSocket) {
    start_sim();
    auto tap = start_tap();
    ASSERT_TRUE(tap->wait_for_output("listening on")) << tap->output();
    EXPECT_EQ(sim_->terminate(), 0);  // it removes what lies at its path: the tap's socket
    start_sim("restarted.log");       // and binds the path anew
    EXPECT_TRUE(tap->wait_for_output("the agent restarted there")) << tap->output();
    EXPECT_EQ(tap->terminate(), 0);
    EXPECT_TRUE(reaches_agent(socket_)) << tap->output();
    EXPECT_TRUE(sim_->wait_for_output("#1 connected"));
    EXPECT_FALSE(exists(socket_ + ".tapped")) << "the old agent's dead socket is removed";
}

// ---- a second tap refuses ------------------------------------------------

TEST_F(TapProcess, ASecondTapOnThePathRefusesAndTheFirstGoesOn) {
    start_sim();
    auto first = start_tap({}, "first");
    ASSERT_TRUE(first->wait_for_output("listening on")) << first->output();
    auto second = start_tap({}, "second");
    EXPECT_EQ(second->wait(5000), 3) << second->output();
    EXPECT_NE(second->output().find("another tap runs on " + socket_), std::string::npos) << second->output();
    // Beside the first, chained to it, a second tap runs.
    const std::string beside = mcu_tools_test::private_socket_path();
    auto chained = start_tap({"--listen", beside, "--agent", socket_}, "chained");
    ASSERT_TRUE(chained->wait_for_output("listening on")) << chained->output();
    EXPECT_TRUE(reaches_agent(beside));
    EXPECT_EQ(chained->terminate(), 0);
    EXPECT_TRUE(reaches_agent(socket_));
    EXPECT_EQ(first->terminate(), 0);
    EXPECT_TRUE(reaches_agent(socket_)) << first->output();
    EXPECT_FALSE(exists(socket_ + ".tapped"));
}

// ---- the end of a stream waits for a slow reader -------------------------

constexpr std::size_t kStreamBytes = 2u << 20;

// Writes the whole stream, then closes.
void write_all_and_close(int fd) {
    const std::vector<uint8_t> chunk(64 * 1024, 0x5A);
    for (std::size_t done = 0; done < kStreamBytes;) {
        const ssize_t n = ::send(fd, chunk.data(), std::min(chunk.size(), kStreamBytes - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

// Reads 64 KiB every 20 ms until the end of the stream.
std::size_t read_slowly(int fd) {
    std::vector<uint8_t> buf(64 * 1024);
    std::size_t total = 0;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (std::size_t got = 0; got < buf.size();) {
            const ssize_t n = ::read(fd, buf.data(), buf.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ::close(fd);
                return total;
            }
            got += static_cast<std::size_t>(n);
            total += static_cast<std::size_t>(n);
        }
    }
}

struct Tail {
    const char *name;
    bool agent_writes;  // else the application writes and the agent reads slowly
};

class TapTail : public TapProcess, public testing::WithParamInterface<Tail> {};

TEST_P(TapTail, EveryByteReachesASlowReader) {
    // A plain agent that binds its path the usual way.
    const std::string agent = mcu_tools_test::private_socket_path();
    const int agent_listener = listen_on(agent);
    auto tap = start_tap({"--agent", agent});
    ASSERT_TRUE(tap->wait_for_output("listening on")) << tap->output();
    std::size_t agent_read = 0;
    std::thread agent_side([&] {
        const int fd = ::accept4(agent_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (GetParam().agent_writes)
            write_all_and_close(fd);
        else
            agent_read = read_slowly(fd);
    });
    Client app;
    ASSERT_TRUE(app.connect(socket_));
    const int app_fd = ::dup(app.fd());
    app.close();
    std::size_t app_read = 0;
    if (GetParam().agent_writes)
        app_read = read_slowly(app_fd);
    else
        write_all_and_close(app_fd);
    agent_side.join();
    ::close(agent_listener);
    EXPECT_EQ(GetParam().agent_writes ? app_read : agent_read, kStreamBytes) << tap->output();
    EXPECT_EQ(tap->terminate(), 0);
}

const Tail kTails[] = {{"AgentToApplication", true}, {"ApplicationToAgent", false}};
INSTANTIATE_TEST_SUITE_P(, TapTail, testing::ValuesIn(kTails),
                         [](const testing::TestParamInfo<Tail> &i) { return std::string(i.param.name); });

}  // namespace
