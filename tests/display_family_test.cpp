// Display, video, camera and Bluetooth family: every request on the wire,
// every message decoded.
#include "family_test_tables.h"

namespace mcu_agent_test {
namespace {

// ---- requests -------------------------------------------------------

// An AVM data record of `size` bytes; content byte i is 0x80 + i.
AVM_DATA_INFO avm_data(uint8_t size) {
    AVM_DATA_INFO info{};
    info.size = size;
    for (std::size_t i = 0; i < sizeof info.content; ++i) info.content[i] = static_cast<uint8_t>(0x80 + i);
    return info;
}

TEST_F(RequestTest, DisplayRequestsSendTheirFrames) {
    expect_frames({
        {MCU_CALL(send_bluetooth_status, (ptr(BLUETOOTH_STATUS_INFO{BLUETOOTH_TYPE_HID_SPP, BLUETOOTH_STATUS_ON}))),
         {0xBA, 0xAB, 0x00, 0x00, 0x90, 0x02, 0x01, 0x01, 0x92}},
        {MCU_CALL(set_video_source, (ptr(VIDEO_SOURCE_INFO{VIDEO_SOURCE_AVM_MENU_PAGE, VIDEO_TYPE_IPHONE5S}))),
         outbound_frame(0xA0, {0x10, 0x13})},
        {MCU_CALL(get_video_source, ()), {0xBA, 0xAB, 0x00, 0x00, 0xA1, 0x00, 0xA1}},
        {MCU_CALL(set_language, (LANGUAGE_ENGLISH)), {0xBA, 0xAB, 0x00, 0x00, 0xA2, 0x01, 0x01, 0xA2}},
        {MCU_CALL(get_language, ()), outbound_frame(0xA3, {})},
        {MCU_CALL(set_ILL_mode, (ILL_MODE_FORCE_NIGHT)), outbound_frame(0xA4, {0x02})},
        {MCU_CALL(get_ILL_mode, ()), outbound_frame(0xA5, {})},
        {MCU_CALL(set_backlight_status, (BACKLIGHT_STATUS_ON)), outbound_frame(0xA6, {0x01})},
        {MCU_CALL(get_backlight_status, ()), outbound_frame(0xA7, {})},
        {MCU_CALL(set_brightness, (200)), outbound_frame(0xA8, {200})},
        {MCU_CALL(get_brightness, ()), outbound_frame(0xA9, {})},
        {MCU_CALL(set_contrast, (7)), outbound_frame(0xAA, {7})},
        {MCU_CALL(get_contrast, ()), outbound_frame(0xAB, {})},
        {MCU_CALL(set_TFT_daynight_mode_info, (ptr(DAYNIGHT_MODE_INFO{SET_CUR_MODE_LEVEL, 5}))),
         {0xBA, 0xAB, 0x00, 0x00, 0xAC, 0x02, 0x02, 0x05, 0xA9}},
        {MCU_CALL(send_AVM_setting_menu_exit, ()), outbound_frame(0xB0, {})},
        {MCU_CALL(set_AVM_setting_info, (ptr(AVM_SETTING_TYPE_INFO{AVM_SETTING_TYPE_CHROMATIC, 9}))),
         outbound_frame(0xB1, {0x06, 0x09})},
        {MCU_CALL(get_AVM_setting_info, ()), outbound_frame(0xB2, {})},
        {MCU_CALL(set_AVM_default_setting, ()), outbound_frame(0xB3, {})},
        {MCU_CALL(set_MHL_pop_type, (MHL_POP_TYPE_INTELLIGENT_BOX)), outbound_frame(0xC0, {0x01})},
        {MCU_CALL(save_avm_data_info, (ptr(avm_data(0)))), {0xBA, 0xAB, 0x00, 0x00, 0xF0, 0x00, 0xF0}},
        {MCU_CALL(save_avm_data_info, (ptr(avm_data(3)))), outbound_frame(0xF0, {0x80, 0x81, 0x82})},
        {MCU_CALL(save_avm_data_info, (ptr(avm_data(128)))), outbound_frame(0xF0, counting(128, 0x80))},
    });
}

// Enumerations travel as their low 8 bits, whatever int a C caller passed.
TEST_F(RequestTest, DisplayEnumerationsTravelAsLow8Bits) {
    EXPECT_EQ(McuAgent_set_ILL_mode(static_cast<ILL_MODE_ID>(0x102)), 8);
    EXPECT_EQ(hex(server_->read_frame().value_or(Bytes{})), hex(outbound_frame(0xA4, {0x02})));
    VIDEO_SOURCE_INFO source{};
    set_raw(source.video_source, 0x1234);
    set_raw(source.video_type, 0xFFFFFF14);
    EXPECT_EQ(McuAgent_set_video_source(&source), 9);
    EXPECT_EQ(hex(server_->read_frame().value_or(Bytes{})), hex(outbound_frame(0xA0, {0x34, 0x14})));
}

TEST_F(RequestTest, DisplayRequestsRefused) {
    expect_refused({
        // More than the content holds would send bytes from past the record.
        {MCU_CALL(save_avm_data_info, (ptr(avm_data(129)))), 0, "size > 128,return \n"},
        {MCU_CALL(save_avm_data_info, (ptr(avm_data(255)))), 0, "size > 128,return \n"},
        {MCU_CALL(save_avm_data_info, (nullptr)), -1, ""},
        {MCU_CALL(send_bluetooth_status, (nullptr)), -1, ""},
        {MCU_CALL(set_video_source, (nullptr)), -1, ""},
        {MCU_CALL(set_TFT_daynight_mode_info, (nullptr)), -1, ""},
        {MCU_CALL(set_AVM_setting_info, (nullptr)), -1, ""},
    });
}

// ---- decoding -------------------------------------------------------

Expected bluetooth(uint32_t type, uint32_t status) {
    return record<BLUETOOTH_STATUS_INFO>([=](BLUETOOTH_STATUS_INFO &r) {
        set_raw(r.type, type);
        set_raw(r.status, status);
    });
}

Expected video(uint32_t source, uint32_t type) {
    return record<VIDEO_SOURCE_INFO>([=](VIDEO_SOURCE_INFO &r) {
        set_raw(r.video_source, source);
        set_raw(r.video_type, type);
    });
}

Expected daynight(uint32_t mode, uint8_t level, uint32_t ill_mode) {
    return record<DAYNIGHT_MODE_SET_INFO>([=](DAYNIGHT_MODE_SET_INFO &r) {
        set_raw(r.daynight_mode, mode);
        r.brightness_level = level;
        set_raw(r.ILL_mode, ill_mode);
    });
}

TEST_F(DecodeTest, DisplayBluetoothStatus) {
    expect_decoded({
        {"normal", 0x90, {0x01, 0x01}, bluetooth(BLUETOOTH_TYPE_HID_SPP, BLUETOOTH_STATUS_ON)},
        {"short", 0x90, {0x02}, bluetooth(BLUETOOTH_TYPE_POWER_SETUP, BLUETOOTH_STATUS_OFF)},
        {"long", 0x90, {0x01, 0x01, 0xFF}, bluetooth(BLUETOOTH_TYPE_HID_SPP, BLUETOOTH_STATUS_ON)},
        // Bytes outside the enumerations are delivered whole.
        {"unlisted values", 0x90, {0xFF, 0x80}, bluetooth(0xFF, 0x80)},
    });
}

TEST_F(DecodeTest, DisplayVideoSource) {
    expect_decoded({
        {"normal", 0xA1, {0x10, 0x13}, video(VIDEO_SOURCE_AVM_MENU_PAGE, VIDEO_TYPE_IPHONE5S)},
        {"short", 0xA1, {0x02}, video(VIDEO_SOURCE_MHL, VIDEO_TYPE_480P)},
        {"long", 0xA1, {0x01, 0x03, 0x44}, video(VIDEO_SOURCE_CAMERA, VIDEO_TYPE_1080P)},
    });
}

TEST_F(DecodeTest, DisplayOneByteReports) {
    expect_decoded(byte_rule_cases("language", 0xA3));
    expect_decoded(byte_rule_cases("ILL mode", 0xA5));
    expect_decoded(byte_rule_cases("backlight", 0xA7));
    expect_decoded(byte_rule_cases("brightness", 0xA9));
    expect_decoded(byte_rule_cases("contrast", 0xAB));
    expect_decoded(byte_rule_cases("MHL signal", 0xC0));
}

TEST_F(DecodeTest, DisplayDaynightMode) {
    expect_decoded({
        {"normal", 0xAC, {0x01, 0x05, 0x02}, daynight(NIGHT_MODE, 5, MANUAL_NIGHT_MODE)},
        {"short", 0xAC, {0x01}, daynight(NIGHT_MODE, 0, AUTO_MODE)},
        {"long", 0xAC, {0x01, 0x05, 0x02, 0x09}, daynight(NIGHT_MODE, 5, MANUAL_NIGHT_MODE)},
    });
}

TEST_F(DecodeTest, DisplayAvmSettingsRaw) {
    expect_decoded({
        {"normal", 0xB2, {0x04, 0x32}, bytes({0x04, 0x32})},
        {"empty", 0xB2, {}, bytes({})},
        {"L=255", 0xB2, counting(255), bytes(counting(255))},
    });
}

TEST_F(DecodeTest, DisplayAvmData) {
    expect_decoded({
        {"normal", 0xF0, {0x11, 0x22, 0x33}, bytes({0x03, 0x11, 0x22, 0x33})},
        {"empty", 0xF0, {}, bytes({})},
        // Longer than content: the bytes run on into the rest of data.
        {"L=200", 0xF0, counting(200), bytes(concat({200}, counting(200)))},
        {"L=255", 0xF0, counting(255), bytes(concat({255}, counting(255)))},
    });
}

}  // namespace
}  // namespace mcu_agent_test
