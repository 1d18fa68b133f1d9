// Outbound frames as the agent server receives them: head, checksum,
// payload shapes, and the results of sends with and without a connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent_server.h"
#include "client.h"
#include "delivery.h"
#include "internal.h"

using mcu_agent_test::AgentServer;
using mcu_agent_test::Bytes;
using mcu_agent_test::capture_stdout;

namespace {

class FrameTest : public testing::Test {
protected:
    void SetUp() override {
        capture_stdout([] { ASSERT_NE(McuAgent_client_init(mcu_agent_test::record_every_id()), nullptr); });
        ASSERT_TRUE(server_.accept_client());
    }
    AgentServer server_;
};

TEST_F(FrameTest, FramesCarryHeadPayloadAndChecksum) {
    struct Case {
        const char *name;
        uint8_t id;
        Bytes payload;
        bool null_data;
        Bytes wire;
    };
    const Case cases[] = {
        {"no payload", 0x00, {}, true, {0xBA, 0xAB, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"no payload, id in checksum", 0x21, {}, true, {0xBA, 0xAB, 0x00, 0x00, 0x21, 0x00, 0x21}},
        {"pointer with length 0", 0x21, {}, false, {0xBA, 0xAB, 0x00, 0x00, 0x21, 0x00, 0x21}},
        {"three bytes", 0x12, {0x01, 0x02, 0x03}, false,
         {0xBA, 0xAB, 0x00, 0x00, 0x12, 0x03, 0x01, 0x02, 0x03, 0x11}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        static const uint8_t dummy = 0x77;
        const uint8_t *data = c.null_data ? nullptr : (c.payload.empty() ? &dummy : c.payload.data());
        EXPECT_EQ(mcu_agent::packet_fill_send(c.id, data, static_cast<uint8_t>(c.payload.size())),
                  static_cast<int>(c.wire.size()));
        EXPECT_EQ(server_.read_frame(), c.wire);
    }
}

TEST_F(FrameTest, LargestPayloadLeavesAsOneFrameOf262Bytes) {
    Bytes payload(255);
    for (int i = 0; i < 255; ++i) payload[static_cast<std::size_t>(i)] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(mcu_agent::packet_fill_send(0xFD, payload.data(), 255), 262);
    auto frame = server_.read_frame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, mcu_agent_test::outbound_frame(0xFD, payload));
    EXPECT_TRUE(server_.nothing_arrives(50));
}

TEST_F(FrameTest, CommandIdTravelsAsItsLowByte) {
    EXPECT_EQ(mcu_agent::packet_fill_send(0x1FE, nullptr, 0), 7);
    EXPECT_EQ(server_.read_frame(), (Bytes{0xBA, 0xAB, 0x00, 0x00, 0xFE, 0x00, 0xFE}));
}

TEST(FrameWithoutConnection, SendBeforeAnyConnectionReturnsMinusOne) {
    EXPECT_EQ(mcu_agent::packet_fill_send(0x00, nullptr, 0), -1);
    char byte = 0;
    EXPECT_EQ(socket_send(&byte, 1), -1);
}

}  // namespace
