// micro_bench.cpp - the hot paths one at a time: building and sending a
// request frame of each payload shape (without a connection, which times
// building and the send path's lock, and with one, against raw write()
// calls of the same bytes), popping frames out of the receive ring,
// decoding and dispatching each family's messages, and the handler lookup
// over a registration table of 50 rows.
//
// Run it where /tmp/mcu_agent is free (scripts/bench.sh --micro gives it a
// private /tmp): it listens there itself to drain the requests.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "internal.h"
#include "mcu_agent_api.h"
#include "wire.h"

namespace {

constexpr char kPath[] = "/tmp/mcu_agent";

void ignore_packet(PACKET_MSG *packet) { benchmark::DoNotOptimize(packet->data[0]); }

// A row for every id 0..254, so that no dispatch prints its
// no-registration line.
MCU_MSG_HANDLE_REGISTER *every_id_table() {
    static std::array<MCU_MSG_HANDLE_REGISTER, 256> table = [] {
        std::array<MCU_MSG_HANDLE_REGISTER, 256> t{};
        for (int id = 0; id < 255; ++id) t[id] = {static_cast<MCU_MSG_ID>(id), ignore_packet};
        t[255] = {MCU_MSG_MAX_ID, nullptr};
        return t;
    }();
    return table.data();
}

// ---- a draining agent server and the library's connection --------------

struct sockaddr_un agent_address() {
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, kPath, sizeof address.sun_path - 1);
    return address;
}

// True when a server already listens on the path: then this program must
// not connect the library there.
bool path_in_use() {
    const int probe = socket(AF_UNIX, SOCK_STREAM, 0);
    const struct sockaddr_un address = agent_address();
    const bool busy = connect(probe, reinterpret_cast<const struct sockaddr *>(&address), sizeof address) == 0;
    close(probe);
    return busy;
}

struct Drain {
    int listen_fd = -1;
    int conn = -1;
    int client_fd = -1;  // the library's descriptor

    bool start() {
        if (path_in_use()) return false;
        const struct sockaddr_un address = agent_address();
        unlink(kPath);
        listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(listen_fd, reinterpret_cast<const struct sockaddr *>(&address), sizeof address) != 0 ||
            listen(listen_fd, 1) != 0)
            return false;
        std::thread([this] {
            conn = accept(listen_fd, nullptr, nullptr);
            std::vector<char> buffer(256 * 1024);
            while (read(conn, buffer.data(), buffer.size()) > 0) {
            }
        }).detach();
        // Connecting also installs the registration table.
        if (!McuAgent_client_init(every_id_table())) return false;
        client_fd = socket_client_init(McuAgent_receive_packet_handle);
        return client_fd > 0;
    }
};

Drain &connection() {
    static Drain drain;
    static const bool ok = drain.start();
    (void)ok;
    return drain;
}

bool g_connected_once = false;

// Connects (once) and installs the every-id table; the entry point swaps
// tables without connecting again while the connection stands.
bool connected(benchmark::State &state) {
    g_connected_once = true;
    if (connection().client_fd <= 0) {
        state.SkipWithError("no connection to the draining server");
        return false;
    }
    McuAgent_client_init(every_id_table());
    return true;
}

// ---- outbound -------------------------------------------------------------

enum Shape { kEmpty, kOneByte, kRecord, kBlock };
constexpr int kShapeSize[] = {7, 8, 15, 262};
const char *const kShapeName[] = {"empty", "one byte", "record (clock)", "255-byte block"};

int send_shape(Shape shape) {
    static CLOCK_MSG clock{12, 34, 56, 2024, 5, 17};
    static MCAN_DATA_INFO block = [] {
        MCAN_DATA_INFO b{};
        b.size = 255;
        for (int i = 0; i < 255; ++i) b.data[i] = static_cast<uint8_t>(i);
        return b;
    }();
    switch (shape) {
    case kEmpty:
        return McuAgent_get_audio_source();
    case kOneByte:
        return McuAgent_set_audio_source(AUDIO_SOURCE_ID(3));
    case kRecord:
        return McuAgent_set_rct_clock(&clock);
    case kBlock:
        return McuAgent_send_mcan_info(&block);
    }
    return -1;
}

// Builds the frame and takes the send path up to the descriptor check: the
// whole request minus the system call.
void BM_RequestWithoutConnection(benchmark::State &state) {
    const Shape shape = static_cast<Shape>(state.range(0));
    if (g_connected_once) {
        state.SkipWithError("runs only before the connected benchmarks");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(send_shape(shape));
    state.SetLabel(kShapeName[shape]);
}
BENCHMARK(BM_RequestWithoutConnection)->DenseRange(kEmpty, kBlock);

void BM_Request(benchmark::State &state) {
    const Shape shape = static_cast<Shape>(state.range(0));
    if (!connected(state)) return;
    for (auto _ : state)
        if (send_shape(shape) != kShapeSize[shape]) state.SkipWithError("send failed");
    state.SetLabel(kShapeName[shape]);
    state.SetBytesProcessed(state.iterations() * kShapeSize[shape]);
}
BENCHMARK(BM_Request)->DenseRange(kEmpty, kBlock);
BENCHMARK(BM_Request)->Arg(kEmpty)->Threads(4)->UseRealTime();

// The reference: write() of a prebuilt frame of the same size on the same
// connection.
void BM_RawWrite(benchmark::State &state) {
    const Shape shape = static_cast<Shape>(state.range(0));
    if (!connected(state)) return;
    const int fd = connection().client_fd;
    std::array<uint8_t, 262> frame{};
    std::array<uint8_t, 255> payload{};
    const std::size_t size = bench::put_outbound(frame.data(), 0x21, payload.data(), static_cast<uint8_t>(kShapeSize[shape] - 7));
    for (auto _ : state)
        if (write(fd, frame.data(), size) != static_cast<ssize_t>(size)) state.SkipWithError("write failed");
    state.SetLabel(kShapeName[shape]);
    state.SetBytesProcessed(state.iterations() * kShapeSize[shape]);
}
BENCHMARK(BM_RawWrite)->Arg(kEmpty)->Arg(kBlock);
BENCHMARK(BM_RawWrite)->Arg(kEmpty)->Threads(4)->UseRealTime();

// ---- the receive ring -------------------------------------------------------

// Pushes one frame and pops it.  With `wrapped`, the frame starts three
// bytes before the end of the storage, so its head and payload straddle the
// wrap.
void BM_RingPushPop(benchmark::State &state) {
    const int payload = static_cast<int>(state.range(0));
    const bool wrapped = state.range(1) != 0;
    RECEIVE_BUFFER_MSG ring{};
    socket_receive_buffer_msg_init(&ring);
    std::array<uint8_t, 262> frame{};
    std::array<uint8_t, 255> bytes{};
    const int size = static_cast<int>(bench::put_inbound(frame.data(), 0x23, bytes.data(), static_cast<uint8_t>(payload)));
    std::array<char, RECEIVE_BUFFER_MSG_MAX_POP + 3> area{};
    const int start = wrapped ? ring.size - 3 : 0;
    for (auto _ : state) {
        ring.fill_offset = ring.handle_offset = start;
        socket_receive_buffer_msg_lock(&ring);
        socket_receive_buffer_msg_push(&ring, frame.data(), size);
        benchmark::DoNotOptimize(socket_receive_buffer_msg_pop(&ring, area.data()));
        socket_receive_buffer_msg_unlock(&ring);
    }
    socket_receive_buffer_msg_free(&ring);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RingPushPop)->ArgsProduct({{0, 1, 255}, {0, 1}})->ArgNames({"payload", "wrapped"});

// Pops the frames that arrived in one push of up to 2,048 bytes, eight per
// lock as the packet-handle thread does; reported per frame.
void BM_RingPopBurst(benchmark::State &state) {
    const int payload = static_cast<int>(state.range(0));
    RECEIVE_BUFFER_MSG ring{};
    socket_receive_buffer_msg_init(&ring);
    const int frame_size = payload + bench::kFrameOverhead;
    const int frames = RECEIVE_BUFFER_MSG_SIZE / frame_size;
    std::vector<uint8_t> burst(static_cast<std::size_t>(frames * frame_size));
    std::array<uint8_t, 255> bytes{};
    for (int i = 0; i < frames; ++i)
        bench::put_inbound(burst.data() + i * frame_size, 0x23, bytes.data(), static_cast<uint8_t>(payload));
    std::array<char, RECEIVE_BUFFER_MSG_MAX_POP + 3> area{};
    for (auto _ : state) {
        socket_receive_buffer_msg_lock(&ring);
        socket_receive_buffer_msg_push(&ring, burst.data(), static_cast<int>(burst.size()));
        socket_receive_buffer_msg_unlock(&ring);
        for (int i = 0; i < frames;) {
            socket_receive_buffer_msg_lock(&ring);
            for (int k = 0; k < 8 && i < frames; ++k, ++i)
                benchmark::DoNotOptimize(socket_receive_buffer_msg_pop(&ring, area.data()));
            socket_receive_buffer_msg_unlock(&ring);
        }
    }
    socket_receive_buffer_msg_free(&ring);
    state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_RingPopBurst)->Arg(1)->Arg(255)->ArgName("payload");

// ---- decode and dispatch ------------------------------------------------------

// A popped frame as the packet-handle thread hands it over: id, length,
// payload, zeros beyond.
struct Message {
    std::array<uint8_t, 260> area{};
    explicit Message(uint8_t id, int length) {
        area[0] = id;
        area[1] = static_cast<uint8_t>(length);
        for (int i = 0; i < length; ++i) area[2 + i] = static_cast<uint8_t>(0x11 * (i + 1));
    }
};

// The message ids of one family: the blocks of numbers the protocol gives
// each family (the families the decoding rules were once grouped by).
enum Family { kSystem, kAudio, kRadio, kDisplay, kVehicle };
Family family_of(uint8_t id) {
    if (id >= 0xF6) return kVehicle;
    if (id >= 0x90) return kDisplay;
    if (id < 0x20 || id >= 0x7F) return kSystem;  // with ignition and resume data
    if (id < 0x40) return kAudio;
    return kRadio;
}

// Every message id of one family in turn, 16 payload bytes each, with a
// registration table of that family's ids; reported per message.
void BM_DecodeDispatch(benchmark::State &state, Family family) {
    if (!connected(state)) return;
    std::vector<Message> messages;
    std::vector<MCU_MSG_HANDLE_REGISTER> table;
    for (const mcu_agent::protocol::Message &m : mcu_agent::protocol::messages()) {
        if (family_of(m.id) != family) continue;
        messages.emplace_back(m.id, 16);
        table.push_back({static_cast<MCU_MSG_ID>(m.id), ignore_packet});
    }
    table.push_back({MCU_MSG_MAX_ID, nullptr});
    McuAgent_client_init(table.data());
    for (auto _ : state)
        for (Message &m : messages) benchmark::DoNotOptimize(McuAgent_receive_packet_handle(0, m.area.data(), 18));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(messages.size()));
    McuAgent_client_init(every_id_table());
}
BENCHMARK_CAPTURE(BM_DecodeDispatch, system, kSystem);
BENCHMARK_CAPTURE(BM_DecodeDispatch, audio, kAudio);
BENCHMARK_CAPTURE(BM_DecodeDispatch, radio, kRadio);
BENCHMARK_CAPTURE(BM_DecodeDispatch, display, kDisplay);
BENCHMARK_CAPTURE(BM_DecodeDispatch, vehicle, kVehicle);

// The largest raw payload: 255 bytes copied into the record.
void BM_DecodeDispatchBlock(benchmark::State &state) {
    if (!connected(state)) return;
    Message m(0x23, 255);  // raw rule
    for (auto _ : state) benchmark::DoNotOptimize(McuAgent_receive_packet_handle(0, m.area.data(), 257));
}
BENCHMARK(BM_DecodeDispatchBlock);

// Handler lookup over a registration table of 50 rows: the message's row
// is the first, or the last before the end row.
void BM_HandlerLookup50(benchmark::State &state) {
    if (!connected(state)) return;
    static std::array<MCU_MSG_HANDLE_REGISTER, 51> table{};
    std::vector<uint8_t> ids;
    for (const mcu_agent::protocol::Message &m : mcu_agent::protocol::messages())
        if (ids.size() < 50) ids.push_back(m.id);
    if (ids.size() < 50) {
        state.SkipWithError("fewer than 50 message ids with a rule");
        return;
    }
    for (std::size_t i = 0; i < 50; ++i) table[i] = {static_cast<MCU_MSG_ID>(ids[i]), ignore_packet};
    table[50] = {MCU_MSG_MAX_ID, nullptr};
    McuAgent_client_init(table.data());
    const bool last = state.range(0) != 0;
    Message m(last ? ids[49] : ids[0], 1);
    for (auto _ : state) benchmark::DoNotOptimize(McuAgent_receive_packet_handle(0, m.area.data(), 3));
    state.SetLabel(last ? "row 50" : "row 1");
    McuAgent_client_init(every_id_table());
}
BENCHMARK(BM_HandlerLookup50)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (path_in_use()) {
        fprintf(stderr, "another agent server listens on %s; run in a private /tmp (scripts/bench.sh --micro does)\n",
                kPath);
        return 1;
    }
    // The entry point prints "success" each time it installs a table; the
    // figures go to the original standard output instead.
    const int table_fd = dup(STDOUT_FILENO);
    if (table_fd < 0 || !freopen("/dev/null", "w", stdout)) return 1;
    std::ofstream table_out("/proc/self/fd/" + std::to_string(table_fd));
    benchmark::ConsoleReporter reporter(isatty(table_fd) ? benchmark::ConsoleReporter::OO_Defaults
                                                          : benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&table_out);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    unlink(kPath);
    return 0;
}
