// record_extents.h - how much of PACKET_MSG.data each message id's decoded
// record may occupy, and what PACKET_MSG.size must read.  The fuzzers check
// every delivered packet against this table: the record lies inside its
// extent and every byte of `data` past the extent is zero.
//
// The sizes are those of the record types in the public header, so a
// change of a record changes the check with it.  The table says nothing
// about a record's contents; the family tests check those.  An id missing
// here is decoded by the raw rule (its payload copied, L bytes).
#ifndef MCU_AGENT_FUZZ_RECORD_EXTENTS_H
#define MCU_AGENT_FUZZ_RECORD_EXTENTS_H

#include <cstddef>
#include <cstdint>

#include "mcu_agent_api.h"

namespace mcu_agent_fuzz {

enum class Extent : uint8_t {
    Byte,          // data[0] alone
    Record,        // a fixed record of `record_size` bytes
    Raw,           // the payload, L bytes, unchanged
    SizePrefixed,  // data[0] = L, then the payload unchanged: 1 + L bytes
};

struct RecordExtent {
    uint8_t id;
    Extent extent;
    uint16_t record_size;  // Record only
    int16_t packet_size;   // PACKET_MSG.size: -1 for the length byte
};

constexpr RecordExtent byte_rule(uint8_t id) { return {id, Extent::Byte, 1, -1}; }
template <typename Record>
constexpr RecordExtent record_rule(uint8_t id, int16_t packet_size = -1) {
    return {id, Extent::Record, static_cast<uint16_t>(sizeof(Record)), packet_size};
}
constexpr RecordExtent raw_rule(uint8_t id) { return {id, Extent::Raw, 0, -1}; }
constexpr RecordExtent size_prefixed_rule(uint8_t id) { return {id, Extent::SizePrefixed, 0, -1}; }

// Every id that has a decoding rule of its own.
constexpr RecordExtent kRecordExtents[] = {
    // system, power, keys and clock
    record_rule<MB_VERSION_INFO>(MCU_MSG_RET_MB_VERSION),
    byte_rule(MCU_MSG_RET_HARD_KEY),
    record_rule<POWER_INFO>(MCU_MSG_RET_POWER_KEY),
    byte_rule(MCU_MSG_SET_ENGINEER_MODE),
    byte_rule(MCU_MSG_RET_POWEROFF_TIMER_DISP_STATUS),
    byte_rule(MCU_MSG_RET_SCREEN_SAVE_MODE),
    record_rule<ERR_COUNT_INFO>(MCU_MSG_RET_ALINE),
    byte_rule(MCU_MSG_GET_VERSION_INFO),
    record_rule<POWER_INFO>(MCU_MSG_RET_CUR_AUDIO_POWER_STATUS),
    record_rule<RTC_MSG>(MCU_MSG_RET_RTC_CLOCK_INFO),
    byte_rule(MCU_MSG_RET_BUTTON_LIGHT_PWM),
    record_rule<CLOCK_MSG>(MCU_MSG_RET_GPS_CLOCK_INFO),
    size_prefixed_rule(MCU_MSG_RET_SETUP_PARAM_INFO),
    byte_rule(MCU_MSG_RET_IGN_ON_OFF_STATUS),
    record_rule<COREBOARD_RESUME_INFO>(MCU_MSG_RET_COREBOARD_RESUME_INFO),
    // audio
    byte_rule(MCU_MSG_RET_CUR_AUDIO_SOURCE),
    raw_rule(MCU_MSG_RET_AUDIO_SETTING_INFO),
    byte_rule(MCU_MSG_RET_AUDIO_AUX_GAIN_MODE),
    byte_rule(MCU_MSG_RET_AUDIO_BEEP_STATUS),
    byte_rule(MCU_MSG_RET_AUDIO_SPEED_VOLUME_MODE),
    record_rule<uint16_t>(MCU_MSG_RET_AUDIO_SPEED),
    byte_rule(MCU_MSG_RET_MAIN_ANSWER_STATUS),
    record_rule<AUDIO_DEVICE_PLUG_STATUS>(MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS),
    record_rule<AUDIO_VOLUME_INFO>(MCU_MSG_RET_AUDIO_VOLUME_INFO),
    byte_rule(MCU_MSG_RET_AUDIO_POPUP_INFO),
    byte_rule(MCU_MSG_RET_ARKAMYS_FUNC_SW),
    // radio tuner
    size_prefixed_rule(MCU_MSG_RET_RADIO_COLLECTED_INFO),
    record_rule<RADIO_NOTIFY>(MCU_MSG_RET_RADIO_NOTIFY),
    record_rule<RADIO_PRESET_INFO>(MCU_MSG_RET_RADIO_PRESET_INFO),
    raw_rule(MCU_MSG_RET_RADIO_FM_PARAMETER_INFO),
    raw_rule(MCU_MSG_RET_RADIO_AM_PARAMETER_INFO),
    record_rule<RADIO_STATION_LIST_INFO>(MCU_MSG_RET_RADIO_STATION_LIST_INFO),
    record_rule<CURRADIO_STATION_LIST_INFO>(MCU_MSG_RET_CURRADIO_STATION_LIST_INFO),
    // display, video, camera and Bluetooth
    record_rule<BLUETOOTH_STATUS_INFO>(MCU_MSG_RET_BLUETOOTH_STATUS),
    record_rule<VIDEO_SOURCE_INFO>(MCU_MSG_RET_TFT_VIDEO_SOURCE),
    byte_rule(MCU_MSG_RET_TFT_LANGUAGE),
    byte_rule(MCU_MSG_RET_TFT_ILL_MODE),
    byte_rule(MCU_MSG_RET_TFT_BACKLIGHT_STATUS),
    byte_rule(MCU_MSG_RET_TFT_BRIGHTNESS_STATUS),
    byte_rule(MCU_MSG_RET_TFT_CONTRAST_STATUS),
    record_rule<DAYNIGHT_MODE_SET_INFO>(MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO),
    raw_rule(MCU_MSG_RET_AVM_SETTING_INFO),
    byte_rule(MCU_MSG_RET_MHL_SIGNAL_DET),
    size_prefixed_rule(MCU_MSG_RET_AVM_DATA_INFO),
    // vehicle bus and climate control; two reports give the record's size
    size_prefixed_rule(MCU_MSG_RET_ENHOST_CAN),
    size_prefixed_rule(MCU_MSG_RET_FCC_CAN),
    size_prefixed_rule(MCU_MSG_RET_RCC_CAN),
    record_rule<HVAC_INFO>(MCU_MSG_RET_HVAC_INFO, 24),
    record_rule<HVAC_DIAG_INFO>(MCU_MSG_RET_HVAC_DIAG_INFO),
    record_rule<IT_COMMANDER_INFO>(MCU_MSG_RET_IT_COMMANDER_INFO, 12),
    size_prefixed_rule(MCU_MSG_RET_MCAN_INFO),
    size_prefixed_rule(MCU_MSG_RET_AUTOTEST_DATA_INFO),
};

inline const RecordExtent *find_record_extent(uint8_t id) {
    for (const RecordExtent &e : kRecordExtents)
        if (e.id == id) return &e;
    return nullptr;
}

// The first byte of `data` past the record of a frame with id `id` and
// payload length `length`.
inline std::size_t record_end(uint8_t id, uint8_t length) {
    const RecordExtent *e = find_record_extent(id);
    if (!e) return length;  // raw rule
    switch (e->extent) {
    case Extent::Byte:
        return 1;
    case Extent::Record:
        return e->record_size;
    case Extent::Raw:
        return length;
    case Extent::SizePrefixed:
        return 1u + length;
    }
    return 0;
}

// PACKET_MSG.size for a frame with id `id` and payload length `length`.
inline uint8_t packet_size(uint8_t id, uint8_t length) {
    const RecordExtent *e = find_record_extent(id);
    return e && e->packet_size >= 0 ? static_cast<uint8_t>(e->packet_size) : length;
}

}  // namespace mcu_agent_fuzz

#endif  // MCU_AGENT_FUZZ_RECORD_EXTENTS_H
