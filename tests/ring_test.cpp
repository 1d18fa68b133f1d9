// The receive ring: push limits and wrap-around, frame cutting at every
// position, and resynchronisation after bytes that do not begin a frame.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "agent_server.h"
#include "client.h"
#include "delivery.h"

using mcu_agent_test::Bytes;
using mcu_agent_test::capture_stdout;
using mcu_agent_test::inbound_frame;

namespace {

class RingTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socket_receive_buffer_msg_init(&ring_), 0); }
    void TearDown() override {
        if (ring_.buffer) socket_receive_buffer_msg_free(&ring_);
    }

    int push(Bytes bytes) { return socket_receive_buffer_msg_push(&ring_, bytes.data(), static_cast<int>(bytes.size())); }

    // Pops one frame; returns the popped bytes (empty when pop returned -1).
    Bytes pop(int *result = nullptr) {
        std::array<char, 260> area;
        area.fill(0x5A);
        const int n = socket_receive_buffer_msg_pop(&ring_, area.data());
        if (result) *result = n;
        if (n < 0) return {};
        return Bytes(area.begin(), area.begin() + n);
    }

    // Starts the ring empty at an arbitrary position.
    void place_at(int offset) {
        ring_.fill_offset = offset;
        ring_.handle_offset = offset;
        ring_.is_full_flag = 0;
    }

    int stored() const {
        if (ring_.fill_offset == ring_.handle_offset) return ring_.is_full_flag ? ring_.size : 0;
        int d = ring_.fill_offset - ring_.handle_offset;
        return d < 0 ? d + ring_.size : d;
    }

    RECEIVE_BUFFER_MSG ring_{};
};

Bytes payload_of(int length, uint8_t seed = 1) {
    Bytes p(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i) p[static_cast<std::size_t>(i)] = static_cast<uint8_t>(seed + i);
    return p;
}

// id, length byte, payload: what pop hands out.
Bytes popped(uint8_t id, const Bytes &payload) {
    Bytes b = {id, static_cast<uint8_t>(payload.size())};
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

TEST_F(RingTest, FreshRingPopsNothingAndLeavesTheAreaUntouched) {
    std::array<char, 260> area;
    area.fill(0x5A);
    EXPECT_EQ(socket_receive_buffer_msg_pop(&ring_, area.data()), -1);
    for (char c : area) ASSERT_EQ(c, 0x5A);
    EXPECT_EQ(ring_.size, 2048);
}

TEST_F(RingTest, FullRingRefusesFurtherBytes) {
    EXPECT_EQ(push(Bytes(2048, 0)), 0);
    EXPECT_EQ(ring_.is_full_flag, 1);
    EXPECT_EQ(ring_.fill_offset, 0);
    std::string out = capture_stdout([&] { EXPECT_EQ(push(Bytes(1, 0)), -1); });
    EXPECT_EQ(out, "socket_receive_buffer_msg_push : fill size 1 > free size[0].\n");
    EXPECT_EQ(stored(), 2048);
}

TEST_F(RingTest, ChunkLargerThanTheRingIsRefusedWhateverItHolds) {
    for (int held : {0, 100}) {
        ASSERT_EQ(push(Bytes(static_cast<std::size_t>(held), 0xAB)), 0);
        std::string out = capture_stdout([&] { EXPECT_EQ(push(Bytes(2049, 0)), -1); });
        EXPECT_EQ(out, "socket_receive_buffer_msg_push : fill size 2049 > max size[2048].\n");
        EXPECT_EQ(stored(), held);
    }
}

TEST_F(RingTest, RefusedPushReportsTheFreeSpace) {
    place_at(300);
    ring_.handle_offset = 100;  // read 100, write 300: 1848 bytes free
    std::string out = capture_stdout([&] { EXPECT_EQ(push(Bytes(1849, 0)), -1); });
    EXPECT_EQ(out, "socket_receive_buffer_msg_push : fill size 1849 > free size[1848].\n");
    EXPECT_EQ(push(Bytes(1848, 0)), 0);
    EXPECT_EQ(ring_.is_full_flag, 1);
}

TEST_F(RingTest, EmptyPushChangesNothing) {
    place_at(77);
    EXPECT_EQ(socket_receive_buffer_msg_push(&ring_, nullptr, 0), 0);
    EXPECT_EQ(ring_.fill_offset, 77);
    EXPECT_EQ(ring_.is_full_flag, 0);
}

TEST_F(RingTest, PushesWrapAtTheEndOfTheStorage) {
    struct Case {
        int start, count, expected_fill;
    };
    for (const Case c : {Case{1948, 100, 0}, Case{2000, 100, 52}, Case{0, 2047, 2047}, Case{2047, 1, 0}}) {
        SCOPED_TRACE(c.start);
        place_at(c.start);
        Bytes data = payload_of(c.count);
        ASSERT_EQ(push(data), 0);
        EXPECT_EQ(ring_.fill_offset, c.expected_fill);
        for (int i = 0; i < c.count; ++i)
            ASSERT_EQ(ring_.buffer[(c.start + i) % 2048], data[static_cast<std::size_t>(i)]);
    }
}

TEST_F(RingTest, FramesPopWholeFromEveryPositionOfTheStorage) {
    // Each payload length at read positions that put the lead bytes, the
    // id, the length byte and the payload across the end of the storage.
    for (int length : {0, 1, 10, 255}) {
        for (int start : {0, 2040, 2042, 2043, 2044, 2045, 2046, 2047}) {
            SCOPED_TRACE(testing::Message() << "L=" << length << " start=" << start);
            place_at(start);
            Bytes payload = payload_of(length, static_cast<uint8_t>(start));
            ASSERT_EQ(push(inbound_frame(0x42, payload)), 0);
            int n = 0;
            EXPECT_EQ(pop(&n), popped(0x42, payload));
            EXPECT_EQ(n, length + 2);
            EXPECT_EQ(ring_.handle_offset, (start + length + 7) % 2048);
            EXPECT_EQ(stored(), 0);
        }
    }
}

TEST_F(RingTest, SecondLeadByteIsReadAcrossTheWrap) {
    place_at(2047);
    ASSERT_EQ(push(inbound_frame(0x21, {0x07})), 0);
    EXPECT_EQ(ring_.buffer[0], 0xBA);
    EXPECT_EQ(ring_.buffer[3], 0x21);
    EXPECT_EQ(pop(), popped(0x21, {0x07}));
}

TEST_F(RingTest, IncompleteFrameWaitsUntilItsLastByteArrives) {
    const Bytes frame = inbound_frame(0x13, payload_of(10));
    for (std::size_t cut : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{6}, std::size_t{16}}) {
        SCOPED_TRACE(cut);
        place_at(500);
        ASSERT_EQ(push(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut))), 0);
        int n = 0;
        std::string out = capture_stdout([&] { pop(&n); });
        EXPECT_EQ(n, -1);
        EXPECT_EQ(out, "");
        EXPECT_EQ(ring_.handle_offset, 500);  // nothing consumed
        ASSERT_EQ(push(Bytes(frame.begin() + static_cast<std::ptrdiff_t>(cut), frame.end())), 0);
        EXPECT_EQ(pop(), popped(0x13, payload_of(10)));
    }
}

TEST_F(RingTest, TwoFramesInOneChunkPopInOrderAndEmptyTheRing) {
    Bytes chunk = inbound_frame(0x04, {0x12});
    Bytes second = inbound_frame(0x05, {0x00, 0x01, 0x02});
    chunk.insert(chunk.end(), second.begin(), second.end());
    ASSERT_EQ(push(chunk), 0);
    EXPECT_EQ(pop(), popped(0x04, {0x12}));
    EXPECT_EQ(pop(), popped(0x05, {0x00, 0x01, 0x02}));
    EXPECT_EQ(stored(), 0);
    EXPECT_EQ(ring_.is_full_flag, 0);
}

TEST_F(RingTest, PopOfAFullRingClearsTheFullFlag) {
    // Seven 255-byte frames and the start of an eighth fill the ring.
    Bytes all;
    for (int i = 0; i < 8; ++i) {
        Bytes f = inbound_frame(static_cast<uint8_t>(i), payload_of(255));
        all.insert(all.end(), f.begin(), f.end());
    }
    all.resize(2048);
    ASSERT_EQ(push(all), 0);
    ASSERT_EQ(ring_.is_full_flag, 1);
    EXPECT_EQ(pop(), popped(0, payload_of(255)));
    EXPECT_EQ(ring_.is_full_flag, 0);
    EXPECT_EQ(stored(), 2048 - 262);
}

// Bytes that do not begin a frame are reported once and skipped up to the
// next lead-byte pair; the frames after them are delivered.
TEST_F(RingTest, GarbageIsSkippedUpToTheNextFrame) {
    struct Case {
        const char *name;
        Bytes garbage;
        const char *line;
    };
    const char *high = "socket_receive_buffer_msg_pop: packet head high check error .\n";
    const char *low = "socket_receive_buffer_msg_pop: packet head low check error .\n";
    const Case cases[] = {
        {"zero byte", {0x00}, high},
        {"lone first lead byte", {0xAB, 0x00}, low},
        {"first lead byte twice", {0xAB, 0xAB, 0x01}, low},
        {"reversed lead bytes", {0xBA, 0xAB, 0x00, 0x00}, high},
        {"long run", Bytes(600, 0x55), high},
        {"lead byte then garbage then lead byte", {0x11, 0xAB, 0x22, 0xAB}, high},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        place_at(1900);  // let the run cross the end of the storage
        Bytes chunk = c.garbage;
        Bytes frame = inbound_frame(0x21, {0x09});
        chunk.insert(chunk.end(), frame.begin(), frame.end());
        ASSERT_EQ(push(chunk), 0);
        Bytes got;
        std::string out = capture_stdout([&] { got = pop(); });
        EXPECT_EQ(out, c.line);
        EXPECT_EQ(got, popped(0x21, {0x09}));
        EXPECT_EQ(stored(), 0);
    }
}

TEST_F(RingTest, GarbageArrivingInPiecesIsReportedOnce) {
    std::string out = capture_stdout([&] {
        for (int i = 0; i < 10; ++i) {
            ASSERT_EQ(push(Bytes(100, 0x33)), 0);
            EXPECT_TRUE(pop().empty());
        }
        ASSERT_EQ(push(inbound_frame(0x27, {0x01})), 0);
        EXPECT_EQ(pop(), popped(0x27, {0x01}));
        // A new run after a good frame is reported again.
        ASSERT_EQ(push(Bytes{0x00}), 0);
        ASSERT_EQ(push(inbound_frame(0x27, {0x00})), 0);
        EXPECT_EQ(pop(), popped(0x27, {0x00}));
    });
    EXPECT_EQ(out,
              "socket_receive_buffer_msg_pop: packet head high check error .\n"
              "socket_receive_buffer_msg_pop: packet head high check error .\n");
}

TEST_F(RingTest, FreeReleasesOnceAndLaterUseIsReported) {
    EXPECT_EQ(socket_receive_buffer_msg_free(&ring_), 0);
    std::string out = capture_stdout([&] {
        EXPECT_EQ(socket_receive_buffer_msg_free(&ring_), 1);
        EXPECT_EQ(push(Bytes{1}), -1);
    });
    EXPECT_EQ(out,
              "socket_receive_buffer_msg_free : free failed.\n"
              "socket_receive_buffer_msg_push : buffer is NULL.\n");
}

TEST_F(RingTest, LockAndUnlockGuardTheRing) {
    EXPECT_EQ(socket_receive_buffer_msg_lock(&ring_), 0);
    EXPECT_EQ(pthread_mutex_trylock(&ring_.buffer_mutex), EBUSY);
    EXPECT_EQ(socket_receive_buffer_msg_unlock(&ring_), 0);
    EXPECT_EQ(pthread_mutex_trylock(&ring_.buffer_mutex), 0);
    pthread_mutex_unlock(&ring_.buffer_mutex);
}

}  // namespace
