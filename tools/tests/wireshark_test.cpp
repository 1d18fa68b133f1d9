// Wireshark: the generated dissector read by Debian's tshark against the
// tools' and the library's reading of the same rows, pcapng out of a
// capture, and live capture through the extcap program.  Skipped where
// tshark is not installed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "client.h"
#include "internal.h"
#include "pcapng.h"
#include "tool_test_support.h"
#include "words.h"

namespace {

using namespace mcu_protocol;
using namespace mcu_tools_test;

std::string program_on_path(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (::access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
    return "";
}

#define SKIP_WITHOUT_TSHARK()                                                                          \
    if (program_on_path("tshark").empty())                                                             \
    GTEST_SKIP() << "tshark is not installed (Debian package tshark): the Wireshark tests do not run"

// Standard output of a shell command.
std::string run(const std::string &command) {
    std::string out;
    FILE *p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
    return out;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    return lines;
}

std::string tshark(const std::string &file, const std::string &options) {
    return run("tshark -X lua_script:" MCU_AGENT_DISSECTOR " -r '" + file + "' " + options + " 2>/dev/null");
}

std::string unescape_xml(std::string s) {
    const std::pair<const char *, const char *> entities[] = {
        {"&quot;", "\""}, {"&apos;", "'"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}};
    for (const auto &[from, to] : entities)
        for (std::size_t at; (at = s.find(from)) != std::string::npos;) s.replace(at, std::strlen(from), to);
    return s;
}

std::string attribute(const std::string &line, const std::string &name) {
    const std::string key = " " + name + "=\"";
    const std::size_t start = line.find(key);
    if (start == std::string::npos) return "";
    const std::size_t from = start + key.size();
    return unescape_xml(line.substr(from, line.find('"', from) - from));
}

struct Field {
    std::string name, label;
};

// Every packet's record fields (mcu_agent.<owner>.<field>) from tshark's
// PDML, in tree order.
std::vector<std::vector<Field>> record_fields(const std::string &pdml) {
    std::vector<std::vector<Field>> packets;
    for (const std::string &line : lines_of(pdml)) {
        if (line.find("<packet>") != std::string::npos) packets.emplace_back();
        const std::string name = attribute(line, "name");
        if (packets.empty() || line.find("<field ") == std::string::npos || name.rfind("mcu_agent.", 0) != 0) continue;
        if (std::count(name.begin(), name.end(), '.') != 2 || name.rfind("mcu_agent.checksum.", 0) == 0) continue;
        packets.back().push_back({name, attribute(line, "showname")});
    }
    return packets;
}

// Wireshark keeps at most this many characters of a tree item's label.
constexpr std::size_t kLabelKept = 200;

struct Row {
    Direction direction;
    uint8_t id;
    const Layout *layout;
    Bytes payload;
};

// Every layout of every command and message, each with a payload of its
// own that reads through it, through tshark and the dissector: the Info
// column is the dump's words, every field is in the tree under its row name
// with its value in the dump's words, and for messages the library's
// McuAgent_format_msg says the same of the record it decodes.
TEST(Dissector, ReadsEveryRowAsTheDumpAndTheLibraryDo) {
    SKIP_WITHOUT_TSHARK();
    std::mt19937 rng(19);
    std::vector<Row> rows;
    for (const Command &c : commands())
        for (const Layout &l : c.layouts) rows.push_back({Direction::App, c.id, &l, random_payload(c.layouts, l, rng)});
    for (const Message &m : messages())
        for (const Layout &l : m.layouts)
            rows.push_back({Direction::Agent, m.id, &l, random_payload(m.layouts, l, rng)});
    const std::string file = test_dir() + "/rows.pcapng";
    {
        std::vector<uint8_t> bytes = mcu_pcapng::file_header();
        int64_t stamp = 1733590000000000;
        for (const Row &r : rows) {
            CaptureRecord record;
            record.stamp_us = stamp++;
            record.direction = r.direction;
            record.id = r.id;
            record.payload = r.payload;
            const std::vector<uint8_t> block = mcu_pcapng::packet_block(record);
            bytes.insert(bytes.end(), block.begin(), block.end());
        }
        write_file(file, std::string(bytes.begin(), bytes.end()));
    }
    const std::vector<std::string> info =
        lines_of(tshark(file, "-T fields -E separator=/t -e _ws.col.Info -e mcu_agent.hvac_info.left_temp"));
    const std::vector<std::vector<Field>> fields = record_fields(tshark(file, "-T pdml"));
    ASSERT_EQ(info.size(), rows.size());
    ASSERT_EQ(fields.size(), rows.size());

    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row &r = rows[i];
        const std::string words = frame_words(r.direction, r.id, r.payload);
        const std::string line = std::string(direction_word(r.direction)) + " > " + words;
        const std::string column = info[i].substr(0, info[i].find('\t'));
        EXPECT_EQ(column, line);

        const Values values = decode(*r.layout, r.payload.data(), r.payload.size());
        ASSERT_EQ(fields[i].size(), values.size()) << line;
        const std::string owner = fields[i].empty() ? "" : fields[i][0].name.substr(0, fields[i][0].name.rfind('.'));
        for (std::size_t k = 0; k < values.size(); ++k) {
            const mcu_protocol::Field &f = r.layout->fields[k];
            EXPECT_EQ(fields[i][k].name, owner + "." + f.name) << line;
            const std::string label = std::string(f.name) + "=" + format_value(f, values[k]);
            std::string shown = fields[i][k].label;
            const std::string cut = " [truncated]";
            if (shown.rfind(cut, 0) == 0) shown = shown.substr(cut.size());
            // A bit field's label starts with its bits in its bytes: "1111 .... = ".
            if (f.kind == Kind::Number && f.bits) {
                const std::size_t eq = shown.find(" = ");
                ASSERT_NE(eq, std::string::npos) << shown;
                EXPECT_EQ(shown.substr(0, eq).find_first_not_of("01. "), std::string::npos) << shown;
                EXPECT_EQ(static_cast<std::size_t>(std::count_if(shown.begin(), shown.begin() + eq,
                                                                 [](char c) { return c == '0' || c == '1'; })),
                          f.bits)
                    << shown;
                shown = shown.substr(eq + 3);
            }
            EXPECT_EQ(shown.substr(0, kLabelKept), label.substr(0, kLabelKept)) << line;
        }
        // A record keeps at most a field's limit, where the wire may carry
        // more: then the record's words differ from the frame's by design.
        bool within_limits = true;
        for (std::size_t k = 0; k < values.size(); ++k) {
            const mcu_protocol::Field &f = r.layout->fields[k];
            const std::size_t n = f.kind == Kind::Number ? values[k].number
                                  : f.kind == Kind::Numbers ? values[k].numbers.size()
                                                            : values[k].bytes.size();
            within_limits = within_limits && (!f.limit || n <= f.limit);
        }
        if (r.direction == Direction::Agent && within_limits) {
            std::array<uint8_t, RECEIVE_BUFFER_MSG_MAX_POP> area{r.id, static_cast<uint8_t>(r.payload.size())};
            std::copy(r.payload.begin(), r.payload.end(), area.begin() + 2);
            PACKET_MSG packet{};
            packet.mcu_msg_id = static_cast<MCU_MSG_ID>(r.id);
            packet.size = static_cast<uint8_t>(r.payload.size());
            mcu_agent::decode_frame(mcu_agent::Frame{area.data()}, &packet);
            char text[1024];
            McuAgent_format_msg(&packet, text, sizeof text);
            EXPECT_EQ("agent > " + std::string(text), line);
        }
        // The filter names are the rows' names: mcu_agent.hvac_info.left_temp.
        if (r.direction == Direction::Agent && std::string(find_message(r.id)->name) == "MCU_MSG_RET_HVAC_INFO") {
            EXPECT_EQ(info[i].substr(info[i].find('\t') + 1), std::to_string(number_of(values, "left_temp")));
        }
    }
}

// The capture of the demo against the virtual MCU, and lines of frames that
// are wrong in each way the dump notes: one packet per capture line, each
// in the dump's words, nothing malformed, the wrong checksums flagged.
TEST(Pcapng, DemoCaptureReadsLineForLineWithWrongChecksumsFlagged) {
    SKIP_WITHOUT_TSHARK();
    const std::string dir = test_dir();
    const std::string socket = private_socket_path();
    {
        Process sim(sim_command(socket, {"--no-console", "--capture", dir + "/demo.log"}), dir + "/sim.out");
        ASSERT_TRUE(sim.wait_for_output("listening on")) << sim.output();
        ::setenv("MCU_AGENT_SOCKET", socket.c_str(), 1);
        Process demo({MCU_AGENT_DEMO_PATH}, dir + "/demo.out");
        ASSERT_EQ(demo.wait(20000), 0) << demo.output();
        sim.terminate();
    }
    std::string capture = read_file(dir + "/demo.log");
    const char *wrong[] = {
        "#1 agent ! ABBA0000210107FF",    // checksum
        "#1 app ! BAAB0000200109FF",      // checksum
        "#1 app ! BAAB0100210021",        // bytes 2 and 3
        "#1 app > 99#",                   // unknown command
        "#1 app > 20#0900",               // length
        "#1 app ! ABBA0000210021",        // the agent's lead bytes
        "#1 app ! 1234",                  // outside any frame
        "#1 agent ! ABBA000021050102",    // cut short
        "#1 agent > 99#0102",             // unknown message
        "#1 agent > 21#",                 // no layout of that length
        "#1 agent > 51#01",               // length
        "dropped 3",
        "#1 agent ! ABBA00002101070712",  // a byte after the frame
        "#1 app ! BAAB000021002F",        // checksum
    };
    int64_t stamp = 1733590100000000;
    for (const char *line : wrong) capture += format_stamp(stamp++) + " " + line + "\n";
    write_file(dir + "/demo.log", capture);
    const std::string convert = "'" MCU_AGENT_DUMP_PATH "' --pcapng '" + dir + "/demo.pcapng' '" + dir + "/demo.log'";
    ASSERT_EQ(std::system(convert.c_str()), 0);

    std::vector<std::string> expected;
    for (const std::string &line : lines_of(run("'" MCU_AGENT_DUMP_PATH "' '" + dir + "/demo.log'"))) {
        // Without the stamp; the dump's second line for the byte after a
        // frame is on the frame's packet.
        if (line.find(" ! 1 bytes outside any frame: 12") != std::string::npos) {
            expected.back() += " ? 1 bytes outside any frame: 12";
            continue;
        }
        expected.push_back(line.substr(line.find(") ") + 2));
    }
    ASSERT_GT(expected.size(), 40u);
    const std::vector<std::string> packets = lines_of(tshark(
        dir + "/demo.pcapng", "-T fields -E separator=/t -E occurrence=f -e _ws.col.Info -e _ws.malformed "
                              "-e mcu_agent.checksum.bad -e frame.packet_flags_direction"));
    ASSERT_EQ(packets.size(), expected.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        std::vector<std::string> cells;
        std::stringstream s(packets[i]);
        for (std::string cell; std::getline(s, cell, '\t');) cells.push_back(cell);
        cells.resize(4);
        EXPECT_EQ(cells[0], expected[i]);
        EXPECT_EQ(cells[1], "") << "malformed: " << expected[i];
        const bool bad = expected[i].find("!checksum") != std::string::npos;
        EXPECT_EQ(!cells[2].empty(), bad) << expected[i];
        // The direction flag: outbound for the application's frames.
        if (expected[i].find(" app ") != std::string::npos) {
            EXPECT_EQ(cells[3], "0x00000002") << expected[i];
        } else if (expected[i].find(" agent ") != std::string::npos) {
            EXPECT_EQ(cells[3], "0x00000001") << expected[i];
        }
    }
    EXPECT_EQ(packets.back().substr(0, packets.back().find('\t')),
              "#1 app ! MCU_CMD_GET_AUDIO_SOURCE(0x21) !checksum 2F, expected 21");
}

// Each answer names its request (same id, same connection, the first not
// yet answered) and how long it took; bit fields show their bits, a value
// outside its enumeration is flagged, and a record is a filter of its own.
TEST(Dissector, LinksAnswersToRequestsAndShowsBitFields) {
    SKIP_WITHOUT_TSHARK();
    struct Line {
        int64_t us;
        int connection;
        Direction direction;
        uint8_t id;
        Bytes payload;
    };
    const int64_t t0 = 1733590000000000;
    const Line lines[] = {
        {t0, 1, Direction::App, 0x21, {}},                 // 1
        {t0 + 1000, 1, Direction::App, 0x21, {}},          // 2
        {t0 + 3000, 2, Direction::Agent, 0x21, {0x07}},    // 3: another connection asked nothing
        {t0 + 12500, 1, Direction::Agent, 0x21, {0x07}},   // 4: answers 1
        {t0 + 30000, 1, Direction::Agent, 0x21, {0x09}},   // 5: answers 2
        // 6: hvac_mode 7 (no member), blower_level 15, left_temp 17
        {t0 + 40000, 1, Direction::Agent, 0xFA, {0xE2, 0xF0, 17 << 3, 16 << 3, 0x00}},
    };
    std::vector<uint8_t> bytes = mcu_pcapng::file_header();
    for (const Line &l : lines) {
        CaptureRecord r;
        r.stamp_us = l.us;
        r.connection = l.connection;
        r.direction = l.direction;
        r.id = l.id;
        r.payload = l.payload;
        const std::vector<uint8_t> block = mcu_pcapng::packet_block(r);
        bytes.insert(bytes.end(), block.begin(), block.end());
    }
    const std::string file = test_dir() + "/linked.pcapng";
    write_file(file, std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(tshark(file, "-T fields -E separator=/t -e frame.number -e mcu_agent.response_to "
                           "-e mcu_agent.response_time -Y mcu_agent.response_to"),
              "4\t1\t12.5\n5\t2\t29\n");
    EXPECT_EQ(tshark(file, "-T fields -e frame.number -Y 'mcu_agent.response_time > 20'"), "5\n");
    EXPECT_EQ(tshark(file, "-T fields -e frame.number -Y 'mcu_agent.hvac_info'"), "6\n");
    EXPECT_EQ(tshark(file, "-T fields -e frame.number -Y 'mcu_agent.unknown_value'"), "6\n");
    EXPECT_EQ(tshark(file, "-T fields -e frame.number -Y 'mcu_agent.hvac_info.blower_level == 15'"), "6\n");
    const std::string tree = tshark(file, "-V -Y mcu_agent.hvac_info");
    EXPECT_NE(tree.find("1111 .... = blower_level=15"), std::string::npos) << tree;
    EXPECT_NE(tree.find("111. .... = hvac_mode=7?"), std::string::npos) << tree;
    EXPECT_NE(tree.find("hvac_mode: 7 is not a member of HVAC_MODE_ID"), std::string::npos) << tree;
}

// tshark -i on the extcap program.  Wireshark ignores WIRESHARK_EXTCAP_DIR
// for root, so as root every program here runs as nobody.
class Extcap : public testing::Test {
protected:
    void SetUp() override {
        if (program_on_path("tshark").empty())
            GTEST_SKIP() << "tshark is not installed (Debian package tshark): the Wireshark tests do not run";
        dir_ = test_dir();
        if (::geteuid() == 0) as_ = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        socket_ = private_socket_path();
        const std::string home = socket_ + ".home";
        ASSERT_EQ(::mkdir(home.c_str(), 0777), 0);
        ::chmod(home.c_str(), 0777);
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("MCU_AGENT_SOCKET", socket_.c_str(), 1);
        ::setenv("WIRESHARK_EXTCAP_DIR", MCU_AGENT_EXTCAP_DIR, 1);
        sim_ = std::make_unique<Process>(command(sim_command(socket_, {"--no-console"})), dir_ + "/sim.out");
        ASSERT_TRUE(sim_->wait_for_output("listening on")) << sim_->output();
    }
    std::vector<std::string> command(std::vector<std::string> argv) const {
        argv.insert(argv.begin(), as_.begin(), as_.end());
        return argv;
    }
    std::unique_ptr<Process> tshark_on(const std::string &interface, const std::vector<std::string> &more = {}) {
        std::vector<std::string> argv = {program_on_path("tshark"), "-l", "-X", "lua_script:" MCU_AGENT_DISSECTOR,
                                         "-i", interface};
        argv.insert(argv.end(), more.begin(), more.end());
        return std::make_unique<Process>(command(argv), dir_ + "/tshark.out");
    }
    static bool exists(const std::string &path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0;
    }
    // Waits until `path` exists (or not).
    static bool wait_for(const std::string &path, bool there) {
        for (int i = 0; i < 500 && exists(path) != there; ++i) ::usleep(10000);
        return exists(path) == there;
    }
    std::string dir_, socket_;
    std::vector<std::string> as_;
    std::unique_ptr<Process> sim_;
};

// The tap goes between the demo and the virtual MCU, the frames reach
// tshark as they pass, and when tshark stops the agent's socket is back in
// its place.
TEST_F(Extcap, TsharkCapturesTheDemoLiveThroughTheTap) {
    std::string list;
    for (const std::string &a : command({program_on_path("tshark"), "-D"})) list += a + " ";
    EXPECT_NE(run(list + "2>/dev/null").find("mcu_agent_tap"), std::string::npos);
    auto ts = tshark_on("mcu_agent_tap");
    ASSERT_TRUE(wait_for(socket_ + ".tapped", true)) << ts->output();
    ASSERT_TRUE(wait_for(socket_, true));
    Process demo(command({MCU_AGENT_DEMO_PATH}), dir_ + "/demo.out");
    EXPECT_EQ(demo.wait(20000), 0) << demo.output();
    EXPECT_TRUE(ts->wait_for_output("app \u2192 agent")) << ts->output();  // the Source and Destination columns
    EXPECT_TRUE(ts->wait_for_output("#1 app > MCU_CMD_HMI_STARTUP(0x00)")) << ts->output();
    EXPECT_TRUE(ts->wait_for_output("#1 agent > MCU_MSG_RET_CUR_AUDIO_SOURCE(0x21) audio_source=AUDIO_SOURCE_FM1"))
        << ts->output();
    EXPECT_TRUE(ts->wait_for_output("#1 disconnect")) << ts->output();
    ts->terminate();
    EXPECT_TRUE(wait_for(socket_ + ".tapped", false)) << "the tap put the agent's socket back";
    struct stat st;
    ASSERT_EQ(::stat(socket_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
}

// The other source: the trace that the demo's library writes, followed
// from its start.
TEST_F(Extcap, TsharkFollowsALibraryTrace) {
    const std::string trace = socket_ + ".trace";
    auto ts = tshark_on("mcu_agent_trace", {"-o", "extcap.mcu_agent_trace.trace:" + trace});
    ASSERT_TRUE(ts->wait_for_output("Capturing on")) << ts->output();
    ::setenv("MCU_AGENT_TRACE", trace.c_str(), 1);
    Process demo(command({MCU_AGENT_DEMO_PATH}), dir_ + "/demo.out");
    ::unsetenv("MCU_AGENT_TRACE");
    EXPECT_EQ(demo.wait(20000), 0) << demo.output();
    EXPECT_TRUE(ts->wait_for_output("#1 connect " + socket_)) << ts->output();
    EXPECT_TRUE(ts->wait_for_output("#1 agent > MCU_MSG_RET_HVAC_INFO(0xFA)")) << ts->output();
    ts->terminate();
}

// The sanitizers reserve terabytes of address space for their shadow: an
// address-space limit cannot hold a program built with one.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kAddressSpaceCanBeLimited = false;
#else
constexpr bool kAddressSpaceCanBeLimited = true;
#endif

// The extcap program alone, writing into a file as Wireshark's fifo.
class ExtcapProgram : public testing::Test {
protected:
    void SetUp() override {
        dir_ = test_dir();
        out_ = dir_ + "/out.pcapng";
        write_file(out_, "");
    }
    // `limit_memory`: in 256 MiB of address space, where that can hold.
    std::unique_ptr<Process> capture(const std::string &interface, const std::vector<std::string> &more,
                                     bool limit_memory = false) {
        std::vector<std::string> argv = {MCU_AGENT_EXTCAP_DIR "/mcu-agent-extcap", "--extcap-interface", interface,
                                         "--capture", "--fifo", out_};
        if (limit_memory && kAddressSpaceCanBeLimited)
            argv.insert(argv.begin(), {"/usr/bin/prlimit", "--as=" + std::to_string(256 << 20)});
        argv.insert(argv.end(), more.begin(), more.end());
        return std::make_unique<Process>(argv, dir_ + "/extcap.err");
    }
    std::string dir_, out_;
};

// Wireshark shows whatever an extcap writes to standard error as an error:
// a tap stopped in the ordinary way says nothing there.
TEST_F(ExtcapProgram, AnOrdinaryStopOfTheTapWritesNoError) {
    const std::string socket = private_socket_path();
    Process sim(sim_command(socket, {"--no-console"}), dir_ + "/sim.out");
    ASSERT_TRUE(sim.wait_for_output("listening on")) << sim.output();
    auto extcap = capture("mcu_agent_tap", {"--socket", socket, "--tap", MCU_AGENT_TAP_PATH});
    struct stat st;
    for (int i = 0; i < 500 && ::stat((socket + ".tapped").c_str(), &st) != 0; ++i) ::usleep(10000);
    ASSERT_EQ(::stat((socket + ".tapped").c_str(), &st), 0) << extcap->output();
    EXPECT_EQ(extcap->terminate(), 0);
    EXPECT_EQ(extcap->output(), "");
    EXPECT_NE(::stat((socket + ".tapped").c_str(), &st), 0) << "the agent's socket is back";
}

// A trace line without end (here 512 MiB without a newline) is skipped
// within a bounded buffer, and the lines after it still arrive.
TEST_F(ExtcapProgram, TheTraceFollowerSkipsAnEndlessLine) {
    const std::string trace = dir_ + "/trace.log";
    write_file(trace, "");
    ASSERT_EQ(::truncate(trace.c_str(), 512 << 20), 0);
    std::ofstream(trace, std::ios::app) << "\n(1733590000.100000) #1 connect /tmp/after\n";
    auto extcap = capture("mcu_agent_trace", {"--trace", trace}, true);
    bool seen = false;
    for (int i = 0; i < 1000 && !seen; ++i) {
        seen = read_file(out_).find("#1 connect /tmp/after") != std::string::npos;
        if (!seen) ::usleep(10000);
    }
    EXPECT_TRUE(seen) << extcap->output();
    EXPECT_EQ(extcap->terminate(), 0) << extcap->output();
}

}  // namespace
