// family_test_tables.h - the tables that the message family tests are
// written as: request rows (one call made through the exported function
// and through its API slot, the frame it must write) and decoding rows
// (message id, payload, the record a handler must find).
#ifndef MCU_AGENT_TEST_FAMILY_TEST_TABLES_H
#define MCU_AGENT_TEST_FAMILY_TEST_TABLES_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "agent_server.h"
#include "delivery.h"
#include "mcu_agent_api.h"

namespace mcu_agent_test {

inline std::string hex(const Bytes &bytes) {
    std::string out;
    char byte[4];
    for (uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02X ", b);
        out += byte;
    }
    return out;
}

// A pointer to a record argument built in the call expression; the record
// lives until the call returns.
template <typename Record>
Record *ptr(Record &&record) {
    return &record;
}

// Stores any value in an enumerated record field; most bytes that a frame
// carries are no member of the field's enumeration.
template <typename Enum>
void set_raw(Enum &field, uint32_t value) {
    static_assert(sizeof(Enum) == sizeof value, "enumerations are 32 bits in records");
    std::memcpy(&field, &value, sizeof value);
}

// Bytes first, first + 1, ... (wrapping): a payload whose every position
// is recognisable.
inline Bytes counting(std::size_t n, uint8_t first = 1) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(first + i);
    return out;
}

inline Bytes concat(Bytes head, const Bytes &tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// One request call, made either way an application can make it.
struct Call {
    std::string name;
    std::function<int()> exported;
    std::function<int(const MCU_AGENT_API &)> slot;
};

// MCU_CALL(set_hard_key, (HARD_KEY_POWER)): McuAgent_set_hard_key(...) and
// api.set_hard_key(...) with the same arguments.
#define MCU_CALL(slot_name, args)                                       \
    mcu_agent_test::Call {                                              \
        #slot_name #args, [] { return McuAgent_##slot_name args; },     \
            [](const MCU_AGENT_API &api) { return api.slot_name args; } \
    }

struct RequestCase {
    Call call;
    Bytes frame;  // what the agent server must receive; the result is its size
};

struct RefusedCase {
    Call call;
    int result;        // nothing is sent
    std::string line;  // printed on standard output, "" for nothing
};

// A connected library and the agent server at the other end.  The library
// keeps one connection per process, so the suite connects once and its
// tests share that connection, whether ctest runs each test in a process
// of its own or the whole program runs at once.
class RequestTest : public ::testing::Test {
protected:
    static AgentServer &shared_server() {
        static AgentServer server;  // made on first use, never at program start
        return server;
    }

    static void SetUpTestSuite() {
        server_ = &shared_server();
        if (api_) return;
        api_ = McuAgent_client_init(record_every_id());
        if (api_ && !server_->accept_client()) api_ = nullptr;
    }

    void SetUp() override { ASSERT_NE(api_, nullptr) << "no connection to the test agent server"; }

    void expect_frames(const std::vector<RequestCase> &cases) {
        for (const RequestCase &c : cases) {
            SCOPED_TRACE(c.call.name);
            expect_frame(c.call.exported(), c.frame, "exported");
            expect_frame(c.call.slot(*api_), c.frame, "API slot");
        }
    }

    // A refused call sends nothing: the frame of the next request is the
    // first thing the server reads.
    void expect_refused(const std::vector<RefusedCase> &cases) {
        for (const RefusedCase &c : cases) {
            SCOPED_TRACE(c.call.name);
            for (bool through_slot : {false, true}) {
                SCOPED_TRACE(through_slot ? "API slot" : "exported");
                int result = 0;
                const std::string printed =
                    capture_stdout([&] { result = through_slot ? c.call.slot(*api_) : c.call.exported(); });
                EXPECT_EQ(result, c.result);
                EXPECT_EQ(printed, c.line);
                expect_frame(McuAgent_hmi_startup(), outbound_frame(0x00, {}), "next request");
            }
        }
    }

    static inline AgentServer *server_ = nullptr;
    static inline MCU_AGENT_API *api_ = nullptr;

private:
    void expect_frame(int result, const Bytes &frame, const char *route) {
        SCOPED_TRACE(route);
        EXPECT_EQ(result, static_cast<int>(frame.size()));
        const auto got = server_->read_frame();
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(hex(*got), hex(frame));
    }
};

// The record a handler must find at the start of PACKET_MSG.data, and how a
// handler copies it out.
struct Expected {
    Bytes image;
    std::function<Bytes(const PACKET_MSG &)> copy_out;
};

// A record of type Record, all zero but what `fill` sets; copied out with
// MCU_PACKET_GET_RECORD as an application does.
template <typename Record, typename Fill>
Expected record(Fill fill) {
    Record value;
    std::memset(&value, 0, sizeof value);  // padding too: it must read as zero
    fill(value);
    Bytes image(sizeof value);
    std::memcpy(image.data(), &value, sizeof value);
    return {image, [](const PACKET_MSG &packet) {
                Record copy;
                MCU_PACKET_GET_RECORD(&packet, copy);
                Bytes bytes(sizeof copy);
                std::memcpy(bytes.data(), &copy, sizeof copy);
                return bytes;
            }};
}

// Plain bytes at the start of data (a byte row, a raw copy).
inline Expected bytes(const Bytes &image) {
    return {image, [n = image.size()](const PACKET_MSG &packet) { return Bytes(packet.data, packet.data + n); }};
}

struct DecodeCase {
    std::string name;
    uint8_t id;
    Bytes payload;
    Expected expected;
};

// Dispatches each frame to the registration table of record_every_id()
// and checks: its own rule ran (no line printed, the raw rule prints one),
// the handler ran, id and size as in the frame (or `size`, for the rules
// that set their own), the record, and zero in every byte of data after it.
inline void expect_decoded(const std::vector<DecodeCase> &cases, int size = -1) {
    for (const DecodeCase &c : cases) {
        SCOPED_TRACE(c.name);
        PACKET_MSG packet;
        int result = -2;
        const std::string printed = capture_stdout([&] { result = dispatch_frame(c.id, c.payload, &packet); });
        EXPECT_EQ(printed, "");
        ASSERT_EQ(result, 0);
        EXPECT_EQ(static_cast<unsigned>(packet.mcu_msg_id), c.id);
        EXPECT_EQ(packet.size, size < 0 ? c.payload.size() : static_cast<std::size_t>(size));
        EXPECT_EQ(hex(c.expected.copy_out(packet)), hex(c.expected.image));
        const Bytes rest(packet.data + c.expected.image.size(), packet.data + sizeof packet.data);
        EXPECT_EQ(hex(rest), hex(Bytes(rest.size(), 0)));
    }
}

// A message whose rule keeps P0 alone: the byte, a short frame (zero) and
// a long one (extra bytes dropped).
inline std::vector<DecodeCase> byte_rule_cases(const std::string &name, uint8_t id) {
    return {
        {name + " P0", id, {0x5A}, bytes({0x5A})},
        {name + " empty", id, {}, bytes({0x00})},
        {name + " long", id, {0xA5, 0x11, 0x22, 0x33}, bytes({0xA5})},
    };
}

// Installs record_every_id() as the registration table.  No agent server
// is needed: without one the library prints "fail" but keeps the table,
// and dispatch_frame() calls the decode-and-dispatch step directly.
class DecodeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        capture_stdout([] { McuAgent_client_init(record_every_id()); });
    }
};

}  // namespace mcu_agent_test

#endif
