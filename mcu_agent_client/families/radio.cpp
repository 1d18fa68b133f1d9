// radio.cpp - request functions and decoding rules of the radio family:
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

// Number of preset frequencies in a 0x51 message, chosen by its length.
// Each preset is 4 bytes and the list follows the band byte without a gap;
// `preset_num` comes right after the last preset.
constexpr int preset_count(uint8_t length) {
    switch (length) {
        case 30: return 7;
        case 50: return 12;
        default: return 6;  // the 26-byte layout, and any unknown length
    }
}

void rule_notify(Frame frame, PACKET_MSG *packet) {
    RADIO_NOTIFY notify{};
    set_enum_field(notify.band, frame.p(0));
    notify.preset_num = frame.p(1);
    set_enum_field(notify.status, frame.p(2));
    notify.cur_freq = frame.be32(3);
    store_record(packet, notify);
}

void rule_preset_info(Frame frame, PACKET_MSG *packet) {
    RADIO_PRESET_INFO info{};
    set_enum_field(info.band, frame.p(0));
    const int count = preset_count(frame.length());
    for (int k = 0; k < count; ++k) info.preset_freq[k] = frame.be32(1 + 4 * k);
    info.preset_num = frame.p(1 + 4 * count);
    store_record(packet, info);
}

void rule_station_list(Frame frame, PACKET_MSG *packet) {
    constexpr auto kMaxStations = std::size(RADIO_STATION_LIST_INFO{}.station_freq);
    RADIO_STATION_LIST_INFO list{};
    set_enum_field(list.band_type, frame.p(0));
    // A list announcing more stations than the record holds keeps the first
    // ones, and station_num says how many were kept: a handler looping over
    // station_num entries stays inside station_freq.
    list.station_num = static_cast<uint8_t>(std::min<std::size_t>(frame.p(1), kMaxStations));
    for (int i = 0; i < list.station_num; ++i) list.station_freq[i] = frame.be32(2 + 4 * i);
    store_record(packet, list);
}

void rule_station_list_state(Frame frame, PACKET_MSG *packet) {
    CURRADIO_STATION_LIST_INFO state{};
    set_enum_field(state.band_type, frame.p(0));
    set_enum_field(state.play_state, frame.p(1));
    store_record(packet, state);
}

// RADIO_COLLECTED_INFO is a size byte followed by the content, so the
// size-prefixed copy fills it; content longer than 64 bytes runs on into
// the rest of PACKET_MSG.data.
constexpr RuleEntry kRules[] = {
    {MCU_MSG_RET_RADIO_COLLECTED_INFO, rule_size_prefixed},
    {MCU_MSG_RET_RADIO_NOTIFY, rule_notify},
    {MCU_MSG_RET_RADIO_PRESET_INFO, rule_preset_info},
    {MCU_MSG_RET_RADIO_FM_PARAMETER_INFO, rule_raw_payload},
    {MCU_MSG_RET_RADIO_AM_PARAMETER_INFO, rule_raw_payload},
    {MCU_MSG_RET_RADIO_STATION_LIST_INFO, rule_station_list},
    {MCU_MSG_RET_CURRADIO_STATION_LIST_INFO, rule_station_list_state},
};

}  // namespace

const RuleTable radio_rules = {kRules, std::size(kRules)};

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
