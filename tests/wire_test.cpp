// The wire module's frame search and request check, row by row.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace wire = mcu_agent::wire;

struct SearchRow {
    const char *name;
    Bytes bytes;
    std::size_t next;  // where an agent's frame may begin
};

void PrintTo(const SearchRow &row, std::ostream *out) { *out << row.name; }

class FindNextFrame : public testing::TestWithParam<SearchRow> {};

TEST_P(FindNextFrame, SkipsWhatBeginsNoFrame) {
    const SearchRow &row = GetParam();
    EXPECT_EQ(wire::find_next_frame(row.bytes.data(), row.bytes.size(), wire::kInboundLead0, wire::kInboundLead1),
              row.next);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FindNextFrame,
    testing::Values(SearchRow{"empty", {}, 0}, SearchRow{"frame_first", {0xAB, 0xBA, 0x00, 0x00, 0x04, 0x00, 0x04}, 0},
                    SearchRow{"garbage_then_frame", {0x11, 0xAB, 0x22, 0xAB, 0xBA, 0x00}, 3},
                    SearchRow{"request_lead_is_garbage", {0xBA, 0xAB, 0x00}, 3},
                    SearchRow{"last_byte_may_begin_a_frame", {0x11, 0x22, 0xAB}, 2},
                    SearchRow{"lone_first_lead_byte", {0xAB}, 0}, SearchRow{"nothing", {0x11, 0xBA}, 2}),
    [](const testing::TestParamInfo<SearchRow> &info) { return std::string(info.param.name); });

struct RequestRow {
    const char *name;
    Bytes bytes;
    bool whole;
};

void PrintTo(const RequestRow &row, std::ostream *out) { *out << row.name; }

class IsRequestFrame : public testing::TestWithParam<RequestRow> {};

TEST_P(IsRequestFrame, NeedsLeadBytesLengthAndChecksum) {
    const RequestRow &row = GetParam();
    EXPECT_EQ(wire::is_request_frame(row.bytes.data(), row.bytes.size()), row.whole);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, IsRequestFrame,
    testing::Values(RequestRow{"empty_payload", {0xBA, 0xAB, 0x00, 0x00, 0x21, 0x00, 0x21}, true},
                    RequestRow{"clock", {0xBA, 0xAB, 0x00, 0x00, 0x12, 0x03, 0x01, 0x02, 0x03, 0x11}, true},
                    RequestRow{"wrong_checksum", {0xBA, 0xAB, 0x00, 0x00, 0x21, 0x00, 0x20}, false},
                    RequestRow{"agent_lead_bytes", {0xAB, 0xBA, 0x00, 0x00, 0x21, 0x00, 0x21}, false},
                    RequestRow{"unused_bytes_set", {0xBA, 0xAB, 0x01, 0x00, 0x21, 0x00, 0x21}, false},
                    RequestRow{"length_byte_too_long", {0xBA, 0xAB, 0x00, 0x00, 0x21, 0x01, 0x21}, false},
                    RequestRow{"short", {0xBA, 0xAB, 0x00, 0x00, 0x21, 0x00}, false}),
    [](const testing::TestParamInfo<RequestRow> &info) { return std::string(info.param.name); });

}  // namespace
