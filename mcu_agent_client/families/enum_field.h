// enum_field.h - enumerated record fields and arguments as the integers they hold.
#ifndef MCU_AGENT_ENUM_FIELD_H
#define MCU_AGENT_ENUM_FIELD_H

#include <cstdint>
#include <cstring>

namespace mcu_agent {

// An enumerated field of a decoded record holds the payload byte as a
// 32-bit integer, whatever its value.  Most bytes are not members of the
// field's enumeration, and in C++ a cast to such an enumeration is only
// defined for values within its range, so the integer's bytes are copied
// into the field instead.  Read the byte, not the field, to branch on it.
template <typename Enum>
inline void set_enum_field(Enum &field, uint32_t value) {
    static_assert(sizeof(Enum) == sizeof(uint32_t), "enumerations are 32 bits in records");
    const uint32_t wide = value;
    std::memcpy(&field, &wide, sizeof wide);
}

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
