// enum_field.h - enumerated arguments and record fields as the integers they hold.
#ifndef MCU_AGENT_ENUM_FIELD_H
#define MCU_AGENT_ENUM_FIELD_H

#include <cstdint>
#include <cstring>

namespace mcu_agent {

// The integer that an enumerated argument, or a field of a caller's
// record, holds.  A C caller may pass any int there (only its low 8 bits
// travel), and loading a value outside the enumeration's range as the
// enumeration is undefined in C++, so its bytes are read instead.
template <typename Enum>
inline uint32_t enum_value(const Enum &field) {
    static_assert(sizeof(Enum) == sizeof(uint32_t), "enumerations are 32 bits in records");
    uint32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

}  // namespace mcu_agent

#endif  // MCU_AGENT_ENUM_FIELD_H
