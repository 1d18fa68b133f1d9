/*
 * mcu_agent_api.h - public interface of the MCU agent client library.
 *
 * An application calls McuAgent_client_init() once with its registration
 * table (rows of message id and handler, ended by a row whose id is
 * MCU_MSG_MAX_ID) and gets back the MCU_AGENT_API table.  Every request
 * function sends one frame to the agent server and returns the number of
 * bytes written (payload length + 7), -1 when nothing could be written, or 0
 * when the function itself refused its arguments.  Answers and unsolicited
 * messages arrive on the library's packet-handle thread: the handler
 * registered for the message id is called with a PACKET_MSG whose data
 * holds the decoded record.
 *
 * Records use the layout of the 32-bit target on every host: 8/16/32-bit
 * fixed-width fields, 32-bit enumerations, natural alignment.  The layout
 * is asserted at the end of this header.
 *
 * PACKET_MSG.data lies at offset 5, so a record that needs 2- or 4-byte
 * alignment is misaligned there.  Copy it out before reading it:
 *
 *     RTC_MSG rtc;
 *     MCU_PACKET_GET_RECORD(msg, rtc);
 *
 * The header reads in sections: the message ids (one enumeration, in
 * order of number), the decoded message and the names; then
 * one section per message family holding its enumerations, its records
 * and its request functions; the API table; the connection (entry point
 * and dispatch); and last the layout asserts.
 *
 * Published values and layouts never change and are never reused.
 */
#ifndef MCU_AGENT_API_H
#define MCU_AGENT_API_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifndef MCU_AGENT_EXPORT
#if defined(__GNUC__) || defined(__clang__)
#define MCU_AGENT_EXPORT __attribute__((visibility("default")))
#else
#define MCU_AGENT_EXPORT
#endif
#endif

/* Compile-time check usable from C99, C11, C++11 and later. */
#ifndef MCU_AGENT_STATIC_ASSERT
#if defined(__cplusplus) && __cplusplus >= 201103L
#define MCU_AGENT_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define MCU_AGENT_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define MCU_AGENT_SA_JOIN2(a, b) a##b
#define MCU_AGENT_SA_JOIN(a, b) MCU_AGENT_SA_JOIN2(a, b)
#define MCU_AGENT_STATIC_ASSERT(cond, msg) \
    typedef char MCU_AGENT_SA_JOIN(mcu_agent_static_assert_, __COUNTER__)[(cond) ? 1 : -1]
#endif
#endif

/*
 * Copies the decoded record out of packet->data into the local object
 * `record` (an lvalue of the record type).  Works from C and C++ and never
 * reads through a misaligned pointer.
 */
#define MCU_PACKET_GET_RECORD(packet, record) \
    ((void)memcpy(&(record), (packet)->data, sizeof(record)))

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Message ids, decoded message and registration table                 */
/* ------------------------------------------------------------------ */

typedef enum {
    MCU_MSG_RET_MB_VERSION = 0x03,
    MCU_MSG_RET_HARD_KEY = 0x04,
    MCU_MSG_RET_POWER_KEY = 0x05,
    MCU_MSG_SET_ENGINEER_MODE = 0x06,
    MCU_MSG_RET_POWEROFF_TIMER_DISP_STATUS = 0x08,
    MCU_MSG_RET_SCREEN_SAVE_MODE = 0x09,
    MCU_MSG_RET_ALINE = 0x0E,
    MCU_MSG_GET_VERSION_INFO = 0x0F,
    MCU_MSG_RET_CUR_AUDIO_POWER_STATUS = 0x11,
    MCU_MSG_RET_RTC_CLOCK_INFO = 0x13,
    MCU_MSG_RET_BUTTON_LIGHT_PWM = 0x14,
    MCU_MSG_RET_GPS_CLOCK_INFO = 0x15,
    MCU_MSG_RET_SETUP_PARAM_INFO = 0x1F,
    MCU_MSG_RET_CUR_AUDIO_SOURCE = 0x21,
    MCU_MSG_RET_AUDIO_SETTING_INFO = 0x23,
    MCU_MSG_RET_AUDIO_AUX_GAIN_MODE = 0x25,
    MCU_MSG_RET_AUDIO_BEEP_STATUS = 0x27,
    MCU_MSG_RET_AUDIO_SPEED_VOLUME_MODE = 0x29,
    MCU_MSG_RET_AUDIO_SPEED = 0x2A,
    MCU_MSG_RET_MAIN_ANSWER_STATUS = 0x2E,
    MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS = 0x30,
    MCU_MSG_RET_AUDIO_VOLUME_INFO = 0x31,
    MCU_MSG_RET_AUDIO_POPUP_INFO = 0x32,
    MCU_MSG_RET_ARKAMYS_FUNC_SW = 0x3B,
    MCU_MSG_RET_RADIO_COLLECTED_INFO = 0x4C,
    MCU_MSG_RET_RADIO_NOTIFY = 0x50,
    MCU_MSG_RET_RADIO_PRESET_INFO = 0x51,
    MCU_MSG_RET_RADIO_FM_PARAMETER_INFO = 0x52,
    MCU_MSG_RET_RADIO_AM_PARAMETER_INFO = 0x53,
    MCU_MSG_RET_RADIO_STATION_LIST_INFO = 0x54,
    MCU_MSG_RET_CURRADIO_STATION_LIST_INFO = 0x55,
    MCU_MSG_RET_IGN_ON_OFF_STATUS = 0x7F,
    MCU_MSG_RET_COREBOARD_RESUME_INFO = 0x81,
    MCU_MSG_RET_BLUETOOTH_STATUS = 0x90,
    MCU_MSG_RET_TFT_VIDEO_SOURCE = 0xA1,
    MCU_MSG_RET_TFT_LANGUAGE = 0xA3,
    MCU_MSG_RET_TFT_ILL_MODE = 0xA5,
    MCU_MSG_RET_TFT_BACKLIGHT_STATUS = 0xA7,
    MCU_MSG_RET_TFT_BRIGHTNESS_STATUS = 0xA9,
    MCU_MSG_RET_TFT_CONTRAST_STATUS = 0xAB,
    MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO = 0xAC,
    MCU_MSG_RET_AVM_SETTING_INFO = 0xB2,
    MCU_MSG_RET_MHL_SIGNAL_DET = 0xC0,
    MCU_MSG_RET_AVM_DATA_INFO = 0xF0,
    MCU_MSG_RET_ENHOST_CAN = 0xF6,
    MCU_MSG_RET_FCC_CAN = 0xF7,
    MCU_MSG_RET_RCC_CAN = 0xF8,
    MCU_MSG_RET_HVAC_INFO = 0xFA,
    MCU_MSG_RET_HVAC_DIAG_INFO = 0xFB,
    MCU_MSG_RET_IT_COMMANDER_INFO = 0xFC,
    MCU_MSG_RET_MCAN_INFO = 0xFD,
    MCU_MSG_RET_AUTOTEST_DATA_INFO = 0xFE,
    MCU_MSG_MAX_ID = 0xFF
} MCU_MSG_ID;

/* One decoded inbound message.  `data` holds the id's record at its start
 * (or the raw payload for ids without a decoding rule); every byte the
 * decoding does not write is zero. */
typedef struct {
    MCU_MSG_ID mcu_msg_id;
    uint8_t size;
    uint8_t data[256];
} PACKET_MSG;

typedef void (*MCU_MSG_CALLBACK)(PACKET_MSG *msg);

/* One row of the application's registration table; the table ends at the
 * first row whose id is MCU_MSG_MAX_ID and must stay valid while messages
 * can arrive. */
typedef struct {
    MCU_MSG_ID mcu_msg_id;
    MCU_MSG_CALLBACK mcu_msg_callback;
} MCU_MSG_HANDLE_REGISTER;

/* Names for logs and user interfaces.  The name of a message id
 * ("MCU_MSG_RET_RTC_CLOCK_INFO" for 0x13) or of a command id, or NULL for
 * an id without a name; the strings are constants of the library. */
MCU_AGENT_EXPORT const char *McuAgent_msg_name(int mcu_msg_id);
MCU_AGENT_EXPORT const char *McuAgent_cmd_name(int mcu_cmd_id);
/* Writes one line for a decoded message, without a newline: its name and
 * id, then every field of its record by name, enumerated fields by their
 * member's name ("MCU_MSG_RET_TFT_VIDEO_SOURCE(0xA1)
 * video_source=VIDEO_SOURCE_CAMERA video_type=..."), in the words of the
 * mcu-agent-dump tool.  Works like snprintf: writes at most size bytes
 * including the terminating NUL and returns the length of the whole line
 * (so a result >= size means it was cut short); -1 when msg is NULL. */
MCU_AGENT_EXPORT int McuAgent_format_msg(const PACKET_MSG *msg, char *buf, int size);

/* ------------------------------------------------------------------ */
/* System, power, keys and clock                                       */
/* ------------------------------------------------------------------ */

typedef enum {
    HARD_KEY_SWC_VOL_UP = 1,
    HARD_KEY_SWC_VOL_DOWN = 2,
    HARD_KEY_SWC_PREVIOUS = 3,
    HARD_KEY_SWC_NEXT = 4,
    HARD_KEY_SWC_SOURCE = 5,
    HARD_KEY_SWC_ANSWER = 6,
    HARD_KEY_SWC_HANGUP = 7,
    HARD_KEY_CMD_OK = 8,
    HARD_KEY_SWC_BACK = 9,
    HARD_KEY_ROT_VOL_UP = 0x10,
    HARD_KEY_ROT_VOL_DOWN = 0x11,
    HARD_KEY_POWER = 0x12,
    HARD_KEY_TUNE_UP = 0x13,
    HARD_KEY_TUNE_DOWN = 0x14,
    HARD_KEY_TUNE_PUSH = 0x0D,
    HARD_KEY_CAMERA = 0x16,
    HARD_KEY_AUDIO = 0x17,
    HARD_KEY_CD_AUX = 0x18,
    HARD_KEY_FM_AM = 0x19,
    HARD_KEY_USB = 0x1A,
    HARD_KEY_PHONE = 0x1B,
    HARD_KEY_PRESET1 = 0x1C,
    HARD_KEY_PRESET2 = 0x1D,
    HARD_KEY_PRESET3 = 0x1E,
    HARD_KEY_PRESET4 = 0x1F,
    HARD_KEY_PRESET5 = 0x20,
    HARD_KEY_PRESET6 = 0x21,
    HARD_KEY_CMD_UP = 0x28,
    HARD_KEY_CMD_UPRIGHT = 0x29,
    HARD_KEY_CMD_RIGHT = 0x2A,
    HARD_KEY_CMD_RIGHTDOWN = 0x2B,
    HARD_KEY_CMD_DOWN = 0x2C,
    HARD_KEY_CMD_LEFTDOWN = 0x2D,
    HARD_KEY_CMD_LEFT = 0x2E,
    HARD_KEY_CMD_UPLEFT = 0x2F,
    HARD_KEY_SCAN = 0x30,
    HARD_KEY_MENU = 0x31,
    HARD_KEY_BACK = 0x32,
    HARD_KEY_SEEK_UP = 0x33,
    HARD_KEY_SEEK_DOWN = 0x34,
    HARD_KEY_HOME = 0x35,
    HARD_KEY_CMD_MEDIA = 0x36,
    HARD_KEY_EJECT = 0x40,
    HARD_KEY_PURPOSE_AUDIO = 0x50,
    HARD_KEY_PURPOSE_USB = 0x51,
    HARD_KEY_PURPOSE_PHONE = 0x52,
    HARD_KEY_SWC_ENTER = 0x53
} HARD_KEY_ID;

typedef enum { TOUCH_TYPE_DOWN = 0, TOUCH_TYPE_UP = 1, TOUCH_TYPE_MAX_ID = 2 } TOUCH_TYPE_ID;
typedef enum { ENGINEER_MODE_EXIT = 0, ENGINEER_MODE_ENTRY = 1, ENGINEER_MODE_MAX_ID = 2 } ENGINEER_MODE_ID;
typedef enum { BEEP_TONE_NORMAL = 0, BEEP_TONE_WARNING = 1, BEEP_TONE_ERROR = 2, BEEP_TONE_MAX_ID = 3 } BEEP_TONE_ID;
typedef enum { DISP_STATUS_OFF = 0, DISP_STATUS_ON = 1, DISP_STATUS_MAX_ID = 2 } DISP_STATUS_ID;
/* The screen save mode travels as a plain byte value. */
typedef enum { SCREEN_SAVE_MODE_MAX_ID = 0 } SCREEN_SAVE_MODE_ID;
typedef enum { HEARTBEAT_OFF = 0, HEARTBEAT_ON = 1 } HEARTBEAT_COMMAD_SWITCH;
typedef enum { VERSION_TYPE_HMI = 0, VERSION_TYPE_BT = 1 } VERSION_TYPE_ID;
typedef enum { POWER_STATUS_OFF = 0, POWER_STATUS_ON = 1, POWER_STATUS_MAX_ID = 2 } POWER_STATUS_ID;
typedef enum {
    POWER_MODE_SLEEP_OFF = 0,
    POWER_MODE_TEMP_OFF = 1,
    POWER_MODE_USER_OFF = 2,
    POWER_MODE_USER_ON = 3,
    POWER_MODE_MAX_ID = 4
} POWER_MODE_ID;
/* 0 or 1 select the clock display mode; 2 announces a clock setting. */
typedef enum {
    RTC_MODE_12HOURS = 0,
    RTC_MODE_24HOURS = 1,
    RTC_MODE_SET_CLOCK = 2,
    RTC_MODE_MAX_ID = 3
} RTC_MODE_ID;
typedef enum { SET_DUTY_CYCLE = 1 } MODE_ID;
typedef enum { BUTTON_ADD = 0, BUTTON_MINUS = 1 } OPERATE_ID;
typedef enum { UPDATE_TYPE_OSD = 1, UPDATE_TYPE_MD = 0xAA } UPDATE_TYPE_ID;

typedef struct {
    uint16_t x;
    uint16_t y;
    TOUCH_TYPE_ID type;
} TOUCH_INFO;

typedef struct {
    VERSION_TYPE_ID type;
    char version_buffer[64];
    uint8_t size; /* bytes of version_buffer to send, 0 to 64 */
} VERSION_INFO;

typedef struct {
    uint8_t hours;
    uint8_t minutes;
    uint8_t seconds;
    uint16_t year;
    uint8_t month;
    uint8_t date;
} CLOCK_MSG;

typedef struct {
    RTC_MODE_ID rtc_mode;
    CLOCK_MSG clock_msg;
} RTC_MSG;

typedef struct {
    MODE_ID mode;
    OPERATE_ID value;
} BUTTON_DUTY_INFO;

typedef struct {
    uint8_t size;
    uint8_t param_info[255];
} SETUP_PARAM_INFO;

typedef struct {
    uint16_t address_offset;
    uint16_t length; /* at most 124 when sent, at most 128 when received */
    uint8_t data[128];
} COREBOARD_RESUME_INFO;

typedef struct {
    uint16_t MB_version;
    uint16_t MB_checksum;
    char CD_version[5]; /* five characters, no terminator */
    uint16_t Panel_version;
    uint32_t AVM_version;
    uint8_t AVM_Vin[6];
} MB_VERSION_INFO;

typedef struct {
    uint8_t reserver;
    POWER_STATUS_ID power_status;
    POWER_MODE_ID power_mode;
} POWER_INFO;

typedef struct {
    uint16_t fail_to_start_num;
    uint16_t heartbeat_timeout_num;
    uint16_t loss_of_sync_msg_num;
    uint16_t repeat_sync_msg_num;
} ERR_COUNT_INFO;

/* Requests */
MCU_AGENT_EXPORT int McuAgent_hmi_startup(void);
MCU_AGENT_EXPORT int McuAgent_navi_startup(void);
MCU_AGENT_EXPORT int McuAgent_get_sync_info(void);
MCU_AGENT_EXPORT int McuAgent_get_mainboard_version_info(void);
MCU_AGENT_EXPORT int McuAgent_set_hard_key(HARD_KEY_ID key);
MCU_AGENT_EXPORT int McuAgent_set_touch(TOUCH_INFO *info);
MCU_AGENT_EXPORT int McuAgent_set_engineer_mode(ENGINEER_MODE_ID status);
MCU_AGENT_EXPORT int McuAgent_beep_tone(BEEP_TONE_ID status);
MCU_AGENT_EXPORT int McuAgent_poweroff_timer_disp(DISP_STATUS_ID status);
MCU_AGENT_EXPORT int McuAgent_set_screen_save_mode(SCREEN_SAVE_MODE_ID mode);
MCU_AGENT_EXPORT int McuAgent_send_alive(HEARTBEAT_COMMAD_SWITCH status);
/* Refused (result 0, nothing sent) when info->size is above 64. */
MCU_AGENT_EXPORT int McuAgent_send_version_info(VERSION_INFO *info);
MCU_AGENT_EXPORT int McuAgent_set_audio_power(POWER_STATUS_ID status);
MCU_AGENT_EXPORT int McuAgent_get_audio_power(void);
MCU_AGENT_EXPORT int McuAgent_set_rtc_mode(RTC_MODE_ID mode);
MCU_AGENT_EXPORT int McuAgent_set_rct_clock(CLOCK_MSG *clock_msg);
MCU_AGENT_EXPORT int McuAgent_get_rct_clock(void);
MCU_AGENT_EXPORT int McuAgent_set_button_backlight_duty_cycle(BUTTON_DUTY_INFO *info);
MCU_AGENT_EXPORT int McuAgent_set_usb_power(uint8_t time_ms);
/* Refused (result 0, nothing sent) when info->size is 255. */
MCU_AGENT_EXPORT int McuAgent_set_setup_param_info(SETUP_PARAM_INFO *info);
MCU_AGENT_EXPORT int McuAgent_get_setup_param_info(void);
MCU_AGENT_EXPORT int McuAgent_get_ign_on_off_status(void);
/* Refused (result 0, nothing sent) when info->length is above 124. */
MCU_AGENT_EXPORT int McuAgent_set_coreboard_resume_info(COREBOARD_RESUME_INFO *info);
MCU_AGENT_EXPORT int McuAgent_get_coreboard_resume_info(uint16_t address_offset, uint16_t length);
MCU_AGENT_EXPORT int McuAgent_update_mainboard_firmware(UPDATE_TYPE_ID type);
MCU_AGENT_EXPORT int McuAgent_set_coreboard_restart(void);
MCU_AGENT_EXPORT int McuAgent_set_mainboard_default_setting(void);

/* ------------------------------------------------------------------ */
/* Audio                                                               */
/* ------------------------------------------------------------------ */

typedef enum {
    AUDIO_SOURCE_FM1 = 0,
    AUDIO_SOURCE_FM2 = 1,
    AUDIO_SOURCE_FM3 = 2,
    AUDIO_SOURCE_FM4 = 3,
    AUDIO_SOURCE_AM1 = 4,
    AUDIO_SOURCE_AM2 = 5,
    AUDIO_SOURCE_AM3 = 6,
    AUDIO_SOURCE_TUNER = 7,
    AUDIO_SOURCE_CD = 8,
    AUDIO_SOURCE_AUX = 9,
    AUDIO_SOURCE_AUDIO_PLAYER = 10,
    AUDIO_SOURCE_VIDEO_PLAYER = 11,
    AUDIO_SOURCE_IPOD_CARPLAY = 12,
    AUDIO_SOURCE_BT_HFP = 13,
    AUDIO_SOURCE_BT_AUDIO = 14,
    AUDIO_SOURCE_SMARTPHONE = 15,
    AUDIO_SOURCE_IPOD = 16,
    AUDIO_SOURCE_CARPLAYPHONE = 17,
    AUDIO_SOURCE_CARLIFE = 18,
    AUDIO_SOURCE_NAVIGATION = 19,
    AUDIO_SOURCE_NAVIGATION_RADIO = 0x52,
    AUDIO_SOURCE_NAVIGATION_I2S = 0x92,
    AUDIO_SOURCE_MAX_ID = 0x93
} AUDIO_SOURCE_ID;

typedef enum {
    AUDIO_SETTING_VOLUME = 0,
    AUDIO_SETTING_BAS = 1,
    AUDIO_SETTING_MID = 2,
    AUDIO_SETTING_TRE = 3,
    AUDIO_SETTING_BAL = 4,
    AUDIO_SETTING_FAD = 5,
    AUDIO_SETTING_EQ = 6,
    AUDIO_SETTING_MAX_ID = 7
} AUDIO_SETTING_TYPE_ID;

typedef enum {
    AUDIO_AUX_GAIN_OFF = 0,
    AUDIO_AUX_GAIN_LOW = 1,
    AUDIO_AUX_GAIN_MID = 2,
    AUDIO_AUX_GAIN_HIGH = 3,
    AUDIO_AUX_GAIN_MAX_ID = 4
} AUDIO_AUX_GAIN_ID;

typedef enum { BEEP_STATUS_OFF = 0, BEEP_STATUS_ON = 1, BEEP_STATUS_MAX_ID = 2 } BEEP_STATUS_ID;

typedef enum {
    AUDIO_SPEED_VOLUME_OFF = 0,
    AUDIO_SPEED_VOLUME_LEVEL1 = 1,
    AUDIO_SPEED_VOLUME_LEVEL2 = 2,
    AUDIO_SPEED_VOLUME_LEVEL3 = 3,
    AUDIO_SPEED_VOLUME_LEVEL4 = 4,
    AUDIO_SPEED_VOLUME_LEVEL5 = 5,
    AUDIO_SPEED_VOLUME_MAX_ID = 6
} AUDIO_SPEED_VOLUME_ID;

typedef enum {
    NAVI_MIX_STATUS_END = 0,
    NAVI_MIX_STATUS_START = 1,
    SIRI_MIX_STATUS_END = 2,
    SIRI_MIX_STATUS_START = 3,
    SPDIF_STATUS_CLOSE = 4,
    SPDIF_STATUS_OPEN = 5
} NAVIGATION_BROADCAST;

typedef enum { NAVI_TYPE_MIRACAST = 0, NAVI_TYPE_CARPLAY = 1 } NAVIGATION_TYPE;

typedef enum {
    MAIN_DRIVER_ANSWER_STATUS_OFF = 0,
    MAIN_DRIVER_ANSWER_STATUS_ON = 1,
    MAIN_DRIVER_ANSWER_STATUS_MAX_ID = 2
} MAIN_DRIVER_ANSWER_ID;

typedef enum { ADJUST_VOLUME_DOWN = 0, ADJUST_VOLUME_UP = 1, ADJUST_VOLUME_MAX_ID = 2 } ADJUST_VOLUME_ID;

/* Which channel, and whether the command sets or reads its volume. */
typedef enum {
    SET_MAIN_VOLUME = 0,
    SET_BTHFP_VOLUME = 1,
    GET_MAIN_VOLUME = 2,
    GET_BTHFP_VOLUME = 3,
    SET_SMARTPHONE_VOLUME = 4,
    GET_SMARTPHONE_VOLUME = 5
} ABSOLUTELY_VOLUME_ID;

typedef enum { FLAT_OFF = 0, FLAT_ON = 1 } AUDIO_FUNCTION_SWITCH;

typedef enum { AUX = 0, BCM_TEL = 1, PARK = 2, REVERSE = 3, DISK = 4, ILL = 5, EQ_PIN = 6 } DEVICE_TYPE;

typedef enum {
    AUDIO_VOLUME_TYPE = 0,
    AUDIO_ON_OFF_TYPE = 1,
    AUDIO_BT_HFP_VOLUME_TYPE_OFF = 9,
    AUDIO_SMARTPHONE_VOLUME_TYPE = 0x10
} AUDIO_INFO_TYPE;

typedef enum { AUDIO_ON = 0, AUDIO_OFF = 1 } AUDIO_ON_OFF_INFO;

typedef enum {
    DEMUTE = 0,
    MCU_MUTE_100 = 1,
    MCU_MUTE_200 = 2,
    MCU_MUTE_300 = 3,
    MCU_MUTE_400 = 4,
    MCU_MUTE_500 = 5,
    MCU_MUTE_600 = 6,
    MCU_MUTE_700 = 7,
    MCU_MUTE_800 = 8,
    MCU_MUTE_900 = 9,
    MUTE = 0xFF
} PLATER_PLAY_SKIP_STATUS_INFO;

typedef enum { RECORD_END = 0, RECORD_START = 1 } RECORD_PLAY_STATE_ID;

/* Speaker test tones: FL, FR, RL, RR are 1 to 4 in the low nibble and
 * 0x10 set means on. */
typedef enum {
    BEEP_MUTE = 0x22,
    BEEP_3K = 0x40,
    BEEP_300 = 0x80,
    BEEP_FL_ON = 0x11,
    BEEP_FR_ON = 0x12,
    BEEP_RL_ON = 0x13,
    BEEP_RR_ON = 0x14,
    BEEP_FL_OFF = 0x01,
    BEEP_FR_OFF = 0x02,
    BEEP_RL_OFF = 0x03,
    BEEP_RR_OFF = 0x04,
    BEEP_STOP = 0xFF
} SPEAKER_FREQ_ID;

typedef struct {
    AUDIO_SETTING_TYPE_ID type;
    uint8_t value;
} AUDIO_SETTING_TYPE_INFO;

typedef struct {
    NAVIGATION_BROADCAST navigation_broadcast;
    NAVIGATION_TYPE navigation_type;
} NAVIGATION_BROADCAST_ID;

typedef struct {
    ABSOLUTELY_VOLUME_ID absolutely_volume;
    uint8_t value;
} ABSOLUTELY_VOLUME;

typedef struct {
    uint8_t data;               /* 4-bit value, 0 to 15 */
    uint8_t detection_position; /* 0 or 1 */
} EQ_PIN_INFO;

typedef struct {
    DEVICE_TYPE type;
    uint8_t status;
    EQ_PIN_INFO eq_info; /* filled only for EQ_PIN */
} AUDIO_DEVICE_PLUG_STATUS;

typedef struct {
    AUDIO_INFO_TYPE audio_type;
    uint8_t volume_values;
    AUDIO_ON_OFF_INFO audio_info; /* filled only for AUDIO_ON_OFF_TYPE */
} AUDIO_VOLUME_INFO;

/* Requests */
MCU_AGENT_EXPORT int McuAgent_set_audio_source(AUDIO_SOURCE_ID audio_source);
MCU_AGENT_EXPORT int McuAgent_get_audio_source(void);
MCU_AGENT_EXPORT int McuAgent_set_audio_setting_info(AUDIO_SETTING_TYPE_INFO *info);
MCU_AGENT_EXPORT int McuAgent_get_audio_setting_info(void);
MCU_AGENT_EXPORT int McuAgent_set_audio_aux_gain(AUDIO_AUX_GAIN_ID level);
MCU_AGENT_EXPORT int McuAgent_get_audio_aux_gain(void);
MCU_AGENT_EXPORT int McuAgent_set_audio_beep(BEEP_STATUS_ID status);
MCU_AGENT_EXPORT int McuAgent_get_audio_beep(void);
MCU_AGENT_EXPORT int McuAgent_set_audio_speed_volume(AUDIO_SPEED_VOLUME_ID level);
MCU_AGENT_EXPORT int McuAgent_get_audio_speed_volume(void);
MCU_AGENT_EXPORT int McuAgent_get_audio_speed(void);
MCU_AGENT_EXPORT int McuAgent_set_audio_navi_mix_status(NAVIGATION_BROADCAST_ID *info);
MCU_AGENT_EXPORT int McuAgent_set_main_driver_answer_status(MAIN_DRIVER_ANSWER_ID status);
MCU_AGENT_EXPORT int McuAgent_get_main_driver_answer_status(void);
MCU_AGENT_EXPORT int McuAgent_get_aux_plug_status(void);
MCU_AGENT_EXPORT int McuAgent_set_adjust_volume(ADJUST_VOLUME_ID status);
MCU_AGENT_EXPORT int McuAgent_set_absolutely_volume(ABSOLUTELY_VOLUME *info);
MCU_AGENT_EXPORT int McuAgent_set_audio_function_switch(AUDIO_FUNCTION_SWITCH status);
MCU_AGENT_EXPORT int McuAgent_get_audio_function_switch(void);
MCU_AGENT_EXPORT int McuAgent_send_player_play_skip_status(PLATER_PLAY_SKIP_STATUS_INFO status);
MCU_AGENT_EXPORT int McuAgent_set_record_play_state(RECORD_PLAY_STATE_ID status);
MCU_AGENT_EXPORT int McuAgent_set_speaker_diag(SPEAKER_FREQ_ID freq);

/* ------------------------------------------------------------------ */
/* Radio tuner                                                         */
/* ------------------------------------------------------------------ */

typedef enum { RADIO_CTRL_APS = 0, RADIO_CTRL_SCAN = 1, RADIO_CTRL_MAX_ID = 2 } RADIO_CTRL_ID;

typedef enum {
    RADIO_BAND_FM1 = 0,
    RADIO_BAND_FM2 = 1,
    RADIO_BAND_FM3 = 2,
    RADIO_BAND_FM4 = 3,
    RADIO_BAND_AM1 = 4,
    RADIO_BAND_AM2 = 5,
    RADIO_BAND_AM3 = 6,
    RADIO_BAND_AM4 = 7,
    RADIO_BAND_MAX_ID = 8
} RADIO_BAND_ID;

typedef enum { NO_DIRECTION = 0, RADIO_LEFT = 1, RADIO_RIGHT = 2 } RADIO_DRECTION;

/* Tuner parameter to adjust: FM parameters 1 to 35, AM parameters 116 to 136. */
typedef enum {
    FM_SET_LEVEL = 1, FM_SET_FOF, FM_SET_USN, FM_SET_WAM, FM_RF_AGC, FM_BW, FM_NBSA,
    FM_BWS, FM_BWSLEV, FM_MFT, FM_MAT, FM_MDT, FM_MST, FM_MSL, FM_MNS, FM_MMS, FM_MLIM,
    FM_HFT, FM_HAT, FM_HDT, FM_HST, FM_HSL, FM_HNS, FM_HMS, FM_HSLIM, FM_HLIM, FM_HLOC,
    FM_SFT, FM_SAT, FM_SDT, FM_SST, FM_SSL, FM_SNS, FM_SMS, FM_SSLIM,
    AM_SET_LEVEL = 0x74, AM_SET_FOF, AM_RF_AGC, AM_BW, AM_ANT, AM_ATT, AM_NBSA, AM_NBSB,
    AM_FLOC, AM_DEMP, AM_MAT, AM_MDT, AM_MST, AM_MSL, AM_MLIM, AM_HAT, AM_HDT, AM_HST,
    AM_HSL, AM_HSLIM, AM_HLIM
} CMD_INFO;

typedef enum { ADD = 0, MINUS = 1 } OPTION_INFO;
typedef enum { ENTER_RADIO_DIAGNOSE = 1, EXIT_RADIO_DIAGNOSE = 2 } RADIO_DIAGNOSE_INFO;

/* Band numbering of the current-band request and the station lists; it is
 * not the numbering of RADIO_BAND_ID. */
typedef enum {
    CMD_FM1 = 0,
    CMD_FM2 = 1,
    CMD_FM3 = 2,
    CMD_FMAS2 = 3,
    CMD_UNUSED = 4,
    CMD_AM1 = 5,
    CMD_AM2 = 6
} RADIO_CURBAND_INFO;

typedef enum { RADIO_SCAN_PLAY_START = 0, RADIO_SCAN_PLAY_END = 0xFF } RADIO_PLAY_STATE;

typedef enum {
    RADIO_STATUS_NORMAL = 0,
    RADIO_STATUS_SEEK_UP = 1,
    RADIO_STATUS_SEEK_DN = 2,
    RADIO_STATUS_SCAN = 3,
    RADIO_STATUS_APS = 4,
    RADIO_STATUS_MAX_ID = 5
} RADIO_STATUS_ID;

typedef enum {
    START_LIST_UPDATE = 1,
    CANCEL_LIST_UPDATE = 2,
    GET_FM1_STATION_LIST = 5,
    GET_AM1_STATION_LIST = 6
} UPDATE_CMD;

typedef struct {
    RADIO_DRECTION radio_direction;
    RADIO_BAND_ID band;
    uint8_t preset_num;
    uint32_t preset_freq; /* only the low 16 bits are sent */
} RADIO_BAND_CHANGE_INFO;

typedef struct {
    CMD_INFO cmd_info;
    OPTION_INFO option_info;
} RADIO_STOP_CONDITIONS_INFO;

typedef struct {
    RADIO_BAND_ID band;
    uint8_t preset_num;
    RADIO_STATUS_ID status;
    uint32_t cur_freq;
} RADIO_NOTIFY;

typedef struct {
    RADIO_BAND_ID band;
    uint32_t preset_freq[12];
    uint8_t preset_num;
} RADIO_PRESET_INFO;

typedef struct {
    RADIO_CURBAND_INFO band_type;
    uint8_t station_num; /* never more than 50 once decoded */
    uint32_t station_freq[50];
} RADIO_STATION_LIST_INFO;

typedef struct {
    RADIO_CURBAND_INFO band_type;
    RADIO_PLAY_STATE play_state;
} CURRADIO_STATION_LIST_INFO;

typedef struct {
    uint8_t size;
    uint8_t content[64];
} RADIO_COLLECTED_INFO;

/* Requests */
MCU_AGENT_EXPORT int McuAgent_set_radio_freq(uint16_t freq);
MCU_AGENT_EXPORT int McuAgent_set_radio_seek_up(void);
MCU_AGENT_EXPORT int McuAgent_set_radio_seek_down(void);
MCU_AGENT_EXPORT int McuAgent_set_radio_manual_up(void);
MCU_AGENT_EXPORT int McuAgent_set_radio_manual_down(void);
MCU_AGENT_EXPORT int McuAgent_set_radio_ctrl(RADIO_CTRL_ID status);
MCU_AGENT_EXPORT int McuAgent_call_radio_preset_num(uint8_t preset_num);
MCU_AGENT_EXPORT int McuAgent_save_radio_preset_num(uint8_t preset_num);
MCU_AGENT_EXPORT int McuAgent_change_radio_band(void);
MCU_AGENT_EXPORT int McuAgent_radio_fastseek_up(void);
MCU_AGENT_EXPORT int McuAgent_radio_fastseek_down(void);
/* Refused (result 0, nothing sent) when info->size is 64 or more. */
MCU_AGENT_EXPORT int McuAgent_save_radio_collected_info(RADIO_COLLECTED_INFO *info);
MCU_AGENT_EXPORT int McuAgent_radio_list_update(UPDATE_CMD cmd);
MCU_AGENT_EXPORT int McuAgent_get_radio_notify(void);
MCU_AGENT_EXPORT int McuAgent_get_radio_preset_info(RADIO_BAND_ID band);
MCU_AGENT_EXPORT int McuAgent_set_radio_band_change_info(RADIO_BAND_CHANGE_INFO *info);
MCU_AGENT_EXPORT int McuAgent_set_radio_stop_conditions_info(RADIO_STOP_CONDITIONS_INFO *info);
MCU_AGENT_EXPORT int McuAgent_set_radio_diagnose_info(RADIO_DIAGNOSE_INFO status);
MCU_AGENT_EXPORT int McuAgent_set_radio_curband_info(RADIO_CURBAND_INFO status);

/* ------------------------------------------------------------------ */
/* Display, video, camera and Bluetooth                                */
/* ------------------------------------------------------------------ */

typedef enum { BLUETOOTH_TYPE_HFP = 0, BLUETOOTH_TYPE_HID_SPP = 1, BLUETOOTH_TYPE_POWER_SETUP = 2 } BLUETOOTH_TYPE_ID;
typedef enum { BLUETOOTH_STATUS_OFF = 0, BLUETOOTH_STATUS_ON = 1 } BLUETOOTH_STATUS_ID;

typedef enum {
    VIDEO_SOURCE_NAVI = 0,
    VIDEO_SOURCE_CAMERA = 1,
    VIDEO_SOURCE_MHL = 2,
    VIDEO_SOURCE_AVM_MENU_PAGE = 0x10,
    VIDEO_SOURCE_MAX_ID = 0x11
} VIDEO_SOURCE_ID;

typedef enum {
    VIDEO_TYPE_480P = 0,
    VIDEO_TYPE_720P = 1,
    VIDEO_TYPE_720I = 2,
    VIDEO_TYPE_1080P = 3,
    VIDEO_TYPE_1080I = 4,
    VIDEO_TYPE_IPHONE4 = 0x10,
    VIDEO_TYPE_IPHONE4S = 0x11,
    VIDEO_TYPE_IPHONE5 = 0x12,
    VIDEO_TYPE_IPHONE5S = 0x13,
    VIDEO_TYPE_MAX_ID = 0x14
} VIDEO_TYPE_ID;

typedef enum { DAY_MODE = 0, NIGHT_MODE = 1 } DAYNIGHT_MODE;
/* Illumination mode as the MCU reports it (same numbers as ILL_MODE_ID). */
typedef enum { AUTO_MODE = 0, MANUAL_DAY_MODE = 1, MANUAL_NIGHT_MODE = 2 } ILL_MODE;
typedef enum { LANGUAGE_CHINESE = 0, LANGUAGE_ENGLISH = 1, LANGUAGE_MAX_ID = 2 } LANGUAGE_ID;
/* Illumination mode as the application sets it. */
typedef enum { ILL_MODE_AUTO = 0, ILL_MODE_FORCE_DAY = 1, ILL_MODE_FORCE_NIGHT = 2, ILL_MODE_MAX_ID = 3 } ILL_MODE_ID;
typedef enum { BACKLIGHT_STATUS_OFF = 0, BACKLIGHT_STATUS_ON = 1, BACKLIGHT_STATUS_MAX_ID = 2 } BACKLIGHT_STATUS_ID;

typedef enum {
    AVM_SETTING_TYPE_WHEELPATH_SETUP = 0,
    AVM_SETTING_TYPE_FRIST_DRIVE_AUTO_SETUP = 1,
    AVM_SETTING_TYPE_BOOT_ANIMATION_SETUP = 2,
    AVM_SETTING_TYPE_MODEL_COLOR_SETUP = 3,
    AVM_SETTING_TYPE_BRIGHTNESS = 4,
    AVM_SETTING_TYPE_CONTRAST = 5,
    AVM_SETTING_TYPE_CHROMATIC = 6,
    AVM_SETTING_TYPE_MAX_ID = 7
} AVM_SETTING_TYPE_ID;

typedef enum { SET_CUR_MODE_LEVEL = 2, GET_CUR_MODE_LEVEL = 3 } DAYNIGHT_LEVEL;
typedef enum { MHL_POP_TYPE_MIRROR_BOX = 0, MHL_POP_TYPE_INTELLIGENT_BOX = 1 } MHL_POP_TYPE_ID;

typedef struct {
    BLUETOOTH_TYPE_ID type;
    BLUETOOTH_STATUS_ID status;
} BLUETOOTH_STATUS_INFO;

typedef struct {
    VIDEO_SOURCE_ID video_source;
    VIDEO_TYPE_ID video_type;
} VIDEO_SOURCE_INFO;

typedef struct {
    DAYNIGHT_LEVEL level;
    uint8_t value;
} DAYNIGHT_MODE_INFO;

typedef struct {
    DAYNIGHT_MODE daynight_mode;
    uint8_t brightness_level;
    ILL_MODE ILL_mode;
} DAYNIGHT_MODE_SET_INFO;

typedef struct {
    AVM_SETTING_TYPE_ID type;
    uint8_t value;
} AVM_SETTING_TYPE_INFO;

typedef struct {
    uint8_t size; /* at most 128 when sent */
    uint8_t content[128];
} AVM_DATA_INFO;

/* Requests */
MCU_AGENT_EXPORT int McuAgent_send_bluetooth_status(BLUETOOTH_STATUS_INFO *info);
MCU_AGENT_EXPORT int McuAgent_set_video_source(VIDEO_SOURCE_INFO *info);
MCU_AGENT_EXPORT int McuAgent_get_video_source(void);
MCU_AGENT_EXPORT int McuAgent_set_language(LANGUAGE_ID languege_id);
MCU_AGENT_EXPORT int McuAgent_get_language(void);
MCU_AGENT_EXPORT int McuAgent_set_ILL_mode(ILL_MODE_ID mode);
MCU_AGENT_EXPORT int McuAgent_get_ILL_mode(void);
MCU_AGENT_EXPORT int McuAgent_set_backlight_status(BACKLIGHT_STATUS_ID status);
MCU_AGENT_EXPORT int McuAgent_get_backlight_status(void);
MCU_AGENT_EXPORT int McuAgent_set_brightness(uint8_t value);
MCU_AGENT_EXPORT int McuAgent_get_brightness(void);
MCU_AGENT_EXPORT int McuAgent_set_contrast(uint8_t value);
MCU_AGENT_EXPORT int McuAgent_get_contrast(void);
MCU_AGENT_EXPORT int McuAgent_set_TFT_daynight_mode_info(DAYNIGHT_MODE_INFO *info);
MCU_AGENT_EXPORT int McuAgent_send_AVM_setting_menu_exit(void);
MCU_AGENT_EXPORT int McuAgent_set_AVM_setting_info(AVM_SETTING_TYPE_INFO *info);
MCU_AGENT_EXPORT int McuAgent_get_AVM_setting_info(void);
MCU_AGENT_EXPORT int McuAgent_set_AVM_default_setting(void);
MCU_AGENT_EXPORT int McuAgent_set_MHL_pop_type(MHL_POP_TYPE_ID type);
/* Refused (result 0, nothing sent) when info->size is above 128. */
MCU_AGENT_EXPORT int McuAgent_save_avm_data_info(AVM_DATA_INFO *info);

/* ------------------------------------------------------------------ */
/* Vehicle bus and climate control                                     */
/* ------------------------------------------------------------------ */

typedef enum {
    HVAC_KEY_NULL = 0,
    HVAC_KEY_LEFT_TEM_INCREASED = 1,
    HVAC_KEY_LEFT_TEM_DECREASED = 2,
    HVAC_KEY_RIGHT_TEM_INCREASED = 3,
    HVAC_KEY_RIGHT_TEM_DECREASED = 4,
    HVAC_KEY_AIR_INCREASED = 5,
    HVAC_KEY_AIR_DECREASED = 6,
    HVAC_KEY_MODE = 7,
    HVAC_KEY_DAUL_ZONE = 8,
    HVAC_KEY__ON_OFF = 9,
    HVAC_KEY_OUTSIDE_LOOP = 10,
    HVAC_KEY_INNER_LOOP = 11,
    HVAC_KEY_FRONT_DEFROST = 12,
    HVAC_KEY_REAR_DEFROST = 13,
    HVAC_KEY_AC = 14,
    HVAC_KEY__MAX_AC = 15,
    HVAC_KEY_MAXID = 16
} HVAC_KEY_ID;

typedef enum {
    HVAC_MODE_NO_DISPLAY = 0,
    HVAC_MODE_BLOW_FACE = 1,
    HVAC_MODE_BLOW_FACE_FEET = 2,
    HVAC_MODE_BLOW_FEET = 3,
    HVAC_MODE_BLOW_FEET_DEFROST = 4,
    HVAC_MODE_MAX_ID = 5
} HVAC_MODE_ID;

/* A key held down is 0, a released key is 1. */
typedef enum { HVAC_KEY_STATUS_DOWN = 0, HVAC_KEY_STATUS_UP = 1, HVAC_KEY_STATUS_MAX_ID = 2 } HVAC_KEY_STATUS_ID;

typedef enum {
    HAVC_DIAG_CTRL_OBJ_BLOWER_SYS = 1,
    HAVC_DIAG_CTRL_OBJ_MODE_DAMPER_MOTER = 2,
    HAVC_DIAG_CTRL_OBJ_INSIDE_OUTSIDE_DAMPER_MOTER = 3,
    HAVC_DIAG_CTRL_OBJ_MIXED_DAMPER_MOTER_LEFT = 4,
    HAVC_DIAG_CTRL_OBJ_MIXED_DAMPER_MOTER_RIGHT = 5,
    HAVC_DIAG_CTRL_OBJ_EVAPORATOR_TEMPERATURE_SENSOR = 6,
    HAVC_DIAG_CTRL_OBJ_INDICATOR_LIGHT_CHECK = 7,
    HAVC_DIAG_CTRL_OBJ_KEY_VALUE = 8
} HVAC_DIAG_CTRL_OBJ_ID;

typedef enum { HVAC_DIAG_CTRL_MODE1 = 1, HVAC_DIAG_CTRL_MODE2 = 2, HVAC_DIAG_CTRL_MODE3 = 3 } HVAC_DIAG_CTRL_UT_MODE_ID;

typedef enum {
    HVAC_DIAG_STATUS_NON_EXECUTION = 0x40,
    HVAC_DIAG_STATUS_APPLY_SUCCESS = 0x41,
    HVAC_DIAG_STATUS_DOING_EXECUTION = 0x42,
    HVAC_DIAG_STATUS_DONE_EXECUTION = 0x43
} HVAC_DIAG_STATUS_ID;

/* Object number (HVAC_DIAG_CTRL_OBJ_ID) times 256 plus a fault number. */
typedef enum {
    BLOWER_SYS_NO_ERROR = 0x100,
    BLOWER_SYS_ERROR = 0x101,
    MODE_DAMPER_MOTER_NO_ERROR = 0x200,
    MODE_DAMPER_MOTER_SHORT_CIRCUIT_GND = 0x201,
    MODE_DAMPER_MOTER_SHORT_CIRCUIT_POWER = 0x202,
    MODE_DAMPER_MOTER_STALLING = 0x203,
    INSIDE_OUTSIDE_DAMPER_MOTER_NO_ERROR = 0x300,
    INSIDE_OUTSIDE_DAMPER_MOTER_SHORT_CIRCUIT_GND = 0x301,
    INSIDE_OUTSIDE_DAMPER_MOTER_SHORT_CIRCUIT_POWER = 0x302,
    INSIDE_OUTSIDE_DAMPER_MOTER_STALLING = 0x303,
    MIXED_DAMPER_MOTER_LEFT_NO_ERROR = 0x400,
    MIXED_DAMPER_MOTER_LEFT_SHORT_CIRCUIT_GND = 0x401,
    MIXED_DAMPER_MOTER_LEFT_SHORT_CIRCUIT_POWER = 0x402,
    MIXED_DAMPER_MOTER_LEFT_STALLING = 0x403,
    MIXED_DAMPER_MOTER_RIGHT_NO_ERROR = 0x500,
    MIXED_DAMPER_MOTER_RIGHT_SHORT_CIRCUIT_GND = 0x501,
    MIXED_DAMPER_MOTER_RIGHT_SHORT_CIRCUIT_POWER = 0x502,
    MIXED_DAMPER_MOTER_RIGHT_STALLING = 0x503,
    EVAPORATOR_TEMPERATURE_SENSOR_NO_ERROR = 0x600,
    EVAPORATOR_TEMPERATURE_SENSOR_SHORT_CIRCUIT_GND = 0x601,
    EVAPORATOR_TEMPERATURE_SENSOR_SHORT_CIRCUIT_POWER = 0x602
} HVAC_DIAG_FAULT_CODE_ID;

/* 22-bit active-low key map: a press clears the key's bit, every release
 * code has all 22 bits set. */
#define MCU_HVAC_DIAG_KEY_PRESS(bit) (0x3FFFFF & ~(1L << (bit)))
typedef enum {
    KEY_DEFROST_PRESS = MCU_HVAC_DIAG_KEY_PRESS(0),
    KEY_REDEFROST_PRESS = MCU_HVAC_DIAG_KEY_PRESS(1),
    KEY_L_UP_PRESS = MCU_HVAC_DIAG_KEY_PRESS(2),
    KEY_L_DOWN_PRESS = MCU_HVAC_DIAG_KEY_PRESS(3),
    KEY_ON_OFF_PRESS = MCU_HVAC_DIAG_KEY_PRESS(4),
    KEY_RECIRC_PRESS = MCU_HVAC_DIAG_KEY_PRESS(5),
    KEY_FRESH_PRESS = MCU_HVAC_DIAG_KEY_PRESS(6),
    KEY_DUAL_PRESS = MCU_HVAC_DIAG_KEY_PRESS(7),
    KEY_MAX_AC_PRESS = MCU_HVAC_DIAG_KEY_PRESS(8),
    KEY_BLOWER_P_PRESS = MCU_HVAC_DIAG_KEY_PRESS(9),
    KEY_R_UP_PRESS = MCU_HVAC_DIAG_KEY_PRESS(10),
    KEY_R_DOWN_PRESS = MCU_HVAC_DIAG_KEY_PRESS(11),
    KEY_MODE_PRESS = MCU_HVAC_DIAG_KEY_PRESS(12),
    KEY_AC_ON_PRESS = MCU_HVAC_DIAG_KEY_PRESS(13),
    KEY_BLOWER_M_PRESS = MCU_HVAC_DIAG_KEY_PRESS(14),
    KEY_MENU_PRESS = MCU_HVAC_DIAG_KEY_PRESS(15),
    KEY_BACK_PRESS = MCU_HVAC_DIAG_KEY_PRESS(16),
    KEY_HOME_PRESS = MCU_HVAC_DIAG_KEY_PRESS(17),
    KEY_MEDIA_PRESS = MCU_HVAC_DIAG_KEY_PRESS(18),
    KEY_POWER_PRESS = MCU_HVAC_DIAG_KEY_PRESS(19),
    KEY_VOLUME_LEFT_PRESS = MCU_HVAC_DIAG_KEY_PRESS(20),
    KEY_VOLUME_RIGHT_PRESS = MCU_HVAC_DIAG_KEY_PRESS(21),
    KEY_DEFROST_RELEASE = 0x3FFFFF,
    KEY_REDEFROST_RELEASE = 0x3FFFFF,
    KEY_L_UP_RELEASE = 0x3FFFFF,
    KEY_L_DOWN_RELEASE = 0x3FFFFF,
    KEY_ON_OFF_RELEASE = 0x3FFFFF,
    KEY_RECIRC_RELEASE = 0x3FFFFF,
    KEY_FRESH_RELEASE = 0x3FFFFF,
    KEY_DUAL_RELEASE = 0x3FFFFF,
    KEY_MAX_AC_RELEASE = 0x3FFFFF,
    KEY_BLOWER_P_RELEASE = 0x3FFFFF,
    KEY_R_UP_RELEASE = 0x3FFFFF,
    KEY_R_DOWN_RELEASE = 0x3FFFFF,
    KEY_MODE_RELEASE = 0x3FFFFF,
    KEY_AC_ON_RELEASE = 0x3FFFFF,
    KEY_BLOWER_M_RELEASE = 0x3FFFFF,
    KEY_MENU_RELEASE = 0x3FFFFF,
    KEY_BACK_RELEASE = 0x3FFFFF,
    KEY_HOME_RELEASE = 0x3FFFFF,
    KEY_MEDIA_RELEASE = 0x3FFFFF,
    KEY_POWER_RELEASE = 0x3FFFFF,
    KEY_VOLUME_LEFT_RELEASE = 0x3FFFFF,
    KEY_VOLUME_RIGHT_RELEASE = 0x3FFFFF
} HVAC_DIAG_KEY_ID;

typedef enum {
    ENCODER_OFF = 0,
    ENCODER_CW_1PULSE = 1,
    ENCODER_CW_2PULSE = 2,
    ENCODER_CW_3PULSE = 3,
    ENCODER_CCW_1PULSE = 5,
    ENCODER_CCW_2PULSE = 6,
    ENCODER_CCW_3PULSE = 7
} IT_COMMANDER_ENCODER_ID;

typedef enum {
    DIRECTIONS_OFF = 0,
    DIRECTIONS_UP = 1,
    DIRECTIONS_UP_RIGHT = 2,
    DIRECTIONS_RIGHT = 3,
    DIRECTIONS_RIGHT_DOWN = 4,
    DIRECTIONS_DOWN = 5,
    DIRECTIONS_LEFT_DOWN = 6,
    DIRECTIONS_LEFT = 7,
    DIRECTIONS_UP_LEFT = 8
} IT_COMMANDER_DIRECTIONS_ID;

typedef struct {
    uint8_t size;
    uint8_t data[256];
} MCAN_DATA_INFO;

/* The climate keys for McuAgent_send_hvac_status.  HVAC_KEY_STATUS_DOWN is
 * 0: a record left zero-filled (memset, = {0}) presses every key at once.
 * Set each key that is not pressed to HVAC_KEY_STATUS_UP.  The three
 * uint8_t fields are target values: blower 0 to 15, temperatures 0 to 31. */
typedef struct {
    HVAC_KEY_STATUS_ID maxAC;
    HVAC_KEY_STATUS_ID AC;
    HVAC_KEY_STATUS_ID recirc;
    HVAC_KEY_STATUS_ID fresh;
    HVAC_KEY_STATUS_ID defrost;
    HVAC_KEY_STATUS_ID mode;
    HVAC_KEY_STATUS_ID front_panel_left_temp_minus;
    HVAC_KEY_STATUS_ID front_panel_letf_tmep_plus;
    HVAC_KEY_STATUS_ID front_panel_blower_minus;
    HVAC_KEY_STATUS_ID front_panel_blower_plus;
    HVAC_KEY_STATUS_ID touch_panel_blower_minus;
    HVAC_KEY_STATUS_ID touch_panel_blower_plus;
    uint8_t target_blower_level; /* 0 to 15 */
    HVAC_KEY_STATUS_ID dual;
    HVAC_KEY_STATUS_ID on_off;
    HVAC_KEY_STATUS_ID redefrost;
    HVAC_KEY_STATUS_ID front_panel_right_temp_minus;
    HVAC_KEY_STATUS_ID front_panel_right_tmep_plus;
    HVAC_KEY_STATUS_ID touch_panel_left_temp_minus;
    HVAC_KEY_STATUS_ID touch_panel_letf_tmep_plus;
    uint8_t touch_panel_target_letf_tmep; /* 0 to 31 */
    HVAC_KEY_STATUS_ID touch_panel_right_temp_minus;
    HVAC_KEY_STATUS_ID touch_panel_right_tmep_plus;
    uint8_t touch_panel_target_right_tmep; /* 0 to 31 */
} HVAC_STATUS;

typedef struct {
    uint8_t hvac_status; /* 0 when all five payload bytes were 0xAA */
    uint8_t maxAC_on_off;
    uint8_t AC_on_off;
    uint8_t recirc_on_off;
    uint8_t fresh_on_off;
    uint8_t dual_on_off;
    uint8_t ACT_on_off;
    uint8_t redefrost_on_off;
    uint8_t defrost_on_off;
    uint8_t display_on_off;
    uint8_t blower_level; /* 0 to 15 */
    uint8_t left_temp;    /* 0 to 31 */
    uint8_t right_temp;   /* 0 to 31 */
    HVAC_MODE_ID hvac_mode;
    HVAC_KEY_ID hvac_key;
} HVAC_INFO;

typedef struct {
    HVAC_DIAG_CTRL_OBJ_ID obj;
    uint8_t light_status;
    uint8_t reserver[2]; /* not sent */
} HVAC_DIAG_CTRL_INFO;

typedef struct {
    HVAC_DIAG_STATUS_ID status;
    HVAC_DIAG_CTRL_OBJ_ID obj;
    HVAC_DIAG_FAULT_CODE_ID code;
    HVAC_DIAG_KEY_ID key;
} HVAC_DIAG_INFO;

typedef struct {
    uint8_t sw;
    IT_COMMANDER_ENCODER_ID encoder;
    IT_COMMANDER_DIRECTIONS_ID directions;
} IT_COMMANDER_INFO;

typedef struct {
    uint8_t size;
    uint8_t data[128];
} AUTOTEST_DATA_INFO;

/* Requests */
MCU_AGENT_EXPORT int McuAgent_send_mcan_info(MCAN_DATA_INFO *mcan_info);
MCU_AGENT_EXPORT int McuAgent_send_host_can(MCAN_DATA_INFO *mcan_info);
MCU_AGENT_EXPORT int McuAgent_send_fcc_can(MCAN_DATA_INFO *mcan_info);
MCU_AGENT_EXPORT int McuAgent_send_rcc_can(MCAN_DATA_INFO *mcan_info);
/* Sends only for gcid 0xF6, 0xF7 or 0xF8; returns 0 silently otherwise. */
MCU_AGENT_EXPORT int McuAgent_get_can_info(uint8_t gcid, uint8_t subid);
MCU_AGENT_EXPORT int McuAgent_send_hvac_status(HVAC_STATUS *hvac_status);
MCU_AGENT_EXPORT int McuAgent_send_hvac_diag_entry(HVAC_DIAG_CTRL_INFO *info);
MCU_AGENT_EXPORT int McuAgent_send_hvac_diag_read_status(HVAC_DIAG_CTRL_INFO *info);
MCU_AGENT_EXPORT int McuAgent_send_hvac_diag_exit(void);
MCU_AGENT_EXPORT int McuAgent_send_hvac_diag_unit_test_mode(HVAC_DIAG_CTRL_UT_MODE_ID mode);

/* ------------------------------------------------------------------ */
/* The API table                                                       */
/* ------------------------------------------------------------------ */

/* One slot per request, in a fixed order; each slot holds the function
 * McuAgent_<slot name>.  set_gps_clock and get_gps_clock are always NULL. */
typedef struct {
    int (*hmi_startup)(void);                                           /* 0 */
    int (*navi_startup)(void);                                          /* 1 */
    int (*get_sync_info)(void);                                         /* 2 */
    int (*get_mainboard_version_info)(void);                            /* 3 */
    int (*set_hard_key)(HARD_KEY_ID key);                               /* 4 */
    int (*set_touch)(TOUCH_INFO *info);                                 /* 5 */
    int (*set_engineer_mode)(ENGINEER_MODE_ID status);                  /* 6 */
    int (*beep_tone)(BEEP_TONE_ID status);                              /* 7 */
    int (*poweroff_timer_disp)(DISP_STATUS_ID status);                  /* 8 */
    int (*set_screen_save_mode)(SCREEN_SAVE_MODE_ID mode);              /* 9 */
    int (*send_alive)(HEARTBEAT_COMMAD_SWITCH status);                  /* 10 */
    int (*send_version_info)(VERSION_INFO *info);                       /* 11 */
    int (*set_audio_power)(POWER_STATUS_ID status);                     /* 12 */
    int (*get_audio_power)(void);                                       /* 13 */
    int (*set_rtc_mode)(RTC_MODE_ID mode);                              /* 14 */
    int (*set_rct_clock)(CLOCK_MSG *clock_msg);                         /* 15 */
    int (*get_rct_clock)(void);                                         /* 16 */
    int (*set_gps_clock)(CLOCK_MSG *clock_msg);                         /* 17 */
    int (*get_gps_clock)(void);                                         /* 18 */
    int (*set_button_backlight_duty_cycle)(BUTTON_DUTY_INFO *info);     /* 19 */
    int (*set_usb_power)(uint8_t time_ms);                              /* 20 */
    int (*set_setup_param_info)(SETUP_PARAM_INFO *info);                /* 21 */
    int (*get_setup_param_info)(void);                                  /* 22 */
    int (*set_audio_source)(AUDIO_SOURCE_ID audio_source);              /* 23 */
    int (*get_audio_source)(void);                                      /* 24 */
    int (*set_audio_setting_info)(AUDIO_SETTING_TYPE_INFO *info);       /* 25 */
    int (*get_audio_setting_info)(void);                                /* 26 */
    int (*set_audio_aux_gain)(AUDIO_AUX_GAIN_ID level);                 /* 27 */
    int (*get_audio_aux_gain)(void);                                    /* 28 */
    int (*set_audio_beep)(BEEP_STATUS_ID status);                       /* 29 */
    int (*get_audio_beep)(void);                                        /* 30 */
    int (*set_audio_speed_volume)(AUDIO_SPEED_VOLUME_ID level);         /* 31 */
    int (*get_audio_speed_volume)(void);                                /* 32 */
    int (*get_audio_speed)(void);                                       /* 33 */
    int (*set_audio_navi_mix_status)(NAVIGATION_BROADCAST_ID *info);    /* 34 */
    int (*set_main_driver_answer_status)(MAIN_DRIVER_ANSWER_ID status); /* 35 */
    int (*get_main_driver_answer_status)(void);                         /* 36 */
    int (*get_aux_plug_status)(void);                                   /* 37 */
    int (*set_adjust_volume)(ADJUST_VOLUME_ID status);                  /* 38 */
    int (*set_absolutely_volume)(ABSOLUTELY_VOLUME *info);              /* 39 */
    int (*set_audio_function_switch)(AUDIO_FUNCTION_SWITCH status);     /* 40 */
    int (*get_audio_function_switch)(void);                             /* 41 */
    int (*set_radio_freq)(uint16_t freq);                               /* 42 */
    int (*set_radio_seek_up)(void);                                     /* 43 */
    int (*set_radio_seek_down)(void);                                   /* 44 */
    int (*set_radio_manual_up)(void);                                   /* 45 */
    int (*set_radio_manual_down)(void);                                 /* 46 */
    int (*set_radio_ctrl)(RADIO_CTRL_ID status);                        /* 47 */
    int (*call_radio_preset_num)(uint8_t preset_num);                   /* 48 */
    int (*save_radio_preset_num)(uint8_t preset_num);                   /* 49 */
    int (*change_radio_band)(void);                                     /* 50 */
    int (*radio_fastseek_up)(void);                                     /* 51 */
    int (*radio_fastseek_down)(void);                                   /* 52 */
    int (*save_radio_collected_info)(RADIO_COLLECTED_INFO *info);       /* 53 */
    int (*radio_list_update)(UPDATE_CMD cmd);                           /* 54 */
    int (*get_radio_notify)(void);                                      /* 55 */
    int (*get_radio_preset_info)(RADIO_BAND_ID band);                   /* 56 */
    int (*set_radio_band_change_info)(RADIO_BAND_CHANGE_INFO *info);    /* 57 */
    int (*set_radio_stop_conditions_info)(RADIO_STOP_CONDITIONS_INFO *info); /* 58 */
    int (*set_radio_diagnose_info)(RADIO_DIAGNOSE_INFO status);         /* 59 */
    int (*set_radio_curband_info)(RADIO_CURBAND_INFO status);           /* 60 */
    int (*get_ign_on_off_status)(void);                                 /* 61 */
    int (*set_coreboard_resume_info)(COREBOARD_RESUME_INFO *info);      /* 62 */
    int (*get_coreboard_resume_info)(uint16_t address_offset, uint16_t length); /* 63 */
    int (*send_player_play_skip_status)(PLATER_PLAY_SKIP_STATUS_INFO status); /* 64 */
    int (*send_bluetooth_status)(BLUETOOTH_STATUS_INFO *info);          /* 65 */
    int (*set_video_source)(VIDEO_SOURCE_INFO *info);                   /* 66 */
    int (*get_video_source)(void);                                      /* 67 */
    int (*set_language)(LANGUAGE_ID languege_id);                       /* 68 */
    int (*get_language)(void);                                          /* 69 */
    int (*set_ILL_mode)(ILL_MODE_ID mode);                              /* 70 */
    int (*get_ILL_mode)(void);                                          /* 71 */
    int (*set_backlight_status)(BACKLIGHT_STATUS_ID status);            /* 72 */
    int (*get_backlight_status)(void);                                  /* 73 */
    int (*set_brightness)(uint8_t value);                               /* 74 */
    int (*get_brightness)(void);                                        /* 75 */
    int (*set_contrast)(uint8_t value);                                 /* 76 */
    int (*get_contrast)(void);                                          /* 77 */
    int (*set_TFT_daynight_mode_info)(DAYNIGHT_MODE_INFO *info);        /* 78 */
    int (*send_AVM_setting_menu_exit)(void);                            /* 79 */
    int (*set_AVM_setting_info)(AVM_SETTING_TYPE_INFO *info);           /* 80 */
    int (*get_AVM_setting_info)(void);                                  /* 81 */
    int (*set_AVM_default_setting)(void);                               /* 82 */
    int (*set_MHL_pop_type)(MHL_POP_TYPE_ID type);                      /* 83 */
    int (*update_mainboard_firmware)(UPDATE_TYPE_ID type);              /* 84 */
    int (*set_coreboard_restart)(void);                                 /* 85 */
    int (*set_mainboard_default_setting)(void);                         /* 86 */
    int (*set_record_play_state)(RECORD_PLAY_STATE_ID status);          /* 87 */
    int (*set_speaker_diag)(SPEAKER_FREQ_ID freq);                      /* 88 */
    int (*save_avm_data_info)(AVM_DATA_INFO *info);                     /* 89 */
    int (*send_mcan_info)(MCAN_DATA_INFO *mcan_info);                   /* 90 */
    int (*send_host_can)(MCAN_DATA_INFO *mcan_info);                    /* 91 */
    int (*send_fcc_can)(MCAN_DATA_INFO *mcan_info);                     /* 92 */
    int (*send_rcc_can)(MCAN_DATA_INFO *mcan_info);                     /* 93 */
    int (*get_can_info)(uint8_t gcid, uint8_t subid);                   /* 94 */
    int (*send_hvac_status)(HVAC_STATUS *hvac_status);                  /* 95 */
    int (*send_hvac_diag_entry)(HVAC_DIAG_CTRL_INFO *info);             /* 96 */
    int (*send_hvac_diag_read_status)(HVAC_DIAG_CTRL_INFO *info);       /* 97 */
    int (*send_hvac_diag_exit)(void);                                   /* 98 */
    int (*send_hvac_diag_unit_test_mode)(HVAC_DIAG_CTRL_UT_MODE_ID mode); /* 99 */
} MCU_AGENT_API;

/* ------------------------------------------------------------------ */
/* Connection: entry point and dispatch                                */
/* ------------------------------------------------------------------ */

/* Connects to the agent server and starts the worker threads.  Returns the
 * API table, or NULL when the server cannot be reached.  Called again while
 * connected it only replaces the registration table; called after the
 * connection ended, or once its peer has gone, it connects again, from any
 * thread (handlers included): the old connection is still read to its end
 * and its frames are delivered before anything of the new one.  With a
 * reconnect interval set, a failed call leaves the library connecting in
 * the background with this table. */
MCU_AGENT_EXPORT MCU_AGENT_API *McuAgent_client_init(MCU_MSG_HANDLE_REGISTER *mcu_msg_handle_register);
/* The API table; the same pointer with or without McuAgent_client_init. */
MCU_AGENT_EXPORT MCU_AGENT_API *McuAgent_get_api_handle(void);
/* Decodes one popped frame (msg[0] id, msg[1] length L, msg[2..] payload,
 * zero past the payload, at least 257 bytes readable) and calls its
 * handler.  0 when a handler ran, -1 otherwise. */
MCU_AGENT_EXPORT int McuAgent_receive_packet_handle(int socket_fd, void *msg, int size);

/*
 * The agent's socket is the path in the environment variable
 * MCU_AGENT_SOCKET, read at each connect; unset or empty means
 * "/tmp/mcu_agent".
 *
 * Request functions take library locks: they are not async-signal-safe and
 * must not be called from a signal handler.  They are safe from any thread,
 * handlers included.
 */

/* Called on the packet-handle thread with 1 before the first frame of a
 * connection and 0 after the last frame of an ended connection.  The calls
 * alternate 1, 0, 1, ... and the last one matches the state; connections
 * that carried nothing may be left out (both calls).  The handler may call
 * McuAgent_client_init to connect again.  NULL: no handler. */
MCU_AGENT_EXPORT void McuAgent_set_connection_handler(void (*handler)(int connected, void *user), void *user);
/* 0 (the default): after the end of a connection the application connects
 * again with McuAgent_client_init.  Above 0: whenever no connection stands
 * (after an end, after a failed McuAgent_client_init, or when set while
 * none stands) the library connects in the background at this interval
 * (doubling up to 8x while attempts fail), with the last registration
 * table, and reports through the connection handler. */
MCU_AGENT_EXPORT void McuAgent_set_reconnect_interval(int milliseconds);
/* The longest wait between background attempts: the interval doubles per
 * failed attempt up to this.  0 (the default): eight times the interval.
 * A change takes effect at once, also during a wait. */
MCU_AGENT_EXPORT void McuAgent_set_reconnect_max_interval(int milliseconds);
/* Who may be the agent.  After connecting, the library reads the peer's
 * credentials and accepts only an agent that runs as root, as this
 * process's effective uid, or as the uid or in the group named here, in
 * the environment (MCU_AGENT_TRUSTED_UID, MCU_AGENT_TRUSTED_GID: a number
 * or a name; ignored by setuid programs) or at build time.  Any other peer
 * is closed with one line naming its uid, and counts as a failed connect.
 * -1 names none. */
MCU_AGENT_EXPORT void McuAgent_set_trusted_agent(long uid, long gid);
/* Every line the library prints goes to the handler instead (level 0 error,
 * 1 warning, 2 info; the line without its newline).  It may be called on any
 * thread, the library's own included, never with a library lock held.
 * NULL restores the default: standard output and standard error. */
MCU_AGENT_EXPORT void McuAgent_set_log_handler(void (*handler)(int level, const char *line, void *user), void *user);
/* 0 (the default): inbound frames are delivered without looking at their
 * checksum byte.  1: a frame whose checksum byte does not match is reported
 * (one line per run) and skipped up to the next lead bytes. */
MCU_AGENT_EXPORT void McuAgent_set_inbound_checksum(int verify);

/* ------------------------------------------------------------------ */
/* On the application's thread, listeners, awaited answers, stop        */
/* ------------------------------------------------------------------ */

/* Where deliveries run: handlers, listeners, connection events and call
 * completions.  MCU_AGENT_DISPATCH_THREAD (the default): on the library's
 * packet-handle thread.  MCU_AGENT_DISPATCH_APPLICATION: on whichever
 * thread calls McuAgent_dispatch, typically the application's main loop,
 * which watches McuAgent_get_fd.  Chosen before McuAgent_client_init
 * starts the library (or after McuAgent_shutdown): 0, or -1 with errno
 * EBUSY while the library runs, EINVAL for an unknown mode. */
#define MCU_AGENT_DISPATCH_THREAD 0
#define MCU_AGENT_DISPATCH_APPLICATION 1
MCU_AGENT_EXPORT int McuAgent_set_dispatch_mode(int mode);
/* In the application's dispatch mode: a descriptor to watch for reading
 * (poll, epoll, a GLib or Qt loop).  It is readable, level-triggered,
 * while deliveries wait, and not after a dispatch that left none waiting;
 * rarely it turns readable for a delivery that cannot run yet (the next
 * connection's 1 behind the end of the one before), and the next dispatch
 * returns 0 and clears it.  The application never reads it.  It stays the
 * same until McuAgent_shutdown.  -1 with errno EINVAL in the other mode, or
 * another errno when it cannot be made. */
MCU_AGENT_EXPORT int McuAgent_get_fd(void);
/* Runs up to `max_deliveries` waiting deliveries (a frame with its
 * handler, listeners and completion counts as one) on the calling thread
 * and returns how many ran; 0 when none waited.  -1 with errno: EINVAL not
 * in the application's dispatch mode or max_deliveries below 1, EDEADLK
 * called from inside a delivery, EBUSY another thread dispatches now.
 * While nobody dispatches, the agent's writes wait: nothing is lost. */
MCU_AGENT_EXPORT int McuAgent_dispatch(int max_deliveries);

/* Listeners: any number per message id, beside the registration table.
 * For each frame, the table's handler runs first, then the listeners of
 * its id and those of every id, in the order they were added.  A listener
 * added from inside a delivery hears from the next frame on.  The record is
 * valid during the call only. */
typedef void (*MCU_MSG_LISTENER)(const PACKET_MSG *msg, void *user);
typedef void (*MCU_CONNECTION_LISTENER)(int connected, void *user);
/* A listener's handle; 0 is none.  Handles are not reused. */
typedef uint32_t MCU_AGENT_LISTENER;
/* msg_id: an MCU_MSG_ID, or MCU_AGENT_ANY_MESSAGE for every id. */
#define MCU_AGENT_ANY_MESSAGE (-1)
/* The handle, or 0 with errno EINVAL (no function, id out of range) or
 * ENOSPC (MCU_AGENT_MAX_LISTENERS listeners stand). */
#define MCU_AGENT_MAX_LISTENERS 64
MCU_AGENT_EXPORT MCU_AGENT_LISTENER McuAgent_add_listener(int msg_id, MCU_MSG_LISTENER listener, void *user);
/* Connection events, as the connection handler hears them.  One added
 * while a connection stands hears 1 first. */
MCU_AGENT_EXPORT MCU_AGENT_LISTENER McuAgent_add_connection_listener(MCU_CONNECTION_LISTENER listener, void *user);
/* Removes a listener of either kind.  When it returns 0 the listener is
 * not running and is never called again: a call under way on another
 * thread is waited for; from inside its own call it returns at once.  -1
 * with errno ENOENT for an unknown handle, ETIMEDOUT when the listener
 * still ran after 5 s (it is not called again once it returns). */
MCU_AGENT_EXPORT int McuAgent_remove_listener(MCU_AGENT_LISTENER listener);

/* Awaited answers.  Which message answers which request is known to the
 * library; `request` is a request function (or the application's function
 * that calls one request function), made with its answer awaited. */
typedef enum {
    MCU_AGENT_CALL_OK = 0,        /* answered (blocking), sent and pending (asynchronous) */
    MCU_AGENT_CALL_TIMED_OUT = 1, /* no answer within the timeout */
    MCU_AGENT_CALL_ENDED = 2,     /* the connection ended while waiting, or McuAgent_shutdown */
    MCU_AGENT_CALL_REFUSED = 3,   /* blocking call on the thread that delivers frames */
    MCU_AGENT_CALL_NOT_SENT = 4,  /* the request was not sent (no connection, refused arguments) */
    MCU_AGENT_CALL_NO_ANSWER = 5, /* the request has no answer to await; nothing sent */
    MCU_AGENT_CALL_BUSY = 6,      /* MCU_AGENT_MAX_CALLS calls pending; nothing sent */
    MCU_AGENT_CALL_CANCELLED = 7  /* McuAgent_call_cancel returned before the answer */
} MCU_AGENT_CALL_RESULT;
#define MCU_AGENT_MAX_CALLS 64
typedef int (*MCU_AGENT_REQUEST)(void);
typedef int (*MCU_AGENT_REQUEST_WITH)(void *arg);
/* The result's name: "answered", "timed out", "connection ended", ... */
MCU_AGENT_EXPORT const char *McuAgent_call_result_text(MCU_AGENT_CALL_RESULT result);
/* Makes the request and waits up to timeout_ms (0 or less: 5000) for its
 * answer, which is copied to *answer (may be NULL).  Answers are matched
 * to requests in order per answer id; the answer is still delivered to the
 * table's handler and the listeners.  Refused on the thread that delivers
 * frames, where the answer could never be delivered while it waits: the
 * packet-handle thread, inside any delivery, and any thread that has called
 * McuAgent_dispatch. */
MCU_AGENT_EXPORT MCU_AGENT_CALL_RESULT McuAgent_call(MCU_AGENT_REQUEST request, int timeout_ms, PACKET_MSG *answer);
MCU_AGENT_EXPORT MCU_AGENT_CALL_RESULT McuAgent_call_with(MCU_AGENT_REQUEST_WITH request, void *arg, int timeout_ms,
                                                          PACKET_MSG *answer);
/* Asynchronous: `done` is called exactly once, on the thread that
 * delivers frames, with MCU_AGENT_CALL_OK and the answer, or with
 * TIMED_OUT or ENDED and NULL, unless McuAgent_call_cancel cancels it
 * first.  Returns MCU_AGENT_CALL_OK and sets *call (may be NULL) when the
 * request was sent; any other result says why not, and `done` is never
 * called. */
typedef uint32_t MCU_AGENT_CALL;
typedef void (*MCU_AGENT_COMPLETION)(MCU_AGENT_CALL_RESULT result, const PACKET_MSG *answer, void *user);
MCU_AGENT_EXPORT MCU_AGENT_CALL_RESULT McuAgent_call_async(MCU_AGENT_REQUEST request, int timeout_ms,
                                                           MCU_AGENT_COMPLETION done, void *user, MCU_AGENT_CALL *call);
MCU_AGENT_EXPORT MCU_AGENT_CALL_RESULT McuAgent_call_async_with(MCU_AGENT_REQUEST_WITH request, void *arg,
                                                                int timeout_ms, MCU_AGENT_COMPLETION done, void *user,
                                                                MCU_AGENT_CALL *call);
/* 1: cancelled, its completion is never called.  0: its completion has
 * run, or runs now on another thread and has returned when this returns
 * (from inside the completion itself it returns at once).  -1 with errno
 * ENOENT: a handle never handed out. */
MCU_AGENT_EXPORT int McuAgent_call_cancel(MCU_AGENT_CALL call);

/* 1 while a connection stands (made and not known to have ended), else 0. */
MCU_AGENT_EXPORT int McuAgent_is_connected(void);
/* Ends the connection and the library's threads: frames already received
 * are delivered first (in the application's dispatch mode on the calling
 * thread), then the connection's 0; pending calls end with
 * MCU_AGENT_CALL_ENDED; listeners are removed, the descriptor of
 * McuAgent_get_fd is closed and every resource released (but for the
 * trace's writer thread, when MCU_AGENT_TRACE is set).  Afterwards
 * McuAgent_client_init starts the library again.  Safe from any thread
 * while requests and entry points run (those fail meanwhile).  0, or -1
 * with errno EDEADLK from inside a delivery, ETIMEDOUT when a handler kept
 * a library thread for more than 5 s (the library stays stopping). */
MCU_AGENT_EXPORT int McuAgent_shutdown(void);

#ifdef __cplusplus
}
#endif

/* ------------------------------------------------------------------ */
/* Layout of the 32-bit target, asserted on every host                 */
/* ------------------------------------------------------------------ */

#define MCU_AGENT_LAYOUT(type, size_) MCU_AGENT_STATIC_ASSERT(sizeof(type) == (size_), #type " size")
#define MCU_AGENT_OFFSET(type, field, off) \
    MCU_AGENT_STATIC_ASSERT(offsetof(type, field) == (off), #type "." #field " offset")

MCU_AGENT_LAYOUT(MCU_MSG_ID, 4);
MCU_AGENT_LAYOUT(HVAC_DIAG_KEY_ID, 4);
MCU_AGENT_LAYOUT(PACKET_MSG, 264);
MCU_AGENT_OFFSET(PACKET_MSG, size, 4);
MCU_AGENT_OFFSET(PACKET_MSG, data, 5);

MCU_AGENT_LAYOUT(TOUCH_INFO, 8);
MCU_AGENT_OFFSET(TOUCH_INFO, type, 4);
MCU_AGENT_LAYOUT(VERSION_INFO, 72);
MCU_AGENT_OFFSET(VERSION_INFO, size, 68);
MCU_AGENT_LAYOUT(CLOCK_MSG, 8);
MCU_AGENT_OFFSET(CLOCK_MSG, year, 4);
MCU_AGENT_OFFSET(CLOCK_MSG, date, 7);
MCU_AGENT_LAYOUT(RTC_MSG, 12);
MCU_AGENT_OFFSET(RTC_MSG, clock_msg, 4);
MCU_AGENT_LAYOUT(BUTTON_DUTY_INFO, 8);
MCU_AGENT_LAYOUT(SETUP_PARAM_INFO, 256);
MCU_AGENT_LAYOUT(COREBOARD_RESUME_INFO, 132);
MCU_AGENT_OFFSET(COREBOARD_RESUME_INFO, data, 4);
MCU_AGENT_LAYOUT(MB_VERSION_INFO, 24);
MCU_AGENT_OFFSET(MB_VERSION_INFO, Panel_version, 10);
MCU_AGENT_OFFSET(MB_VERSION_INFO, AVM_version, 12);
MCU_AGENT_OFFSET(MB_VERSION_INFO, AVM_Vin, 16);
MCU_AGENT_LAYOUT(POWER_INFO, 12);
MCU_AGENT_OFFSET(POWER_INFO, power_status, 4);
MCU_AGENT_OFFSET(POWER_INFO, power_mode, 8);
MCU_AGENT_LAYOUT(ERR_COUNT_INFO, 8);

MCU_AGENT_LAYOUT(AUDIO_SETTING_TYPE_INFO, 8);
MCU_AGENT_LAYOUT(NAVIGATION_BROADCAST_ID, 8);
MCU_AGENT_LAYOUT(ABSOLUTELY_VOLUME, 8);
MCU_AGENT_LAYOUT(EQ_PIN_INFO, 2);
MCU_AGENT_LAYOUT(AUDIO_DEVICE_PLUG_STATUS, 8);
MCU_AGENT_OFFSET(AUDIO_DEVICE_PLUG_STATUS, eq_info, 5);
MCU_AGENT_LAYOUT(AUDIO_VOLUME_INFO, 12);
MCU_AGENT_OFFSET(AUDIO_VOLUME_INFO, audio_info, 8);

MCU_AGENT_LAYOUT(RADIO_BAND_CHANGE_INFO, 16);
MCU_AGENT_OFFSET(RADIO_BAND_CHANGE_INFO, preset_freq, 12);
MCU_AGENT_LAYOUT(RADIO_STOP_CONDITIONS_INFO, 8);
MCU_AGENT_LAYOUT(RADIO_NOTIFY, 16);
MCU_AGENT_OFFSET(RADIO_NOTIFY, status, 8);
MCU_AGENT_OFFSET(RADIO_NOTIFY, cur_freq, 12);
MCU_AGENT_LAYOUT(RADIO_PRESET_INFO, 56);
MCU_AGENT_OFFSET(RADIO_PRESET_INFO, preset_freq, 4);
MCU_AGENT_OFFSET(RADIO_PRESET_INFO, preset_num, 52);
MCU_AGENT_LAYOUT(RADIO_STATION_LIST_INFO, 208);
MCU_AGENT_OFFSET(RADIO_STATION_LIST_INFO, station_freq, 8);
MCU_AGENT_LAYOUT(CURRADIO_STATION_LIST_INFO, 8);
MCU_AGENT_LAYOUT(RADIO_COLLECTED_INFO, 65);

MCU_AGENT_LAYOUT(BLUETOOTH_STATUS_INFO, 8);
MCU_AGENT_LAYOUT(VIDEO_SOURCE_INFO, 8);
MCU_AGENT_LAYOUT(DAYNIGHT_MODE_INFO, 8);
MCU_AGENT_LAYOUT(DAYNIGHT_MODE_SET_INFO, 12);
MCU_AGENT_OFFSET(DAYNIGHT_MODE_SET_INFO, ILL_mode, 8);
MCU_AGENT_LAYOUT(AVM_SETTING_TYPE_INFO, 8);
MCU_AGENT_LAYOUT(AVM_DATA_INFO, 129);

MCU_AGENT_LAYOUT(MCAN_DATA_INFO, 257);
MCU_AGENT_LAYOUT(HVAC_STATUS, 96);
MCU_AGENT_OFFSET(HVAC_STATUS, target_blower_level, 48);
MCU_AGENT_OFFSET(HVAC_STATUS, dual, 52);
MCU_AGENT_OFFSET(HVAC_STATUS, touch_panel_target_letf_tmep, 80);
MCU_AGENT_OFFSET(HVAC_STATUS, touch_panel_right_temp_minus, 84);
MCU_AGENT_OFFSET(HVAC_STATUS, touch_panel_target_right_tmep, 92);
MCU_AGENT_LAYOUT(HVAC_INFO, 24);
MCU_AGENT_OFFSET(HVAC_INFO, right_temp, 12);
MCU_AGENT_OFFSET(HVAC_INFO, hvac_mode, 16);
MCU_AGENT_OFFSET(HVAC_INFO, hvac_key, 20);
MCU_AGENT_LAYOUT(HVAC_DIAG_CTRL_INFO, 8);
MCU_AGENT_LAYOUT(HVAC_DIAG_INFO, 16);
MCU_AGENT_LAYOUT(IT_COMMANDER_INFO, 12);
MCU_AGENT_OFFSET(IT_COMMANDER_INFO, encoder, 4);
MCU_AGENT_LAYOUT(AUTOTEST_DATA_INFO, 129);

#endif /* MCU_AGENT_API_H */
