// value_check.h - whether a number may stand where it is written: in a
// payload field (its width or bit field, its enumeration) or in a state
// key (the field that carries it, and the key's documented range).  The
// console, scenarios, state files, the panel and the checks of the
// application's requests all ask this one function, so they refuse the
// same values with the same words.
#ifndef MCU_PROTOCOL_VALUE_CHECK_H
#define MCU_PROTOCOL_VALUE_CHECK_H

#include <cstdint>
#include <string>

#include "codec.h"
#include "description.h"

namespace mcu_protocol {

struct NumberRule {
    unsigned bits = 32;                        // the width: 0 to 2^bits - 1
    const Enumeration *enumeration = nullptr;  // a member of it, when set
    bool ranged = false;                       // a documented range inside the width
    uint32_t low = 0, high = 0;
    std::string where;  // what carries the value, said after the range; "" for the width

    uint32_t max() const { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1; }
    uint32_t lowest() const { return ranged ? low : 0; }
    uint32_t highest() const { return ranged ? high : max(); }
    // The allowed values in words: "0 to 40", "0 to 65535 (16 bits)",
    // "0 to 15 (blower_level of MCU_MSG_RET_HVAC_INFO)".
    std::string range_words() const;
};

// The rule of a Number field (or of each element of a Numbers field).
NumberRule rule_of(const Field &field);

// Empty when `value` may stand; otherwise why not, beginning with `name`:
//   "freq: 99999999 is out of range: 0 to 65535 (16 bits)"
//   "audio.volume: 41 is out of range: 0 to 40"
//   "band: 9 is not a member of RADIO_BAND_ID: RADIO_BAND_FM1 ..."
// The value is signed so that a negative number read from a file is
// reported as out of range like any other.
std::string check_number(const std::string &name, const NumberRule &rule, int64_t value);

// A value read for `field` (Number fields and each element of Numbers);
// empty when it may stand.  Without `members_only` an enumerated field
// takes any number its width holds.
std::string check_value(const Field &field, const Value &value, bool members_only = true);
// Each of `values`, for the field of that name in any of `layouts`.
std::string check_values(Span<Layout> layouts, const Values &values, bool members_only = true);

}  // namespace mcu_protocol

#endif  // MCU_PROTOCOL_VALUE_CHECK_H
