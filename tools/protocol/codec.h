// codec.h - reads and writes payloads through the description: a payload
// becomes named values and named values become a payload, field by field,
// and the record the library's decoder makes of a payload is computed from
// the same fields.
#ifndef MCU_PROTOCOL_CODEC_H
#define MCU_PROTOCOL_CODEC_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "description.h"

namespace mcu_protocol {

// The value of one field: a Number, Length or NotFilled field holds
// `number`, a Numbers field `numbers`, a Bytes or Text field `bytes`.
struct Value {
    std::string name;
    uint32_t number = 0;
    std::vector<uint32_t> numbers;
    std::vector<uint8_t> bytes;
};
using Values = std::vector<Value>;

Value number_value(const std::string &name, uint32_t number);
Value numbers_value(const std::string &name, std::vector<uint32_t> numbers);
Value bytes_value(const std::string &name, std::vector<uint8_t> bytes);

const Value *find_value(const Values &values, const std::string &name);
// The number of the value named `name`, or `otherwise` when there is none.
uint32_t number_of(const Values &values, const std::string &name, uint32_t otherwise = 0);
// Sets (or adds) a value.
void put(Values &values, Value value);

const Field *find_field(const Layout &layout, const std::string &name);

// The layout a payload of `length` bytes has: the first whose selector
// matches.  Null when none does.
const Layout *select_layout(Span<Layout> layouts, const uint8_t *payload, std::size_t length);

// Reads every field of the layout, in order (values[i] is fields[i]).
// Positions at or past `length` read as zero, as they do in the library.
Values decode(const Layout &layout, const uint8_t *payload, std::size_t length);

// Empty when `length` is the payload length that the layout and the
// decoded values call for; otherwise says what it should have been.
std::string check_length(const Layout &layout, const Values &values, std::size_t length);

// The first layout that takes every given value; null (and `error` set)
// when none does.
const Layout *choose_layout(Span<Layout> layouts, const Values &values, std::string *error);

// Writes the given values into a payload.  Fields without a value stay
// zero, except the byte a layout selector names, which gets the selector's
// value.  Counts of counted runs are filled in from the runs.  False (and
// `error` set) when a value does not fit its field or names no field.
bool encode(const Layout &layout, const Values &values, std::vector<uint8_t> *payload, std::string *error);

// The values of `given` and, for each field of `layout` left out, its
// neutral value (a key released).  A Number field left out that has none,
// or a fixed run left out, is put in `missing`: zero there would be a
// value of its own (a key held down, a temperature of 0).  Fields that fill
// themselves are never missing: the selector's byte, the count of a run,
// a run of any length, the length byte and NotFilled.
Values with_neutral_values(const Layout &layout, const Values &given, std::vector<const Field *> *missing);

// Picks the layout and encodes; the result is checked to read back
// through the same layout.
bool encode_any(Span<Layout> layouts, const Values &values, std::vector<uint8_t> *payload, std::string *error);

// PACKET_MSG.data and PACKET_MSG.size as the library's decoder makes them
// of a payload that decoded to `values` (of a payload `length` bytes long): every field at
// its record offset in native (little-endian) order, counts and values cut
// to their limits, every other byte zero.
using RecordImage = std::array<uint8_t, 256>;
RecordImage record_image(const Layout &layout, const Values &values);
unsigned packet_size(const Layout &layout, std::size_t length);

}  // namespace mcu_protocol

#endif  // MCU_PROTOCOL_CODEC_H
