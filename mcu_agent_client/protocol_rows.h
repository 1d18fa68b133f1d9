// protocol_rows.h - the rows: enumerations, then the payload layouts of
// every command (outbound, what the application sends) and every message
// (inbound, what the agent sends and the decoder turns into a record),
// then the two id tables.  Record offsets are taken from the public
// header's records, so a field's place in PACKET_MSG.data is stated once,
// there.  Included by protocol.cpp (the lookups) and decode.cpp (which
// turns each message's rows into its decoder at compile time); each gets
// its own copy of these constants.
#ifndef MCU_AGENT_PROTOCOL_ROWS_H
#define MCU_AGENT_PROTOCOL_ROWS_H

#include <cstddef>
#include <utility>

#include "protocol.h"

namespace mcu_agent::protocol {

namespace {

#define CMD(id, layouts) Command{id, #id, layouts}
// A get request: the message that answers it has the same number.
#define CMD_ANSWERED(id, layouts) Command{id, #id, layouts, id}
#define MSG(id, record, layouts) Message{id, #id, record, layouts}
#define V(member) EnumValue{static_cast<uint32_t>(member), #member}
// Offset and size of a record member in PACKET_MSG.data.
#define REC(T, member) offsetof(T, member), sizeof(std::declval<T &>().member)
#define REC_EACH(T, member) offsetof(T, member), sizeof(std::declval<T &>().member[0])

// ---- enumerations ---------------------------------------------------

// Every enumeration of the public header with its members' names, written
// from the header at build time: kHARD_KEY_ID for HARD_KEY_ID, and so on.
#include "protocol_enumerations.inc"

// ---- layout helpers -------------------------------------------------

// One layout of `length` payload bytes.
constexpr Layout fixed(Span<Field> fields, uint8_t length, int16_t packet_size = -1) {
    return {"", always(), length, length, fields, packet_size};
}
// One layout of min to max payload bytes.
constexpr Layout ranged(Span<Field> fields, uint8_t min, uint8_t max) { return {"", always(), min, max, fields}; }

constexpr Layout kEmpty[] = {fixed({}, 0)};

// ---- commands: system, power, keys and clock ------------------------

constexpr Field kHardKeyCmd[] = {number("key", 0).of(kHARD_KEY_ID)};
constexpr Field kTouch[] = {number("x", 0, 2), number("y", 2, 2), number("type", 4).of(kTOUCH_TYPE_ID)};
constexpr Field kEngineerModeCmd[] = {number("status", 0).of(kENGINEER_MODE_ID)};
constexpr Field kBeepToneCmd[] = {number("status", 0).of(kBEEP_TONE_ID)};
constexpr Field kPoweroffTimerCmd[] = {number("status", 0).of(kDISP_STATUS_ID)};
constexpr Field kScreenSaveCmd[] = {number("mode", 0)};
constexpr Field kAlive[] = {number("status", 0).of(kHEARTBEAT_COMMAD_SWITCH)};
constexpr Field kVersionReport[] = {number("type", 0).of(kVERSION_TYPE_ID), text(rest("version_buffer", 1))};
constexpr Field kAudioPowerCmd[] = {number("status", 0).of(kPOWER_STATUS_ID)};
constexpr Field kRtcModeCmd[] = {number("mode", 0).of(kRTC_MODE_ID)};
constexpr Field kRtcClockCmd[] = {number("mode", 0).of(kRTC_MODE_ID), number("hours", 1), number("minutes", 2),
                                  number("seconds", 3), number("year", 4, 2), number("month", 6), number("date", 7)};
constexpr Field kButtonDuty[] = {number("mode", 0).of(kMODE_ID), number("value", 1).of(kOPERATE_ID)};
constexpr Field kUsbPower[] = {number("time_ms", 0)};
constexpr Field kSetupParamsCmd[] = {rest("param_info", 0)};
constexpr Field kResumeStore[] = {number("address_offset", 0, 2), number("length", 2, 2),
                                  bytes("data", 4, 0).counted_by("length")};
constexpr Field kResumeFetch[] = {number("address_offset", 0, 2), number("length", 2, 2)};
constexpr Field kFirmware[] = {number("type", 0).of(kUPDATE_TYPE_ID)};

constexpr Layout kHardKeyCmdL[] = {fixed(kHardKeyCmd, 1)};
constexpr Layout kTouchL[] = {fixed(kTouch, 5)};
constexpr Layout kEngineerModeCmdL[] = {fixed(kEngineerModeCmd, 1)};
constexpr Layout kBeepToneCmdL[] = {fixed(kBeepToneCmd, 1)};
constexpr Layout kPoweroffTimerCmdL[] = {fixed(kPoweroffTimerCmd, 1)};
constexpr Layout kScreenSaveCmdL[] = {fixed(kScreenSaveCmd, 1)};
constexpr Layout kAliveL[] = {fixed(kAlive, 1)};
constexpr Layout kVersionReportL[] = {ranged(kVersionReport, 1, 65)};
constexpr Layout kAudioPowerCmdL[] = {fixed(kAudioPowerCmd, 1)};
// 0x12 carries either the display mode alone or, behind P0 = 2, a clock.
constexpr Layout kRtcCmdL[] = {{"display mode", length_is(1), 1, 1, kRtcModeCmd},
                               {"clock", byte_is(0, RTC_MODE_SET_CLOCK), 8, 8, kRtcClockCmd}};
constexpr Layout kButtonDutyL[] = {fixed(kButtonDuty, 2)};
constexpr Layout kUsbPowerL[] = {fixed(kUsbPower, 1)};
constexpr Layout kSetupParamsCmdL[] = {ranged(kSetupParamsCmd, 0, 254)};
constexpr Layout kResumeStoreL[] = {ranged(kResumeStore, 4, 128)};
constexpr Layout kResumeFetchL[] = {fixed(kResumeFetch, 4)};
constexpr Layout kFirmwareL[] = {fixed(kFirmware, 1)};

// ---- commands: audio ------------------------------------------------

constexpr Field kAudioSourceCmd[] = {number("audio_source", 0).of(kAUDIO_SOURCE_ID)};
constexpr Field kAudioSettingCmd[] = {number("type", 0).of(kAUDIO_SETTING_TYPE_ID), number("value", 1)};
constexpr Field kAuxGainCmd[] = {number("level", 0).of(kAUDIO_AUX_GAIN_ID)};
constexpr Field kAudioBeepCmd[] = {number("status", 0).of(kBEEP_STATUS_ID)};
constexpr Field kSpeedVolumeCmd[] = {number("level", 0).of(kAUDIO_SPEED_VOLUME_ID)};
constexpr Field kNaviMix[] = {number("navigation_broadcast", 0).of(kNAVIGATION_BROADCAST),
                              number("navigation_type", 1).of(kNAVIGATION_TYPE)};
constexpr Field kMainAnswerCmd[] = {number("status", 0).of(kMAIN_DRIVER_ANSWER_ID)};
constexpr Field kAdjustVolumeCmd[] = {number("status", 0).of(kADJUST_VOLUME_ID)};
constexpr Field kAbsVolumeCmd[] = {number("absolutely_volume", 0).of(kABSOLUTELY_VOLUME_ID), number("value", 1)};
constexpr Field kFunctionSwitchCmd[] = {number("status", 0).of(kAUDIO_FUNCTION_SWITCH)};
constexpr Field kSkipStatusCmd[] = {number("status", 0).of(kPLATER_PLAY_SKIP_STATUS_INFO)};
constexpr Field kRecordPlayCmd[] = {number("status", 0).of(kRECORD_PLAY_STATE_ID)};
constexpr Field kSpeakerDiagCmd[] = {number("freq", 0).of(kSPEAKER_FREQ_ID)};

constexpr Layout kAudioSourceCmdL[] = {fixed(kAudioSourceCmd, 1)};
constexpr Layout kAudioSettingCmdL[] = {fixed(kAudioSettingCmd, 2)};
constexpr Layout kAuxGainCmdL[] = {fixed(kAuxGainCmd, 1)};
constexpr Layout kAudioBeepCmdL[] = {fixed(kAudioBeepCmd, 1)};
constexpr Layout kSpeedVolumeCmdL[] = {fixed(kSpeedVolumeCmd, 1)};
constexpr Layout kNaviMixL[] = {fixed(kNaviMix, 2)};
constexpr Layout kMainAnswerCmdL[] = {fixed(kMainAnswerCmd, 1)};
constexpr Layout kAdjustVolumeCmdL[] = {fixed(kAdjustVolumeCmd, 1)};
constexpr Layout kAbsVolumeCmdL[] = {fixed(kAbsVolumeCmd, 2)};
constexpr Layout kFunctionSwitchCmdL[] = {fixed(kFunctionSwitchCmd, 1)};
constexpr Layout kSkipStatusCmdL[] = {fixed(kSkipStatusCmd, 1)};
constexpr Layout kRecordPlayCmdL[] = {fixed(kRecordPlayCmd, 1)};
constexpr Layout kSpeakerDiagCmdL[] = {fixed(kSpeakerDiagCmd, 1)};

// ---- commands: radio tuner ------------------------------------------

constexpr Field kRadioFreqCmd[] = {number("freq", 0, 2)};
constexpr Field kRadioCtrlCmd[] = {number("status", 0).of(kRADIO_CTRL_ID)};
constexpr Field kPresetNumCmd[] = {number("preset_num", 0)};
constexpr Field kCollectedCmd[] = {rest("content", 0)};
constexpr Field kListUpdateCmd[] = {number("cmd", 0).of(kUPDATE_CMD)};
constexpr Field kPresetFetch[] = {number("band", 0).of(kRADIO_BAND_ID)};
constexpr Field kBandChange[] = {number("radio_direction", 0).of(kRADIO_DRECTION), number("band", 1).of(kRADIO_BAND_ID),
                                 number("preset_num", 2), number("preset_freq", 3, 2)};
constexpr Field kStopConditions[] = {number("cmd_info", 0).of(kCMD_INFO), number("option_info", 1).of(kOPTION_INFO)};
constexpr Field kRadioDiagnoseCmd[] = {number("status", 0).of(kRADIO_DIAGNOSE_INFO)};
constexpr Field kCurbandCmd[] = {number("status", 0).of(kRADIO_CURBAND_INFO)};

constexpr Layout kRadioFreqCmdL[] = {fixed(kRadioFreqCmd, 2)};
constexpr Layout kRadioCtrlCmdL[] = {fixed(kRadioCtrlCmd, 1)};
constexpr Layout kPresetNumCmdL[] = {fixed(kPresetNumCmd, 1)};
constexpr Layout kCollectedCmdL[] = {ranged(kCollectedCmd, 0, 63)};
constexpr Layout kListUpdateCmdL[] = {fixed(kListUpdateCmd, 1)};
constexpr Layout kPresetFetchL[] = {fixed(kPresetFetch, 1)};
constexpr Layout kBandChangeL[] = {fixed(kBandChange, 5)};
constexpr Layout kStopConditionsL[] = {fixed(kStopConditions, 2)};
constexpr Layout kRadioDiagnoseCmdL[] = {fixed(kRadioDiagnoseCmd, 1)};
constexpr Layout kCurbandCmdL[] = {fixed(kCurbandCmd, 1)};

// ---- commands: display, video, camera and Bluetooth -----------------

constexpr Field kBluetoothCmd[] = {number("type", 0).of(kBLUETOOTH_TYPE_ID), number("status", 1).of(kBLUETOOTH_STATUS_ID)};
constexpr Field kVideoSourceCmd[] = {number("video_source", 0).of(kVIDEO_SOURCE_ID),
                                     number("video_type", 1).of(kVIDEO_TYPE_ID)};
constexpr Field kLanguageCmd[] = {number("languege_id", 0).of(kLANGUAGE_ID)};
constexpr Field kIllModeCmd[] = {number("mode", 0).of(kILL_MODE_ID)};
constexpr Field kBacklightCmd[] = {number("status", 0).of(kBACKLIGHT_STATUS_ID)};
constexpr Field kValueCmd[] = {number("value", 0)};
constexpr Field kDaynightCmd[] = {number("level", 0).of(kDAYNIGHT_LEVEL), number("value", 1)};
constexpr Field kAvmSettingCmd[] = {number("type", 0).of(kAVM_SETTING_TYPE_ID), number("value", 1)};
constexpr Field kMhlPopCmd[] = {number("type", 0).of(kMHL_POP_TYPE_ID)};
constexpr Field kAvmDataCmd[] = {rest("content", 0)};

constexpr Layout kBluetoothCmdL[] = {fixed(kBluetoothCmd, 2)};
constexpr Layout kVideoSourceCmdL[] = {fixed(kVideoSourceCmd, 2)};
constexpr Layout kLanguageCmdL[] = {fixed(kLanguageCmd, 1)};
constexpr Layout kIllModeCmdL[] = {fixed(kIllModeCmd, 1)};
constexpr Layout kBacklightCmdL[] = {fixed(kBacklightCmd, 1)};
constexpr Layout kValueCmdL[] = {fixed(kValueCmd, 1)};
constexpr Layout kDaynightCmdL[] = {fixed(kDaynightCmd, 2)};
constexpr Layout kAvmSettingCmdL[] = {fixed(kAvmSettingCmd, 2)};
constexpr Layout kMhlPopCmdL[] = {fixed(kMhlPopCmd, 1)};
constexpr Layout kAvmDataCmdL[] = {ranged(kAvmDataCmd, 0, 128)};

// ---- commands: vehicle bus and climate control ----------------------

constexpr Field kCanQuery[] = {number("subid", 0)};
constexpr Field kCanRelay[] = {rest("data", 0)};
// A CAN channel frame of one byte is read as the query; a relayed CAN
// payload of one byte looks the same on the wire.
constexpr Layout kCanChannelL[] = {{"query", length_is(1), 1, 1, kCanQuery}, ranged(kCanRelay, 0, 255)};
constexpr Layout kCanRelayL[] = {ranged(kCanRelay, 0, 255)};

// The key bit field: each byte is the OR of its fields, taken from the
// HVAC_STATUS members the rows name.  McuAgent_send_hvac_status writes the
// payload from these rows, so their order and bits are stated only here.
// A key left out is released (HVAC_KEY_STATUS_DOWN is 0: zero presses it);
// the three targets have no such value and must be given.
#define HVAC_KEY(member, pos, bit)                                                           \
    number(#member, pos).bit_field(bit, 1).of(kHVAC_KEY_STATUS_ID).rests_at(HVAC_KEY_STATUS_UP) \
        .at(REC(HVAC_STATUS, member))
constexpr Field kHvacStatus[] = {
    HVAC_KEY(maxAC, 0, 0),
    HVAC_KEY(AC, 0, 1),
    HVAC_KEY(recirc, 0, 2),
    HVAC_KEY(fresh, 0, 3),
    HVAC_KEY(defrost, 0, 4),
    HVAC_KEY(mode, 0, 5),
    HVAC_KEY(front_panel_left_temp_minus, 0, 6),
    HVAC_KEY(front_panel_letf_tmep_plus, 0, 7),
    HVAC_KEY(front_panel_blower_minus, 1, 0),
    HVAC_KEY(front_panel_blower_plus, 1, 1),
    HVAC_KEY(touch_panel_blower_minus, 1, 2),
    HVAC_KEY(touch_panel_blower_plus, 1, 3),
    number("target_blower_level", 1).bit_field(4, 4).at(REC(HVAC_STATUS, target_blower_level)),
    HVAC_KEY(dual, 2, 0),
    HVAC_KEY(on_off, 2, 1),
    HVAC_KEY(redefrost, 2, 2),
    HVAC_KEY(front_panel_right_temp_minus, 2, 3),
    HVAC_KEY(front_panel_right_tmep_plus, 2, 4),
    HVAC_KEY(touch_panel_left_temp_minus, 3, 0),
    HVAC_KEY(touch_panel_letf_tmep_plus, 3, 1),
    number("touch_panel_target_letf_tmep", 3).bit_field(3, 5).at(REC(HVAC_STATUS, touch_panel_target_letf_tmep)),
    HVAC_KEY(touch_panel_right_temp_minus, 4, 0),
    HVAC_KEY(touch_panel_right_tmep_plus, 4, 1),
    number("touch_panel_target_right_tmep", 4).bit_field(3, 5).at(REC(HVAC_STATUS, touch_panel_target_right_tmep))};
#undef HVAC_KEY
constexpr Layout kHvacStatusL[] = {fixed(kHvacStatus, 5)};

// The four diagnosis requests share 0xFB; P0 says which.
constexpr Field kDiagExit[] = {number("request", 0)};
constexpr Field kDiagObject[] = {number("request", 0), number("obj", 1).of(kHVAC_DIAG_CTRL_OBJ_ID), number("light_status", 2)};
constexpr Field kDiagUnitTest[] = {number("request", 0), number("mode", 1).of(kHVAC_DIAG_CTRL_UT_MODE_ID)};
constexpr Layout kHvacDiagCmdL[] = {{"exit", byte_is(0, 0x30), 5, 5, kDiagExit},
                                    {"entry", byte_is(0, 0x31), 5, 5, kDiagObject},
                                    {"read status", byte_is(0, 0x32), 5, 5, kDiagObject},
                                    {"unit test mode", byte_is(0, 0x3A), 5, 5, kDiagUnitTest}};

// ---- the command id table -------------------------------------------

constexpr Command kCommands[] = {
    CMD(MCU_CMD_HMI_STARTUP, kEmpty),
    CMD(MCU_CMD_NAVI_STARTUP, kEmpty),
    CMD(MCU_CMD_GET_SYNC, kEmpty),
    CMD_ANSWERED(MCU_CMD_GET_VERSION_INFO, kEmpty),
    CMD(MCU_CMD_SET_HARD_KEY, kHardKeyCmdL),
    CMD(MCU_CMD_SET_TOUCH, kTouchL),
    CMD(MCU_CMD_SET_ENGINEER_MODE, kEngineerModeCmdL),
    CMD(MCU_CMD_SET_BEEP_TONE, kBeepToneCmdL),
    CMD(MCU_CMD_SET_POWEROFF_TIMER_DISP, kPoweroffTimerCmdL),
    CMD(MCU_CMD_SET_SCREEN_SAVE_MODE, kScreenSaveCmdL),
    CMD(MCU_CMD_RET_ALIVE, kAliveL),
    CMD(MCU_CMD_RET_VERSION_INFO, kVersionReportL),
    CMD(MCU_CMD_SET_AUDIO_POWER, kAudioPowerCmdL),
    CMD_ANSWERED(MCU_CMD_GET_AUDIO_POWER, kEmpty),
    CMD(MCU_CMD_SET_RTC_CLOCK, kRtcCmdL),
    CMD_ANSWERED(MCU_CMD_GET_RTC_CLOCK, kEmpty),
    CMD(MCU_CMD_SET_BUTTON_BACKLIGHT_DUTY_CYCLE, kButtonDutyL),
    CMD(MCU_CMD_SET_USB_POWER, kUsbPowerL),
    CMD(MCU_CMD_SET_SETUP_PARAM_INFO, kSetupParamsCmdL),
    CMD_ANSWERED(MCU_CMD_GET_SETUP_PARAM_INFO, kEmpty),
    CMD(MCU_CMD_SET_AUDIO_SOURCE, kAudioSourceCmdL),
    CMD_ANSWERED(MCU_CMD_GET_AUDIO_SOURCE, kEmpty),
    CMD(MCU_CMD_SET_AUDIO_SETTING_INFO, kAudioSettingCmdL),
    CMD_ANSWERED(MCU_CMD_GET_AUDIO_SETTING_INFO, kEmpty),
    CMD(MCU_CMD_SET_AUDIO_AUX_GAIN, kAuxGainCmdL),
    CMD_ANSWERED(MCU_CMD_GET_AUDIO_AUX_GAIN, kEmpty),
    CMD(MCU_CMD_SET_AUDIO_BEEP, kAudioBeepCmdL),
    CMD_ANSWERED(MCU_CMD_GET_AUDIO_BEEP, kEmpty),
    CMD(MCU_CMD_SET_AUDIO_SPEED_VOLUME, kSpeedVolumeCmdL),
    CMD_ANSWERED(MCU_CMD_GET_AUDIO_SPEED_VOLUME, kEmpty),
    CMD_ANSWERED(MCU_CMD_GET_AUDIO_SPEED, kEmpty),
    CMD(MCU_CMD_SET_AUDIO_NAVI_MIX_STATUS, kNaviMixL),
    CMD(MCU_CMD_SET_MAIN_DRIVER_ANSWER_STATUS, kMainAnswerCmdL),
    CMD_ANSWERED(MCU_CMD_GET_MAIN_DRIVER_ANSWER_STATUS, kEmpty),
    CMD_ANSWERED(MCU_CMD_GET_AUX_PLUG_STATUS, kEmpty),
    CMD(MCU_CMD_SET_ADJUST_VOLUME, kAdjustVolumeCmdL),
    CMD(MCU_CMD_SET_ABSOLUTELY_VOLUME, kAbsVolumeCmdL),
    CMD(MCU_CMD_SET_AUDIO_FUNCTION_SWITCH_INFO, kFunctionSwitchCmdL),
    CMD_ANSWERED(MCU_CMD_GET_AUDIO_FUNCTION_SWITCH_INFO, kEmpty),
    CMD(MCU_CMD_SET_RADIO_FREQ, kRadioFreqCmdL),
    CMD(MCU_CMD_SET_RADIO_SEEK_UP, kEmpty),
    CMD(MCU_CMD_SET_RADIO_SEEK_DOWN, kEmpty),
    CMD(MCU_CMD_SET_RADIO_MANUAL_UP, kEmpty),
    CMD(MCU_CMD_SET_RADIO_MANUAL_DOWN, kEmpty),
    CMD(MCU_CMD_SET_RADIO_CTRL, kRadioCtrlCmdL),
    CMD(MCU_CMD_CALL_RADIO_PRESET_NUM, kPresetNumCmdL),
    CMD(MCU_CMD_SAVE_RADIO_PRESET_NUM, kPresetNumCmdL),
    CMD(MCU_CMD_CHANGE_RADIO_BAND, kEmpty),
    CMD(MCU_CMD_RADIO_FASTSEEK_UP, kEmpty),
    CMD(MCU_CMD_RADIO_FASTSEEK_DOWN, kEmpty),
    CMD(MCU_CMD_SAVE_RADIO_COLLECTED_INFO, kCollectedCmdL),
    CMD(MCU_CMD_RADIO_STATION_LIST_UPDATE, kListUpdateCmdL),
    CMD_ANSWERED(MCU_CMD_GET_RADIO_NOTIFY, kEmpty),
    CMD_ANSWERED(MCU_CMD_GET_RADIO_PRESET_INFO, kPresetFetchL),
    CMD(MCU_CMD_SET_RADIO_BAND_CHANGE_INFO, kBandChangeL),
    CMD(MCU_CMD_SET_RADIO_STOP_CONDITIONS_INFO, kStopConditionsL),
    CMD(MCU_CMD_SET_RADIO_DIAGNOSE_INFO, kRadioDiagnoseCmdL),
    CMD(MCU_CMD_SET_RADIO_CURBAND_INFO, kCurbandCmdL),
    CMD_ANSWERED(MCU_CMD_GET_IGN_ON_OFF_STATUS, kEmpty),
    CMD(MCU_CMD_SET_PLAYER_RESUME_INFO, kResumeStoreL),
    CMD_ANSWERED(MCU_CMD_GET_PLAYER_RESUME_INFO, kResumeFetchL),
    CMD(MCU_CMD_RET_PLAYER_PLAY_SKIP_STATUS, kSkipStatusCmdL),
    CMD(MCU_CMD_RET_BLUETOOTH_STATUS, kBluetoothCmdL),
    CMD(MCU_CMD_SET_VIDEO_SOURCE, kVideoSourceCmdL),
    CMD_ANSWERED(MCU_CMD_GET_VIDEO_SOURCE, kEmpty),
    CMD(MCU_CMD_SET_TFT_LANGUAGE, kLanguageCmdL),
    CMD_ANSWERED(MCU_CMD_GET_TFT_LANGUAGE, kEmpty),
    CMD(MCU_CMD_SET_TFT_ILL_MODE, kIllModeCmdL),
    CMD_ANSWERED(MCU_CMD_GET_TFT_ILL_MODE, kEmpty),
    CMD(MCU_CMD_SET_TFT_BACKLIGHT_STATUS, kBacklightCmdL),
    CMD_ANSWERED(MCU_CMD_GET_TFT_BACKLIGHT_STATUS, kEmpty),
    CMD(MCU_CMD_SET_TFT_BRIGHTNESS, kValueCmdL),
    CMD_ANSWERED(MCU_CMD_GET_TFT_BRIGHTNESS, kEmpty),
    CMD(MCU_CMD_SET_TFT_CONTRAST, kValueCmdL),
    CMD_ANSWERED(MCU_CMD_GET_TFT_CONTRAST, kEmpty),
    CMD(MCU_CMD_SET_TFT_DAYNIGHTMODE, kDaynightCmdL),
    CMD(MCU_CMD_EXIT_AVM_SETTING_MENU, kEmpty),
    CMD(MCU_CMD_SET_AVM_SETTING_INFO, kAvmSettingCmdL),
    CMD_ANSWERED(MCU_CMD_GET_AVM_SETTING_INFO, kEmpty),
    CMD(MCU_CMD_SET_AVM_DEFAULT_SETTING, kEmpty),
    CMD(MCU_CMD_SET_MHL_POP_TYPE, kMhlPopCmdL),
    CMD(MCU_CMD_UPDATE_MAINBOARD_FIRMWARE, kFirmwareL),
    CMD(MCU_CMD_SET_CORE_BOARD_RESTART, kEmpty),
    CMD(MCU_CMD_SET_MAINBOARD_DEFAULT_SETTING, kEmpty),
    CMD(MCU_CMD_SET_RECORD_PLAY_STATE, kRecordPlayCmdL),
    CMD(MCU_CMD_SET_SPEAKER_DIAG, kSpeakerDiagCmdL),
    CMD(MCU_CMD_SET_AVM_DATA_INFO, kAvmDataCmdL),
    CMD(MCU_CMD_SET_ENHOST_CAN, kCanChannelL),
    CMD(MCU_CMD_SET_FCC_CAN, kCanChannelL),
    CMD(MCU_CMD_SET_RCC_CAN, kCanChannelL),
    CMD(MCU_CMD_SEND_HVAC_INFO, kHvacStatusL),
    CMD(MCU_CMD_SEND_HVAC_DIAG_INFO, kHvacDiagCmdL),
    CMD(MCU_CMD_SEND_MCAN_INFO, kCanRelayL),
};

// ---- messages: system, power, keys and clock ------------------------

// One payload byte stored as data[0].
constexpr Field kKeyMsg[] = {number("key", 0).of(kHARD_KEY_ID).at(0, 1)};
constexpr Field kEngineerModeMsg[] = {number("status", 0).of(kENGINEER_MODE_ID).at(0, 1)};
constexpr Field kPoweroffTimerMsg[] = {number("status", 0).of(kDISP_STATUS_ID).at(0, 1)};
constexpr Field kScreenSaveMsg[] = {number("mode", 0).at(0, 1)};
constexpr Field kVersionRequest[] = {number("type", 0).of(kVERSION_TYPE_ID).at(0, 1)};
constexpr Field kButtonPwmMsg[] = {number("duty", 0).at(0, 1)};
constexpr Field kIgnitionMsg[] = {number("ignition", 0).at(0, 1)};

constexpr Field kMbVersion[] = {
    number("MB_version", 0, 2).at(REC(MB_VERSION_INFO, MB_version)),
    number("MB_checksum", 2, 2).at(REC(MB_VERSION_INFO, MB_checksum)),
    text(bytes("CD_version", 4, 5)).at(REC(MB_VERSION_INFO, CD_version)),
    number("Panel_version", 9).at(REC(MB_VERSION_INFO, Panel_version)),
    number("AVM_version", 10, 4).at(REC(MB_VERSION_INFO, AVM_version)),
    bytes("AVM_Vin", 14, 6).at(REC(MB_VERSION_INFO, AVM_Vin))};
constexpr Field kPowerKey[] = {number("reserver", 0).at(REC(POWER_INFO, reserver)),
                               number("power_status", 1).of(kPOWER_STATUS_ID).at(REC(POWER_INFO, power_status)),
                               number("power_mode", 2).of(kPOWER_MODE_ID).at(REC(POWER_INFO, power_mode))};
constexpr Field kErrCounts[] = {
    number("fail_to_start_num", 0, 2).at(REC(ERR_COUNT_INFO, fail_to_start_num)),
    number("heartbeat_timeout_num", 2, 2).at(REC(ERR_COUNT_INFO, heartbeat_timeout_num)),
    number("loss_of_sync_msg_num", 4, 2).at(REC(ERR_COUNT_INFO, loss_of_sync_msg_num)),
    number("repeat_sync_msg_num", 6, 2).at(REC(ERR_COUNT_INFO, repeat_sync_msg_num))};
constexpr Field kAudioPowerMsg[] = {number("power_status", 0).of(kPOWER_STATUS_ID).at(REC(POWER_INFO, power_status))};
constexpr Field kAudioPowerModeMsg[] = {number("power_status", 0).of(kPOWER_STATUS_ID).at(REC(POWER_INFO, power_status)),
                                        number("power_mode", 1).of(kPOWER_MODE_ID).at(REC(POWER_INFO, power_mode))};
constexpr Field kRtcMsg[] = {number("rtc_mode", 0).of(kRTC_MODE_ID).at(REC(RTC_MSG, rtc_mode)),
                             number("hours", 1).at(REC(RTC_MSG, clock_msg.hours)),
                             number("minutes", 2).at(REC(RTC_MSG, clock_msg.minutes)),
                             number("seconds", 3).at(REC(RTC_MSG, clock_msg.seconds)),
                             number("year", 4, 2).at(REC(RTC_MSG, clock_msg.year)),
                             number("month", 6).at(REC(RTC_MSG, clock_msg.month)),
                             number("date", 7).at(REC(RTC_MSG, clock_msg.date))};
constexpr Field kGpsClockMsg[] = {number("hours", 0).at(REC(CLOCK_MSG, hours)),
                                  number("minutes", 1).at(REC(CLOCK_MSG, minutes)),
                                  number("seconds", 2).at(REC(CLOCK_MSG, seconds)),
                                  number("year", 3, 2).at(REC(CLOCK_MSG, year)),
                                  number("month", 5).at(REC(CLOCK_MSG, month)),
                                  number("date", 6).at(REC(CLOCK_MSG, date))};
constexpr Field kSetupParamsMsg[] = {length_byte("size").at(REC(SETUP_PARAM_INFO, size)),
                                     rest("param_info", 0).at(REC(SETUP_PARAM_INFO, param_info))};
// The decoder keeps at most the 128 bytes of `data`; `length` says how
// many it kept.
constexpr Field kResumeMsg[] = {
    number("address_offset", 0, 2).at(REC(COREBOARD_RESUME_INFO, address_offset)),
    number("length", 2, 2).at(REC(COREBOARD_RESUME_INFO, length)).at_most(128),
    bytes("data", 4, 0).counted_by("length").at(REC(COREBOARD_RESUME_INFO, data)).at_most(128)};

constexpr Layout kKeyMsgL[] = {fixed(kKeyMsg, 1)};
constexpr Layout kEngineerModeMsgL[] = {fixed(kEngineerModeMsg, 1)};
constexpr Layout kPoweroffTimerMsgL[] = {fixed(kPoweroffTimerMsg, 1)};
constexpr Layout kScreenSaveMsgL[] = {fixed(kScreenSaveMsg, 1)};
constexpr Layout kVersionRequestL[] = {fixed(kVersionRequest, 1)};
constexpr Layout kButtonPwmMsgL[] = {fixed(kButtonPwmMsg, 1)};
constexpr Layout kIgnitionMsgL[] = {fixed(kIgnitionMsg, 1)};
constexpr Layout kMbVersionL[] = {fixed(kMbVersion, 20)};
constexpr Layout kPowerKeyL[] = {fixed(kPowerKey, 3)};
constexpr Layout kErrCountsL[] = {fixed(kErrCounts, 8)};
// power_mode is read only when the length byte is exactly 2.
constexpr Layout kAudioPowerMsgL[] = {{"with mode", length_is(2), 2, 2, kAudioPowerModeMsg},
                                      fixed(kAudioPowerMsg, 1)};
constexpr Layout kRtcMsgL[] = {fixed(kRtcMsg, 8)};
constexpr Layout kGpsClockMsgL[] = {fixed(kGpsClockMsg, 7)};
constexpr Layout kSetupParamsMsgL[] = {ranged(kSetupParamsMsg, 0, 255)};
constexpr Layout kResumeMsgL[] = {ranged(kResumeMsg, 4, 255)};

// ---- messages: audio ------------------------------------------------

constexpr Field kAudioSourceMsg[] = {number("audio_source", 0).of(kAUDIO_SOURCE_ID).at(0, 1)};
constexpr Field kAudioSettingsMsg[] = {rest("settings", 0).at(0, 255)};
constexpr Field kAuxGainMsg[] = {number("level", 0).of(kAUDIO_AUX_GAIN_ID).at(0, 1)};
constexpr Field kBeepStatusMsg[] = {number("status", 0).of(kBEEP_STATUS_ID).at(0, 1)};
constexpr Field kSpeedVolumeMsg[] = {number("level", 0).of(kAUDIO_SPEED_VOLUME_ID).at(0, 1)};
constexpr Field kSpeedMsg[] = {number("speed", 0, 2).at(0, 2)};
constexpr Field kMainAnswerMsg[] = {number("status", 0).of(kMAIN_DRIVER_ANSWER_ID).at(0, 1)};
constexpr Field kPlugStatus[] = {number("type", 0).of(kDEVICE_TYPE).at(REC(AUDIO_DEVICE_PLUG_STATUS, type)),
                                 number("status", 1).at(REC(AUDIO_DEVICE_PLUG_STATUS, status))};
constexpr Field kPlugEqPin[] = {
    number("type", 0).of(kDEVICE_TYPE).at(REC(AUDIO_DEVICE_PLUG_STATUS, type)),
    number("data", 1).bit_field(0, 4).at(REC(AUDIO_DEVICE_PLUG_STATUS, eq_info.data)),
    number("detection_position", 1).bit_field(4, 1).at(REC(AUDIO_DEVICE_PLUG_STATUS, eq_info.detection_position))};
constexpr Field kVolumeInfo[] = {number("audio_type", 0).of(kAUDIO_INFO_TYPE).at(REC(AUDIO_VOLUME_INFO, audio_type)),
                                 number("volume_values", 1).at(REC(AUDIO_VOLUME_INFO, volume_values))};
constexpr Field kVolumeOnOff[] = {number("audio_type", 0).of(kAUDIO_INFO_TYPE).at(REC(AUDIO_VOLUME_INFO, audio_type)),
                                  number("audio_info", 1).of(kAUDIO_ON_OFF_INFO).at(REC(AUDIO_VOLUME_INFO, audio_info))};
constexpr Field kPopupMsg[] = {number("popup", 0).at(0, 1)};
constexpr Field kFunctionSwitchMsg[] = {number("status", 0).of(kAUDIO_FUNCTION_SWITCH).at(0, 1)};

constexpr Layout kAudioSourceMsgL[] = {fixed(kAudioSourceMsg, 1)};
constexpr Layout kRawMsgL[] = {ranged(kAudioSettingsMsg, 0, 255)};
constexpr Layout kAuxGainMsgL[] = {fixed(kAuxGainMsg, 1)};
constexpr Layout kBeepStatusMsgL[] = {fixed(kBeepStatusMsg, 1)};
constexpr Layout kSpeedVolumeMsgL[] = {fixed(kSpeedVolumeMsg, 1)};
constexpr Layout kSpeedMsgL[] = {fixed(kSpeedMsg, 2)};
constexpr Layout kMainAnswerMsgL[] = {fixed(kMainAnswerMsg, 1)};
constexpr Layout kPlugStatusL[] = {{"EQ pin", byte_is(0, EQ_PIN), 2, 2, kPlugEqPin}, fixed(kPlugStatus, 2)};
constexpr Layout kVolumeInfoL[] = {{"on/off", byte_is(0, AUDIO_ON_OFF_TYPE), 2, 2, kVolumeOnOff},
                                   fixed(kVolumeInfo, 2)};
constexpr Layout kPopupMsgL[] = {fixed(kPopupMsg, 1)};
constexpr Layout kFunctionSwitchMsgL[] = {fixed(kFunctionSwitchMsg, 1)};

// ---- messages: radio tuner ------------------------------------------

constexpr Field kCollectedMsg[] = {length_byte("size").at(REC(RADIO_COLLECTED_INFO, size)),
                                   rest("content", 0).at(REC(RADIO_COLLECTED_INFO, content))};
constexpr Field kRadioNotify[] = {number("band", 0).of(kRADIO_BAND_ID).at(REC(RADIO_NOTIFY, band)),
                                  number("preset_num", 1).at(REC(RADIO_NOTIFY, preset_num)),
                                  number("status", 2).of(kRADIO_STATUS_ID).at(REC(RADIO_NOTIFY, status)),
                                  number("cur_freq", 3, 4).at(REC(RADIO_NOTIFY, cur_freq))};
// The length byte says how many presets follow the band.
#define PRESETS(n)                                                                         \
    {                                                                                      \
        number("band", 0).of(kRADIO_BAND_ID).at(REC(RADIO_PRESET_INFO, band)),                 \
            numbers("preset_freq", 1, 4, n).at(REC_EACH(RADIO_PRESET_INFO, preset_freq)),  \
            number("preset_num", 1 + 4 * (n)).at(REC(RADIO_PRESET_INFO, preset_num))       \
    }
constexpr Field kPresets6[] = PRESETS(6);
constexpr Field kPresets7[] = PRESETS(7);
constexpr Field kPresets12[] = PRESETS(12);
#undef PRESETS
constexpr Field kRawParams[] = {rest("parameters", 0).at(0, 255)};
constexpr Field kStationList[] = {
    number("band_type", 0).of(kRADIO_CURBAND_INFO).at(REC(RADIO_STATION_LIST_INFO, band_type)),
    number("station_num", 1).at(REC(RADIO_STATION_LIST_INFO, station_num)).at_most(50),
    numbers("station_freq", 2, 4, 0)
        .counted_by("station_num")
        .at(REC_EACH(RADIO_STATION_LIST_INFO, station_freq))
        .at_most(50)};
constexpr Field kStationListState[] = {
    number("band_type", 0).of(kRADIO_CURBAND_INFO).at(REC(CURRADIO_STATION_LIST_INFO, band_type)),
    number("play_state", 1).of(kRADIO_PLAY_STATE).at(REC(CURRADIO_STATION_LIST_INFO, play_state))};

constexpr Layout kCollectedMsgL[] = {ranged(kCollectedMsg, 0, 255)};
constexpr Layout kRadioNotifyL[] = {fixed(kRadioNotify, 7)};
constexpr Layout kPresetsL[] = {{"7 presets", length_is(30), 30, 30, kPresets7},
                                {"12 presets", length_is(50), 50, 50, kPresets12},
                                fixed(kPresets6, 26)};
constexpr Layout kRawParamsL[] = {ranged(kRawParams, 0, 255)};
constexpr Layout kStationListL[] = {ranged(kStationList, 2, 255)};
constexpr Layout kStationListStateL[] = {fixed(kStationListState, 2)};

// ---- messages: display, video, camera and Bluetooth -----------------

constexpr Field kBluetoothMsg[] = {
    number("type", 0).of(kBLUETOOTH_TYPE_ID).at(REC(BLUETOOTH_STATUS_INFO, type)),
    number("status", 1).of(kBLUETOOTH_STATUS_ID).at(REC(BLUETOOTH_STATUS_INFO, status))};
constexpr Field kVideoSourceMsg[] = {
    number("video_source", 0).of(kVIDEO_SOURCE_ID).at(REC(VIDEO_SOURCE_INFO, video_source)),
    number("video_type", 1).of(kVIDEO_TYPE_ID).at(REC(VIDEO_SOURCE_INFO, video_type))};
constexpr Field kLanguageMsg[] = {number("language", 0).of(kLANGUAGE_ID).at(0, 1)};
constexpr Field kIllModeMsg[] = {number("mode", 0).of(kILL_MODE_ID).at(0, 1)};
constexpr Field kBacklightMsg[] = {number("status", 0).of(kBACKLIGHT_STATUS_ID).at(0, 1)};
constexpr Field kBrightnessMsg[] = {number("brightness", 0).at(0, 1)};
constexpr Field kContrastMsg[] = {number("contrast", 0).at(0, 1)};
constexpr Field kDaynightMsg[] = {
    number("daynight_mode", 0).of(kDAYNIGHT_MODE).at(REC(DAYNIGHT_MODE_SET_INFO, daynight_mode)),
    number("brightness_level", 1).at(REC(DAYNIGHT_MODE_SET_INFO, brightness_level)),
    number("ILL_mode", 2).of(kILL_MODE).at(REC(DAYNIGHT_MODE_SET_INFO, ILL_mode))};
constexpr Field kAvmSettingsMsg[] = {rest("settings", 0).at(0, 255)};
constexpr Field kMhlMsg[] = {number("signal", 0).at(0, 1)};
constexpr Field kAvmDataMsg[] = {length_byte("size").at(REC(AVM_DATA_INFO, size)),
                                 rest("content", 0).at(REC(AVM_DATA_INFO, content))};

constexpr Layout kBluetoothMsgL[] = {fixed(kBluetoothMsg, 2)};
constexpr Layout kVideoSourceMsgL[] = {fixed(kVideoSourceMsg, 2)};
constexpr Layout kLanguageMsgL[] = {fixed(kLanguageMsg, 1)};
constexpr Layout kIllModeMsgL[] = {fixed(kIllModeMsg, 1)};
constexpr Layout kBacklightMsgL[] = {fixed(kBacklightMsg, 1)};
constexpr Layout kBrightnessMsgL[] = {fixed(kBrightnessMsg, 1)};
constexpr Layout kContrastMsgL[] = {fixed(kContrastMsg, 1)};
constexpr Layout kDaynightMsgL[] = {fixed(kDaynightMsg, 3)};
constexpr Layout kAvmSettingsMsgL[] = {ranged(kAvmSettingsMsg, 0, 255)};
constexpr Layout kMhlMsgL[] = {fixed(kMhlMsg, 1)};
constexpr Layout kAvmDataMsgL[] = {ranged(kAvmDataMsg, 0, 255)};

// ---- messages: vehicle bus and climate control ----------------------

constexpr Field kCanMsg[] = {length_byte("size").at(REC(MCAN_DATA_INFO, size)),
                             rest("data", 0).at(REC(MCAN_DATA_INFO, data))};
constexpr Field kAutotestMsg[] = {length_byte("size").at(REC(AUTOTEST_DATA_INFO, size)),
                                  rest("data", 0).at(REC(AUTOTEST_DATA_INFO, data))};
// The climate report; its layout differs from the key bit field that goes
// out under the same number.
constexpr Field kHvacInfo[] = {
    not_filled("hvac_status", 0, 5, 0xAA).at(REC(HVAC_INFO, hvac_status)),
    number("maxAC_on_off", 0).bit_field(0, 1).at(REC(HVAC_INFO, maxAC_on_off)),
    number("AC_on_off", 0).bit_field(1, 1).at(REC(HVAC_INFO, AC_on_off)),
    number("recirc_on_off", 0).bit_field(2, 1).at(REC(HVAC_INFO, recirc_on_off)),
    number("fresh_on_off", 0).bit_field(3, 1).at(REC(HVAC_INFO, fresh_on_off)),
    number("dual_on_off", 0).bit_field(4, 1).at(REC(HVAC_INFO, dual_on_off)),
    number("hvac_mode", 0).bit_field(5, 3).of(kHVAC_MODE_ID).at(REC(HVAC_INFO, hvac_mode)),
    number("ACT_on_off", 1).bit_field(0, 1).at(REC(HVAC_INFO, ACT_on_off)),
    number("redefrost_on_off", 1).bit_field(1, 1).at(REC(HVAC_INFO, redefrost_on_off)),
    number("defrost_on_off", 1).bit_field(2, 1).at(REC(HVAC_INFO, defrost_on_off)),
    number("display_on_off", 1).bit_field(3, 1).at(REC(HVAC_INFO, display_on_off)),
    number("blower_level", 1).bit_field(4, 4).at(REC(HVAC_INFO, blower_level)),
    number("left_temp", 2).bit_field(3, 5).at(REC(HVAC_INFO, left_temp)),
    number("right_temp", 3).bit_field(3, 5).at(REC(HVAC_INFO, right_temp)),
    number("hvac_key", 4).of(kHVAC_KEY_ID).rests_at(HVAC_KEY_NULL).at(REC(HVAC_INFO, hvac_key))};
// `code` and `key` overlap `obj` and each other: code is P1 P2, key the low
// 22 bits of P2 P3 P4.
constexpr Field kHvacDiagMsg[] = {
    number("status", 0).of(kHVAC_DIAG_STATUS_ID).at(REC(HVAC_DIAG_INFO, status)),
    number("obj", 1).of(kHVAC_DIAG_CTRL_OBJ_ID).at(REC(HVAC_DIAG_INFO, obj)),
    number("code", 1, 2).of(kHVAC_DIAG_FAULT_CODE_ID).at(REC(HVAC_DIAG_INFO, code)),
    number("key", 2, 3).bit_field(0, 22).of(kHVAC_DIAG_KEY_ID).at(REC(HVAC_DIAG_INFO, key))};
constexpr Field kItCommander[] = {
    number("sw", 0).at(REC(IT_COMMANDER_INFO, sw)),
    number("encoder", 1).bit_field(4, 3).of(kIT_COMMANDER_ENCODER_ID).at(REC(IT_COMMANDER_INFO, encoder)),
    number("directions", 1).bit_field(0, 4).of(kIT_COMMANDER_DIRECTIONS_ID).at(REC(IT_COMMANDER_INFO, directions))};

constexpr Layout kCanMsgL[] = {ranged(kCanMsg, 0, 255)};
constexpr Layout kAutotestMsgL[] = {ranged(kAutotestMsg, 0, 255)};
constexpr Layout kHvacInfoL[] = {fixed(kHvacInfo, 5, sizeof(HVAC_INFO))};
constexpr Layout kHvacDiagMsgL[] = {fixed(kHvacDiagMsg, 5)};
constexpr Layout kItCommanderL[] = {fixed(kItCommander, 2, sizeof(IT_COMMANDER_INFO))};

// ---- the message id table -------------------------------------------

constexpr Message kMessages[] = {
    MSG(MCU_MSG_RET_MB_VERSION, "MB_VERSION_INFO", kMbVersionL),
    MSG(MCU_MSG_RET_HARD_KEY, "byte", kKeyMsgL),
    MSG(MCU_MSG_RET_POWER_KEY, "POWER_INFO", kPowerKeyL),
    MSG(MCU_MSG_SET_ENGINEER_MODE, "byte", kEngineerModeMsgL),
    MSG(MCU_MSG_RET_POWEROFF_TIMER_DISP_STATUS, "byte", kPoweroffTimerMsgL),
    MSG(MCU_MSG_RET_SCREEN_SAVE_MODE, "byte", kScreenSaveMsgL),
    MSG(MCU_MSG_RET_ALINE, "ERR_COUNT_INFO", kErrCountsL),
    MSG(MCU_MSG_GET_VERSION_INFO, "byte", kVersionRequestL),
    MSG(MCU_MSG_RET_CUR_AUDIO_POWER_STATUS, "POWER_INFO", kAudioPowerMsgL),
    MSG(MCU_MSG_RET_RTC_CLOCK_INFO, "RTC_MSG", kRtcMsgL),
    MSG(MCU_MSG_RET_BUTTON_LIGHT_PWM, "byte", kButtonPwmMsgL),
    MSG(MCU_MSG_RET_GPS_CLOCK_INFO, "CLOCK_MSG", kGpsClockMsgL),
    MSG(MCU_MSG_RET_SETUP_PARAM_INFO, "SETUP_PARAM_INFO", kSetupParamsMsgL),
    MSG(MCU_MSG_RET_CUR_AUDIO_SOURCE, "byte", kAudioSourceMsgL),
    MSG(MCU_MSG_RET_AUDIO_SETTING_INFO, "raw payload", kRawMsgL),
    MSG(MCU_MSG_RET_AUDIO_AUX_GAIN_MODE, "byte", kAuxGainMsgL),
    MSG(MCU_MSG_RET_AUDIO_BEEP_STATUS, "byte", kBeepStatusMsgL),
    MSG(MCU_MSG_RET_AUDIO_SPEED_VOLUME_MODE, "byte", kSpeedVolumeMsgL),
    MSG(MCU_MSG_RET_AUDIO_SPEED, "unsigned short", kSpeedMsgL),
    MSG(MCU_MSG_RET_MAIN_ANSWER_STATUS, "byte", kMainAnswerMsgL),
    MSG(MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS, "AUDIO_DEVICE_PLUG_STATUS", kPlugStatusL),
    MSG(MCU_MSG_RET_AUDIO_VOLUME_INFO, "AUDIO_VOLUME_INFO", kVolumeInfoL),
    MSG(MCU_MSG_RET_AUDIO_POPUP_INFO, "byte", kPopupMsgL),
    MSG(MCU_MSG_RET_ARKAMYS_FUNC_SW, "byte", kFunctionSwitchMsgL),
    MSG(MCU_MSG_RET_RADIO_COLLECTED_INFO, "RADIO_COLLECTED_INFO", kCollectedMsgL),
    MSG(MCU_MSG_RET_RADIO_NOTIFY, "RADIO_NOTIFY", kRadioNotifyL),
    MSG(MCU_MSG_RET_RADIO_PRESET_INFO, "RADIO_PRESET_INFO", kPresetsL),
    MSG(MCU_MSG_RET_RADIO_FM_PARAMETER_INFO, "raw payload", kRawParamsL),
    MSG(MCU_MSG_RET_RADIO_AM_PARAMETER_INFO, "raw payload", kRawParamsL),
    MSG(MCU_MSG_RET_RADIO_STATION_LIST_INFO, "RADIO_STATION_LIST_INFO", kStationListL),
    MSG(MCU_MSG_RET_CURRADIO_STATION_LIST_INFO, "CURRADIO_STATION_LIST_INFO", kStationListStateL),
    MSG(MCU_MSG_RET_IGN_ON_OFF_STATUS, "byte", kIgnitionMsgL),
    MSG(MCU_MSG_RET_COREBOARD_RESUME_INFO, "COREBOARD_RESUME_INFO", kResumeMsgL),
    MSG(MCU_MSG_RET_BLUETOOTH_STATUS, "BLUETOOTH_STATUS_INFO", kBluetoothMsgL),
    MSG(MCU_MSG_RET_TFT_VIDEO_SOURCE, "VIDEO_SOURCE_INFO", kVideoSourceMsgL),
    MSG(MCU_MSG_RET_TFT_LANGUAGE, "byte", kLanguageMsgL),
    MSG(MCU_MSG_RET_TFT_ILL_MODE, "byte", kIllModeMsgL),
    MSG(MCU_MSG_RET_TFT_BACKLIGHT_STATUS, "byte", kBacklightMsgL),
    MSG(MCU_MSG_RET_TFT_BRIGHTNESS_STATUS, "byte", kBrightnessMsgL),
    MSG(MCU_MSG_RET_TFT_CONTRAST_STATUS, "byte", kContrastMsgL),
    MSG(MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO, "DAYNIGHT_MODE_SET_INFO", kDaynightMsgL),
    MSG(MCU_MSG_RET_AVM_SETTING_INFO, "raw payload", kAvmSettingsMsgL),
    MSG(MCU_MSG_RET_MHL_SIGNAL_DET, "byte", kMhlMsgL),
    MSG(MCU_MSG_RET_AVM_DATA_INFO, "AVM_DATA_INFO", kAvmDataMsgL),
    MSG(MCU_MSG_RET_ENHOST_CAN, "MCAN_DATA_INFO", kCanMsgL),
    MSG(MCU_MSG_RET_FCC_CAN, "MCAN_DATA_INFO", kCanMsgL),
    MSG(MCU_MSG_RET_RCC_CAN, "MCAN_DATA_INFO", kCanMsgL),
    MSG(MCU_MSG_RET_HVAC_INFO, "HVAC_INFO", kHvacInfoL),
    MSG(MCU_MSG_RET_HVAC_DIAG_INFO, "HVAC_DIAG_INFO", kHvacDiagMsgL),
    MSG(MCU_MSG_RET_IT_COMMANDER_INFO, "IT_COMMANDER_INFO", kItCommanderL),
    MSG(MCU_MSG_RET_MCAN_INFO, "MCAN_DATA_INFO", kCanMsgL),
    MSG(MCU_MSG_RET_AUTOTEST_DATA_INFO, "AUTOTEST_DATA_INFO", kAutotestMsgL),
};

#undef V
#undef REC
#undef REC_EACH
#undef CMD
#undef CMD_ANSWERED
#undef MSG

}  // namespace

}  // namespace mcu_agent::protocol

#endif  // MCU_AGENT_PROTOCOL_ROWS_H
