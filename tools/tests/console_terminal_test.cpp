// console_terminal_test.cpp - mcu-agent-sim's console on a pseudo-terminal:
// line editing, history and completion hold for the whole session, and
// the terminal gets its own mode back when the program ends.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tool_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// The virtual MCU with its standard input and output on a terminal.
class Terminal {
public:
    Terminal(const std::string &home, const std::string &socket) {
        pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            ::setenv("HOME", home.c_str(), 1);
            ::execl(MCU_AGENT_SIM_PATH, MCU_AGENT_SIM_PATH, "--socket", socket.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
    }
    ~Terminal() {
        if (pid_ > 0 && !ended_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) ::close(master_);
    }

    bool started() const { return pid_ > 0; }

    // Reads until `needle` has appeared `count` times in all the output.
    bool wait_for(const std::string &needle, std::size_t count = 1) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (occurrences(needle) < count && Clock::now() < deadline) read_some(100);
        return occurrences(needle) >= count;
    }
    // Reads what arrives within `ms`.
    void settle(int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < until) read_some(20);
    }
    std::size_t occurrences(const std::string &needle) const {
        std::size_t n = 0;
        for (std::size_t at = screen_.find(needle); at != std::string::npos; at = screen_.find(needle, at + 1)) ++n;
        return n;
    }
    void type(const std::string &keys) {
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // The terminal's mode as the program left it.
    tcflag_t local_flags() const {
        termios t{};
        ::tcgetattr(master_, &t);
        return t.c_lflag;
    }
    int end_with(int sig) {
        ::kill(pid_, sig);
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            read_some(0);  // keeps the program from blocking on a full terminal
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // poll returns at once after a hang-up
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                ended_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        return -1;
    }
    const std::string &screen() const { return screen_; }

private:
    void read_some(int timeout_ms) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return;
        char buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) screen_.append(buf, static_cast<std::size_t>(n));
    }

    int master_ = -1;
    pid_t pid_ = -1;
    bool ended_ = false;
    std::string screen_;
};

// After two commands the editor still owns the terminal: Up recalls the
// lines before, Tab completes, nothing is echoed twice; SIGTERM hands the
// terminal back in its canonical mode.
TEST(ConsoleTerminal, EditingHistoryAndCompletionLastTheWholeSession) {
#if !MCU_SIM_LINE_EDITING
    GTEST_SKIP() << "built without libedit";
#endif
    const std::string dir = mcu_tools_test::test_dir();
    Terminal t(dir, mcu_tools_test::private_socket_path());
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.wait_for("mcu> ")) << t.screen();

    t.type("get ignition\r");
    ASSERT_TRUE(t.wait_for("ignition = 1")) << t.screen();
    t.type("get audio_source\r");
    ASSERT_TRUE(t.wait_for("audio_source = AUDIO_SOURCE_FM1")) << t.screen();
    t.settle(200);
    EXPECT_EQ(t.local_flags() & (ICANON | ECHO), 0u) << "the terminal went back to canonical mode";

    // Up twice, each alone as a person types it: the first command again,
    // drawn over the second.
    t.type("\x1b[A");
    EXPECT_TRUE(t.wait_for("\x1b[6Gget audio_source")) << t.screen();
    t.type("\x1b[A");
    EXPECT_TRUE(t.wait_for("\x1b[10Gignition")) << t.screen();
    t.type("\r");
    EXPECT_TRUE(t.wait_for("ignition = 1", 2)) << t.screen();
    // Tab completes a state key before Enter is pressed.
    t.type("get audio.vo\t");
    EXPECT_TRUE(t.wait_for("\x1b[18Glume ")) << t.screen();
    t.type("\r");
    EXPECT_TRUE(t.wait_for("audio.volume = 15")) << t.screen();
    t.settle(200);
    EXPECT_EQ(t.occurrences("^[["), 0u) << t.screen();
    EXPECT_EQ(t.occurrences("mcu> get audio_source"), 1u) << "a line was echoed twice: " << t.screen();

    EXPECT_EQ(t.end_with(SIGTERM), 0) << t.screen();
    EXPECT_EQ(t.local_flags() & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO))
        << "the terminal was not given its mode back";
    EXPECT_NE(mcu_tools_test::read_file(dir + "/.mcu_agent_sim_history").find("audio_source"), std::string::npos);
}

// A signal that ends the program (the terminal hung up) still hands the
// terminal back in the mode it had.
TEST(ConsoleTerminal, ASignalThatEndsTheProgramGivesTheTerminalBack) {
#if !MCU_SIM_LINE_EDITING
    GTEST_SKIP() << "built without libedit";
#endif
    const std::string dir = mcu_tools_test::test_dir();
    Terminal t(dir, mcu_tools_test::private_socket_path());
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.wait_for("mcu> ")) << t.screen();
    t.type("get ignition\r");
    ASSERT_TRUE(t.wait_for("ignition = 1")) << t.screen();
    t.settle(100);
    EXPECT_EQ(t.local_flags() & (ICANON | ECHO), 0u);
    EXPECT_EQ(t.end_with(SIGHUP), 128 + SIGHUP) << t.screen();
    EXPECT_EQ(t.local_flags() & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
}

}  // namespace
