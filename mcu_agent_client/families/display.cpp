// display.cpp - request functions of the display
// family: Bluetooth status, video source, TFT settings, AVM camera
// settings and data, MHL pop-up type.
#include <iterator>

#include "enum_field.h"
#include "internal.h"

namespace mcu_agent {

namespace {

// An AVM data block never goes out larger than the record's content.
constexpr auto kMaxAvmDataSize = std::size(AVM_DATA_INFO{}.content);

}  // namespace

}  // namespace mcu_agent

using namespace mcu_agent;

extern "C" {

int McuAgent_send_bluetooth_status(BLUETOOTH_STATUS_INFO *info) {
    if (!info) return kNotSent;
    const uint8_t payload[] = {lo8(enum_value(info->type)), lo8(enum_value(info->status))};
    return packet_fill_send(MCU_CMD_RET_BLUETOOTH_STATUS, payload, sizeof payload);
}

int McuAgent_set_video_source(VIDEO_SOURCE_INFO *info) {
    if (!info) return kNotSent;
    const uint8_t payload[] = {lo8(enum_value(info->video_source)), lo8(enum_value(info->video_type))};
    return packet_fill_send(MCU_CMD_SET_VIDEO_SOURCE, payload, sizeof payload);
}

int McuAgent_get_video_source(void) { return send_empty(MCU_CMD_GET_VIDEO_SOURCE); }
int McuAgent_set_language(LANGUAGE_ID languege_id) {
    return send_byte(MCU_CMD_SET_TFT_LANGUAGE, enum_value(languege_id));
}
int McuAgent_get_language(void) { return send_empty(MCU_CMD_GET_TFT_LANGUAGE); }
int McuAgent_set_ILL_mode(ILL_MODE_ID mode) { return send_byte(MCU_CMD_SET_TFT_ILL_MODE, enum_value(mode)); }
int McuAgent_get_ILL_mode(void) { return send_empty(MCU_CMD_GET_TFT_ILL_MODE); }
int McuAgent_set_backlight_status(BACKLIGHT_STATUS_ID status) {
    return send_byte(MCU_CMD_SET_TFT_BACKLIGHT_STATUS, enum_value(status));
}
int McuAgent_get_backlight_status(void) { return send_empty(MCU_CMD_GET_TFT_BACKLIGHT_STATUS); }
int McuAgent_set_brightness(uint8_t value) { return send_byte(MCU_CMD_SET_TFT_BRIGHTNESS, value); }
int McuAgent_get_brightness(void) { return send_empty(MCU_CMD_GET_TFT_BRIGHTNESS); }
int McuAgent_set_contrast(uint8_t value) { return send_byte(MCU_CMD_SET_TFT_CONTRAST, value); }
int McuAgent_get_contrast(void) { return send_empty(MCU_CMD_GET_TFT_CONTRAST); }

int McuAgent_set_TFT_daynight_mode_info(DAYNIGHT_MODE_INFO *info) {
    if (!info) return kNotSent;
    const uint8_t payload[] = {lo8(enum_value(info->level)), info->value};
    return packet_fill_send(MCU_CMD_SET_TFT_DAYNIGHTMODE, payload, sizeof payload);
}

int McuAgent_send_AVM_setting_menu_exit(void) { return send_empty(MCU_CMD_EXIT_AVM_SETTING_MENU); }

int McuAgent_set_AVM_setting_info(AVM_SETTING_TYPE_INFO *info) {
    if (!info) return kNotSent;
    const uint8_t payload[] = {lo8(enum_value(info->type)), info->value};
    return packet_fill_send(MCU_CMD_SET_AVM_SETTING_INFO, payload, sizeof payload);
}

int McuAgent_get_AVM_setting_info(void) { return send_empty(MCU_CMD_GET_AVM_SETTING_INFO); }
int McuAgent_set_AVM_default_setting(void) { return send_empty(MCU_CMD_SET_AVM_DEFAULT_SETTING); }
int McuAgent_set_MHL_pop_type(MHL_POP_TYPE_ID type) { return send_byte(MCU_CMD_SET_MHL_POP_TYPE, enum_value(type)); }

int McuAgent_save_avm_data_info(AVM_DATA_INFO *info) {
    if (!info) return kNotSent;
    // A size above the content's capacity would send bytes from beyond the
    // caller's record.
    if (info->size > kMaxAvmDataSize) return refuse_request("size > 128,return ");
    return packet_fill_send(MCU_CMD_SET_AVM_DATA_INFO, info->content, info->size);
}

}  // extern "C"
