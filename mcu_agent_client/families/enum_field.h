// enum_field.h - stores a payload byte in an enumerated record field.
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

}  // namespace mcu_agent

#endif  // MCU_AGENT_ENUM_FIELD_H
