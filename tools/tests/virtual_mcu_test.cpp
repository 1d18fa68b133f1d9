// virtual_mcu_test.cpp - what the virtual MCU answers: every get request
// with its paired message built from the state, set requests changing what
// the gets report, and the requests that move the state on (tuning, volume
// steps, HVAC keys, the clock).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "description.h"
#include "state.h"
#include "tool_test_support.h"
#include "virtual_mcu.h"

namespace {

using mcu_sim::Outgoing;
using mcu_sim::Reaction;
using mcu_sim::State;
using mcu_sim::VirtualMcu;
using mcu_tools_test::command_id;
using mcu_tools_test::message_id;
using mcu_tools_test::message_words;
using mcu_tools_test::request_payload;

class VirtualMcuTest : public testing::Test {
protected:
    VirtualMcuTest() {
        state_.set_time_source([this] { return now_ms_; });
        std::string error;
        EXPECT_TRUE(state_.set("rtc.time", "2024-06-15 13:45:30", &error)) << error;
        mcu_ = std::make_unique<VirtualMcu>(state_);
    }

    Reaction ask(const std::string &command, const std::string &words = "") {
        return mcu_->handle(command_id(command), request_payload(command, words));
    }
    // The words of the only frame the request answers with.
    std::string answer(const std::string &command, const std::string &words = "") {
        const Reaction r = ask(command, words);
        if (r.frames.size() != 1) return "(" + std::to_string(r.frames.size()) + " frames)";
        return mcu_protocol::find_message(r.frames[0].id)->name + std::string(" ") +
               message_words(r.frames[0].id, r.frames[0].payload);
    }
    static std::vector<std::string> words(const Reaction &r) {
        std::vector<std::string> out;
        for (const Outgoing &f : r.frames)
            out.push_back(mcu_protocol::find_message(f.id)->name + std::string(" ") + message_words(f.id, f.payload));
        return out;
    }

    int64_t now_ms_ = 1000;
    State state_;
    std::unique_ptr<VirtualMcu> mcu_;
};

// Every get request of the description is answered, with the message of
// its number, in a payload that the description reads without a problem.
TEST_F(VirtualMcuTest, EveryGetRequestIsAnsweredWithItsPairedMessage) {
    int answered = 0;
    for (const mcu_protocol::Command &c : mcu_protocol::commands()) {
        if (c.answer < 0) continue;
        const std::string args = c.id == command_id("MCU_CMD_GET_RADIO_PRESET_INFO")    ? "band=RADIO_BAND_FM1"
                                 : c.id == command_id("MCU_CMD_GET_PLAYER_RESUME_INFO") ? "length=8"
                                                                                         : "";
        const Reaction r = ask(c.name, args);
        ASSERT_EQ(r.frames.size(), 1u) << c.name;
        EXPECT_EQ(r.frames[0].id, c.answer) << c.name;
        const mcu_protocol::Message *m = mcu_protocol::find_message(r.frames[0].id);
        const mcu_protocol::Layout *l =
            mcu_protocol::select_layout(m->layouts, r.frames[0].payload.data(), r.frames[0].payload.size());
        ASSERT_NE(l, nullptr) << c.name;
        EXPECT_EQ(mcu_protocol::check_length(
                      *l, mcu_protocol::decode(*l, r.frames[0].payload.data(), r.frames[0].payload.size()),
                      r.frames[0].payload.size()),
                  "")
            << c.name;
        ++answered;
    }
    EXPECT_EQ(answered, 24);
    // The sync request has no message; the day/night level is asked for
    // through its set command.
    EXPECT_TRUE(ask("MCU_CMD_GET_SYNC").frames.empty());
    EXPECT_EQ(answer("MCU_CMD_SET_TFT_DAYNIGHTMODE", "level=GET_CUR_MODE_LEVEL"),
              "MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO daynight_mode=DAY_MODE brightness_level=5 ILL_mode=AUTO_MODE");
}

struct AnswerRow {
    const char *request;
    const char *args;
    const char *answer;
};

TEST_F(VirtualMcuTest, AnswersCarryTheDefaultState) {
    const AnswerRow rows[] = {
        {"MCU_CMD_GET_VERSION_INFO", "",
         "MCU_MSG_RET_MB_VERSION MB_version=258 MB_checksum=4660 CD_version=\"CD001\" Panel_version=7 "
         "AVM_version=256 AVM_Vin=56494E303031"},
        {"MCU_CMD_GET_AUDIO_POWER", "",
         "MCU_MSG_RET_CUR_AUDIO_POWER_STATUS power_status=POWER_STATUS_ON power_mode=POWER_MODE_USER_ON"},
        {"MCU_CMD_GET_RTC_CLOCK", "",
         "MCU_MSG_RET_RTC_CLOCK_INFO rtc_mode=RTC_MODE_24HOURS hours=13 minutes=45 seconds=30 year=2024 month=6 "
         "date=15"},
        {"MCU_CMD_GET_SETUP_PARAM_INFO", "", "MCU_MSG_RET_SETUP_PARAM_INFO size=8 param_info=0102030405060708"},
        {"MCU_CMD_GET_AUDIO_SOURCE", "", "MCU_MSG_RET_CUR_AUDIO_SOURCE audio_source=AUDIO_SOURCE_FM1"},
        {"MCU_CMD_GET_AUDIO_SETTING_INFO", "", "MCU_MSG_RET_AUDIO_SETTING_INFO settings=0F070707070700"},
        {"MCU_CMD_GET_AUDIO_AUX_GAIN", "", "MCU_MSG_RET_AUDIO_AUX_GAIN_MODE level=AUDIO_AUX_GAIN_MID"},
        {"MCU_CMD_GET_AUDIO_BEEP", "", "MCU_MSG_RET_AUDIO_BEEP_STATUS status=BEEP_STATUS_ON"},
        {"MCU_CMD_GET_AUDIO_SPEED_VOLUME", "", "MCU_MSG_RET_AUDIO_SPEED_VOLUME_MODE level=AUDIO_SPEED_VOLUME_LEVEL2"},
        {"MCU_CMD_GET_AUDIO_SPEED", "", "MCU_MSG_RET_AUDIO_SPEED speed=0"},
        {"MCU_CMD_GET_MAIN_DRIVER_ANSWER_STATUS", "",
         "MCU_MSG_RET_MAIN_ANSWER_STATUS status=MAIN_DRIVER_ANSWER_STATUS_OFF"},
        {"MCU_CMD_GET_AUX_PLUG_STATUS", "", "MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS type=AUX status=0"},
        {"MCU_CMD_GET_AUDIO_FUNCTION_SWITCH_INFO", "", "MCU_MSG_RET_ARKAMYS_FUNC_SW status=FLAT_OFF"},
        {"MCU_CMD_GET_RADIO_NOTIFY", "",
         "MCU_MSG_RET_RADIO_NOTIFY band=RADIO_BAND_FM1 preset_num=3 status=RADIO_STATUS_NORMAL cur_freq=9810"},
        {"MCU_CMD_GET_RADIO_PRESET_INFO", "band=RADIO_BAND_AM1",
         "MCU_MSG_RET_RADIO_PRESET_INFO band=RADIO_BAND_AM1 preset_freq=[531,603,999,1143,1404,1602] preset_num=0"},
        {"MCU_CMD_GET_IGN_ON_OFF_STATUS", "", "MCU_MSG_RET_IGN_ON_OFF_STATUS ignition=1"},
        {"MCU_CMD_GET_PLAYER_RESUME_INFO", "address_offset=16 length=2",
         "MCU_MSG_RET_COREBOARD_RESUME_INFO address_offset=16 length=2 data=0000"},
        {"MCU_CMD_GET_VIDEO_SOURCE", "",
         "MCU_MSG_RET_TFT_VIDEO_SOURCE video_source=VIDEO_SOURCE_NAVI video_type=VIDEO_TYPE_720P"},
        {"MCU_CMD_GET_TFT_LANGUAGE", "", "MCU_MSG_RET_TFT_LANGUAGE language=LANGUAGE_ENGLISH"},
        {"MCU_CMD_GET_TFT_ILL_MODE", "", "MCU_MSG_RET_TFT_ILL_MODE mode=ILL_MODE_AUTO"},
        {"MCU_CMD_GET_TFT_BACKLIGHT_STATUS", "", "MCU_MSG_RET_TFT_BACKLIGHT_STATUS status=BACKLIGHT_STATUS_ON"},
        {"MCU_CMD_GET_TFT_BRIGHTNESS", "", "MCU_MSG_RET_TFT_BRIGHTNESS_STATUS brightness=8"},
        {"MCU_CMD_GET_TFT_CONTRAST", "", "MCU_MSG_RET_TFT_CONTRAST_STATUS contrast=8"},
        {"MCU_CMD_GET_AVM_SETTING_INFO", "", "MCU_MSG_RET_AVM_SETTING_INFO settings=01010100050505"},
    };
    for (const AnswerRow &row : rows) EXPECT_EQ(answer(row.request, row.args), row.answer) << row.request;
}

struct SetRow {
    const char *set;
    const char *set_args;
    const char *get;
    const char *get_args;
    const char *answer;
};

TEST_F(VirtualMcuTest, SetRequestsChangeWhatGetRequestsReport) {
    const SetRow rows[] = {
        {"MCU_CMD_SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_AUX", "MCU_CMD_GET_AUDIO_SOURCE", "",
         "MCU_MSG_RET_CUR_AUDIO_SOURCE audio_source=AUDIO_SOURCE_AUX"},
        {"MCU_CMD_SET_AUDIO_POWER", "status=POWER_STATUS_OFF", "MCU_CMD_GET_AUDIO_POWER", "",
         "MCU_MSG_RET_CUR_AUDIO_POWER_STATUS power_status=POWER_STATUS_OFF power_mode=POWER_MODE_USER_ON"},
        {"MCU_CMD_SET_AUDIO_SETTING_INFO", "type=AUDIO_SETTING_EQ value=3", "MCU_CMD_GET_AUDIO_SETTING_INFO", "",
         "MCU_MSG_RET_AUDIO_SETTING_INFO settings=0F070707070703"},
        {"MCU_CMD_SET_AUDIO_AUX_GAIN", "level=AUDIO_AUX_GAIN_OFF", "MCU_CMD_GET_AUDIO_AUX_GAIN", "",
         "MCU_MSG_RET_AUDIO_AUX_GAIN_MODE level=AUDIO_AUX_GAIN_OFF"},
        {"MCU_CMD_SET_AUDIO_BEEP", "status=BEEP_STATUS_OFF", "MCU_CMD_GET_AUDIO_BEEP", "",
         "MCU_MSG_RET_AUDIO_BEEP_STATUS status=BEEP_STATUS_OFF"},
        {"MCU_CMD_SET_AUDIO_SPEED_VOLUME", "level=AUDIO_SPEED_VOLUME_LEVEL5", "MCU_CMD_GET_AUDIO_SPEED_VOLUME", "",
         "MCU_MSG_RET_AUDIO_SPEED_VOLUME_MODE level=AUDIO_SPEED_VOLUME_LEVEL5"},
        {"MCU_CMD_SET_MAIN_DRIVER_ANSWER_STATUS", "status=MAIN_DRIVER_ANSWER_STATUS_ON",
         "MCU_CMD_GET_MAIN_DRIVER_ANSWER_STATUS", "", "MCU_MSG_RET_MAIN_ANSWER_STATUS status=MAIN_DRIVER_ANSWER_STATUS_ON"},
        {"MCU_CMD_SET_AUDIO_FUNCTION_SWITCH_INFO", "status=FLAT_ON", "MCU_CMD_GET_AUDIO_FUNCTION_SWITCH_INFO", "",
         "MCU_MSG_RET_ARKAMYS_FUNC_SW status=FLAT_ON"},
        {"MCU_CMD_SET_SETUP_PARAM_INFO", "param_info=AABB", "MCU_CMD_GET_SETUP_PARAM_INFO", "",
         "MCU_MSG_RET_SETUP_PARAM_INFO size=2 param_info=AABB"},
        {"MCU_CMD_SET_PLAYER_RESUME_INFO", "address_offset=100 data=010203", "MCU_CMD_GET_PLAYER_RESUME_INFO",
         "address_offset=99 length=5", "MCU_MSG_RET_COREBOARD_RESUME_INFO address_offset=99 length=5 data=0001020300"},
        {"MCU_CMD_SET_RTC_CLOCK", "mode=RTC_MODE_12HOURS", "MCU_CMD_GET_RTC_CLOCK", "",
         "MCU_MSG_RET_RTC_CLOCK_INFO rtc_mode=RTC_MODE_12HOURS hours=13 minutes=45 seconds=30 year=2024 month=6 date=15"},
        {"MCU_CMD_SET_RTC_CLOCK", "hours=8 minutes=0 seconds=5 year=2025 month=1 date=2", "MCU_CMD_GET_RTC_CLOCK", "",
         "MCU_MSG_RET_RTC_CLOCK_INFO rtc_mode=RTC_MODE_12HOURS hours=8 minutes=0 seconds=5 year=2025 month=1 date=2"},
        // A date that does not exist leaves the clock alone.
        {"MCU_CMD_SET_RTC_CLOCK", "hours=9 year=2025 month=2 date=30", "MCU_CMD_GET_RTC_CLOCK", "",
         "MCU_MSG_RET_RTC_CLOCK_INFO rtc_mode=RTC_MODE_12HOURS hours=8 minutes=0 seconds=5 year=2025 month=1 date=2"},
        {"MCU_CMD_SET_VIDEO_SOURCE", "video_source=VIDEO_SOURCE_MHL video_type=VIDEO_TYPE_1080I",
         "MCU_CMD_GET_VIDEO_SOURCE", "",
         "MCU_MSG_RET_TFT_VIDEO_SOURCE video_source=VIDEO_SOURCE_MHL video_type=VIDEO_TYPE_1080I"},
        {"MCU_CMD_SET_TFT_LANGUAGE", "languege_id=LANGUAGE_CHINESE", "MCU_CMD_GET_TFT_LANGUAGE", "",
         "MCU_MSG_RET_TFT_LANGUAGE language=LANGUAGE_CHINESE"},
        {"MCU_CMD_SET_TFT_ILL_MODE", "mode=ILL_MODE_FORCE_DAY", "MCU_CMD_GET_TFT_ILL_MODE", "",
         "MCU_MSG_RET_TFT_ILL_MODE mode=ILL_MODE_FORCE_DAY"},
        {"MCU_CMD_SET_TFT_BACKLIGHT_STATUS", "status=BACKLIGHT_STATUS_OFF", "MCU_CMD_GET_TFT_BACKLIGHT_STATUS", "",
         "MCU_MSG_RET_TFT_BACKLIGHT_STATUS status=BACKLIGHT_STATUS_OFF"},
        {"MCU_CMD_SET_TFT_BRIGHTNESS", "value=3", "MCU_CMD_GET_TFT_BRIGHTNESS", "",
         "MCU_MSG_RET_TFT_BRIGHTNESS_STATUS brightness=3"},
        {"MCU_CMD_SET_TFT_CONTRAST", "value=12", "MCU_CMD_GET_TFT_CONTRAST", "",
         "MCU_MSG_RET_TFT_CONTRAST_STATUS contrast=12"},
        {"MCU_CMD_SET_AVM_SETTING_INFO", "type=AVM_SETTING_TYPE_CONTRAST value=9", "MCU_CMD_GET_AVM_SETTING_INFO", "",
         "MCU_MSG_RET_AVM_SETTING_INFO settings=01010100050905"},
        {"MCU_CMD_SET_AVM_DEFAULT_SETTING", "", "MCU_CMD_GET_AVM_SETTING_INFO", "",
         "MCU_MSG_RET_AVM_SETTING_INFO settings=01010100050505"},
        {"MCU_CMD_SET_RADIO_FREQ", "freq=10110", "MCU_CMD_GET_RADIO_NOTIFY", "",
         "MCU_MSG_RET_RADIO_NOTIFY band=RADIO_BAND_FM1 preset_num=4 status=RADIO_STATUS_NORMAL cur_freq=10110"},
        {"MCU_CMD_SET_TFT_DAYNIGHTMODE", "level=SET_CUR_MODE_LEVEL value=2", "MCU_CMD_SET_TFT_DAYNIGHTMODE",
         "level=GET_CUR_MODE_LEVEL",
         "MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO daynight_mode=DAY_MODE brightness_level=2 ILL_mode=MANUAL_DAY_MODE"},
    };
    // The rows run in order on one MCU: each sees what the rows above it set.
    for (const SetRow &row : rows) {
        ask(row.set, row.set_args);
        EXPECT_EQ(answer(row.get, row.get_args), row.answer) << row.set << " " << row.set_args;
    }
}

TEST_F(VirtualMcuTest, DefaultSettingRestoresTheInitialStateButNotTheClock) {
    ask("MCU_CMD_SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_CD");
    ask("MCU_CMD_SET_TFT_BRIGHTNESS", "value=1");
    now_ms_ += 5000;
    ask("MCU_CMD_SET_MAINBOARD_DEFAULT_SETTING");
    EXPECT_EQ(answer("MCU_CMD_GET_AUDIO_SOURCE"), "MCU_MSG_RET_CUR_AUDIO_SOURCE audio_source=AUDIO_SOURCE_FM1");
    EXPECT_EQ(answer("MCU_CMD_GET_TFT_BRIGHTNESS"), "MCU_MSG_RET_TFT_BRIGHTNESS_STATUS brightness=8");
    EXPECT_NE(answer("MCU_CMD_GET_RTC_CLOCK").find("seconds=35"), std::string::npos);
}

TEST_F(VirtualMcuTest, TheClockKeepsRunning) {
    now_ms_ += 61 * 1000 + 999;
    EXPECT_EQ(answer("MCU_CMD_GET_RTC_CLOCK"),
              "MCU_MSG_RET_RTC_CLOCK_INFO rtc_mode=RTC_MODE_24HOURS hours=13 minutes=46 seconds=31 year=2024 month=6 "
              "date=15");
    now_ms_ += 24 * 3600 * 1000;
    EXPECT_NE(answer("MCU_CMD_GET_RTC_CLOCK").find("date=16"), std::string::npos);
}

struct RadioRow {
    const char *request;
    const char *args;
    std::vector<std::string> notices;  // "status cur_freq preset" of each RADIO_NOTIFY, in order
};

std::vector<std::string> notices(const Reaction &r) {
    std::vector<std::string> out;
    for (const Outgoing &f : r.frames) {
        if (f.id != message_id("MCU_MSG_RET_RADIO_NOTIFY")) continue;
        mcu_protocol::Values v =
            mcu_protocol::decode(mcu_protocol::find_message(f.id)->layouts[0], f.payload.data(), f.payload.size());
        out.push_back(std::to_string(mcu_protocol::number_of(v, "band")) + " " +
                      std::to_string(mcu_protocol::number_of(v, "status")) + " " +
                      std::to_string(mcu_protocol::number_of(v, "cur_freq")) + " " +
                      std::to_string(mcu_protocol::number_of(v, "preset_num")));
    }
    return out;
}

// Rows run in order on one tuner: band, status, frequency, preset.
TEST_F(VirtualMcuTest, TuningMovesTheFrequencyAndReportsTheNotice) {
    const RadioRow rows[] = {
        {"MCU_CMD_SET_RADIO_SEEK_UP", "", {"0 1 10110 4", "0 0 10110 4"}},
        {"MCU_CMD_SET_RADIO_SEEK_DOWN", "", {"0 2 9810 3", "0 0 9810 3"}},
        {"MCU_CMD_RADIO_FASTSEEK_DOWN", "", {"0 2 9460 0", "0 0 9460 0"}},
        {"MCU_CMD_SET_RADIO_MANUAL_UP", "", {"0 0 9470 0"}},
        {"MCU_CMD_SET_RADIO_MANUAL_DOWN", "", {"0 0 9460 0"}},
        {"MCU_CMD_SET_RADIO_FREQ", "freq=10800", {"0 0 10800 6"}},
        {"MCU_CMD_SET_RADIO_SEEK_UP", "", {"0 1 8750 1", "0 0 8750 1"}},  // wraps to the lowest station
        {"MCU_CMD_SET_RADIO_MANUAL_DOWN", "", {"0 0 10800 6"}},            // wraps to the band's top
        {"MCU_CMD_SET_RADIO_FREQ", "freq=531", {"0 0 10800 6"}},           // outside FM: not tuned
        {"MCU_CMD_CALL_RADIO_PRESET_NUM", "preset_num=2", {"0 0 9010 2"}},
        {"MCU_CMD_CALL_RADIO_PRESET_NUM", "preset_num=7", {"0 0 9010 2"}},  // no such preset
        {"MCU_CMD_CHANGE_RADIO_BAND", "", {"1 0 8750 1"}},
        {"MCU_CMD_SET_RADIO_BAND_CHANGE_INFO", "band=RADIO_BAND_AM1 preset_num=0 preset_freq=999", {"4 0 999 3"}},
        {"MCU_CMD_SET_RADIO_MANUAL_UP", "", {"4 0 1008 0"}},
        {"MCU_CMD_SET_RADIO_SEEK_UP", "", {"4 1 1143 4", "4 0 1143 4"}},
    };
    for (const RadioRow &row : rows) EXPECT_EQ(notices(ask(row.request, row.args)), row.notices) << row.request << " " << row.args;
}

TEST_F(VirtualMcuTest, PresetsAndStationLists) {
    ask("MCU_CMD_SET_RADIO_FREQ", "freq=9460");
    EXPECT_EQ(words(ask("MCU_CMD_SAVE_RADIO_PRESET_NUM", "preset_num=2")),
              std::vector<std::string>{"MCU_MSG_RET_RADIO_PRESET_INFO band=RADIO_BAND_FM1 "
                                       "preset_freq=[8750,9460,9810,10110,10610,10800] preset_num=2"});
    EXPECT_EQ(words(ask("MCU_CMD_RADIO_STATION_LIST_UPDATE", "cmd=START_LIST_UPDATE")),
              (std::vector<std::string>{
                  "MCU_MSG_RET_CURRADIO_STATION_LIST_INFO band_type=CMD_FM1 play_state=RADIO_SCAN_PLAY_START",
                  "MCU_MSG_RET_RADIO_STATION_LIST_INFO band_type=CMD_FM1 station_num=8 "
                  "station_freq=[8750,9010,9460,9810,10110,10370,10610,10800]",
                  "MCU_MSG_RET_CURRADIO_STATION_LIST_INFO band_type=CMD_FM1 play_state=RADIO_SCAN_PLAY_END"}));
    EXPECT_EQ(answer("MCU_CMD_RADIO_STATION_LIST_UPDATE", "cmd=GET_AM1_STATION_LIST"),
              "MCU_MSG_RET_RADIO_STATION_LIST_INFO band_type=CMD_AM1 station_num=7 "
              "station_freq=[531,603,702,999,1143,1404,1602]");
    // Auto preset store takes the first six stations.
    const Reaction aps = ask("MCU_CMD_SET_RADIO_CTRL", "status=RADIO_CTRL_APS");
    ASSERT_EQ(aps.frames.size(), 3u);
    EXPECT_EQ(words(aps)[1], "MCU_MSG_RET_RADIO_PRESET_INFO band=RADIO_BAND_FM1 "
                             "preset_freq=[8750,9010,9460,9810,10110,10370] preset_num=2");
    EXPECT_EQ(answer("MCU_CMD_SAVE_RADIO_COLLECTED_INFO", "content=0A0B"),
              "MCU_MSG_RET_RADIO_COLLECTED_INFO size=2 content=0A0B");
    const Reaction diag = ask("MCU_CMD_SET_RADIO_DIAGNOSE_INFO", "status=ENTER_RADIO_DIAGNOSE");
    EXPECT_EQ(words(diag), (std::vector<std::string>{"MCU_MSG_RET_RADIO_FM_PARAMETER_INFO parameters=0A141E28",
                                                     "MCU_MSG_RET_RADIO_AM_PARAMETER_INFO parameters=050A0F"}));
}

TEST_F(VirtualMcuTest, VolumeStepsStayInRangeAndReportTheirChannel) {
    const AnswerRow rows[] = {
        {"MCU_CMD_SET_ADJUST_VOLUME", "status=ADJUST_VOLUME_UP",
         "MCU_MSG_RET_AUDIO_VOLUME_INFO audio_type=AUDIO_VOLUME_TYPE volume_values=16"},
        {"MCU_CMD_SET_ABSOLUTELY_VOLUME", "absolutely_volume=SET_MAIN_VOLUME value=40",
         "MCU_MSG_RET_AUDIO_VOLUME_INFO audio_type=AUDIO_VOLUME_TYPE volume_values=40"},
        {"MCU_CMD_SET_ADJUST_VOLUME", "status=ADJUST_VOLUME_UP",
         "MCU_MSG_RET_AUDIO_VOLUME_INFO audio_type=AUDIO_VOLUME_TYPE volume_values=40"},
        {"MCU_CMD_SET_ABSOLUTELY_VOLUME", "absolutely_volume=SET_SMARTPHONE_VOLUME value=30",
         "MCU_MSG_RET_AUDIO_VOLUME_INFO audio_type=AUDIO_SMARTPHONE_VOLUME_TYPE volume_values=30"},
        {"MCU_CMD_SET_ABSOLUTELY_VOLUME", "absolutely_volume=GET_BTHFP_VOLUME value=0",
         "MCU_MSG_RET_AUDIO_VOLUME_INFO audio_type=AUDIO_BT_HFP_VOLUME_TYPE_OFF volume_values=10"},
        {"MCU_CMD_SET_BUTTON_BACKLIGHT_DUTY_CYCLE", "mode=SET_DUTY_CYCLE value=BUTTON_MINUS",
         "MCU_MSG_RET_BUTTON_LIGHT_PWM duty=4"},
    };
    for (const AnswerRow &row : rows) EXPECT_EQ(answer(row.request, row.args), row.answer) << row.args;
    state_.set_number("audio.volume", 0);
    EXPECT_EQ(answer("MCU_CMD_SET_ADJUST_VOLUME", "status=ADJUST_VOLUME_DOWN"),
              "MCU_MSG_RET_AUDIO_VOLUME_INFO audio_type=AUDIO_VOLUME_TYPE volume_values=0");
}

std::string hvac_keys(const std::string &pressed, const std::string &targets = "") {
    std::string words;
    for (const mcu_protocol::Field &f : mcu_protocol::find_command(mcu_agent::MCU_CMD_SEND_HVAC_INFO)->layouts[0].fields) {
        if (!f.enumeration) continue;  // a target, not a key
        const std::string k = f.name;
        words += std::string(k) + "=" + ((" " + pressed + " ").find(" " + std::string(k) + " ") != std::string::npos
                                             ? "HVAC_KEY_STATUS_DOWN "
                                             : "HVAC_KEY_STATUS_UP ");
    }
    return words + targets;
}

TEST_F(VirtualMcuTest, HvacKeyPressesChangeTheClimateAndReportIt) {
    struct Row {
        std::string keys;
        const char *report;
    } rows[] = {
        {hvac_keys("AC"), "AC_on_off=0"},
        {hvac_keys("AC"), "AC_on_off=1"},
        {hvac_keys("touch_panel_letf_tmep_plus"), "left_temp=17 right_temp=16 hvac_key=HVAC_KEY_LEFT_TEM_INCREASED"},
        {hvac_keys("front_panel_right_temp_minus"), "right_temp=15 hvac_key=HVAC_KEY_RIGHT_TEM_DECREASED"},
        {hvac_keys("mode"), "hvac_mode=HVAC_MODE_BLOW_FACE_FEET"},
        {hvac_keys("recirc"), "recirc_on_off=1 fresh_on_off=0"},
        {hvac_keys("", "target_blower_level=7"), "blower_level=7"},
        {hvac_keys("", "touch_panel_target_letf_tmep=31"), "left_temp=31"},
        {hvac_keys("front_panel_blower_plus"), "blower_level=8"},
        {hvac_keys("on_off"), "display_on_off=0 blower_level=0"},
        {hvac_keys("on_off"), "display_on_off=1 blower_level=8"},
        // A zero-filled record holds every key down: nothing changes.
        {"target_blower_level=0", "blower_level=8 left_temp=31 right_temp=15 hvac_key=HVAC_KEY_NULL"},
    };
    for (const Row &row : rows) {
        const std::string got = answer("MCU_CMD_SEND_HVAC_INFO", row.keys);
        EXPECT_NE(got.find(row.report), std::string::npos) << row.keys << "\n got " << got;
        EXPECT_NE(got.find("hvac_status=1"), std::string::npos);
    }
}

TEST_F(VirtualMcuTest, HvacDiagnosisAnswersEveryRequest) {
    EXPECT_EQ(answer("MCU_CMD_SEND_HVAC_DIAG_INFO", "obj=HAVC_DIAG_CTRL_OBJ_MODE_DAMPER_MOTER light_status=0"),
              "MCU_MSG_RET_HVAC_DIAG_INFO status=HVAC_DIAG_STATUS_APPLY_SUCCESS obj=HAVC_DIAG_CTRL_OBJ_MODE_DAMPER_MOTER "
              "code=MODE_DAMPER_MOTER_NO_ERROR key=0?");
    state_.set_number("hvac.diag_fault", 3);
    EXPECT_EQ(answer("MCU_CMD_SEND_HVAC_DIAG_INFO",
                     "request=0x32 obj=HAVC_DIAG_CTRL_OBJ_MODE_DAMPER_MOTER light_status=0"),
              "MCU_MSG_RET_HVAC_DIAG_INFO status=HVAC_DIAG_STATUS_DONE_EXECUTION obj=HAVC_DIAG_CTRL_OBJ_MODE_DAMPER_MOTER "
              "code=MODE_DAMPER_MOTER_STALLING key=196608?");
    // The key object carries the key map where other objects carry the
    // fault number.
    state_.set_number("hvac.diag_key", 0x3FFFFD);
    EXPECT_EQ(answer("MCU_CMD_SEND_HVAC_DIAG_INFO", "request=0x32 obj=HAVC_DIAG_CTRL_OBJ_KEY_VALUE light_status=0"),
              "MCU_MSG_RET_HVAC_DIAG_INFO status=HVAC_DIAG_STATUS_DONE_EXECUTION obj=HAVC_DIAG_CTRL_OBJ_KEY_VALUE "
              "code=2111? key=KEY_REDEFROST_PRESS");
    EXPECT_NE(answer("MCU_CMD_SEND_HVAC_DIAG_INFO", "request=0x30").find("HVAC_DIAG_STATUS_NON_EXECUTION"),
              std::string::npos);
}

TEST_F(VirtualMcuTest, CanChannelsEchoUnderTheirOwnNumber) {
    EXPECT_EQ(answer("MCU_CMD_SET_ENHOST_CAN", "data=0102"), "MCU_MSG_RET_ENHOST_CAN size=2 data=0102");
    EXPECT_EQ(answer("MCU_CMD_SET_FCC_CAN", "subid=5"), "MCU_MSG_RET_FCC_CAN size=1 data=05");
    EXPECT_EQ(answer("MCU_CMD_SEND_MCAN_INFO", "data="), "MCU_MSG_RET_MCAN_INFO size=0 data=");
    EXPECT_EQ(mcu_protocol::hex(state_.bytes("can.host")), "0102");
    EXPECT_EQ(answer("MCU_CMD_SET_AVM_DATA_INFO", "content=C0FFEE"), "MCU_MSG_RET_AVM_DATA_INFO size=3 content=C0FFEE");
}

TEST_F(VirtualMcuTest, TheVersionReportIsKept) {
    ask("MCU_CMD_RET_VERSION_INFO", "type=VERSION_TYPE_BT version_buffer=\"bt-2.1\"");
    std::string v;
    ASSERT_TRUE(state_.get("app.version.bt", &v));
    EXPECT_EQ(v, "bt-2.1");
}

TEST_F(VirtualMcuTest, BuildAppliesOverridesToTheState) {
    Outgoing out;
    std::string error;
    ASSERT_TRUE(mcu_->build(message_id("MCU_MSG_RET_RADIO_STATION_LIST_INFO"),
                            {mcu_protocol::numbers_value("station_freq", {1, 2})}, &out, &error))
        << error;
    EXPECT_EQ(message_words(out.id, out.payload), "band_type=CMD_FM1 station_num=2 station_freq=[1,2]");
    ASSERT_TRUE(mcu_->build(message_id("MCU_MSG_RET_HARD_KEY"), {}, &out, &error)) << error;
    EXPECT_EQ(message_words(out.id, out.payload), "key=0?");
    EXPECT_FALSE(mcu_->build(message_id("MCU_MSG_RET_HVAC_INFO"), {mcu_protocol::number_value("blower_level", 99)},
                             &out, &error));
}

}  // namespace
