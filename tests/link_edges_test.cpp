// The paths between the link's named ones: settings changed while a wait
// runs, an agent that does not accept, signals during every timed wait,
// retries while an ended connection is still being delivered, a
// half-closed connection, the spill after a stall, a slow trace reader at
// exit, a connection handler set late, and who may be the agent.
// Scenarios that could hang run in a child process with a time limit.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
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
using Clock = std::chrono::steady_clock;

namespace {

// Never destroyed: the library's threads outlive the test body.
std::mutex &g_mutex = *new std::mutex;
std::string &g_seen = *new std::string;
std::vector<std::string> &g_lines = *new std::vector<std::string>;
std::atomic<int> g_frames{0};
std::atomic<int> g_frame_ms{0};
std::atomic<int> g_disconnect_line_ms{0};

void seen(char what) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen += what;
}
std::string seen_so_far() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_seen;
}
void on_frame(PACKET_MSG *) {
    std::this_thread::sleep_for(std::chrono::milliseconds(g_frame_ms.load()));
    ++g_frames;
    seen('f');
}
void on_connection(int connected, void *) { seen(connected ? '1' : '0'); }
MCU_MSG_HANDLE_REGISTER g_table[] = {{MCU_MSG_RET_CUR_AUDIO_SOURCE, on_frame}, {MCU_MSG_MAX_ID, nullptr}};

void record_line(int, const char *line, void *) {
    if (strstr(line, "disconnected"))
        std::this_thread::sleep_for(std::chrono::milliseconds(g_disconnect_line_ms.load()));
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


// SIGUSR1, installed without SA_RESTART, sent to every thread of this
// process every 100 ms while it lives: every wait is interrupted again and
// again, and must still keep its deadline.
class PeriodicSignals {
public:
    PeriodicSignals() {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigaction(SIGUSR1, &sa, nullptr);
        thread_ = std::thread([this] {
            while (!stop_) {
                if (DIR *d = opendir("/proc/self/task")) {
                    while (dirent *e = readdir(d))
                        if (e->d_name[0] != '.') syscall(SYS_tgkill, getpid(), atoi(e->d_name), SIGUSR1);
                    closedir(d);
                }
                std::this_thread::sleep_for(100ms);
            }
        });
    }
    ~PeriodicSignals() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// An interval set after a failed entry point starts the background
// reconnect; a shorter one takes effect during a long wait.
struct IntervalCase {
    const char *name;
    int interval_before_ms;  // when the entry point fails
    int interval_after_ms;   // set 300 ms later
    int agent_after_ms;      // the agent listens this long after the entry point
};
void PrintTo(const IntervalCase &c, std::ostream *os) { *os << c.name; }
class IntervalSetting : public testing::TestWithParam<IntervalCase> {};

TEST_P(IntervalSetting, ConnectsSoonAfterTheAgentListens) {
    const IntervalCase &c = GetParam();
    McuAgent_set_reconnect_interval(c.interval_before_ms);
    ASSERT_EQ(McuAgent_client_init(g_table), nullptr);
    std::this_thread::sleep_for(300ms);
    McuAgent_set_reconnect_interval(c.interval_after_ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(c.agent_after_ms - 300));
    AgentServer server;
    const auto listening = Clock::now();
    ASSERT_TRUE(server.accept_client(3000)) << "no connection 3 s after the agent listened";
    EXPECT_LT(Clock::now() - listening, 1s);
}

INSTANTIATE_TEST_SUITE_P(Cases, IntervalSetting,
                         testing::Values(IntervalCase{"SetAfterAFailedEntryPoint", 0, 50, 400},
                                         IntervalCase{"ShortenedDuringALongWait", 4000, 50, 400}),
                         [](const testing::TestParamInfo<IntervalCase> &info) { return info.param.name; });

// The doubling stops at the cap the application set: with the cap at
// the interval, attempts go on every 100 ms, where they would have grown
// to 800 ms.
TEST(LinkEdges, DoublingStopsAtTheCap) {
    McuAgent_set_reconnect_interval(100);
    McuAgent_set_reconnect_max_interval(100);
    ASSERT_EQ(McuAgent_client_init(g_table), nullptr);
    std::this_thread::sleep_for(2500ms);
    AgentServer server;
    const auto listening = Clock::now();
    ASSERT_TRUE(server.accept_client(3000));
    EXPECT_LT(Clock::now() - listening, 400ms);
}

// An agent that has bound its socket but does not accept (its backlog is
// full): the entry point fails within its deadline, interrupted or not,
// and holds no lock that another entry point would wait for.
TEST(LinkEdges, EntryPointGivesUpOnAnAgentThatDoesNotAccept) {
    unlink(kAgentPath);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, kAgentPath, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    std::vector<int> fillers;
    for (;;) {  // fill the backlog
        const int f = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (connect(f, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            close(f);
            break;
        }
        fillers.push_back(f);
    }
    const int status = in_child([] {
        PeriodicSignals signals;
        McuAgent_set_reconnect_interval(50);
        const auto start = Clock::now();
        if (McuAgent_client_init(g_table) != nullptr) return 1;
        if (McuAgent_client_init(g_table) != nullptr) return 2;  // the entry lock is free again
        return Clock::now() - start < 4s ? 0 : 3;
    }, 10s);
    EXPECT_EQ(status, 0) << (status == -1 ? "the entry point blocked" : "");
    for (int f : fillers) close(f);
    close(listener);
    unlink(kAgentPath);
}

// An agent that wrote 20,000 requests and never reads, while every thread
// is interrupted every 100 ms: the answering handler's send still gives up
// after 5 s without progress, and every request is delivered.
std::atomic<int> g_timed_out{0};
void answer(PACKET_MSG *) {
    ++g_frames;
    if (McuAgent_send_alive(HEARTBEAT_ON) == -1 && errno == ETIMEDOUT) ++g_timed_out;
}

TEST(LinkEdges, HandlerSendGivesUpUnderPeriodicSignals) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{MCU_MSG_GET_VERSION_INFO, answer}, {MCU_MSG_MAX_ID, nullptr}};
    AgentServer server;
    PeriodicSignals signals;
    ASSERT_NE(McuAgent_client_init(table), nullptr);
    ASSERT_TRUE(server.accept_client());
    constexpr int kFrames = 20000;
    ASSERT_TRUE(server.send(frames(kFrames, MCU_MSG_GET_VERSION_INFO)));
    EXPECT_TRUE(wait_until([] { return g_frames.load() == kFrames; }, 30s)) << g_frames.load() << " delivered";
    EXPECT_GT(g_timed_out.load(), 0);
}

// The trace cannot be opened and the log handler calls the entry point:
// the line is printed after the once-only decision, not inside it.
std::atomic<bool> g_called_back{false};
void log_and_connect(int, const char *, void *) {
    if (!g_called_back.exchange(true)) McuAgent_client_init(g_table);
}

TEST(LinkEdges, UnwritableTraceWithALogHandlerThatCallsTheEntryPoint) {
    const int status = in_child([] {
        setenv("MCU_AGENT_TRACE", "/", 1);  // a directory: cannot be written
        McuAgent_set_log_handler(log_and_connect, nullptr);
        return McuAgent_client_init(g_table) == nullptr && g_called_back.load() ? 0 : 1;
    }, 5s);
    EXPECT_EQ(status, 0) << (status == -1 ? "deadlocked" : "");
}

// A slow handler works through the frames of a connection that ended,
// while the application retries the entry point against an agent that
// accepts and closes at once: connections that carried nothing hold no
// record, so the entry point never fails for want of one, and succeeds as
// soon as the agent keeps a connection.
TEST(LinkEdges, RetriesWhileAnEndedConnectionIsDeliveredNeverRunOutOfRecords) {
    McuAgent_set_log_handler(record_line, nullptr);
    g_frame_ms = 20;
    AgentServer server;
    ASSERT_NE(McuAgent_client_init(g_table), nullptr);
    ASSERT_TRUE(server.accept_client());
    ASSERT_TRUE(server.send(frames(300)));  // six seconds of handling, far more than the ring
    server.close_client();
    std::atomic<bool> closing{true};
    std::thread agent([&] {
        while (closing)
            if (server.accept_client(50)) server.close_client();
    });
    for (int i = 0; i < 2 * mcu_agent::link::kConnections + 4; ++i) {
        McuAgent_client_init(g_table);
        std::this_thread::sleep_for(30ms);
    }
    closing = false;
    agent.join();
    EXPECT_EQ(lines_with("still being delivered"), 0);
    const auto start = Clock::now();
    std::thread keep([&] { server.accept_client(3000); });
    bool connected = false;
    while (!connected && Clock::now() - start < 3s) {
        connected = McuAgent_client_init(g_table) != nullptr && McuAgent_get_audio_source() == 7;
        if (!connected) std::this_thread::sleep_for(20ms);
    }
    keep.join();
    EXPECT_TRUE(connected);
    EXPECT_LT(Clock::now() - start, 2500ms);
}

// The agent half-closes, and the log handler takes long over the
// "disconnected" line: an entry point called meanwhile connects anew
// instead of reporting the connection that has ended.
TEST(LinkEdges, EntryPointNeverReportsAHalfClosedConnection) {
    McuAgent_set_log_handler(record_line, nullptr);
    g_disconnect_line_ms = 500;
    AgentServer server;
    ASSERT_NE(McuAgent_client_init(g_table), nullptr);
    ASSERT_TRUE(server.accept_client());
    const int first = server.client_fd();
    ASSERT_EQ(shutdown(first, SHUT_WR), 0);
    std::this_thread::sleep_for(100ms);
    bool accepted = false;
    std::thread accept_next([&] { accepted = server.accept_client(3000); });
    EXPECT_NE(McuAgent_client_init(g_table), nullptr);
    accept_next.join();
    EXPECT_TRUE(accepted) << "no new connection was made";
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(McuAgent_get_audio_source(), 7);
}

// An agent that writes 100,000 requests before it reads: the handler's
// answers (through the request function or through the descriptor it was
// given) stall neither side, and once the agent has read everything the
// spill's memory is released without another frame arriving.
int answer_with_sendto(int fd, void *, int) {
    ++g_frames;
    const Bytes alive = mcu_agent_test::outbound_frame(0x15, {1});
    return socket_sendto(fd, reinterpret_cast<char *>(const_cast<uint8_t *>(alive.data())),
                         static_cast<int>(alive.size()));
}
void answer_with_send(PACKET_MSG *) {
    ++g_frames;
    McuAgent_send_alive(HEARTBEAT_ON);
}

struct StallCase {
    const char *name;
    bool through_sendto;
};
void PrintTo(const StallCase &c, std::ostream *os) { *os << c.name; }
class Stall : public testing::TestWithParam<StallCase> {};

TEST_P(Stall, SpillServesAndIsReleasedAfterwards) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{MCU_MSG_GET_VERSION_INFO, answer_with_send}, {MCU_MSG_MAX_ID, nullptr}};
    AgentServer server;
    if (GetParam().through_sendto) {
        ASSERT_GT(socket_client_init(answer_with_sendto), 0);
    } else {
        ASSERT_NE(McuAgent_client_init(table), nullptr);
    }
    ASSERT_TRUE(server.accept_client());
    constexpr int kRequests = 100000;
    const Bytes stream = frames(kRequests, MCU_MSG_GET_VERSION_INFO);
    const size_t done = server.send_unless_stalled(stream);
    ASSERT_EQ(done, stream.size()) << "stalled after " << done / 8 << " requests";
    for (int i = 0; i < kRequests; ++i) ASSERT_TRUE(server.read_exact(8, 10000)) << "answer " << i;
    EXPECT_EQ(g_frames.load(), kRequests);
    auto spill_held = [] {
        mcu_agent::link::Lock lock(mcu_agent::link::g_link.mutex());
        return mcu_agent::link::g_link.spill.holds_memory();
    };
    EXPECT_TRUE(wait_until([&] { return !spill_held(); }, 2s)) << "the spill's memory is still held";
}

INSTANTIATE_TEST_SUITE_P(Cases, Stall,
                         testing::Values(StallCase{"AnswersThroughRequests", false},
                                         StallCase{"AnswersThroughSendto", true}),
                         [](const testing::TestParamInfo<StallCase> &info) { return info.param.name; });

// A trace read slowly through a FIFO, and exit() while most of it is still
// queued, under periodic signals: what could not be written is counted,
// and the count and the connection's end are the last lines.
TEST(LinkEdges, ExitWithASlowTraceReaderCountsWhatItCouldNotWrite) {
    const std::string path = std::string(kAgentPath) + ".fifo";
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::string trace;
    std::atomic<bool> child_ended{false};
    std::thread slow_reader, drain;
    AgentServer server;
    constexpr int kRequests = 2000;
    const int status = in_child(
        [&] {
            setenv("MCU_AGENT_TRACE", path.c_str(), 1);
            PeriodicSignals signals;
            if (!McuAgent_client_init(g_table)) return 1;
            MCAN_DATA_INFO can{};
            can.size = 250;
            for (int i = 0; i < kRequests; ++i)
                if (McuAgent_send_mcan_info(&can) != 257) return 2;
            exit(0);
        },
        10s,
        [&] {
            slow_reader = std::thread([&] {  // about 80 KB/s, to the end of what the child wrote
                char chunk[800];
                const auto limit = Clock::now() + 20s;
                for (;;) {
                    const bool ended = child_ended.load();
                    const ssize_t n = read(reader, chunk, sizeof chunk);
                    if (n > 0) trace.append(chunk, static_cast<size_t>(n));
                    if ((n == 0 && ended) || Clock::now() > limit) break;
                    std::this_thread::sleep_for(10ms);
                }
            });
            drain = std::thread([&] {  // the agent reads what it is sent
                if (server.accept_client())
                    while (server.read_frame(1000)) {
                    }
            });
        });
    EXPECT_EQ(status, 0) << "exit() did not return";
    child_ended = true;
    slow_reader.join();
    drain.join();
    close(reader);
    unlink(path.c_str());
    // Connect, the requests and the disconnect: each written or counted.
    int written = 0;
    unsigned long dropped = 0;
    std::string last;
    size_t at = 0;
    while (at < trace.size()) {
        const size_t nl = trace.find('\n', at);
        ASSERT_NE(nl, std::string::npos) << "the trace ends in half a line";
        const std::string line = trace.substr(at, nl - at);
        at = nl + 1;
        if (line[0] == '#') continue;
        const size_t d = line.find(" dropped ");
        if (d != std::string::npos) dropped += std::stoul(line.substr(d + 9));
        else ++written;
        last = line;
    }
    EXPECT_GT(dropped, 0u) << trace.size() << " bytes: " << trace.substr(0, 300);
    EXPECT_EQ(written + static_cast<int>(dropped), kRequests + 2);
    EXPECT_NE(last.find("disconnect"), std::string::npos) << last;
}

// A connection handler set after the entry point hears 1 before anything
// else of the standing connection.
TEST(LinkEdges, HandlerSetAfterTheEntryPointHearsOneFirst) {
    AgentServer server;
    ASSERT_NE(McuAgent_client_init(g_table), nullptr);
    ASSERT_TRUE(server.accept_client());
    std::this_thread::sleep_for(100ms);  // the connection's 1 was taken with no handler set
    McuAgent_set_connection_handler(on_connection, nullptr);
    ASSERT_TRUE(server.send(frames(2)));
    ASSERT_TRUE(wait_until([] { return g_frames.load() == 2; }));
    server.close_client();
    EXPECT_TRUE(wait_until([] { return seen_so_far() == "1ff0"; })) << seen_so_far();
}

// Who may be the agent: an agent under another uid is refused with a line
// that names its uid, unless that uid is trusted (by a call or by the
// environment).  Needs root to run the agent as another user.
struct TrustCase {
    const char *name;
    enum { kNone, kCall, kEnvironment } trust;
    bool connects;
};
void PrintTo(const TrustCase &c, std::ostream *os) { *os << c.name; }
class AgentTrust : public testing::TestWithParam<TrustCase> {};

constexpr uid_t kOtherUid = 65534;

TEST_P(AgentTrust, OnlyATrustedPeerIsTheAgent) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run an agent under another uid";
    const TrustCase &c = GetParam();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    unlink(kAgentPath);
    const pid_t agent = fork();
    if (agent == 0) {  // an agent under another uid, in its own process
        if (setgid(kOtherUid) != 0 || setuid(kOtherUid) != 0) _exit(1);
        const int l = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strncpy(a.sun_path, kAgentPath, sizeof a.sun_path - 1);
        if (bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(l, 4) != 0) _exit(2);
        if (write(ready[1], "r", 1) != 1) _exit(3);
        for (;;) {
            const int fd = accept(l, nullptr, nullptr);
            if (fd >= 0) {
                const Bytes f = inbound_frame(MCU_MSG_RET_CUR_AUDIO_SOURCE, {1});
                if (write(fd, f.data(), f.size()) < 0) _exit(4);
            }
        }
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    McuAgent_set_log_handler(record_line, nullptr);
    if (c.trust == TrustCase::kCall) McuAgent_set_trusted_agent(kOtherUid, -1);
    if (c.trust == TrustCase::kEnvironment) setenv("MCU_AGENT_TRUSTED_UID", "65534", 1);
    const bool connected = McuAgent_client_init(g_table) != nullptr;
    const bool delivered = wait_until([] { return g_frames.load() == 1; }, c.connects ? 5s : 200ms);
    kill(agent, SIGKILL);
    waitpid(agent, nullptr, 0);
    unlink(kAgentPath);
    EXPECT_EQ(connected, c.connects);
    if (c.connects) {
        EXPECT_TRUE(delivered);
    } else {
        EXPECT_EQ(lines_with("runs as uid 65534"), 1);
        EXPECT_EQ(lines_with("MCU_AGENT_TRUSTED_UID=65534"), 1);
        EXPECT_EQ(g_frames.load(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, AgentTrust,
                         testing::Values(TrustCase{"OtherUserRefused", TrustCase::kNone, false},
                                         TrustCase{"TrustedByTheCall", TrustCase::kCall, true},
                                         TrustCase{"TrustedByTheEnvironment", TrustCase::kEnvironment, true}),
                         [](const testing::TestParamInfo<TrustCase> &info) { return info.param.name; });

// A setuid program ignores the environment another user set: the probe,
// installed setuid root and run as another user, neither connects to the
// socket nor writes the trace that user named.
TEST(LinkEdges, SetuidProgramIgnoresTheEnvironment) {
    if (geteuid() != 0 || getenv("MCU_AGENT_TEST_EMULATED")) GTEST_SKIP() << "needs root and a native build";
    char dir[] = "/tmp/mcu_setuid.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755);
    const std::string probe = std::string(dir) + "/probe", sock = std::string(dir) + "/sock",
                      trace = std::string(dir) + "/trace";
    {
        const int in = open(MCU_SETUID_PROBE, O_RDONLY), out = open(probe.c_str(), O_WRONLY | O_CREAT, 0755);
        ASSERT_GE(in, 0);
        char buffer[65536];
        for (ssize_t n; (n = read(in, buffer, sizeof buffer)) > 0;) ASSERT_EQ(write(out, buffer, n), n);
        close(in);
        close(out);
        ASSERT_EQ(chmod(probe.c_str(), 04755), 0);
    }
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, sock.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        if (setgroups(0, nullptr) != 0 || setresgid(kOtherUid, kOtherUid, kOtherUid) != 0 ||
            setresuid(kOtherUid, kOtherUid, kOtherUid) != 0)
            _exit(1);
        const std::string socket_env = "MCU_AGENT_SOCKET=" + sock, trace_env = "MCU_AGENT_TRACE=" + trace;
        char *const argv[] = {const_cast<char *>(probe.c_str()), nullptr};
        char *const envp[] = {const_cast<char *>(socket_env.c_str()), const_cast<char *>(trace_env.c_str()), nullptr};
        execve(probe.c_str(), argv, envp);
        _exit(127);
    }
    close(out[1]);
    char said[64] = "";
    const ssize_t n = read(out[0], said, sizeof said - 1);
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    pollfd p{listener, POLLIN, 0};
    const bool connected = poll(&p, 1, 0) > 0;
    const bool traced = access(trace.c_str(), F_OK) == 0;
    close(listener);
    unlink(sock.c_str());
    unlink(trace.c_str());
    unlink(probe.c_str());
    rmdir(dir);
    if (n <= 0 || strncmp(said, "euid 0", 6) != 0) GTEST_SKIP() << "setuid does not take effect here: " << said;
    EXPECT_FALSE(connected) << "the setuid program connected to the socket another user named";
    EXPECT_FALSE(traced) << "the setuid program wrote the trace another user named";
}

}  // namespace
