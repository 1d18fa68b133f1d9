/* A C11 program against the public headers: includes both, links the
 * shared library, reads records out of a decoded message with the copy
 * macro and calls the API as an application would. */
#include <stdio.h>
#include <string.h>

#include "client.h"
#include "mcu_agent_api.h"

static int calls;
static uint8_t last_key;

static void on_hard_key(PACKET_MSG *msg) {
    ++calls;
    last_key = msg->data[0];
}

static MCU_MSG_HANDLE_REGISTER table[] = {
    {MCU_MSG_RET_HARD_KEY, on_hard_key},
    {MCU_MSG_MAX_ID, NULL},
};

#define CHECK(cond)                                              \
    do {                                                         \
        if (!(cond)) {                                           \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                            \
        }                                                        \
    } while (0)

int main(void) {
    MCU_AGENT_API *api = McuAgent_get_api_handle();
    CHECK(api != NULL);
    CHECK(api == McuAgent_get_api_handle());
    CHECK(api->set_gps_clock == NULL && api->get_gps_clock == NULL);

    /* Without an agent server there is no connection: init reports failure
     * and a request returns -1 without writing anywhere. */
    CHECK(McuAgent_client_init(table) == NULL);
    CHECK(McuAgent_hmi_startup() == -1);

    /* Dispatch a popped frame directly. */
    unsigned char area[260];
    memset(area, 0, sizeof area);
    area[0] = MCU_MSG_RET_HARD_KEY;
    area[1] = 1;
    area[2] = HARD_KEY_POWER;
    CHECK(McuAgent_receive_packet_handle(3, area, 3) == 0);
    CHECK(calls == 1 && last_key == HARD_KEY_POWER);

    /* Ring operations are part of the C interface too. */
    RECEIVE_BUFFER_MSG ring;
    CHECK(socket_receive_buffer_msg_init(&ring) == 0);
    CHECK(socket_receive_buffer_msg_pop(&ring, (char *)area) == -1);
    CHECK(socket_receive_buffer_msg_free(&ring) == 0);

    PACKET_MSG packet;
    memset(&packet, 0, sizeof packet);
    RTC_MSG rtc;
    MCU_PACKET_GET_RECORD(&packet, rtc);
    CHECK(rtc.rtc_mode == RTC_MODE_12HOURS);
    puts("c api ok");
    return 0;
}
