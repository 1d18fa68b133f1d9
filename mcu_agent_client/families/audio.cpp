// audio.cpp - the audio family: source, sound settings, volumes, mixing,
// device detection and the player's mute and test-tone reports.
#include <iterator>

#include "enum_field.h"
#include "internal.h"

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
