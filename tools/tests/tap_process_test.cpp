// tap_process_test.cpp - mcu-agent-tap in the agent's place, on private
// socket paths: applications reach the agent again however the tap ends,
// an agent that goes and restarts under the tap keeps its socket and is
// tapped again, only a trusted agent is taken for one, a second tap
// refuses, a descriptor flood leaves the tap and the virtual MCU asleep,
// and the end of a stream waits for a slow reader.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "tool_test_support.h"

namespace {

using mcu_tools_test::Client;
using mcu_tools_test::message_id;
using mcu_tools_test::Process;

// prlimit and setpriv run the tool themselves: not through the emulator of
// a cross build, which the test's processes start with.
bool wrapper_runs_tool() { return std::string(MCU_TOOLS_EMULATOR).empty(); }

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

// ---- an agent that goes: the tap steps aside, then follows it ------------

struct AgentEnd {
    const char *name;
    int signal;
};

class TapAgentGone : public TapProcess, public testing::WithParamInterface<AgentEnd> {};

TEST_P(TapAgentGone, AnAgentThatRestartsUnderTheTapKeepsItsSocket) {
    start_sim();
    auto tap = start_tap();
    ASSERT_TRUE(tap->wait_for_output("listening on")) << tap->output();
    EXPECT_NE(tap->output().find("only connections made from now on are captured"), std::string::npos)
        << tap->output();
    ASSERT_EQ(::kill(sim_->pid(), GetParam().signal), 0);
    EXPECT_NE(sim_->wait(5000), -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // An application that reconnects every 100 ms meets no connection that
    // the tap accepts and closes because it cannot reach the agent.
    int connected = 0;
    for (int i = 0; i < 10; ++i) {
        Client c;
        connected += c.connect(socket_, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(connected, 0) << tap->output();
    EXPECT_TRUE(tap->wait_for_output("the tap steps aside")) << tap->output();
    start_sim("restarted.log");  // binds the path anew
    EXPECT_TRUE(tap->wait_for_output("the agent restarted there")) << tap->output();
    EXPECT_TRUE(reaches_agent(socket_)) << tap->output();
    EXPECT_NE(mcu_tools_test::read_file(dir_ + "/tap.capture").find("#1 connect " + socket_ + ".tapped"),
              std::string::npos)
        << "the restarted agent is tapped";
    EXPECT_EQ(tap->terminate(), 0);
    EXPECT_TRUE(reaches_agent(socket_)) << tap->output();
    EXPECT_FALSE(exists(socket_ + ".tapped")) << "the old agent's dead socket is removed";
}

const AgentEnd kAgentEnds[] = {{"Stopped", SIGTERM}, {"Killed", SIGKILL}};
INSTANTIATE_TEST_SUITE_P(, TapAgentGone, testing::ValuesIn(kAgentEnds),
                         [](const testing::TestParamInfo<AgentEnd> &i) { return std::string(i.param.name); });

TEST_F(TapProcess, TheVirtualMcuRemovesOnlyItsOwnSocket) {
    start_sim();
    // What a tap does: the virtual MCU's socket aside, another in its place.
    ASSERT_EQ(::rename(socket_.c_str(), (socket_ + ".aside").c_str()), 0);
    const int other = listen_on(socket_);
    struct stat before, after;
    ASSERT_EQ(::lstat(socket_.c_str(), &before), 0);
    EXPECT_EQ(sim_->terminate(), 0);
    ASSERT_EQ(::lstat(socket_.c_str(), &after), 0) << "the other socket was removed";
    EXPECT_EQ(after.st_ino, before.st_ino);
    ::close(other);
    ::unlink(socket_.c_str());
    ::unlink((socket_ + ".aside").c_str());
}

TEST_F(TapProcess, TheTapsSocketHasTheAgentsModeAndGroup) {
    start_sim();
    const gid_t group = ::geteuid() == 0 ? 65534 : ::getegid();
    ASSERT_EQ(::chmod(socket_.c_str(), 0666), 0);
    ASSERT_EQ(::lchown(socket_.c_str(), static_cast<uid_t>(-1), group), 0);
    auto tap = start_tap();
    ASSERT_TRUE(tap->wait_for_output("listening on")) << tap->output();
    struct stat agent, mine;
    ASSERT_EQ(::lstat((socket_ + ".tapped").c_str(), &agent), 0);
    ASSERT_EQ(::lstat(socket_.c_str(), &mine), 0);
    EXPECT_NE(mine.st_ino, agent.st_ino);
    EXPECT_EQ(mine.st_mode & 07777, 0666u);
    EXPECT_EQ(mine.st_gid, group);
    EXPECT_EQ(tap->terminate(), 0);
}

// ---- who may be the agent --------------------------------------------------

// Where another user's program listens when a tool starts.
enum class Impostor { AtTapped, AtPath, AtAgentOption, BehindARootFile, BeforeTheVirtualMcu };

struct Stranger {
    const char *name;
    Impostor where;
    bool trusted;        // MCU_AGENT_TRUSTED_UID names the other user
    int exit_status;     // -1: the tool runs and applications reach the agent; -2: it runs, they do not
    const char *said;    // in the tool's output
};

class WhoMayBeTheAgent : public TapProcess, public testing::WithParamInterface<Stranger> {
protected:
    static constexpr uid_t kOther = 65534;
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run a program as another user";
        if (!wrapper_runs_tool()) GTEST_SKIP() << "setpriv cannot start the tool under the emulator";
        TapProcess::SetUp();
    }
    // A virtual MCU of the other user at `path`.
    void start_impostor(const std::string &path) {
        std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        const auto sim = mcu_tools_test::sim_command(path, {"--no-console"});
        argv.insert(argv.end(), sim.begin(), sim.end());
        impostor_ = std::make_unique<Process>(argv, dir_ + "/impostor.log");
        ASSERT_TRUE(impostor_->wait_for_output("listening on")) << impostor_->output();
    }
    std::unique_ptr<Process> impostor_;
};

TEST_P(WhoMayBeTheAgent, OnlyATrustedPeerIsTakenForTheAgent) {
    const Stranger &s = GetParam();
    if (s.trusted) ::setenv("MCU_AGENT_TRUSTED_UID", std::to_string(kOther).c_str(), 1);
    const std::string aside = mcu_tools_test::private_socket_path();
    std::unique_ptr<Process> tool;
    struct stat before {};
    switch (s.where) {
        case Impostor::AtTapped:  // the agent crashed under a tap that died; the other user took PATH.tapped
            ::close(listen_on(socket_));
            start_impostor(socket_ + ".tapped");
            ASSERT_EQ(::lstat(socket_.c_str(), &before), 0);
            tool = start_tap();
            break;
        case Impostor::AtPath:  // no agent runs; the other user took its path
            start_impostor(socket_);
            ASSERT_EQ(::lstat(socket_.c_str(), &before), 0);
            tool = start_tap();
            break;
        case Impostor::AtAgentOption:
            start_impostor(aside);
            tool = start_tap({"--agent", aside});
            break;
        case Impostor::BehindARootFile:  // its socket file is root's: only the peer tells
            start_impostor(aside);
            ASSERT_EQ(::lchown(aside.c_str(), 0, 0), 0);
            tool = start_tap({"--agent", aside});
            ASSERT_TRUE(tool->wait_for_output("listening on")) << tool->output();
            EXPECT_FALSE(reaches_agent(socket_));
            break;
        case Impostor::BeforeTheVirtualMcu:
            start_impostor(socket_);
            tool = std::make_unique<Process>(mcu_tools_test::sim_command(socket_, {"--no-console"}),
                                             dir_ + "/sim.log");
            break;
    }
    if (s.exit_status >= 0) {
        EXPECT_EQ(tool->wait(5000), s.exit_status) << tool->output();
    } else if (s.exit_status == -1) {
        ASSERT_TRUE(tool->wait_for_output("listening on")) << tool->output();
        EXPECT_TRUE(reaches_agent(socket_)) << tool->output();
    }
    EXPECT_TRUE(tool->wait_for_output(s.said, 3000)) << tool->output();
    if (before.st_ino != 0 && s.exit_status >= 0) {
        struct stat after;
        ASSERT_EQ(::lstat(socket_.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << "nothing was moved onto the agent's path";
    }
    tool->terminate();
    impostor_->terminate();
    for (const std::string &p : {socket_, socket_ + ".tapped", aside}) ::unlink(p.c_str());
}

void PrintTo(const Stranger &s, std::ostream *os) { *os << s.name; }
const Stranger kStrangers[] = {
    {"ListensAtTheTappedPath", Impostor::AtTapped, false, 1, "runs as uid 65534 (gid 65534), not trusted"},
    {"ListensAtTheAgentsPath", Impostor::AtPath, false, 1, "runs as uid 65534 (gid 65534), not trusted"},
    {"IsNamedWithAgent", Impostor::AtAgentOption, false, 1, "not tapping"},
    {"HidesBehindARootFile", Impostor::BehindARootFile, false, -2, "runs as uid 65534 (gid 65534), not trusted"},
    {"ListensBeforeTheVirtualMcu", Impostor::BeforeTheVirtualMcu, false, 1, "runs as uid 65534"},
    {"IsNamedTrusted", Impostor::AtPath, true, -1, "listening on"},
};
INSTANTIATE_TEST_SUITE_P(, WhoMayBeTheAgent, testing::ValuesIn(kStrangers),
                         [](const testing::TestParamInfo<Stranger> &i) { return std::string(i.param.name); });

// ---- out of descriptors: no spinning, and service again after -------------

struct Flooded {
    const char *name;
    bool tap;  // else the virtual MCU itself
};

class DescriptorFlood : public TapProcess, public testing::WithParamInterface<Flooded> {};

// Processor time of a process so far, in clock ticks.
long cpu_ticks(pid_t pid) {
    const std::string stat = mcu_tools_test::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

TEST_P(DescriptorFlood, IdleConnectionsLeaveTheProcessAsleepAndServiceReturns) {
    if (!wrapper_runs_tool()) GTEST_SKIP() << "prlimit cannot start the tool under the emulator";
    const std::vector<std::string> limit = {"/usr/bin/prlimit", "--nofile=48", "--"};
    std::vector<std::string> argv = limit;
    std::unique_ptr<Process> flooded;
    if (GetParam().tap) {
        const std::string agent = mcu_tools_test::private_socket_path();
        sim_ = std::make_unique<Process>(mcu_tools_test::sim_command(agent, {"--no-console", "--no-version-request"}),
                                         dir_ + "/sim.log");
        ASSERT_TRUE(sim_->wait_for_output("listening on")) << sim_->output();
        argv.insert(argv.end(), {MCU_AGENT_TAP_PATH, "--quiet", "--capture", dir_ + "/tap.capture", "--listen", socket_,
                                 "--agent", agent});
    } else {
        const auto sim = mcu_tools_test::sim_command(socket_, {"--no-console", "--no-version-request"});
        argv.insert(argv.end(), sim.begin(), sim.end());
    }
    flooded = std::make_unique<Process>(argv, dir_ + "/flooded.log");
    ASSERT_TRUE(flooded->wait_for_output("listening on")) << flooded->output();
    std::vector<int> idle;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
    // More connections than the process has descriptors for, as fast as it
    // takes them; once it takes no more, its queue stays full.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (idle.size() < 80 && std::chrono::steady_clock::now() < until) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            idle.push_back(fd);
            continue;
        }
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GT(idle.size(), 30u) << "past the descriptors, the queue holds connections";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long before = cpu_ticks(flooded->pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long used = cpu_ticks(flooded->pid()) - before;
    EXPECT_LT(used, ::sysconf(_SC_CLK_TCK) / 5) << "ticks in a second while nothing can be accepted";
    for (const int fd : idle) ::close(fd);  // the flood ends
    Client c;
    ASSERT_TRUE(c.connect(socket_));
    ASSERT_TRUE(c.send(mcu_tools_test::request_frame("MCU_CMD_GET_TFT_CONTRAST")));
    EXPECT_TRUE(c.next_message(message_id("MCU_MSG_RET_TFT_CONTRAST_STATUS"), 5000)) << flooded->output();
    const std::string out = flooded->output();
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = out.find("Too many open files", at)) != std::string::npos; ++at) ++lines;
    EXPECT_LE(lines, 1u) << out.substr(0, 2000);
    EXPECT_EQ(flooded->terminate(), 0);
}

void PrintTo(const Flooded &f, std::ostream *os) { *os << f.name; }
const Flooded kFloods[] = {{"VirtualMcu", false}, {"Tap", true}};
INSTANTIATE_TEST_SUITE_P(, DescriptorFlood, testing::ValuesIn(kFloods),
                         [](const testing::TestParamInfo<Flooded> &i) { return std::string(i.param.name); });

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
