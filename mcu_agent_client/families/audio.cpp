// audio.cpp - the audio family: source, sound settings, volumes, mixing,
// device detection and the player's mute and test-tone reports.
#include <iterator>

#include "enum_field.h"
#include "internal.h"

namespace mcu_agent {

namespace {

// The vehicle speed, big-endian on the wire, as a native 16-bit value.
void rule_audio_speed(Frame frame, PACKET_MSG *packet) {
    const uint16_t speed = frame.be16(0);
    store_record(packet, speed);
}

// The equaliser pin packs its 4-bit value and its detection position into
// one byte; every other device reports a plain status byte.
void rule_device_plug_status(Frame frame, PACKET_MSG *packet) {
    constexpr uint8_t kEqValueMask = 0x0F;
    constexpr int kEqPositionBit = 4;
    AUDIO_DEVICE_PLUG_STATUS plug{};
    set_enum_field(plug.type, frame.p(0));
    if (frame.p(0) == EQ_PIN) {
        plug.eq_info.data = frame.p(1) & kEqValueMask;
        plug.eq_info.detection_position = (frame.p(1) >> kEqPositionBit) & 1;
    } else {
        plug.status = frame.p(1);
    }
    store_record(packet, plug);
}

// P1 is the on/off state for AUDIO_ON_OFF_TYPE and a volume for every other
// type.
void rule_volume_info(Frame frame, PACKET_MSG *packet) {
    AUDIO_VOLUME_INFO volume{};
    set_enum_field(volume.audio_type, frame.p(0));
    if (frame.p(0) == AUDIO_ON_OFF_TYPE)
        set_enum_field(volume.audio_info, frame.p(1));
    else
        volume.volume_values = frame.p(1);
    store_record(packet, volume);
}

constexpr RuleEntry kRules[] = {
    {MCU_MSG_RET_CUR_AUDIO_SOURCE, rule_byte},
    {MCU_MSG_RET_AUDIO_SETTING_INFO, rule_raw_payload},  // not interpreted here
    {MCU_MSG_RET_AUDIO_AUX_GAIN_MODE, rule_byte},
    {MCU_MSG_RET_AUDIO_BEEP_STATUS, rule_byte},
    {MCU_MSG_RET_AUDIO_SPEED_VOLUME_MODE, rule_byte},
    {MCU_MSG_RET_AUDIO_SPEED, rule_audio_speed},
    {MCU_MSG_RET_MAIN_ANSWER_STATUS, rule_byte},
    {MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS, rule_device_plug_status},
    {MCU_MSG_RET_AUDIO_VOLUME_INFO, rule_volume_info},
    {MCU_MSG_RET_AUDIO_POPUP_INFO, rule_byte},
    {MCU_MSG_RET_ARKAMYS_FUNC_SW, rule_byte},
};

}  // namespace

const RuleTable audio_rules = {kRules, std::size(kRules)};

}  // namespace mcu_agent

using namespace mcu_agent;

extern "C" {

int McuAgent_set_audio_source(AUDIO_SOURCE_ID audio_source) {
    return send_byte(MCU_CMD_SET_AUDIO_SOURCE, enum_value(audio_source));
}

int McuAgent_get_audio_source(void) { return send_empty(MCU_CMD_GET_AUDIO_SOURCE); }

int McuAgent_set_audio_setting_info(AUDIO_SETTING_TYPE_INFO *info) {
    if (!info) return kNotSent;
    const uint8_t payload[] = {lo8(enum_value(info->type)), info->value};
    return packet_fill_send(MCU_CMD_SET_AUDIO_SETTING_INFO, payload, sizeof payload);
}

int McuAgent_get_audio_setting_info(void) { return send_empty(MCU_CMD_GET_AUDIO_SETTING_INFO); }
int McuAgent_set_audio_aux_gain(AUDIO_AUX_GAIN_ID level) { return send_byte(MCU_CMD_SET_AUDIO_AUX_GAIN, enum_value(level)); }
int McuAgent_get_audio_aux_gain(void) { return send_empty(MCU_CMD_GET_AUDIO_AUX_GAIN); }
int McuAgent_set_audio_beep(BEEP_STATUS_ID status) { return send_byte(MCU_CMD_SET_AUDIO_BEEP, enum_value(status)); }
int McuAgent_get_audio_beep(void) { return send_empty(MCU_CMD_GET_AUDIO_BEEP); }

int McuAgent_set_audio_speed_volume(AUDIO_SPEED_VOLUME_ID level) {
    return send_byte(MCU_CMD_SET_AUDIO_SPEED_VOLUME, enum_value(level));
}

int McuAgent_get_audio_speed_volume(void) { return send_empty(MCU_CMD_GET_AUDIO_SPEED_VOLUME); }
int McuAgent_get_audio_speed(void) { return send_empty(MCU_CMD_GET_AUDIO_SPEED); }

int McuAgent_set_audio_navi_mix_status(NAVIGATION_BROADCAST_ID *info) {
    if (!info) return kNotSent;
    const uint8_t payload[] = {lo8(enum_value(info->navigation_broadcast)), lo8(enum_value(info->navigation_type))};
    return packet_fill_send(MCU_CMD_SET_AUDIO_NAVI_MIX_STATUS, payload, sizeof payload);
}

int McuAgent_set_main_driver_answer_status(MAIN_DRIVER_ANSWER_ID status) {
    return send_byte(MCU_CMD_SET_MAIN_DRIVER_ANSWER_STATUS, enum_value(status));
}

int McuAgent_get_main_driver_answer_status(void) { return send_empty(MCU_CMD_GET_MAIN_DRIVER_ANSWER_STATUS); }
int McuAgent_get_aux_plug_status(void) { return send_empty(MCU_CMD_GET_AUX_PLUG_STATUS); }
int McuAgent_set_adjust_volume(ADJUST_VOLUME_ID status) { return send_byte(MCU_CMD_SET_ADJUST_VOLUME, enum_value(status)); }

// One command both sets and asks for an absolute volume; the first byte
// names the channel and which of the two.
int McuAgent_set_absolutely_volume(ABSOLUTELY_VOLUME *info) {
    if (!info) return kNotSent;
    const uint8_t payload[] = {lo8(enum_value(info->absolutely_volume)), info->value};
    return packet_fill_send(MCU_CMD_SET_ABSOLUTELY_VOLUME, payload, sizeof payload);
}

int McuAgent_set_audio_function_switch(AUDIO_FUNCTION_SWITCH status) {
    return send_byte(MCU_CMD_SET_AUDIO_FUNCTION_SWITCH_INFO, enum_value(status));
}

int McuAgent_get_audio_function_switch(void) { return send_empty(MCU_CMD_GET_AUDIO_FUNCTION_SWITCH_INFO); }

int McuAgent_send_player_play_skip_status(PLATER_PLAY_SKIP_STATUS_INFO status) {
    return send_byte(MCU_CMD_RET_PLAYER_PLAY_SKIP_STATUS, enum_value(status));
}

int McuAgent_set_record_play_state(RECORD_PLAY_STATE_ID status) {
    return send_byte(MCU_CMD_SET_RECORD_PLAY_STATE, enum_value(status));
}

int McuAgent_set_speaker_diag(SPEAKER_FREQ_ID freq) { return send_byte(MCU_CMD_SET_SPEAKER_DIAG, enum_value(freq)); }

}  // extern "C"
