/*
 * demo.c - a tour of the MCU agent client library, written as an
 * application would write it: only the public header and the shared
 * library.
 *
 * It registers one handler for every message id, prints every record it
 * is given with its field names, answers the MCU's version request, and
 * walks through start-up, versions, audio source, volume, the radio, the
 * clock, the display and the climate control, waiting after each request
 * for the answer the MCU sends.  Run it against the virtual MCU agent
 * (mcu-agent-sim) or a real agent on /tmp/mcu_agent.
 *
 * Exit status: 0 when every request of the tour was answered, 1 when an
 * answer did not come, 2 when the agent could not be reached.
 */
#define _POSIX_C_SOURCE 200809L

#include <mcu_agent_api.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#define ANSWER_TIMEOUT_MS 2000
#define NO_ANSWER MCU_MSG_MAX_ID

/* ------------------------------------------------------------------ */
/* Handing messages from the library's thread to the tour              */
/* ------------------------------------------------------------------ */

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_arrived = PTHREAD_COND_INITIALIZER;
static unsigned g_seen[256]; /* messages delivered, per id */
static int g_requests, g_answered, g_missing;

static unsigned seen(MCU_MSG_ID id) {
    pthread_mutex_lock(&g_lock);
    unsigned n = g_seen[id & 0xFF];
    pthread_mutex_unlock(&g_lock);
    return n;
}

/* Waits until `count` more messages of `id` arrived than `before`. */
static int await_messages(MCU_MSG_ID id, unsigned before, unsigned count) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ANSWER_TIMEOUT_MS / 1000;
    deadline.tv_nsec += (long)(ANSWER_TIMEOUT_MS % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    int ok = 1;
    pthread_mutex_lock(&g_lock);
    while (g_seen[id & 0xFF] < before + count)
        if (pthread_cond_timedwait(&g_arrived, &g_lock, &deadline) != 0) {
            ok = g_seen[id & 0xFF] >= before + count;
            break;
        }
    pthread_mutex_unlock(&g_lock);
    return ok;
}

/* One request: print the call and its result, then wait for `count`
 * messages `answer` (none when answer is NO_ANSWER). */
#define REQUEST_N(answer, count, call)                                              \
    do {                                                                            \
        unsigned before_ = seen(answer);                                            \
        int result_ = (call);                                                       \
        printf("-> %s = %d\n", #call, result_);                                     \
        fflush(stdout);                                                             \
        ++g_requests;                                                               \
        if ((answer) == NO_ANSWER) break;                                           \
        if (await_messages((answer), before_, (count))) {                           \
            ++g_answered;                                                           \
        } else {                                                                    \
            ++g_missing;                                                            \
            printf("   !! no %s within %d ms\n", #answer, ANSWER_TIMEOUT_MS);       \
        }                                                                           \
    } while (0)
#define REQUEST(answer, call) REQUEST_N(answer, 1, call)

static void section(const char *title) {
    printf("\n== %s\n", title);
    fflush(stdout);
}

/* ------------------------------------------------------------------ */
/* Printing records                                                    */
/* ------------------------------------------------------------------ */

static void print_bytes(const char *name, const uint8_t *bytes, unsigned n) {
    printf(" %s=", name);
    for (unsigned i = 0; i < n; ++i) printf("%02X", bytes[i]);
}

static void print_text(const char *name, const char *text, unsigned n) {
    printf(" %s=\"%.*s\"", name, (int)n, text);
}

/* Every record is copied out of msg->data before it is read: data sits at
 * an odd offset, so reading a record in place would be misaligned. */
static void print_record(const PACKET_MSG *msg) {
    switch (msg->mcu_msg_id) {
        case MCU_MSG_RET_MB_VERSION: {
            MB_VERSION_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" MB_version=0x%04X MB_checksum=0x%04X", r.MB_version, r.MB_checksum);
            print_text("CD_version", r.CD_version, sizeof r.CD_version);
            printf(" Panel_version=%u AVM_version=%lu", r.Panel_version, (unsigned long)r.AVM_version);
            print_bytes("AVM_Vin", r.AVM_Vin, sizeof r.AVM_Vin);
            break;
        }
        case MCU_MSG_RET_POWER_KEY:
        case MCU_MSG_RET_CUR_AUDIO_POWER_STATUS: {
            POWER_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" reserver=%u power_status=%d power_mode=%d", r.reserver, (int)r.power_status, (int)r.power_mode);
            break;
        }
        case MCU_MSG_RET_ALINE: {
            ERR_COUNT_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" fail_to_start_num=%u heartbeat_timeout_num=%u loss_of_sync_msg_num=%u repeat_sync_msg_num=%u",
                   r.fail_to_start_num, r.heartbeat_timeout_num, r.loss_of_sync_msg_num, r.repeat_sync_msg_num);
            break;
        }
        case MCU_MSG_RET_RTC_CLOCK_INFO: {
            RTC_MSG r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" rtc_mode=%d clock=%04u-%02u-%02u %02u:%02u:%02u", (int)r.rtc_mode, r.clock_msg.year,
                   r.clock_msg.month, r.clock_msg.date, r.clock_msg.hours, r.clock_msg.minutes, r.clock_msg.seconds);
            break;
        }
        case MCU_MSG_RET_GPS_CLOCK_INFO: {
            CLOCK_MSG r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" clock=%04u-%02u-%02u %02u:%02u:%02u", r.year, r.month, r.date, r.hours, r.minutes, r.seconds);
            break;
        }
        case MCU_MSG_RET_SETUP_PARAM_INFO: {
            SETUP_PARAM_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" size=%u", r.size);
            print_bytes("param_info", r.param_info, r.size);
            break;
        }
        case MCU_MSG_RET_COREBOARD_RESUME_INFO: {
            COREBOARD_RESUME_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" address_offset=%u length=%u", r.address_offset, r.length);
            print_bytes("data", r.data, r.length <= sizeof r.data ? r.length : sizeof r.data);
            break;
        }
        case MCU_MSG_RET_AUDIO_SPEED: {
            uint16_t speed;
            MCU_PACKET_GET_RECORD(msg, speed);
            printf(" speed=%u", speed);
            break;
        }
        case MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS: {
            AUDIO_DEVICE_PLUG_STATUS r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" type=%d status=%u eq_info.data=%u eq_info.detection_position=%u", (int)r.type, r.status,
                   r.eq_info.data, r.eq_info.detection_position);
            break;
        }
        case MCU_MSG_RET_AUDIO_VOLUME_INFO: {
            AUDIO_VOLUME_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" audio_type=%d volume_values=%u audio_info=%d", (int)r.audio_type, r.volume_values,
                   (int)r.audio_info);
            break;
        }
        case MCU_MSG_RET_RADIO_COLLECTED_INFO: {
            RADIO_COLLECTED_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" size=%u", r.size);
            print_bytes("content", r.content, r.size <= sizeof r.content ? r.size : sizeof r.content);
            break;
        }
        case MCU_MSG_RET_RADIO_NOTIFY: {
            RADIO_NOTIFY r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" band=%d preset_num=%u status=%d cur_freq=%lu", (int)r.band, r.preset_num, (int)r.status,
                   (unsigned long)r.cur_freq);
            break;
        }
        case MCU_MSG_RET_RADIO_PRESET_INFO: {
            RADIO_PRESET_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" band=%d preset_freq=", (int)r.band);
            for (int i = 0; i < 12 && r.preset_freq[i]; ++i) printf("%s%lu", i ? "," : "", (unsigned long)r.preset_freq[i]);
            printf(" preset_num=%u", r.preset_num);
            break;
        }
        case MCU_MSG_RET_RADIO_STATION_LIST_INFO: {
            RADIO_STATION_LIST_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" band_type=%d station_num=%u station_freq=", (int)r.band_type, r.station_num);
            for (int i = 0; i < r.station_num; ++i) printf("%s%lu", i ? "," : "", (unsigned long)r.station_freq[i]);
            break;
        }
        case MCU_MSG_RET_CURRADIO_STATION_LIST_INFO: {
            CURRADIO_STATION_LIST_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" band_type=%d play_state=%d", (int)r.band_type, (int)r.play_state);
            break;
        }
        case MCU_MSG_RET_BLUETOOTH_STATUS: {
            BLUETOOTH_STATUS_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" type=%d status=%d", (int)r.type, (int)r.status);
            break;
        }
        case MCU_MSG_RET_TFT_VIDEO_SOURCE: {
            VIDEO_SOURCE_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" video_source=%d video_type=%d", (int)r.video_source, (int)r.video_type);
            break;
        }
        case MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO: {
            DAYNIGHT_MODE_SET_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" daynight_mode=%d brightness_level=%u ILL_mode=%d", (int)r.daynight_mode, r.brightness_level,
                   (int)r.ILL_mode);
            break;
        }
        case MCU_MSG_RET_AVM_DATA_INFO: {
            AVM_DATA_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" size=%u", r.size);
            print_bytes("content", r.content, r.size <= sizeof r.content ? r.size : sizeof r.content);
            break;
        }
        case MCU_MSG_RET_ENHOST_CAN:
        case MCU_MSG_RET_FCC_CAN:
        case MCU_MSG_RET_RCC_CAN:
        case MCU_MSG_RET_MCAN_INFO: {
            MCAN_DATA_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" size=%u", r.size);
            print_bytes("data", r.data, r.size);
            break;
        }
        case MCU_MSG_RET_AUTOTEST_DATA_INFO: {
            AUTOTEST_DATA_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" size=%u", r.size);
            print_bytes("data", r.data, r.size <= sizeof r.data ? r.size : sizeof r.data);
            break;
        }
        case MCU_MSG_RET_HVAC_INFO: {
            HVAC_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" hvac_status=%u maxAC_on_off=%u AC_on_off=%u recirc_on_off=%u fresh_on_off=%u dual_on_off=%u"
                   " ACT_on_off=%u redefrost_on_off=%u defrost_on_off=%u display_on_off=%u blower_level=%u"
                   " left_temp=%u right_temp=%u hvac_mode=%d hvac_key=%d",
                   r.hvac_status, r.maxAC_on_off, r.AC_on_off, r.recirc_on_off, r.fresh_on_off, r.dual_on_off,
                   r.ACT_on_off, r.redefrost_on_off, r.defrost_on_off, r.display_on_off, r.blower_level, r.left_temp,
                   r.right_temp, (int)r.hvac_mode, (int)r.hvac_key);
            break;
        }
        case MCU_MSG_RET_HVAC_DIAG_INFO: {
            HVAC_DIAG_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" status=0x%02X obj=%d code=0x%04X key=0x%06X", (unsigned)r.status, (int)r.obj, (unsigned)r.code,
                   (unsigned)r.key);
            break;
        }
        case MCU_MSG_RET_IT_COMMANDER_INFO: {
            IT_COMMANDER_INFO r;
            MCU_PACKET_GET_RECORD(msg, r);
            printf(" sw=%u encoder=%d directions=%d", r.sw, (int)r.encoder, (int)r.directions);
            break;
        }
        /* Payloads that the library hands over as they came. */
        case MCU_MSG_RET_AUDIO_SETTING_INFO:
        case MCU_MSG_RET_RADIO_FM_PARAMETER_INFO:
        case MCU_MSG_RET_RADIO_AM_PARAMETER_INFO:
        case MCU_MSG_RET_AVM_SETTING_INFO: print_bytes("payload", msg->data, msg->size); break;
        /* One byte. */
        case MCU_MSG_RET_HARD_KEY: printf(" key=0x%02X", msg->data[0]); break;
        case MCU_MSG_SET_ENGINEER_MODE:
        case MCU_MSG_RET_POWEROFF_TIMER_DISP_STATUS:
        case MCU_MSG_RET_AUDIO_BEEP_STATUS:
        case MCU_MSG_RET_MAIN_ANSWER_STATUS:
        case MCU_MSG_RET_TFT_BACKLIGHT_STATUS: printf(" status=%u", msg->data[0]); break;
        case MCU_MSG_RET_SCREEN_SAVE_MODE:
        case MCU_MSG_RET_TFT_ILL_MODE: printf(" mode=%u", msg->data[0]); break;
        case MCU_MSG_GET_VERSION_INFO: printf(" type=%u", msg->data[0]); break;
        case MCU_MSG_RET_BUTTON_LIGHT_PWM: printf(" duty=%u", msg->data[0]); break;
        case MCU_MSG_RET_IGN_ON_OFF_STATUS: printf(" ignition=%u", msg->data[0]); break;
        case MCU_MSG_RET_CUR_AUDIO_SOURCE: printf(" audio_source=%u", msg->data[0]); break;
        case MCU_MSG_RET_AUDIO_AUX_GAIN_MODE:
        case MCU_MSG_RET_AUDIO_SPEED_VOLUME_MODE: printf(" level=%u", msg->data[0]); break;
        case MCU_MSG_RET_AUDIO_POPUP_INFO: printf(" popup=%u", msg->data[0]); break;
        case MCU_MSG_RET_ARKAMYS_FUNC_SW: printf(" status=%u", msg->data[0]); break;
        case MCU_MSG_RET_TFT_LANGUAGE: printf(" language=%u", msg->data[0]); break;
        case MCU_MSG_RET_TFT_BRIGHTNESS_STATUS: printf(" brightness=%u", msg->data[0]); break;
        case MCU_MSG_RET_TFT_CONTRAST_STATUS: printf(" contrast=%u", msg->data[0]); break;
        case MCU_MSG_RET_MHL_SIGNAL_DET: printf(" signal=%u", msg->data[0]); break;
        default: print_bytes("payload", msg->data, msg->size); break;
    }
}

static const char *message_name(MCU_MSG_ID id) {
#define NAME(x) \
    case x: return #x;
    switch (id) {
        NAME(MCU_MSG_RET_MB_VERSION) NAME(MCU_MSG_RET_HARD_KEY) NAME(MCU_MSG_RET_POWER_KEY)
        NAME(MCU_MSG_SET_ENGINEER_MODE) NAME(MCU_MSG_RET_POWEROFF_TIMER_DISP_STATUS)
        NAME(MCU_MSG_RET_SCREEN_SAVE_MODE) NAME(MCU_MSG_RET_ALINE) NAME(MCU_MSG_GET_VERSION_INFO)
        NAME(MCU_MSG_RET_CUR_AUDIO_POWER_STATUS) NAME(MCU_MSG_RET_RTC_CLOCK_INFO) NAME(MCU_MSG_RET_BUTTON_LIGHT_PWM)
        NAME(MCU_MSG_RET_GPS_CLOCK_INFO) NAME(MCU_MSG_RET_SETUP_PARAM_INFO) NAME(MCU_MSG_RET_CUR_AUDIO_SOURCE)
        NAME(MCU_MSG_RET_AUDIO_SETTING_INFO) NAME(MCU_MSG_RET_AUDIO_AUX_GAIN_MODE)
        NAME(MCU_MSG_RET_AUDIO_BEEP_STATUS) NAME(MCU_MSG_RET_AUDIO_SPEED_VOLUME_MODE) NAME(MCU_MSG_RET_AUDIO_SPEED)
        NAME(MCU_MSG_RET_MAIN_ANSWER_STATUS) NAME(MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS)
        NAME(MCU_MSG_RET_AUDIO_VOLUME_INFO) NAME(MCU_MSG_RET_AUDIO_POPUP_INFO) NAME(MCU_MSG_RET_ARKAMYS_FUNC_SW)
        NAME(MCU_MSG_RET_RADIO_COLLECTED_INFO) NAME(MCU_MSG_RET_RADIO_NOTIFY) NAME(MCU_MSG_RET_RADIO_PRESET_INFO)
        NAME(MCU_MSG_RET_RADIO_FM_PARAMETER_INFO) NAME(MCU_MSG_RET_RADIO_AM_PARAMETER_INFO)
        NAME(MCU_MSG_RET_RADIO_STATION_LIST_INFO) NAME(MCU_MSG_RET_CURRADIO_STATION_LIST_INFO)
        NAME(MCU_MSG_RET_IGN_ON_OFF_STATUS) NAME(MCU_MSG_RET_COREBOARD_RESUME_INFO)
        NAME(MCU_MSG_RET_BLUETOOTH_STATUS) NAME(MCU_MSG_RET_TFT_VIDEO_SOURCE) NAME(MCU_MSG_RET_TFT_LANGUAGE)
        NAME(MCU_MSG_RET_TFT_ILL_MODE) NAME(MCU_MSG_RET_TFT_BACKLIGHT_STATUS)
        NAME(MCU_MSG_RET_TFT_BRIGHTNESS_STATUS) NAME(MCU_MSG_RET_TFT_CONTRAST_STATUS)
        NAME(MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO) NAME(MCU_MSG_RET_AVM_SETTING_INFO)
        NAME(MCU_MSG_RET_MHL_SIGNAL_DET) NAME(MCU_MSG_RET_AVM_DATA_INFO) NAME(MCU_MSG_RET_ENHOST_CAN)
        NAME(MCU_MSG_RET_FCC_CAN) NAME(MCU_MSG_RET_RCC_CAN) NAME(MCU_MSG_RET_HVAC_INFO)
        NAME(MCU_MSG_RET_HVAC_DIAG_INFO) NAME(MCU_MSG_RET_IT_COMMANDER_INFO) NAME(MCU_MSG_RET_MCAN_INFO)
        NAME(MCU_MSG_RET_AUTOTEST_DATA_INFO)
        default: return "unknown message";
    }
#undef NAME
}

/* ------------------------------------------------------------------ */
/* The handler                                                         */
/* ------------------------------------------------------------------ */

/* The MCU asks for a version report; the application answers it. */
static void answer_version(uint8_t type) {
    static const char hmi[] = "demo-hmi 1.0";
    static const char bt[] = "demo-bt 1.0";
    VERSION_INFO info;
    memset(&info, 0, sizeof info);
    info.type = type == VERSION_TYPE_BT ? VERSION_TYPE_BT : VERSION_TYPE_HMI;
    const char *text = info.type == VERSION_TYPE_BT ? bt : hmi;
    info.size = (uint8_t)strlen(text);
    memcpy(info.version_buffer, text, info.size);
    int result = McuAgent_send_version_info(&info);
    printf("-> McuAgent_send_version_info(\"%s\") = %d   (answering the version request)\n", text, result);
}

/* Runs on the library's packet-handle thread. */
static void on_message(PACKET_MSG *msg) {
    printf("<- %s(0x%02X) size=%u:", message_name(msg->mcu_msg_id), (unsigned)msg->mcu_msg_id, msg->size);
    print_record(msg);
    printf("\n");
    fflush(stdout);
    if (msg->mcu_msg_id == MCU_MSG_GET_VERSION_INFO) answer_version(msg->data[0]);
    pthread_mutex_lock(&g_lock);
    ++g_seen[msg->mcu_msg_id & 0xFF];
    pthread_cond_broadcast(&g_arrived);
    pthread_mutex_unlock(&g_lock);
}

/* One row per message id; the table ends at the MCU_MSG_MAX_ID row. */
static MCU_MSG_HANDLE_REGISTER g_registration[] = {
    {MCU_MSG_RET_MB_VERSION, on_message},
    {MCU_MSG_RET_HARD_KEY, on_message},
    {MCU_MSG_RET_POWER_KEY, on_message},
    {MCU_MSG_SET_ENGINEER_MODE, on_message},
    {MCU_MSG_RET_POWEROFF_TIMER_DISP_STATUS, on_message},
    {MCU_MSG_RET_SCREEN_SAVE_MODE, on_message},
    {MCU_MSG_RET_ALINE, on_message},
    {MCU_MSG_GET_VERSION_INFO, on_message},
    {MCU_MSG_RET_CUR_AUDIO_POWER_STATUS, on_message},
    {MCU_MSG_RET_RTC_CLOCK_INFO, on_message},
    {MCU_MSG_RET_BUTTON_LIGHT_PWM, on_message},
    {MCU_MSG_RET_GPS_CLOCK_INFO, on_message},
    {MCU_MSG_RET_SETUP_PARAM_INFO, on_message},
    {MCU_MSG_RET_CUR_AUDIO_SOURCE, on_message},
    {MCU_MSG_RET_AUDIO_SETTING_INFO, on_message},
    {MCU_MSG_RET_AUDIO_AUX_GAIN_MODE, on_message},
    {MCU_MSG_RET_AUDIO_BEEP_STATUS, on_message},
    {MCU_MSG_RET_AUDIO_SPEED_VOLUME_MODE, on_message},
    {MCU_MSG_RET_AUDIO_SPEED, on_message},
    {MCU_MSG_RET_MAIN_ANSWER_STATUS, on_message},
    {MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS, on_message},
    {MCU_MSG_RET_AUDIO_VOLUME_INFO, on_message},
    {MCU_MSG_RET_AUDIO_POPUP_INFO, on_message},
    {MCU_MSG_RET_ARKAMYS_FUNC_SW, on_message},
    {MCU_MSG_RET_RADIO_COLLECTED_INFO, on_message},
    {MCU_MSG_RET_RADIO_NOTIFY, on_message},
    {MCU_MSG_RET_RADIO_PRESET_INFO, on_message},
    {MCU_MSG_RET_RADIO_FM_PARAMETER_INFO, on_message},
    {MCU_MSG_RET_RADIO_AM_PARAMETER_INFO, on_message},
    {MCU_MSG_RET_RADIO_STATION_LIST_INFO, on_message},
    {MCU_MSG_RET_CURRADIO_STATION_LIST_INFO, on_message},
    {MCU_MSG_RET_IGN_ON_OFF_STATUS, on_message},
    {MCU_MSG_RET_COREBOARD_RESUME_INFO, on_message},
    {MCU_MSG_RET_BLUETOOTH_STATUS, on_message},
    {MCU_MSG_RET_TFT_VIDEO_SOURCE, on_message},
    {MCU_MSG_RET_TFT_LANGUAGE, on_message},
    {MCU_MSG_RET_TFT_ILL_MODE, on_message},
    {MCU_MSG_RET_TFT_BACKLIGHT_STATUS, on_message},
    {MCU_MSG_RET_TFT_BRIGHTNESS_STATUS, on_message},
    {MCU_MSG_RET_TFT_CONTRAST_STATUS, on_message},
    {MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO, on_message},
    {MCU_MSG_RET_AVM_SETTING_INFO, on_message},
    {MCU_MSG_RET_MHL_SIGNAL_DET, on_message},
    {MCU_MSG_RET_AVM_DATA_INFO, on_message},
    {MCU_MSG_RET_ENHOST_CAN, on_message},
    {MCU_MSG_RET_FCC_CAN, on_message},
    {MCU_MSG_RET_RCC_CAN, on_message},
    {MCU_MSG_RET_HVAC_INFO, on_message},
    {MCU_MSG_RET_HVAC_DIAG_INFO, on_message},
    {MCU_MSG_RET_IT_COMMANDER_INFO, on_message},
    {MCU_MSG_RET_MCAN_INFO, on_message},
    {MCU_MSG_RET_AUTOTEST_DATA_INFO, on_message},
    {MCU_MSG_MAX_ID, NULL},
};

/* ------------------------------------------------------------------ */
/* The tour                                                            */
/* ------------------------------------------------------------------ */

/* Every key released: HVAC_KEY_STATUS_DOWN is 0, so a zero-filled record
 * would hold every key down at once. */
static HVAC_STATUS released_hvac_keys(void) {
    HVAC_STATUS s;
    memset(&s, 0, sizeof s);
    s.maxAC = s.AC = s.recirc = s.fresh = s.defrost = s.mode = HVAC_KEY_STATUS_UP;
    s.front_panel_left_temp_minus = s.front_panel_letf_tmep_plus = HVAC_KEY_STATUS_UP;
    s.front_panel_blower_minus = s.front_panel_blower_plus = HVAC_KEY_STATUS_UP;
    s.touch_panel_blower_minus = s.touch_panel_blower_plus = HVAC_KEY_STATUS_UP;
    s.dual = s.on_off = s.redefrost = HVAC_KEY_STATUS_UP;
    s.front_panel_right_temp_minus = s.front_panel_right_tmep_plus = HVAC_KEY_STATUS_UP;
    s.touch_panel_left_temp_minus = s.touch_panel_letf_tmep_plus = HVAC_KEY_STATUS_UP;
    s.touch_panel_right_temp_minus = s.touch_panel_right_tmep_plus = HVAC_KEY_STATUS_UP;
    return s;
}

int main(void) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    section("start-up");
    MCU_AGENT_API *api = McuAgent_client_init(g_registration);
    if (!api) {
        printf("cannot reach the agent on /tmp/mcu_agent: is mcu-agent-sim running?\n");
        return 2;
    }
    /* The MCU asks for our version as soon as we connect; the handler
     * answers it. */
    ++g_requests;
    if (await_messages(MCU_MSG_GET_VERSION_INFO, 0, 1)) {
        ++g_answered;
    } else {
        ++g_missing;
        printf("   !! the MCU did not ask for our version\n");
    }
    REQUEST(NO_ANSWER, api->hmi_startup());
    REQUEST(NO_ANSWER, api->navi_startup());
    REQUEST(MCU_MSG_RET_IGN_ON_OFF_STATUS, api->get_ign_on_off_status());
    REQUEST(MCU_MSG_RET_CUR_AUDIO_POWER_STATUS, api->get_audio_power());

    section("versions");
    REQUEST(MCU_MSG_RET_MB_VERSION, api->get_mainboard_version_info());

    section("audio source");
    REQUEST(MCU_MSG_RET_CUR_AUDIO_SOURCE, api->get_audio_source());
    REQUEST(NO_ANSWER, api->set_audio_source(AUDIO_SOURCE_BT_AUDIO));
    REQUEST(MCU_MSG_RET_CUR_AUDIO_SOURCE, api->get_audio_source());

    section("volume");
    REQUEST(MCU_MSG_RET_AUDIO_VOLUME_INFO, api->set_adjust_volume(ADJUST_VOLUME_UP));
    ABSOLUTELY_VOLUME volume = {SET_MAIN_VOLUME, 20};
    REQUEST(MCU_MSG_RET_AUDIO_VOLUME_INFO, api->set_absolutely_volume(&volume));
    AUDIO_SETTING_TYPE_INFO bass = {AUDIO_SETTING_BAS, 9};
    REQUEST(NO_ANSWER, api->set_audio_setting_info(&bass));
    REQUEST(MCU_MSG_RET_AUDIO_SETTING_INFO, api->get_audio_setting_info());

    section("radio tuning and presets");
    REQUEST(NO_ANSWER, api->set_audio_source(AUDIO_SOURCE_FM1));
    REQUEST(MCU_MSG_RET_RADIO_NOTIFY, api->set_radio_freq(10110));
    REQUEST_N(MCU_MSG_RET_RADIO_NOTIFY, 2, api->set_radio_seek_up());
    REQUEST(MCU_MSG_RET_RADIO_NOTIFY, api->set_radio_manual_up());
    REQUEST(MCU_MSG_RET_RADIO_PRESET_INFO, api->save_radio_preset_num(2));
    REQUEST(MCU_MSG_RET_RADIO_NOTIFY, api->call_radio_preset_num(1));
    REQUEST(MCU_MSG_RET_RADIO_PRESET_INFO, api->get_radio_preset_info(RADIO_BAND_FM1));
    REQUEST(MCU_MSG_RET_RADIO_NOTIFY, api->get_radio_notify());

    section("clock");
    REQUEST(NO_ANSWER, api->set_rtc_mode(RTC_MODE_24HOURS));
    CLOCK_MSG clock_msg = {13, 45, 30, 2024, 6, 15};
    REQUEST(NO_ANSWER, api->set_rct_clock(&clock_msg));
    REQUEST(MCU_MSG_RET_RTC_CLOCK_INFO, api->get_rct_clock());

    section("display");
    REQUEST(NO_ANSWER, api->set_brightness(6));
    REQUEST(MCU_MSG_RET_TFT_BRIGHTNESS_STATUS, api->get_brightness());
    REQUEST(NO_ANSWER, api->set_language(LANGUAGE_ENGLISH));
    REQUEST(MCU_MSG_RET_TFT_LANGUAGE, api->get_language());
    DAYNIGHT_MODE_INFO level = {SET_CUR_MODE_LEVEL, 4};
    REQUEST(MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO, api->set_TFT_daynight_mode_info(&level));
    VIDEO_SOURCE_INFO video = {VIDEO_SOURCE_CAMERA, VIDEO_TYPE_720P};
    REQUEST(NO_ANSWER, api->set_video_source(&video));
    REQUEST(MCU_MSG_RET_TFT_VIDEO_SOURCE, api->get_video_source());

    section("climate control");
    HVAC_STATUS keys = released_hvac_keys();
    keys.AC = HVAC_KEY_STATUS_DOWN; /* press A/C */
    REQUEST(MCU_MSG_RET_HVAC_INFO, api->send_hvac_status(&keys));
    keys = released_hvac_keys();
    keys.touch_panel_letf_tmep_plus = HVAC_KEY_STATUS_DOWN; /* left temperature up */
    REQUEST(MCU_MSG_RET_HVAC_INFO, api->send_hvac_status(&keys));

    section("done");
    printf("%d requests, %d answers awaited and received, %d missing\n", g_requests, g_answered, g_missing);
    return g_missing ? 1 : 0;
}
