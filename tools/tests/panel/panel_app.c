/*
 * panel_app.c - the application of the web panel's browser test, linked
 * to the library like any application: prints every hard key it is given
 * ("HARD_KEY 4"), answers the MCU's version request, and makes a request
 * for each line of its standard input:
 *
 *   volume up | volume down      McuAgent_set_adjust_volume
 *   tune FREQ                    McuAgent_set_radio_freq
 *
 * Prints "ready" once connected; exits at the end of its input.
 */
#define _POSIX_C_SOURCE 200809L

#include <mcu_agent_api.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void on_key(PACKET_MSG *msg) {
    printf("HARD_KEY %u\n", (unsigned)msg->data[0]);
    fflush(stdout);
}

static void on_version_request(PACKET_MSG *msg) {
    static const char text[] = "panel-test 1.0";
    VERSION_INFO info;
    memset(&info, 0, sizeof info);
    info.type = msg->data[0] == VERSION_TYPE_BT ? VERSION_TYPE_BT : VERSION_TYPE_HMI;
    info.size = (uint8_t)strlen(text);
    memcpy(info.version_buffer, text, info.size);
    McuAgent_send_version_info(&info);
}

static MCU_MSG_HANDLE_REGISTER g_registration[] = {
    {MCU_MSG_RET_HARD_KEY, on_key},
    {MCU_MSG_GET_VERSION_INFO, on_version_request},
    {MCU_MSG_MAX_ID, NULL},
};

int main(void) {
    if (!McuAgent_client_init(g_registration)) return 2;
    printf("ready\n");
    fflush(stdout);
    char line[128];
    while (fgets(line, sizeof line, stdin)) {
        int result = -1;
        unsigned freq = 0;
        if (strcmp(line, "volume up\n") == 0)
            result = McuAgent_set_adjust_volume(ADJUST_VOLUME_UP);
        else if (strcmp(line, "volume down\n") == 0)
            result = McuAgent_set_adjust_volume(ADJUST_VOLUME_DOWN);
        else if (sscanf(line, "tune %u", &freq) == 1)
            result = McuAgent_set_radio_freq((uint16_t)freq);
        printf("sent %d\n", result);
        fflush(stdout);
    }
    return 0;
}
