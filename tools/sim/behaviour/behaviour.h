// behaviour.h - what the virtual MCU's behaviour sources share: the
// order of the audio settings and small helpers.  The handlers themselves
// are members of VirtualMcu, one source per message family.
#ifndef MCU_SIM_BEHAVIOUR_H
#define MCU_SIM_BEHAVIOUR_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace mcu_sim {

// The audio settings' state keys in AUDIO_SETTING_TYPE_ID order, the order
// in which MCU_MSG_RET_AUDIO_SETTING_INFO carries them.
constexpr std::size_t kAudioSettings = 7;
extern const char *const kAudioSettingKeys[kAudioSettings];

// An enumeration member's name, or the number when it has none.
std::string enum_text(const char *enumeration, uint32_t value);
uint32_t clamp(int64_t value, uint32_t low, uint32_t high);

}  // namespace mcu_sim

#endif  // MCU_SIM_BEHAVIOUR_H
