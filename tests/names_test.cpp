// Names for applications: message and command names by id, and a decoded
// message as one line (McuAgent_format_msg), including how the line is cut
// to the caller's buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "delivery.h"
#include "mcu_agent_api.h"

using mcu_agent_test::capture_stdout;
using mcu_agent_test::dispatch_frame;

namespace {

struct NameRow {
    int id;
    const char *message;  // nullptr: no message of that id
    const char *command;  // nullptr: no command of that id
};

void PrintTo(const NameRow &row, std::ostream *out) { *out << "id " << row.id; }

class Names : public testing::TestWithParam<NameRow> {};

TEST_P(Names, OfMessagesAndCommands) {
    const NameRow &row = GetParam();
    const char *message = McuAgent_msg_name(row.id);
    const char *command = McuAgent_cmd_name(row.id);
    EXPECT_STREQ(message, row.message);
    EXPECT_STREQ(command, row.command);
}

INSTANTIATE_TEST_SUITE_P(
    Ids, Names,
    testing::Values(NameRow{0x13, "MCU_MSG_RET_RTC_CLOCK_INFO", "MCU_CMD_GET_RTC_CLOCK"},
                    NameRow{0x00, nullptr, "MCU_CMD_HMI_STARTUP"},
                    NameRow{0x12, nullptr, "MCU_CMD_SET_RTC_CLOCK"},
                    NameRow{0xFC, "MCU_MSG_RET_IT_COMMANDER_INFO", nullptr},
                    NameRow{0xFE, "MCU_MSG_RET_AUTOTEST_DATA_INFO", nullptr},  // MCU_CMD_MAX_ID is no command
                    NameRow{0xFF, nullptr, nullptr}, NameRow{-1, nullptr, nullptr}, NameRow{0x113, nullptr, nullptr}),
    [](const testing::TestParamInfo<NameRow> &info) {
        return info.param.id < 0 ? std::string("minus_1") : "id_" + std::to_string(info.param.id);
    });

class FormatMsg : public testing::Test {
protected:
    static void SetUpTestSuite() {
        capture_stdout([] { McuAgent_client_init(mcu_agent_test::record_every_id()); });
    }
    static PACKET_MSG decoded(uint8_t id, const std::vector<uint8_t> &payload) {
        PACKET_MSG packet;
        std::memset(&packet, 0, sizeof packet);
        capture_stdout([&] { dispatch_frame(id, payload, &packet); });
        return packet;
    }
};

constexpr char kClockLine[] =
    "MCU_MSG_RET_RTC_CLOCK_INFO(0x13) rtc_mode=RTC_MODE_24HOURS hours=23 minutes=59 seconds=0 year=2024 month=12 "
    "date=31";

TEST_F(FormatMsg, WritesTheRecordByFieldNamesAndReturnsTheLength) {
    const PACKET_MSG clock = decoded(0x13, {0x01, 0x17, 0x3B, 0x00, 0x07, 0xE8, 0x0C, 0x1F});
    char line[200];
    EXPECT_EQ(McuAgent_format_msg(&clock, line, sizeof line), static_cast<int>(std::strlen(kClockLine)));
    EXPECT_STREQ(line, kClockLine);
}

// snprintf's contract: at most size bytes with the terminator, the whole
// length returned; nothing written for size 0.
TEST_F(FormatMsg, CutsTheLineToTheBufferLikeSnprintf) {
    const PACKET_MSG clock = decoded(0x13, {0x01, 0x17, 0x3B, 0x00, 0x07, 0xE8, 0x0C, 0x1F});
    const int whole = static_cast<int>(std::strlen(kClockLine));
    char small[11];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(McuAgent_format_msg(&clock, small, 10), whole);
    EXPECT_STREQ(small, "MCU_MSG_R");
    EXPECT_EQ(small[10], 'x');
    char untouched = 'x';
    EXPECT_EQ(McuAgent_format_msg(&clock, &untouched, 0), whole);
    EXPECT_EQ(untouched, 'x');
    EXPECT_EQ(McuAgent_format_msg(&clock, nullptr, 0), whole);
    EXPECT_EQ(McuAgent_format_msg(nullptr, small, sizeof small), -1);
}

TEST_F(FormatMsg, AnIdWithoutANameShowsItsBytes) {
    const PACKET_MSG raw = decoded(0x02, {0x01, 0xAB});
    char line[64];
    EXPECT_EQ(McuAgent_format_msg(&raw, line, sizeof line), 25);
    EXPECT_STREQ(line, "unknown message 0x02 01AB");
}

}  // namespace
