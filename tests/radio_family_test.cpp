// Radio family: every request on the wire, every message decoded.
#include "family_test_tables.h"

namespace mcu_agent_test {
namespace {

// ---- requests -------------------------------------------------------

// A collected-data record of `size` bytes; content byte i is 0xC0 + i.
RADIO_COLLECTED_INFO collected(uint8_t size) {
    RADIO_COLLECTED_INFO info{};
    info.size = size;
    for (std::size_t i = 0; i < sizeof info.content; ++i) info.content[i] = static_cast<uint8_t>(0xC0 + i);
    return info;
}

TEST_F(RequestTest, RadioRequestsSendTheirFrames) {
    expect_frames({
        {MCU_CALL(set_radio_freq, (10800)), {0xBA, 0xAB, 0x00, 0x00, 0x40, 0x02, 0x2A, 0x30, 0x58}},
        {MCU_CALL(set_radio_freq, (0x1234)), outbound_frame(0x40, {0x12, 0x34})},
        {MCU_CALL(set_radio_seek_up, ()), outbound_frame(0x41, {})},
        {MCU_CALL(set_radio_seek_down, ()), outbound_frame(0x42, {})},
        {MCU_CALL(set_radio_manual_up, ()), outbound_frame(0x43, {})},
        {MCU_CALL(set_radio_manual_down, ()), outbound_frame(0x44, {})},
        {MCU_CALL(set_radio_ctrl, (RADIO_CTRL_SCAN)), outbound_frame(0x45, {0x01})},
        {MCU_CALL(call_radio_preset_num, (3)), {0xBA, 0xAB, 0x00, 0x00, 0x46, 0x01, 0x03, 0x44}},
        {MCU_CALL(save_radio_preset_num, (200)), outbound_frame(0x47, {200})},
        {MCU_CALL(change_radio_band, ()), outbound_frame(0x48, {})},
        {MCU_CALL(radio_fastseek_up, ()), outbound_frame(0x49, {})},
        {MCU_CALL(radio_fastseek_down, ()), outbound_frame(0x4A, {})},
        {MCU_CALL(save_radio_collected_info, (ptr(collected(63)))), outbound_frame(0x4B, counting(63, 0xC0))},
        {MCU_CALL(save_radio_collected_info, (ptr(collected(0)))), {0xBA, 0xAB, 0x00, 0x00, 0x4B, 0x00, 0x4B}},
        {MCU_CALL(radio_list_update, (GET_AM1_STATION_LIST)), outbound_frame(0x4D, {0x06})},
        {MCU_CALL(get_radio_notify, ()), outbound_frame(0x50, {})},
        {MCU_CALL(get_radio_preset_info, (RADIO_BAND_FM3)), outbound_frame(0x51, {0x02})},
        {MCU_CALL(set_radio_band_change_info, (ptr(RADIO_BAND_CHANGE_INFO{RADIO_RIGHT, RADIO_BAND_AM1, 3, 900}))),
         {0xBA, 0xAB, 0x00, 0x00, 0x52, 0x05, 0x02, 0x04, 0x03, 0x03, 0x84, 0xD5}},
        // Bits 16..31 of the frequency do not travel.
        {MCU_CALL(set_radio_band_change_info,
                  (ptr(RADIO_BAND_CHANGE_INFO{RADIO_RIGHT, RADIO_BAND_AM1, 3, 0xABCD0000u | 900}))),
         {0xBA, 0xAB, 0x00, 0x00, 0x52, 0x05, 0x02, 0x04, 0x03, 0x03, 0x84, 0xD5}},
        {MCU_CALL(set_radio_stop_conditions_info, (ptr(RADIO_STOP_CONDITIONS_INFO{AM_SET_LEVEL, MINUS}))),
         {0xBA, 0xAB, 0x00, 0x00, 0x53, 0x02, 0x74, 0x01, 0x24}},
        {MCU_CALL(set_radio_diagnose_info, (EXIT_RADIO_DIAGNOSE)), outbound_frame(0x54, {0x02})},
        {MCU_CALL(set_radio_curband_info, (CMD_AM2)), outbound_frame(0x55, {0x06})},
    });
}

// Enumerations travel as their low 8 bits, whatever int a C caller passed.
TEST_F(RequestTest, RadioEnumerationsTravelAsLow8Bits) {
    EXPECT_EQ(McuAgent_set_radio_ctrl(static_cast<RADIO_CTRL_ID>(0x301)), 8);
    EXPECT_EQ(hex(server_->read_frame().value_or(Bytes{})), hex(outbound_frame(0x45, {0x01})));
    RADIO_STOP_CONDITIONS_INFO stop{};
    set_raw(stop.cmd_info, 0x1088);
    set_raw(stop.option_info, 0x201);
    EXPECT_EQ(McuAgent_set_radio_stop_conditions_info(&stop), 9);
    EXPECT_EQ(hex(server_->read_frame().value_or(Bytes{})), hex(outbound_frame(0x53, {0x88, 0x01})));
}

TEST_F(RequestTest, RadioRequestsRefused) {
    expect_refused({
        // The collected-data bound is 63, one below the content's capacity.
        {MCU_CALL(save_radio_collected_info, (ptr(collected(64)))), 0, "size > 64,return \n"},
        {MCU_CALL(save_radio_collected_info, (ptr(collected(255)))), 0, "size > 64,return \n"},
        {MCU_CALL(save_radio_collected_info, (nullptr)), -1, ""},
        {MCU_CALL(set_radio_band_change_info, (nullptr)), -1, ""},
        {MCU_CALL(set_radio_stop_conditions_info, (nullptr)), -1, ""},
    });
}

// ---- decoding -------------------------------------------------------

const Bytes kNotify = {0x04, 0x02, 0x01, 0x00, 0x00, 0x03, 0x84};

Expected notify(uint32_t cur_freq) {
    return record<RADIO_NOTIFY>([=](RADIO_NOTIFY &r) {
        r.band = RADIO_BAND_AM1;
        r.preset_num = 2;
        r.status = RADIO_STATUS_SEEK_UP;
        r.cur_freq = cur_freq;
    });
}

// A preset message of `length` bytes: P0 = RADIO_BAND_AM2, then Pj = j,
// so that preset k reads the bytes 1+4k .. 4+4k.
Bytes preset_payload(std::size_t length) {
    Bytes payload = counting(length, 0);
    if (length) payload[0] = RADIO_BAND_AM2;
    return payload;
}

constexpr uint32_t kCountingPresets[12] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10, 0x11121314, 0x15161718,
                                           0x191A1B1C, 0x1D1E1F20, 0x21222324, 0x25262728, 0x292A2B2C, 0x2D2E2F30};

Expected presets(int count, uint8_t preset_num) {
    return record<RADIO_PRESET_INFO>([=](RADIO_PRESET_INFO &r) {
        r.band = RADIO_BAND_AM2;
        for (int k = 0; k < count; ++k) r.preset_freq[k] = kCountingPresets[k];
        r.preset_num = preset_num;
    });
}

const Bytes kStationList = {0x05, 0x02, 0x00, 0x00, 0x03, 0x84, 0x00, 0x00, 0x06, 0x0C};

Expected am1_stations(const std::vector<uint32_t> &freqs, uint8_t station_num) {
    return record<RADIO_STATION_LIST_INFO>([=](RADIO_STATION_LIST_INFO &r) {
        r.band_type = CMD_AM1;
        r.station_num = station_num;
        for (std::size_t i = 0; i < freqs.size(); ++i) r.station_freq[i] = freqs[i];
    });
}

// A station list announcing `announced` stations; station i (from 0) is
// the frequency i + 1, for as many as `length` bytes hold.
Bytes numbered_stations(uint8_t announced, std::size_t length) {
    Bytes payload = {CMD_FM2, announced};
    for (uint8_t i = 0; payload.size() < length; ++i) payload.insert(payload.end(), {0, 0, 0, uint8_t(i + 1)});
    payload.resize(length);
    return payload;
}

Expected first_50_numbered_stations() {
    return record<RADIO_STATION_LIST_INFO>([](RADIO_STATION_LIST_INFO &r) {
        r.band_type = CMD_FM2;
        r.station_num = 50;
        for (uint32_t i = 0; i < 50; ++i) r.station_freq[i] = i + 1;
    });
}

Expected list_state(RADIO_CURBAND_INFO band, RADIO_PLAY_STATE play_state) {
    return record<CURRADIO_STATION_LIST_INFO>([=](CURRADIO_STATION_LIST_INFO &r) {
        r.band_type = band;
        r.play_state = play_state;
    });
}

TEST_F(DecodeTest, RadioCollectedData) {
    expect_decoded({
        {"L=5", 0x4C, {0x11, 0x22, 0x33, 0x44, 0x55}, bytes({5, 0x11, 0x22, 0x33, 0x44, 0x55})},
        {"empty", 0x4C, {}, bytes({})},
        // Longer than content: the bytes run on into the rest of data.
        {"L=200", 0x4C, counting(200), bytes(concat({200}, counting(200)))},
        {"L=255", 0x4C, counting(255), bytes(concat({255}, counting(255)))},
    });
}

TEST_F(DecodeTest, RadioNotify) {
    expect_decoded({
        {"normal", 0x50, kNotify, notify(900)},
        {"short", 0x50, {0x04, 0x02, 0x01, 0x00, 0x00, 0x03}, notify(0x300)},
        {"long", 0x50, concat(kNotify, {0xEE, 0xEF}), notify(900)},
    });
}

TEST_F(DecodeTest, RadioPresetsByLength) {
    expect_decoded({
        {"L=26 six", 0x51, preset_payload(26), presets(6, 25)},
        {"L=30 seven", 0x51, preset_payload(30), presets(7, 29)},
        {"L=50 twelve", 0x51, preset_payload(50), presets(12, 49)},
        {"L=31 six", 0x51, preset_payload(31), presets(6, 25)},
        {"L=255 six", 0x51, preset_payload(255), presets(6, 25)},
        {"L=10 six, short", 0x51, preset_payload(10), record<RADIO_PRESET_INFO>([](RADIO_PRESET_INFO &r) {
             r.band = RADIO_BAND_AM2;
             r.preset_freq[0] = 0x01020304;
             r.preset_freq[1] = 0x05060708;
             r.preset_freq[2] = 0x09000000;  // only P9, in the top byte
         })},
        {"empty", 0x51, {}, bytes({})},
    });
}

TEST_F(DecodeTest, RadioParameterBlocksRaw) {
    expect_decoded({
        {"FM empty", 0x52, {}, bytes({})},
        {"FM", 0x52, {9, 8, 7}, bytes({9, 8, 7})},
        {"FM L=255", 0x52, counting(255), bytes(counting(255))},
        {"AM empty", 0x53, {}, bytes({})},
        {"AM", 0x53, {9, 8, 7}, bytes({9, 8, 7})},
        {"AM L=255", 0x53, counting(255), bytes(counting(255))},
    });
}

TEST_F(DecodeTest, RadioStationList) {
    expect_decoded({
        {"two", 0x54, kStationList, am1_stations({900, 1548}, 2)},
        {"none", 0x54, {0x05, 0x00, 0x00, 0x00, 0x03, 0x84}, am1_stations({}, 0)},
        {"short", 0x54, {0x05, 0x02, 0x00, 0x00, 0x03, 0x84, 0x01, 0x02}, am1_stations({900, 0x01020000}, 2)},
        {"long", 0x54, concat(kStationList, {0x00, 0x00, 0x07, 0x00}), am1_stations({900, 1548}, 2)},
    });
}

// More stations announced than station_freq holds: the first 50 are kept
// and station_num says 50, so a handler looping over station_num stays
// inside the record; nothing lands after it.
TEST_F(DecodeTest, RadioStationListCutAt50) {
    expect_decoded({
        {"51 announced and sent", 0x54, numbered_stations(51, 2 + 51 * 4), first_50_numbered_stations()},
        {"255 announced, L=255", 0x54, numbered_stations(255, 255), first_50_numbered_stations()},
    });
}

TEST_F(DecodeTest, RadioStationListPlayState) {
    expect_decoded({
        {"normal", 0x55, {0x00, 0xFF}, list_state(CMD_FM1, RADIO_SCAN_PLAY_END)},
        {"short", 0x55, {0x06}, list_state(CMD_AM2, RADIO_SCAN_PLAY_START)},
        {"long", 0x55, {0x06, 0xFF, 0x01}, list_state(CMD_AM2, RADIO_SCAN_PLAY_END)},
    });
}

}  // namespace
}  // namespace mcu_agent_test
