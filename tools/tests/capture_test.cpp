// capture_test.cpp - cutting frames out of a stream, the capture line
// format, and the dump that reads both.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "dump.h"
#include "pcapng.h"
#include "frame.h"
#include "tool_test_support.h"
#include "words.h"

namespace {

using namespace mcu_protocol;

std::vector<std::string> scan(const Bytes &stream, std::size_t chunk) {
    FrameScanner s;
    std::vector<std::string> out;
    for (std::size_t i = 0; i < stream.size(); i += chunk) {
        s.feed(stream.data() + i, std::min(chunk, stream.size() - i));
        while (auto p = s.next()) out.push_back(p->is_frame ? direction_word(p->direction) + std::string(" ") +
                                                                  hex(&p->id, 1) + "#" + hex(p->payload)
                                                            : "? " + hex(p->raw));
    }
    while (auto p = s.flush()) out.push_back(p->is_frame ? "frame" : "? " + hex(p->raw));
    return out;
}

// The same pieces come out however the stream is cut.
TEST(FrameScanner, CutsFramesOfBothDirectionsOutOfAnyChunking) {
    Bytes stream;
    for (const Bytes &part : {app_frame(0x21, {}), Bytes{0x12, 0x34}, agent_frame(0x50, {4, 2, 1, 0, 0, 3, 0x84}),
                              Bytes{0xBA, 0x00}, app_frame(0x40, {0x2A, 0x30}), Bytes(255, 0x11)}) {
        stream.insert(stream.end(), part.begin(), part.end());
    }
    const Bytes big = agent_frame(0xF0, Bytes(255, 0xAB));
    stream.insert(stream.end(), big.begin(), big.end());
    stream.insert(stream.end(), {0xAB, 0xBA, 0x00, 0x00, 0x21, 0x05, 0x01});  // cut short
    const std::vector<std::string> want = {"app 21#",
                                           "? 1234",
                                           "agent 50#04020100000384",
                                           "? BA00",
                                           "app 40#2A30",
                                           "? " + hex(Bytes(255, 0x11)),
                                           "agent F0#" + hex(Bytes(255, 0xAB)),
                                           "? ABBA0000210501"};
    for (std::size_t chunk : {1, 2, 3, 7, 64, 4096}) {
        std::vector<std::string> got = scan(stream, chunk);
        // Garbage may come out in several pieces when it arrives in several
        // chunks; join neighbouring garbage before comparing.
        std::vector<std::string> joined;
        for (const std::string &g : got) {
            if (!joined.empty() && g[0] == '?' && joined.back()[0] == '?')
                joined.back() += g.substr(2);
            else
                joined.push_back(g);
        }
        EXPECT_EQ(joined, want) << "chunks of " << chunk;
    }
}

TEST(Capture, LinesRoundTrip) {
    CaptureRecord r;
    r.stamp_us = 1733590000123456;
    r.direction = Direction::Agent;
    r.id = 0x21;
    r.payload = {0x01};
    EXPECT_EQ(format_capture(r), "(1733590000.123456) agent > 21#01");
    r.direction = Direction::App;
    r.payload.clear();
    r.stamp_us = 5;
    EXPECT_EQ(format_capture(r), "(0.000005) app > 21#");
    r.valid = false;
    r.raw = {0xBA, 0xAB, 0x00};
    EXPECT_EQ(format_capture(r), "(0.000005) app ! BAAB00");

    const char *lines[] = {"(1733590000.123456) agent > 21#01", "(0.000005) app > 21#", "(0.000005) app ! BAAB00",
                           "(12.000000) agent > FD#000102030405060708090A0B0C0D0E0F",
                           "(1.000000) #2 connect /tmp/mcu_agent", "(1.000000) #12 app > 21#",
                           "(1.000000) #2 agent ! ABBA", "(2.000000) #2 disconnect", "(3.000000) dropped 17"};
    for (const char *line : lines) {
        CaptureRecord back;
        std::string error;
        ASSERT_EQ(parse_capture(line, &back, &error), LineKind::Record) << line << ": " << error;
        EXPECT_EQ(format_capture(back), line);
    }
}

TEST(Capture, BadLinesSayWhatIsWrong) {
    struct Row {
        const char *line;
        LineKind kind;
        const char *error;
    } rows[] = {
        {"", LineKind::Comment, ""},
        {"   # note", LineKind::Comment, ""},
        {"agent > 21#01", LineKind::Bad, "no (seconds.microseconds) stamp"},
        {"(1.5) agent > 21#01", LineKind::Record, ""},
        {"(1) #3 disconnect", LineKind::Record, ""},
        {"(1.5x) agent > 21#01", LineKind::Bad, "stamp is not seconds with up to six decimals"},
        {"(1.1234567) agent > 21#01", LineKind::Bad, "stamp is not seconds with up to six decimals"},
        {"(1.0) #0 app > 21#", LineKind::Bad, "connection is not #1, #2"},
        {"(1.0) #x app > 21#", LineKind::Bad, "connection is not #1, #2"},
        {"(1.0) dropped many", LineKind::Bad, "expected dropped N"},
        {"(1.000000) mcu > 21#01", LineKind::Bad, "neither app nor agent"},
        {"(1.000000) app < 21#01", LineKind::Bad, "expected > or !"},
        {"(1.000000) app > 2101", LineKind::Bad, "expected id#payload"},
        {"(1.000000) app > 121#01", LineKind::Bad, "expected id#payload"},
        {"(1.000000) app > 21#0", LineKind::Bad, "payload is not hex"},
        {"(1.000000) app ! ", LineKind::Bad, "raw bytes are not hex"},
    };
    for (const auto &row : rows) {
        CaptureRecord r;
        std::string error;
        EXPECT_EQ(parse_capture(row.line, &r, &error), row.kind) << row.line;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.line << ": " << error;
    }
    CaptureRecord r;
    std::string error;
    EXPECT_EQ(parse_capture("(1.000000) agent > F0#" + std::string(512, 'A'), &r, &error), LineKind::Bad);
}

TEST(Capture, AFrameWithABadChecksumIsKeptAsRawBytes) {
    FrameScanner s;
    const Bytes bad = {0xBA, 0xAB, 0x00, 0x00, 0x21, 0x00, 0x22};
    s.feed(bad.data(), bad.size());
    const CaptureRecord r = capture_of(*s.next(), 7);
    EXPECT_EQ(format_capture(r), "(0.000007) app ! BAAB0000210022");
    // The agent's too: the library does not examine its trailer, but the
    // capture keeps the bytes so that the dump can flag them.
    const Bytes agent = {0xAB, 0xBA, 0x00, 0x00, 0x21, 0x01, 0x07, 0x00};
    s.feed(agent.data(), agent.size());
    EXPECT_EQ(format_capture(capture_of(*s.next(), 7)), "(0.000007) agent ! ABBA000021010700");
}

std::string dump(const std::string &input, bool verbose = false, int *bad = nullptr, std::string *errors = nullptr) {
    std::istringstream in(input);
    std::ostringstream out, err;
    mcu_dump::DumpOptions options;
    options.verbose = verbose;
    const int b = mcu_dump::dump_stream(in, out, err, "in", options);
    if (bad) *bad = b;
    if (errors) *errors = err.str();
    return out.str();
}

TEST(Dump, CaptureLinesBecomeOneLineOfWordsEach) {
    int bad = 0;
    std::string errors;
    EXPECT_EQ(dump("# a session\n"
                   "(1733590000.123456) app > 21#\n"
                   "(1733590000.124000) agent > 21#07\n"
                   "(1733590000.125000) app ! BAAB0000210022\n"
                   "(1733590000.126000) agent > 02#0102\n"
                   "(1733590000.127000) app > 99#\n"
                   "not a frame\n"
                   "(1733590000.128000) #2 connect /tmp/mcu_agent\n"
                   "(1733590000.129000) #2 agent > 21#07\n"
                   "(1733590000.130000) #2 agent ! ABBA000021010700\n"
                   "(1733590000.131000) dropped 4\n"
                   "(1733590000.132000) #2 disconnect\n",
                   false, &bad, &errors),
              "(1733590000.123456) app > MCU_CMD_GET_AUDIO_SOURCE(0x21)\n"
              "(1733590000.124000) agent > MCU_MSG_RET_CUR_AUDIO_SOURCE(0x21) audio_source=AUDIO_SOURCE_TUNER\n"
              "(1733590000.125000) app ! MCU_CMD_GET_AUDIO_SOURCE(0x21) !checksum 22, expected 21\n"
              "(1733590000.126000) agent > unknown message 0x02 0102 !no decoding rule: the library copies the "
              "payload raw\n"
              "(1733590000.127000) app > unknown command 0x99\n"
              "(1733590000.128000) #2 connect /tmp/mcu_agent\n"
              "(1733590000.129000) #2 agent > MCU_MSG_RET_CUR_AUDIO_SOURCE(0x21) audio_source=AUDIO_SOURCE_TUNER\n"
              "(1733590000.130000) #2 agent ! MCU_MSG_RET_CUR_AUDIO_SOURCE(0x21) audio_source=AUDIO_SOURCE_TUNER "
              "!checksum 00, expected 27\n"
              "(1733590000.131000) dropped 4\n"
              "(1733590000.132000) #2 disconnect\n");
    EXPECT_EQ(errors, "in:7: neither a capture line nor hex bytes\n");
    EXPECT_EQ(bad, 1);
}

// A line longer than any the tools write (1 MiB) is never kept whole: the
// dump reports it and goes on with the next line, the readers of whole
// captures (replay, pcapng) refuse it with its place.
TEST(Capture, ALineOverTheLimitIsReportedAndNotKept) {
    const std::string text = "(1733590000.000001) #1 app ! " + std::string(2 << 20, 'A') +
                             "\n(1733590000.000002) #1 app > 21#\n";
    int bad = 0;
    std::string errors;
    EXPECT_EQ(dump(text, false, &bad, &errors), "(1733590000.000002) #1 app > MCU_CMD_GET_AUDIO_SOURCE(0x21)\n");
    EXPECT_EQ(errors, "in:1: longer than 1048576 bytes, skipped\n");
    EXPECT_EQ(bad, 1);
    const std::string path = mcu_tools_test::test_dir() + "/long.capture";
    mcu_tools_test::write_file(path, text);
    std::vector<CaptureRecord> records;
    EXPECT_FALSE(read_capture_file(path, &records, &errors));
    EXPECT_EQ(errors, path + ":1: longer than 1048576 bytes: not a capture line");
}

// Lines of any length and ending, read with a 10-byte limit; the long
// ones cross the reader's 8 KiB pieces.  "!" marks a line over the limit.
TEST(Capture, ReadLineCutsEveryLineOnceWithinItsLimit) {
    struct Row {
        std::string text;
        std::vector<std::string> lines;
    };
    const std::string at_limit(10, 'a'), over(20000, 'b');
    const Row rows[] = {
        {"", {}},
        {"\n\nx\n", {"", "", "x"}},
        {"no newline", {"no newline"}},
        {at_limit + "\n" + at_limit + "b\nc", {at_limit, "!", "c"}},
        {over + "\nd\n" + over, {"!", "d", "!"}},
    };
    for (const Row &row : rows) {
        std::istringstream in(row.text);
        std::vector<std::string> got;
        std::string line;
        for (LineRead r; (r = read_line(in, &line, 10)) != LineRead::End;)
            got.push_back(r == LineRead::TooLong ? "!" : line);
        EXPECT_EQ(got, row.lines) << row.text.substr(0, 40);
    }
}

TEST(Dump, HexFramesMayRunOverLinesAndShareThem) {
    EXPECT_EQ(dump("BA AB 00 00 40 02\n"
                   "2A 30 58 BAAB0000 2100 21\n"
                   "AB BA 00 00 FC 02 01 35 CA\n"),
              "app > MCU_CMD_SET_RADIO_FREQ(0x40) freq=10800\n"
              "app > MCU_CMD_GET_AUDIO_SOURCE(0x21)\n"
              "agent > MCU_MSG_RET_IT_COMMANDER_INFO(0xFC) sw=1 encoder=ENCODER_CW_3PULSE directions=DIRECTIONS_DOWN\n");
    // A frame cut short at the end of the input.
    EXPECT_EQ(dump("BA AB 00 00 40 02 2A\n"), "? 7 bytes outside any frame: BAAB000040022A\n");
}

// -v shows what was on the wire, a wrong checksum included.
TEST(Dump, VerboseShowsTheBytesAsTheyWere) {
    EXPECT_EQ(dump("AB BA 00 00 21 01 07 55\n", true),
              "agent > MCU_MSG_RET_CUR_AUDIO_SOURCE(0x21) audio_source=AUDIO_SOURCE_TUNER !checksum 55, expected 27\n"
              "    frame  AB BA 00 00 21 01 07 55\n"
              "    record byte, PACKET_MSG.size 1\n"
              "    P0                 audio_source=AUDIO_SOURCE_TUNER  -> data[0]\n");
}

TEST(Dump, VerboseShowsEachFieldsBytesAndPlace) {
    EXPECT_EQ(dump("(1.000000) agent > 50#04020100000384\n", true),
              "(1.000000) agent > MCU_MSG_RET_RADIO_NOTIFY(0x50) band=RADIO_BAND_AM1 preset_num=2 "
              "status=RADIO_STATUS_SEEK_UP cur_freq=900\n"
              "    frame  AB BA 00 00 50 07 04 02 01 00 00 03 84 D7\n"
              "    record RADIO_NOTIFY, PACKET_MSG.size 7\n"
              "    P0                 band=RADIO_BAND_AM1  -> data[0..3]\n"
              "    P1                 preset_num=2  -> data[4]\n"
              "    P2                 status=RADIO_STATUS_SEEK_UP  -> data[8..11]\n"
              "    P3-P6              cur_freq=900  -> data[12..15]\n");
}

TEST(Dump, TheProgramReadsFilesAndStandardInput) {
    const std::string dir = mcu_tools_test::test_dir();
    mcu_tools_test::write_file(dir + "/in.log", "(2.000000) app > 04#12\n");
    {
        mcu_tools_test::Process p({MCU_AGENT_DUMP_PATH, dir + "/in.log"}, dir + "/out.txt");
        EXPECT_EQ(p.wait(), 0);
        EXPECT_EQ(p.output(), "(2.000000) app > MCU_CMD_SET_HARD_KEY(0x04) key=HARD_KEY_POWER\n");
    }
    {
        mcu_tools_test::Process p({MCU_AGENT_DUMP_PATH, "-v"}, dir + "/stdin.txt");
        p.write_stdin("AB BA 00 00 21 01 07 27\nzz\n");
        p.close_stdin();
        EXPECT_EQ(p.wait(), 1);  // one line it could not read
        EXPECT_NE(p.output().find("    P0                 audio_source=AUDIO_SOURCE_TUNER  -> data[0]"),
                  std::string::npos)
            << p.output();
    }
    // A file that cannot be read is reported and the next one still dumped.
    mcu_tools_test::Process missing({MCU_AGENT_DUMP_PATH, dir + "/none.log", dir + "/in.log"}, dir + "/missing.txt");
    EXPECT_EQ(missing.wait(), 1);
    EXPECT_NE(missing.output().find("cannot read"), std::string::npos);
    EXPECT_NE(missing.output().find("key=HARD_KEY_POWER"), std::string::npos);
}

// The packets of a pcapng file, each as its comment ("#1", "#1 connect
// /tmp/x"), walked block by block and option by option: every length must
// lead exactly to the next, so bytes smuggled into an option fail here.
std::vector<std::string> pcapng_comments(const std::string &file, std::string *problem) {
    auto u16 = [&](std::size_t at) { return unsigned(uint8_t(file[at])) | unsigned(uint8_t(file[at + 1])) << 8; };
    auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
    std::vector<std::string> comments;
    for (std::size_t at = 0; at + 12 <= file.size();) {
        const std::size_t type = u32(at), total = u32(at + 4);
        if (total < 12 || at + total > file.size() || u32(at + total - 4) != total) {
            *problem = "block at " + std::to_string(at) + " has a bad length";
            return comments;
        }
        if (type == 6) {
            std::size_t o = at + 28 + ((u32(at + 20) + 3) & ~3u);
            std::string comment;
            for (;;) {
                if (o + 4 > at + total - 4) {
                    *problem = "options run past their block";
                    return comments;
                }
                const unsigned code = u16(o), size = u16(o + 2);
                if (code == 0) break;
                if (code == 1) comment = file.substr(o + 4, size);
                o += 4 + ((size + 3) & ~3u);
            }
            if (o + 4 != at + total - 4) *problem = "bytes after the end of the options";
            comments.push_back(comment);
        }
        at += total;
    }
    return comments;
}

struct PcapngRow {
    const char *name;
    std::string capture;
    int status;
    const char *reported;  // on standard error; "" for nothing
    std::vector<std::string> comments;
};

// Test names show the row's name, not its bytes.
void PrintTo(const PcapngRow &row, std::ostream *os) { *os << row.name; }

class PcapngLines : public testing::TestWithParam<PcapngRow> {};

// A line that is not a capture line is reported with its number and
// skipped; the rest is written.
TEST_P(PcapngLines, BadLinesAreReportedAndSkipped) {
    const PcapngRow &row = GetParam();
    const std::string dir = mcu_tools_test::test_dir();
    mcu_tools_test::write_file(dir + "/in.log", row.capture);
    mcu_tools_test::Process p({MCU_AGENT_DUMP_PATH, "--pcapng", dir + "/out.pcapng", dir + "/in.log"},
                              dir + "/err.txt");
    EXPECT_EQ(p.wait(), row.status) << p.output();
    if (*row.reported) EXPECT_NE(p.output().find(dir + "/in.log:" + row.reported), std::string::npos) << p.output();
    else EXPECT_EQ(p.output(), "");
    std::string problem;
    EXPECT_EQ(pcapng_comments(mcu_tools_test::read_file(dir + "/out.pcapng"), &problem), row.comments);
    EXPECT_EQ(problem, "");
}

const std::string kLine1 = "(1733590000.100000) #1 connect /tmp/mcu_agent\n";
const std::string kLine2 = "(1733590000.200000) #1 app > 21#\n";

INSTANTIATE_TEST_SUITE_P(
    Pcapng, PcapngLines,
    testing::Values(
        PcapngRow{"Clean", kLine1 + kLine2, 0, "", {"#1 connect /tmp/mcu_agent", "#1"}},
        PcapngRow{"BadLineInTheMiddle", kLine1 + "(17335 app > 21#\n" + kLine2, 1, "2: ",
                  {"#1 connect /tmp/mcu_agent", "#1"}},
        // The unit lost power in the middle of the last line.
        PcapngRow{"CutLastLine", kLine1 + kLine2 + "(1733590000.300000) #1 agent > 21#0", 1, "3: payload is not hex",
                  {"#1 connect /tmp/mcu_agent", "#1"}},
        PcapngRow{"CutLastLineThatReads", kLine2 + "(1733590000.300000) #1 disconn", 1, "2: ", {"#1"}},
        // Over the line limit (1 MiB): never kept whole, never written.
        PcapngRow{"EndlessConnectLine",
                  "(1733590000.100000) #1 connect /" + std::string(2 << 20, 'A') + "\n" + kLine2, 1,
                  "1: longer than", {"#1"}},
        // The tap's line for one 64 KiB read outside any frame is a capture
        // line like any other.
        PcapngRow{"RawReadOf64KiB", kLine1 + "(1733590000.300000) #1 app ! " + std::string(128 << 10, 'A') + "\n", 0,
                  "", {"#1 connect /tmp/mcu_agent", "#1"}}),
    [](const testing::TestParamInfo<PcapngRow> &info) { return std::string(info.param.name); });

// An option's length has 16 bits: a longer comment is cut, never read on
// as options of its own.
TEST(Pcapng, ALongCommentIsCutAtTheOptionLimit) {
    CaptureRecord r = connect_record(1, std::string(65536 + 8, 'B'), 1);
    const std::vector<uint8_t> header = mcu_pcapng::file_header(), block = mcu_pcapng::packet_block(r);
    std::string problem;
    const std::vector<std::string> comments =
        pcapng_comments(std::string(header.begin(), header.end()) + std::string(block.begin(), block.end()), &problem);
    EXPECT_EQ(problem, "");
    ASSERT_EQ(comments.size(), 1u);
    EXPECT_EQ(comments[0].substr(0, 11), "#1 connect ");
}

// "-" is standard output, and --follow streams a capture as it grows.
TEST(Pcapng, WritesToStandardOutputAndFollowsAGrowingCapture) {
    const std::string dir = mcu_tools_test::test_dir();
    mcu_tools_test::write_file(dir + "/in.log", kLine1);
    // Through the emulator of a cross build (empty natively), as Process does.
    const std::string to_stdout =
        "cd '" + dir + "' && " MCU_TOOLS_EMULATOR " '" MCU_AGENT_DUMP_PATH "' --pcapng - in.log > piped.pcapng";
    ASSERT_EQ(std::system(to_stdout.c_str()), 0);
    EXPECT_NE(::access((dir + "/-").c_str(), F_OK), 0) << "a file named -";
    std::string problem;
    EXPECT_EQ(pcapng_comments(mcu_tools_test::read_file(dir + "/piped.pcapng"), &problem),
              std::vector<std::string>{"#1 connect /tmp/mcu_agent"});

    mcu_tools_test::Process follow({MCU_AGENT_DUMP_PATH, "--pcapng", dir + "/live.pcapng", "--follow", dir + "/in.log"},
                                   dir + "/follow.txt");
    auto packets = [&] { return pcapng_comments(mcu_tools_test::read_file(dir + "/live.pcapng"), &problem).size(); };
    for (int i = 0; i < 300 && packets() < 1; ++i) ::usleep(10000);
    EXPECT_EQ(packets(), 1u);
    auto append = [&](const std::string &text) { std::ofstream(dir + "/in.log", std::ios::app) << text; };
    append(kLine2.substr(0, 10));  // half a line: not yet
    ::usleep(200000);
    EXPECT_EQ(packets(), 1u);
    append(kLine2.substr(10));
    for (int i = 0; i < 300 && packets() < 2; ++i) ::usleep(10000);
    EXPECT_EQ(packets(), 2u);
    EXPECT_EQ(follow.terminate(), 0) << follow.output();
}

}  // namespace
