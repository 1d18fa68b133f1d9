// tool_files_test.cpp - the files the tools write, against another local
// user who planted something at their paths first: a symbolic link, a file
// of their own, a hard link or a FIFO is never written through, and what
// the tools create is the user's alone, whatever the umask; captures with
// a size limit go on in the next file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tool_test_support.h"

namespace {

using mcu_tools_test::Process;
using mcu_tools_test::read_file;
using mcu_tools_test::write_file;

enum class Output { SimCapture, SimReady, TapCapture, DumpPcapng };
enum class Plant { Symlink, OtherUsersFile, HardLink, Fifo };

const char *output_name(Output o) {
    switch (o) {
        case Output::SimCapture: return "SimCapture";
        case Output::SimReady: return "SimReadyFile";
        case Output::TapCapture: return "TapCapture";
        case Output::DumpPcapng: return "DumpPcapng";
    }
    return "";
}

const char *plant_name(Plant p) {
    switch (p) {
        case Plant::Symlink: return "Symlink";
        case Plant::OtherUsersFile: return "OtherUsersFile";
        case Plant::HardLink: return "HardLink";
        case Plant::Fifo: return "Fifo";
    }
    return "";
}

struct stat stat_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

class ToolFiles : public testing::Test {
protected:
    void SetUp() override {
        dir_ = mcu_tools_test::test_dir();
        socket_ = mcu_tools_test::private_socket_path();
        write_file(dir_ + "/in.capture", "(1733590000.000001) #1 app > 21#\n");
    }
    void TearDown() override { ::unlink(socket_.c_str()); }

    // The tool writing `path` as `o`; it serves (sim, tap) or converts (dump).
    std::unique_ptr<Process> run(Output o, const std::string &path, const std::vector<std::string> &more = {}) {
        std::vector<std::string> argv;
        switch (o) {
            case Output::SimCapture: argv = mcu_tools_test::sim_command(socket_, {"--no-console", "--capture", path}); break;
            case Output::SimReady: argv = mcu_tools_test::sim_command(socket_, {"--no-console", "--ready-file", path}); break;
            case Output::TapCapture:
                argv = {MCU_AGENT_TAP_PATH, "--listen", socket_, "--agent", socket_ + ".agent", "--capture", path, "--quiet"};
                break;
            case Output::DumpPcapng: argv = {MCU_AGENT_DUMP_PATH, "--pcapng", path, dir_ + "/in.capture"}; break;
        }
        argv.insert(argv.end(), more.begin(), more.end());
        return std::make_unique<Process>(argv, dir_ + "/tool.out");
    }

    // Waits until `o` has written `path` (the tool keeps running, except the dump).
    static bool written(Output o, Process &p, const std::string &path) {
        if (o == Output::DumpPcapng) return p.wait() == 0;
        for (int i = 0; i < 500; ++i, ::usleep(10000)) {
            struct stat st;
            if (::lstat(path.c_str(), &st) == 0 && st.st_size > 0) return true;
        }
        return false;
    }

    std::string dir_, socket_;
};

class PlantedOutput : public ToolFiles, public testing::WithParamInterface<std::tuple<Output, Plant>> {};

// A file planted where the tool writes is never written through and never
// waited on: a capture or pcapng output is refused with the path and the
// reason; the ready file goes up beside it under a name nobody can guess.
TEST_P(PlantedOutput, IsNeitherWrittenThroughNorWaitedOn) {
    const auto [output, plant] = GetParam();
    if (plant == Plant::OtherUsersFile && ::geteuid() != 0) GTEST_SKIP() << "needs root to act as nobody";
    const std::string path = dir_ + "/out", victim = dir_ + "/victim";
    // The ready file is written whole under a second name first; that name
    // is where an attacker would plant.
    const std::string planted = output == Output::SimReady ? path + ".tmp" : path;
    write_file(victim, "victim\n");
    std::string checked = victim, reason;
    switch (plant) {
        case Plant::Symlink:
            ASSERT_EQ(::symlink(victim.c_str(), planted.c_str()), 0);
            reason = "it is a symbolic link";
            break;
        case Plant::OtherUsersFile: {
            // nobody writes a file of their own there, readable by all.
            ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
            const std::string plant_it = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups "
                                         "/bin/sh -c 'umask 0; echo victim > \"" + planted + "\"'";
            ASSERT_EQ(std::system(plant_it.c_str()), 0);
            ASSERT_EQ(stat_of(planted).st_uid, 65534u);
            checked = planted;
            reason = "it belongs to another user";
            break;
        }
        case Plant::HardLink:
            ASSERT_EQ(::link(victim.c_str(), planted.c_str()), 0);
            reason = "it has 2 hard links";
            break;
        case Plant::Fifo:
            ASSERT_EQ(::mkfifo(planted.c_str(), 0666), 0);
            reason = "it is not a regular file";
            break;
    }
    auto tool = run(output, path);
    if (output == Output::SimReady) {
        ASSERT_TRUE(written(output, *tool, path)) << tool->output();
        const struct stat st = stat_of(path);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, ::geteuid());
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(read_file(path), std::to_string(tool->pid()) + " " + socket_ + "\n");
    } else {
        EXPECT_EQ(tool->wait(5000), 1) << tool->output();
        EXPECT_NE(tool->output().find("cannot write " + path + ": " + reason), std::string::npos) << tool->output();
    }
    if (plant != Plant::Fifo) {
        EXPECT_EQ(read_file(checked), "victim\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryOutput, PlantedOutput,
    testing::Combine(testing::Values(Output::SimCapture, Output::SimReady, Output::TapCapture, Output::DumpPcapng),
                     testing::Values(Plant::Symlink, Plant::OtherUsersFile, Plant::HardLink, Plant::Fifo)),
    [](const testing::TestParamInfo<std::tuple<Output, Plant>> &info) {
        return std::string(output_name(std::get<0>(info.param))) + "_" + plant_name(std::get<1>(info.param));
    });

class PrivateOutput : public ToolFiles, public testing::WithParamInterface<Output> {};

// Under umask 000 too, what the tools write is readable by the user only.
TEST_P(PrivateOutput, IsTheUsersAloneUnderUmask000) {
    const std::string path = dir_ + "/out";
    const mode_t old = ::umask(0);
    auto tool = run(GetParam(), path);
    ::umask(old);
    ASSERT_TRUE(written(GetParam(), *tool, path)) << tool->output();
    EXPECT_EQ(stat_of(path).st_mode & 0777, 0600u);
}

INSTANTIATE_TEST_SUITE_P(EveryOutput, PrivateOutput,
                         testing::Values(Output::SimCapture, Output::SimReady, Output::TapCapture, Output::DumpPcapng),
                         [](const testing::TestParamInfo<Output> &info) { return output_name(info.param); });

class CaptureRotation : public ToolFiles, public testing::WithParamInterface<Output> {};

// An application that sends bytes without end fills at most N files of MB
// each: the capture goes on in FILE.1, then in FILE again.
TEST_P(CaptureRotation, KeepsAtMostNFilesOfMbEach) {
    const std::string path = dir_ + "/out";
    std::unique_ptr<Process> agent;
    std::string app_socket = socket_;
    if (GetParam() == Output::TapCapture) {
        agent = std::make_unique<Process>(mcu_tools_test::sim_command(socket_ + ".agent", {"--no-console"}),
                                          dir_ + "/agent.out");
        ASSERT_TRUE(agent->wait_for_output("listening on")) << agent->output();
    }
    auto tool = run(GetParam(), path, {"--capture-size", "1", "--capture-files", "2"});
    ASSERT_TRUE(written(GetParam(), *tool, path)) << tool->output();
    mcu_tools_test::Client app;
    ASSERT_TRUE(app.connect(app_socket));
    // 1.6 MB of bytes outside any frame: 3.2 MB of capture in hex.
    ASSERT_TRUE(app.send(mcu_protocol::Bytes(1600000, 0)));
    ASSERT_TRUE(tool->wait_for_output("going on in " + path + ".1", 10000)) << tool->output().substr(0, 2000);
    ASSERT_TRUE(tool->wait_for_output("going on in " + path + ", overwriting the oldest", 10000));
    app.close();
    tool->terminate();
    for (const std::string &file : {path, path + ".1"}) {
        const struct stat st = stat_of(file);
        EXPECT_LE(st.st_size, 1000000) << file;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
        EXPECT_EQ(read_file(file).rfind("# mcu-agent-", 0), 0u) << file;
    }
    struct stat st;
    EXPECT_NE(::lstat((path + ".2").c_str(), &st), 0);
}

INSTANTIATE_TEST_SUITE_P(SimAndTap, CaptureRotation, testing::Values(Output::SimCapture, Output::TapCapture),
                         [](const testing::TestParamInfo<Output> &info) { return output_name(info.param); });

// A capture that the disk stops taking is said to stop, once, and the
// virtual MCU goes on serving.
TEST_F(ToolFiles, ACaptureThatCannotBeWrittenSaysSo) {
    const std::string path = dir_ + "/out";
    // The child inherits a file size limit of 200 kB, with SIGXFSZ ignored:
    // writes past it fail with EFBIG, as on a full disk.
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 200000;
    ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    auto sim = run(Output::SimCapture, path);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(sim->wait_for_output("listening on")) << sim->output();
    mcu_tools_test::Client app;
    ASSERT_TRUE(app.connect(socket_));
    ASSERT_TRUE(app.send(mcu_protocol::Bytes(150000, 0)));  // 300 kB of capture in hex
    EXPECT_TRUE(sim->wait_for_output("capture: cannot write " + path + ": File too large; the capture stops here"))
        << sim->output().substr(0, 1000);
    mcu_tools_test::Client another;
    EXPECT_TRUE(another.connect(socket_));
    EXPECT_TRUE(another.next_message(mcu_tools_test::message_id("MCU_MSG_GET_VERSION_INFO")));
}

}  // namespace
