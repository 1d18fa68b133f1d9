// behaviour.h - what the virtual MCU's behaviour sources share: the
// names they use, the order of the audio settings and small helpers.  The
// handlers themselves are members of VirtualMcu, one source per message
// family.  Only those sources include it.
#ifndef MCU_SIM_BEHAVIOUR_H
#define MCU_SIM_BEHAVIOUR_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <mcu_agent_api.h>

#include "description.h"
#include "virtual_mcu.h"
#include "words.h"

namespace mcu_sim {

using mcu_protocol::Bytes;
using mcu_protocol::Layout;
using mcu_protocol::number_of;
using mcu_protocol::number_value;
using mcu_protocol::Value;
using mcu_protocol::Values;

// The audio settings' state keys in AUDIO_SETTING_TYPE_ID order, the order
// in which MCU_MSG_RET_AUDIO_SETTING_INFO carries them.
constexpr std::size_t kAudioSettings = 7;
extern const char *const kAudioSettingKeys[kAudioSettings];

// An enumeration member's name, or the number when it has none.
std::string enum_text(const char *enumeration, uint32_t value);
uint32_t clamp(int64_t value, uint32_t low, uint32_t high);

}  // namespace mcu_sim

#endif  // MCU_SIM_BEHAVIOUR_H
