// readme_recipe_test.cpp - the README's CI recipe, run as it is printed
// (only the build directory, /tmp and the scenario are this test's own):
// it passes with the demo, and ends with the virtual MCU's status, never
// waiting for ever, when the virtual MCU cannot start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tool_test_support.h"

namespace {

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// The ```sh block of the README that holds the CI recipe (the one that
// waits for /tmp/ci-sim.ready; other blocks start the virtual MCU too).
std::string recipe() {
    const std::string readme = mcu_tools_test::read_file(std::string(MCU_SOURCE_DIR) + "/README.md");
    const std::string open = "```sh\n", close = "```";
    for (std::size_t at = readme.find(open); at != std::string::npos; at = readme.find(open, at + 1)) {
        const std::size_t start = at + open.size(), end = readme.find(close, start);
        if (end == std::string::npos) break;
        const std::string block = readme.substr(start, end - start);
        if (block.find("/tmp/ci-sim.ready") != std::string::npos) return block;
    }
    return "";
}

// Runs `script` with bash from the source tree; the exit status, or -1
// when it has not ended after `seconds`.
int run_script(const std::string &script, const std::string &socket, const std::string &output, int seconds) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::setenv("MCU_AGENT_SOCKET", socket.c_str(), 1);
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        if (::chdir(MCU_SOURCE_DIR) != 0) ::_exit(126);
        ::execl("/bin/bash", "bash", "-c", script.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    for (int i = 0; i < seconds * 20; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

TEST(ReadmeRecipe, EndsWithTheVirtualMcusStatusAndNeverHangs) {
    const std::string dir = mcu_tools_test::test_dir();
    std::string script = recipe();
    ASSERT_FALSE(script.empty()) << "no CI recipe (waiting for /tmp/ci-sim.ready) in the README";
    const std::string emulator = std::string(MCU_TOOLS_EMULATOR).empty() ? "" : std::string(MCU_TOOLS_EMULATOR) + " ";
    script = replace_all(script, "build/native/tools/mcu-agent-sim", emulator + MCU_AGENT_SIM_PATH);
    script = replace_all(script, "build/native/examples/mcu_agent_demo", emulator + MCU_AGENT_DEMO_PATH);
    script = replace_all(script, "/tmp/ci-sim", dir + "/ci-sim");

    const std::string failing = dir + "/failing.scenario";
    mcu_tools_test::write_file(failing, "# a mistake on line 2\nexpect app MCU_CMD_NOSUCH within 100\n");
    const struct {
        const char *name;
        std::string scenario;
        bool occupied;  // another agent already serves the socket
        int status;
        std::string log;
    } rows[] = {
        {"demo", "tools/sim/examples/demo_check.scenario", false, 0, "4 of 4 expectations met"},
        {"scenario mistake", failing, false, 2, failing + ":2: expect: no command MCU_CMD_NOSUCH"},
        {"socket taken", "tools/sim/examples/demo_check.scenario", true, 1, "another agent is listening"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string socket = mcu_tools_test::private_socket_path();
        std::unique_ptr<mcu_tools_test::Process> other;
        if (row.occupied) {
            other = std::make_unique<mcu_tools_test::Process>(
                mcu_tools_test::sim_command(socket, {"--no-console"}), dir + "/other.log");
            ASSERT_TRUE(other->wait_for_output("listening on")) << other->output();
        }
        const std::string run = replace_all(script, "tools/sim/examples/demo_check.scenario", row.scenario);
        const std::string output = dir + "/recipe.out";
        EXPECT_EQ(run_script(run, socket, output, 60), row.status) << mcu_tools_test::read_file(output);
        // The reason is in the log that the job keeps, not only on stderr.
        EXPECT_NE(mcu_tools_test::read_file(dir + "/ci-sim.log").find(row.log), std::string::npos)
            << mcu_tools_test::read_file(dir + "/ci-sim.log");
    }
}

}  // namespace
