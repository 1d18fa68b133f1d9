// The life of a connection against hostile servers and callers: a peer
// that has gone, closed standard streams, fork(), a server that writes
// before it reads, a blocked standard output, re-entrant decoding, failed
// start-ups; and what applications see of it (connection handler,
// background reconnection, log handler, inbound checksum).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent_server.h"
#include "wait.h"
#include "client.h"
#include "delivery.h"
#include "mcu_agent_api.h"

using mcu_agent_test::AgentServer;
using mcu_agent_test::Bytes;
using mcu_agent_test::inbound_frame;
using mcu_agent_test::wait_until;
using namespace std::chrono_literals;

namespace {

// What the application saw, in order: "frame XX" per message, "up"/"down"
// per connection event.  Never destroyed: the library's threads outlive
// the test body and may still record while the process exits.
std::mutex &g_mutex = *new std::mutex;
std::vector<std::string> &g_seen = *new std::vector<std::string>;
std::atomic<bool> g_hold{false};     // handlers wait while set
std::atomic<int> g_in_handler{0};

void seen(const std::string &what) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen.push_back(what);
}
std::vector<std::string> seen_so_far() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_seen;
}

void on_frame(PACKET_MSG *msg) {
    ++g_in_handler;
    while (g_hold.load()) std::this_thread::sleep_for(1ms);
    char text[16];
    snprintf(text, sizeof text, "frame %02X", static_cast<unsigned>(msg->mcu_msg_id));
    seen(text);
    --g_in_handler;
}

void on_connection(int connected, void *user) {
    EXPECT_EQ(user, &g_seen);
    seen(connected ? "up" : "down");
}

MCU_MSG_HANDLE_REGISTER g_table[] = {
    {MCU_MSG_RET_CUR_AUDIO_SOURCE, on_frame},
    {MCU_MSG_RET_HARD_KEY, on_frame},
    {MCU_MSG_MAX_ID, nullptr},
};

bool ended() { return McuAgent_get_audio_source() == -1; }

class LinkTest : public testing::Test {
protected:
    void SetUp() override { g_hold = false; }
    void TearDown() override { g_hold = false; }
    void connect() {
        ASSERT_NE(McuAgent_client_init(g_table), nullptr);
        ASSERT_TRUE(server_.accept_client());
    }
    AgentServer server_;
};

// Once the peer has gone, the entry point connects again instead of
// reporting the old connection; also while a slow handler keeps the ring
// full, so the receive thread never reads the end.
TEST_F(LinkTest, EntryPointNeverReportsAConnectionWhosePeerHasGone) {
    connect();
    for (int round = 0; round < 50; ++round) {
        server_.close_client();
        ASSERT_TRUE(wait_until(ended));
        ASSERT_NE(McuAgent_client_init(g_table), nullptr);
        ASSERT_TRUE(server_.accept_client(2000)) << "round " << round;
    }
    g_hold = true;
    Bytes burst;
    for (int i = 0; i < 1000; ++i) {
        const Bytes f = inbound_frame(MCU_MSG_RET_CUR_AUDIO_SOURCE, {static_cast<uint8_t>(i)});
        burst.insert(burst.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(server_.send(burst));
    ASSERT_TRUE(wait_until([] { return g_in_handler.load() == 1; }));
    server_.close_client();
    ASSERT_TRUE(wait_until(ended));
    ASSERT_NE(McuAgent_client_init(g_table), nullptr);
    EXPECT_TRUE(server_.accept_client(3000));
    g_hold = false;
}

// With standard input and output closed, the library's descriptors still
// stay off 0, 1 and 2, so its own "success" never reaches the agent.
TEST_F(LinkTest, StandardStreamNumbersAreNeverTaken) {
    const int saved_in = dup(0), saved_out = dup(1);
    close(0);
    close(1);
    MCU_AGENT_API *api = McuAgent_client_init(g_table);
    struct stat st;
    const bool in_taken = fstat(0, &st) == 0, out_taken = fstat(1, &st) == 0;
    dup2(saved_in, 0);
    dup2(saved_out, 1);
    close(saved_in);
    close(saved_out);
    ASSERT_NE(api, nullptr);
    EXPECT_FALSE(in_taken);
    EXPECT_FALSE(out_taken);
    ASSERT_TRUE(server_.accept_client());
    EXPECT_TRUE(server_.nothing_arrives(200));
}

// Frames delivered after the end of their connection carry -1, not the
// closed number that another file may have taken.
std::vector<int> &g_fds = *new std::vector<int>;
int record_fd(int fd, void *, int) {
    while (g_hold.load()) std::this_thread::sleep_for(1ms);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_fds.push_back(fd);
    return 0;
}

TEST_F(LinkTest, FramesDeliveredAfterTheEndCarryNoDescriptor) {
    const int fd = socket_client_init(record_fd);
    ASSERT_GT(fd, 0);
    ASSERT_TRUE(server_.accept_client());
    g_hold = true;
    Bytes two = inbound_frame(0x21, {1});
    const Bytes second = inbound_frame(0x21, {2});
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(server_.send(two));
    std::this_thread::sleep_for(100ms);  // both frames are in the ring
    server_.close_client();
    char byte = 0;  // ENOTCONN once the library has ended the connection
    ASSERT_TRUE(wait_until([&] { return socket_send(&byte, 1) == -1 && errno == ENOTCONN; }));
    g_hold = false;
    ASSERT_TRUE(wait_until([] {
        std::lock_guard<std::mutex> lock(g_mutex);
        return g_fds.size() == 2;
    }));
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_fds[1], -1);
}

// A write to a pipe whose reader has gone fails; it never raises SIGPIPE.
TEST(LinkSend, SendtoAPipeWithoutReaderFailsWithoutSigpipe) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    char frame[7] = {};
    errno = 0;
    EXPECT_EQ(socket_sendto(ends[1], frame, sizeof frame), -1);
    EXPECT_EQ(errno, EPIPE);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    close(ends[1]);
}

// A child of fork() starts disconnected: its requests fail until it calls
// the entry point, which makes a connection of its own.
TEST_F(LinkTest, ForkedChildStartsDisconnectedAndConnectsAnew) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support threads started after a multi-threaded fork";
#endif
    if (getenv("MCU_AGENT_TEST_EMULATED"))
        GTEST_SKIP() << "qemu-user cannot start threads in the child of a multi-threaded fork";
    connect();
    const pid_t child = fork();
    if (child == 0) {
        int status = 0;
        if (McuAgent_get_audio_source() != -1) status |= 1;
        if (McuAgent_client_init(g_table) == nullptr) status |= 2;
        if (McuAgent_get_audio_power() != 7) status |= 4;
        _exit(status);
    }
    ASSERT_GT(child, 0);
    const int parent_connection = server_.client_fd();
    const int parent_saw = [&] {
        pollfd p{parent_connection, POLLIN, 0};
        return poll(&p, 1, 300);
    }();
    EXPECT_EQ(parent_saw, 0) << "the child wrote over the parent's connection";
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent's connection still works.
    EXPECT_EQ(McuAgent_get_audio_source(), 7);
}

// A server that writes a long stream before it reads anything, while the
// handler answers every frame, stalls neither side and loses nothing.
std::atomic<int> g_requests{0};
void answer_version_request(PACKET_MSG *) {
    ++g_requests;
    McuAgent_send_alive(HEARTBEAT_ON);
}

TEST(LinkStall, ServerThatWritesBeforeReadingDoesNotStallAnswers) {
    AgentServer server;
    static MCU_MSG_HANDLE_REGISTER table[] = {{MCU_MSG_GET_VERSION_INFO, answer_version_request}, {MCU_MSG_MAX_ID, nullptr}};
    ASSERT_NE(McuAgent_client_init(table), nullptr);
    ASSERT_TRUE(server.accept_client());
    constexpr int kRequests = 100000;
    Bytes stream;
    for (int i = 0; i < kRequests; ++i) {
        const Bytes f = inbound_frame(MCU_MSG_GET_VERSION_INFO, {0});
        stream.insert(stream.end(), f.begin(), f.end());
    }
    const size_t done = server.send_unless_stalled(stream);
    ASSERT_EQ(done, stream.size()) << "stalled after " << done / 8 << " requests";
    for (int i = 0; i < kRequests; ++i) ASSERT_TRUE(server.read_exact(8, 10000)) << "answer " << i;
    EXPECT_EQ(g_requests.load(), kRequests);
}

// Nothing is printed with a library lock held: with standard output
// blocked on a full pipe while the head-check line is printed, the receive
// thread still reads what arrives.
TEST_F(LinkTest, BlockedStandardOutputDoesNotStopReception) {
    connect();
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const std::string fill(4096, 'x');
    while (write(ends[1], fill.data(), fill.size()) > 0) {
    }
    fcntl(ends[1], F_SETFL, 0);
    fflush(stdout);
    const int saved_out = dup(1);
    dup2(ends[1], 1);
    g_hold = false;
    Bytes batch = {0x00, 0x11};  // garbage: the head-check line blocks
    for (int i = 0; i < 100; ++i) {
        const Bytes f = inbound_frame(MCU_MSG_RET_CUR_AUDIO_SOURCE, {1});
        batch.insert(batch.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(server_.send(batch));
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(server_.send(Bytes(batch.begin() + 2, batch.begin() + 2 + 400)));
    const int fd = server_.client_fd();
    const bool all_read = wait_until([fd] {
        int unread = -1;
        ioctl(fd, SIOCOUTQ, &unread);
        return unread == 0;
    }, 2s);
    // Unblock the printing thread and restore standard output.
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    char sink[65536];
    for (int i = 0; i < 50; ++i) {
        while (read(ends[0], sink, sizeof sink) > 0) {
        }
        std::this_thread::sleep_for(2ms);
    }
    dup2(saved_out, 1);
    close(saved_out);
    close(ends[1]);
    close(ends[0]);
    EXPECT_TRUE(all_read);
}

// The decoded record lives in the call: a handler that decodes another
// frame itself keeps its own record.
PACKET_MSG g_inner, g_outer_after;
void decode_another(PACKET_MSG *msg) {
    if (msg->mcu_msg_id != MCU_MSG_RET_CUR_AUDIO_SOURCE) {
        g_inner = *msg;
        return;
    }
    unsigned char frame[RECEIVE_BUFFER_MSG_MAX_POP + 3] = {MCU_MSG_RET_HARD_KEY, 2, 9, 1};
    McuAgent_receive_packet_handle(-1, frame, 4);
    g_outer_after = *msg;
}

TEST(LinkDispatch, HandlerThatDecodesAnotherFrameKeepsItsRecord) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{MCU_MSG_RET_CUR_AUDIO_SOURCE, decode_another},
                                       {MCU_MSG_RET_HARD_KEY, decode_another},
                                       {MCU_MSG_MAX_ID, nullptr}};
    McuAgent_client_init(table);  // no server: fails, keeps the table
    unsigned char frame[RECEIVE_BUFFER_MSG_MAX_POP + 3] = {MCU_MSG_RET_CUR_AUDIO_SOURCE, 1, 5};
    ASSERT_EQ(McuAgent_receive_packet_handle(-1, frame, 3), 0);
    EXPECT_EQ(g_inner.mcu_msg_id, MCU_MSG_RET_HARD_KEY);
    EXPECT_EQ(g_outer_after.mcu_msg_id, MCU_MSG_RET_CUR_AUDIO_SOURCE);
    EXPECT_EQ(g_outer_after.size, 1);
    EXPECT_EQ(g_outer_after.data[0], 5);
}

// An entry point that fails after connecting (here: no descriptor left for
// the wake pipe) leaves no connection standing.
TEST(LinkStart, FailedEntryPointLeavesNoConnection) {
    AgentServer server;
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    const int probe = fcntl(0, F_DUPFD, 3);  // the lowest free number
    ASSERT_GE(probe, 3);
    close(probe);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(probe) + 1;  // room for the socket only
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    MCU_AGENT_API *api = McuAgent_client_init(g_table);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(api, nullptr);
    EXPECT_EQ(McuAgent_get_audio_source(), -1);
    if (server.accept_client(500)) {
        EXPECT_FALSE(server.read_exact(1, 500)) << "the connection stayed open";
    }
    // Nothing was left half-made: a later call succeeds.
    EXPECT_NE(McuAgent_client_init(g_table), nullptr);
}

// The connection handler hears of each connection after the frames before
// it and before the frames after it; with a reconnect interval the library
// connects again by itself and keeps the registration table.
TEST_F(LinkTest, ConnectionHandlerAndBackgroundReconnect) {
    McuAgent_set_connection_handler(on_connection, &g_seen);
    McuAgent_set_reconnect_interval(20);
    connect();
    ASSERT_TRUE(server_.send_frame(MCU_MSG_RET_CUR_AUDIO_SOURCE, {1}));
    ASSERT_TRUE(wait_until([] { return seen_so_far().size() == 2; }));
    server_.close_client();
    ASSERT_TRUE(server_.accept_client(3000));
    ASSERT_TRUE(server_.send_frame(MCU_MSG_RET_HARD_KEY, {1, 1}));
    ASSERT_TRUE(wait_until([] { return seen_so_far().size() == 5; }));
    const std::vector<std::string> expected = {"up", "frame 21", "down", "up", "frame 04"};
    EXPECT_EQ(seen_so_far(), expected);
    EXPECT_EQ(McuAgent_get_audio_source(), 7);
    McuAgent_set_reconnect_interval(0);
    server_.close_client();
    EXPECT_FALSE(server_.accept_client(300));
}

// Every line goes to the log handler with its level; NULL restores
// standard output.
using Lines = std::vector<std::pair<int, std::string>>;
Lines &g_lines = *new Lines;
void record_line(int level, const char *line, void *) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.emplace_back(level, line);
}
Lines lines_so_far() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

TEST(LinkLog, LinesGoToTheHandlerUntilItIsCleared) {
    McuAgent_set_log_handler(record_line, nullptr);
    EXPECT_EQ(McuAgent_client_init(g_table), nullptr);  // no server
    const Lines lines = lines_so_far();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].first, 0);
    EXPECT_EQ(lines[0].second.rfind("cannot connect to the server /tmp/mcu_agent_test.", 0), 0u) << lines[0].second;
    EXPECT_EQ(lines[1], std::make_pair(0, std::string("fail")));
    McuAgent_set_log_handler(nullptr, nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    McuAgent_client_init(g_table);
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "fail\n");
    EXPECT_EQ(lines_so_far().size(), 2u);
}

// With the checksum checked, a truncated frame costs only itself; without,
// it swallows the frame after it (the default, which agents may rely on).
struct ChecksumCase {
    int verify;
    std::vector<std::string> delivered;
    int checksum_lines;
};

void PrintTo(const ChecksumCase &c, std::ostream *os) { *os << (c.verify ? "checked" : "unchecked"); }

class LinkChecksum : public testing::TestWithParam<ChecksumCase> {};

TEST_P(LinkChecksum, TruncatedFrame) {
    const ChecksumCase &c = GetParam();
    AgentServer server;
    McuAgent_set_log_handler(record_line, nullptr);
    McuAgent_set_inbound_checksum(c.verify);
    ASSERT_NE(McuAgent_client_init(g_table), nullptr);
    ASSERT_TRUE(server.accept_client());
    Bytes stream = inbound_frame(MCU_MSG_RET_CUR_AUDIO_SOURCE, {3});
    stream.insert(stream.end(), {0xAB, 0xBA, 0x00, 0x00, MCU_MSG_RET_HARD_KEY, 10, 1, 2});  // cut short
    for (int i = 0; i < 3; ++i) {
        const Bytes f = inbound_frame(MCU_MSG_RET_CUR_AUDIO_SOURCE, {static_cast<uint8_t>(i)});
        stream.insert(stream.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(server.send(stream));
    ASSERT_TRUE(wait_until([&] { return seen_so_far().size() == c.delivered.size(); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(seen_so_far(), c.delivered);
    int checksum_lines = 0;
    for (const auto &l : lines_so_far()) checksum_lines += l.second.find("checksum error") != std::string::npos;
    EXPECT_EQ(checksum_lines, c.checksum_lines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkChecksum,
    testing::Values(ChecksumCase{1, {"frame 21", "frame 21", "frame 21", "frame 21"}, 1},
                    ChecksumCase{0, {"frame 21", "frame 04", "frame 21"}, 0}),
    [](const testing::TestParamInfo<ChecksumCase> &info) { return info.param.verify ? "Checked" : "Unchecked"; });

}  // namespace
