// description.h - the protocol description as the tools see it: the
// library's rows (protocol.h: ids, names, enumerations, payload fields and
// where the decoder puts them) and the frame constants (wire.h), plus
// lookups by name and enumeration names as text.
#ifndef MCU_PROTOCOL_DESCRIPTION_H
#define MCU_PROTOCOL_DESCRIPTION_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol.h"
#include "wire.h"

namespace mcu_protocol {

using namespace mcu_agent::protocol;
using mcu_agent::protocol::find_command;  // by id, beside the lookups by name below
using mcu_agent::protocol::find_message;

// By full name, or by the name without its MCU_CMD_ / MCU_MSG_ prefix.
const Command *find_command(const char *name);
const Message *find_message(const char *name);
const Enumeration *find_enumeration(const char *name);

// What a person types for an id: the full name, the name without its
// prefix, or 0xNN.  Null for anything else, with the one line every tool
// says then in `error`: "no message X (a name of MCU_MSG_ID, with or
// without MCU_MSG_, or 0xNN)".
const Command *command_named(const std::string &word, std::string *error);
const Message *message_named(const std::string &word, std::string *error);

// Enumeration lookups.  The name of a value that several members share
// (every HVAC_DIAG_KEY_ID release code) reads as the members' common
// pattern, for instance KEY_*_RELEASE.
// enum_name is empty for a value that no member has; enum_value reads the
// pattern too.
bool enum_value(const Enumeration &e, const char *name, uint32_t *value);
std::string enum_name(const Enumeration &e, uint32_t value);

// The frame constants of the wire module, as the tools have always read
// them: the outbound frame's lead bytes and the inbound frame's; the frame
// head is lead bytes, two unused bytes, id and length.
constexpr uint8_t kOutboundLead0 = mcu_agent::wire::kOutboundLead0;
constexpr uint8_t kOutboundLead1 = mcu_agent::wire::kOutboundLead1;
constexpr uint8_t kInboundLead0 = mcu_agent::wire::kInboundLead0;
constexpr uint8_t kInboundLead1 = mcu_agent::wire::kInboundLead1;
constexpr std::size_t kHeadSize = mcu_agent::wire::kHeadSize;
constexpr std::size_t kFrameOverhead = mcu_agent::wire::kFrameOverhead;  // head and the closing byte
constexpr std::size_t kMaxPayload = mcu_agent::wire::kMaxPayload;

}  // namespace mcu_protocol

#endif  // MCU_PROTOCOL_DESCRIPTION_H
