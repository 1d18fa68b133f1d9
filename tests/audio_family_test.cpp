// Audio family: every request on the wire, every message decoded.
#include "family_test_tables.h"

namespace mcu_agent_test {
namespace {

using AudioRequests = RequestTest;

TEST_F(AudioRequests, EveryRequestWritesItsFrame) {
    expect_frames({
        {MCU_CALL(set_audio_source, (AUDIO_SOURCE_NAVIGATION_I2S)), {0xBA, 0xAB, 0x00, 0x00, 0x20, 0x01, 0x92, 0xB3}},
        {MCU_CALL(set_audio_source, (AUDIO_SOURCE_BT_AUDIO)), outbound_frame(0x20, {0x0E})},
        {MCU_CALL(get_audio_source, ()), {0xBA, 0xAB, 0x00, 0x00, 0x21, 0x00, 0x21}},
        {MCU_CALL(set_audio_setting_info, (ptr(AUDIO_SETTING_TYPE_INFO{AUDIO_SETTING_TRE, 12}))),
         {0xBA, 0xAB, 0x00, 0x00, 0x22, 0x02, 0x03, 0x0C, 0x2F}},
        {MCU_CALL(get_audio_setting_info, ()), outbound_frame(0x23, {})},
        {MCU_CALL(set_audio_aux_gain, (AUDIO_AUX_GAIN_HIGH)), outbound_frame(0x24, {0x03})},
        {MCU_CALL(get_audio_aux_gain, ()), outbound_frame(0x25, {})},
        {MCU_CALL(set_audio_beep, (BEEP_STATUS_ON)), outbound_frame(0x26, {0x01})},
        {MCU_CALL(get_audio_beep, ()), outbound_frame(0x27, {})},
        {MCU_CALL(set_audio_speed_volume, (AUDIO_SPEED_VOLUME_LEVEL5)), outbound_frame(0x28, {0x05})},
        {MCU_CALL(get_audio_speed_volume, ()), outbound_frame(0x29, {})},
        {MCU_CALL(get_audio_speed, ()), {0xBA, 0xAB, 0x00, 0x00, 0x2A, 0x00, 0x2A}},
        {MCU_CALL(set_audio_navi_mix_status, (ptr(NAVIGATION_BROADCAST_ID{SPDIF_STATUS_OPEN, NAVI_TYPE_CARPLAY}))),
         outbound_frame(0x2B, {0x05, 0x01})},
        {MCU_CALL(set_main_driver_answer_status, (MAIN_DRIVER_ANSWER_STATUS_ON)), outbound_frame(0x2D, {0x01})},
        {MCU_CALL(get_main_driver_answer_status, ()), outbound_frame(0x2E, {})},
        {MCU_CALL(get_aux_plug_status, ()), outbound_frame(0x30, {})},
        {MCU_CALL(set_adjust_volume, (ADJUST_VOLUME_UP)), outbound_frame(0x31, {0x01})},
        {MCU_CALL(set_absolutely_volume, (ptr(ABSOLUTELY_VOLUME{SET_BTHFP_VOLUME, 20}))),
         {0xBA, 0xAB, 0x00, 0x00, 0x32, 0x02, 0x01, 0x14, 0x25}},
        {MCU_CALL(set_audio_function_switch, (FLAT_ON)), outbound_frame(0x3A, {0x01})},
        {MCU_CALL(get_audio_function_switch, ()), outbound_frame(0x3B, {})},
        {MCU_CALL(send_player_play_skip_status, (MUTE)), outbound_frame(0x83, {0xFF})},
        {MCU_CALL(send_player_play_skip_status, (MCU_MUTE_300)), outbound_frame(0x83, {0x03})},
        {MCU_CALL(set_record_play_state, (RECORD_START)), outbound_frame(0xDD, {0x01})},
        {MCU_CALL(set_speaker_diag, (BEEP_STOP)), outbound_frame(0xDE, {0xFF})},
        {MCU_CALL(set_speaker_diag, (BEEP_RL_ON)), outbound_frame(0xDE, {0x13})},
    });
}

TEST_F(AudioRequests, NullRecordsSendNothing) {
    expect_refused({
        {MCU_CALL(set_audio_setting_info, (nullptr)), -1, ""},
        {MCU_CALL(set_audio_navi_mix_status, (nullptr)), -1, ""},
        {MCU_CALL(set_absolutely_volume, (nullptr)), -1, ""},
    });
}

// ---- decoding -----------------------------------------------------------

Expected speed(uint16_t value) {
    return record<uint16_t>([=](uint16_t &r) { r = value; });
}

Expected plug(uint32_t type, uint8_t status, uint8_t eq_data, uint8_t eq_position) {
    return record<AUDIO_DEVICE_PLUG_STATUS>([=](AUDIO_DEVICE_PLUG_STATUS &r) {
        set_raw(r.type, type);
        r.status = status;
        r.eq_info.data = eq_data;
        r.eq_info.detection_position = eq_position;
    });
}

Expected volume(uint32_t audio_type, uint8_t volume_values, uint32_t audio_info) {
    return record<AUDIO_VOLUME_INFO>([=](AUDIO_VOLUME_INFO &r) {
        set_raw(r.audio_type, audio_type);
        r.volume_values = volume_values;
        set_raw(r.audio_info, audio_info);
    });
}

std::vector<DecodeCase> audio_cases() {
    std::vector<DecodeCase> cases = {
        {"0x21 L = 3 keeps P0", 0x21, {0x0E, 0x01, 0x02}, bytes({0x0E})},
        {"0x23 setting info", 0x23, {0x03, 0x0C, 0x07}, bytes({0x03, 0x0C, 0x07})},
        {"0x23 empty", 0x23, {}, bytes({})},
        {"0x23 L = 255", 0x23, counting(255), bytes(counting(255))},
        {"0x2A speed 300", 0x2A, {0x01, 0x2C}, speed(300)},
        {"0x2A short", 0x2A, {0x01}, speed(256)},
        {"0x2A empty", 0x2A, {}, speed(0)},
        {"0x2A long", 0x2A, {0xFF, 0xFE, 0x77}, speed(0xFFFE)},
        {"0x30 EQ pin 15, position 0", 0x30, {0x06, 0x2F}, plug(EQ_PIN, 0, 15, 0)},
        {"0x30 EQ pin 5, position 1", 0x30, {0x06, 0x15}, plug(EQ_PIN, 0, 5, 1)},
        {"0x30 EQ pin ignores bits 5 to 7", 0x30, {0x06, 0xFF}, plug(EQ_PIN, 0, 15, 1)},
        {"0x30 reverse", 0x30, {0x03, 0x01}, plug(REVERSE, 1, 0, 0)},
        {"0x30 type outside the enumeration", 0x30, {0xC8, 0x07}, plug(200, 7, 0, 0)},
        {"0x30 short EQ pin", 0x30, {0x06}, plug(EQ_PIN, 0, 0, 0)},
        {"0x30 empty", 0x30, {}, plug(AUX, 0, 0, 0)},
        {"0x30 long", 0x30, {0x04, 0x01, 0xFF, 0xFF}, plug(DISK, 1, 0, 0)},
        {"0x31 on/off", 0x31, {0x01, 0x01}, volume(AUDIO_ON_OFF_TYPE, 0, AUDIO_OFF)},
        {"0x31 smartphone volume", 0x31, {0x10, 0x19}, volume(AUDIO_SMARTPHONE_VOLUME_TYPE, 25, AUDIO_ON)},
        {"0x31 main volume", 0x31, {0x00, 0x0F}, volume(AUDIO_VOLUME_TYPE, 15, 0)},
        {"0x31 hands-free volume", 0x31, {0x09, 0x05}, volume(AUDIO_BT_HFP_VOLUME_TYPE_OFF, 5, 0)},
        {"0x31 on/off state outside the enumeration", 0x31, {0x01, 0xFE}, volume(AUDIO_ON_OFF_TYPE, 0, 0xFE)},
        {"0x31 short", 0x31, {0x01}, volume(AUDIO_ON_OFF_TYPE, 0, 0)},
        {"0x31 long", 0x31, {0x10, 0x19, 0x77}, volume(AUDIO_SMARTPHONE_VOLUME_TYPE, 25, 0)},
    };
    for (const auto &[name, id] : std::vector<std::pair<std::string, uint8_t>>{
             {"0x21 audio source", 0x21},
             {"0x25 AUX gain", 0x25},
             {"0x27 beep status", 0x27},
             {"0x29 speed volume", 0x29},
             {"0x2E main driver answer", 0x2E},
             {"0x32 popup", 0x32},
             {"0x3B function switch", 0x3B},
         }) {
        for (DecodeCase &c : byte_rule_cases(name, id)) cases.push_back(std::move(c));
    }
    return cases;
}

using AudioDecode = DecodeTest;

TEST_F(AudioDecode, EveryMessageDecodesItsRecord) { expect_decoded(audio_cases()); }

}  // namespace
}  // namespace mcu_agent_test
