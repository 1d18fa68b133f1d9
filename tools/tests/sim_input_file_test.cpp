// sim_input_file_test.cpp - the files the virtual MCU reads by name (a state
// file, a scenario, a capture to replay, from the command line or the
// console) are regular files of a bounded size: a FIFO, a device or a huge
// file is refused at once with the reason, never waited on or read without
// end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tool_test_support.h"

namespace {

using mcu_tools_test::Process;

enum class Kind { Fifo, Device, Huge };

struct Reader {
    const char *name;
    const char *option;  // "" : the console's replay command
    int status;          // the exit status of a refusal on the command line
    off_t limit;         // the most it reads
};

const Reader kReaders[] = {
    {"State", "--state", 1, 1 << 20},
    {"Scenario", "--scenario", 1, 1 << 20},
    {"Replay", "--replay", 2, 64 << 20},
    {"ConsoleReplay", "", 0, 64 << 20},
};

struct Case {
    Reader reader;
    Kind kind;
};

class SimInputFile : public testing::TestWithParam<Case> {};

TEST_P(SimInputFile, IsRefusedAtOnceUnlessARegularFileOfBoundedSize) {
    const Reader &r = GetParam().reader;
    const std::string dir = mcu_tools_test::test_dir();
    std::string path = dir + "/input", says;
    switch (GetParam().kind) {
        case Kind::Fifo:
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
            says = "it is a FIFO, not a regular file";
            break;
        case Kind::Device:
            path = "/dev/zero";
            says = "it is a character device, not a regular file";
            break;
        case Kind::Huge: {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::ftruncate(fd, r.limit + 1), 0);  // sparse: no disk used
            ::close(fd);
            says = "larger than " + std::to_string(r.limit) + " bytes";
            break;
        }
    }
    std::vector<std::string> extra = {"--no-version-request"};
    if (*r.option) {
        extra.push_back(r.option);
        extra.push_back(path);
    }
    Process sim(mcu_tools_test::sim_command(mcu_tools_test::private_socket_path(), extra), dir + "/sim.log");
    if (!*r.option) {
        ASSERT_TRUE(sim.wait_for_output("listening on")) << sim.output();
        sim.write_stdin("replay " + path + "\nquit\n");
    }
    EXPECT_EQ(sim.wait(5000), r.status) << sim.output();
    EXPECT_NE(sim.output().find("cannot read " + path + ": " + says), std::string::npos) << sim.output();
    sim.terminate();
}

std::vector<Case> all_cases() {
    std::vector<Case> cases;
    for (const Reader &r : kReaders)
        for (Kind k : {Kind::Fifo, Kind::Device, Kind::Huge}) cases.push_back({r, k});
    return cases;
}

std::string case_name(const testing::TestParamInfo<Case> &i) {
    static const char *const kinds[] = {"Fifo", "Device", "Huge"};
    return std::string(i.param.reader.name) + kinds[static_cast<int>(i.param.kind)];
}

INSTANTIATE_TEST_SUITE_P(, SimInputFile, testing::ValuesIn(all_cases()), case_name);

}  // namespace
