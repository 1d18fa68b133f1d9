// The paths an application takes first: started before the agent, entry
// points called from handlers, connection events under churn, the trace
// on awkward files, log handlers that call back, and an agent that stops
// reading.  Scenarios that could hang run in a child process with a time
// limit, so a fault fails the test instead of stopping the suite.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent_server.h"
#include "child.h"
#include "client.h"
#include "link_state.h"
#include "mcu_agent_api.h"
#include "wait.h"

using mcu_agent_test::AgentServer;
using mcu_agent_test::Bytes;
using mcu_agent_test::in_child;
using mcu_agent_test::inbound_frame;
using mcu_agent_test::kAgentPath;
using mcu_agent_test::wait_until;
using namespace std::chrono_literals;

namespace {

// What the application saw: "1"/"0" per connection event, "f" per frame.
// Never destroyed: the library's threads outlive the test body.
std::mutex &g_mutex = *new std::mutex;
std::string &g_seen = *new std::string;
std::atomic<int> g_frames{0};
std::atomic<int> g_handler_ms{0};

void seen(char what) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen += what;
}
std::string seen_so_far() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_seen;
}

void on_frame(PACKET_MSG *) {
    ++g_frames;
    seen('f');
}
void on_connection(int connected, void *) {
    seen(connected ? '1' : '0');
    std::this_thread::sleep_for(std::chrono::milliseconds(g_handler_ms.load()));
}

MCU_MSG_HANDLE_REGISTER g_table[] = {{MCU_MSG_RET_CUR_AUDIO_SOURCE, on_frame}, {MCU_MSG_MAX_ID, nullptr}};

std::vector<std::string> &g_lines = *new std::vector<std::string>;
void record_line(int, const char *line, void *) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.emplace_back(line);
}
int lines_with(const std::string &text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    int n = 0;
    for (const std::string &l : g_lines) n += l.find(text) != std::string::npos;
    return n;
}

Bytes frames(int count, uint8_t id = MCU_MSG_RET_CUR_AUDIO_SOURCE) { return mcu_agent_test::numbered_frames(count, id); }


// An application started before its agent: the failed entry point leaves
// the library trying in the background with the table it was given.
TEST(ConnectionLife, StartedBeforeTheAgentConnectsOnceItIsUp) {
    McuAgent_set_connection_handler(on_connection, nullptr);
    McuAgent_set_reconnect_interval(50);
    ASSERT_EQ(McuAgent_client_init(g_table), nullptr);
    std::this_thread::sleep_for(200ms);
    AgentServer server;
    ASSERT_TRUE(server.accept_client(3000)) << "nothing connected once the agent was up";
    ASSERT_TRUE(wait_until([] { return seen_so_far() == "1"; }));
    EXPECT_EQ(McuAgent_get_audio_source(), 7);
    ASSERT_TRUE(server.send_frame(MCU_MSG_RET_CUR_AUDIO_SOURCE, {1}));
    EXPECT_TRUE(wait_until([] { return g_frames.load() == 1; }));
}

// An interval set after the connection was lost starts the reconnect.
TEST(ConnectionLife, IntervalSetAfterTheLossReconnects) {
    McuAgent_set_connection_handler(on_connection, nullptr);
    AgentServer server;
    ASSERT_NE(McuAgent_client_init(g_table), nullptr);
    ASSERT_TRUE(server.accept_client());
    server.close_client();
    ASSERT_TRUE(wait_until([] { return seen_so_far() == "10"; })) << seen_so_far();
    std::this_thread::sleep_for(100ms);  // the end is behind the receive side
    McuAgent_set_reconnect_interval(20);
    EXPECT_TRUE(server.accept_client(3000));
}

// Connections that come and go faster than the connection handler runs:
// its calls alternate, begin with 1 and end with 0 (the state at the end),
// and each frame lies between the 1 and the 0 of its connection.
struct ChurnCase {
    const char *name;
    int connections;
    int frames_each;
    int handler_ms;
};

void PrintTo(const ChurnCase &c, std::ostream *os) { *os << c.name; }

class ConnectionChurn : public testing::TestWithParam<ChurnCase> {};

TEST_P(ConnectionChurn, EventsAlternateAndBracketTheirFrames) {
    const ChurnCase &c = GetParam();
    g_handler_ms = c.handler_ms;
    McuAgent_set_connection_handler(on_connection, nullptr);
    McuAgent_set_reconnect_interval(1);
    AgentServer server;
    ASSERT_NE(McuAgent_client_init(g_table), nullptr);
    for (int i = 0; i < c.connections; ++i) {
        ASSERT_TRUE(server.accept_client(5000)) << "connection " << i;
        if (c.frames_each) {
            ASSERT_TRUE(server.send(frames(c.frames_each)));
        }
        server.close_client();
    }
    server.stop();
    McuAgent_set_reconnect_interval(0);
    ASSERT_TRUE(wait_until([] { return McuAgent_get_audio_source() == -1; }));
    std::string before;
    ASSERT_TRUE(wait_until([&] {  // settled: no call for 300 ms
        const std::string now = seen_so_far();
        if (now != before) {
            before = now;
            return false;
        }
        std::this_thread::sleep_for(300ms);
        return seen_so_far() == now;
    }, 60s));
    const std::string events = [&] {
        std::string e;
        for (char ch : before)
            if (ch != 'f') e += ch;
        return e;
    }();
    ASSERT_FALSE(events.empty());
    for (size_t i = 0; i < events.size(); ++i) ASSERT_EQ(events[i], i % 2 ? '0' : '1') << before;
    EXPECT_EQ(events.back(), '0') << before;
    EXPECT_EQ(g_frames.load(), c.connections * c.frames_each);
    if (c.frames_each) {
        const std::string one = "1" + std::string(static_cast<size_t>(c.frames_each), 'f') + "0";
        std::string want;
        for (int i = 0; i < c.connections; ++i) want += one;
        // Connections made after the last accept carried nothing.
        EXPECT_EQ(before.substr(0, want.size()), want);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ConnectionChurn,
                         testing::Values(ChurnCase{"EmptyConnectionsSlowHandler", 200, 0, 20},
                                         ChurnCase{"ConnectionsWithFrames", 30, 3, 2}),
                         [](const testing::TestParamInfo<ChurnCase> &info) { return info.param.name; });

// A handler that calls the entry point to swap tables, while the agent has
// written its frames and closed: every frame is still delivered.
MCU_MSG_HANDLE_REGISTER g_swapped[] = {{MCU_MSG_RET_CUR_AUDIO_SOURCE, on_frame}, {MCU_MSG_MAX_ID, nullptr}};
void swap_tables_at_frame_5(PACKET_MSG *msg) {
    on_frame(msg);
    if (g_frames.load() == 5) McuAgent_client_init(g_swapped);
}

TEST(ConnectionLife, EntryPointInAHandlerKeepsTheRestOfTheStream) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{MCU_MSG_RET_CUR_AUDIO_SOURCE, swap_tables_at_frame_5}, {MCU_MSG_MAX_ID, nullptr}};
    AgentServer server;
    ASSERT_NE(McuAgent_client_init(table), nullptr);
    ASSERT_TRUE(server.accept_client());
    ASSERT_TRUE(server.send(frames(300)));
    server.close_client();
    EXPECT_TRUE(wait_until([] { return g_frames.load() == 300; }, 5s)) << g_frames.load() << " delivered";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_frames.load(), 300);
}

// The connection handler calls the entry point on 0 while the background
// reconnect has already brought a connection whose agent wrote more than
// the ring holds and left.
void reconnect_on_loss(int connected, void *) {
    seen(connected ? '1' : '0');
    if (connected) return;
    std::this_thread::sleep_for(100ms);  // the next connection comes and goes meanwhile
    McuAgent_client_init(g_table);
}

TEST(ConnectionLife, EntryPointOnLossKeepsTheNextConnectionsFrames) {
    McuAgent_set_connection_handler(reconnect_on_loss, nullptr);
    McuAgent_set_reconnect_interval(10);
    AgentServer server;
    ASSERT_NE(McuAgent_client_init(g_table), nullptr);
    ASSERT_TRUE(server.accept_client());
    server.close_client();
    ASSERT_TRUE(server.accept_client());
    ASSERT_TRUE(server.send(frames(600)));
    server.close_client();
    EXPECT_TRUE(wait_until([] { return g_frames.load() == 600; }, 3s)) << g_frames.load() << " delivered";
    McuAgent_set_reconnect_interval(0);
}

// The trace's file is opened without waiting, never through a link, and
// never into a file that is not the user's own regular file; what cannot
// be opened turns tracing off with one line to the log handler.
struct TraceFileCase {
    const char *name;
    enum { kFifoWithoutReader, kSymlink, kPlainFile, kHardLink, kOtherUsersFile } kind;
    bool traced;
};

void PrintTo(const TraceFileCase &c, std::ostream *os) { *os << c.name; }

class TraceFile : public testing::TestWithParam<TraceFileCase> {};

TEST_P(TraceFile, OpensWithoutWaitingOrFollowing) {
    const TraceFileCase c = GetParam();
    const std::string dir = std::string(kAgentPath) + ".d";
    const std::string path = dir + "/trace.log", target = dir + "/target";
    mkdir(dir.c_str(), 0700);
    unlink(path.c_str());
    if (c.kind == TraceFileCase::kFifoWithoutReader) {
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    }
    if (c.kind == TraceFileCase::kOtherUsersFile && geteuid() != 0) GTEST_SKIP() << "needs root to plant a file";
    const bool planted = c.kind == TraceFileCase::kSymlink || c.kind == TraceFileCase::kHardLink ||
                         c.kind == TraceFileCase::kOtherUsersFile;
    if (planted) {
        const std::string &file = c.kind == TraceFileCase::kOtherUsersFile ? path : target;
        unlink(target.c_str());
        FILE *f = fopen(file.c_str(), "w");
        ASSERT_TRUE(f);
        fputs("keep\n", f);
        fclose(f);
    }
    if (c.kind == TraceFileCase::kSymlink) {
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    } else if (c.kind == TraceFileCase::kHardLink) {
        ASSERT_EQ(link(target.c_str(), path.c_str()), 0);
    } else if (c.kind == TraceFileCase::kOtherUsersFile) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    }
    const int status = in_child([&] {
        setenv("MCU_AGENT_TRACE", path.c_str(), 1);
        McuAgent_set_log_handler(record_line, nullptr);
        AgentServer server;
        if (!McuAgent_client_init(g_table)) return 1;
        if (lines_with("MCU_AGENT_TRACE: ") != (c.traced ? 0 : 1)) return 2;
        exit(0);  // with the exit handlers, which end the capture
    }, 5s);
    EXPECT_EQ(status, 0) << (status == -1 ? "the entry point never returned" : "wrong lines");
    struct stat st;
    if (planted) {
        FILE *f = fopen((c.kind == TraceFileCase::kOtherUsersFile ? path : target).c_str(), "r");
        char text[16] = "";
        ASSERT_TRUE(f && fgets(text, sizeof text, f));
        fclose(f);
        EXPECT_STREQ(text, "keep\n") << "the trace wrote into a file that is not its own";
    }
    if (c.kind == TraceFileCase::kPlainFile) {
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        // The process's end ends its connection in the capture too.
        FILE *f = fopen(path.c_str(), "r");
        ASSERT_TRUE(f);
        char line[256], last[256] = "";
        while (fgets(line, sizeof line, f)) snprintf(last, sizeof last, "%s", line);
        fclose(f);
        EXPECT_NE(strstr(last, ") #1 disconnect"), nullptr) << last;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TraceFile,
                         testing::Values(TraceFileCase{"FifoWithoutReader", TraceFileCase::kFifoWithoutReader, false},
                                         TraceFileCase{"Symlink", TraceFileCase::kSymlink, false},
                                         TraceFileCase{"PlainFile", TraceFileCase::kPlainFile, true},
                                         TraceFileCase{"HardLink", TraceFileCase::kHardLink, false},
                                         TraceFileCase{"OtherUsersFile", TraceFileCase::kOtherUsersFile, false}),
                         [](const testing::TestParamInfo<TraceFileCase> &info) { return info.param.name; });

// A trace reader that stops reading never keeps the process from exiting.
TEST(ConnectionLife, ExitReturnsWhateverTheTraceReaderDoes) {
    const std::string path = std::string(kAgentPath) + ".fifo";
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);  // never read
    ASSERT_GE(reader, 0);
    AgentServer server;
    const int status = in_child([&] {
        setenv("MCU_AGENT_TRACE", path.c_str(), 1);
        if (!McuAgent_client_init(g_table)) return 1;
        MCAN_DATA_INFO can{};
        can.size = 250;
        // Lines of about 520 bytes: more than the pipe holds, fewer
        // frames than the agent's socket takes unread.
        for (int i = 0; i < 150; ++i)
            if (McuAgent_send_mcan_info(&can) != 257) return 2;
        exit(0);
    }, 10s);
    EXPECT_EQ(status, 0) << "exit() did not return";
    close(reader);
}

// A log handler may call the entry point: no line is printed with a lock held.
std::atomic<bool> g_called_back{false};
void log_and_connect(int, const char *, void *) {
    if (!g_called_back.exchange(true)) McuAgent_client_init(g_table);
}

TEST(ConnectionLife, LogHandlerMayCallTheEntryPoint) {
    const int status = in_child([] {
        McuAgent_set_log_handler(log_and_connect, nullptr);
        return McuAgent_client_init(g_table) == nullptr && g_called_back.load() ? 0 : 1;
    }, 5s);
    EXPECT_EQ(status, 0) << (status == -1 ? "deadlocked" : "");
}

// The setters race with nothing at the first entry point (ThreadSanitizer
// checks this one).
TEST(ConnectionLife, SettersDuringTheFirstEntryPoint) {
    AgentServer server;
    std::atomic<bool> stop{false};
    std::vector<std::thread> setters;
    for (int t = 0; t < 2; ++t)
        setters.emplace_back([&, t] {
            while (!stop) {
                if (t) McuAgent_set_reconnect_interval(0);
                else McuAgent_set_connection_handler(on_connection, nullptr);
            }
        });
    std::this_thread::sleep_for(10ms);
    EXPECT_NE(McuAgent_client_init(g_table), nullptr);
    stop = true;
    for (auto &t : setters) t.join();
}

// An agent that wrote a little and stopped reading: a handler's send gives
// up after a while, so the frames queued behind it are still delivered.
std::atomic<int> g_timed_out{0};
void answer(PACKET_MSG *) {
    ++g_frames;
    if (McuAgent_send_alive(HEARTBEAT_ON) == -1 && errno == ETIMEDOUT) ++g_timed_out;
}

TEST(ConnectionLife, HandlerSendGivesUpWhenFramesWaitBehindIt) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{MCU_MSG_GET_VERSION_INFO, answer}, {MCU_MSG_MAX_ID, nullptr}};
    McuAgent_set_log_handler(record_line, nullptr);
    AgentServer server;
    ASSERT_NE(McuAgent_client_init(table), nullptr);
    ASSERT_TRUE(server.accept_client());
    constexpr int kFrames = 20000;  // far less than the spill holds
    ASSERT_TRUE(server.send(frames(kFrames, MCU_MSG_GET_VERSION_INFO)));  // and never reads
    EXPECT_TRUE(wait_until([] { return g_frames.load() == kFrames; }, 30s)) << g_frames.load() << " delivered";
    EXPECT_GT(g_timed_out.load(), 0);
    EXPECT_EQ(lines_with("agent server not reading"), 1);
}

// The connect error is perror's line for the default path; the path is
// named only when MCU_AGENT_SOCKET chose another one.
TEST(ConnectionLife, ConnectLineNamesOnlyAChosenPath) {
    McuAgent_set_log_handler(record_line, nullptr);
    EXPECT_EQ(McuAgent_client_init(g_table), nullptr);
    EXPECT_EQ(lines_with(std::string("cannot connect to the server ") + kAgentPath + ": "), 1);
    // The default path is not tried here: another test's agent may serve it.
    char text[128];
    mcu_agent::link::connect_error_text("/tmp/mcu_agent", text, sizeof text);
    EXPECT_STREQ(text, "cannot connect to the server");
}

}  // namespace
