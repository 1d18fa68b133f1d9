// internal.h - what the API source and the family sources share and
// applications never see: the command ids, the frame sender, the helpers
// that request functions are written with, and the decoding-rule tables.
#ifndef MCU_AGENT_INTERNAL_H
#define MCU_AGENT_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "mcu_agent_api.h"

namespace mcu_agent {

// Outbound command ids.  A request and its answer share a number.
enum MCU_CMD_ID : uint32_t {
    MCU_CMD_HMI_STARTUP = 0x00,
    MCU_CMD_NAVI_STARTUP = 0x01,
    MCU_CMD_GET_SYNC = 0x02,
    MCU_CMD_GET_VERSION_INFO = 0x03,
    MCU_CMD_SET_HARD_KEY = 0x04,
    MCU_CMD_SET_TOUCH = 0x05,
    MCU_CMD_SET_ENGINEER_MODE = 0x06,
    MCU_CMD_SET_BEEP_TONE = 0x07,
    MCU_CMD_SET_POWEROFF_TIMER_DISP = 0x08,
    MCU_CMD_SET_SCREEN_SAVE_MODE = 0x09,
    MCU_CMD_RET_ALIVE = 0x0E,
    MCU_CMD_RET_VERSION_INFO = 0x0F,
    MCU_CMD_SET_AUDIO_POWER = 0x10,
    MCU_CMD_GET_AUDIO_POWER = 0x11,
    MCU_CMD_SET_RTC_CLOCK = 0x12,
    MCU_CMD_GET_RTC_CLOCK = 0x13,
    MCU_CMD_SET_BUTTON_BACKLIGHT_DUTY_CYCLE = 0x14,
    MCU_CMD_SET_USB_POWER = 0x15,
    MCU_CMD_SET_SETUP_PARAM_INFO = 0x1E,
    MCU_CMD_GET_SETUP_PARAM_INFO = 0x1F,
    MCU_CMD_SET_AUDIO_SOURCE = 0x20,
    MCU_CMD_GET_AUDIO_SOURCE = 0x21,
    MCU_CMD_SET_AUDIO_SETTING_INFO = 0x22,
    MCU_CMD_GET_AUDIO_SETTING_INFO = 0x23,
    MCU_CMD_SET_AUDIO_AUX_GAIN = 0x24,
    MCU_CMD_GET_AUDIO_AUX_GAIN = 0x25,
    MCU_CMD_SET_AUDIO_BEEP = 0x26,
    MCU_CMD_GET_AUDIO_BEEP = 0x27,
    MCU_CMD_SET_AUDIO_SPEED_VOLUME = 0x28,
    MCU_CMD_GET_AUDIO_SPEED_VOLUME = 0x29,
    MCU_CMD_GET_AUDIO_SPEED = 0x2A,
    MCU_CMD_SET_AUDIO_NAVI_MIX_STATUS = 0x2B,
    MCU_CMD_SET_MAIN_DRIVER_ANSWER_STATUS = 0x2D,
    MCU_CMD_GET_MAIN_DRIVER_ANSWER_STATUS = 0x2E,
    MCU_CMD_GET_AUX_PLUG_STATUS = 0x30,
    MCU_CMD_SET_ADJUST_VOLUME = 0x31,
    MCU_CMD_SET_ABSOLUTELY_VOLUME = 0x32,
    MCU_CMD_SET_AUDIO_FUNCTION_SWITCH_INFO = 0x3A,
    MCU_CMD_GET_AUDIO_FUNCTION_SWITCH_INFO = 0x3B,
    MCU_CMD_SET_RADIO_FREQ = 0x40,
    MCU_CMD_SET_RADIO_SEEK_UP = 0x41,
    MCU_CMD_SET_RADIO_SEEK_DOWN = 0x42,
    MCU_CMD_SET_RADIO_MANUAL_UP = 0x43,
    MCU_CMD_SET_RADIO_MANUAL_DOWN = 0x44,
    MCU_CMD_SET_RADIO_CTRL = 0x45,
    MCU_CMD_CALL_RADIO_PRESET_NUM = 0x46,
    MCU_CMD_SAVE_RADIO_PRESET_NUM = 0x47,
    MCU_CMD_CHANGE_RADIO_BAND = 0x48,
    MCU_CMD_RADIO_FASTSEEK_UP = 0x49,
    MCU_CMD_RADIO_FASTSEEK_DOWN = 0x4A,
    MCU_CMD_SAVE_RADIO_COLLECTED_INFO = 0x4B,
    MCU_CMD_RADIO_STATION_LIST_UPDATE = 0x4D,
    MCU_CMD_GET_RADIO_NOTIFY = 0x50,
    MCU_CMD_GET_RADIO_PRESET_INFO = 0x51,
    MCU_CMD_SET_RADIO_BAND_CHANGE_INFO = 0x52,
    MCU_CMD_SET_RADIO_STOP_CONDITIONS_INFO = 0x53,
    MCU_CMD_SET_RADIO_DIAGNOSE_INFO = 0x54,
    MCU_CMD_SET_RADIO_CURBAND_INFO = 0x55,
    MCU_CMD_GET_IGN_ON_OFF_STATUS = 0x7F,
    MCU_CMD_SET_PLAYER_RESUME_INFO = 0x80,
    MCU_CMD_GET_PLAYER_RESUME_INFO = 0x81,
    MCU_CMD_RET_PLAYER_PLAY_SKIP_STATUS = 0x83,
    MCU_CMD_RET_BLUETOOTH_STATUS = 0x90,
    MCU_CMD_SET_VIDEO_SOURCE = 0xA0,
    MCU_CMD_GET_VIDEO_SOURCE = 0xA1,
    MCU_CMD_SET_TFT_LANGUAGE = 0xA2,
    MCU_CMD_GET_TFT_LANGUAGE = 0xA3,
    MCU_CMD_SET_TFT_ILL_MODE = 0xA4,
    MCU_CMD_GET_TFT_ILL_MODE = 0xA5,
    MCU_CMD_SET_TFT_BACKLIGHT_STATUS = 0xA6,
    MCU_CMD_GET_TFT_BACKLIGHT_STATUS = 0xA7,
    MCU_CMD_SET_TFT_BRIGHTNESS = 0xA8,
    MCU_CMD_GET_TFT_BRIGHTNESS = 0xA9,
    MCU_CMD_SET_TFT_CONTRAST = 0xAA,
    MCU_CMD_GET_TFT_CONTRAST = 0xAB,
    MCU_CMD_SET_TFT_DAYNIGHTMODE = 0xAC,
    MCU_CMD_EXIT_AVM_SETTING_MENU = 0xB0,
    MCU_CMD_SET_AVM_SETTING_INFO = 0xB1,
    MCU_CMD_GET_AVM_SETTING_INFO = 0xB2,
    MCU_CMD_SET_AVM_DEFAULT_SETTING = 0xB3,
    MCU_CMD_SET_MHL_POP_TYPE = 0xC0,
    MCU_CMD_UPDATE_MAINBOARD_FIRMWARE = 0xD4,
    MCU_CMD_SET_CORE_BOARD_RESTART = 0xDB,
    MCU_CMD_SET_MAINBOARD_DEFAULT_SETTING = 0xDC,
    MCU_CMD_SET_RECORD_PLAY_STATE = 0xDD,
    MCU_CMD_SET_SPEAKER_DIAG = 0xDE,
    MCU_CMD_SET_AVM_DATA_INFO = 0xF0,
    MCU_CMD_SET_ENHOST_CAN = 0xF6,
    MCU_CMD_SET_FCC_CAN = 0xF7,
    MCU_CMD_SET_RCC_CAN = 0xF8,
    MCU_CMD_SEND_HVAC_INFO = 0xFA,
    MCU_CMD_SEND_HVAC_DIAG_INFO = 0xFB,
    MCU_CMD_SEND_MCAN_INFO = 0xFD,
    MCU_CMD_MAX_ID = 0xFE,
};

// ---- outbound -------------------------------------------------------

// Frames `length` payload bytes with the command id and sends the frame in
// one piece: length + 7 when written, -1 when not.  `data` may be NULL
// only with length 0.
int packet_fill_send(uint32_t mcu_cmd_id, const uint8_t *data, uint8_t length);

// The shapes most request functions take.
inline int send_empty(uint32_t cmd) { return packet_fill_send(cmd, nullptr, 0); }
inline int send_byte(uint32_t cmd, uint32_t value) {
    const uint8_t p0 = static_cast<uint8_t>(value);  // enumerations travel as their low 8 bits
    return packet_fill_send(cmd, &p0, 1);
}

// Result of a request that was given a NULL record: nothing was sent.
constexpr int kNotSent = -1;

// Refuses a request: prints `line` (puts) and returns 0, nothing sent.
int refuse_request(const char *line);

inline uint8_t hi8(uint32_t v) { return static_cast<uint8_t>(v >> 8); }
inline uint8_t lo8(uint32_t v) { return static_cast<uint8_t>(v); }

// ---- inbound --------------------------------------------------------

// A popped frame as the decoder sees it: frame[0] id, frame[1] length L,
// frame[2 + k] payload byte Pk.  At least RECEIVE_BUFFER_MSG_MAX_POP bytes
// are readable and every byte past the payload is zero, so a rule may read
// any payload position below 255 without looking at L.
struct Frame {
    const uint8_t *bytes;
    uint8_t id() const { return bytes[0]; }
    uint8_t length() const { return bytes[1]; }
    uint8_t p(int k) const { return bytes[2 + k]; }
    uint16_t be16(int k) const { return static_cast<uint16_t>(p(k) << 8 | p(k + 1)); }
    uint32_t be32(int k) const {
        return static_cast<uint32_t>(p(k)) << 24 | static_cast<uint32_t>(p(k + 1)) << 16 |
               static_cast<uint32_t>(p(k + 2)) << 8 | p(k + 3);
    }
    const uint8_t *payload() const { return bytes + 2; }
};

// A decoding rule writes the id's record at the start of packet->data (the
// packet is all zero with id and size set when it starts) and may set
// packet->size.  Rules never fail and never print.
using DecodeRule = void (*)(Frame frame, PACKET_MSG *packet);

struct RuleEntry {
    uint8_t id;
    DecodeRule rule;
};

struct RuleTable {
    const RuleEntry *entries;
    std::size_t count;
};

// The rules of each family; the dispatch indexes them by id once.
extern const RuleTable system_rules;
extern const RuleTable audio_rules;
extern const RuleTable radio_rules;
extern const RuleTable display_rules;
extern const RuleTable vehicle_rules;

// Records are built as locals and copied in, so that no store goes
// through a misaligned pointer into PACKET_MSG.data.
template <typename Record>
inline void store_record(PACKET_MSG *packet, const Record &record) {
    static_assert(sizeof(Record) <= sizeof(packet->data), "record must fit PACKET_MSG.data");
    std::memcpy(packet->data, &record, sizeof record);
}

// Common rules shared by several families.
void rule_byte(Frame frame, PACKET_MSG *packet);         // data[0] = P0
void rule_raw_payload(Frame frame, PACKET_MSG *packet);  // data[0..L-1] = P0..P(L-1)
void rule_size_prefixed(Frame frame, PACKET_MSG *packet);  // data[0] = L, data[1..L] = payload

}  // namespace mcu_agent

#endif  // MCU_AGENT_INTERNAL_H
