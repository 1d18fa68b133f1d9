// frame_stream_fuzzer.cpp - an arbitrary byte stream from the agent, cut
// into arbitrary chunks, through the receive ring and the decode-and-
// dispatch step, the way the two worker threads move it: the receive side
// pushes reads of any size up to the room the ring has; the
// packet-handle side pops frames into a message area, clears the area past
// the popped count and calls McuAgent_receive_packet_handle, whose
// handlers (one for every id) check what they are given.
//
// Input: byte 0 seeds the chunking and the interleaving of pushes and
// pops, bytes 1 and 2 give the ring's starting position, the rest is the
// stream.
//
// Checked for every input:
//  - pop writes exactly the bytes it counts and nothing past them;
//  - the frames delivered are exactly those of a plain reading of the
//    whole stream (below), in order, whatever the chunking: no frame lost,
//    doubled, cut or glued to another;
//  - a ring that is full always gives room when drained, so reception
//    never stalls;
//  - each handler call gets the frame's id, PACKET_MSG.size as the rules
//    say, its record inside the extent its protocol rows allow
//    (record_extents.h) and zero in
//    every byte of data past it; copied payloads are copied unchanged;
//  - the id 255 reaches no handler and the result is -1; every other id
//    reaches its handler exactly once and the result is 0;
//  - the packet does not depend on what lay in memory before: each frame
//    is dispatched twice, over a stack filled with 0x00 and then with
//    0xFF, and both packets must be equal (padding inside a record that a
//    rule leaves uninitialised shows up here).
// AddressSanitizer checks the bounds: the ring's storage and the message
// area (exactly the 257 bytes a pop may fill) are heap blocks of their
// exact size.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "client.h"
#include "fuzz_support.h"
#include "internal.h"
#include "mcu_agent_api.h"
#include "record_extents.h"
#include "wire.h"

using namespace mcu_agent_fuzz;

namespace {

constexpr std::size_t kHeader = 3;
using mcu_agent::wire::kFrameOverhead;
using mcu_agent::wire::kHeadSize;
constexpr uint8_t kLead0 = mcu_agent::wire::kInboundLead0;
constexpr uint8_t kLead1 = mcu_agent::wire::kInboundLead1;
constexpr int kLongestPartialFrame = mcu_agent::wire::kMaxFrame - 1;
constexpr uint8_t kAreaCanary = 0xEE;

// A frame of the stream: where its id byte lies and its payload length.
struct StreamFrame {
    std::size_t id_at;
    uint8_t length;
};

// A plain reading of the whole stream: a frame begins with the lead
// bytes 0xAB 0xBA and takes L + 7 bytes; a byte that does not begin one is
// skipped.  A lone 0xAB at the very end may still begin a frame, and a
// frame whose bytes have not all arrived is not delivered.
std::vector<StreamFrame> read_frames(const uint8_t *s, std::size_t n) {
    std::vector<StreamFrame> frames;
    std::size_t at = 0;
    while (at < n) {
        const bool begins = s[at] == kLead0 && (at + 1 == n || s[at + 1] == kLead1);
        if (!begins) {
            ++at;
            continue;
        }
        if (n - at < static_cast<std::size_t>(kHeadSize)) break;
        const uint8_t length = s[at + mcu_agent::wire::kLengthOffset];
        if (n - at < mcu_agent::wire::frame_size(s + at)) break;
        frames.push_back({at + mcu_agent::wire::kIdOffset, length});
        at += mcu_agent::wire::frame_size(s + at);
    }
    return frames;
}

// The frame being dispatched, for the handler to check against, and the
// packets that its two dispatches delivered.
struct Dispatched {
    uint8_t id;
    uint8_t length;
    const uint8_t *payload;
    int handler_calls;
    std::array<PACKET_MSG, 2> seen;
};
Dispatched g_now;

void check_packet(PACKET_MSG *packet) {
    if (g_now.handler_calls < 2) std::memcpy(&g_now.seen[static_cast<std::size_t>(g_now.handler_calls)], packet, sizeof *packet);
    if (++g_now.handler_calls > 1) return;  // the second dispatch is compared with the first
    const uint8_t id = g_now.id;
    const uint8_t length = g_now.length;
    FUZZ_CHECK(static_cast<uint32_t>(packet->mcu_msg_id) == id, "id %u delivered as %u", id,
               static_cast<unsigned>(packet->mcu_msg_id));
    FUZZ_CHECK(packet->size == packet_size(id, length), "id 0x%02X L %u: size %u", id, length, packet->size);
    const std::size_t end = record_end(id, length);
    FUZZ_CHECK(end <= sizeof packet->data, "id 0x%02X: record of %zu bytes", id, end);
    for (std::size_t i = end; i < sizeof packet->data; ++i)
        FUZZ_CHECK(packet->data[i] == 0, "id 0x%02X L %u: data[%zu] = 0x%02X past the record (%zu bytes)", id, length,
                   i, packet->data[i], end);
    // An id without rows: its payload, copied as it came.
    if (!mcu_agent::protocol::find_message(id))
        FUZZ_CHECK(std::memcmp(packet->data, g_now.payload, length) == 0, "id 0x%02X: raw copy differs", id);
}

// A handler for every id; 255 ends the table and so never has one.
std::array<MCU_MSG_HANDLE_REGISTER, 256> g_table;

// The message area as the packet-handle thread hands it on: exactly the
// largest pop, so that a read past it is caught.
char *message_area() {
    static char *area = new char[RECEIVE_BUFFER_MSG_MAX_POP];
    return area;
}

// Fills the stack below the caller with `fill`, so that the next call
// at the same depth starts on those bytes.
__attribute__((noinline)) void fill_stack(uint8_t fill) {
    uint8_t junk[4096];
    std::memset(junk, fill, sizeof junk);
    __asm__ volatile("" : : "r"(junk) : "memory");
}

__attribute__((noinline)) int dispatch_over(uint8_t fill, char *area, int n) {
    fill_stack(fill);
    return McuAgent_receive_packet_handle(3, area, n);
}

// One pop and, when a frame came out, its dispatch.  Returns false when
// no complete frame was stored.
bool pop_and_dispatch(RECEIVE_BUFFER_MSG &ring, const uint8_t *stream, const std::vector<StreamFrame> &expected,
                      std::size_t &delivered) {
    char *area = message_area();
    std::memset(area, kAreaCanary, RECEIVE_BUFFER_MSG_MAX_POP);
    socket_receive_buffer_msg_lock(&ring);
    const int n = socket_receive_buffer_msg_pop(&ring, area);
    socket_receive_buffer_msg_unlock(&ring);
    if (n < 0) {
        for (int i = 0; i < RECEIVE_BUFFER_MSG_MAX_POP; ++i)
            FUZZ_CHECK(static_cast<uint8_t>(area[i]) == kAreaCanary, "pop found no frame but wrote area[%d]", i);
        return false;
    }
    const auto *bytes = reinterpret_cast<const uint8_t *>(area);
    FUZZ_CHECK(n >= 2 && n <= RECEIVE_BUFFER_MSG_MAX_POP, "pop returned %d", n);
    FUZZ_CHECK(n == bytes[1] + 2, "pop returned %d for L %u", n, bytes[1]);
    for (int i = n; i < RECEIVE_BUFFER_MSG_MAX_POP; ++i)
        FUZZ_CHECK(static_cast<uint8_t>(area[i]) == kAreaCanary, "pop of %d bytes wrote area[%d]", n, i);
    FUZZ_CHECK(delivered < expected.size(), "frame %zu delivered, the stream holds %zu", delivered + 1,
               expected.size());
    const StreamFrame &want = expected[delivered];
    FUZZ_CHECK(std::memcmp(bytes, stream + want.id_at, static_cast<std::size_t>(n)) == 0 && bytes[1] == want.length,
               "frame %zu is not the one at stream offset %zu", delivered, want.id_at - 4);
    ++delivered;

    std::memset(area + n, 0, static_cast<std::size_t>(RECEIVE_BUFFER_MSG_MAX_POP - n));
    g_now.id = bytes[0];
    g_now.length = bytes[1];
    g_now.payload = bytes + 2;
    g_now.handler_calls = 0;
    const bool unregistered = g_now.id == MCU_MSG_MAX_ID;
    for (uint8_t fill : {0x00, 0xFF}) {
        const int calls = g_now.handler_calls;
        const int result = dispatch_over(fill, area, n);
        FUZZ_CHECK(g_now.handler_calls - calls == (unregistered ? 0 : 1), "id 0x%02X: %d handler calls", g_now.id,
                   g_now.handler_calls - calls);
        FUZZ_CHECK(result == (unregistered ? -1 : 0), "id 0x%02X: result %d", g_now.id, result);
    }
    if (!unregistered) {
        const auto *a = reinterpret_cast<const uint8_t *>(&g_now.seen[0]);
        const auto *b = reinterpret_cast<const uint8_t *>(&g_now.seen[1]);
        for (std::size_t i = 0; i < sizeof(PACKET_MSG); ++i)
            FUZZ_CHECK(a[i] == b[i], "id 0x%02X L %u: byte %zu of PACKET_MSG depends on uninitialised memory",
                       g_now.id, g_now.length, i);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The library prints a line for every undecoded id and every run of
    // garbage; none of it is checked here.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    for (int id = 0; id < 255; ++id) g_table[static_cast<std::size_t>(id)] = {static_cast<MCU_MSG_ID>(id), check_packet};
    g_table[255] = {MCU_MSG_MAX_ID, nullptr};
    // The entry point keeps the table even when no agent server answers.
    // With one, its worker threads would dispatch its frames through these
    // handlers at the same time as the fuzzer.
    FUZZ_CHECK(McuAgent_client_init(g_table.data()) == nullptr,
               "an agent server listens on the library's socket path; run the fuzzer with a private /tmp");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < kHeader) return 0;
    Rng rng(data[0]);
    const uint8_t *stream = data + kHeader;
    const std::size_t n = size - kHeader;
    const std::vector<StreamFrame> expected = read_frames(stream, n);

    RECEIVE_BUFFER_MSG ring{};
    FUZZ_CHECK(socket_receive_buffer_msg_init(&ring) == 0, "ring init failed");
    ring.fill_offset = ring.handle_offset = (data[1] << 8 | data[2]) % RECEIVE_BUFFER_MSG_SIZE;

    std::size_t delivered = 0;
    std::size_t pushed = 0;
    while (pushed < n) {
        if (ring_room(ring) == 0) {
            while (pop_and_dispatch(ring, stream, expected, delivered)) {
            }
            FUZZ_CHECK(ring_room(ring) > 0, "a full ring gives no room: reception would stop");
        }
        // A read: never more than the ring has room for; a few bytes, up to
        // 256, up to the whole ring, or all the room there is.
        const uint32_t pick = rng.below(8);
        std::size_t chunk = pick < 3   ? 1 + rng.below(7)
                            : pick < 6 ? 1 + rng.below(256)
                            : pick < 7 ? 1 + rng.below(RECEIVE_BUFFER_MSG_SIZE)
                                       : RECEIVE_BUFFER_MSG_SIZE;
        chunk = std::min({chunk, n - pushed, static_cast<std::size_t>(ring_room(ring))});
        socket_receive_buffer_msg_lock(&ring);
        const int pushed_rc =
            socket_receive_buffer_msg_push(&ring, const_cast<uint8_t *>(stream + pushed), static_cast<int>(chunk));
        socket_receive_buffer_msg_unlock(&ring);
        FUZZ_CHECK(pushed_rc == 0, "push of %zu bytes into %d free refused", chunk, ring_room(ring));
        pushed += chunk;
        // The packet-handle thread keeps up, lags a few frames behind, or
        // does not run at all before the next read.
        uint32_t pops = rng.below(4);
        if (pops == 3) pops = ~0u;
        while (pops-- > 0 && pop_and_dispatch(ring, stream, expected, delivered)) {
        }
    }
    while (pop_and_dispatch(ring, stream, expected, delivered)) {
    }
    FUZZ_CHECK(delivered == expected.size(), "%zu of %zu frames delivered", delivered, expected.size());
    FUZZ_CHECK(ring_stored(ring) <= kLongestPartialFrame, "%d bytes left after the last frame", ring_stored(ring));

    socket_receive_buffer_msg_free(&ring);
    pthread_mutex_destroy(&ring.buffer_mutex);
    return 0;
}
