// radio.cpp - request functions of the radio family:
// tuning, seeking, presets, bands and station lists out; tuner notices,
// presets, parameter blocks and station lists in.
#include <algorithm>
#include <iterator>

#include "enum_field.h"
#include "internal.h"

namespace mcu_agent {

namespace {

// Collected radio data travels in one frame.  The bound is one below the
// capacity of RADIO_COLLECTED_INFO.content, as the MCU expects.
constexpr uint8_t kMaxCollectedSize = 63;

}  // namespace

}  // namespace mcu_agent

using namespace mcu_agent;

extern "C" {

int McuAgent_set_radio_freq(uint16_t freq) {
    const uint8_t payload[] = {hi8(freq), lo8(freq)};
    return packet_fill_send(MCU_CMD_SET_RADIO_FREQ, payload, sizeof payload);
}

int McuAgent_set_radio_seek_up(void) { return send_empty(MCU_CMD_SET_RADIO_SEEK_UP); }
int McuAgent_set_radio_seek_down(void) { return send_empty(MCU_CMD_SET_RADIO_SEEK_DOWN); }
int McuAgent_set_radio_manual_up(void) { return send_empty(MCU_CMD_SET_RADIO_MANUAL_UP); }
int McuAgent_set_radio_manual_down(void) { return send_empty(MCU_CMD_SET_RADIO_MANUAL_DOWN); }
int McuAgent_set_radio_ctrl(RADIO_CTRL_ID status) { return send_byte(MCU_CMD_SET_RADIO_CTRL, enum_value(status)); }
int McuAgent_call_radio_preset_num(uint8_t preset_num) { return send_byte(MCU_CMD_CALL_RADIO_PRESET_NUM, preset_num); }
int McuAgent_save_radio_preset_num(uint8_t preset_num) { return send_byte(MCU_CMD_SAVE_RADIO_PRESET_NUM, preset_num); }
int McuAgent_change_radio_band(void) { return send_empty(MCU_CMD_CHANGE_RADIO_BAND); }
int McuAgent_radio_fastseek_up(void) { return send_empty(MCU_CMD_RADIO_FASTSEEK_UP); }
int McuAgent_radio_fastseek_down(void) { return send_empty(MCU_CMD_RADIO_FASTSEEK_DOWN); }

int McuAgent_save_radio_collected_info(RADIO_COLLECTED_INFO *info) {
    if (!info) return kNotSent;
    if (info->size > kMaxCollectedSize) return refuse_request("size > 64,return ");
    return packet_fill_send(MCU_CMD_SAVE_RADIO_COLLECTED_INFO, info->content, info->size);
}

int McuAgent_radio_list_update(UPDATE_CMD cmd) { return send_byte(MCU_CMD_RADIO_STATION_LIST_UPDATE, enum_value(cmd)); }
int McuAgent_get_radio_notify(void) { return send_empty(MCU_CMD_GET_RADIO_NOTIFY); }
int McuAgent_get_radio_preset_info(RADIO_BAND_ID band) {
    return send_byte(MCU_CMD_GET_RADIO_PRESET_INFO, enum_value(band));
}

int McuAgent_set_radio_band_change_info(RADIO_BAND_CHANGE_INFO *info) {
    if (!info) return kNotSent;
    // Only the low 16 bits of the frequency travel, big-endian.
    const uint8_t payload[] = {lo8(enum_value(info->radio_direction)), lo8(enum_value(info->band)),
                               info->preset_num, hi8(info->preset_freq), lo8(info->preset_freq)};
    return packet_fill_send(MCU_CMD_SET_RADIO_BAND_CHANGE_INFO, payload, sizeof payload);
}

int McuAgent_set_radio_stop_conditions_info(RADIO_STOP_CONDITIONS_INFO *info) {
    if (!info) return kNotSent;
    const uint8_t payload[] = {lo8(enum_value(info->cmd_info)), lo8(enum_value(info->option_info))};
    return packet_fill_send(MCU_CMD_SET_RADIO_STOP_CONDITIONS_INFO, payload, sizeof payload);
}

int McuAgent_set_radio_diagnose_info(RADIO_DIAGNOSE_INFO status) {
    return send_byte(MCU_CMD_SET_RADIO_DIAGNOSE_INFO, enum_value(status));
}

int McuAgent_set_radio_curband_info(RADIO_CURBAND_INFO status) {
    return send_byte(MCU_CMD_SET_RADIO_CURBAND_INFO, enum_value(status));
}

}  // extern "C"
