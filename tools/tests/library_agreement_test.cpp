// library_agreement_test.cpp - the protocol description against the
// library itself.  Every request function's frame, caught on the agent
// socket, reads through the description as the arguments it was called
// with; every message encoded through the description decodes in the
// library into the record the description promises; and the two agree on
// which ids exist and how long payloads may be.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <sstream>

#include "agent_server.h"
#include "codec.h"
#include "delivery.h"
#include "description.h"
#include "mcu_agent_api.h"
#include "tool_test_support.h"
#include "words.h"

namespace {

using namespace mcu_protocol;

class LibraryAgreement : public testing::Test {
protected:
    void SetUp() override {
        mcu_agent_test::capture_stdout(
            [] { ASSERT_NE(McuAgent_client_init(mcu_agent_test::record_every_id()), nullptr); });
        ASSERT_TRUE(server_.accept_client());
    }
    mcu_agent_test::AgentServer server_;
};

template <typename Record>
Record *ptr(Record &&record) {
    return &record;
}

HVAC_STATUS hvac_keys_up() {
    HVAC_STATUS s;
    std::memset(&s, 0, sizeof s);
    for (HVAC_KEY_STATUS_ID *k : {&s.maxAC, &s.AC, &s.recirc, &s.fresh, &s.defrost, &s.mode,
                                   &s.front_panel_left_temp_minus, &s.front_panel_letf_tmep_plus,
                                   &s.front_panel_blower_minus, &s.front_panel_blower_plus, &s.touch_panel_blower_minus,
                                   &s.touch_panel_blower_plus, &s.dual, &s.on_off, &s.redefrost,
                                   &s.front_panel_right_temp_minus, &s.front_panel_right_tmep_plus,
                                   &s.touch_panel_left_temp_minus, &s.touch_panel_letf_tmep_plus,
                                   &s.touch_panel_right_temp_minus, &s.touch_panel_right_tmep_plus})
        *k = HVAC_KEY_STATUS_UP;
    return s;
}

struct RequestRow {
    const char *call;
    std::function<int()> run;
    const char *command;
    const char *arguments;  // every field of the frame, in words
};

#define ROW(call, command, arguments) {#call, [] { return call; }, command, arguments}

const std::vector<RequestRow> &request_rows() {
    static const std::vector<RequestRow> rows = {
        // system, power, keys and clock
        ROW(McuAgent_hmi_startup(), "MCU_CMD_HMI_STARTUP", ""),
        ROW(McuAgent_navi_startup(), "MCU_CMD_NAVI_STARTUP", ""),
        ROW(McuAgent_get_sync_info(), "MCU_CMD_GET_SYNC", ""),
        ROW(McuAgent_get_mainboard_version_info(), "MCU_CMD_GET_VERSION_INFO", ""),
        ROW(McuAgent_set_hard_key(HARD_KEY_TUNE_PUSH), "MCU_CMD_SET_HARD_KEY", "key=HARD_KEY_TUNE_PUSH"),
        ROW(McuAgent_set_touch(ptr(TOUCH_INFO{800, 480, TOUCH_TYPE_UP})), "MCU_CMD_SET_TOUCH",
            "x=800 y=480 type=TOUCH_TYPE_UP"),
        ROW(McuAgent_set_engineer_mode(ENGINEER_MODE_ENTRY), "MCU_CMD_SET_ENGINEER_MODE", "status=ENGINEER_MODE_ENTRY"),
        ROW(McuAgent_beep_tone(BEEP_TONE_ERROR), "MCU_CMD_SET_BEEP_TONE", "status=BEEP_TONE_ERROR"),
        ROW(McuAgent_poweroff_timer_disp(DISP_STATUS_ON), "MCU_CMD_SET_POWEROFF_TIMER_DISP", "status=DISP_STATUS_ON"),
        ROW(McuAgent_set_screen_save_mode(static_cast<SCREEN_SAVE_MODE_ID>(3)), "MCU_CMD_SET_SCREEN_SAVE_MODE",
            "mode=3"),
        ROW(McuAgent_send_alive(HEARTBEAT_ON), "MCU_CMD_RET_ALIVE", "status=HEARTBEAT_ON"),
        ROW(McuAgent_send_version_info(ptr(VERSION_INFO{VERSION_TYPE_BT, "V1.2", 4})), "MCU_CMD_RET_VERSION_INFO",
            "type=VERSION_TYPE_BT version_buffer=\"V1.2\""),
        ROW(McuAgent_set_audio_power(POWER_STATUS_OFF), "MCU_CMD_SET_AUDIO_POWER", "status=POWER_STATUS_OFF"),
        ROW(McuAgent_get_audio_power(), "MCU_CMD_GET_AUDIO_POWER", ""),
        ROW(McuAgent_set_rtc_mode(RTC_MODE_12HOURS), "MCU_CMD_SET_RTC_CLOCK", "mode=RTC_MODE_12HOURS"),
        ROW(McuAgent_set_rct_clock(ptr(CLOCK_MSG{13, 45, 30, 2024, 6, 15})), "MCU_CMD_SET_RTC_CLOCK",
            "mode=RTC_MODE_SET_CLOCK hours=13 minutes=45 seconds=30 year=2024 month=6 date=15"),
        ROW(McuAgent_get_rct_clock(), "MCU_CMD_GET_RTC_CLOCK", ""),
        ROW(McuAgent_set_button_backlight_duty_cycle(ptr(BUTTON_DUTY_INFO{SET_DUTY_CYCLE, BUTTON_MINUS})),
            "MCU_CMD_SET_BUTTON_BACKLIGHT_DUTY_CYCLE", "mode=SET_DUTY_CYCLE value=BUTTON_MINUS"),
        ROW(McuAgent_set_usb_power(200), "MCU_CMD_SET_USB_POWER", "time_ms=200"),
        ROW(McuAgent_set_setup_param_info(ptr(SETUP_PARAM_INFO{3, {1, 2, 3}})), "MCU_CMD_SET_SETUP_PARAM_INFO",
            "param_info=010203"),
        ROW(McuAgent_get_setup_param_info(), "MCU_CMD_GET_SETUP_PARAM_INFO", ""),
        ROW(McuAgent_get_ign_on_off_status(), "MCU_CMD_GET_IGN_ON_OFF_STATUS", ""),
        ROW(McuAgent_set_coreboard_resume_info(ptr(COREBOARD_RESUME_INFO{0x10, 3, {1, 2, 3}})),
            "MCU_CMD_SET_PLAYER_RESUME_INFO", "address_offset=16 length=3 data=010203"),
        ROW(McuAgent_get_coreboard_resume_info(0x0100, 0x0040), "MCU_CMD_GET_PLAYER_RESUME_INFO",
            "address_offset=256 length=64"),
        ROW(McuAgent_update_mainboard_firmware(UPDATE_TYPE_MD), "MCU_CMD_UPDATE_MAINBOARD_FIRMWARE",
            "type=UPDATE_TYPE_MD"),
        ROW(McuAgent_set_coreboard_restart(), "MCU_CMD_SET_CORE_BOARD_RESTART", ""),
        ROW(McuAgent_set_mainboard_default_setting(), "MCU_CMD_SET_MAINBOARD_DEFAULT_SETTING", ""),
        // audio
        ROW(McuAgent_set_audio_source(AUDIO_SOURCE_NAVIGATION_I2S), "MCU_CMD_SET_AUDIO_SOURCE",
            "audio_source=AUDIO_SOURCE_NAVIGATION_I2S"),
        ROW(McuAgent_get_audio_source(), "MCU_CMD_GET_AUDIO_SOURCE", ""),
        ROW(McuAgent_set_audio_setting_info(ptr(AUDIO_SETTING_TYPE_INFO{AUDIO_SETTING_TRE, 12})),
            "MCU_CMD_SET_AUDIO_SETTING_INFO", "type=AUDIO_SETTING_TRE value=12"),
        ROW(McuAgent_get_audio_setting_info(), "MCU_CMD_GET_AUDIO_SETTING_INFO", ""),
        ROW(McuAgent_set_audio_aux_gain(AUDIO_AUX_GAIN_HIGH), "MCU_CMD_SET_AUDIO_AUX_GAIN", "level=AUDIO_AUX_GAIN_HIGH"),
        ROW(McuAgent_get_audio_aux_gain(), "MCU_CMD_GET_AUDIO_AUX_GAIN", ""),
        ROW(McuAgent_set_audio_beep(BEEP_STATUS_ON), "MCU_CMD_SET_AUDIO_BEEP", "status=BEEP_STATUS_ON"),
        ROW(McuAgent_get_audio_beep(), "MCU_CMD_GET_AUDIO_BEEP", ""),
        ROW(McuAgent_set_audio_speed_volume(AUDIO_SPEED_VOLUME_LEVEL5), "MCU_CMD_SET_AUDIO_SPEED_VOLUME",
            "level=AUDIO_SPEED_VOLUME_LEVEL5"),
        ROW(McuAgent_get_audio_speed_volume(), "MCU_CMD_GET_AUDIO_SPEED_VOLUME", ""),
        ROW(McuAgent_get_audio_speed(), "MCU_CMD_GET_AUDIO_SPEED", ""),
        ROW(McuAgent_set_audio_navi_mix_status(ptr(NAVIGATION_BROADCAST_ID{SIRI_MIX_STATUS_START, NAVI_TYPE_CARPLAY})),
            "MCU_CMD_SET_AUDIO_NAVI_MIX_STATUS",
            "navigation_broadcast=SIRI_MIX_STATUS_START navigation_type=NAVI_TYPE_CARPLAY"),
        ROW(McuAgent_set_main_driver_answer_status(MAIN_DRIVER_ANSWER_STATUS_ON),
            "MCU_CMD_SET_MAIN_DRIVER_ANSWER_STATUS", "status=MAIN_DRIVER_ANSWER_STATUS_ON"),
        ROW(McuAgent_get_main_driver_answer_status(), "MCU_CMD_GET_MAIN_DRIVER_ANSWER_STATUS", ""),
        ROW(McuAgent_get_aux_plug_status(), "MCU_CMD_GET_AUX_PLUG_STATUS", ""),
        ROW(McuAgent_set_adjust_volume(ADJUST_VOLUME_DOWN), "MCU_CMD_SET_ADJUST_VOLUME", "status=ADJUST_VOLUME_DOWN"),
        ROW(McuAgent_set_absolutely_volume(ptr(ABSOLUTELY_VOLUME{SET_BTHFP_VOLUME, 20})), "MCU_CMD_SET_ABSOLUTELY_VOLUME",
            "absolutely_volume=SET_BTHFP_VOLUME value=20"),
        ROW(McuAgent_set_audio_function_switch(FLAT_ON), "MCU_CMD_SET_AUDIO_FUNCTION_SWITCH_INFO", "status=FLAT_ON"),
        ROW(McuAgent_get_audio_function_switch(), "MCU_CMD_GET_AUDIO_FUNCTION_SWITCH_INFO", ""),
        ROW(McuAgent_send_player_play_skip_status(MUTE), "MCU_CMD_RET_PLAYER_PLAY_SKIP_STATUS", "status=MUTE"),
        ROW(McuAgent_set_record_play_state(RECORD_START), "MCU_CMD_SET_RECORD_PLAY_STATE", "status=RECORD_START"),
        ROW(McuAgent_set_speaker_diag(BEEP_STOP), "MCU_CMD_SET_SPEAKER_DIAG", "freq=BEEP_STOP"),
        // radio tuner
        ROW(McuAgent_set_radio_freq(10800), "MCU_CMD_SET_RADIO_FREQ", "freq=10800"),
        ROW(McuAgent_set_radio_seek_up(), "MCU_CMD_SET_RADIO_SEEK_UP", ""),
        ROW(McuAgent_set_radio_seek_down(), "MCU_CMD_SET_RADIO_SEEK_DOWN", ""),
        ROW(McuAgent_set_radio_manual_up(), "MCU_CMD_SET_RADIO_MANUAL_UP", ""),
        ROW(McuAgent_set_radio_manual_down(), "MCU_CMD_SET_RADIO_MANUAL_DOWN", ""),
        ROW(McuAgent_set_radio_ctrl(RADIO_CTRL_SCAN), "MCU_CMD_SET_RADIO_CTRL", "status=RADIO_CTRL_SCAN"),
        ROW(McuAgent_call_radio_preset_num(3), "MCU_CMD_CALL_RADIO_PRESET_NUM", "preset_num=3"),
        ROW(McuAgent_save_radio_preset_num(5), "MCU_CMD_SAVE_RADIO_PRESET_NUM", "preset_num=5"),
        ROW(McuAgent_change_radio_band(), "MCU_CMD_CHANGE_RADIO_BAND", ""),
        ROW(McuAgent_radio_fastseek_up(), "MCU_CMD_RADIO_FASTSEEK_UP", ""),
        ROW(McuAgent_radio_fastseek_down(), "MCU_CMD_RADIO_FASTSEEK_DOWN", ""),
        ROW(McuAgent_save_radio_collected_info(ptr(RADIO_COLLECTED_INFO{3, {9, 8, 7}})),
            "MCU_CMD_SAVE_RADIO_COLLECTED_INFO", "content=090807"),
        ROW(McuAgent_radio_list_update(GET_AM1_STATION_LIST), "MCU_CMD_RADIO_STATION_LIST_UPDATE",
            "cmd=GET_AM1_STATION_LIST"),
        ROW(McuAgent_get_radio_notify(), "MCU_CMD_GET_RADIO_NOTIFY", ""),
        ROW(McuAgent_get_radio_preset_info(RADIO_BAND_AM2), "MCU_CMD_GET_RADIO_PRESET_INFO", "band=RADIO_BAND_AM2"),
        // Bits 16 to 31 of preset_freq do not travel.
        ROW(McuAgent_set_radio_band_change_info(ptr(RADIO_BAND_CHANGE_INFO{RADIO_RIGHT, RADIO_BAND_AM1, 3, 0x10384})),
            "MCU_CMD_SET_RADIO_BAND_CHANGE_INFO",
            "radio_direction=RADIO_RIGHT band=RADIO_BAND_AM1 preset_num=3 preset_freq=900"),
        ROW(McuAgent_set_radio_stop_conditions_info(ptr(RADIO_STOP_CONDITIONS_INFO{AM_SET_LEVEL, MINUS})),
            "MCU_CMD_SET_RADIO_STOP_CONDITIONS_INFO", "cmd_info=AM_SET_LEVEL option_info=MINUS"),
        ROW(McuAgent_set_radio_diagnose_info(EXIT_RADIO_DIAGNOSE), "MCU_CMD_SET_RADIO_DIAGNOSE_INFO",
            "status=EXIT_RADIO_DIAGNOSE"),
        ROW(McuAgent_set_radio_curband_info(CMD_AM2), "MCU_CMD_SET_RADIO_CURBAND_INFO", "status=CMD_AM2"),
        // display, video, camera and Bluetooth
        ROW(McuAgent_send_bluetooth_status(ptr(BLUETOOTH_STATUS_INFO{BLUETOOTH_TYPE_HID_SPP, BLUETOOTH_STATUS_ON})),
            "MCU_CMD_RET_BLUETOOTH_STATUS", "type=BLUETOOTH_TYPE_HID_SPP status=BLUETOOTH_STATUS_ON"),
        ROW(McuAgent_set_video_source(ptr(VIDEO_SOURCE_INFO{VIDEO_SOURCE_AVM_MENU_PAGE, VIDEO_TYPE_IPHONE5})),
            "MCU_CMD_SET_VIDEO_SOURCE", "video_source=VIDEO_SOURCE_AVM_MENU_PAGE video_type=VIDEO_TYPE_IPHONE5"),
        ROW(McuAgent_get_video_source(), "MCU_CMD_GET_VIDEO_SOURCE", ""),
        ROW(McuAgent_set_language(LANGUAGE_CHINESE), "MCU_CMD_SET_TFT_LANGUAGE", "languege_id=LANGUAGE_CHINESE"),
        ROW(McuAgent_get_language(), "MCU_CMD_GET_TFT_LANGUAGE", ""),
        ROW(McuAgent_set_ILL_mode(ILL_MODE_FORCE_NIGHT), "MCU_CMD_SET_TFT_ILL_MODE", "mode=ILL_MODE_FORCE_NIGHT"),
        ROW(McuAgent_get_ILL_mode(), "MCU_CMD_GET_TFT_ILL_MODE", ""),
        ROW(McuAgent_set_backlight_status(BACKLIGHT_STATUS_OFF), "MCU_CMD_SET_TFT_BACKLIGHT_STATUS",
            "status=BACKLIGHT_STATUS_OFF"),
        ROW(McuAgent_get_backlight_status(), "MCU_CMD_GET_TFT_BACKLIGHT_STATUS", ""),
        ROW(McuAgent_set_brightness(9), "MCU_CMD_SET_TFT_BRIGHTNESS", "value=9"),
        ROW(McuAgent_get_brightness(), "MCU_CMD_GET_TFT_BRIGHTNESS", ""),
        ROW(McuAgent_set_contrast(3), "MCU_CMD_SET_TFT_CONTRAST", "value=3"),
        ROW(McuAgent_get_contrast(), "MCU_CMD_GET_TFT_CONTRAST", ""),
        ROW(McuAgent_set_TFT_daynight_mode_info(ptr(DAYNIGHT_MODE_INFO{GET_CUR_MODE_LEVEL, 0})),
            "MCU_CMD_SET_TFT_DAYNIGHTMODE", "level=GET_CUR_MODE_LEVEL value=0"),
        ROW(McuAgent_send_AVM_setting_menu_exit(), "MCU_CMD_EXIT_AVM_SETTING_MENU", ""),
        ROW(McuAgent_set_AVM_setting_info(ptr(AVM_SETTING_TYPE_INFO{AVM_SETTING_TYPE_CHROMATIC, 4})),
            "MCU_CMD_SET_AVM_SETTING_INFO", "type=AVM_SETTING_TYPE_CHROMATIC value=4"),
        ROW(McuAgent_get_AVM_setting_info(), "MCU_CMD_GET_AVM_SETTING_INFO", ""),
        ROW(McuAgent_set_AVM_default_setting(), "MCU_CMD_SET_AVM_DEFAULT_SETTING", ""),
        ROW(McuAgent_set_MHL_pop_type(MHL_POP_TYPE_INTELLIGENT_BOX), "MCU_CMD_SET_MHL_POP_TYPE",
            "type=MHL_POP_TYPE_INTELLIGENT_BOX"),
        ROW(McuAgent_save_avm_data_info(ptr(AVM_DATA_INFO{2, {0xAB, 0xCD}})), "MCU_CMD_SET_AVM_DATA_INFO",
            "content=ABCD"),
        // vehicle bus and climate control
        ROW(McuAgent_send_mcan_info(ptr(MCAN_DATA_INFO{3, {1, 2, 3}})), "MCU_CMD_SEND_MCAN_INFO", "data=010203"),
        ROW(McuAgent_send_host_can(ptr(MCAN_DATA_INFO{2, {4, 5}})), "MCU_CMD_SET_ENHOST_CAN", "data=0405"),
        ROW(McuAgent_send_fcc_can(ptr(MCAN_DATA_INFO{2, {6, 7}})), "MCU_CMD_SET_FCC_CAN", "data=0607"),
        ROW(McuAgent_send_rcc_can(ptr(MCAN_DATA_INFO{0, {}})), "MCU_CMD_SET_RCC_CAN", "data="),
        ROW(McuAgent_get_can_info(0xF7, 0x05), "MCU_CMD_SET_FCC_CAN", "subid=5"),
        ROW(McuAgent_send_hvac_status([] {
                static HVAC_STATUS s = hvac_keys_up();
                s.AC = HVAC_KEY_STATUS_DOWN;
                s.front_panel_right_tmep_plus = HVAC_KEY_STATUS_DOWN;
                s.target_blower_level = 3;
                s.touch_panel_target_letf_tmep = 20;
                s.touch_panel_target_right_tmep = 31;
                return &s;
            }()),
            "MCU_CMD_SEND_HVAC_INFO",
            "maxAC=HVAC_KEY_STATUS_UP AC=HVAC_KEY_STATUS_DOWN recirc=HVAC_KEY_STATUS_UP fresh=HVAC_KEY_STATUS_UP "
            "defrost=HVAC_KEY_STATUS_UP mode=HVAC_KEY_STATUS_UP front_panel_left_temp_minus=HVAC_KEY_STATUS_UP "
            "front_panel_letf_tmep_plus=HVAC_KEY_STATUS_UP front_panel_blower_minus=HVAC_KEY_STATUS_UP "
            "front_panel_blower_plus=HVAC_KEY_STATUS_UP touch_panel_blower_minus=HVAC_KEY_STATUS_UP "
            "touch_panel_blower_plus=HVAC_KEY_STATUS_UP target_blower_level=3 dual=HVAC_KEY_STATUS_UP "
            "on_off=HVAC_KEY_STATUS_UP redefrost=HVAC_KEY_STATUS_UP front_panel_right_temp_minus=HVAC_KEY_STATUS_UP "
            "front_panel_right_tmep_plus=HVAC_KEY_STATUS_DOWN touch_panel_left_temp_minus=HVAC_KEY_STATUS_UP "
            "touch_panel_letf_tmep_plus=HVAC_KEY_STATUS_UP touch_panel_target_letf_tmep=20 "
            "touch_panel_right_temp_minus=HVAC_KEY_STATUS_UP touch_panel_right_tmep_plus=HVAC_KEY_STATUS_UP "
            "touch_panel_target_right_tmep=31"),
        ROW(McuAgent_send_hvac_diag_entry(ptr(HVAC_DIAG_CTRL_INFO{HAVC_DIAG_CTRL_OBJ_INDICATOR_LIGHT_CHECK, 1, {9, 9}})),
            "MCU_CMD_SEND_HVAC_DIAG_INFO", "request=0x31 obj=HAVC_DIAG_CTRL_OBJ_INDICATOR_LIGHT_CHECK light_status=1"),
        ROW(McuAgent_send_hvac_diag_read_status(ptr(HVAC_DIAG_CTRL_INFO{HAVC_DIAG_CTRL_OBJ_BLOWER_SYS, 0, {}})),
            "MCU_CMD_SEND_HVAC_DIAG_INFO", "request=0x32 obj=HAVC_DIAG_CTRL_OBJ_BLOWER_SYS light_status=0"),
        ROW(McuAgent_send_hvac_diag_exit(), "MCU_CMD_SEND_HVAC_DIAG_INFO", "request=0x30"),
        ROW(McuAgent_send_hvac_diag_unit_test_mode(HVAC_DIAG_CTRL_MODE3), "MCU_CMD_SEND_HVAC_DIAG_INFO",
            "request=0x3A mode=HVAC_DIAG_CTRL_MODE3"),
    };
    return rows;
}

std::vector<std::string> split(const std::string &words) {
    std::istringstream in(words);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

TEST_F(LibraryAgreement, EveryRequestFrameReadsAsTheArgumentsOfItsCall) {
    std::set<uint8_t> seen;
    for (const RequestRow &row : request_rows()) {
        std::string printed;
        int result = 0;
        printed = mcu_agent_test::capture_stdout([&] { result = row.run(); });
        auto frame = server_.read_frame(2000);
        ASSERT_TRUE(frame) << row.call << " sent no frame";
        EXPECT_EQ(result, static_cast<int>(frame->size())) << row.call;

        FrameScanner scanner;
        scanner.feed(frame->data(), frame->size());
        auto piece = scanner.flush();
        ASSERT_TRUE(piece && piece->is_frame) << row.call;
        EXPECT_EQ(app_frame_problems(*piece), std::vector<std::string>{}) << row.call;

        const Command *cmd = find_command(piece->id);
        ASSERT_NE(cmd, nullptr) << row.call;
        EXPECT_STREQ(cmd->name, row.command) << row.call;
        seen.insert(cmd->id);
        const Layout *layout = select_layout(cmd->layouts, piece->payload.data(), piece->payload.size());
        ASSERT_NE(layout, nullptr) << row.call;
        const Values got = decode(*layout, piece->payload.data(), piece->payload.size());

        Values want;
        std::string error;
        ASSERT_TRUE(parse_assignments(cmd->layouts, split(row.arguments), &want, &error)) << row.call << ": " << error;
        EXPECT_EQ(got.size(), want.size()) << row.call << " reads as " << format_values(*layout, got);
        for (std::size_t i = 0; i < got.size(); ++i) {
            const Value *w = find_value(want, got[i].name);
            ASSERT_NE(w, nullptr) << row.call << ": " << got[i].name << " not expected";
            EXPECT_EQ(format_value(layout->fields[i], got[i]), format_value(layout->fields[i], *w))
                << row.call << " " << got[i].name;
        }
    }
    for (const Command &c : commands()) EXPECT_TRUE(seen.count(c.id)) << "no request function sends " << c.name;
}

// The longest payload the description allows goes out; one byte more is
// refused by the library without a frame.
TEST_F(LibraryAgreement, LengthLimitsAgreeWithTheLibrarysGuards) {
    struct Limit {
        const char *command;
        std::function<int(int)> send;  // sends a payload of n bytes
    } limits[] = {
        {"MCU_CMD_RET_VERSION_INFO",
         [](int n) {
             VERSION_INFO v{};
             v.size = static_cast<uint8_t>(n - 1);
             return McuAgent_send_version_info(&v);
         }},
        {"MCU_CMD_SET_SETUP_PARAM_INFO",
         [](int n) {
             SETUP_PARAM_INFO p{};
             p.size = static_cast<uint8_t>(n);
             return McuAgent_set_setup_param_info(&p);
         }},
        {"MCU_CMD_SET_PLAYER_RESUME_INFO",
         [](int n) {
             COREBOARD_RESUME_INFO r{};
             r.length = static_cast<uint16_t>(n - 4);
             return McuAgent_set_coreboard_resume_info(&r);
         }},
        {"MCU_CMD_SAVE_RADIO_COLLECTED_INFO",
         [](int n) {
             RADIO_COLLECTED_INFO c{};
             c.size = static_cast<uint8_t>(n);
             return McuAgent_save_radio_collected_info(&c);
         }},
        {"MCU_CMD_SET_AVM_DATA_INFO",
         [](int n) {
             AVM_DATA_INFO a{};
             a.size = static_cast<uint8_t>(n);
             return McuAgent_save_avm_data_info(&a);
         }},
    };
    for (const Limit &l : limits) {
        const Command *cmd = find_command(l.command);
        ASSERT_NE(cmd, nullptr);
        const int max = cmd->layouts[0].max_length;
        int result = 0;
        mcu_agent_test::capture_stdout([&] { result = l.send(max); });
        EXPECT_EQ(result, max + 7) << l.command;
        auto frame = server_.read_frame(2000);
        ASSERT_TRUE(frame) << l.command;
        EXPECT_EQ(frame->size(), static_cast<std::size_t>(max + 7)) << l.command;
        mcu_agent_test::capture_stdout([&] { result = l.send(max + 1); });
        EXPECT_EQ(result, 0) << l.command << " with " << max + 1 << " bytes";
        EXPECT_TRUE(server_.nothing_arrives(100)) << l.command;
    }
    // The CAN query goes out on the three channels that have one.
    int result = 0;
    mcu_agent_test::capture_stdout([&] { result = McuAgent_get_can_info(0xFD, 5); });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(server_.nothing_arrives(100));
}

// What a handler finds in PACKET_MSG for payloads encoded through the
// description: every field at its record offset, every other byte zero,
// and the size the description states.
TEST_F(LibraryAgreement, EveryMessageDecodesInTheLibraryAsTheDescriptionPromises) {
    std::mt19937 rng(7);
    auto check = [&](const Message &m, const Layout &layout, const Bytes &payload) {
        const Values values = decode(layout, payload.data(), payload.size());
        const RecordImage want = record_image(layout, values);
        PACKET_MSG out;
        mcu_agent_test::capture_stdout([&] { EXPECT_EQ(mcu_agent_test::dispatch_frame(m.id, payload, &out), 0); });
        EXPECT_EQ(static_cast<unsigned>(out.mcu_msg_id), m.id);
        EXPECT_EQ(out.size, packet_size(layout, payload.size())) << m.name << " " << hex(payload);
        EXPECT_EQ(hex(out.data, sizeof out.data), hex(want.data(), want.size()))
            << m.name << " [" << layout.name << "] payload " << hex(payload) << "\n"
            << format_values(layout, values);
    };
    for (const Message &m : messages()) {
        for (const Layout &layout : m.layouts) {
            for (int round = 0; round < 40; ++round) check(m, layout, mcu_tools_test::random_payload(m.layouts, layout, rng));
            // Encoded from values, not bytes: what the virtual MCU sends.
            Bytes encoded;
            std::string error;
            const Bytes sample = mcu_tools_test::random_payload(m.layouts, layout, rng);
            ASSERT_TRUE(encode(layout, decode(layout, sample.data(), sample.size()), &encoded, &error))
                << m.name << ": " << error;
            check(m, layout, encoded);
        }
    }
    // The marker of a climate report without data, and short payloads.
    check(*find_message("MCU_MSG_RET_HVAC_INFO"), find_message("MCU_MSG_RET_HVAC_INFO")->layouts[0],
          Bytes(5, 0xAA));
    check(*find_message("MCU_MSG_RET_HVAC_INFO"), find_message("MCU_MSG_RET_HVAC_INFO")->layouts[0], {0x01, 0x10, 0x50});
    check(*find_message("MCU_MSG_RET_RADIO_NOTIFY"), find_message("MCU_MSG_RET_RADIO_NOTIFY")->layouts[0], {0x04});
}

// The library has a decoding rule for exactly the ids the description
// lists: any other id is copied raw with the "ERROR." line.
TEST_F(LibraryAgreement, TheLibraryDecodesExactlyTheDescribedMessageIds) {
    for (int id = 0; id < 255; ++id) {
        std::string printed = mcu_agent_test::capture_stdout(
            [&] { mcu_agent_test::dispatch_frame(static_cast<uint8_t>(id), {0x01, 0x02}); });
        const bool raw = printed.find("ERROR.") != std::string::npos;
        EXPECT_EQ(raw, find_message(static_cast<uint8_t>(id)) == nullptr) << "id " << id << ": " << printed;
    }
}

}  // namespace
