// The decode-and-dispatch step: the raw rule, the handler lookup over the
// registration table, the lines it prints and its result.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "agent_server.h"  // gives this process its own agent socket path
#include "delivery.h"
#include "mcu_agent_api.h"

using mcu_agent_test::capture_stdout;
using mcu_agent_test::dispatch_frame;

namespace {

const std::string kError(uint8_t id) {
    char line[80];
    std::snprintf(line, sizeof line, "McuAgent_receive_packet_handle : MCU_MSG_ID[0x%02X] ERROR.\n", id);
    return line;
}

const std::string kNoHandler(uint8_t id) {
    char line[80];
    std::snprintf(line, sizeof line, "McuAgent_receive_packet_handle : MCU_MSG_ID[0x%02X] no registration handle.\n", id);
    return line;
}

// Handlers that count their calls and keep the packet they saw.
std::array<int, 4> g_calls;
PACKET_MSG g_seen;
MCU_MSG_HANDLE_REGISTER *g_retire_row = nullptr;

template <int N>
void counting_handler(PACKET_MSG *packet) {
    ++g_calls[N];
    g_seen = *packet;
    if (g_retire_row) g_retire_row->mcu_msg_id = MCU_MSG_MAX_ID;
}

class DispatchTest : public testing::Test {
protected:
    void SetUp() override {
        g_calls.fill(0);
        std::memset(&g_seen, 0, sizeof g_seen);
        g_retire_row = nullptr;
    }

    // Installs a registration table.  No agent server listens, so the
    // entry point reports failure but keeps the table, as documented.
    static void install(MCU_MSG_HANDLE_REGISTER *table) {
        capture_stdout([&] { EXPECT_EQ(McuAgent_client_init(table), nullptr); });
    }

    static int dispatch(uint8_t id, const std::vector<uint8_t> &payload, std::string *out) {
        int rc = 0;
        *out = capture_stdout([&] { rc = dispatch_frame(id, payload); });
        return rc;
    }
};

TEST_F(DispatchTest, UndecodedIdIsCopiedRawAndStillDispatched) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{static_cast<MCU_MSG_ID>(0x07), counting_handler<0>}, {MCU_MSG_MAX_ID, nullptr}};
    install(table);
    std::string out;
    EXPECT_EQ(dispatch(0x07, {0x11, 0x22}, &out), 0);
    EXPECT_EQ(out, kError(0x07));
    EXPECT_EQ(g_calls[0], 1);
    EXPECT_EQ(g_seen.mcu_msg_id, 0x07);
    EXPECT_EQ(g_seen.size, 2);
    EXPECT_EQ(g_seen.data[0], 0x11);
    EXPECT_EQ(g_seen.data[1], 0x22);
    for (std::size_t i = 2; i < sizeof g_seen.data; ++i) ASSERT_EQ(g_seen.data[i], 0) << i;
}

TEST_F(DispatchTest, UnregisteredIdPrintsBothLines) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{MCU_MSG_RET_HARD_KEY, counting_handler<0>}, {MCU_MSG_MAX_ID, nullptr}};
    install(table);
    std::string out;
    EXPECT_EQ(dispatch(0x07, {0x11, 0x22}, &out), -1);
    EXPECT_EQ(out, kError(0x07) + kNoHandler(0x07));
    EXPECT_EQ(g_calls[0], 0);
}

TEST_F(DispatchTest, IdOfTheEndRowNeverReachesAHandler) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{MCU_MSG_RET_HARD_KEY, counting_handler<0>}, {MCU_MSG_MAX_ID, counting_handler<1>}};
    install(table);
    std::string out;
    EXPECT_EQ(dispatch(0xFF, {0x01}, &out), -1);
    EXPECT_EQ(out, kError(0xFF) + kNoHandler(0xFF));
    EXPECT_EQ(g_calls[0] + g_calls[1], 0);
}

TEST_F(DispatchTest, IdZeroWithEmptyPayload) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{static_cast<MCU_MSG_ID>(0), counting_handler<0>}, {MCU_MSG_MAX_ID, nullptr}};
    install(table);
    std::string out;
    EXPECT_EQ(dispatch(0x00, {}, &out), 0);
    EXPECT_EQ(out, kError(0x00));
    EXPECT_EQ(g_calls[0], 1);
    EXPECT_EQ(g_seen.size, 0);
    for (uint8_t b : g_seen.data) ASSERT_EQ(b, 0);
}

TEST_F(DispatchTest, TableThatStartsWithTheEndRowHandlesNothing) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{MCU_MSG_MAX_ID, nullptr}, {MCU_MSG_RET_HARD_KEY, counting_handler<0>}};
    install(table);
    std::string out;
    EXPECT_EQ(dispatch(MCU_MSG_RET_HARD_KEY, {0x12}, &out), -1);
    EXPECT_EQ(out, kNoHandler(0x04));
    EXPECT_EQ(g_calls[0], 0);
}

TEST_F(DispatchTest, OnlyTheFirstOfTwoRowsWithTheSameIdIsCalled) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{static_cast<MCU_MSG_ID>(0x07), counting_handler<0>},
                                       {static_cast<MCU_MSG_ID>(0x07), counting_handler<1>},
                                       {MCU_MSG_MAX_ID, nullptr}};
    install(table);
    std::string out;
    EXPECT_EQ(dispatch(0x07, {}, &out), 0);
    EXPECT_EQ(g_calls[0], 1);
    EXPECT_EQ(g_calls[1], 0);
}

TEST_F(DispatchTest, HandlerThatRetiresItsRowCountsAsUnregistered) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{static_cast<MCU_MSG_ID>(0x07), counting_handler<0>}, {MCU_MSG_MAX_ID, nullptr}};
    install(table);
    g_retire_row = &table[0];
    std::string out;
    EXPECT_EQ(dispatch(0x07, {}, &out), -1);
    EXPECT_EQ(g_calls[0], 1);
    EXPECT_EQ(out, kError(0x07) + kNoHandler(0x07));
}

TEST_F(DispatchTest, EachFrameStartsFromAClearedRecord) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{static_cast<MCU_MSG_ID>(0x07), counting_handler<0>}, {MCU_MSG_MAX_ID, nullptr}};
    install(table);
    std::string out;
    dispatch(0x07, std::vector<uint8_t>(255, 0xFF), &out);
    dispatch(0x07, {0x01}, &out);
    EXPECT_EQ(g_seen.size, 1);
    EXPECT_EQ(g_seen.data[0], 0x01);
    for (std::size_t i = 1; i < sizeof g_seen.data; ++i) ASSERT_EQ(g_seen.data[i], 0) << i;
}

TEST_F(DispatchTest, NullMessageIsRefused) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{static_cast<MCU_MSG_ID>(0), counting_handler<0>}, {MCU_MSG_MAX_ID, nullptr}};
    install(table);
    int rc = 0;
    std::string out = capture_stdout([&] { rc = McuAgent_receive_packet_handle(3, nullptr, 2); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out, "McuAgent_receive_packet_handle : msg is null.\n");
    EXPECT_EQ(g_calls[0], 0);
}

TEST_F(DispatchTest, NullTableBehavesAsAnEmptyOne) {
    install(nullptr);
    std::string out;
    EXPECT_EQ(dispatch(0x07, {0x01}, &out), -1);
    EXPECT_EQ(out, kError(0x07) + kNoHandler(0x07));
}

TEST_F(DispatchTest, RowWithoutHandlerIsSkipped) {
    static MCU_MSG_HANDLE_REGISTER table[] = {{static_cast<MCU_MSG_ID>(0x07), nullptr},
                                       {static_cast<MCU_MSG_ID>(0x07), counting_handler<1>},
                                       {MCU_MSG_MAX_ID, nullptr}};
    install(table);
    std::string out;
    EXPECT_EQ(dispatch(0x07, {}, &out), 0);
    EXPECT_EQ(g_calls[1], 1);

    MCU_MSG_HANDLE_REGISTER lone[] = {{static_cast<MCU_MSG_ID>(0x07), nullptr}, {MCU_MSG_MAX_ID, nullptr}};
    install(lone);
    EXPECT_EQ(dispatch(0x07, {}, &out), -1);
    EXPECT_EQ(out, kError(0x07) + kNoHandler(0x07));
}

TEST_F(DispatchTest, LookupGivesUpAfter256RowsWithoutAnEndRow) {
    std::vector<MCU_MSG_HANDLE_REGISTER> table(300, {static_cast<MCU_MSG_ID>(0x01), counting_handler<0>});
    table[255] = {static_cast<MCU_MSG_ID>(0x07), counting_handler<1>};  // the last row scanned
    table[256] = {static_cast<MCU_MSG_ID>(0x0A), counting_handler<2>};  // beyond the bound
    install(table.data());
    std::string out;
    EXPECT_EQ(dispatch(0x07, {}, &out), 0);
    EXPECT_EQ(g_calls[1], 1);
    EXPECT_EQ(dispatch(0x0A, {}, &out), -1);
    EXPECT_EQ(g_calls[2], 0);
    EXPECT_EQ(out, kError(0x0A) + kNoHandler(0x0A));
}

TEST_F(DispatchTest, EntryWithoutServerFailsButTheTableStaysReachable) {
    std::string out = capture_stdout([] { EXPECT_EQ(McuAgent_client_init(mcu_agent_test::record_every_id()), nullptr); });
    EXPECT_EQ(out, "fail\n");
    MCU_AGENT_API *api = McuAgent_get_api_handle();
    ASSERT_NE(api, nullptr);
    EXPECT_EQ(api, McuAgent_get_api_handle());
}

TEST_F(DispatchTest, ApiTableHoldsNinetyEightFunctionsAndTwoEmptySlots) {
    const MCU_AGENT_API *api = McuAgent_get_api_handle();
    EXPECT_EQ(api->set_gps_clock, nullptr);
    EXPECT_EQ(api->get_gps_clock, nullptr);
    std::array<void (*)(void), 100> slots;
    std::memcpy(slots.data(), api, sizeof *api);
    int filled = 0;
    for (auto slot : slots) filled += slot != nullptr;
    EXPECT_EQ(filled, 98);
}

// Exactly the ids that have a name are decoded; every other id takes the
// raw copy and says so.
TEST_F(DispatchTest, ExactlyTheNamedMessageIdsAreDecoded) {
    install(mcu_agent_test::record_every_id());
    for (int id = 0; id < 256; ++id) {
        std::string out;
        dispatch(static_cast<uint8_t>(id), {0x01, 0x02}, &out);
        const bool took_raw_rule = out.find(kError(static_cast<uint8_t>(id))) != std::string::npos;
        EXPECT_EQ(took_raw_rule, McuAgent_msg_name(id) == nullptr) << "id " << id;
    }
}

}  // namespace
