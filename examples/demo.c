/*
 * demo.c - a tour of the MCU agent client library, written as an
 * application would write it: only the public header and the shared
 * library.
 *
 * It registers one handler for every message id, prints every record it
 * is given with its field names (McuAgent_format_msg), answers the MCU's version request, and
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
#include <stdlib.h>
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
    char line[1024];
    McuAgent_format_msg(msg, line, sizeof line);
    printf("<- %s\n", line);
    fflush(stdout);
    if (msg->mcu_msg_id == MCU_MSG_GET_VERSION_INFO) answer_version(msg->data[0]);
    pthread_mutex_lock(&g_lock);
    ++g_seen[msg->mcu_msg_id & 0xFF];
    pthread_cond_broadcast(&g_arrived);
    pthread_mutex_unlock(&g_lock);
}

/* One row per message id that has a name; the table ends at the
 * MCU_MSG_MAX_ID row and stays valid for the life of the process. */
static MCU_MSG_HANDLE_REGISTER g_registration[256];

static void register_every_message(void) {
    int rows = 0;
    for (int id = 0; id < MCU_MSG_MAX_ID; ++id)
        if (McuAgent_msg_name(id)) {
            g_registration[rows].mcu_msg_id = (MCU_MSG_ID)id;
            g_registration[rows].mcu_msg_callback = on_message;
            ++rows;
        }
    g_registration[rows].mcu_msg_id = MCU_MSG_MAX_ID;
    g_registration[rows].mcu_msg_callback = NULL;
}

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
    register_every_message();
    MCU_AGENT_API *api = McuAgent_client_init(g_registration);
    if (!api) {
        const char *socket_path = getenv("MCU_AGENT_SOCKET"); /* where the library looked */
        printf("cannot reach the agent on %s: is mcu-agent-sim running?\n",
               socket_path && *socket_path ? socket_path : "/tmp/mcu_agent");
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
