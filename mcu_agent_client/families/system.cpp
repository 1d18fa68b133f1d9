// system.cpp - the system family: start-up notices, keys and touch, power,
// clock, version reports, setup parameters and the coreboard's resume data.
#include <algorithm>
#include <array>
#include <iterator>

#include "enum_field.h"
#include "internal.h"

namespace mcu_agent {

namespace {

// The version report carries at most the whole text buffer after its type
// byte.
constexpr std::size_t kVersionTextMax = sizeof VERSION_INFO::version_buffer;

// A resume-data store sends a four-byte header and its data in one
// 128-byte payload, so at most 124 data bytes fit.
constexpr std::size_t kResumeHeader = 4;
constexpr std::size_t kResumePayloadMax = 128;
constexpr std::size_t kResumeStoreMax = kResumePayloadMax - kResumeHeader;

// A setup block is at most 254 bytes: a size byte of 255 is refused.
constexpr uint8_t kSetupParamRefused = 255;

}  // namespace

}  // namespace mcu_agent

using namespace mcu_agent;

extern "C" {

int McuAgent_hmi_startup(void) { return send_empty(MCU_CMD_HMI_STARTUP); }
int McuAgent_navi_startup(void) { return send_empty(MCU_CMD_NAVI_STARTUP); }
int McuAgent_get_sync_info(void) { return send_empty(MCU_CMD_GET_SYNC); }
int McuAgent_get_mainboard_version_info(void) { return send_empty(MCU_CMD_GET_VERSION_INFO); }
int McuAgent_set_hard_key(HARD_KEY_ID key) { return send_byte(MCU_CMD_SET_HARD_KEY, enum_value(key)); }

int McuAgent_set_touch(TOUCH_INFO *info) {
    if (!info) return kNotSent;
    const uint8_t payload[] = {hi8(info->x), lo8(info->x), hi8(info->y), lo8(info->y), lo8(enum_value(info->type))};
    return packet_fill_send(MCU_CMD_SET_TOUCH, payload, sizeof payload);
}

int McuAgent_set_engineer_mode(ENGINEER_MODE_ID status) { return send_byte(MCU_CMD_SET_ENGINEER_MODE, enum_value(status)); }
int McuAgent_beep_tone(BEEP_TONE_ID status) { return send_byte(MCU_CMD_SET_BEEP_TONE, enum_value(status)); }
int McuAgent_poweroff_timer_disp(DISP_STATUS_ID status) { return send_byte(MCU_CMD_SET_POWEROFF_TIMER_DISP, enum_value(status)); }
int McuAgent_set_screen_save_mode(SCREEN_SAVE_MODE_ID mode) { return send_byte(MCU_CMD_SET_SCREEN_SAVE_MODE, enum_value(mode)); }
int McuAgent_send_alive(HEARTBEAT_COMMAD_SWITCH status) { return send_byte(MCU_CMD_RET_ALIVE, enum_value(status)); }

// The type byte, then `size` bytes of text without a terminator.  A size
// beyond the buffer would send bytes that are not the caller's text.
int McuAgent_send_version_info(VERSION_INFO *info) {
    if (!info) return kNotSent;
    if (info->size > kVersionTextMax) return refuse_request("size > 64,return ");
    std::array<uint8_t, 1 + kVersionTextMax> payload;
    payload[0] = lo8(enum_value(info->type));
    std::memcpy(payload.data() + 1, info->version_buffer, info->size);
    return packet_fill_send(MCU_CMD_RET_VERSION_INFO, payload.data(), static_cast<uint8_t>(info->size + 1));
}

int McuAgent_set_audio_power(POWER_STATUS_ID status) { return send_byte(MCU_CMD_SET_AUDIO_POWER, enum_value(status)); }
int McuAgent_get_audio_power(void) { return send_empty(MCU_CMD_GET_AUDIO_POWER); }

// The display mode and the clock setting share one command; P0 tells them
// apart.
int McuAgent_set_rtc_mode(RTC_MODE_ID mode) { return send_byte(MCU_CMD_SET_RTC_CLOCK, enum_value(mode)); }

int McuAgent_set_rct_clock(CLOCK_MSG *clock_msg) {
    if (!clock_msg) return kNotSent;
    const uint8_t payload[] = {
        RTC_MODE_SET_CLOCK,   clock_msg->hours,     clock_msg->minutes, clock_msg->seconds,
        hi8(clock_msg->year), lo8(clock_msg->year), clock_msg->month,   clock_msg->date,
    };
    return packet_fill_send(MCU_CMD_SET_RTC_CLOCK, payload, sizeof payload);
}

int McuAgent_get_rct_clock(void) { return send_empty(MCU_CMD_GET_RTC_CLOCK); }

int McuAgent_set_button_backlight_duty_cycle(BUTTON_DUTY_INFO *info) {
    if (!info) return kNotSent;
    const uint8_t payload[] = {lo8(enum_value(info->mode)), lo8(enum_value(info->value))};
    return packet_fill_send(MCU_CMD_SET_BUTTON_BACKLIGHT_DUTY_CYCLE, payload, sizeof payload);
}

int McuAgent_set_usb_power(uint8_t time_ms) { return send_byte(MCU_CMD_SET_USB_POWER, time_ms); }

// The parameter bytes go out straight from the caller's record.
int McuAgent_set_setup_param_info(SETUP_PARAM_INFO *info) {
    if (!info) return kNotSent;
    if (info->size == kSetupParamRefused) return refuse_request("size > 255,return ");
    return packet_fill_send(MCU_CMD_SET_SETUP_PARAM_INFO, info->param_info, info->size);
}

int McuAgent_get_setup_param_info(void) { return send_empty(MCU_CMD_GET_SETUP_PARAM_INFO); }
int McuAgent_get_ign_on_off_status(void) { return send_empty(MCU_CMD_GET_IGN_ON_OFF_STATUS); }

// The record holds up to 128 data bytes but the payload only 124 after the
// header: a longer block is refused rather than cut short unnoticed.
int McuAgent_set_coreboard_resume_info(COREBOARD_RESUME_INFO *info) {
    if (!info) return kNotSent;
    if (info->length > kResumeStoreMax) return refuse_request("length > 124,return ");
    std::array<uint8_t, kResumePayloadMax> payload;
    payload[0] = hi8(info->address_offset);
    payload[1] = lo8(info->address_offset);
    payload[2] = hi8(info->length);
    payload[3] = lo8(info->length);
    std::memcpy(payload.data() + kResumeHeader, info->data, info->length);
    return packet_fill_send(MCU_CMD_SET_PLAYER_RESUME_INFO, payload.data(),
                            static_cast<uint8_t>(kResumeHeader + info->length));
}

int McuAgent_get_coreboard_resume_info(uint16_t address_offset, uint16_t length) {
    const uint8_t payload[] = {hi8(address_offset), lo8(address_offset), hi8(length), lo8(length)};
    return packet_fill_send(MCU_CMD_GET_PLAYER_RESUME_INFO, payload, sizeof payload);
}

int McuAgent_update_mainboard_firmware(UPDATE_TYPE_ID type) {
    return send_byte(MCU_CMD_UPDATE_MAINBOARD_FIRMWARE, enum_value(type));
}

int McuAgent_set_coreboard_restart(void) { return send_empty(MCU_CMD_SET_CORE_BOARD_RESTART); }
int McuAgent_set_mainboard_default_setting(void) { return send_empty(MCU_CMD_SET_MAINBOARD_DEFAULT_SETTING); }

}  // extern "C"
