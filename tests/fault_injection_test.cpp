// The library against an agent server that misbehaves: it ends the
// connection in the middle of a frame, while the library sends and while
// sends are blocked; it resets the connection after a burst; it mixes
// garbage into the stream; it writes a megabyte at once to slow handlers
// that send themselves; it stops reading and resumes; it drops the
// connection again and again while threads send.  Every case goes through
// the entry point, the registration table and the decoders, and checks
// that nothing crashes, every wait is bounded, every frame that arrived
// whole is delivered once and unchanged, no cut frame is delivered, and
// the results and printed lines are the promised ones.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent_server.h"
#include "link_state.h"
#include "wait.h"
#include "client.h"
#include "delivery.h"
#include "mcu_agent_api.h"
#include "wire.h"

using mcu_agent_test::AgentServer;
using mcu_agent_test::Bytes;
using mcu_agent_test::inbound_frame;
using mcu_agent_test::outbound_frame;
using mcu_agent_test::wait_until;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// Captures what the library prints around f; gtest's own failure
// messages are printed there too, so they are shown again on failure.
template <typename F>
std::string capture(F &&f) {
    std::string out = mcu_agent_test::capture_stdout(std::forward<F>(f));
    if (testing::Test::HasFailure()) std::fputs(out.c_str(), stderr);
    return out;
}

// Waits until `count()` is above zero and has not changed for `quiet`:
// the threads that move it are blocked.
template <typename Count>
bool wait_stalled(Count count, std::chrono::milliseconds quiet = 500ms, std::chrono::milliseconds timeout = 30s) {
    const auto deadline = Clock::now() + timeout;
    auto last = count();
    auto since = Clock::now();
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        const auto now = count();
        if (now != last) {
            last = now;
            since = Clock::now();
        } else if (now > 0 && Clock::now() - since >= quiet) {
            return true;
        }
    }
    return false;
}

// A test's threads, joined when they go out of scope.  A failed assertion
// returns early while they may be blocked on the server, so `release`
// (which ends the server's side) runs before that join.
class Threads {
public:
    explicit Threads(std::function<void()> release) : release_(std::move(release)) {}
    ~Threads() {
        if (!joined_) {
            release_();
            join();
        }
    }
    Threads(const Threads &) = delete;
    Threads &operator=(const Threads &) = delete;
    template <typename F>
    void start(F &&f) {
        threads_.emplace_back(std::forward<F>(f));
    }
    void join() {
        for (std::thread &t : threads_)
            if (t.joinable()) t.join();
        joined_ = true;
    }

private:
    std::function<void()> release_;
    std::vector<std::thread> threads_;
    bool joined_ = false;
};

// True once the library has ended its connection: sends fail at once,
// the "disconnected" line is printed and the descriptor closed.
bool connection_ended() {
    char byte = 0;
    if (socket_send(&byte, 0) != -1) return false;
    mcu_agent::link::Lock lock(mcu_agent::link::g_link.mutex());
    for (const auto &c : mcu_agent::link::g_link.connections)
        if (c.fd.load() >= 0) return false;
    return true;
}

void append(Bytes &to, const Bytes &bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// A payload that carries a sequence number in its first four bytes.
Bytes numbered(uint32_t seq, std::size_t length) {
    Bytes p(length);
    for (std::size_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>(seq * 13 + i);
    for (std::size_t i = 0; i < 4 && i < length; ++i) p[i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
    return p;
}

// The fields of two packets are equal (padding aside).
bool same_packet(const PACKET_MSG &a, const PACKET_MSG &b) {
    return a.mcu_msg_id == b.mcu_msg_id && a.size == b.size && std::memcmp(a.data, b.data, sizeof a.data) == 0;
}

struct InFrame {
    uint8_t id;
    Bytes payload;
};

Bytes stream_of(const std::vector<InFrame> &frames) {
    Bytes all;
    for (const InFrame &f : frames) append(all, inbound_frame(f.id, f.payload));
    return all;
}

// A mix of messages: mostly CAN frames whose payload (and so the decoded
// record) carries the sequence number, between messages of every family.
std::vector<InFrame> mixed_frames(uint32_t count, uint32_t first_seq = 0) {
    static const uint8_t kOthers[] = {0x03, 0x04, 0x05, 0x0E, 0x13, 0x1F, 0x21, 0x23, 0x2A, 0x30, 0x31, 0x4C,
                                      0x50, 0x51, 0x54, 0x81, 0x90, 0xA1, 0xAC, 0xB2, 0xF0, 0xFA, 0xFB, 0xFC};
    std::vector<InFrame> frames;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t seq = first_seq + i;
        if (seq % 4 == 3)
            frames.push_back({kOthers[seq / 4 % sizeof kOthers], numbered(seq, seq % 60)});
        else
            frames.push_back({MCU_MSG_RET_MCAN_INFO, numbered(seq, 4 + seq * 7 % 252)});
    }
    return frames;
}

// ---- handlers ----------------------------------------------------------

std::atomic<int> g_handler_delay_us{0};
std::atomic<bool> g_answer_version_requests{false};
std::mutex g_answers_mutex;
std::vector<int> g_answer_results;

VERSION_INFO version_answer() {
    VERSION_INFO v{};
    v.type = VERSION_TYPE_BT;
    std::memcpy(v.version_buffer, "V1.2", 4);
    v.size = 4;
    return v;
}
const Bytes kVersionAnswerFrame = outbound_frame(0x0F, {0x01, 'V', '1', '.', '2'});

// Every message: wait a little if asked, answer a version request if
// asked (as an application must), then record the packet.
void observe(PACKET_MSG *packet) {
    if (const int d = g_handler_delay_us.load()) std::this_thread::sleep_for(std::chrono::microseconds(d));
    if (packet->mcu_msg_id == MCU_MSG_GET_VERSION_INFO && g_answer_version_requests) {
        VERSION_INFO v = version_answer();
        const int result = McuAgent_send_version_info(&v);
        std::lock_guard<std::mutex> lock(g_answers_mutex);
        g_answer_results.push_back(result);
    }
    mcu_agent_test::record_packet(packet);
}

MCU_MSG_HANDLE_REGISTER *observe_every_id() {
    static std::array<MCU_MSG_HANDLE_REGISTER, 256> table = [] {
        std::array<MCU_MSG_HANDLE_REGISTER, 256> t{};
        for (int id = 0; id < 255; ++id) t[static_cast<std::size_t>(id)] = {static_cast<MCU_MSG_ID>(id), observe};
        t[255] = {MCU_MSG_MAX_ID, nullptr};
        return t;
    }();
    return table.data();
}

// ---- outbound frames ---------------------------------------------------

// A whole outbound frame: lead bytes, zero bytes, checksum over id,
// length and payload.
bool whole(const Bytes &f) { return mcu_agent::wire::is_request_frame(f.data(), f.size()); }

// A CAN frame that names its sender and its sequence number, 262 bytes
// on the wire.
MCAN_DATA_INFO sender_record(int thread, uint32_t seq) {
    MCAN_DATA_INFO info{};
    info.size = 255;
    const Bytes p = numbered(seq, 255);
    std::memcpy(info.data, p.data(), p.size());
    info.data[4] = static_cast<uint8_t>(thread);
    return info;
}

// Checks frames read from several senders: whole, and each sender's
// sequence numbers counting up from 0 without a gap.
class SenderOrder {
public:
    bool accept(const Bytes &f) {
        if (!whole(f) || f[4] != 0xFD || f[5] != 255) return false;
        const uint32_t seq = uint32_t{f[6]} << 24 | uint32_t{f[7]} << 16 | uint32_t{f[8]} << 8 | f[9];
        const int thread = f[10];
        if (f != outbound_frame(0xFD, payload_of(thread, seq))) return false;
        return seq == next_[thread]++;
    }
    uint32_t count(int thread) { return next_[thread]; }

private:
    static Bytes payload_of(int thread, uint32_t seq) {
        const MCAN_DATA_INFO info = sender_record(thread, seq);
        return Bytes(info.data, info.data + info.size);
    }
    std::map<int, uint32_t> next_;
};

// ---- fixture -------------------------------------------------------------

// Decodes every frame once before the library connects, with the
// library's own decoders, so that a delivery can be compared with the
// packet that frame must give; then connects through the entry point.
class FaultInjectionTest : public testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_DFL);  // a send that raised SIGPIPE would end the test
        g_handler_delay_us = 0;
        g_answer_version_requests = false;
        g_answer_results.clear();
        mcu_agent_test::capture_stdout([] { McuAgent_client_init(observe_every_id()); });
        mcu_agent_test::clear_delivered();
    }

    // The packets `frames` must be delivered as.
    static std::vector<PACKET_MSG> decoded(const std::vector<InFrame> &frames) {
        std::vector<PACKET_MSG> packets(frames.size());
        mcu_agent_test::capture_stdout([&] {
            for (std::size_t i = 0; i < frames.size(); ++i)
                mcu_agent_test::dispatch_frame(frames[i].id, frames[i].payload, &packets[i]);
        });
        mcu_agent_test::clear_delivered();
        return packets;
    }

    // Starts the agent server and connects the library to it.
    void connect() {
        server_.emplace();
        std::string out = mcu_agent_test::capture_stdout([&] { api_ = McuAgent_client_init(observe_every_id()); });
        ASSERT_NE(api_, nullptr);
        ASSERT_EQ(out, "success\n");
        ASSERT_TRUE(server_->accept_client());
    }

    static void expect_delivered(const std::vector<PACKET_MSG> &want) {
        ASSERT_TRUE(mcu_agent_test::wait_delivered(want.size(), 60000))
            << mcu_agent_test::delivered().size() << " of " << want.size();
        std::this_thread::sleep_for(50ms);  // nothing more may follow
        const std::vector<PACKET_MSG> got = mcu_agent_test::delivered();
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i)
            ASSERT_TRUE(same_packet(got[i], want[i]))
                << "delivery " << i << " (id " << got[i].mcu_msg_id << ") differs";
    }

    // Ends the server's side of the connection at once, even while one of
    // its threads is blocked in a send on it.
    void end_server_side() {
        if (server_ && server_->client_fd() >= 0) ::shutdown(server_->client_fd(), SHUT_RDWR);
    }

    std::optional<AgentServer> server_;
    MCU_AGENT_API *api_ = nullptr;
};

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// "socket <descriptor> disconnected"
bool disconnected_line(const std::string &line) {
    const std::string head = "socket ", tail = " disconnected";
    if (line.size() <= head.size() + tail.size() || line.compare(0, head.size(), head) != 0 ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string number = line.substr(head.size(), line.size() - head.size() - tail.size());
    return number.find_first_not_of("0123456789") == std::string::npos;
}

// Exactly one line, the end of the connection.
bool only_disconnected(const std::string &out) {
    const std::vector<std::string> lines = lines_of(out);
    return lines.size() == 1 && disconnected_line(lines[0]) && out.back() == '\n';
}

// The server ends the connection with a frame cut at every kind of place,
// by closing or by a reset (it has unread bytes then).  The whole frames
// before the cut are delivered; the cut one never is, not even glued to
// the bytes of the next connection, which the entry point makes.
TEST_F(FaultInjectionTest, FrameCutByTheEndOfTheConnectionIsNeverDelivered) {
    struct Cut {
        std::size_t keep;  // bytes of the cut frame that are sent
        bool reset;
    };
    const Bytes cut_frame = inbound_frame(0xFD, numbered(0xC0FFEE, 40));
    const std::vector<Cut> cuts = {{1, false},  {2, false},  {5, false},  {6, false}, {7, false},
                                   {30, false}, {46, false}, {1, true},   {6, true},  {46, true}};
    std::vector<InFrame> frames;
    for (std::size_t r = 0; r < cuts.size(); ++r) {
        frames.push_back({MCU_MSG_RET_MCAN_INFO, numbered(static_cast<uint32_t>(r), 10)});
        frames.push_back({MCU_MSG_RET_RTC_CLOCK_INFO, {0x01, 0x17, 0x3B, static_cast<uint8_t>(r), 0x07, 0xE8, 0x0C, 0x1F}});
    }
    const std::vector<PACKET_MSG> want = decoded(frames);

    server_.emplace();
    std::string out;
    for (std::size_t r = 0; r < cuts.size(); ++r) {
        SCOPED_TRACE(testing::Message() << "cut after " << cuts[r].keep << (cuts[r].reset ? " reset" : " close"));
        out += capture([&] {
            ASSERT_NE(McuAgent_client_init(observe_every_id()), nullptr);
            ASSERT_TRUE(server_->accept_client());
            if (cuts[r].reset) {
                ASSERT_EQ(McuAgent_hmi_startup(), 7);  // left unread by the server
            }
            Bytes bytes = stream_of({frames[2 * r], frames[2 * r + 1]});
            bytes.insert(bytes.end(), cut_frame.begin(), cut_frame.begin() + static_cast<std::ptrdiff_t>(cuts[r].keep));
            ASSERT_TRUE(server_->send(bytes));
            ASSERT_TRUE(mcu_agent_test::wait_delivered(2 * r + 2));
            if (cuts[r].reset)
                server_->reset_client();
            else
                server_->close_client();
            ASSERT_TRUE(wait_until(connection_ended));
        });
        if (HasFatalFailure()) return;
    }
    expect_delivered(want);
    // One connection and one end per round, nothing else.
    const std::vector<std::string> lines = lines_of(out);
    ASSERT_EQ(lines.size(), 2 * cuts.size()) << out;
    for (std::size_t r = 0; r < cuts.size(); ++r) {
        EXPECT_EQ(lines[2 * r], "success") << out;
        EXPECT_TRUE(disconnected_line(lines[2 * r + 1])) << out;
    }
}

// Runs of bytes that begin no frame between valid frames, cut into writes
// of any size: every valid frame is delivered unchanged, and each run is
// reported once, with the line that says which lead byte was wrong.
TEST_F(FaultInjectionTest, GarbageBetweenFramesNeverCostsAValidFrame) {
    std::mt19937 rng(1234);
    const std::vector<InFrame> frames = mixed_frames(3000);
    const std::vector<PACKET_MSG> want = decoded(frames);
    const std::string high = "socket_receive_buffer_msg_pop: packet head high check error .\n";
    const std::string low = "socket_receive_buffer_msg_pop: packet head low check error .\n";
    Bytes stream;
    std::string lines;
    for (const InFrame &f : frames) {
        append(stream, inbound_frame(f.id, f.payload));
        if (rng() % 3) continue;
        // A run of 1 to 600 bytes without the pair 0xAB 0xBA; a run that
        // starts with 0xAB is a frame start with a wrong second byte.
        Bytes run(1 + rng() % 600);
        for (std::size_t i = 0; i < run.size(); ++i) {
            run[i] = static_cast<uint8_t>(rng());
            if (i > 0 && run[i - 1] == 0xAB && run[i] == 0xBA) run[i] = 0x00;
        }
        lines += run[0] == 0xAB ? low : high;
        append(stream, run);
    }
    connect();
    std::string out = capture([&] {
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min<std::size_t>(1 + rng() % 700, stream.size() - at);
            ASSERT_TRUE(server_->send(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                            stream.begin() + static_cast<std::ptrdiff_t>(at + n))));
            at += n;
            if (rng() % 16 == 0) std::this_thread::sleep_for(200us);
        }
        expect_delivered(want);
    });
    EXPECT_EQ(out, lines);
}

// A connection that ends in the middle of garbage, and a new one that
// starts with garbage: the new stream's garbage is reported again, it is
// not taken for the rest of the old run.
TEST_F(FaultInjectionTest, GarbageOnANewConnectionIsReportedAgain) {
    const std::vector<InFrame> frames = mixed_frames(2);
    const std::vector<PACKET_MSG> want = decoded(frames);
    const std::string high = "socket_receive_buffer_msg_pop: packet head high check error .\n";
    connect();
    std::string out = capture([&] {
        Bytes bytes = stream_of({frames[0]});
        append(bytes, Bytes(50, 0x00));
        ASSERT_TRUE(server_->send(bytes));
        ASSERT_TRUE(mcu_agent_test::wait_delivered(1));
        std::this_thread::sleep_for(50ms);  // the garbage after the frame is skipped meanwhile
        server_->close_client();
        ASSERT_TRUE(wait_until(connection_ended));
        ASSERT_NE(McuAgent_client_init(observe_every_id()), nullptr);
        ASSERT_TRUE(server_->accept_client());
        bytes = Bytes(20, 0x11);
        append(bytes, stream_of({frames[1]}));
        ASSERT_TRUE(server_->send(bytes));
        expect_delivered(want);
    });
    const std::vector<std::string> lines = lines_of(out);
    ASSERT_EQ(lines.size(), 4u) << out;
    EXPECT_EQ(lines[0] + "\n", high);
    EXPECT_TRUE(disconnected_line(lines[1])) << out;
    EXPECT_EQ(lines[2], "success");
    EXPECT_EQ(lines[3] + "\n", high);
}

// The server writes a burst and a cut frame, then resets the connection
// while the handlers are still busy.  Bytes already received are not lost
// to the reset: every whole frame is delivered, the cut one is not.
TEST_F(FaultInjectionTest, ResetAfterABurstStillDeliversEveryWholeFrame) {
    const std::vector<InFrame> frames = mixed_frames(400);
    const std::vector<PACKET_MSG> want = decoded(frames);
    connect();
    g_handler_delay_us = 100;
    std::string out = capture([&] {
        ASSERT_EQ(McuAgent_hmi_startup(), 7);  // unread by the server: its close is a reset
        Bytes bytes = stream_of(frames);
        const Bytes cut = inbound_frame(0xFD, numbered(999, 200));
        bytes.insert(bytes.end(), cut.begin(), cut.begin() + 100);
        ASSERT_TRUE(server_->send(bytes));
        server_->reset_client();
        ASSERT_TRUE(wait_until(connection_ended, 30s));
        expect_delivered(want);
    });
    EXPECT_TRUE(only_disconnected(out)) << out;
}

// One megabyte of frames in one write, to handlers that take their time
// and answer the version requests among them with a request of their
// own, which the server reads meanwhile.
TEST_F(FaultInjectionTest, OneMegabyteAtOnceWithSlowHandlersThatSend) {
    std::vector<InFrame> frames;
    std::size_t bytes = 0;
    std::size_t requests = 0;
    for (uint32_t seq = 0; bytes < (1u << 20); ++seq) {
        InFrame f = seq % 50 == 49 ? InFrame{MCU_MSG_GET_VERSION_INFO, {0x01}} : mixed_frames(1, seq)[0];
        requests += f.id == MCU_MSG_GET_VERSION_INFO;
        bytes += f.payload.size() + 7;
        frames.push_back(std::move(f));
    }
    const std::vector<PACKET_MSG> want = decoded(frames);
    connect();
    g_handler_delay_us = 20;
    g_answer_version_requests = true;

    std::atomic<std::size_t> answers{0};
    std::atomic<bool> answers_whole{true};
    Threads reader([&] { end_server_side(); });
    reader.start([&] {
        while (answers < requests) {
            const auto f = server_->read_frame(30000);
            if (!f || *f != kVersionAnswerFrame) {
                answers_whole = false;
                return;
            }
            ++answers;
        }
    });
    const auto start = Clock::now();
    ASSERT_TRUE(server_->send(stream_of(frames)));
    expect_delivered(want);
    reader.join();
    EXPECT_TRUE(answers_whole);
    EXPECT_EQ(answers.load(), requests);
    EXPECT_EQ(g_answer_results, std::vector<int>(requests, static_cast<int>(kVersionAnswerFrame.size())));
    EXPECT_TRUE(server_->nothing_arrives(100));
    std::printf("%zu frames (%zu bytes) in %.2f s\n", frames.size(), bytes,
                std::chrono::duration<double>(Clock::now() - start).count());
}

// Sender threads on a server that stops reading: their sends block (no
// short write, no error) while reception goes on; when the server reads
// again every blocked send completes and every frame arrives whole and in
// each sender's order.
TEST_F(FaultInjectionTest, SendsBlockedByAServerThatStopsReadingCompleteWhenItResumes) {
    constexpr int kThreads = 4;
    constexpr uint32_t kPerThread = 1500;  // several times what the socket buffers hold
    const std::vector<InFrame> inbound = mixed_frames(20);
    const std::vector<PACKET_MSG> want = decoded(inbound);
    connect();

    std::atomic<uint32_t> sent{0};
    std::atomic<int> bad_results{0};
    Threads senders([&] { end_server_side(); });
    for (int t = 0; t < kThreads; ++t) {
        senders.start([&, t] {
            for (uint32_t i = 0; i < kPerThread; ++i) {
                MCAN_DATA_INFO info = sender_record(t, i);
                if (McuAgent_send_mcan_info(&info) != 262) ++bad_results;
                ++sent;
            }
        });
    }
    // The sends stall while nobody reads.
    ASSERT_TRUE(wait_stalled([&] { return sent.load(); }));
    EXPECT_LT(sent.load(), kThreads * kPerThread);
    // Inbound frames are still delivered while the senders are blocked.
    ASSERT_TRUE(server_->send(stream_of(inbound)));
    expect_delivered(want);

    SenderOrder order;
    std::size_t frames = 0;
    for (; frames < kThreads * kPerThread; ++frames) {
        const auto f = server_->read_frame(10000);
        ASSERT_TRUE(f.has_value()) << "after " << frames << " frames";
        ASSERT_TRUE(order.accept(*f)) << "frame " << frames;
    }
    senders.join();
    EXPECT_EQ(bad_results.load(), 0);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(order.count(t), kPerThread);
    EXPECT_TRUE(server_->nothing_arrives(100));
}

// The server closes while sends are blocked on it: every blocked send
// returns -1 within a bounded time, no SIGPIPE ends the process, each
// sender sees whole frames sent and then only failures, and the frames
// the server did read were whole and in order.
TEST_F(FaultInjectionTest, ServerClosingWhileSendsAreBlockedReleasesThem) {
    constexpr int kThreads = 4;
    constexpr uint32_t kPerThread = 3000;
    connect();
    std::array<std::vector<int>, kThreads> results;
    std::atomic<uint32_t> sent{0};
    Threads senders([&] { end_server_side(); });
    for (int t = 0; t < kThreads; ++t) {
        senders.start([&, t] {
            for (uint32_t i = 0; i < kPerThread; ++i) {
                MCAN_DATA_INFO info = sender_record(t, i);
                results[static_cast<std::size_t>(t)].push_back(McuAgent_send_mcan_info(&info));
                ++sent;
            }
        });
    }
    SenderOrder order;
    for (int i = 0; i < 200; ++i) {
        const auto f = server_->read_frame();
        ASSERT_TRUE(f.has_value());
        ASSERT_TRUE(order.accept(*f)) << "frame " << i;
    }
    ASSERT_TRUE(wait_stalled([&] { return sent.load(); }));
    std::string out = capture([&] {
        server_->close_client();
        const auto closed = Clock::now();
        senders.join();
        EXPECT_LT(Clock::now() - closed, 10s);
        ASSERT_TRUE(wait_until(connection_ended));
    });
    EXPECT_TRUE(only_disconnected(out)) << out;
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE(t);
        const std::vector<int> &r = results[static_cast<std::size_t>(t)];
        ASSERT_EQ(r.size(), kPerThread);
        std::size_t ok = 0;
        while (ok < r.size() && r[ok] == 262) ++ok;
        EXPECT_GE(ok, order.count(t));
        EXPECT_LT(ok, r.size());
        for (std::size_t i = ok; i < r.size(); ++i) ASSERT_EQ(r[i], -1) << "send " << i;
    }
    EXPECT_EQ(McuAgent_hmi_startup(), -1);
}

// A handler answering a version request blocks in its send because the
// server reads nothing; the server sends more and closes.  The blocked
// answer fails, the packet-handle thread goes on, and every frame that
// arrived whole is delivered.
TEST_F(FaultInjectionTest, HandlerBlockedInASendIsReleasedWhenTheServerCloses) {
    std::vector<InFrame> frames;
    for (uint32_t seq = 0; seq < 3000; ++seq)
        frames.push_back(seq % 2 ? InFrame{MCU_MSG_GET_VERSION_INFO, {0x01}} : mixed_frames(1, seq)[0]);
    const std::vector<PACKET_MSG> want = decoded(frames);
    connect();
    g_answer_version_requests = true;
    std::string out = capture([&] {
        Threads writer([&] { end_server_side(); });
        writer.start([&] { server_->send(stream_of(frames)); });
        // The handler's answers fill the socket and the next one blocks.
        ASSERT_TRUE(wait_stalled([&] {
            std::lock_guard<std::mutex> lock(g_answers_mutex);
            return g_answer_results.size();
        }));
        // Shut down first: the writer may still be blocked in a send on
        // this socket, and a close alone would not end the connection
        // until that send returns.
        end_server_side();
        server_->close_client();
        writer.join();
        ASSERT_TRUE(wait_until(connection_ended, 10s));
    });
    EXPECT_TRUE(only_disconnected(out)) << out;
    // The writer's bytes that reached the library before the close are
    // delivered, each frame whole; the later ones were never received.
    ASSERT_TRUE(wait_until([&] {
        const std::size_t n = mcu_agent_test::delivered().size();
        std::this_thread::sleep_for(100ms);
        return mcu_agent_test::delivered().size() == n;
    }, 30s));
    const std::vector<PACKET_MSG> got = mcu_agent_test::delivered();
    ASSERT_GT(got.size(), 0u);
    ASSERT_LE(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_TRUE(same_packet(got[i], want[i])) << "delivery " << i;
    std::lock_guard<std::mutex> lock(g_answers_mutex);
    std::size_t ok = 0;
    while (ok < g_answer_results.size() && g_answer_results[ok] == static_cast<int>(kVersionAnswerFrame.size())) ++ok;
    EXPECT_LT(ok, g_answer_results.size()) << "no answer failed";
    for (std::size_t i = ok; i < g_answer_results.size(); ++i) ASSERT_EQ(g_answer_results[i], -1) << "answer " << i;
}

// The application calls the entry point the moment its sends start to
// fail, while the receive thread is still retiring the old connection.
// The entry point must connect again (or fail), never report success for
// the connection that is going away.
TEST_F(FaultInjectionTest, EntryPointRightAfterTheEndConnectsAgain) {
    server_.emplace();
    std::string out = capture([&] {
        for (int round = 0; round < 100; ++round) {
            SCOPED_TRACE(round);
            ASSERT_NE(McuAgent_client_init(observe_every_id()), nullptr);
            ASSERT_TRUE(server_->accept_client(2000)) << "success reported without a new connection";
            server_->close_client();
            const auto deadline = Clock::now() + 5s;
            while (!connection_ended()) ASSERT_LT(Clock::now(), deadline);
        }
    });
    EXPECT_EQ(McuAgent_get_audio_source(), -1);
}

// The server drops the connection again and again while threads send and
// the application connects again each time.  Every send reports a whole
// frame or -1, each connection's byte stream begins at a frame boundary
// and holds only whole frames, and nothing crashes.
TEST_F(FaultInjectionTest, ConnectionChurnWhileThreadsSend) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    server_.emplace();
    std::atomic<bool> stop{false};
    std::atomic<int> bad_results{0};
    std::atomic<uint32_t> sent_whole{0};
    Threads senders([&] { stop = true; });
    for (int t = 0; t < kThreads; ++t) {
        senders.start([&, t] {
            for (uint32_t i = 0; !stop; ++i) {
                MCAN_DATA_INFO info = sender_record(t, i);
                info.size = static_cast<uint8_t>(i % 256);
                const int expected = info.size + 7;
                const int r = t % 2 ? McuAgent_send_mcan_info(&info) : McuAgent_get_audio_source();
                if (r == (t % 2 ? expected : 7))
                    ++sent_whole;
                else if (r != -1)
                    ++bad_results;
            }
        });
    }
    std::string out = capture([&] {
        for (int round = 0; round < kRounds; ++round) {
            SCOPED_TRACE(round);
            ASSERT_NE(McuAgent_client_init(observe_every_id()), nullptr);
            ASSERT_TRUE(server_->accept_client());
            for (int i = 0; i < 50; ++i) {
                const auto f = server_->read_frame();
                ASSERT_TRUE(f.has_value());
                ASSERT_TRUE(whole(*f)) << "frame " << i;
            }
            if (round % 2)
                server_->reset_client();
            else
                server_->close_client();
            ASSERT_TRUE(wait_until(connection_ended));
        }
    });
    stop = true;
    senders.join();
    EXPECT_EQ(bad_results.load(), 0);
    EXPECT_GT(sent_whole.load(), static_cast<uint32_t>(kRounds * 50));
    // Each round: the entry point's line, then the end of the connection.
    const std::vector<std::string> lines = lines_of(out);
    ASSERT_EQ(lines.size(), std::size_t{2 * kRounds}) << out;
    for (std::size_t i = 0; i < lines.size(); i += 2) {
        EXPECT_EQ(lines[i], "success") << out;
        EXPECT_TRUE(disconnected_line(lines[i + 1])) << out;
    }
}

}  // namespace
